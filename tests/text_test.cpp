#include "text.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quillon {
namespace {

const std::string kFFFD = "\xEF\xBF\xBD";

TEST(RepairUTF8, ValidTextPassesThroughUnchanged) {
  for (const std::string& text : {std::string(), std::string("plain ascii"),
                                 std::string("caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x98\x80"),
                                 std::string("nul\0inside", 10), std::string("\xF4\x8F\xBF\xBF")}) {
    EXPECT_EQ(repairUTF8(text), text);
    EXPECT_TRUE(isValidUTF8(text));
  }
}

TEST(RepairUTF8, EachMaximalIllFormedSubsequenceBecomesOneReplacement) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"a\xFF"
       "b",
       "a" + kFFFD + "b"},
      {"\x80\x80", kFFFD + kFFFD},              // lone continuation bytes: one each
      {"\xE2\x82", kFFFD},                      // truncated three-byte sequence at the end
      {"\xE2\x82x", kFFFD + "x"},               // truncated in the middle
      {"\xF0\x9F\x98", kFFFD},                  // truncated four-byte sequence
      {"\xC0\xAF", kFFFD + kFFFD},              // overlong lead byte is never valid
      {"\xE0\x80\xAF", kFFFD + kFFFD + kFFFD},  // overlong three-byte form
      {"\xED\xA0\x80", kFFFD + kFFFD + kFFFD},  // UTF-16 surrogate
      {"\xF4\x90\x80\x80", kFFFD + kFFFD + kFFFD + kFFFD},  // above U+10FFFF
      {"\xF5x", kFFFD + "x"},
      {"\xC3\xA9\xC3", "\xC3\xA9" + kFFFD},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(repairUTF8(c.in), c.out) << "input bytes: " << c.in.size();
    EXPECT_FALSE(isValidUTF8(c.in));
    EXPECT_TRUE(isValidUTF8(repairUTF8(c.in)));
  }
}

TEST(TrimWhitespace, RemovesUnicodeSpacesAndLineBreaksAtBothEnds) {
  EXPECT_EQ(trimWhitespace(" \t\r\n{}\x0B\x0C "), "{}");
  EXPECT_EQ(trimWhitespace("\xC2\xA0{\"a\": 1}\xC2\x85"), "{\"a\": 1}");  // U+00A0, U+0085
  EXPECT_EQ(trimWhitespace("\xE3\x80\x80x\xE2\x80\xA8"), "x");            // U+3000, U+2028
  EXPECT_EQ(trimWhitespace("\xE2\x80\x8Ax\xE2\x80\xAF"), "x");            // U+200A, U+202F
  EXPECT_EQ(trimWhitespace(" a b "), "a b");                              // inner space stays
  EXPECT_EQ(trimWhitespace(" \t\xC2\xA0 "), "");
}

TEST(TrimWhitespace, KeepsCharactersOutsideTheSet) {
  // Zero-width space (U+200B) and the byte-order mark are format characters,
  // not white space.
  EXPECT_EQ(trimWhitespace("\xE2\x80\x8Bx"), "\xE2\x80\x8Bx");
  EXPECT_EQ(trimWhitespace("\xEF\xBB\xBFx"), "\xEF\xBB\xBFx");
  EXPECT_EQ(trimWhitespace("x\xC3\xA9"), "x\xC3\xA9");
}

TEST(Base64Encode, MatchesRFC4648Vectors) {
  EXPECT_EQ(base64Encode(""), "");
  EXPECT_EQ(base64Encode("f"), "Zg==");
  EXPECT_EQ(base64Encode("fo"), "Zm8=");
  EXPECT_EQ(base64Encode("foo"), "Zm9v");
  EXPECT_EQ(base64Encode("foob"), "Zm9vYg==");
  EXPECT_EQ(base64Encode("fooba"), "Zm9vYmE=");
  EXPECT_EQ(base64Encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(base64Encode(std::string("\xFB\xFF\x00", 3)), "+/8A");
}

// The in-place encoding overwrites its own input from the end backwards; a
// wrong step would corrupt bytes not yet read, most likely near either end.
TEST(Base64Encode, InPlaceMatchesTheCopyingEncoder) {
  std::string bytes;
  for (size_t n = 0; n < 200; ++n) {
    bytes.push_back(static_cast<char>(n * 37 + 11));
    const std::string expected = base64Encode(bytes);
    std::string roomy = bytes;
    roomy.reserve(expected.size());
    const char* storage = roomy.data();
    base64EncodeInPlace(roomy);
    EXPECT_EQ(roomy, expected) << n + 1 << " bytes";
    if (expected.size() > 15) {
      EXPECT_EQ(roomy.data(), storage) << "no second buffer";
    }
    std::string tight = bytes;
    tight.shrink_to_fit();
    base64EncodeInPlace(tight);
    EXPECT_EQ(tight, expected) << n + 1 << " bytes, no room";
  }
}

}  // namespace
}  // namespace quillon

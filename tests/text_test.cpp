#include "text.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mcp_client.hpp"

namespace quillon {
namespace {

const std::string kFFFD = "\xEF\xBF\xBD";

TEST(RepairUTF8, EachMaximalIllFormedSubsequenceBecomesOneReplacement) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"", ""},
      {"caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x98\x80"},
      {std::string("nul\0inside", 10), std::string("nul\0inside", 10)},
      {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},  // U+10FFFF, the last code point
      // The lowest code point of each length, and the overlong form just below it.
      {"\xC2\x80", "\xC2\x80"},                             // U+0080
      {"\xC1\xBF", kFFFD + kFFFD},                          // U+007F in two bytes
      {"\xE0\xA0\x80", "\xE0\xA0\x80"},                     // U+0800
      {"\xE0\x9F\xBF", kFFFD + kFFFD + kFFFD},              // U+07FF in three bytes
      {"\xF0\x90\x80\x80", "\xF0\x90\x80\x80"},             // U+10000
      {"\xF0\x8F\xBF\xBF", kFFFD + kFFFD + kFFFD + kFFFD},  // U+FFFF in four bytes
      {"\xED\x9F\xBF", "\xED\x9F\xBF"},                     // U+D7FF, just below the surrogates
      {"a\xFF"
       "b",
       "a" + kFFFD + "b"},
      {"\x80\x80", kFFFD + kFFFD},                          // lone continuation bytes: one each
      {"\xE2\x82", kFFFD},                                  // truncated at the end
      {"\xE2\x82x", kFFFD + "x"},                           // truncated in the middle
      {"\xF0\x9F\x98", kFFFD},                              // truncated four-byte sequence
      {"\xC0\xAF", kFFFD + kFFFD},                          // an overlong lead byte is never valid
      {"\xE0\x80\xAF", kFFFD + kFFFD + kFFFD},              // overlong three-byte form
      {"\xED\xA0\x80", kFFFD + kFFFD + kFFFD},              // UTF-16 surrogate
      {"\xF4\x90\x80\x80", kFFFD + kFFFD + kFFFD + kFFFD},  // above U+10FFFF
      {"\xF5x", kFFFD + "x"},
      {"plain ascii run \xC3\xA9\xC3", "plain ascii run \xC3\xA9" + kFFFD},
  };
  for (const auto& [in, out] : rows) {
    EXPECT_EQ(repairUTF8(in), out) << in;
    EXPECT_EQ(isValidUTF8(in), in == out) << in;
  }
}

TEST(TrimWhitespace, RemovesUnicodeSpacesAndLineBreaksAtBothEndsOnly) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {" \t\r\n{}\x0B\x0C ", "{}"},
      {"\xC2\xA0{\"a\": 1}\xC2\x85", "{\"a\": 1}"},  // U+00A0, U+0085
      {"\xE3\x80\x80x\xE2\x80\xA8", "x"},            // U+3000, U+2028
      {"\xE2\x80\x80x\xE2\x80\x8A", "x"},            // U+2000, U+200A
      {"\xE2\x80\xAFx\xE1\x9A\x80", "x"},            // U+202F, U+1680
      {" a b ", "a b"},
      {" \t\xC2\xA0 ", ""},
      // Neighbours of the set, and format characters, are not white space.
      {"\xE1\xBF\xBFx\xE2\x80\x8B", "\xE1\xBF\xBFx\xE2\x80\x8B"},  // U+1FFF, U+200B
      {"\xEF\xBB\xBFx\xC3\xA9", "\xEF\xBB\xBFx\xC3\xA9"},          // U+FEFF
  };
  for (const auto& [in, out] : rows) EXPECT_EQ(trimWhitespace(in), out) << in;
}

TEST(Base64Encode, MatchesRFC4648Vectors) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {std::string("\xFB\xFF\x00", 3), "+/8A"},
  };
  for (const auto& [in, out] : rows) EXPECT_EQ(base64Encode(in), out);
}

// The in-place encoding overwrites its own input from the end backwards; a
// wrong step would corrupt bytes not yet read, most likely near either end.
// Both encoders are checked against the client's own decoder too.
TEST(Base64Encode, InPlaceMatchesTheCopyingEncoderAtEveryLength) {
  std::string bytes;
  for (size_t n = 1; n <= 200; ++n) {
    bytes.push_back(static_cast<char>(n * 37 + 11));
    const std::string expected = base64Encode(bytes);
    EXPECT_EQ(demo::decodeBase64(expected), bytes) << n << " bytes";
    std::string roomy = bytes;
    roomy.reserve(expected.size());
    const char* storage = roomy.data();
    base64EncodeInPlace(roomy);
    EXPECT_EQ(roomy, expected) << n << " bytes";
    if (expected.size() > 15) {
      EXPECT_EQ(roomy.data(), storage) << "a second buffer";
    }
    std::string tight = bytes;
    tight.shrink_to_fit();
    base64EncodeInPlace(tight);
    EXPECT_EQ(tight, expected) << n << " bytes, no room";
  }
}

}  // namespace
}  // namespace quillon

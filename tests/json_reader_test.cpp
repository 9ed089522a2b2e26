#include "json_reader.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace quillon {
namespace {

std::string keysOf(const JSON& object) {
  std::string keys;
  for (const auto& [key, value] : object.items()) keys += key + ",";
  return keys;
}

TEST(ReadJSON, AgreesWithTheLibraryParserOnValidAndInvalidText) {
  for (const std::string text :
       {R"({"a":[1,-2,3.5,1e300,18446744073709551615,true,false,null,"s\u00e9\n"],"b":{}})",
        R"([[],[{}],{"x":{"y":[{"z":"w"}]}}])", R"("lone")", "0", "-0.0", " [1] ", "[1,]",
        "{\"a\" 1}", "{", "1e400", "[1e400]", "\"\\ud800\"", "// c\n1", "[1] [2]", "", "nul",
        "{\"a\":1,}"}) {
    const JSON expected = JSON::parse(text, nullptr, /*allow_exceptions=*/false);
    const JSON actual = readJSON(text);
    EXPECT_EQ(actual.is_discarded(), expected.is_discarded()) << text;
    if (!expected.is_discarded()) {
      EXPECT_EQ(actual.dump(), expected.dump()) << text;
    }
  }
}

TEST(ReadJSON, RawNulByteAnywhereIsRejected) {
  EXPECT_TRUE(readJSON(std::string("{\"a\":1}\0", 8)).is_discarded());
  EXPECT_TRUE(readJSON(std::string("{\"a\":1}\0junk", 12)).is_discarded());
  EXPECT_TRUE(readJSON(std::string("\0{\"a\":1}", 8)).is_discarded());
  EXPECT_TRUE(readJSON(std::string("[\"a\0\"]", 6)).is_discarded());
  EXPECT_EQ(readJSON(R"(["a\u0000"])")[0].get<std::string>(), std::string("a\0", 2));
}

TEST(ReadJSON, MembersKeepTheirOrderAndARepeatedKeyKeepsItsPlaceWithTheLastValue) {
  EXPECT_EQ(readJSON(R"({"z":1,"a":2,"m":3})").dump(), R"({"z":1,"a":2,"m":3})");
  EXPECT_EQ(readJSON(R"({"z":1,"a":2,"z":{"n":[1]},"m":3,"a":4})").dump(),
            R"({"z":{"n":[1]},"a":4,"m":3})");
  EXPECT_EQ(readJSON(R"({"o":{"k":1,"k":2},"o":{"k":3}})").dump(), R"({"o":{"k":3}})");

  // Past a few dozen members the repeated key is found through the index:
  // repeats of early, middle and late keys, and of a key repeated many times.
  std::string text = "{";
  std::string expected = "{";
  for (int i = 0; i < 300; ++i) {
    text += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    const int value = i == 0 ? -1 : i == 150 ? -2 : i == 299 ? -3 : i == 7 ? 1006 : i;
    expected += "\"k" + std::to_string(i) + "\":" + std::to_string(value) + (i < 299 ? "," : "}");
  }
  text += R"("k150":-2,"k0":-1,"k299":-3,)";
  for (int i = 0; i < 1000; ++i) text += "\"k7\":" + std::to_string(i + 7) + ",";
  text.back() = '}';
  const JSON parsed = readJSON(text);
  EXPECT_EQ(parsed.size(), 300u);
  EXPECT_EQ(parsed.dump(), expected);
}

TEST(ReadJSON, RepeatedKeysAtEverySizeMatchALinearSearch) {
  // Every object size around the switch to the index, each closed by a repeat
  // of each of its keys in turn.
  for (int size = 1; size <= 40; ++size) {
    for (int repeated = 0; repeated < size; ++repeated) {
      std::string text = "{";
      std::string keys;
      for (int i = 0; i < size; ++i) {
        text += "\"" + std::to_string(i) + "\":0,";
        keys += std::to_string(i) + ",";
      }
      text += "\"" + std::to_string(repeated) + "\":1,\"tail\":2}";
      const JSON parsed = readJSON(text);
      ASSERT_EQ(parsed.size(), static_cast<size_t>(size + 1)) << text;
      EXPECT_EQ(parsed[std::to_string(repeated)], 1) << text;
      EXPECT_EQ(keysOf(parsed), keys + "tail,") << text;
    }
  }
}

// Regression: every member went through a search of all earlier keys, so a
// million distinct keys took about an hour.
TEST(ReadJSON, MillionDistinctKeysParseInSeconds) {
  std::string text = "{";
  for (int i = 0; i < 1'000'000; ++i)
    text += "\"key" + std::to_string(i) + "\":[" + std::to_string(i) + "],";
  text.back() = '}';
  const auto started = std::chrono::steady_clock::now();
  const JSON parsed = readJSON(text);
  const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started);
  ASSERT_TRUE(parsed.is_object());
  EXPECT_EQ(parsed.size(), 1'000'000u);
  EXPECT_EQ(parsed.begin().key(), "key0");
  EXPECT_EQ((--parsed.end()).key(), "key999999");
  EXPECT_LT(seconds.count(), 60.0);  // about one second; a quadratic parse takes far longer
}

}  // namespace
}  // namespace quillon

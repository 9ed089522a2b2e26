#include "json_reader.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quillon {
namespace {

TEST(ReadJSON, AgreesWithTheLibraryParserExceptOnRawNulBytes) {
  for (const std::string text :
       {R"({"a":[1,-2,3.5,1e300,18446744073709551615,true,false,null,"s\u00e9\n"],"b":{}})",
        R"([[],[{}],{"x":{"y":[{"z":"w"}]}}])", R"("lone")", "0", "-0.0", " [1] ", "[1,]",
        "{\"a\" 1}", "{", "1e400", "[1e400]", "\"\\ud800\"", "// c\n1", "[1] [2]", "", "nul",
        "{\"a\":1,}", R"(["a\u0000"])"}) {
    const JSON expected = JSON::parse(text, nullptr, /*allow_exceptions=*/false);
    EXPECT_EQ(readJSON(text).dump(), expected.dump()) << text;
  }
  // The library's lexer takes a raw NUL for the end of the text.
  for (const std::string& text : {std::string("{\"a\":1}\0", 8), std::string("{\"a\":1}\0junk", 12),
                                  std::string("\0{\"a\":1}", 8), std::string("[\"a\0\"]", 6)}) {
    EXPECT_TRUE(readJSON(text).is_discarded());
  }
}

TEST(ReadJSON, MembersKeepTheirOrderAndARepeatedKeyKeepsItsPlaceWithTheLastValue) {
  EXPECT_EQ(readJSON(R"({"z":1,"a":2,"z":{"n":[1]},"m":3,"a":4})").dump(),
            R"({"z":{"n":[1]},"a":4,"m":3})");
  EXPECT_EQ(readJSON(R"({"o":{"k":1,"k":2},"o":{"k":3}})").dump(), R"({"o":{"k":3}})");
  // Every object size around the switch from a scan to an index and past the
  // index's first growth, each closed by a repeat of each of its keys in turn.
  for (int size = 1; size <= 40; ++size) {
    for (int repeated = 0; repeated < size; ++repeated) {
      std::string text = "{", expected = "{";
      for (int i = 0; i < size; ++i) {
        text += "\"" + std::to_string(i) + "\":0,";
        expected += "\"" + std::to_string(i) + "\":" + (i == repeated ? "1," : "0,");
      }
      text += "\"" + std::to_string(repeated) + "\":1,\"tail\":2}";
      EXPECT_EQ(readJSON(text).dump(), expected + "\"tail\":2}") << text;
    }
  }
}

}  // namespace
}  // namespace quillon

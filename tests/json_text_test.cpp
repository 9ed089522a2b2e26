// The answer writer must give exactly the bytes of the library's own dump(),
// and run()'s gathered write exactly the bytes of handle(): a difference would
// reach every client unnoticed.
#include "json_text.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <limits>
#include <string>

#include "server.hpp"

namespace quillon {
namespace {

std::string allControlsAndSpecials() {
  std::string text;
  for (int c = 0; c < 0x20; ++c) text.push_back(static_cast<char>(c));
  return text + "\"\\/\x7F plain caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x98\x80 end";
}

TEST(JSONText, WritesTheSameBytesAsDump) {
  const std::string big(JSONText::kReferenceThreshold + 5, 'A');
  const JSON values[] = {
      JSON::parse(R"({"jsonrpc":"2.0","id":[1,-2,3.5,1e300,-0.0,18446744073709551615,)"
                  R"(-9223372036854775808,0.1,true,false,null,{},[],""],"s":"a/b"})"),
      JSON(allControlsAndSpecials()),
      JSON::object({{allControlsAndSpecials(), JSON::array({1, 2.0, "x"})}}),
      JSON("sixteen plain by\x1Ftes, then more"),  // a control inside a run of plain words
      JSON(std::numeric_limits<double>::quiet_NaN()),
      JSON(big),                             // referenced
      JSON(big + "\xC3\xA9"),                // referenced after a UTF-8 check
      JSON(big + "\"quoted\"\n"),            // long, but escaped in place
      JSON(allControlsAndSpecials() + big),  // escape before the long run
      JSON::array({big, JSON::object({{"k", big}}), big + "\t"}),
      JSON::binary({1, 2, 3}),
  };
  for (const JSON& value : values) {
    const std::string expected = value.dump();
    EXPECT_EQ(QuillonMCPServer::encode(value), expected) << expected.substr(0, 80);
    JSONText text;
    ASSERT_TRUE(text.write(value));
    std::string joined;
    for (std::string_view piece : text.pieces()) joined += piece;
    EXPECT_EQ(joined, expected) << expected.substr(0, 80);
  }
}

TEST(JSONText, RefusesInvalidUTF8LikeDump) {
  const std::string big(JSONText::kReferenceThreshold, 'A');
  for (const std::string& bad :
       {std::string("a\xFF"), std::string("\x80"), std::string("plain words\x80"),
        std::string("\xE2\x82"), big + "\xC0\xAF", "\"" + big + "\xED\xA0\x80"}) {
    EXPECT_THROW(JSON(bad).dump(), JSON::type_error);
    EXPECT_EQ(QuillonMCPServer::encode(JSON::object({{"text", bad}})), std::nullopt);
    EXPECT_EQ(QuillonMCPServer::encode(JSON::object({{bad, 1}})), std::nullopt);
  }
}

// A snapshot large enough to be written in pieces, its Base64 unscanned, and
// a text answer with characters to escape, through the real loop.
TEST(JSONText, RunWritesWhatHandleAnswers) {
  std::string png = "\x89PNG\r\n\x1a\n";
  png.resize(7 * JSONText::kReferenceThreshold + 1, '\x7F');
  for (size_t i = 8; i < png.size(); i += 7) png[i] = static_cast<char>(i * 131);
  QuillonMCPServer server(
      [&png](const std::string&, const std::string& path, std::optional<std::string>, StopSignal&) {
        const bool image = path == "/v1/snapshot.png";
        return APIResponse{200, image ? png : "{\"a\":1}", image ? "image/png" : "", {}};
      },
      "http://127.0.0.1:1", QUILLON_VERSION);
  std::string input, expected;
  for (
      const std::string line :
      // The ping first: answered without the viewer, it may overtake a call.
      {R"({"jsonrpc":"2.0","id":2,"method":"ping"})",
       R"({"jsonrpc":"2.0","id":"a/b","method":"tools/call","params":{"name":"quillon_snapshot"}})",
       R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"quillon_state"}})"}) {
    input += line + "\n";
    // Re-serialised by the library, so that this does not lean on JSONText.
    expected += JSON::parse(*server.handle(line)).dump() + "\n";
  }
  FILE* in = std::tmpfile();
  FILE* out = std::tmpfile();
  ASSERT_TRUE(in && out);
  ASSERT_EQ(std::fwrite(input.data(), 1, input.size(), in), input.size());
  std::fflush(in);
  std::rewind(in);
  server.run(fileno(in), fileno(out));
  std::string written(expected.size() + 1, '\0');
  written.resize(static_cast<size_t>(pread(fileno(out), written.data(), written.size(), 0)));
  EXPECT_TRUE(written == expected) << written.size() << " bytes, expected " << expected.size();
  std::fclose(in);
  std::fclose(out);
}

}  // namespace
}  // namespace quillon

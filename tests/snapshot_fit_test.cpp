// A snapshot that fits goes out byte for byte; one that does not is scaled
// down until it fits, or refused with a text that says what to do. Last, the
// built executable with its default limits, against a viewer that sends
// pictures far larger than a host takes.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "mcp_client.hpp"
#include "png_reader.hpp"
#include "png_writer.hpp"
#include "snapshot_fit.hpp"
#include "support/fake_viewer.hpp"
#include "support/harness.hpp"
#include "support/pictures.hpp"
#include "text.hpp"

namespace quillon::test {
namespace {

using namespace std::chrono_literals;
using Outcome = FittedSnapshot::Outcome;

TEST(SnapshotLimits, AreTakenFromDecimalDigitsOnly) {
  const struct {
    const char* bytes;  // nullptr: not set
    const char* edge;
    uint64_t maxBytes;
    uint32_t maxEdge;
  } cases[] = {
      {nullptr, nullptr, 1000000, 1568},
      {"0", "0", 0, 0},
      {"250000", "00768", 250000, 768},
      {"18446744073709551615", "4294967295", UINT64_MAX, UINT32_MAX},
      {"18446744073709551616", "4294967296", 1000000, 1568},
      {"", "", 1000000, 1568},
      {"+5", "-1", 1000000, 1568},
      {" 5", "5 ", 1000000, 1568},
      {"1e6", "0x10", 1000000, 1568},
      {"5\n", "1,568", 1000000, 1568},
  };
  for (const auto& c : cases) {
    Environment environment = {{"quillon_snapshot_max_bytes", "7"}};
    if (c.bytes) environment["QUILLON_SNAPSHOT_MAX_BYTES"] = c.bytes;
    if (c.edge) environment["QUILLON_SNAPSHOT_MAX_EDGE"] = c.edge;
    const SnapshotLimits limits = snapshotLimits(environment);
    EXPECT_EQ(limits.maxBytes, c.maxBytes) << (c.bytes ? c.bytes : "unset");
    EXPECT_EQ(limits.maxEdge, c.maxEdge) << (c.edge ? c.edge : "unset");
  }
}

constexpr ResultFrame kFrame{150, 140};

uint64_t resultBytes(const std::string& body, uint64_t frame) {
  return base64Encode(body).size() + frame;
}

// Alpha, and the colour space that the viewer's picture names, come along.
std::string withGamma(const Picture& picture) {
  PNGWriter writer(picture.width, picture.height, picture.channels,
                   pngChunk("gAMA", std::string("\0\0\xB1\x8F", 4)));
  const size_t row = size_t(picture.width) * picture.channels;
  for (uint32_t y = 0; y < picture.height; ++y) writer.writeRow(&picture.pixels[y * row]);
  return writer.finish();
}

TEST(FitSnapshot, SendsAPictureThatFitsAsItIsAndScalesOneThatDoesNot) {
  const std::string png = pngOf(renderLike(300, 200));
  const std::string wide = pngOf(renderLike(2000, 8, 1));
  const std::string rgba = withGamma(renderLike(400, 300, 4)), ga = withGamma(renderLike(400, 300, 2));
  const uint64_t exact = resultBytes(png, kFrame.asSent);
  const struct {
    const char* name;
    const std::string& body;
    SnapshotLimits limits;
    Outcome outcome;
    uint32_t longSide;  // of the picture sent; 0: any under 300
  } cases[] = {
      {"exactly the budget", png, {exact, 300}, Outcome::asSent, 300},
      {"a byte over the budget", png, {exact - 1, 300}, Outcome::scaled, 0},
      {"a side over the edge", png, {exact, 299}, Outcome::scaled, 299},
      {"no edge: the budget alone", wide, {10000000, 0}, Outcome::asSent, 2000},
      {"over the edge, grey", wide, {10000000, 1568}, Outcome::scaled, 1568},
      {"fitting off", wide, {0, 5}, Outcome::asSent, 2000},
      {"fitting off, not even a picture", "no picture", {0, 5}, Outcome::asSent, 0},
      {"over the budget by a fifth", png, {exact * 4 / 5, 0}, Outcome::scaled, 0},
      {"RGBA with a gamma", rgba, {10000000, 200}, Outcome::scaled, 200},
      {"grey and alpha with a gamma", ga, {10000000, 200}, Outcome::scaled, 200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const FittedSnapshot fitted = fitSnapshot(c.body, c.limits, kFrame);
    ASSERT_EQ(fitted.outcome, c.outcome) << fitted.note;
    if (c.outcome == Outcome::asSent) continue;
    const Picture sent = readPicture(fitted.png), source = readPicture(c.body);
    const uint32_t longSide = std::max(sent.width, sent.height);
    EXPECT_EQ(longSide, c.longSide ? c.longSide : std::min(longSide, 299u));
    EXPECT_LE(resultBytes(fitted.png, kFrame.asPNG + 1 + fitted.note.size()), c.limits.maxBytes);
    EXPECT_EQ(fitted.note, "Scaled down from " + std::to_string(source.width) + "\xC3\x97" +
                               std::to_string(source.height) + " to " +
                               std::to_string(sent.width) + "\xC3\x97" +
                               std::to_string(sent.height) + " to fit the assistant's limits.");
    EXPECT_EQ(sent.channels, source.channels) << "grey stays grey, alpha stays";
    EXPECT_EQ(PNGReader(fitted.png).colourChunks(), PNGReader(c.body).colourChunks());
  }
}

TEST(FitSnapshot, RefusesWhatCannotBeScaledAndSaysWhatToDo) {
  std::string broken = pngOf(renderLike(400, 300));
  broken[broken.size() - 20] ^= 1;
  const std::string noise = pngOf(renderLike(600, 400));
  const std::string advice =
      ". To see the viewport, make Quillon's window smaller and take the snapshot again, or "
      "call quillon_snapshot with format \"pdf\" to export it as a vector PDF; or raise the "
      "limit with QUILLON_SNAPSHOT_MAX_BYTES where the assistant takes more.";
  const std::string jpeg = "\xFF\xD8\xFF\xE0" + std::string(5000, 'j');
  const struct {
    const char* name;
    std::string body;
    SnapshotLimits limits;
    std::string text;
  } cases[] = {
      {"a JPEG", jpeg, {1000, 1568},
       "The viewport snapshot does not fit what the assistant takes (1000 bytes a tool result, "
       "1568 pixels a side): it is 5004 bytes, and it is not a PNG that can be scaled down" +
           advice},
      {"a broken PNG", broken, {1000000, 300},
       "The viewport snapshot does not fit what the assistant takes (1000000 bytes a tool "
       "result, 300 pixels a side): it is " + std::to_string(broken.size()) +
           " bytes (400\xC3\x97" "300 pixels), and it cannot be read as a PNG (bad CRC in chunk "
           "IDAT)" + advice},
      {"too large at the floor", noise, {3000, 0},
       "The viewport snapshot does not fit what the assistant takes (3000 bytes a tool "
       "result): it is " + std::to_string(noise.size()) +
           " bytes (600\xC3\x97" "400 pixels), and even scaled down to 256\xC3\x97" "171 "
           "pixels, the smallest it is sent at, it is "},
      {"too large at an edge under the floor", noise, {3000, 100},
       "The viewport snapshot does not fit what the assistant takes (3000 bytes a tool "
       "result, 100 pixels a side): it is " + std::to_string(noise.size()) +
           " bytes (600\xC3\x97" "400 pixels), and even scaled down to 100\xC3\x97" "67 "
           "pixels, the smallest it is sent at, it is "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const FittedSnapshot fitted = fitSnapshot(c.body, c.limits, kFrame);
    EXPECT_EQ(fitted.outcome, Outcome::refused);
    EXPECT_EQ(fitted.note.substr(0, c.text.size()), c.text);
    EXPECT_TRUE(fitted.note.ends_with(advice)) << fitted.note;
  }
}

// The result in an answer line, as written.
nlohmann::ordered_json resultOf(const std::string& line) {
  return nlohmann::ordered_json::parse(line)["result"];
}

TEST(Snapshot, FromTheExecutableFitsTheDefaultLimitsAndTheSessionGoesOn) {
  const std::string large = pngOf(renderLike(2880, 1800));
  ASSERT_GT(large.size(), 2'000'000u);
  const std::string notPNG(3'000'000, 'x');
  const std::string* served = &large;
  FakeViewer viewer([&](const FakeViewer::Request& request) {
    return request.path == "/v1/snapshot.png" ? reply(200, "image/png", *served)
                                              : reply(200, "application/json", "{\"ok\":1}");
  });
  for (const std::string* body : {&large, &notPNG}) {
    served = body;
    ChildProcess child(quillonMCP(std::to_string(viewer.port())));
    ASSERT_TRUE(child.write(callLine(1, "quillon_snapshot") + "\n" + callLine(2, "quillon_state") + "\n"));
    child.closeInput();
    EXPECT_EQ(child.wait(60s).status, 0);
    const std::optional<std::string> snapshot = child.readLine(), next = child.readLine();
    ASSERT_TRUE(snapshot && next);
    const nlohmann::ordered_json result = resultOf(*snapshot);
    EXPECT_LE(result.dump().size(), 1'000'000u);
    EXPECT_EQ(*next, textAnswer(2, R"({\"ok\":1})"));
    const auto& content = result["content"];
    if (body == &notPNG) {
      EXPECT_EQ(result["isError"], true);
      continue;
    }
    EXPECT_EQ(content[0]["mimeType"], "image/png");
    const Picture sent = readPicture(demo::decodeBase64(content[0]["data"].get<std::string>()));
    EXPECT_EQ(sent.width, std::max(sent.width, sent.height));
    EXPECT_LE(sent.width, 1568u);
    EXPECT_EQ(content[1]["text"], "Snapshot of the Quillon 3D viewport. Scaled down from 2880\xC3\x97"
                                  "1800 to " + std::to_string(sent.width) + "\xC3\x97" +
                                      std::to_string(sent.height) +
                                      " to fit the assistant's limits.");
  }
}

}  // namespace
}  // namespace quillon::test

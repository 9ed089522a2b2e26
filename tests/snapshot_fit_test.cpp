// A snapshot that fits goes out byte for byte; one that does not goes as the
// largest picture that fits (a PNG, else a JPEG at the best quality, else a
// smaller one), or is refused with a text that says what to do. Last, the
// built executable with its default limits, against a viewer that sends
// pictures far larger than a host takes.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <regex>

#include "jpeg_writer.hpp"
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
  constexpr auto kAuto = SnapshotFormat::automatic, kPNG = SnapshotFormat::png;
  const struct {
    const char* bytes;  // nullptr: not set
    const char* edge;
    const char* format;
    uint64_t maxBytes;
    uint32_t maxEdge;
    SnapshotFormat expected;
  } cases[] = {
      {nullptr, nullptr, nullptr, 1000000, 2000, kAuto},
      {"0", "0", "png", 0, 0, kPNG},
      {"250000", "00768", "auto", 250000, 768, kAuto},
      {"18446744073709551615", "4294967295", "PNG", UINT64_MAX, UINT32_MAX, kAuto},
      {"18446744073709551616", "4294967296", "jpeg", 1000000, 2000, kAuto},
      {"", "", "", 1000000, 2000, kAuto},
      {"+5", "-1", " png", 1000000, 2000, kAuto},
      {" 5", "5 ", "png ", 1000000, 2000, kAuto},
      {"1e6", "0x10", nullptr, 1000000, 2000, kAuto},
      {"5\n", "1,568", nullptr, 1000000, 2000, kAuto},
  };
  for (const auto& c : cases) {
    Environment environment = {{"quillon_snapshot_max_bytes", "7"}, {"quillon_snapshot_format", "png"}};
    if (c.bytes) environment["QUILLON_SNAPSHOT_MAX_BYTES"] = c.bytes;
    if (c.edge) environment["QUILLON_SNAPSHOT_MAX_EDGE"] = c.edge;
    if (c.format) environment["QUILLON_SNAPSHOT_FORMAT"] = c.format;
    const SnapshotLimits limits = snapshotLimits(environment);
    EXPECT_EQ(limits.maxBytes, c.maxBytes) << (c.bytes ? c.bytes : "unset");
    EXPECT_EQ(limits.maxEdge, c.maxEdge) << (c.edge ? c.edge : "unset");
    EXPECT_EQ(limits.format, c.expected) << (c.format ? c.format : "unset");
  }
}

constexpr ResultFrame kFrame{150, 140, 141};
constexpr auto kPNGOnly = SnapshotFormat::png;

uint64_t resultBytes(const std::string& body, uint64_t frame) {
  return base64Encode(body).size() + frame;
}

// A PNG of `picture` carrying the colour chunks given.
std::string pngWith(const Picture& picture, const std::string& chunks) {
  PNGWriter writer(picture.width, picture.height, picture.channels, chunks);
  const size_t row = size_t(picture.width) * picture.channels;
  for (uint32_t y = 0; y < picture.height; ++y) writer.writeRow(&picture.pixels[y * row]);
  return writer.finish();
}

const std::string kGamma = pngChunk("gAMA", std::string("\0\0\xB1\x8F", 4));

// Lossless all the way: what is sent is the viewer's picture, or a PNG of it
// scaled down.
TEST(FitSnapshot, SendsAPictureThatFitsAsItIsAndScalesOneThatDoesNot) {
  const std::string png = pngOf(renderLike(300, 200));
  const std::string wide = pngOf(renderLike(2000, 8, 1));
  // Alpha, and the colour space that the viewer's picture names, come along.
  const std::string rgba = pngWith(renderLike(400, 300, 4), kGamma);
  const std::string ga = pngWith(renderLike(400, 300, 2), kGamma);
  const uint64_t exact = resultBytes(png, kFrame.asSent);
  const struct {
    const char* name;
    const std::string& body;
    SnapshotLimits limits;
    Outcome outcome;
    uint32_t longSide;  // of the picture sent; 0: any under 300
  } cases[] = {
      {"exactly the budget", png, {exact, 300}, Outcome::asSent, 300},
      {"a byte over the budget", png, {exact - 1, 300, kPNGOnly}, Outcome::encoded, 0},
      {"a side over the edge", png, {exact, 299, kPNGOnly}, Outcome::encoded, 299},
      {"no edge: the budget alone", wide, {10000000, 0}, Outcome::asSent, 2000},
      {"over the edge, grey", wide, {10000000, 1568, kPNGOnly}, Outcome::encoded, 1568},
      {"fitting off", wide, {0, 5}, Outcome::asSent, 2000},
      {"RGBA with a gamma", rgba, {10000000, 200}, Outcome::encoded, 200},
      {"grey and alpha with a gamma", ga, {10000000, 200}, Outcome::encoded, 200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const FittedSnapshot fitted = fitSnapshot(c.body, c.limits, kFrame);
    ASSERT_EQ(fitted.outcome, c.outcome) << fitted.note;
    if (c.outcome == Outcome::asSent) continue;
    ASSERT_EQ(fitted.mimeType, "image/png");
    const Picture sent = readPicture(fitted.picture), source = readPicture(c.body);
    const uint32_t longSide = std::max(sent.width, sent.height);
    EXPECT_EQ(longSide, c.longSide ? c.longSide : std::min(longSide, 299u));
    EXPECT_LE(resultBytes(fitted.picture, kFrame.asPNG + 1 + fitted.note.size()), c.limits.maxBytes);
    EXPECT_EQ(fitted.note, "Scaled down from " + std::to_string(source.width) + "\xC3\x97" +
                               std::to_string(source.height) + " to " +
                               std::to_string(sent.width) + "\xC3\x97" +
                               std::to_string(sent.height) + " to fit the assistant's limits.");
    EXPECT_EQ(sent.channels, source.channels) << "grey stays grey, alpha stays";
    EXPECT_EQ(PNGReader(fitted.picture).colourChunks(), PNGReader(c.body).colourChunks());
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
      {"too large at an edge under the floor", noise, {3000, 100, kPNGOnly},
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

// A fitted picture read back: its sides, its components (a PNG's
// channels), the JPEG quality its caption names and its ICC profile.
struct Sent {
  uint32_t width = 0, height = 0;
  int components = 0, quality = 0;
  std::string profile;
};

Sent readSent(const FittedSnapshot& fitted) {
  if (fitted.mimeType == "image/png") {
    const Picture picture = readPicture(fitted.picture);
    return {picture.width, picture.height, picture.channels, 0, {}};
  }
  std::smatch quality;
  std::regex_search(fitted.note, quality, std::regex("JPEG \\(quality (\\d+)\\)"));
  const JPEGHeader header = readJPEGHeader(fitted.picture).value_or(JPEGHeader{});
  Sent sent{header.width, header.height, header.components, std::stoi(quality[1]), {}};
  if (haveLibjpeg()) readJPEG(fitted.picture, &sent.profile);
  return sent;
}

// A PNG where one fits at the edge, else a JPEG; pictures JPEG cannot carry
// stay PNG, and the colour space travels. The budgets are set from the very
// pictures the rows expect, so each row sits on its edge. (Which quality and
// side: SendsWhatItMeasuredAndProvesTheNextStepUpDoesNot.)
TEST(FitSnapshot, SendsTheLargestPictureThatFits) {
  const std::string body = pngOf(renderLike(900, 600));
  const uint32_t edge = 800;
  // The picture at the edge, as the fitter scales it, and what it takes in
  // the result as a PNG.
  const FittedSnapshot lossless = fitSnapshot(body, {UINT64_MAX / 2, edge, kPNGOnly}, kFrame);
  ASSERT_EQ(lossless.outcome, Outcome::encoded);
  const uint64_t pngResult = resultBytes(lossless.picture, kFrame.asPNG + 1 + lossless.note.size());

  const std::string profile(3000, 'P');
  const std::string iccp = pngChunk("iCCP", std::string("Display P3\0\0", 12) + deflated(profile));
  const std::string srgb = pngChunk("sRGB", std::string(1, '\0'));
  const std::string cicp = pngChunk("cICP", std::string("\x0C\x0D\x00\x01", 4));
  const std::string colour = pngOf(renderLike(400, 300)), grey = pngOf(renderLike(400, 300, 1));
  const uint64_t tight = 40000;  // no lossless 400x300 render fits; a JPEG of it does
  Picture opaque = renderLike(400, 300, 4);
  for (size_t i = 3; i < opaque.pixels.size(); i += 4) opaque.pixels[i] = 255;
  const struct {
    const char* name;
    std::string body;
    SnapshotLimits limits;
    const char* mimeType;
    int quality, components;  // quality 0: the ceiling or lower
    uint32_t longSide;        // 0: smaller than the edge
    std::string profile = {};
  } cases[] = {
      {"a PNG that fits at the edge stays PNG", body, {pngResult, edge}, "image/png", 0, 3, edge},
      {"a byte over goes JPEG", body, {pngResult - 1, edge}, "image/jpeg", 92, 3, edge},
      {"alpha stays PNG", pngOf(renderLike(400, 300, 4)), {tight * 4, 0}, "image/png", 0, 4, 0},
      {"opaque alpha is dropped", pngOf(opaque), {tight, 0},
       "image/jpeg", 0, 3, 400},
      {"grey is one component", grey, {tight, 0}, "image/jpeg", 0, 1, 400},
      {"untagged is plain JFIF", colour, {tight, 0}, "image/jpeg", 0, 3, 400},
      {"sRGB beside gAMA is plain JFIF", pngWith(renderLike(400, 300), srgb + kGamma), {tight, 0},
       "image/jpeg", 0, 3, 400},
      {"cICP stays PNG", pngWith(renderLike(400, 300), cicp + srgb), {tight * 4, 0}, "image/png", 0,
       3, 0},
      {"iCCP travels in the JPEG", pngWith(renderLike(400, 300), iccp), {tight, 0}, "image/jpeg", 0,
       3, 400, profile},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const FittedSnapshot fitted = fitSnapshot(c.body, c.limits, kFrame);
    ASSERT_EQ(fitted.outcome, Outcome::encoded) << fitted.note;
    ASSERT_EQ(fitted.mimeType, c.mimeType);
    const Sent sent = readSent(fitted);
    const uint64_t frame = fitted.mimeType == "image/png" ? kFrame.asPNG : kFrame.asJPEG;
    EXPECT_LE(resultBytes(fitted.picture, frame + 1 + fitted.note.size()), c.limits.maxBytes);
    EXPECT_EQ(sent.components, c.components);
    const uint32_t longSide = std::max(sent.width, sent.height);
    EXPECT_TRUE(c.longSide ? longSide == c.longSide
                           : longSide < (c.limits.maxEdge ? c.limits.maxEdge : 400u))
        << longSide;
    if (fitted.mimeType == "image/png") continue;
    EXPECT_EQ(sent.quality, c.quality ? c.quality : std::clamp(sent.quality, 80, 92)) << fitted.note;
    if (haveLibjpeg()) {
      EXPECT_EQ(sent.profile, c.profile);
    }
  }
}

// sRGB may be written the long way, as gAMA 1/2.2 and sRGB's cHRM: such a
// picture is a plain JFIF. Any other gamma or primaries keep it PNG.
TEST(FitSnapshot, ReadsGammaAndChromaticitiesThatMeanSRGBAsSRGB) {
  const auto gamma = [](uint32_t value) {
    return pngChunk(
        "gAMA", std::string{char(value >> 24), char(value >> 16), char(value >> 8), char(value)});
  };
  const auto chromaticities = [](std::vector<uint32_t> values) {
    std::string data;
    for (uint32_t v : values) data += {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    return pngChunk("cHRM", data);
  };
  // As ImageMagick writes them, and rounded a little otherwise.
  const std::string srgb = chromaticities({31270, 32900, 64000, 33000, 30000, 60000, 15000, 6000});
  const std::string rounded =
      chromaticities({31271, 32902, 64000, 33000, 30000, 60000, 15000, 6000});
  const std::string p3 = chromaticities({31270, 32900, 68000, 32000, 26500, 69000, 15000, 6000});
  const std::string offWhite =
      chromaticities({31450, 32900, 64000, 33000, 30000, 60000, 15000, 6000});
  const struct {
    const char* name;
    std::string chunks;
    const char* mimeType;
  } cases[] = {
      {"gAMA and cHRM of sRGB", gamma(45455) + srgb, "image/jpeg"},
      {"both rounded", gamma(45454) + rounded, "image/jpeg"},
      {"gAMA 1/2.2 alone", gamma(45455), "image/jpeg"},
      {"cHRM of sRGB alone", srgb, "image/jpeg"},
      {"linear gamma", gamma(100000) + srgb, "image/png"},
      {"a gamma past the tolerance", gamma(45700), "image/png"},
      {"Display P3 primaries", gamma(45455) + p3, "image/png"},
      {"another white point", offWhite, "image/png"},
      {"a short cHRM", gamma(45455) + pngChunk("cHRM", std::string(28, '\0')), "image/png"},
  };
  for (const auto& c : cases) {
    const FittedSnapshot fitted =
        fitSnapshot(pngWith(renderLike(400, 300), c.chunks), {160000, 0}, kFrame);
    ASSERT_EQ(fitted.outcome, Outcome::encoded) << c.name << ": " << fitted.note;
    EXPECT_EQ(fitted.mimeType, c.mimeType) << c.name;
    if (fitted.mimeType == std::string("image/jpeg") && haveLibjpeg()) {
      std::string profile;
      readJPEG(fitted.picture, &profile);
      EXPECT_EQ(profile, "") << c.name << ": a plain JFIF";
    }
  }
}

std::string jpegOf(const Picture& picture, int quality) {
  JPEGWriter writer(picture.width, picture.height, picture.channels, quality);
  const size_t row = size_t(picture.width) * picture.channels;
  for (uint32_t y = 0; y < picture.height; ++y) writer.writeRow(&picture.pixels[y * row]);
  return writer.finish();
}

// What the fitter sends for `picture` sent again at `side`: `png` scaled
// by the fitter itself, read back from a lossless fit.
Picture scaledBy(const std::string& png, uint32_t side) {
  const Picture whole = readPicture(png);
  if (side == std::max(whole.width, whole.height)) return whole;
  return readPicture(fitSnapshot(png, {UINT64_MAX / 2, side, kPNGOnly}, kFrame).picture);
}

// The tool result's bytes for `picture` sent at JPEG `quality` (0: PNG)
// in place of a viewport of `width` x `height`, caption included.
uint64_t resultFor(const Picture& picture, int quality, uint32_t width, uint32_t height) {
  const auto sides = [](uint32_t w, uint32_t h) {
    return std::to_string(w) + "\xC3\x97" + std::to_string(h);
  };
  const std::string as = "JPEG (quality " + std::to_string(quality) + ")";
  const bool own = picture.width == width && picture.height == height;
  const std::string note =
      own ? (quality ? "Sent as " + as + ", at its own size, to fit the assistant's limits."
                     : "Encoded again, at its own size, to fit the assistant's limits.")
          : "Scaled down from " + sides(width, height) + " to " +
                sides(picture.width, picture.height) + (quality ? " and sent as " + as : "") +
                " to fit the assistant's limits.";
  return resultBytes(quality ? jpegOf(picture, quality) : pngOf(picture),
                     (quality ? kFrame.asJPEG : kFrame.asPNG) + 1 + note.size());
}

// Everything sent is measured, on pictures whose rows repeat in and out of
// phase with any sample: the quality sent fits and the next one up does
// not; a picture is smaller than the edge only when the floor quality does
// not fit there, and then a side at most 5 % larger does not fit either.
TEST(FitSnapshot, SendsWhatItMeasuredAndProvesTheNextStepUpDoesNot) {
  const uint32_t w = 960, h = 600;
  const struct {
    const char* name;
    Picture picture;
    double budgetShare;  // of the picture's result at the edge at quality 86 (PNG-only: as PNG)
    SnapshotFormat format;
    int mostEncodes;
  } cases[] = {
      {"ruled text every 32 px", ruledText(w, h, 32, 0), 1.0, SnapshotFormat::automatic, 3},
      {"ruled text every 32 px, 16 down", ruledText(w, h, 32, 16), 1.1, SnapshotFormat::automatic,
       3},
      {"a grid every 16 px", groundGrid(w, h, 16, 0), 0.95, SnapshotFormat::automatic, 3},
      {"a grid every 16 px, 8 across", groundGrid(w, h, 16, 8), 1.2, SnapshotFormat::automatic, 3},
      {"the floor does not fit at the edge", ruledText(w, h, 16, 4), 0.6, SnapshotFormat::automatic,
       6},
      {"PNG only, a grid", groundGrid(w, h, 32, 0), 0.7, SnapshotFormat::png, 5},
      {"PNG only, ruled text", ruledText(w, h, 16, 0), 0.5, SnapshotFormat::png, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string body = pngOf(c.picture);
    const bool pngOnly = c.format == SnapshotFormat::png;
    const uint64_t budget =
        uint64_t(double(resultFor(c.picture, pngOnly ? 0 : 86, w, h)) * c.budgetShare);
    const SnapshotLimits limits{budget, w, c.format};
    const FittedSnapshot fitted = fitSnapshot(body, limits, kFrame);
    ASSERT_EQ(fitted.outcome, Outcome::encoded) << fitted.note;
    ASSERT_EQ(fitted.mimeType, pngOnly ? "image/png" : "image/jpeg");
    EXPECT_LE(fitted.encodes, c.mostEncodes) << "the guesses start it well";
    const Sent sent = readSent(fitted);
    const uint32_t side = std::max(sent.width, sent.height);
    ASSERT_LE(resultFor(scaledBy(body, side), sent.quality, w, h), budget) << "what is sent fits";
    if (side == w) {
      if (sent.quality < kJPEGQualityCeiling) {
        EXPECT_GT(resultFor(c.picture, sent.quality + 1, w, h), budget) << "one quality up";
      }
      continue;
    }
    if (!pngOnly) {
      EXPECT_EQ(sent.quality, kJPEGQualityFloor);
      EXPECT_GT(resultFor(c.picture, kJPEGQualityFloor, w, h), budget) << "the floor at the edge";
    }
    // Sizes need not grow with the side on such pictures: some side a step
    // up does not fit, not necessarily every one.
    const uint32_t stepUp = std::min(w, side + (side + 19) / 20);
    bool larger = false;
    for (uint32_t up = stepUp; up > side && !larger; --up) {
      larger = resultFor(scaledBy(body, up), sent.quality, w, h) > budget;
    }
    EXPECT_TRUE(larger) << side << " px sent, and every side up to " << stepUp << " fits";
  }
}

// A viewport's axes are one or two pixels wide; sent as JPEG they keep
// their colour, against the same pixels of the picture scaled but not
// encoded.
TEST(FitSnapshot, ThinColouredLinesKeepTheirColour) {
  if (!haveLibjpeg()) GTEST_SKIP() << "libjpeg is not installed here (Debian: libjpeg62-turbo-dev)";
  Picture picture = renderLike(1200, 750);
  const uint8_t colours[3][3] = {{230, 20, 20}, {20, 200, 30}, {30, 40, 230}};
  for (int c = 0; c < 3; ++c) {
    for (uint32_t width = 1; width <= 2; ++width) {
      const uint32_t at = 100 + 200 * c + 100 * width;
      for (uint32_t i = 0; i < 750; ++i) {
        for (uint32_t w = 0; w < width; ++w) {
          std::copy(colours[c], colours[c] + 3, picture.at(at + w, i));                      // down
          if (i < 700) std::copy(colours[c], colours[c] + 3, picture.at(i + 300, at / 2 + w));  // across
        }
      }
    }
  }
  const std::string body = pngOf(picture);
  const FittedSnapshot reference = fitSnapshot(body, {UINT64_MAX / 2, 1000, kPNGOnly}, kFrame);
  const FittedSnapshot jpeg = fitSnapshot(body, {reference.picture.size(), 1000}, kFrame);
  ASSERT_EQ(jpeg.mimeType, "image/jpeg") << jpeg.note;
  const Picture sent = readJPEG(jpeg.picture), scaled = readPicture(reference.picture);
  ASSERT_EQ(sent.pixels.size(), scaled.pixels.size());
  // Where the scaled picture shows a line's colour, the JPEG shows the same
  // colour, at least two thirds as strong.
  int lines = 0, lost = 0;
  for (size_t i = 0; i < scaled.pixels.size(); i += 3) {
    const uint8_t* want = &scaled.pixels[i];
    const uint8_t* got = &sent.pixels[i];
    const int strongest = int(std::max_element(want, want + 3) - want);
    const int chroma = want[strongest] - *std::min_element(want, want + 3);
    if (chroma < 90) continue;
    ++lines;
    const int gotStrongest = int(std::max_element(got, got + 3) - got);
    if (gotStrongest != strongest || got[strongest] - *std::min_element(got, got + 3) < chroma * 2 / 3) ++lost;
  }
  EXPECT_GT(lines, 3000);
  EXPECT_EQ(lost, 0) << "of " << lines << " line pixels";
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
    EXPECT_EQ(content[0]["mimeType"], "image/jpeg");
    const std::optional<JPEGHeader> sent =
        readJPEGHeader(demo::decodeBase64(content[0]["data"].get<std::string>()));
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->width, 2000u);
    EXPECT_EQ(sent->height, 1250u);
    EXPECT_TRUE(std::regex_match(content[1]["text"].get<std::string>(),
                                 std::regex("Snapshot of the Quillon 3D viewport. Scaled down from "
                                            "2880\xC3\x97" "1800 to 2000\xC3\x97" "1250 and sent as JPEG "
                                            "\\(quality (8\\d|9[0-2])\\) to fit the assistant's limits.")))
        << content[1]["text"];
  }
}

}  // namespace
}  // namespace quillon::test

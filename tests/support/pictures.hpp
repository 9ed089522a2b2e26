// What the picture tests share: a whole PNG read with the server's reader,
// PNG files put together chunk by chunk (so that they can be broken on
// purpose), and ImageMagick and libjpeg, where they are installed, as the
// references that owe nothing to this code.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::test {

struct Picture {
  uint32_t width = 0, height = 0;
  int channels = 0;
  std::vector<uint8_t> pixels;

  uint8_t* at(uint32_t x, uint32_t y) { return &pixels[(size_t(y) * width + x) * channels]; }
};

// Every row of `png`, read by PNGReader (which may throw PNGError).
Picture readPicture(std::string_view png);
// The same picture as a PNG, by PNGWriter.
std::string pngOf(const Picture& picture);
// A picture of render-like content: gradients, shaded blotches, thin lines
// and a little noise, the same for the same arguments.
Picture renderLike(uint32_t width, uint32_t height, int channels = 3);
// Pictures whose rows repeat, as architects' do: a facade wall carrying a
// ruled line of small text every `period` rows, and a ground plane under a
// grid every `period` pixels, each starting `phase` rows down.
Picture ruledText(uint32_t width, uint32_t height, uint32_t period, uint32_t phase);
Picture groundGrid(uint32_t width, uint32_t height, uint32_t period, uint32_t phase);

// One chunk: length, type, data and CRC.
std::string pngChunk(std::string_view type, std::string_view data);
// A PNG with the given header fields whose chunks after IHDR are `chunks`.
std::string pngFile(uint32_t width, uint32_t height, int depth, int colourType, bool interlaced,
                    std::string_view chunks);
std::string deflated(std::string_view bytes);

// ImageMagick's convert with `arguments`; its stdout, or nothing when it is
// not installed here (the hosted Macs) or fails.
std::optional<std::string> imageMagick(const std::vector<std::string>& arguments);
bool haveImageMagick();

// libjpeg, where it was found at configure time, as the decoder of what the
// JPEG writer writes. readJPEG gives grey as 1 channel and colour as 3, and
// the ICC profile when asked (empty when there is none); it throws
// std::runtime_error when libjpeg refuses the file or is not installed.
bool haveLibjpeg();
Picture readJPEG(std::string_view jpeg, std::string* iccProfile = nullptr);

// The root of the mean squared difference of two pictures of one shape,
// each sample as a share of 255.
double normalisedRMSE(const Picture& a, const Picture& b);

}  // namespace quillon::test

#include "jpeg_writer.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <stdexcept>
#include <vector>

namespace quillon {

namespace {

constexpr int kBlock = 64;

// The natural (row-major) index of each coefficient in zigzag order, which
// is the order DQT stores tables in and the entropy coder runs in.
constexpr std::array<uint8_t, kBlock> kZigzag = [] {
  std::array<uint8_t, kBlock> order{};
  int row = 0, column = 0;
  for (int k = 0; k < kBlock; ++k) {
    order[k] = uint8_t(row * 8 + column);
    if ((row + column) % 2 == 0) {  // going up and right
      if (column == 7) {
        ++row;
      } else if (row == 0) {
        ++column;
      } else {
        --row, ++column;
      }
    } else if (row == 7) {
      ++column;
    } else if (column == 0) {
      ++row;
    } else {
      ++row, --column;
    }
  }
  return order;
}();
static_assert(kZigzag[2] == 8 && kZigzag[3] == 16 && kZigzag[63] == 63);

// The base quantisation tables every JPEG tool starts from (luminance, then
// chrominance), row-major, at quality 50.
constexpr uint8_t kBaseTables[2][kBlock] = {
    {16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
     14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
     18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
     49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99},
    {17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99,
     99, 99, 47, 66, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
     99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99},
};

// The typical Huffman tables every decoder knows: codes of each length from
// 1 to 16 bits, then the symbols in code order. Optimised tables would save
// a few per cent at the cost of a second pass over every block.
struct HuffmanTable {
  std::array<uint8_t, 16> counts;
  std::array<uint8_t, 162> symbols;
  int symbolCount;
};
constexpr HuffmanTable kHuffmanTables[4] = {
    // DC luminance, AC luminance
    {{0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 12},
    {{0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d},
     {0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
      0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
      0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25,
      0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45,
      0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64,
      0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
      0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
      0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6,
      0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3,
      0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8,
      0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa},
     162},
    // DC chrominance, AC chrominance
    {{0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 12},
    {{0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77},
     {0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
      0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33,
      0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18,
      0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44,
      0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63,
      0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
      0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
      0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4,
      0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca,
      0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7,
      0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa},
     162},
};

// A slip in the tables above would still give files that decode, wrongly:
// each table must hold every symbol it can be asked for, once.
constexpr bool holdsEverySymbolOnce(const HuffmanTable& table, bool ac) {
  int total = 0;
  for (uint8_t count : table.counts) total += count;
  if (total != table.symbolCount) return false;
  std::array<int, 256> seen{};
  for (int i = 0; i < table.symbolCount; ++i) ++seen[table.symbols[i]];
  for (int symbol = 0; symbol < 256; ++symbol) {
    const int run = symbol >> 4, size = symbol & 15;
    const bool wanted =
        ac ? symbol == 0 || symbol == 0xF0 || (size >= 1 && size <= 10) : run == 0 && size <= 11;
    if (seen[symbol] != (wanted ? 1 : 0)) return false;
  }
  return true;
}
static_assert(holdsEverySymbolOnce(kHuffmanTables[0], false) &&
              holdsEverySymbolOnce(kHuffmanTables[1], true) &&
              holdsEverySymbolOnce(kHuffmanTables[2], false) &&
              holdsEverySymbolOnce(kHuffmanTables[3], true));

// Each symbol's code, looked up rather than searched for.
struct HuffmanCodes {
  std::array<uint16_t, 256> code{};
  std::array<uint8_t, 256> length{};
};
constexpr HuffmanCodes codesOf(const HuffmanTable& table) {
  HuffmanCodes codes;
  uint32_t code = 0;
  int next = 0;
  for (int length = 1; length <= 16; ++length, code <<= 1) {
    for (int i = 0; i < table.counts[length - 1]; ++i, ++code, ++next) {
      codes.code[table.symbols[next]] = uint16_t(code);
      codes.length[table.symbols[next]] = uint8_t(length);
    }
  }
  return codes;
}
constexpr HuffmanCodes kCodes[4] = {codesOf(kHuffmanTables[0]), codesOf(kHuffmanTables[1]),
                                    codesOf(kHuffmanTables[2]), codesOf(kHuffmanTables[3])};

// The forward DCT below leaves coefficient (u, v) multiplied by
// 8 * kScale[u] * kScale[v], which the quantiser divides out for free
// (kScale[k] = cos(k * pi / 16) * sqrt(2), 1 for k = 0).
constexpr double kScale[8] = {1.0, 1.387039845, 1.306562965, 1.175875602,
                              1.0, 0.785694958, 0.541196100, 0.275899379};

// One 8-point AAN pass over the columns of `block`, eight at a time: every
// step works on whole rows, which the compiler turns into vector
// instructions.
inline void dctColumns(float* block) {
  for (int i = 0; i < 8; ++i) {
    float* d = block + i;
    const float tmp0 = d[0] + d[56], tmp7 = d[0] - d[56];
    const float tmp1 = d[8] + d[48], tmp6 = d[8] - d[48];
    const float tmp2 = d[16] + d[40], tmp5 = d[16] - d[40];
    const float tmp3 = d[24] + d[32], tmp4 = d[24] - d[32];

    const float tmp10 = tmp0 + tmp3, tmp13 = tmp0 - tmp3;
    const float tmp11 = tmp1 + tmp2, tmp12 = tmp1 - tmp2;
    d[0] = tmp10 + tmp11;
    d[32] = tmp10 - tmp11;
    const float z1 = (tmp12 + tmp13) * 0.707106781f;
    d[16] = tmp13 + z1;
    d[48] = tmp13 - z1;

    const float odd10 = tmp4 + tmp5, odd11 = tmp5 + tmp6, odd12 = tmp6 + tmp7;
    const float z5 = (odd10 - odd12) * 0.382683433f;
    const float z2 = 0.541196100f * odd10 + z5;
    const float z4 = 1.306562965f * odd12 + z5;
    const float z3 = odd11 * 0.707106781f;
    const float z11 = tmp7 + z3, z13 = tmp7 - z3;
    d[40] = z13 + z2;
    d[24] = z13 - z2;
    d[8] = z11 + z4;
    d[56] = z11 - z4;
  }
}

// Leaves the block transposed: coefficient (u, v) at v * 8 + u, which the
// quantiser's gather order accounts for.
void forwardDCT(float* block) {
  dctColumns(block);
  for (int row = 0; row < 8; ++row) {
    for (int column = row + 1; column < 8; ++column) {
      std::swap(block[row * 8 + column], block[column * 8 + row]);
    }
  }
  dctColumns(block);
}

// Where forwardDCT leaves each coefficient of zigzag position k.
constexpr std::array<uint8_t, kBlock> kGather = [] {
  std::array<uint8_t, kBlock> gather{};
  for (int k = 0; k < kBlock; ++k) gather[k] = uint8_t((kZigzag[k] % 8) * 8 + kZigzag[k] / 8);
  return gather;
}();

// A quality's tables (luminance, chrominance): as DQT writes them, in
// zigzag order, and as the reciprocals of the divisors of the DCT's scaled
// outputs, where forwardDCT leaves them.
struct Quantiser {
  std::array<uint8_t, kBlock> table[2];
  std::array<float, kBlock> reciprocal[2];

  explicit Quantiser(int quality) {
    const int scale = quality < 50 ? 5000 / quality : 200 - 2 * quality;
    for (int t = 0; t < 2; ++t) {
      for (int k = 0; k < kBlock; ++k) {
        const int natural = kZigzag[k];
        const int entry = std::clamp((kBaseTables[t][natural] * scale + 50) / 100, 1, 255);
        table[t][k] = uint8_t(entry);
        reciprocal[t][kGather[k]] =
            float(1.0 / (entry * kScale[natural / 8] * kScale[natural % 8] * 8.0));
      }
    }
  }
};

// The quantised block in zigzag order; returns a mask of its nonzero entries.
// `reciprocal` is in the order forwardDCT leaves the block in, so that the
// arithmetic runs on whole rows; only the reordering goes one by one.
inline uint64_t quantise(const float* block, const float* reciprocal, int16_t* out) {
  int16_t stored[kBlock];
  for (int i = 0; i < kBlock; ++i) {
    // Rounds half up without a call to the C library's rounding.
    stored[i] = int16_t(int(block[i] * reciprocal[i] + 16384.5f) - 16384);
  }
  uint64_t nonzero = 0;
  for (int k = 0; k < kBlock; ++k) {
    out[k] = stored[kGather[k]];
    nonzero |= uint64_t(out[k] != 0) << k;
  }
  return nonzero;
}

// Packs codes into bytes, most significant bit first, for `Bytes`: the file
// being written, or a count of what it would take. A code and its extra
// bits go in at once (26 bits at most), a word of 32 bits comes out.
template <class Bytes>
class BitPacker {
 public:
  explicit BitPacker(Bytes& bytes) : bytes_(bytes) {}

  void put(uint32_t bits, int length) {
    accumulator_ = (accumulator_ << length) | bits;
    count_ += length;
    if (count_ >= 32) {
      count_ -= 32;
      bytes_.word(uint32_t(accumulator_ >> count_));
    }
  }
  // A symbol of `codes` followed by the bits of `value`, which decoders read
  // as its size category (symbol's low four bits) and its value within it.
  void putValue(const HuffmanCodes& codes, int run, int value) {
    const int size = std::bit_width(unsigned(value < 0 ? -value : value));
    const int symbol = run << 4 | size;
    // Negative values go as value - 1 in `size` bits: ones' complement.
    const uint32_t extra = uint32_t(value + (value >> 31)) & ((1u << size) - 1);
    put(uint32_t(codes.code[symbol]) << size | extra, codes.length[symbol] + size);
  }
  // Pads the last byte with 1 bits, as decoders expect before a marker.
  void finish() {
    bytes_.reserve(16);
    const int padding = (8 - count_ % 8) % 8;
    put((1u << padding) - 1, padding);
    for (; count_ > 0; count_ -= 8) bytes_.byte(uint8_t(accumulator_ >> (count_ - 8)));
  }

 private:
  Bytes& bytes_;
  uint64_t accumulator_ = 0;
  int count_ = 0;  // bits in the accumulator not yet given out, under 32
};

constexpr bool hasByteFF(uint32_t word) {
  const uint32_t inverted = ~word;  // a zero byte where word has 0xFF
  return ((inverted - 0x01010101u) & ~inverted & 0x80808080u) != 0;
}

// The file being written: the bytes of entropy-coded data go straight into
// its buffer, each 0xFF followed by a 0 so that no marker is mistaken.
class FileBytes {
 public:
  FileBytes(std::string file, size_t expected) : file_(std::move(file)), used_(file_.size()) {
    file_.resize(used_ + expected);
  }
  // Room for `bytes` more, asked for once per MCU rather than per byte.
  void reserve(size_t bytes) {
    if (file_.size() - used_ < bytes) file_.resize(std::max(file_.size() * 2, used_ + bytes));
  }
  void word(uint32_t word) {
    if (hasByteFF(word)) {
      for (int shift = 24; shift >= 0; shift -= 8) byte(uint8_t(word >> shift));
      return;
    }
    char* at = file_.data() + used_;
    at[0] = char(word >> 24), at[1] = char(word >> 16), at[2] = char(word >> 8), at[3] = char(word);
    used_ += 4;
  }
  void byte(uint8_t byte) {
    reserve(2);
    file_[used_++] = char(byte);
    if (byte == 0xFF) file_[used_++] = 0;
  }
  size_t size() const { return used_; }
  std::string finish(std::string_view tail) {
    file_.resize(used_);
    return std::move(file_.append(tail));
  }

 private:
  std::string file_;
  size_t used_;
};

// What the same bytes would take, stuffing included, without keeping them.
struct ByteCount {
  uint64_t bytes = 0;

  void reserve(size_t) {}
  void word(uint32_t word) {
    bytes += 4;
    if (hasByteFF(word)) {
      for (int shift = 24; shift >= 0; shift -= 8) bytes += uint8_t(word >> shift) == 0xFF;
    }
  }
  void byte(uint8_t byte) { bytes += byte == 0xFF ? 2 : 1; }
};

// The most one MCU of three blocks can take: a block's codes come to under
// 210 bytes, stuffing may double them, and bits of the MCU before may follow.
constexpr size_t kMCUBytes = 1536;

// Codes `mcus` MCUs of `components` transformed blocks each, one after
// another as the band holds them, carrying each component's DC prediction
// in `lastDC`.
template <class Bytes>
void codeBlocks(const float* blocks, size_t mcus, int components, const Quantiser& quantiser,
                Bytes& bytes, BitPacker<Bytes>& bits, int* lastDC) {
  int16_t coefficients[kBlock];
  for (size_t mcu = 0; mcu < mcus; ++mcu) {
    bytes.reserve(kMCUBytes);
    for (int c = 0; c < components; ++c, blocks += kBlock) {
      const int table = c == 0 ? 0 : 1;
      const HuffmanCodes& dc = kCodes[2 * table];
      const HuffmanCodes& ac = kCodes[2 * table + 1];
      uint64_t nonzero = quantise(blocks, quantiser.reciprocal[table].data(), coefficients);
      bits.putValue(dc, 0, coefficients[0] - lastDC[c]);
      lastDC[c] = coefficients[0];
      int last = 0;
      for (nonzero &= ~uint64_t(1); nonzero != 0; nonzero &= nonzero - 1) {
        const int k = std::countr_zero(nonzero);
        int run = k - last - 1;
        for (; run >= 16; run -= 16) bits.put(ac.code[0xF0], ac.length[0xF0]);
        bits.putValue(ac, run, coefficients[k]);
        last = k;
      }
      if (last != kBlock - 1) bits.put(ac.code[0x00], ac.length[0x00]);  // end of block
    }
  }
}

void checkPicture(uint32_t width, uint32_t height, int channels) {
  if (width == 0 || height == 0 || width > 65535 || height > 65535 || channels < 1 ||
      channels > 4) {
    throw std::invalid_argument("no JPEG holds " + std::to_string(width) + "x" +
                                std::to_string(height) + " pixels of " + std::to_string(channels) +
                                " channels");
  }
}

void checkQuality(int quality) {
  if (quality < 1 || quality > 100) {
    throw std::invalid_argument("JPEG quality " + std::to_string(quality) + " is not 1 to 100");
  }
}

// The most profile bytes one APP2 segment carries, after its length,
// "ICC_PROFILE\0", sequence number and count.
constexpr size_t kICCChunk = 65535 - 2 - 12 - 2;
constexpr size_t kICCOverhead = 2 + 2 + 12 + 2;

size_t iccSegments(size_t profileBytes) {
  const size_t segments = (profileBytes + kICCChunk - 1) / kICCChunk;
  if (segments > 255) {
    throw std::invalid_argument("an ICC profile of " + std::to_string(profileBytes) +
                                " bytes does not fit in 255 JPEG segments");
  }
  return segments;
}

void appendSegment(std::string& out, uint8_t marker, std::string_view data) {
  const size_t length = data.size() + 2;
  out += {char(0xFF), char(marker), char(length >> 8), char(length)};
  out.append(data);
}

// Everything before the entropy-coded data.
std::string headers(uint32_t width, uint32_t height, int components, const Quantiser& quantiser,
                    std::string_view iccProfile) {
  std::string file = {char(0xFF), char(0xD8)};
  // JFIF 1.01, square pixels of no stated size, no thumbnail.
  appendSegment(file, 0xE0, std::string_view("JFIF\0\1\1\0\0\1\0\1\0\0", 14));
  const size_t segments = iccSegments(iccProfile.size());
  for (size_t i = 0; i < segments; ++i) {
    std::string data("ICC_PROFILE\0", 12);
    data += {char(i + 1), char(segments)};
    data.append(iccProfile.substr(i * kICCChunk, kICCChunk));
    appendSegment(file, 0xE2, data);
  }
  const int tables = components == 1 ? 1 : 2;
  std::string quantisation;
  for (int t = 0; t < tables; ++t) {
    quantisation += char(t);  // 8-bit entries, table t
    quantisation.append(quantiser.table[t].begin(), quantiser.table[t].end());
  }
  appendSegment(file, 0xDB, quantisation);

  std::string frame = {8,           char(height >> 8), char(height), char(width >> 8),
                       char(width), char(components)};
  for (int c = 0; c < components; ++c) frame += {char(c + 1), 0x11, char(c == 0 ? 0 : 1)};
  appendSegment(file, 0xC0, frame);

  std::string huffman;
  for (int t = 0; t < 2 * tables; ++t) {
    const HuffmanTable& table = kHuffmanTables[t];
    huffman += char((t % 2) << 4 | t / 2);  // class (DC 0, AC 1), then table
    huffman.append(table.counts.begin(), table.counts.end());
    huffman.append(table.symbols.begin(), table.symbols.begin() + table.symbolCount);
  }
  appendSegment(file, 0xC4, huffman);

  std::string scan = {char(components)};
  for (int c = 0; c < components; ++c) scan += {char(c + 1), char(c == 0 ? 0x00 : 0x11)};
  scan += {0, 63, 0};  // all 64 coefficients, no successive approximation
  appendSegment(file, 0xDA, scan);
  return file;
}

constexpr char kEndOfImage[] = {char(0xFF), char(0xD9)};

// One band of 8 rows, as level-shifted samples ready for the DCT. Blocks are
// stored one after another in the order they are coded: for each 8 columns,
// a block of each component.
class Band {
 public:
  Band(uint32_t width, uint32_t height, int channels)
      : width_(width),
        height_(height),
        channels_(channels),
        components_(channels < 3 ? 1 : 3),
        mcus_((width + 7) / 8),
        samples_(mcus_ * size_t(components_) * kBlock) {}

  int components() const { return components_; }
  size_t mcus() const { return mcus_; }
  uint32_t bands() const { return (height_ + 7) / 8; }
  // The band the next row goes into.
  uint32_t current() const { return rows_ / 8; }
  bool whole() const { return rows_ == height_; }
  uint32_t rowsWritten() const { return rows_; }
  const float* blocks() const { return samples_.data(); }

  // Takes the next row; when it ends a band, transforms the band and
  // returns true. Only the MCUs that `read` names (all, when it is null) are
  // converted and transformed: an estimate's sample.
  bool add(const uint8_t* row, const std::vector<uint8_t>* read = nullptr) {
    if (rows_ == height_) {
      throw std::invalid_argument("a JPEG of " + std::to_string(height_) +
                                  " rows takes no more rows");
    }
    const int line = int(rows_ % 8);
    ++rows_;
    const bool ended = line == 7 || rows_ == height_;
    constexpr void (Band::*kConvert[4])(const uint8_t*, int, const std::vector<uint8_t>*) = {
        &Band::convert<1>, &Band::convert<2>, &Band::convert<3>, &Band::convert<4>};
    (this->*kConvert[channels_ - 1])(row, line, read);
    if (!ended) return false;
    // A short last band repeats its last row: repeating edges, rather than
    // padding with black, keeps the ringing of a sharp step out of the
    // picture's last pixels.
    for (size_t block = 0; block < samples_.size(); block += kBlock) {
      if (read && !(*read)[block / kBlock / components_]) continue;
      float* b = &samples_[block];
      for (int below = line + 1; below < 8; ++below) std::copy_n(b + line * 8, 8, b + below * 8);
      forwardDCT(b);
    }
    return true;
  }

 private:
  // Full-range YCbCr as JFIF defines it, level-shifted around zero. Eight
  // pixels at a time, gathered first, so that the arithmetic runs on whole
  // block rows; the last block's columns past the edge repeat the last pixel.
  template <int channels>
  void convert(const uint8_t* row, int line, const std::vector<uint8_t>* read) {
    constexpr int components = channels < 3 ? 1 : 3;
    float* out = samples_.data() + line * 8;
    for (size_t block = 0; block < mcus_; ++block, out += components * kBlock) {
      if (read && !(*read)[block]) continue;
      float r[8], g[8], b[8];
      for (uint32_t i = 0; i < 8; ++i) {
        const uint8_t* pixel = row + std::min(uint32_t(block * 8 + i), width_ - 1) * channels;
        r[i] = pixel[0];
        if constexpr (components == 3) g[i] = pixel[1], b[i] = pixel[2];
      }
      for (int i = 0; i < 8; ++i) {
        if constexpr (components == 1) {
          out[i] = r[i] - 128;
        } else {
          out[i] = 0.299f * r[i] + 0.587f * g[i] + 0.114f * b[i] - 128;
          out[kBlock + i] = -0.168735892f * r[i] - 0.331264108f * g[i] + 0.5f * b[i];
          out[2 * kBlock + i] = 0.5f * r[i] - 0.418687589f * g[i] - 0.081312411f * b[i];
        }
      }
    }
  }

  uint32_t width_, height_;
  int channels_, components_;
  size_t mcus_;
  uint32_t rows_ = 0;
  std::vector<float> samples_;
};

}  // namespace

std::optional<JPEGHeader> readJPEGHeader(std::string_view file) {
  const auto byte = [&](size_t at) { return uint32_t(uint8_t(file[at])); };
  if (file.size() < 2 || byte(0) != 0xFF || byte(1) != 0xD8) return std::nullopt;
  size_t at = 2;
  while (at < file.size() && byte(at) == 0xFF) {
    while (at < file.size() && byte(at) == 0xFF) ++at;  // fill bytes before a marker
    if (at == file.size()) break;
    const uint32_t marker = byte(at++);
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;  // no length
    // Data or the end before any frame: not a picture we can size.
    if (marker == 0x00 || marker == 0xD8 || marker == 0xD9 || marker == 0xDA) break;
    if (file.size() - at < 2) break;
    const size_t length = byte(at) << 8 | byte(at + 1);
    const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
                       marker != 0xCC;  // not DHT, JPG or DAC, which share the range
    if (frame) {
      if (length < 8 || file.size() - at < 8) break;
      return JPEGHeader{byte(at + 5) << 8 | byte(at + 6), byte(at + 3) << 8 | byte(at + 4),
                        int(byte(at + 7))};
    }
    if (length < 2) break;
    at += length;
  }
  return std::nullopt;
}

struct JPEGWriter::Coder {
  Band band;
  Quantiser quantiser;
  FileBytes bytes;
  BitPacker<FileBytes> bits{bytes};
  int lastDC[3] = {0, 0, 0};

  Coder(uint32_t width, uint32_t height, int channels, int quality, std::string_view iccProfile)
      : band(width, height, channels),
        quantiser(quality),
        // A first guess of a bit a sample keeps a render from growing the
        // buffer more than once or twice.
        bytes(headers(width, height, band.components(), quantiser, iccProfile),
              size_t(width) * height * band.components() / 8 + 4096) {}
};

JPEGWriter::JPEGWriter(uint32_t width, uint32_t height, int channels, int quality,
                       std::string_view iccProfile) {
  checkPicture(width, height, channels);
  checkQuality(quality);
  coder_ = std::make_unique<Coder>(width, height, channels, quality, iccProfile);
}

JPEGWriter::~JPEGWriter() = default;

void JPEGWriter::writeRow(const uint8_t* row) {
  if (!coder_) throw std::invalid_argument("JPEGWriter: the file is already finished");
  Coder& c = *coder_;
  if (c.band.add(row)) {
    codeBlocks(c.band.blocks(), c.band.mcus(), c.band.components(), c.quantiser, c.bytes, c.bits,
               c.lastDC);
  }
}

size_t JPEGWriter::size() const {
  return coder_ ? coder_->bytes.size() : 0;
}

std::string JPEGWriter::finish() {
  if (!coder_) throw std::invalid_argument("JPEGWriter: the file is already finished");
  if (!coder_->band.whole()) throw std::invalid_argument("JPEGWriter: rows missing");
  coder_->bits.finish();
  std::string file = coder_->bytes.finish(std::string_view(kEndOfImage, 2));
  coder_.reset();
  return file;
}

bool guessReadsBand(uint32_t band, uint32_t bands) {
  if (bands < kWholeBelowBands) return true;
  // Band b is read when a step of kGuessShare takes the running sum past a
  // whole number: floor((b + 1) * share) > floor(b * share).
  return uint32_t(double(band + 1) * kGuessShare) > uint32_t(double(band) * kGuessShare);
}

namespace {

// Below this many MCUs a picture is read whole: a sample would be too few
// blocks to say anything.
constexpr uint64_t kWholeBelowMCUs = 1024;
constexpr double kGoldenRatio = 1.6180339887498949;

// The MCUs of `band` that the estimate reads: in every band, so that every
// row of a period counts as often as the others; in each, the columns where
// a step of kGuessShare passes a whole number, starting where the golden
// ratio's multiples put that band, so that over the bands every column, and
// every phase of a period across, counts alike.
void markRead(uint32_t band, size_t mcus, std::vector<uint8_t>& read) {
  const double start = double(band) * kGoldenRatio;
  const double phase = start - std::floor(start);
  for (size_t x = 0; x < mcus; ++x) {
    read[x] = std::floor(double(x + 1) * kGuessShare + phase) >
              std::floor(double(x) * kGuessShare + phase);
  }
}

}  // namespace

struct JPEGSizeEstimate::Sample {
  Band band;
  bool whole;
  size_t headerBytes;
  std::vector<uint8_t> read;  // of the band being written, whether each MCU is read
  std::vector<float> kept;    // the MCUs read, transformed
  size_t keptMCUs = 0;

  Sample(uint32_t width, uint32_t height, int channels, bool wholePicture, size_t iccProfileBytes)
      : band(width, height, channels),
        whole(wholePicture || uint64_t(band.mcus()) * band.bands() < kWholeBelowMCUs),
        // The headers differ between qualities in table entries only.
        headerBytes(headers(width, height, band.components(), Quantiser(50), {}).size() +
                    iccProfileBytes + iccSegments(iccProfileBytes) * kICCOverhead +
                    sizeof kEndOfImage),
        read(band.mcus(), 1) {
    const double share = whole ? 1.0 : kGuessShare;
    kept.reserve(size_t(double(band.mcus()) * band.bands() * share + band.bands()) *
                 band.components() * kBlock);
  }
};

JPEGSizeEstimate::JPEGSizeEstimate(uint32_t width, uint32_t height, int channels, bool wholePicture,
                                   size_t iccProfileBytes) {
  checkPicture(width, height, channels);
  sample_ = std::make_unique<Sample>(width, height, channels, wholePicture, iccProfileBytes);
}

JPEGSizeEstimate::~JPEGSizeEstimate() = default;

void JPEGSizeEstimate::writeRow(const uint8_t* row) {
  Sample& s = *sample_;
  const bool startsBand = !s.band.whole() && s.band.current() * 8 == s.band.rowsWritten();
  if (startsBand && !s.whole) markRead(s.band.current(), s.band.mcus(), s.read);
  if (!s.band.add(row, &s.read)) return;
  const size_t blocks = size_t(s.band.components()) * kBlock;
  for (size_t mcu = 0; mcu < s.band.mcus(); ++mcu) {
    if (!s.read[mcu]) continue;
    const float* from = s.band.blocks() + mcu * blocks;
    s.kept.insert(s.kept.end(), from, from + blocks);
    ++s.keptMCUs;
  }
}

uint64_t JPEGSizeEstimate::bytes(int quality) const {
  checkQuality(quality);
  const Sample& s = *sample_;
  if (!s.band.whole()) throw std::invalid_argument("JPEGSizeEstimate: rows missing");
  const Quantiser quantiser(quality);
  ByteCount count;
  BitPacker<ByteCount> bits(count);
  int lastDC[3] = {0, 0, 0};
  codeBlocks(s.kept.data(), s.keptMCUs, s.band.components(), quantiser, count, bits, lastDC);
  bits.finish();
  const uint64_t allMCUs = uint64_t(s.band.mcus()) * s.band.bands();
  return s.headerBytes + (count.bytes * allMCUs + s.keptMCUs / 2) / s.keptMCUs;
}

}  // namespace quillon

#include "orv/image.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

// A full decoder (PNG and JPEG) private to this file, to check what the
// library writes independently of the library's own PNG-only build. Static
// linkage keeps it apart from the library's copy.
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>

// The library's PNG writer (declarations only; the definitions are the
// library's hidden symbols, resolved in this static link), for writing test
// files.
#include <stb_image_write.h>

namespace {

using Bytes = std::vector<uint8_t>;

const std::string kPrefix = "data:image/png;base64,";

// ---------------------------------------------------------------- base64

int base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// A strict decoder: length a multiple of 4, "=" only at the end, unused
// bits zero. Fails the current test on anything else.
Bytes base64Decode(const std::string& text) {
  Bytes out;
  EXPECT_EQ(text.size() % 4, 0u) << text;
  size_t padding = 0;
  while (padding < text.size() && padding < 2 && text[text.size() - 1 - padding] == '=') ++padding;
  const size_t symbols = text.size() - padding;
  uint32_t acc = 0;
  int bits = 0;
  for (size_t i = 0; i < symbols; ++i) {
    const int v = base64Value(text[i]);
    EXPECT_GE(v, 0) << "bad character at " << i << " in " << text;
    if (v < 0) return {};
    acc = (acc << 6) | uint32_t(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(uint8_t(acc >> bits));
      acc &= (1u << bits) - 1;
    }
  }
  EXPECT_EQ(acc, 0u) << "non-zero padding bits in " << text;
  EXPECT_EQ(symbols % 4 == 0 ? 0u : 4 - symbols % 4, padding) << text;
  return out;
}

std::string encodeText(const std::string& s) {
  return orv::base64_encode(reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

// ---------------------------------------------------------------- PNG crafting

uint32_t crc32(const uint8_t* data, size_t len) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < len; ++i) {
    c ^= data[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ ((c & 1) ? 0xEDB88320u : 0);
  }
  return ~c;
}

uint32_t adler32(const Bytes& data) {
  uint32_t a = 1, b = 0;
  for (uint8_t byte : data) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  return b << 16 | a;
}

void putBe32(Bytes* out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out->push_back(uint8_t(v >> shift));
}

uint32_t getBe32(const Bytes& in, size_t at) {
  return uint32_t(in[at]) << 24 | uint32_t(in[at + 1]) << 16 | uint32_t(in[at + 2]) << 8 | in[at + 3];
}

void putChunk(Bytes* png, const char type[4], const Bytes& data) {
  putBe32(png, uint32_t(data.size()));
  const size_t start = png->size();
  png->insert(png->end(), type, type + 4);
  png->insert(png->end(), data.begin(), data.end());
  putBe32(png, crc32(png->data() + start, png->size() - start));
}

// A zlib stream of stored (uncompressed) deflate blocks.
Bytes zlibStored(const Bytes& raw) {
  Bytes z = {0x78, 0x01};
  size_t pos = 0;
  do {
    const size_t n = std::min<size_t>(65535, raw.size() - pos);
    z.push_back(pos + n == raw.size() ? 1 : 0);
    z.push_back(uint8_t(n));
    z.push_back(uint8_t(n >> 8));
    z.push_back(uint8_t(~n));
    z.push_back(uint8_t(~n >> 8));
    z.insert(z.end(), raw.begin() + long(pos), raw.begin() + long(pos + n));
    pos += n;
  } while (pos < raw.size());
  putBe32(&z, adler32(raw));
  return z;
}

// A zlib stream that inflates to `zeros` zero bytes: one literal, then
// matches of length 258 at distance 1, in a single fixed-Huffman block.
Bytes zlibOfZeros(size_t zeros) {
  Bytes z = {0x78, 0x01};
  uint32_t acc = 0;
  int bits = 0;
  auto put = [&](uint32_t value, int count) {  // LSB-first bit fields
    acc |= value << bits;
    bits += count;
    while (bits >= 8) {
      z.push_back(uint8_t(acc));
      acc >>= 8;
      bits -= 8;
    }
  };
  auto putCode = [&](uint32_t code, int count) {  // Huffman codes go MSB-first
    uint32_t reversed = 0;
    for (int i = 0; i < count; ++i) reversed |= ((code >> i) & 1) << (count - 1 - i);
    put(reversed, count);
  };
  put(1, 1);         // final block
  put(1, 2);         // fixed Huffman codes
  putCode(0x30, 8);  // literal 0
  size_t left = zeros - 1;
  while (left >= 258) {
    putCode(0xC5, 8);  // length 258 (code 285)
    putCode(0, 5);     // distance 1
    left -= 258;
  }
  for (; left > 0; --left) putCode(0x30, 8);
  putCode(0, 7);  // end of block
  if (bits > 0) put(0, 8 - bits);
  // Adler-32 of zeros: the sum a stays 1, so b counts the bytes.
  putBe32(&z, uint32_t(zeros % 65521) << 16 | 1);
  return z;
}

struct Ihdr {
  uint32_t width, height;
  uint8_t depth, colorType, interlace;
};

Bytes pngFile(const Ihdr& h, const Bytes& zlibData) {
  Bytes png = {137, 80, 78, 71, 13, 10, 26, 10};
  Bytes ihdr;
  putBe32(&ihdr, h.width);
  putBe32(&ihdr, h.height);
  ihdr.insert(ihdr.end(), {h.depth, h.colorType, 0, 0, h.interlace});
  putChunk(&png, "IHDR", ihdr);
  putChunk(&png, "IDAT", zlibData);
  putChunk(&png, "IEND", {});
  return png;
}

// Filter-type-0 scanlines of an image given as rows of bytes; Adam7 order
// when interlaced.
Bytes scanlines(const std::vector<Bytes>& rows, size_t bytesPerPixel, bool interlaced) {
  Bytes raw;
  const size_t height = rows.size();
  const size_t width = rows.empty() ? 0 : rows[0].size() / bytesPerPixel;
  if (!interlaced) {
    for (const Bytes& row : rows) {
      raw.push_back(0);
      raw.insert(raw.end(), row.begin(), row.end());
    }
    return raw;
  }
  static const size_t x0[7] = {0, 4, 0, 2, 0, 1, 0}, dx[7] = {8, 8, 4, 4, 2, 2, 1};
  static const size_t y0[7] = {0, 0, 4, 0, 2, 0, 1}, dy[7] = {8, 8, 8, 4, 4, 2, 2};
  for (int pass = 0; pass < 7; ++pass) {
    if (x0[pass] >= width) continue;  // an empty pass has no rows at all
    for (size_t y = y0[pass]; y < height; y += dy[pass]) {
      raw.push_back(0);
      for (size_t x = x0[pass]; x < width; x += dx[pass]) {
        const auto px = rows[y].begin() + long(x * bytesPerPixel);
        raw.insert(raw.end(), px, px + long(bytesPerPixel));
      }
    }
  }
  return raw;
}

// Offset of the first IDAT chunk's data in a PNG file.
size_t idatData(const Bytes& png) {
  size_t pos = 8;
  while (pos + 8 <= png.size()) {
    if (std::equal(png.begin() + long(pos + 4), png.begin() + long(pos + 8), "IDAT")) return pos + 8;
    pos += 12 + getBe32(png, pos);
  }
  ADD_FAILURE() << "no IDAT chunk";
  return 0;
}

// Recomputes the CRC of the chunk whose data starts at `dataAt`.
void fixCrc(Bytes* png, size_t dataAt) {
  const uint32_t length = getBe32(*png, dataAt - 8);
  const uint32_t crc = crc32(png->data() + dataAt - 4, length + 4);
  for (int i = 0; i < 4; ++i) (*png)[dataAt + length + size_t(i)] = uint8_t(crc >> (24 - 8 * i));
}

void appendWriterBytes(void* context, void* data, int size) {
  auto* out = static_cast<Bytes*>(context);
  out->insert(out->end(), static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
}

// A PNG of tightly packed pixels through the library's encoder.
Bytes encodePng(const Bytes& pixels, int width, int height, int components) {
  Bytes png;
  EXPECT_TRUE(
      stbi_write_png_to_func(appendWriterBytes, &png, width, height, components, pixels.data(), width * components));
  return png;
}

struct Decoded {
  Bytes pixels;
  int width = 0, height = 0, channelsInFile = 0;
};

// Decodes PNG or JPEG bytes with the test's own decoder.
Decoded decode(const Bytes& file, int components) {
  Decoded d;
  unsigned char* p =
      stbi_load_from_memory(file.data(), int(file.size()), &d.width, &d.height, &d.channelsInFile, components);
  if (p != nullptr) {
    d.pixels.assign(p, p + size_t(d.width) * size_t(d.height) * size_t(components));
    stbi_image_free(p);
  }
  return d;
}

Bytes pngOfDataUrl(const std::string& url) {
  EXPECT_EQ(url.compare(0, kPrefix.size(), kPrefix), 0) << url.substr(0, 40);
  if (url.size() < kPrefix.size()) return {};
  return base64Decode(url.substr(kPrefix.size()));
}

// The decoder's luminance (ITU-R 601 weights in 8-bit fixed point).
uint8_t luma(int r, int g, int b) { return uint8_t((r * 77 + g * 150 + b * 29) >> 8); }

// Deterministic pseudo-random bytes.
Bytes noise(size_t n, uint32_t seed) {
  Bytes out(n);
  for (uint8_t& b : out) {
    seed = seed * 1664525u + 1013904223u;
    b = uint8_t(seed >> 24);
  }
  return out;
}

// A fresh directory, removed with its contents at the end of the test.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "orv_image_test.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  std::string write(const std::string& name, const Bytes& bytes) const {
    const std::string p = file(name);
    std::ofstream out(p, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    EXPECT_TRUE(out.good()) << p;
    return p;
  }

 private:
  std::filesystem::path path_;
};

struct Loaded {
  Bytes grey;
  int width = -1, height = -1;
};

Loaded loadGray(const std::string& path) {
  Loaded l;
  l.grey = orv::load_gray(path, &l.width, &l.height);
  return l;
}

// ---------------------------------------------------------------- base64 tests

TEST(Base64Encode, MatchesRfc4648TestVectors) {
  EXPECT_EQ(encodeText(""), "");
  EXPECT_EQ(encodeText("f"), "Zg==");
  EXPECT_EQ(encodeText("fo"), "Zm8=");
  EXPECT_EQ(encodeText("foo"), "Zm9v");
  EXPECT_EQ(encodeText("foob"), "Zm9vYg==");
  EXPECT_EQ(encodeText("fooba"), "Zm9vYmE=");
  EXPECT_EQ(encodeText("foobar"), "Zm9vYmFy");
  EXPECT_EQ(encodeText("abc"), "YWJj");
  EXPECT_EQ(orv::base64_encode(nullptr, 0), "");
}

TEST(Base64Encode, EveryByteValueRoundTripsWithCorrectPadding) {
  Bytes all(256);
  for (int i = 0; i < 256; ++i) all[size_t(i)] = uint8_t(i);
  Bytes reversed(all.rbegin(), all.rend());
  // Every length from 0 to 256 covers all three remainders many times, and
  // both orders put every byte value in every position of a group.
  for (const Bytes* source : {&all, &reversed}) {
    for (size_t n = 0; n <= source->size(); ++n) {
      const std::string text = orv::base64_encode(source->data(), n);
      ASSERT_EQ(text.size(), 4 * ((n + 2) / 3)) << "length " << n;
      const size_t padding = size_t(std::count(text.begin(), text.end(), '='));
      EXPECT_EQ(padding, (3 - n % 3) % 3) << "length " << n;
      EXPECT_EQ(text.find('='), padding == 0 ? std::string::npos : text.size() - padding);
      EXPECT_EQ(base64Decode(text), Bytes(source->begin(), source->begin() + long(n))) << "length " << n;
    }
  }
}

TEST(Base64Encode, UsesTheStandardAlphabetOnly) {
  // Bytes 0xFB 0xFF 0xBF give the sextets 62 63 62 63: "+/+/", not the
  // URL-safe "-_".
  const unsigned char high[] = {0xFB, 0xFF, 0xBF};
  EXPECT_EQ(orv::base64_encode(high, 3), "+/+/");
  const unsigned char zeros[] = {0, 0, 0};
  EXPECT_EQ(orv::base64_encode(zeros, 3), "AAAA");
}

// ---------------------------------------------------------------- PNG data URLs

TEST(ImagePngDataUrl, RgbaRoundTripsThroughAFourChannelPng) {
  const int w = 5, h = 3;
  Bytes rgba = noise(size_t(w * h * 4), 7);
  for (int x = 0; x < w; ++x) rgba[size_t(x * 4)] = 255;  // a distinct top row
  const std::string url = orv::rgba_to_png_data_url(rgba.data(), w, h, w * 4);
  EXPECT_EQ(url.find_first_of("\r\n "), std::string::npos);
  const Bytes png = pngOfDataUrl(url);
  ASSERT_GE(png.size(), 8u);
  EXPECT_EQ(Bytes(png.begin(), png.begin() + 8), (Bytes{137, 80, 78, 71, 13, 10, 26, 10}));
  const Decoded d = decode(png, 4);
  EXPECT_EQ(d.width, w);
  EXPECT_EQ(d.height, h);
  EXPECT_EQ(d.channelsInFile, 4);
  EXPECT_EQ(d.pixels, rgba);
}

TEST(ImagePngDataUrl, StrideBeyondTheRowSkipsThePadding) {
  const int w = 4, h = 3, stride = w * 4 + 7;
  const Bytes tight = noise(size_t(w * h * 4), 11);
  Bytes padded(size_t(stride * h), 0xEE);
  for (int y = 0; y < h; ++y) {
    std::copy_n(tight.begin() + y * w * 4, w * 4, padded.begin() + y * stride);
  }
  const std::string url = orv::rgba_to_png_data_url(padded.data(), w, h, stride);
  const Decoded d = decode(pngOfDataUrl(url), 4);
  EXPECT_EQ(d.width, w);
  EXPECT_EQ(d.height, h);
  EXPECT_EQ(d.pixels, tight);
  EXPECT_EQ(url, orv::rgba_to_png_data_url(tight.data(), w, h, w * 4));
}

TEST(ImagePngDataUrl, UnencodableInputGivesTheBarePrefix) {
  const Bytes rgba(64, 0x80);
  EXPECT_EQ(orv::rgba_to_png_data_url(rgba.data(), 0, 4, 16), kPrefix);
  EXPECT_EQ(orv::rgba_to_png_data_url(rgba.data(), 4, 0, 16), kPrefix);
  EXPECT_EQ(orv::rgba_to_png_data_url(rgba.data(), -1, 4, 16), kPrefix);
  EXPECT_EQ(orv::rgba_to_png_data_url(nullptr, 4, 4, 16), kPrefix);
  EXPECT_EQ(orv::rgba_to_png_data_url(rgba.data(), 4, 4, 15), kPrefix);  // shorter than a row
  EXPECT_GT(orv::rgba_to_png_data_url(rgba.data(), 4, 4, 16).size(), kPrefix.size());
}

TEST(ImagePngDataUrl, MaskRoundTripsThroughAGreyPng) {
  const int w = 7, h = 5;
  Bytes mask = noise(size_t(w * h), 3);
  std::fill_n(mask.begin(), w, 0);  // a distinct top row
  const Decoded d = decode(pngOfDataUrl(orv::mask_to_png_data_url(mask, w, h)), 1);
  EXPECT_EQ(d.width, w);
  EXPECT_EQ(d.height, h);
  EXPECT_EQ(d.channelsInFile, 1);
  EXPECT_EQ(d.pixels, mask);
}

TEST(ImagePngDataUrl, MaskTooSmallOrEmptyGivesTheBarePrefix) {
  EXPECT_EQ(orv::mask_to_png_data_url(Bytes(34, 1), 7, 5), kPrefix);
  EXPECT_EQ(orv::mask_to_png_data_url(Bytes(), 0, 0), kPrefix);
  EXPECT_EQ(orv::mask_to_png_data_url(Bytes(35, 1), 0, 5), kPrefix);
  EXPECT_NE(orv::mask_to_png_data_url(Bytes(35, 1), 7, 5), kPrefix);
}

// ---------------------------------------------------------------- JPEG

struct JpegFrame {
  bool found = false;
  int marker = 0, precision = 0, height = 0, width = 0, components = 0;
};

// Walks the marker segments up to the scan and reports the frame header.
JpegFrame jpegFrame(const Bytes& jpg) {
  JpegFrame f;
  size_t pos = 2;
  while (pos + 4 <= jpg.size() && jpg[pos] == 0xFF) {
    const int marker = jpg[pos + 1];
    const size_t length = size_t(jpg[pos + 2]) << 8 | jpg[pos + 3];
    if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC &&
        pos + 10 <= jpg.size()) {
      f.found = true;
      f.marker = marker;
      f.precision = jpg[pos + 4];
      f.height = jpg[pos + 5] << 8 | jpg[pos + 6];
      f.width = jpg[pos + 7] << 8 | jpg[pos + 8];
      f.components = jpg[pos + 9];
      return f;
    }
    if (marker == 0xDA) break;
    pos += 2 + length;
  }
  return f;
}

TEST(ImageJpeg, WritesABaselineJpegFileOfTheImage) {
  const int w = 37, h = 21;
  const Bytes rgba = noise(size_t(w * h * 4), 5);
  const Bytes jpg = orv::rgba_to_jpeg(rgba.data(), w, h, 92);
  ASSERT_GE(jpg.size(), 4u);
  EXPECT_EQ(jpg[0], 0xFF);
  EXPECT_EQ(jpg[1], 0xD8);
  EXPECT_EQ(jpg[jpg.size() - 2], 0xFF);
  EXPECT_EQ(jpg[jpg.size() - 1], 0xD9);
  const JpegFrame f = jpegFrame(jpg);
  ASSERT_TRUE(f.found);
  EXPECT_EQ(f.marker, 0xC0);  // baseline
  EXPECT_EQ(f.precision, 8);
  EXPECT_EQ(f.width, w);
  EXPECT_EQ(f.height, h);
  EXPECT_EQ(f.components, 3);
  // The quality reaches the encoder.
  EXPECT_LT(orv::rgba_to_jpeg(rgba.data(), w, h, 20).size(), jpg.size());
}

TEST(ImageJpeg, DecodesCloseToTheColourOfTheSource) {
  // Flat 8x8-aligned colour blocks survive quality 92 almost exactly.
  const int w = 32, h = 16;
  const uint8_t colours[4][3] = {{200, 40, 40}, {40, 200, 40}, {40, 40, 200}, {128, 128, 128}};
  Bytes rgba(size_t(w * h * 4));
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const uint8_t* c = colours[x / 8];
      uint8_t* p = &rgba[size_t((y * w + x) * 4)];
      p[0] = c[0], p[1] = c[1], p[2] = c[2], p[3] = 255;
    }
  }
  const Decoded d = decode(orv::rgba_to_jpeg(rgba.data(), w, h, 92), 3);
  ASSERT_EQ(d.width, w);
  ASSERT_EQ(d.height, h);
  int worst = 0;
  for (int i = 0; i < w * h; ++i) {
    for (int c = 0; c < 3; ++c) {
      const int decoded = d.pixels[size_t(i * 3 + c)], source = rgba[size_t(i * 4 + c)];
      worst = std::max(worst, std::abs(decoded - source));
    }
  }
  EXPECT_LE(worst, 12);
}

TEST(ImageJpeg, AlphaDoesNotReachTheFile) {
  const int w = 16, h = 16;
  Bytes opaque = noise(size_t(w * h * 4), 9);
  Bytes clear = opaque;
  for (size_t i = 3; i < opaque.size(); i += 4) opaque[i] = 255, clear[i] = 0;
  EXPECT_EQ(orv::rgba_to_jpeg(opaque.data(), w, h, 92), orv::rgba_to_jpeg(clear.data(), w, h, 92));
}

TEST(ImageJpeg, EmptyOrInvalidSizeGivesNoBytes) {
  const Bytes rgba(64 * 4, 0x80);
  EXPECT_TRUE(orv::rgba_to_jpeg(rgba.data(), 0, 8, 92).empty());
  EXPECT_TRUE(orv::rgba_to_jpeg(rgba.data(), 8, 0, 92).empty());
  EXPECT_TRUE(orv::rgba_to_jpeg(rgba.data(), -8, 8, 92).empty());
  EXPECT_TRUE(orv::rgba_to_jpeg(nullptr, 8, 8, 92).empty());
  EXPECT_FALSE(orv::rgba_to_jpeg(rgba.data(), 8, 8, 92).empty());
}

// ---------------------------------------------------------------- load_gray

TEST(LoadGray, GreyPngComesBackByteForByteTopRowFirst) {
  TempDir dir;
  const int w = 9, h = 6;
  Bytes grey = noise(size_t(w * h), 21);
  std::fill_n(grey.begin(), w, 255);  // white top row
  std::fill_n(grey.end() - w, w, 0);  // black bottom row
  const Loaded l = loadGray(dir.write("grey.png", encodePng(grey, w, h, 1)));
  EXPECT_EQ(l.width, w);
  EXPECT_EQ(l.height, h);
  EXPECT_EQ(l.grey, grey);
}

TEST(LoadGray, ColourPngsGiveTheDecodersLuminance) {
  TempDir dir;
  // White, black, mid grey, the primaries and two mixed colours.
  const std::vector<std::array<int, 4>> colours = {{255, 255, 255, 255}, {0, 0, 0, 255},   {128, 128, 128, 10},
                                                   {255, 0, 0, 0},       {0, 255, 0, 255}, {0, 0, 255, 128},
                                                   {200, 100, 50, 255},  {13, 250, 77, 1}};
  const int w = int(colours.size()), h = 2;
  Bytes rgb, rgba, expected;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      // The bottom row is the top row reversed, so a flip would show.
      const auto& c = colours[size_t(y == 0 ? x : w - 1 - x)];
      rgb.insert(rgb.end(), {uint8_t(c[0]), uint8_t(c[1]), uint8_t(c[2])});
      rgba.insert(rgba.end(), {uint8_t(c[0]), uint8_t(c[1]), uint8_t(c[2]), uint8_t(c[3])});
      expected.push_back(luma(c[0], c[1], c[2]));
    }
  }
  EXPECT_EQ(expected[0], 255);
  EXPECT_EQ(expected[1], 0);
  EXPECT_EQ(expected[2], 128);

  const Loaded fromRgb = loadGray(dir.write("rgb.png", encodePng(rgb, w, h, 3)));
  EXPECT_EQ(fromRgb.width, w);
  EXPECT_EQ(fromRgb.height, h);
  EXPECT_EQ(fromRgb.grey, expected);

  // Alpha plays no part in the grey value.
  const Loaded fromRgba = loadGray(dir.write("rgba.png", encodePng(rgba, w, h, 4)));
  EXPECT_EQ(fromRgba.width, w);
  EXPECT_EQ(fromRgba.height, h);
  EXPECT_EQ(fromRgba.grey, expected);
}

TEST(LoadGray, SixteenBitAndInterlacedPngsDecode) {
  TempDir dir;
  // 16-bit grey keeps the high byte of each sample.
  const int w = 5, h = 3;
  const Bytes samples = noise(size_t(w * h * 2), 31);
  std::vector<Bytes> rows16;
  Bytes highBytes;
  for (int y = 0; y < h; ++y) {
    rows16.emplace_back(samples.begin() + y * w * 2, samples.begin() + (y + 1) * w * 2);
    for (int x = 0; x < w; ++x) highBytes.push_back(samples[size_t((y * w + x) * 2)]);
  }
  const Loaded l16 =
      loadGray(dir.write("grey16.png", pngFile({w, h, 16, 0, 0}, zlibStored(scanlines(rows16, 2, false)))));
  EXPECT_EQ(l16.width, w);
  EXPECT_EQ(l16.height, h);
  EXPECT_EQ(l16.grey, highBytes);

  // Adam7 interlacing, with a size that leaves some passes empty or short.
  const int iw = 13, ih = 11;
  const Bytes grey = noise(size_t(iw * ih), 41);
  std::vector<Bytes> rows;
  for (int y = 0; y < ih; ++y) rows.emplace_back(grey.begin() + y * iw, grey.begin() + (y + 1) * iw);
  const Loaded li = loadGray(dir.write("adam7.png", pngFile({iw, ih, 8, 0, 1}, zlibStored(scanlines(rows, 1, true)))));
  EXPECT_EQ(li.width, iw);
  EXPECT_EQ(li.height, ih);
  EXPECT_EQ(li.grey, grey);
}

TEST(LoadGray, LargeInterlaced16BitRgbaPngsAreWithinTheDecodersBudget) {
  // The most memory an honest file needs per pixel: 8 bytes, and an
  // interlaced stream that inflates past the non-interlaced size, so the
  // inflater doubles its buffer once. Over a mebibyte of pixels, so the
  // allocation cap and not its slack decides.
  TempDir dir;
  const int w = 400, h = 400;
  const Ihdr header{w, h, 16, 6, 1};

  // Noise, stored uncompressed: a file as large as its pixels.
  const Bytes samples = noise(size_t(w) * h * 8, 51);
  std::vector<Bytes> rows;
  Bytes expected;
  for (int y = 0; y < h; ++y) {
    rows.emplace_back(samples.begin() + long(y) * w * 8, samples.begin() + long(y + 1) * w * 8);
    for (int x = 0; x < w; ++x) {
      const uint8_t* p = &samples[(size_t(y) * w + size_t(x)) * 8];
      const int r = p[0] << 8 | p[1], g = p[2] << 8 | p[3], b = p[4] << 8 | p[5];
      // Luminance on 16-bit samples, then the high byte.
      expected.push_back(uint8_t(((r * 77 + g * 150 + b * 29) >> 8) >> 8));
    }
  }
  const Loaded noisy = loadGray(dir.write("noise.png", pngFile(header, zlibStored(scanlines(rows, 8, true)))));
  EXPECT_EQ(noisy.width, w);
  EXPECT_EQ(noisy.height, h);
  EXPECT_EQ(noisy.grey, expected);

  // Black, compressed to a few kilobytes: the file size grants nothing.
  const std::vector<Bytes> blackRows(size_t(h), Bytes(size_t(w) * 8, 0));
  const size_t rawSize = scanlines(blackRows, 8, true).size();
  ASSERT_GT(rawSize, size_t(w) * h * 8 + h);  // more than the non-interlaced size
  const Bytes black = pngFile(header, zlibOfZeros(rawSize));
  EXPECT_LT(black.size(), 16u * 1024);
  const Loaded dark = loadGray(dir.write("black.png", black));
  EXPECT_EQ(dark.width, w);
  EXPECT_EQ(dark.height, h);
  EXPECT_EQ(dark.grey, Bytes(size_t(w) * h, 0));
}

TEST(LoadGray, MissingPathsAndNonRegularFilesGiveNothing) {
  TempDir dir;
  EXPECT_TRUE(loadGray(dir.file("absent.png")).grey.empty());
  EXPECT_TRUE(loadGray("").grey.empty());
  EXPECT_TRUE(loadGray(dir.file("")).grey.empty());  // the directory itself
  EXPECT_TRUE(loadGray("/dev/null").grey.empty());

  // A FIFO without a writer must neither block nor be read.
  const std::string fifo = dir.file("matte.png");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto pending = std::async(std::launch::async, [&] { return loadGray(fifo); });
  if (pending.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    // Release the blocked reader before failing.
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) ::close(fd);
    ADD_FAILURE() << "load_gray blocked on a FIFO";
  }
  EXPECT_TRUE(pending.get().grey.empty());

  // Nor one that holds a complete PNG, ready to be read to its end: the
  // open read end keeps the bytes, the closed write end gives end of file.
  const std::string full = dir.file("full.png");
  ASSERT_EQ(::mkfifo(full.c_str(), 0600), 0);
  const int readEnd = ::open(full.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(readEnd, 0);
  const int writeEnd = ::open(full.c_str(), O_WRONLY | O_NONBLOCK);
  ASSERT_GE(writeEnd, 0);
  const Bytes png = encodePng(Bytes(64, 0x33), 8, 8, 1);
  ASSERT_EQ(::write(writeEnd, png.data(), png.size()), ssize_t(png.size()));
  ::close(writeEnd);
  EXPECT_TRUE(loadGray(full).grey.empty());
  ::close(readEnd);
}

TEST(LoadGray, TruncatedPngsGiveNothing) {
  TempDir dir;
  const int w = 16, h = 16;
  const Bytes png = encodePng(noise(size_t(w * h), 61), w, h, 1);
  ASSERT_EQ(loadGray(dir.write("whole.png", png)).grey.size(), size_t(w * h));  // the control
  const size_t idat = idatData(png);
  // Empty, signature only, header only, inside the pixel data, without
  // IEND, and short of IEND's CRC alone.
  for (size_t keep : {size_t(0), size_t(8), size_t(33), idat + 10, png.size() - 12, png.size() - 4}) {
    const Bytes cut(png.begin(), png.begin() + long(keep));
    EXPECT_TRUE(loadGray(dir.write("cut.png", cut)).grey.empty()) << "kept " << keep << " bytes";
  }
}

TEST(LoadGray, CorruptPngsGiveNothing) {
  TempDir dir;
  const int w = 16, h = 16;
  const Bytes png = encodePng(noise(size_t(w * h), 71), w, h, 1);
  const size_t idat = idatData(png);
  const uint32_t idatLength = getBe32(png, idat - 8);

  // Every IDAT byte inverted, CRC left stale.
  Bytes inverted = png;
  for (size_t i = 0; i < idatLength; ++i) inverted[idat + i] ^= 0xFF;
  EXPECT_TRUE(loadGray(dir.write("inverted.png", inverted)).grey.empty());

  // One byte in the middle of the pixel data flipped, CRC left stale.
  Bytes flipped = png;
  flipped[idat + idatLength / 2] ^= 0x5A;
  EXPECT_TRUE(loadGray(dir.write("flipped.png", flipped)).grey.empty());

  // The same inversion with a matching CRC: the zlib stream is invalid.
  fixCrc(&inverted, idat);
  EXPECT_TRUE(loadGray(dir.write("inverted-crc.png", inverted)).grey.empty());

  // A deflate block of the reserved type, with a matching CRC.
  Bytes reserved = png;
  reserved[idat + 2] |= 0x06;
  fixCrc(&reserved, idat);
  EXPECT_TRUE(loadGray(dir.write("reserved.png", reserved)).grey.empty());

  // A wrong CRC on the header chunk alone.
  Bytes badHeaderCrc = png;
  badHeaderCrc[8 + 8 + 13] ^= 0x01;
  EXPECT_TRUE(loadGray(dir.write("ihdr-crc.png", badHeaderCrc)).grey.empty());
}

TEST(LoadGray, JpegFilesAreNotDecoded) {
  TempDir dir;
  const Bytes rgba(16 * 16 * 4, 0x90);
  const Bytes jpg = orv::rgba_to_jpeg(rgba.data(), 16, 16, 92);
  ASSERT_EQ(decode(jpg, 1).width, 16);  // a valid JPEG
  EXPECT_TRUE(loadGray(dir.write("frame.jpg", jpg)).grey.empty());
  EXPECT_TRUE(loadGray(dir.write("frame.png", jpg)).grey.empty());
}

TEST(LoadGray, OversizedImagesAreRefused) {
  TempDir dir;
  // Headers alone, far beyond any memory.
  const Bytes tinyData = zlibStored(Bytes(64, 0));
  using Size = std::array<uint32_t, 2>;
  for (const Size& s : {Size{100000, 100000}, Size{0x7FFFFFFF, 1}}) {
    const std::string path = dir.write("huge.png", pngFile({s[0], s[1], 8, 0, 0}, tinyData));
    EXPECT_TRUE(loadGray(path).grey.empty()) << s[0] << " x " << s[1];
  }
  // Complete black images one pixel over the side limit, which would
  // decode without it.
  for (const Size& s : {Size{16384, 16385}, Size{16385, 16384}, Size{16385, 1}, Size{1, 16385}}) {
    const size_t raw = size_t(s[0] + 1) * s[1];
    const std::string path = dir.write("over.png", pngFile({s[0], s[1], 8, 0, 0}, zlibOfZeros(raw)));
    EXPECT_TRUE(loadGray(path).grey.empty()) << s[0] << " x " << s[1];
  }
  // The sides themselves are allowed up to the limit.
  for (const Size& s : {Size{16384, 1}, Size{1, 16384}}) {
    const size_t raw = size_t(s[0] + 1) * s[1];
    const Loaded l = loadGray(dir.write("edge.png", pngFile({s[0], s[1], 8, 0, 0}, zlibOfZeros(raw))));
    EXPECT_EQ(l.width, int(s[0]));
    EXPECT_EQ(l.height, int(s[1]));
    EXPECT_EQ(l.grey, Bytes(size_t(s[0]) * s[1], 0));
  }
}

TEST(LoadGray, DataInflatingFarBeyondTheImageIsRefused) {
  TempDir dir;
  const Ihdr header{4, 4, 8, 0, 0};  // needs 4 x (1 + 4) = 20 bytes
  // A little trailing data is tolerated, as the decoder does...
  const Loaded modest = loadGray(dir.write("modest.png", pngFile(header, zlibOfZeros(20 + 258))));
  EXPECT_EQ(modest.width, 4);
  EXPECT_EQ(modest.grey, Bytes(16, 0));
  // ...but 16 MiB of it from a file of about 100 KiB is not.
  const Bytes bomb = pngFile(header, zlibOfZeros(16u << 20));
  EXPECT_LT(bomb.size(), 200u * 1024);
  EXPECT_TRUE(loadGray(dir.write("bomb.png", bomb)).grey.empty());
}

}  // namespace

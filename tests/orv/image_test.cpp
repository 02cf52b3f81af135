#include "orv/image.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <tuple>
#include <vector>

// A full decoder (PNG and JPEG) private to this file, to check what the
// library writes independently of its own PNG-only build.
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>

// The library's PNG writer (declarations only), for writing test files.
#include <stb_image_write.h>

#include "PngChunks.h"
#include "TestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

const std::string kPrefix = "data:image/png;base64,";

// A strict decoder of the standard alphabet, up to the first "=": fails the
// test on a foreign character and on non-zero unused bits.
Bytes base64Decode(const std::string& text) {
  static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  Bytes out;
  uint32_t acc = 0;
  int bits = 0;
  for (size_t i = 0; i < text.size() && text[i] != '='; ++i) {
    const size_t v = kAlphabet.find(text[i]);
    EXPECT_NE(v, std::string::npos) << "bad character at " << i << " in " << text;
    acc = acc << 6 | uint32_t(v);
    bits += 6;
    if (bits >= 8) out.push_back(uint8_t(acc >> (bits -= 8)));
  }
  EXPECT_EQ(acc & ((1u << bits) - 1), 0u) << "non-zero unused bits in " << text;
  return out;
}

// Deterministic pseudo-random bytes.
Bytes noise(size_t n, uint32_t seed) {
  Bytes out(n);
  for (uint8_t& b : out) b = uint8_t((seed = seed * 1664525u + 1013904223u) >> 24);
  return out;
}

struct Decoded {
  int width = 0, height = 0, channelsInFile = 0;
  Bytes pixels;
  bool operator==(const Decoded& o) const {
    return std::tie(width, height, channelsInFile, pixels) == std::tie(o.width, o.height, o.channelsInFile, o.pixels);
  }
};

// PNG or JPEG bytes through the test's own decoder.
Decoded decode(const Bytes& file, int components) {
  Decoded d;
  if (unsigned char* p =
          stbi_load_from_memory(file.data(), int(file.size()), &d.width, &d.height, &d.channelsInFile, components)) {
    d.pixels.assign(p, p + size_t(d.width) * size_t(d.height) * size_t(components));
    stbi_image_free(p);
  }
  return d;
}

Decoded decodeDataUrl(const std::string& url, int components) {
  EXPECT_EQ(url.compare(0, kPrefix.size(), kPrefix), 0) << url.substr(0, 40);
  return decode(base64Decode(url.substr(std::min(url.size(), kPrefix.size()))), components);
}

// Every length covers all three remainders; both orders put every byte value
// in every position of a group. The byte after the end is never zero, so
// reading past it would show in the unused bits.
TEST(Base64Encode, EveryByteValueRoundTripsWithCorrectPadding) {
  Bytes all(256);
  for (int i = 0; i < 256; ++i) all[size_t(i)] = uint8_t(i + 1);
  for (const Bytes& source : {all, Bytes(all.rbegin(), all.rend())}) {
    for (size_t n = 0; n <= source.size(); ++n) {
      const std::string text = orv::base64_encode(source.data(), n);
      ASSERT_EQ(text.size(), 4 * ((n + 2) / 3)) << n;
      EXPECT_EQ(text.find('='), n % 3 == 0 ? std::string::npos : text.size() - (3 - n % 3)) << n;
      EXPECT_EQ(base64Decode(text), Bytes(source.begin(), source.begin() + long(n))) << n;
    }
  }
}

TEST(ImagePngDataUrl, RgbaAndMaskRoundTripAndStridePaddingIsSkipped) {
  const int w = 5, h = 3, stride = w * 4 + 7;
  const Bytes rgba = noise(size_t(w * h * 4), 7), mask = noise(size_t(w * h), 3);
  const std::string url = orv::rgba_to_png_data_url(rgba.data(), w, h, w * 4);
  EXPECT_EQ(decodeDataUrl(url, 4), (Decoded{w, h, 4, rgba}));
  EXPECT_EQ(decodeDataUrl(orv::mask_to_png_data_url(mask, w, h), 1), (Decoded{w, h, 1, mask}));
  Bytes padded(size_t(stride * h), 0xEE);
  for (int y = 0; y < h; ++y) std::copy_n(rgba.begin() + y * w * 4, w * 4, padded.begin() + y * stride);
  EXPECT_EQ(orv::rgba_to_png_data_url(padded.data(), w, h, stride), url);
}

TEST(ImageJpeg, WritesABaselineJpegOfTheColours) {
  // Flat 8x8-aligned colour blocks, which quality 92 keeps almost exactly.
  const int w = 40, h = 24;
  const uint8_t colours[4][3] = {{200, 40, 40}, {40, 200, 40}, {40, 40, 200}, {128, 128, 128}};
  Bytes rgba, clear;
  for (int i = 0; i < w * h; ++i) {
    const uint8_t* c = colours[(i % w / 8) % 4];
    rgba.insert(rgba.end(), {c[0], c[1], c[2], 255});
    clear.insert(clear.end(), {c[0], c[1], c[2], 0});
  }
  const Bytes jpg = orv::rgba_to_jpeg(rgba.data(), w, h, 92);
  ASSERT_GE(jpg.size(), 4u);
  EXPECT_EQ((Bytes{jpg[0], jpg[1], jpg[jpg.size() - 2], jpg.back()}), (Bytes{0xFF, 0xD8, 0xFF, 0xD9}));
  // Outside markers 0xFF is followed by 0, so this is a baseline frame header.
  const Bytes sof0 = {0xFF, 0xC0};
  EXPECT_NE(std::search(jpg.begin(), jpg.end(), sof0.begin(), sof0.end()), jpg.end());
  const Decoded d = decode(jpg, 3);
  ASSERT_EQ(d.width, w);
  ASSERT_EQ(d.height, h);
  EXPECT_EQ(d.channelsInFile, 3);
  for (int i = 0; i < w * h * 3; ++i) ASSERT_NEAR(d.pixels[size_t(i)], rgba[size_t(i / 3 * 4 + i % 3)], 12) << i;
  EXPECT_LT(orv::rgba_to_jpeg(rgba.data(), w, h, 20).size(), jpg.size());  // the quality reaches the encoder
  EXPECT_EQ(orv::rgba_to_jpeg(clear.data(), w, h, 92), jpg);               // alpha does not reach the file
}

TEST(ImageEncoders, UnencodableInputGivesTheBarePrefixOrNoBytes) {
  const Bytes px(64 * 4, 0x80);
  ASSERT_NE(orv::rgba_to_png_data_url(px.data(), 4, 4, 16), kPrefix);  // the controls
  ASSERT_NE(orv::mask_to_png_data_url(Bytes(35, 1), 7, 5), kPrefix);
  ASSERT_FALSE(orv::rgba_to_jpeg(px.data(), 8, 8, 92).empty());
  for (const std::string& url :
       {orv::rgba_to_png_data_url(px.data(), 0, 4, 16), orv::rgba_to_png_data_url(px.data(), 4, 0, 16),
        orv::rgba_to_png_data_url(px.data(), -1, 4, 16), orv::rgba_to_png_data_url(nullptr, 4, 4, 16),
        orv::rgba_to_png_data_url(px.data(), 4, 4, 15),  // stride shorter than a row
        orv::mask_to_png_data_url(Bytes(34, 1), 7, 5), orv::mask_to_png_data_url(Bytes(), 0, 0),
        orv::mask_to_png_data_url(Bytes(35, 1), 0, 5)}) {
    EXPECT_EQ(url, kPrefix);
  }
  for (auto [p, w, h] : {std::tuple{px.data(), 0, 8}, {px.data(), 8, 0}, {px.data(), -8, 8}, {nullptr, 8, 8}}) {
    EXPECT_TRUE(orv::rgba_to_jpeg(p, w, h, 92).empty()) << w << " x " << h;
  }
}

// ---------------------------------------------------------------- load_gray

// A black PNG whose data inflates to `zeros` zero bytes: one literal, then
// matches of length 258 at distance 1, in one fixed-Huffman block.
Bytes blackPng(uint32_t w, uint32_t h, uint8_t depth, uint8_t colorType, bool interlaced, size_t zeros) {
  Bytes z = {0x78, 0x01};
  size_t bits = 0;
  auto put = [&](uint32_t code, int count) {  // most significant bit first, into bytes from their low end
    for (int i = count - 1; i >= 0; --i, ++bits) {
      if (bits % 8 == 0) z.push_back(0);
      z.back() |= uint8_t(((code >> i) & 1) << bits % 8);
    }
  };
  put(0b110, 3);  // final block, fixed Huffman codes
  put(0x30, 8);   // literal 0
  size_t left = zeros - 1;
  for (; left >= 258; left -= 258) put(0xC5 << 5, 13);  // length 258, distance 1
  for (; left > 0; --left) put(0x30, 8);
  put(0, 7);                                       // end of block
  putBe32(z, uint32_t(zeros % 65521) << 16 | 1);  // Adler-32: a stays 1, b counts the bytes

  Bytes png = {137, 80, 78, 71, 13, 10, 26, 10}, ihdr;
  putBe32(ihdr, w);
  putBe32(ihdr, h);
  ihdr.insert(ihdr.end(), {depth, colorType, 0, 0, uint8_t(interlaced)});
  putChunk(png, "IHDR", ihdr);
  putChunk(png, "IDAT", z);
  putChunk(png, "IEND", {});
  return png;
}

void appendBytes(void* context, void* data, int size) {
  static_cast<Bytes*>(context)->insert(static_cast<Bytes*>(context)->end(), static_cast<uint8_t*>(data),
                                       static_cast<uint8_t*>(data) + size);
}

Bytes encodePng(const Bytes& pixels, int w, int h, int components) {
  Bytes png;
  EXPECT_TRUE(stbi_write_png_to_func(appendBytes, &png, w, h, components, pixels.data(), w * components));
  return png;
}

// Each test works in a fresh folder, removed with its contents.
class LoadGray : public ::testing::Test {
 protected:
  std::string file(const std::string& name) const { return (tmp_.path / name).string(); }
  std::string write(const std::string& name, const Bytes& bytes) const {
    std::ofstream(file(name), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), long(bytes.size()));
    return file(name);
  }
  // The grey bytes; when there are any, the size reported must be w x h.
  Bytes load(const std::string& path, int w, int h) {
    int width = -1, height = -1;
    Bytes grey = orv::load_gray(path, &width, &height);
    if (!grey.empty()) {
      EXPECT_EQ(std::make_pair(width, height), std::make_pair(w, h)) << path;
    }
    return grey;
  }

  TempDir tmp_{"orv_image_test"};
};

// The bottom row is the top row reversed, so a flip would show; alpha plays
// no part. The decoder's luminance uses ITU-R 601 weights in 8-bit fixed point.
TEST_F(LoadGray, GreyRgbAndRgbaPngsGiveTheirLuminanceTopRowFirst) {
  const uint8_t colours[][4] = {{255, 255, 255, 255}, {0, 0, 0, 255},   {128, 128, 128, 10}, {255, 0, 0, 0},
                                {0, 255, 0, 255},     {0, 0, 255, 128}, {200, 100, 50, 255}, {13, 250, 77, 1}};
  const int w = 8, h = 2;
  for (int components : {1, 3, 4}) {
    Bytes pixels, expected;
    for (int i = 0; i < w * h; ++i) {
      const uint8_t* c = colours[i < w ? i : 2 * w - 1 - i];
      pixels.insert(pixels.end(), c, c + components);
      expected.push_back(components == 1 ? c[0] : uint8_t((c[0] * 77 + c[1] * 150 + c[2] * 29) >> 8));
    }
    EXPECT_EQ(load(write("image.png", encodePng(pixels, w, h, components)), w, h), expected) << components;
  }
}

TEST_F(LoadGray, WhatIsNotARegularPngFileGivesNothing) {
  for (const std::string& path : {file("absent.png"), std::string(), file(""), std::string("/dev/null")}) {
    EXPECT_TRUE(load(path, 0, 0).empty()) << path;
  }
  // A FIFO must neither block without a writer nor be read when it holds a whole PNG.
  auto loadFifo = [&](const std::string& fifo) {
    auto pending = std::async(std::launch::async, [&] { return load(fifo, 8, 8); });
    if (pending.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // release the blocked reader
      ADD_FAILURE() << "load_gray blocked on a FIFO";
    }
    return pending.get();
  };
  const std::string empty = file("empty.png"), full = file("full.png");
  ASSERT_EQ(::mkfifo(empty.c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo(full.c_str(), 0600), 0);
  EXPECT_TRUE(loadFifo(empty).empty());
  const int readEnd = ::open(full.c_str(), O_RDONLY | O_NONBLOCK);
  const int writeEnd = ::open(full.c_str(), O_WRONLY | O_NONBLOCK);
  const Bytes png = encodePng(Bytes(64, 0x33), 8, 8, 1);
  ASSERT_EQ(::write(writeEnd, png.data(), png.size()), ssize_t(png.size()));
  ::close(writeEnd);  // the bytes stay, and reading them ends at end of file
  EXPECT_TRUE(loadFifo(full).empty());
  ::close(readEnd);
  // Nor a JPEG, whatever its name.
  const Bytes jpg = orv::rgba_to_jpeg(Bytes(16 * 16 * 4, 0x90).data(), 16, 16, 92);
  ASSERT_EQ(decode(jpg, 1).width, 16);
  EXPECT_TRUE(load(write("frame.jpg", jpg), 16, 16).empty());
  EXPECT_TRUE(load(write("frame.png", jpg), 16, 16).empty());
}

// The decoder checks neither chunk CRCs nor that the file is complete.
TEST_F(LoadGray, TruncatedOrCorruptPngsGiveNothing) {
  const Bytes png = encodePng(noise(16 * 16, 61), 16, 16, 1);
  ASSERT_EQ(std::string(png.begin() + 37, png.begin() + 41), "IDAT");  // right after the header chunk
  const size_t idat = 41, idatEnd = png.size() - 12 - 4;
  ASSERT_EQ(load(write("whole.png", png), 16, 16).size(), 256u);  // the control
  // Empty, signature only, header only, inside the data, without IEND, short of IEND's CRC.
  for (size_t keep : {size_t(0), size_t(8), size_t(33), idat + 10, png.size() - 12, png.size() - 4}) {
    EXPECT_TRUE(load(write("cut.png", Bytes(png.begin(), png.begin() + long(keep))), 16, 16).empty()) << keep;
  }
  // One byte of the pixel data, or one bit of the header's CRC, changed.
  for (size_t at : {(idat + idatEnd) / 2, size_t(8 + 8 + 13)}) {
    Bytes corrupt = png;
    corrupt[at] ^= 0x01;
    EXPECT_TRUE(load(write("corrupt.png", corrupt), 16, 16).empty()) << at;
  }
}

// Black images compress to almost nothing: the file's size grants nothing.
TEST_F(LoadGray, ImagesBeyondTheSideOrPixelLimitsAreRefused) {
  for (auto [w, h, loads] : {std::tuple{100000u, 100000u, false},
                             {0x7FFFFFFFu, 1u, false},
                             {16384u, 16385u, false},
                             {16385u, 16384u, false},
                             {16385u, 1u, false},
                             {1u, 16385u, false},
                             {16384u, 1u, true},
                             {1u, 16384u, true}}) {
    // Complete data where it fits in memory, so a pixel over the limit would
    // decode without it; a header alone beyond that.
    const size_t data = size_t(w) * h > (size_t(1) << 30) ? 64 : size_t(w + 1) * h;
    const Bytes grey = load(write("image.png", blackPng(w, h, 8, 0, false, data)), int(w), int(h));
    EXPECT_EQ(grey, loads ? Bytes(size_t(w) * h, 0) : Bytes()) << w << " x " << h;
  }
}

// The decoder's allocations are capped at what the header can justify.
TEST_F(LoadGray, DataInflatingBeyondTheImageIsRefusedButHonestFilesDecode) {
  // 4 x 4 grey needs 20 bytes; a little more is tolerated, as the decoder
  // does, but not 16 MiB from a file of about 100 KiB.
  EXPECT_EQ(load(write("modest.png", blackPng(4, 4, 8, 0, false, 20 + 258)), 4, 4), Bytes(16, 0));
  const Bytes bomb = blackPng(4, 4, 8, 0, false, 16u << 20);
  EXPECT_LT(bomb.size(), 200u * 1024);
  EXPECT_TRUE(load(write("bomb.png", bomb), 4, 4).empty());
  // The most an honest file needs: 16-bit RGBA, and Adam7 data (15 rows per 8
  // on sides that are multiples of 8) inflating past the non-interlaced size,
  // so the inflater doubles its buffer once; over a mebibyte of pixels, so the
  // cap and not its slack decides.
  const size_t raw = 400 * 400 * 8 + 400 * 15 / 8;
  ASSERT_GT(raw, 400u * (1 + 400 * 8));
  EXPECT_EQ(load(write("honest.png", blackPng(400, 400, 16, 6, true, raw)), 400, 400), Bytes(400 * 400, 0));
}

}  // namespace

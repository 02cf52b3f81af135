// Inputs that the fuzz targets (fuzz/) turned up, kept as tests of the
// helper library so that the faults they showed stay mended.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "PngChunks.h"
#include "contract/selection.h"
#include "orv/backend.h"
#include "orv/image.h"

namespace {

using nlohmann::json;

// Arrays nested `depth` deep around `inner`.
std::string nested(int depth, const std::string& inner = "") {
  return std::string(depth, '[') + inner + std::string(depth, ']');
}

// ---------------------------------------------------------------------------
// Selection records nested far deeper than any record is. Writing a parsed
// value back (the overlay appending a dab) or copying it (the pull building
// its start body) recurses once per level, so a brush_json or bbox_json of a
// few hundred kilobytes of brackets, as a hand-edited project can hold,
// overflowed the host thread's stack and took the host down.

constexpr int kHostile = 300000;

TEST(FuzzSelectionDepth, ADeeplyNestedRecordIsNoBoxAndNoDabsAndAppendingStartsAFreshArray) {
  EXPECT_EQ(contract::append_dab(nested(kHostile), 0.25, 0.5, 0.03), std::optional<std::string>("[[0.25,0.5,0.03]]"));
  const json record = contract::parse_record(nested(kHostile));
  EXPECT_TRUE(record.is_discarded());
  EXPECT_FALSE(contract::read_box(record));
  EXPECT_TRUE(contract::read_dabs(record).empty());
  // An object nested inside arrays is refused all the same.
  EXPECT_TRUE(contract::parse_record(nested(kHostile, R"({"w":0.5})")).is_discarded());
}

TEST(FuzzSelectionDepth, StartBodyOfDeeplyNestedRecordsHasNoBoxAndNoStrokes) {
  orv::StartSettings settings;
  settings.bboxText = "{\"w\":0.5,\"deep\":" + nested(kHostile) + "}";
  settings.brushText = "[[0.1,0.2,0.03]," + nested(kHostile) + "]";
  const json body = json::parse(orv::start_body(settings));
  EXPECT_FALSE(body.contains("bbox"));
  EXPECT_EQ(body["strokes"], json::array());
}

// The limit sits above every record the overlay writes: a dab array is two
// levels deep, and extra members of a box may nest as deep as the limit.
TEST(FuzzSelectionDepth, NestingUpToTheLimitIsStillARecord) {
  const std::string deepest = nested(contract::kMaxRecordDepth);
  EXPECT_TRUE(contract::parse_record(deepest).is_array());
  EXPECT_TRUE(contract::parse_record(nested(contract::kMaxRecordDepth + 1)).is_discarded());

  const std::string box = R"({"h":0.25,"w":0.5,"x":0.1,"y":0.2,"note":)" + nested(contract::kMaxRecordDepth - 1) + "}";
  contract::Box b;
  EXPECT_TRUE(contract::read_box(contract::parse_record(box), &b));
  EXPECT_EQ(b.w, 0.5);
}

// Brackets inside strings are text, not nesting.
TEST(FuzzSelectionDepth, BracketsInsideStringsDoNotCount) {
  const std::string brackets(5000, '[');
  const std::string box = R"({"w":0.5,"label":")" + brackets + R"(\"[{"})";
  EXPECT_TRUE(contract::read_box(contract::parse_record(box)));
  // An escaped backslash ends just before its string's closing quote.
  const std::string dabs = R"([[0.1,0.2,0.03,"\\",")" + brackets + R"("]])";
  ASSERT_TRUE(contract::parse_record(dabs).is_array()) << dabs.substr(0, 40);
  EXPECT_EQ(contract::read_dabs(contract::parse_record(dabs)).size(), 1u);
}

// ---------------------------------------------------------------------------
// Palette mattes whose pixels use an index beyond the palette. The decoder
// keeps the palette in an uninitialised stack array and fills only the
// entries the file gives, so such pixels took their grey from whatever the
// stack held: the same file decoded differently from one call to the next
// (the fuzzer saw 0 from memory and 151 from the file). They now decode as
// black, the colour of the entries that the file does not give.

// An 8-bit palette PNG of one row of the given indexes, its pixel data in a
// stored (uncompressed) deflate block.
std::vector<std::uint8_t> palettePng(const std::vector<std::uint8_t>& palette, const std::vector<std::uint8_t>& trns,
                                     const std::vector<std::uint8_t>& indexes) {
  std::vector<std::uint8_t> png = {137, 80, 78, 71, 13, 10, 26, 10};
  std::vector<std::uint8_t> header;
  putBe32(header, static_cast<std::uint32_t>(indexes.size()));
  putBe32(header, 1);
  header.insert(header.end(), {8, 3, 0, 0, 0});
  putChunk(png, "IHDR", header);
  putChunk(png, "PLTE", palette);
  if (!trns.empty()) putChunk(png, "tRNS", trns);
  std::vector<std::uint8_t> raw = {0};  // filter type of the row
  raw.insert(raw.end(), indexes.begin(), indexes.end());
  // The zlib header, then one final stored block: its length and the length's complement.
  std::vector<std::uint8_t> zlib = {0x78, 0x01, 0x01};
  for (std::uint32_t n : {std::uint32_t(raw.size()), ~std::uint32_t(raw.size())})
    zlib.insert(zlib.end(), {std::uint8_t(n), std::uint8_t(n >> 8)});
  zlib.insert(zlib.end(), raw.begin(), raw.end());
  std::uint32_t a = 1, b = 0;
  for (std::uint8_t byte : raw) a = (a + byte) % 65521, b = (b + a) % 65521;
  putBe32(zlib, b << 16 | a);
  putChunk(png, "IDAT", zlib);
  putChunk(png, "IEND", {});
  return png;
}

// Leaves a recognisable pattern where the decoder's frame will lie, so that
// an uninitialised read shows instead of happening to find zeros.
__attribute__((noinline)) void scribbleOnStack() {
  volatile unsigned char junk[256 * 1024];
  for (std::size_t i = 0; i < sizeof junk; ++i) junk[i] = static_cast<unsigned char>(0xA5 ^ (i * 37));
}

std::vector<std::uint8_t> decodeAfterScribble(const std::vector<std::uint8_t>& png, int* w, int* h) {
  scribbleOnStack();
  return orv::load_gray_from_memory(png, w, h);
}

std::vector<std::uint8_t> decodeFileAfterScribble(const std::vector<std::uint8_t>& png, int* w, int* h) {
  const std::string path = "/tmp/orv_fuzz_regression_" + std::to_string(::getpid()) + ".png";
  FILE* file = std::fopen(path.c_str(), "wb");
  std::fwrite(png.data(), 1, png.size(), file);
  std::fclose(file);
  scribbleOnStack();
  std::vector<std::uint8_t> grey = orv::load_gray(path, w, h);
  std::remove(path.c_str());
  return grey;
}

// The input as the fuzzer found it: 2 x 2, a palette of four entries and a
// tRNS of two, every pixel's index (27 and 228) beyond the palette.
const std::vector<std::uint8_t> kFoundPalettePng = {
    0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52, 0x00, 0x00, 0x00,
    0x02, 0x00, 0x00, 0x00, 0x02, 0x08, 0x03, 0x00, 0x00, 0x00, 0x45, 0x68, 0xfd, 0x16, 0x00, 0x00, 0x00, 0x0c, 0x50,
    0x4c, 0x54, 0x45, 0x00, 0x00, 0x00, 0xff, 0x00, 0x00, 0x00, 0xff, 0x00, 0xff, 0xff, 0xff, 0xb6, 0x7c, 0xda, 0x43,
    0x00, 0x00, 0x00, 0x02, 0x74, 0x52, 0x4e, 0x53, 0xff, 0x80, 0x08, 0x0f, 0xb3, 0x6a, 0x00, 0x00, 0x00, 0x0e, 0x49,
    0x44, 0x41, 0x54, 0x78, 0xda, 0x63, 0x90, 0x7e, 0xc2, 0x20, 0xfd, 0x04, 0x00, 0x05, 0x37, 0x01, 0xff, 0x78, 0x66,
    0xad, 0x09, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};

TEST(FuzzPaletteIndex, TheFoundFileDecodesTheSameFromMemoryAndFromAFile) {
  int w = 0, h = 0;
  const std::vector<std::uint8_t> fromMemory = decodeAfterScribble(kFoundPalettePng, &w, &h);
  EXPECT_EQ(std::pair(w, h), std::pair(2, 2));
  EXPECT_EQ(fromMemory, std::vector<std::uint8_t>(4, 0));
  int fw = 0, fh = 0;
  EXPECT_EQ(decodeFileAfterScribble(kFoundPalettePng, &fw, &fh), fromMemory);
}

TEST(FuzzPaletteIndex, IndexesBeyondThePaletteAreBlack) {
  // One white entry; indexes 1, 7, 200 and 255 lie beyond it.
  const auto png = palettePng({255, 255, 255}, {}, {0, 1, 7, 0, 200, 255});
  int w = 0, h = 0;
  EXPECT_EQ(decodeAfterScribble(png, &w, &h), (std::vector<std::uint8_t>{255, 0, 0, 255, 0, 0}));
  EXPECT_EQ(std::pair(w, h), std::pair(6, 1));
}

TEST(FuzzPaletteIndex, AFullPaletteIsDecodedAsBefore) {
  std::vector<std::uint8_t> palette;
  for (int i = 0; i < 256; ++i) palette.insert(palette.end(), {static_cast<std::uint8_t>(255 - i), 0, 0});
  const auto png = palettePng(palette, {}, {0, 1, 255});
  int w = 0, h = 0;
  // The decoder's luminance of pure red: (77 r) >> 8.
  EXPECT_EQ(decodeAfterScribble(png, &w, &h), (std::vector<std::uint8_t>{(77 * 255) >> 8, (77 * 254) >> 8, 0}));
}

// Widening the palette must not let through what the decoder refuses: a
// tRNS chunk with more entries than the palette.
TEST(FuzzPaletteIndex, ATransparencyLongerThanThePaletteIsStillRefused) {
  int w = 0, h = 0;
  EXPECT_TRUE(orv::load_gray_from_memory(palettePng({255, 255, 255, 0, 0, 0}, {255, 0, 9}, {0, 1}), &w, &h).empty());
  EXPECT_EQ(orv::load_gray_from_memory(palettePng({255, 255, 255, 0, 0, 0}, {255, 0}, {0, 1}), &w, &h),
            (std::vector<std::uint8_t>{255, 0}));
}

// An empty IDAT chunk before any image data: the decoder copied its nothing
// into a buffer it had not allocated yet (undefined behaviour). Refused;
// an empty IDAT after the data, harmless, still decodes.
TEST(FuzzEmptyImageData, AnEmptyIdatBeforeTheDataIsRefusedAndOneAfterItIsNot) {
  // Three rows of four grey pixels of 9, filter 0, stored uncompressed.
  const std::vector<std::uint8_t> rows = {0, 9, 9, 9, 9, 0, 9, 9, 9, 9, 0, 9, 9, 9, 9};
  std::vector<std::uint8_t> zlib = {0x78, 0x01, 0x01, 15, 0, 0xf0, 0xff};
  for (std::uint8_t v : rows) zlib.push_back(v);  // not insert(): GCC 12 at -O3 warns falsely on it
  std::uint32_t a = 1, b = 0;
  for (std::uint8_t v : rows) a = (a + v) % 65521, b = (b + a) % 65521;
  putBe32(zlib, (b << 16) | a);
  const auto png = [&](bool emptyFirst) {
    std::vector<std::uint8_t> file = {0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a};
    putChunk(file, "IHDR", {0, 0, 0, 4, 0, 0, 0, 3, 8, 0, 0, 0, 0});
    putChunk(file, "IDAT", emptyFirst ? std::vector<std::uint8_t>{} : zlib);
    putChunk(file, "IDAT", emptyFirst ? zlib : std::vector<std::uint8_t>{});
    putChunk(file, "IEND", {});
    return file;
  };
  int w = 0, h = 0;
  EXPECT_TRUE(decodeAfterScribble(png(true), &w, &h).empty());
  EXPECT_EQ(decodeAfterScribble(png(false), &w, &h), std::vector<std::uint8_t>(12, 9));
}

}  // namespace

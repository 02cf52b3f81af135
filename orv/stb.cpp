// The one translation unit that compiles the stb image decoder and PNG encoder.
// Their symbols keep C linkage and hidden visibility: they resolve inside the
// plug-in's own link and are neither exported nor interposed by a host that
// carries its own copy.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>

#include "orv/image.h"

namespace orv {

// Largest single allocation the decoder may make. load_gray lowers it while
// it decodes (one decode at a time, under gDecodeMu), to what the image's
// header can justify, so a small file whose compressed data inflates without
// end (a zlib bomb) fails quickly instead of reserving gigabytes. Unlimited
// otherwise. Not thread-local: a dlopen'd library's dynamic TLS trips the
// leak checker's thread scan, and decodes are serialised anyway.
std::atomic<std::size_t> gDecodeAllocLimit{SIZE_MAX};
std::mutex gDecodeMu;

}  // namespace orv

namespace {

void* cappedMalloc(std::size_t size) { return size > orv::gDecodeAllocLimit.load() ? nullptr : std::malloc(size); }

// On refusal the old block stays valid; the decoder frees it itself.
void* cappedRealloc(void* block, std::size_t size) {
  return size > orv::gDecodeAllocLimit.load() ? nullptr : std::realloc(block, size);
}

}  // namespace

// Decoder: PNG only, the only format mattes come in, which also keeps the
// other decoders' code away from untrusted files. Images wider or taller than
// 16384 are refused while the header is parsed.
#define STBI_ONLY_PNG
#define STBI_NO_HDR
#define STBI_NO_LINEAR
#define STBI_NO_FAILURE_STRINGS
#define STBI_MAX_DIMENSIONS 16384
static_assert(STBI_MAX_DIMENSIONS == orv::kMaxImageSide, "decoder and load_gray limits differ");
#define STBI_MALLOC(size) cappedMalloc(size)
#define STBI_REALLOC(block, size) cappedRealloc(block, size)
// The image helpers release decoded pixels with free().
#define STBI_FREE(block) std::free(block)
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>

// Encoder: PNG only. The writer is compiled with internal linkage, so the
// formats nothing here calls (JPEG, BMP, TGA, HDR) are left out of the
// binary; its PNG entry points are defined below with their usual C names
// for the library, the host and the tests. Default settings otherwise
// (malloc/free, default compression, no flip). The headers it would include
// come first, at global scope, so that only the writer's own code lands in
// the namespace.
#include <cassert>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#define STBIW_ASSERT(x) assert(x)
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
namespace orv_png_writer {
#include <stb_image_write.h>
}  // namespace orv_png_writer
#pragma GCC diagnostic pop

extern "C" {

unsigned char* stbi_write_png_to_mem(const unsigned char* pixels, int stride_bytes, int x, int y, int n, int* out_len) {
  return orv_png_writer::stbi_write_png_to_mem(pixels, stride_bytes, x, y, n, out_len);
}

int stbi_write_png_to_func(orv_png_writer::stbi_write_func* func, void* context, int w, int h, int comp,
                           const void* data, int stride_in_bytes) {
  return orv_png_writer::stbi_write_png_to_func(func, context, w, h, comp, data, stride_in_bytes);
}

int stbi_write_png(char const* filename, int w, int h, int comp, const void* data, int stride_in_bytes) {
  return orv_png_writer::stbi_write_png(filename, w, h, comp, data, stride_in_bytes);
}

}  // extern "C"

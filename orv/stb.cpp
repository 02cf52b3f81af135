// The one translation unit that compiles the stb image decoder and encoder.
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

// Encoder: default settings (malloc/free, default PNG compression, no flip).
// Its JPEG bit writer shifts set bits out of the top of a signed int, which
// C++17 leaves undefined; this file is compiled with -fwrapv (see
// CMakeLists.txt), which gives it the two's complement meaning it relies on.
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>

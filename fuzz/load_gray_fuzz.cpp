// load_gray on any bytes, as a matte the backend sent lands on disk: an
// empty result or width * height grey bytes within the limits, the same
// from the file as from memory, and nothing else (no crash, no report).

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "orv/image.h"

namespace {

// One file per fuzzing process, rewritten for every input and removed at exit.
struct Scratch {
  std::string path = "/tmp/orv_load_gray_fuzz_" + std::to_string(::getpid()) + ".png";
  ~Scratch() { std::remove(path.c_str()); }
};

const std::string& scratchPath() {
  static const Scratch scratch;
  return scratch.path;
}

// The bytes with the CRC of every whole chunk after a PNG signature made
// right. load_gray refuses a chunk whose CRC is wrong before the decoder sees
// it, so without this nearly every mutation would stop there.
std::vector<uint8_t> withChunkCrcs(std::vector<uint8_t> file) {
  static const uint8_t kSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
  if (file.size() < 8 || !std::equal(kSignature, kSignature + 8, file.begin())) return file;
  std::size_t pos = 8;
  while (file.size() - pos >= 12) {
    const std::size_t length = std::size_t(file[pos]) << 24 | std::size_t(file[pos + 1]) << 16 |
                               std::size_t(file[pos + 2]) << 8 | file[pos + 3];
    if (length > file.size() - pos - 12) break;
    uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = pos + 4; i < pos + 8 + length; ++i) {
      crc ^= file[i];
      for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    }
    crc ^= 0xFFFFFFFFu;
    uint8_t* out = &file[pos + 8 + length];
    out[0] = static_cast<uint8_t>(crc >> 24), out[1] = static_cast<uint8_t>(crc >> 16);
    out[2] = static_cast<uint8_t>(crc >> 8), out[3] = static_cast<uint8_t>(crc);
    pos += 12 + length;
  }
  return file;
}

void check(const std::vector<uint8_t>& bytes) {
  int w = -1, h = -1;
  const std::vector<uint8_t> grey = orv::load_gray_from_memory(bytes, &w, &h);
  if (!grey.empty()) {
    FUZZ_CHECK(w > 0 && h > 0 && w <= orv::kMaxImageSide && h <= orv::kMaxImageSide);
    FUZZ_CHECK(grey.size() == static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
  }

  FILE* file = std::fopen(scratchPath().c_str(), "wb");
  FUZZ_CHECK(file != nullptr);
  FUZZ_CHECK(bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size());
  std::fclose(file);
  int fw = -1, fh = -1;
  const std::vector<uint8_t> fromFile = orv::load_gray(scratchPath(), &fw, &fh);
  FUZZ_CHECK(fromFile == grey);
  if (!grey.empty()) FUZZ_CHECK(fw == w && fh == h);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> bytes(data, data + size);
  check(bytes);
  const std::vector<uint8_t> mended = withChunkCrcs(bytes);
  if (mended != bytes) check(mended);
  return 0;
}

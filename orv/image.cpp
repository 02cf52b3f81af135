#include "orv/image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>

// Declarations only; the implementations are compiled in stb.cpp.
#include <stb_image.h>

// stb.cpp's PNG encoder, missing from the writer header's declarations.
extern "C" unsigned char* stbi_write_png_to_mem(const unsigned char* pixels, int stride_bytes, int x, int y, int n,
                                                int* out_len);

namespace orv {

// Defined in stb.cpp: the cap on single decoder allocations, and the lock
// that lets one decode at a time set it.
extern std::atomic<std::size_t> gDecodeAllocLimit;
extern std::mutex gDecodeMu;

namespace {

const char kB64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char kPngDataUrlPrefix[] = "data:image/png;base64,";

// Owns a buffer that stb allocated with malloc, so it is freed on every path.
struct FreeDeleter {
  void operator()(unsigned char* block) const { std::free(block); }
};
using StbBuffer = std::unique_ptr<unsigned char, FreeDeleter>;

// Encodes `components`-channel pixels as a PNG data URL; the bare prefix when
// the writer fails.
std::string png_data_url(const unsigned char* pixels, int width, int height, int stride, int components) {
  std::string url = kPngDataUrlPrefix;
  // The writer does its sizes in int and happily writes a PNG of width 0;
  // refuse what it would get wrong instead.
  const long long row_bytes = static_cast<long long>(width) * components;
  if (pixels == nullptr || width <= 0 || height <= 0 || stride < row_bytes || (row_bytes + 1) * height > INT_MAX ||
      static_cast<long long>(stride) * height > INT_MAX) {
    return url;
  }
  int length = 0;
  StbBuffer png(stbi_write_png_to_mem(pixels, stride, width, height, components, &length));
  if (png && length > 0) {
    const std::vector<uint8_t> bytes(png.get(), png.get() + length);
    url += base64_encode(bytes.data(), bytes.size());
  }
  return url;
}

// Closes a file descriptor on every path.
struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

// Reads the whole of a regular file of at most kMaxImageFileBytes. Reading
// once into memory means a file that changes while it is read cannot make the
// decoder see one size in the header check and another in the decode. The
// non-blocking open keeps a FIFO from hanging before it is refused.
bool read_regular_file(const std::string& path, std::vector<unsigned char>* data) {
  Fd file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
  if (file.fd < 0) return false;
  struct stat info {};
  if (::fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0 ||
      static_cast<unsigned long long>(info.st_size) > kMaxImageFileBytes) {
    return false;
  }
  // One byte more than the size seen, so a file that grew is noticed.
  data->resize(static_cast<std::size_t>(info.st_size) + 1);
  std::size_t used = 0;
  for (;;) {
    if (used == data->size()) {
      if (used > kMaxImageFileBytes) return false;
      data->resize(std::min(used * 2, kMaxImageFileBytes + 1));
    }
    const ssize_t got = ::read(file.fd, data->data() + used, data->size() - used);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    used += static_cast<std::size_t>(got);
  }
  data->resize(used);
  return true;
}

// Sets the decoder's allocation cap for the current scope, holding the
// decode lock meanwhile.
class DecodeAllocLimit {
 public:
  explicit DecodeAllocLimit(std::size_t limit) : lock_(gDecodeMu), saved_(gDecodeAllocLimit) {
    gDecodeAllocLimit = limit;
  }
  ~DecodeAllocLimit() { gDecodeAllocLimit = saved_; }
  DecodeAllocLimit(const DecodeAllocLimit&) = delete;
  DecodeAllocLimit& operator=(const DecodeAllocLimit&) = delete;

 private:
  std::lock_guard<std::mutex> lock_;
  std::size_t saved_;
};

// CRC-32 of PNG chunks (ISO 3309 polynomial, reflected), table-driven.
struct CrcTable {
  std::uint32_t entry[256];
  constexpr CrcTable() : entry() {
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      entry[n] = c;
    }
  }
};
constexpr CrcTable kCrcTable;

std::uint32_t crc32(const unsigned char* data, std::size_t len) {
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < len; ++i) c = kCrcTable.entry[(c ^ data[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

std::uint32_t read_be32(const unsigned char* p) {
  return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

// The decoder checks neither chunk CRCs nor the zlib checksum, so a matte
// damaged on the way would show as wrong pixels; it also accepts a file cut
// off inside its final chunk. Whole chunks up to IEND, each with its CRC.
// An empty IDAT before any image data makes the decoder copy into a buffer
// it has not allocated yet; no writer needs one, so it is refused too.
bool png_chunks_intact(const std::vector<unsigned char>& file) {
  static const unsigned char kSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
  if (file.size() < 8 || !std::equal(kSignature, kSignature + 8, file.begin())) return false;
  std::size_t pos = 8;
  bool image_data = false;
  while (file.size() - pos >= 12) {
    const std::size_t length = read_be32(&file[pos]);
    if (length > file.size() - pos - 12) return false;
    const unsigned char* type = &file[pos + 4];
    if (crc32(type, length + 4) != read_be32(type + 4 + length)) return false;
    if (std::equal(type, type + 4, "IDAT")) {
      if (length == 0 && !image_data) return false;
      image_data = true;
    }
    if (std::equal(type, type + 4, "IEND")) return true;
    pos += 12 + length;
  }
  return false;
}

void write_be32(unsigned char* p, std::uint32_t value) {
  p[0] = static_cast<unsigned char>(value >> 24);
  p[1] = static_cast<unsigned char>(value >> 16);
  p[2] = static_cast<unsigned char>(value >> 8);
  p[3] = static_cast<unsigned char>(value);
}

// The decoder keeps a palette in an uninitialised array of 256 entries and
// fills only those that the PLTE chunk holds, so a pixel whose index lies
// beyond them took its colour from whatever the stack held: the same file
// decoded differently from call to call. In a palette image the first PLTE
// chunk is therefore widened to 256 entries, the new ones black and opaque,
// into *widened (left empty when nothing needs widening). False when the
// decoder would refuse the file for a tRNS chunk longer than the palette,
// which the widening would otherwise let through. `file` holds whole chunks
// up to IEND (png_chunks_intact).
bool widen_palette(const std::vector<unsigned char>& file, std::vector<unsigned char>* widened) {
  // The colour type is the IHDR's tenth byte; the decoder refuses a file
  // that does not start with a 13-byte IHDR.
  if (file.size() < 33 || read_be32(&file[8]) != 13 || !std::equal(&file[12], &file[16], "IHDR") || file[25] != 3) {
    return true;
  }
  std::size_t entries = 0;  // of the latest PLTE, as the decoder counts them
  bool widen = true;
  for (std::size_t pos = 8;;) {
    const std::size_t length = read_be32(&file[pos]);
    const unsigned char* type = &file[pos + 4];
    if (std::equal(type, type + 4, "IEND")) return true;
    if (std::equal(type, type + 4, "PLTE") && length % 3 == 0 && length <= 3 * 256) {
      entries = length / 3;
      if (widen && length > 0 && length < 3 * 256) {
        widen = false;
        widened->assign(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(pos));
        const std::size_t at = widened->size();
        widened->resize(at + 12 + 3 * 256);  // zeros: black
        write_be32(&(*widened)[at], 3 * 256);
        std::copy(type, type + 4 + length, widened->begin() + static_cast<std::ptrdiff_t>(at + 4));
        write_be32(&(*widened)[at + 8 + 3 * 256], crc32(&(*widened)[at + 4], 4 + 3 * 256));
        widened->insert(widened->end(), file.begin() + static_cast<std::ptrdiff_t>(pos + 12 + length), file.end());
      }
    } else if (std::equal(type, type + 4, "tRNS") && entries > 0 && length > entries) {
      widened->clear();
      return false;
    }
    pos += 12 + length;
  }
}

std::vector<uint8_t> decode_gray(const std::vector<unsigned char>& original, int* width, int* height) {
  if (!png_chunks_intact(original)) return {};
  std::vector<unsigned char> widened;
  if (!widen_palette(original, &widened)) return {};
  const std::vector<unsigned char>& file = widened.empty() ? original : widened;
  const int length = static_cast<int>(file.size());  // at most kMaxImageFileBytes
  int w = 0, h = 0, channels = 0;
  // The header alone first: only PNG is recognised, and the size is checked
  // before the decoder allocates anything for the pixels.
  if (!stbi_info_from_memory(file.data(), length, &w, &h, &channels)) return {};
  if (w <= 0 || h <= 0 || w > kMaxImageSide || h > kMaxImageSide ||
      static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h) > kMaxImagePixels) {
    return {};
  }
  // No buffer of an honest file exceeds this: at most 8 bytes a pixel
  // (16-bit RGBA) plus row filter bytes, doubled once because the inflater
  // grows its output by doubling from the non-interlaced size; compressed
  // data grows by doubling up to twice the file. Anything larger is data
  // inflating beyond what the header declares.
  const std::size_t pixels = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
  const std::size_t rows = static_cast<std::size_t>(h);
  const std::size_t limit = 2 * (8 * pixels + 8 * rows) + 2 * file.size() + (std::size_t(1) << 20);
  int dw = 0, dh = 0;
  StbBuffer grey;
  {
    DecodeAllocLimit scope(limit);
    grey.reset(stbi_load_from_memory(file.data(), length, &dw, &dh, &channels, 1));
  }
  if (!grey || dw != w || dh != h) return {};
  std::vector<uint8_t> out(grey.get(), grey.get() + pixels);
  *width = w;
  *height = h;
  return out;
}

}  // namespace

std::string base64_encode(const unsigned char* data, size_t len) {
  std::string out;
  out.reserve(4 * ((len + 2) / 3));
  size_t i = 0;
  for (; i + 3 <= len; i += 3) {
    const unsigned b0 = data[i], b1 = data[i + 1], b2 = data[i + 2];
    out += kB64Alphabet[b0 >> 2];
    out += kB64Alphabet[((b0 << 16 | b1 << 8) >> 12) & 63];
    out += kB64Alphabet[((b1 << 8) + b2) >> 6 & 63];
    out += kB64Alphabet[b2 & 63];
  }
  if (len - i == 1) {
    const unsigned b0 = data[i];
    out += kB64Alphabet[b0 >> 2];
    out += kB64Alphabet[(b0 << 4) & 63];
    out += "==";
  } else if (len - i == 2) {
    const unsigned b0 = data[i], b1 = data[i + 1];
    out += kB64Alphabet[b0 >> 2];
    out += kB64Alphabet[((b0 << 16 | b1 << 8) >> 12) & 63];
    out += kB64Alphabet[(b1 << 2) & 63];
    out += '=';
  }
  return out;
}

std::string rgba_to_png_data_url(const unsigned char* rgba, int width, int height, int stride) {
  return png_data_url(rgba, width, height, stride, 4);
}

std::string mask_to_png_data_url(const std::vector<uint8_t>& mask, int width, int height) {
  if (width > 0 && height > 0 && mask.size() < static_cast<std::size_t>(width) * static_cast<std::size_t>(height)) {
    return kPngDataUrlPrefix;
  }
  return png_data_url(mask.data(), width, height, width, 1);
}

std::vector<uint8_t> rgba_to_jpeg(const unsigned char* rgba, int width, int height, int quality) {
  std::vector<uint8_t> out;
  // Sides beyond the 16 bits of a JPEG header cannot be written; the pixel
  // count stays within what every size computation of the encoder holds.
  if (rgba == nullptr || width <= 0 || height <= 0 || width > 65535 || height > 65535 ||
      static_cast<long long>(width) * height * 4 > INT_MAX) {
    return out;
  }
  // A compressor per call: a few kilobytes set up in microseconds, nothing
  // shared between threads, and no thread-local state in a library that
  // hosts load and unload.
  const std::unique_ptr<void, int (*)(tjhandle)> encoder(tjInitCompress(), tjDestroy);
  if (!encoder) return out;
  unsigned char* jpeg = nullptr;  // allocated by the encoder, freed with tjFree
  unsigned long length = 0;
  // Full-resolution colour (4:4:4), as the staged files always had: halved
  // chroma (4:2:0) smears colour over 16-pixel blocks, some 60 levels off
  // beside a sharp colour edge at this quality, a fringe along the
  // character's outline, which is where the matting reads colour.
  const int status = tjCompress2(encoder.get(), rgba, width, width * 4, height, TJPF_RGBA, &jpeg, &length, TJSAMP_444,
                                 std::clamp(quality, 1, 100), 0);
  const std::unique_ptr<unsigned char, void (*)(unsigned char*)> owned(jpeg, tjFree);
  if (status != 0 || jpeg == nullptr || length == 0) return out;
  try {
    out.assign(jpeg, jpeg + length);
  } catch (const std::bad_alloc&) {
    out.clear();
  }
  return out;
}

std::vector<uint8_t> load_gray(const std::string& path, int* width, int* height) {
  *width = 0;
  *height = 0;
  try {
    std::vector<unsigned char> file;
    if (!read_regular_file(path, &file)) return {};
    return decode_gray(file, width, height);
  } catch (const std::bad_alloc&) {
    // A file or image too large for the memory left: treated as unreadable.
    return {};
  }
}

std::vector<uint8_t> load_gray_from_memory(const std::vector<uint8_t>& file, int* width, int* height) {
  *width = 0;
  *height = 0;
  if (file.size() > kMaxImageFileBytes) return {};  // what read_regular_file refuses
  try {
    return decode_gray(file, width, height);
  } catch (const std::bad_alloc&) {
    return {};
  }
}

}  // namespace orv

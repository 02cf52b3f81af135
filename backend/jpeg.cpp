#include "backend/jpeg.h"

// clang-format off
#include <cstdio>  // jpeglib.h needs FILE first
#include <jpeglib.h>
// clang-format on

#include <csetjmp>
#include <mutex>

#include "backend/heap.h"
#include "backend/protocol.h"

namespace backend {

namespace {

// libjpeg packs a flat grey frame into at most 256 pixels a byte (optimised
// tables), a flat colour one into 170; real footage stays under 60.
constexpr std::uint64_t kMaxPixelsPerByte = 1024;
// A progressive JPEG from an encoder has about ten scans; each scan costs a
// pass over every block of the image.
constexpr int kMaxScans = 64;
// A JPEG of several scans is decoded into a buffer of every coefficient of
// the image (two bytes each); ours are decoded one at a time, up to this.
constexpr std::uint64_t kMaxCoefficientBytes = 64ull << 20;

std::mutex gCoefficientDecode;

// Gives the heaps' free memory back when it goes, if wanted: a
// coefficient buffer is not kept by the heap that held it.
struct GiveBackAfter {
  bool wanted = false;
  ~GiveBackAfter() {
    if (wanted) give_back_heap();
  }
};

int be16(const std::string& b, std::size_t at) {
  return (static_cast<unsigned char>(b[at]) << 8) | static_cast<unsigned char>(b[at + 1]);
}

bool is_frame_header(unsigned char marker) {
  // SOF0 to SOF15, less DHT (C4), JPG (C8) and DAC (CC).
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// libjpeg's state and where its errors jump to. The functions that call
// setjmp hold nothing with a destructor, so the jump skips none.
struct Decoder {
  jpeg_decompress_struct cinfo{};
  jpeg_error_mgr errors{};
  jpeg_progress_mgr progress{};
  std::jmp_buf failed{};
  bool tooManyScans = false;

  explicit Decoder(const std::string& bytes) {
    cinfo.err = jpeg_std_error(&errors);
    errors.error_exit = [](j_common_ptr c) { std::longjmp(static_cast<Decoder*>(c->client_data)->failed, 1); };
    errors.output_message = [](j_common_ptr) {};  // warnings of damaged data are not the log's business
    cinfo.client_data = this;
    jpeg_create_decompress(&cinfo);
    progress.progress_monitor = [](j_common_ptr c) {
      auto* d = static_cast<Decoder*>(c->client_data);
      if (d->cinfo.input_scan_number > kMaxScans) {
        d->tooManyScans = true;
        std::longjmp(d->failed, 1);
      }
    };
    cinfo.progress = &progress;
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<unsigned long>(bytes.size()));
  }
  ~Decoder() { jpeg_destroy_decompress(&cinfo); }
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  bool read_header() {
    if (setjmp(failed)) return false;
    return jpeg_read_header(&cinfo, TRUE) == JPEG_HEADER_OK;
  }

  // An eighth of the size still reads every coefficient, at a fraction of the cost.
  bool decode_eighth() {
    if (setjmp(failed)) return false;
    cinfo.scale_num = 1, cinfo.scale_denom = 8;
    if (cinfo.jpeg_color_space == JCS_YCbCr || cinfo.jpeg_color_space == JCS_GRAYSCALE)
      cinfo.out_color_space = JCS_GRAYSCALE;
    jpeg_start_decompress(&cinfo);
    JSAMPARRAY row = (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE,
                                                cinfo.output_width * cinfo.output_components, 1);
    while (cinfo.output_scanline < cinfo.output_height) jpeg_read_scanlines(&cinfo, row, 1);
    jpeg_finish_decompress(&cinfo);
    return true;
  }

  // The bytes of the whole-image coefficient buffer libjpeg allocates for
  // a JPEG of several scans.
  std::uint64_t coefficient_bytes() const {
    std::uint64_t total = 0;
    for (int c = 0; c < cinfo.num_components; ++c) {
      const jpeg_component_info& k = cinfo.comp_info[c];
      const auto up = [](std::uint64_t n, std::uint64_t m) { return (n + m - 1) / m * m; };
      total += up(k.width_in_blocks, k.h_samp_factor) * up(k.height_in_blocks, k.v_samp_factor) * sizeof(JBLOCK);
    }
    return total;
  }
};

std::string mib(std::uint64_t bytes) { return std::to_string((bytes + (1 << 20) - 1) >> 20) + " MiB"; }

}  // namespace

std::optional<ImageSize> jpeg_size(const std::string& b) {
  if (b.size() < 4 || be16(b, 0) != 0xFFD8) return std::nullopt;
  std::size_t at = 2;
  while (at + 4 <= b.size()) {
    if (static_cast<unsigned char>(b[at]) != 0xFF) return std::nullopt;
    const unsigned char marker = static_cast<unsigned char>(b[at + 1]);
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    const std::size_t length = be16(b, at + 2);
    if (length < 2) return std::nullopt;
    if (is_frame_header(marker)) {
      if (at + 9 > b.size()) return std::nullopt;
      return ImageSize{be16(b, at + 7), be16(b, at + 5)};
    }
    if (marker == 0xDA || marker == 0xD9) return std::nullopt;  // image data or end before any frame header
    at += 2 + length;
  }
  return std::nullopt;
}

bool jpeg_decodes(const std::string& bytes, ImageSize size) {
  // Decoders pad a cut-off image with grey instead of failing: the end
  // marker shows that nothing was cut off.
  const std::size_t end = bytes.rfind("\xFF\xD9");
  if (end == std::string::npos || bytes.size() - end > 64) return false;
  const std::uint64_t pixels = std::uint64_t(size.width) * std::uint64_t(size.height);
  if (pixels > kMaxPixelsPerByte * bytes.size())
    throw Refusal(413, "the JPEG declares " + std::to_string(size.width) + " x " + std::to_string(size.height) +
                           " pixels in " + std::to_string(bytes.size()) + " bytes, more than " +
                           std::to_string(kMaxPixelsPerByte) + " a byte: no frame packs that tight");
  keep_heap();
  GiveBackAfter giveBack;  // after the decoder has freed its coefficients
  Decoder d(bytes);
  if (!d.read_header()) return false;
  std::unique_lock<std::mutex> oneAtATime(gCoefficientDecode, std::defer_lock);
  if (jpeg_has_multiple_scans(&d.cinfo)) {
    if (d.coefficient_bytes() > kMaxCoefficientBytes)
      throw Refusal(413, "the JPEG is progressive (or of several scans) and " + std::to_string(size.width) + " x " +
                             std::to_string(size.height) + " pixels: decoding it takes " + mib(d.coefficient_bytes()) +
                             ", over this backend's " + mib(kMaxCoefficientBytes) + " for such frames; send it baseline");
    oneAtATime.lock();
    giveBack.wanted = true;
  }
  if (!d.decode_eighth()) {
    if (d.tooManyScans)
      throw Refusal(415, "the JPEG has more than " + std::to_string(kMaxScans) + " scans; an encoder writes about ten");
    return false;
  }
  return int(d.cinfo.image_width) == size.width && int(d.cinfo.image_height) == size.height &&
         int(d.cinfo.output_width) == (size.width + 7) / 8 && int(d.cinfo.output_height) == (size.height + 7) / 8;
}

}  // namespace backend

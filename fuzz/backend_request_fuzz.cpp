// What a client sends prismhollow-backend, as the backend reads it: a start
// body for a clip of some frames, a frame index from a path, or the bytes
// of an uploaded frame. Each is either read into values the engine can run
// on or refused with a 4xx and a reason; nothing else escapes.

#include <cstddef>
#include <cstdint>
#include <string>

#include "backend/jpeg.h"
#include "backend/protocol.h"
#include "fuzz_check.h"

namespace {

bool refused(int status, const char* reason, std::initializer_list<int> allowed) {
  bool known = false;
  for (int s : allowed) known |= s == status;
  return known && reason[0] != '\0';
}

void start(const std::string& body, int frames) {
  try {
    const backend::StartRequest r = backend::read_start(body, frames);
    FUZZ_CHECK(r.anchor >= 0 && r.anchor < frames);
    FUZZ_CHECK(r.edgeSoftness >= 0 && r.edgeSoftness <= 1);
    bool adds = false;
    for (const matting::Dab& d : r.selection.dabs) adds |= d.r > 0;
    FUZZ_CHECK(r.selection.box || adds);
    if (const auto& b = r.selection.box)
      FUZZ_CHECK(b->w > 0 && b->h > 0 && b->x >= 0 && b->y >= 0 && b->x + b->w <= 1 && b->y + b->h <= 1);
  } catch (const backend::Refusal& e) {
    FUZZ_CHECK(refused(e.status, e.what(), {400, 422}));
  }
}

void index(const std::string& text) {
  try {
    const int i = backend::read_frame_index(text, 1000);
    FUZZ_CHECK(i >= 0 && i < 1000 && std::to_string(i) == text);
  } catch (const backend::Refusal& e) {
    FUZZ_CHECK(refused(e.status, e.what(), {400, 413}));
  }
}

void frame(const std::string& bytes) {
  const auto size = backend::jpeg_size(bytes);
  if (!size || size->width == 0 || size->height == 0 || size->width > 2048 || size->height > 2048) return;
  try {
    backend::jpeg_decodes(bytes, *size);
  } catch (const backend::Refusal& e) {
    FUZZ_CHECK(refused(e.status, e.what(), {413, 415}));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  switch (data[0] % 3) {
    case 0: return start(rest, 1 + data[0] / 3), 0;
    case 1: return index(rest), 0;
    default: return frame(rest), 0;
  }
}

#pragma once
// A session's files as every backend that serves it makes and reads them:
// its folder, made by the create call; a frame checked before it is kept;
// the frames its folder holds; the engine's job from its start request.

#include <cstdint>
#include <map>
#include <string>

#include "backend/disk_budget.h"
#include "backend/jpeg.h"
#include "backend/options.h"
#include "backend/protocol.h"
#include "backend/store.h"
#include "matting/engine.h"

namespace backend {

// A job that never ended this many times, because its backend died under
// it, is given up instead of being run again.
inline constexpr int kMaxAttempts = 3;

// A write the data folder's disk refused, as the answer to the call that
// made it: 507 with the reason.
template <class Write>
void writing(Write&& write) {
  try {
    write();
  } catch (const WriteError& e) {
    throw Refusal(507, e.what());
  }
}

// Makes the folder of a new session for the create call's body; its id.
std::string make_session(const Store& store, DiskBudget& budget, const std::string& body);

// The JPEG's size when this backend takes it as frame `index`: Refusal 400
// (no bytes), 415 (not a JPEG) or 413 (too large a side) otherwise. Whether
// it decodes whole is checked apart: it costs a decode.
ImageSize checked_frame(const std::string& jpeg, int index, const Options& options);

// The frames in the session's folder (index -> bytes). With `leftovers`,
// what a crash left half-written there is removed and its bytes given back
// to that budget: only where no other process may be writing.
std::map<int, std::uint64_t> frames_in(const Store& store, const std::string& id, DiskBudget* leftovers = nullptr);

// Frames 0 to N - 1, all present: N; Refusal 422 otherwise.
int whole_clip(const std::map<int, std::uint64_t>& frames);

// The engine's job on the session's `frames` frames as its start request
// says, its mattes written to `mattes`. Refusal when the request no longer
// holds.
matting::Job job_for(const Store& store, const std::string& id, int frames, const fs::path& mattes);

// "the frame is 320 x 240 pixels"
std::string size_text(ImageSize size);

}  // namespace backend

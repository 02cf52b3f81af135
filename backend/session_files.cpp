#include "backend/session_files.h"

#include <nlohmann/json.hpp>

namespace backend {

std::string size_text(ImageSize s) { return std::to_string(s.width) + " x " + std::to_string(s.height) + " pixels"; }

std::string make_session(const Store& store, DiskBudget& budget, const std::string& body) {
  const CreateRequest request = read_create(body);
  const std::string about = nlohmann::json{{"fps", request.fps}, {"source", request.source}}.dump();
  DiskBudget::Reservation room = budget.reserve(3 * 4096 + about.size());
  const std::string id = new_session_id();
  try {
    writing([&] {
      make_folders(store.frames(id));
      make_folders(store.mattes(id));
      write_whole(store.dir(id) / "session.json", about);
    });
  } catch (const Refusal&) {
    remove_tree(store.dir(id));
    throw;
  }
  room.settle(3 * 4096 + static_cast<std::int64_t>(about.size()));
  return id;
}

ImageSize checked_frame(const std::string& jpeg, int index, const Options& options) {
  const std::string frame = "frame " + std::to_string(index);
  if (jpeg.empty()) throw Refusal(400, frame + " has no bytes");
  const std::optional<ImageSize> size = jpeg_size(jpeg);
  if (!size || size->width == 0 || size->height == 0) throw Refusal(415, frame + " is not a JPEG image");
  if (size->width > options.maxSide || size->height > options.maxSide)
    throw Refusal(413, frame + " is " + size_text(*size) + "; this backend takes at most " +
                           std::to_string(options.maxSide) + " pixels a side");
  return *size;
}

std::map<int, std::uint64_t> frames_in(const Store& store, const std::string& id, DiskBudget* leftovers) {
  std::map<int, std::uint64_t> frames;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(store.frames(id), ec)) {
    const std::string name = entry.path().filename();
    const bool frame = name.size() >= 10 && name.compare(name.size() - 4, 4, ".jpg") == 0 &&
                       name.find_first_not_of("0123456789") == name.size() - 4;
    if (frame)
      frames[std::stoi(name)] = entry.file_size(ec);
    else if (leftovers)
      leftovers->remove(remove_tree(entry.path()));  // a write that a crash cut short
  }
  return frames;
}

int whole_clip(const std::map<int, std::uint64_t>& frames) {
  if (frames.empty()) throw Refusal(422, "no frames have been uploaded");
  const int n = frames.rbegin()->first + 1;
  for (int i = 0; i < n; ++i)
    if (!frames.count(i))
      throw Refusal(422, "frame " + std::to_string(i) + " is missing: upload frames 0 to " + std::to_string(n - 1) +
                             " before starting");
  return n;
}

matting::Job job_for(const Store& store, const std::string& id, int frames, const fs::path& mattes) {
  const StartRequest start = read_start(read_whole(store.dir(id) / "start.json"), frames);
  matting::Job job;
  for (int i = 0; i < frames; ++i) job.frames.push_back(store.frame(id, i));
  job.outputDir = mattes;
  job.memoDir = store.memo(id);
  job.anchor = start.anchor, job.selection = start.selection, job.corrections = start.corrections;
  job.quality = start.quality, job.edgeSoftness = start.edgeSoftness;
  return job;
}

}  // namespace backend

#include "pull_render.h"

#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "contract/files.h"
#include "frame_pictures.h"

std::string renderAll(RenderJob& job) {
  std::mutex mu;  // hands out frames in order, so that the file is decoded straight through
  int next = job.first;
  std::string failure;
  const auto fail = [&](const std::string& why) {
    std::lock_guard<std::mutex> lock(mu);
    if (failure.empty()) failure = why;
    job.preview->abort();
  };
  const auto work = [&] {
    for (;;) {
      int frame = 0;
      std::shared_ptr<ofxhost::ImageBuffer> pinned;  // decoded once for all the renders of this frame
      {
        std::lock_guard<std::mutex> lock(mu);
        if (next > job.last || !failure.empty() || *job.interrupted) return;
        frame = next++;
        pinned = job.source->frame(frame);
      }
      const std::string number = std::to_string(frame);
      ofxhost::RenderResult out = job.output->render(frame);
      if (!pinned || out.status != kOfxStatOK) return fail("frame " + number + " could not be rendered");
      const std::string name = "/" + contract::frame_name(frame, ".png");
      if (const std::string why = writePng(*out.output, job.dir + name); !why.empty())
        return fail("cannot write " + job.dir + name + ": " + why);

      ofxhost::RenderResult character = job.character == job.output ? out : job.character->render(frame);
      if (character.status != kOfxStatOK) return fail("frame " + number + " could not be rendered");
      const cv::Mat look = overCheckerboard(*character.output);
      if (job.sheet->wants(frame)) {
        ofxhost::RenderResult matte = job.matte == job.output ? out : job.matte->render(frame);
        if (matte.status != kOfxStatOK) return fail("frame " + number + " could not be rendered");
        job.sheet->put(frame, ContactSheet::kSource, colours(*pinned));
        job.sheet->put(frame, ContactSheet::kMatte, colours(*matte.output));
        job.sheet->put(frame, ContactSheet::kCharacter, look);
      }
      if (!job.preview->put(frame - job.first, look)) return;
      ++job.done;
    }
  };
  std::vector<std::thread> threads(std::max(1u, std::thread::hardware_concurrency()));
  for (auto& t : threads) t = std::thread(work);
  for (auto& t : threads) t.join();
  if (failure.empty() && *job.interrupted) return "interrupted";
  return failure;
}

#include "matting/pipeline.h"

#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <opencv2/imgproc.hpp>

#include "matting/frames.h"
#include "matting/shots.h"
#include "matting/stopwatch.h"

namespace matting {

namespace {
// Whole or not at all; false when `from` is not there or the copy failed.
bool copy_whole(const std::string& from, const std::string& to) {
  std::error_code ec;
  const std::string part = to + ".partial";
  if (!std::filesystem::copy_file(from, part, std::filesystem::copy_options::overwrite_existing, ec) || ec) {
    std::filesystem::remove(part, ec);
    return false;
  }
  std::filesystem::rename(part, to, ec);
  if (ec) std::filesystem::remove(part, ec);
  return !ec;
}

// The tracking alone sets the pace, and on two cores the reader and the
// writer took the core its own helpers wait for: they run behind it, in the
// time it leaves (a thread's niceness is its own on Linux, and goes with
// it).
void yield_to_tracking() { setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10); }

}  // namespace

FrameReader::FrameReader(const Job& job, Quality quality, std::vector<int> order)
    : thread_([this, &job, quality, order = std::move(order)] {
        yield_to_tracking();
        for (int index : order) {
          DecodedFrame frame;
          frame.index = index;
          Stopwatch watch;
          try {
            frame.pictures = read_for_tracking(job.frames[index], index, quality);
            decodeSeconds_ = decodeSeconds_ + watch.lap();
            frame.signature = shot_signature(frame.pictures.work);
            cutSeconds_ = cutSeconds_ + watch.lap();
          } catch (const std::exception& e) {
            frame.pictures = {};
            frame.error = e.what();
          }
          const bool failed = !frame.error.empty();
          if (!queue_.push(std::move(frame)) || failed) break;
        }
        queue_.close();
      }) {}

FrameReader::~FrameReader() {
  queue_.close();
  thread_.join();
}

MatteWriter::MatteWriter(const Job& job)
    : job_(job), edge_(job.edgeSoftness), thread_([this] {
        yield_to_tracking();
        cv::Mat matte;
        while (auto item = queue_.pop()) {
          try {
            Stopwatch watch;
            const std::string path = matte_path(job_, item->index);
            if (!item->kept.empty() && copy_whole(item->kept, path)) {
              encode_ += watch.lap();
              continue;
            }
            if (item->mask.empty()) {
              matte = cv::Mat::zeros(item->size, CV_8U);
            } else {
              edge_.render(item->mask, item->pictures.work, item->pictures.gray, matte,
                           item->read.alpha.empty() ? nullptr : &item->read);
            }
            alpha_ += watch.lap();
            write_matte(path, matte, item->index);
            if (!item->kept.empty()) copy_whole(path, item->kept);
            encode_ += watch.lap();
          } catch (const std::exception& e) {
            std::lock_guard<std::mutex> lock(errorMutex_);
            if (error_.empty()) error_ = e.what();
            queue_.close();
          }
        }
      }) {}

MatteWriter::~MatteWriter() {
  queue_.close();
  if (thread_.joinable()) thread_.join();
}

void MatteWriter::rethrow() {
  std::lock_guard<std::mutex> lock(errorMutex_);
  if (!error_.empty()) throw Error(error_);
}

void MatteWriter::tracked(int index, cv::Mat mask, TrackingFrame pictures, std::string kept, EdgeRead read) {
  rethrow();
  if (!queue_.push({index, std::move(mask), std::move(pictures), {}, std::move(kept), std::move(read)})) rethrow();
}

void MatteWriter::empty(int index, cv::Size size) {
  rethrow();
  if (!queue_.push({index, {}, {}, size, {}, {}})) rethrow();
}

void MatteWriter::finish() {
  queue_.close();
  if (thread_.joinable()) thread_.join();
  rethrow();
}

}  // namespace matting

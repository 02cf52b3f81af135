// The pull command: what "Pull alpha (whole clip)" does on the host's
// thread. It checks the backend address and the busy flag, stages every
// frame of the Source clip as a JPEG file in a fresh upload folder, builds
// the job's start body from the selection and settings and hands everything,
// with the clip's first frame, to the worker thread. The host's thread
// fetches the frames; a second thread of the press encodes and writes each
// one while the next is fetched, and either thread shrinks them.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "ORVHostImage.h"
#include "ORVParams.h"
#include "ORVPlugin.h"
#include "contract/files.h"
#include "contract/selection.h"
#include "orv/backend.h"
#include "orv/files.h"
#include "orv/image.h"

std::atomic<bool> gBusy{false};

namespace {

constexpr int kStagedSide = 1920;  // longer side of a staged frame, at most

// Ends a pull before the worker: the flag goes back and the user is told
// why. Once the status says the frames are being grabbed, it says instead
// that the pull failed, and why.
void abandon(OfxImageEffectHandle instance, const std::string& why, bool grabbing = false) {
  if (grabbing) {
    try {
      writeString(instance, param::kStatus, "failed: " + why);
    } catch (...) {  // the flag must go back whatever the host does
    }
  }
  gBusy = false;
  postMessage(instance, "Prismhollow: " + why);
}

// The upload folder of a pull that has not reached the worker goes with
// whatever was staged in it, however the pull ends.
struct UploadFolder {
  std::string dir;
  bool handedOver = false;
  void remove() {
    if (!handedOver && !dir.empty()) removeFolder(dir);
    dir.clear();
  }
  ~UploadFolder() { remove(); }
};

std::string token() {
  std::random_device random;
  unsigned first = random(), second = random();
  char text[17];
  std::snprintf(text, sizeof text, "%08x%08x", first, second);
  return text;
}

// The four channels of one float pixel as bytes, each exactly as toByte
// gives it: the same single-precision multiply, add and truncation, four at
// once.
inline void pixelToBytes(const float* in, unsigned char* out) {
#if defined(__SSE2__)
  // maxps yields its second operand when the first is NaN: NaN becomes 0.
  __m128 v = _mm_max_ps(_mm_loadu_ps(in), _mm_setzero_ps());
  v = _mm_min_ps(v, _mm_set1_ps(1.0f));
  const __m128i i = _mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(v, _mm_set1_ps(255.0f)), _mm_set1_ps(0.5f)));
  const int bytes = _mm_cvtsi128_si32(_mm_packus_epi16(_mm_packs_epi32(i, i), _mm_setzero_si128()));
  std::memcpy(out, &bytes, 4);
#else
  for (int c = 0; c < 4; ++c) out[c] = toByte(in[c]);
#endif
}

// The frame shrunk to at most 1920 pixels on its longer side (never
// enlarged, at least 2 x 2), nearest neighbour, rows from the top, as 8-bit
// RGBA: floats clamped to [0, 1] and rounded, bytes passed through.
std::vector<unsigned char> shrinkForStaging(const HostImage& f, int* outW, int* outH) {
  const double s = std::min(static_cast<double>(kStagedSide) / std::max(f.width(), f.height()), 1.0);
  const int W = std::max(static_cast<int>(f.width() * s), 2), H = std::max(static_cast<int>(f.height() * s), 2);
  std::vector<int> columns(W);
  bool sameColumns = true;  // output column x is source column x: rows are taken whole
  for (int x = 0; x < W; ++x) {
    columns[x] = std::min(static_cast<int>(x / s), f.width() - 1);
    sameColumns = sameColumns && columns[x] == x;
  }
  std::vector<unsigned char> rgba(static_cast<std::size_t>(W) * H * 4);
  for (int y = 0; y < H; ++y) {
    const int sy = std::min(static_cast<int>(y / s), f.height() - 1);  // counted from the top
    const unsigned char* row = f.row(f.bounds.y2 - 1 - sy);
    unsigned char* out = rgba.data() + static_cast<std::size_t>(y) * W * 4;
    if (f.isFloat) {
      const float* in = reinterpret_cast<const float*>(row);
      if (sameColumns)
        for (int x = 0; x < W; ++x) pixelToBytes(in + 4 * x, out + 4 * x);
      else
        for (int x = 0; x < W; ++x) pixelToBytes(in + 4 * columns[x], out + 4 * x);
    } else if (sameColumns) {
      std::memcpy(out, row, static_cast<std::size_t>(W) * 4);  // bytes pass unchanged
    } else {
      for (int x = 0; x < W; ++x) std::memcpy(out + 4 * x, row + 4 * columns[x], 4);
    }
  }
  *outW = W;
  *outH = H;
  return rgba;
}

// An image fetched from the host, given back on the host's thread however
// the staging ends.
class HeldImage {
 public:
  HeldImage() = default;
  HeldImage(const HeldImage&) = delete;
  HeldImage& operator=(HeldImage&& other) noexcept {
    std::swap(handle, other.handle);
    return *this;
  }
  ~HeldImage() { release(); }
  void release() noexcept {
    if (!handle) return;
    try {
      gEffect->clipReleaseImage(std::exchange(handle, nullptr));
    } catch (...) {  // a host that throws here keeps its image
    }
  }
  OfxPropertySetHandle handle = nullptr;
};

// A frame on its way to its file: fetched (`frame` reads the host's
// pixels) or already shrunk (`rgba`, W x H).
struct StagingJob {
  HostImage frame;
  std::vector<unsigned char> rgba;
  int W = 0, H = 0;
  int index = 0;
};

// The second core's share of the staging: encodes and writes the frames
// handed to it, one at a time, shrinking those that come as fetched, while
// the host's thread fetches the next. It never calls the host. Started and
// joined within the press; what it throws is thrown again on the host's
// thread by finish().
class FrameWriter {
 public:
  explicit FrameWriter(const std::string& dir) : dir_(dir), thread_([this] { run(); }) {}
  FrameWriter(const FrameWriter&) = delete;
  FrameWriter& operator=(const FrameWriter&) = delete;
  ~FrameWriter() { stop(); }

  // Hands a frame over, once the one before is written.
  void post(StagingJob job) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      staged_ = !job.rgba.empty();
      job_ = std::move(job);
      pending_ = true, written_ = false;
    }
    cv_.notify_all();
  }
  // Whether the frame handed over last is still being shrunk, encoded or written.
  bool busy() {
    std::lock_guard<std::mutex> lock(mu_);
    return !written_;
  }
  // Waits until the frame handed over last no longer needs the host's pixels.
  void waitStaged() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return staged_; });
  }
  // Waits until the frame handed over last is written or has failed.
  void waitWritten() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return written_; });
  }
  // The first frame that could not be written, or -1.
  int failedFrame() {
    std::lock_guard<std::mutex> lock(mu_);
    return failed_;
  }
  // Waits for the last frame and the thread's end; throws what it threw.
  void finish() {
    stop();
    if (error_) std::rethrow_exception(error_);
  }

 private:
  void stop() noexcept {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stopping_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  void run() {
    for (;;) {
      StagingJob job;
      {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [this] { return pending_ || stopping_; });
        if (!pending_) return;
        job = std::move(job_), pending_ = false;
      }
      bool written = false;
      std::exception_ptr error;
      try {
        if (job.rgba.empty()) {
          job.rgba = shrinkForStaging(job.frame, &job.W, &job.H);
          {
            std::lock_guard<std::mutex> lock(mu_);
            staged_ = true;
          }
          cv_.notify_all();
        }
        const std::vector<unsigned char> jpeg =
            orv::rgba_to_jpeg(job.rgba.data(), job.W, job.H, orv::kStagingJpegQuality);
        written = !jpeg.empty() && orv::write_file(contract::numbered_file(dir_, job.index, ".jpg"), jpeg);
      } catch (...) {
        error = std::current_exception();
      }
      {
        std::lock_guard<std::mutex> lock(mu_);
        staged_ = written_ = true;
        if (!written && failed_ < 0) failed_ = job.index;
        if (error && !error_) error_ = error;
      }
      cv_.notify_all();
    }
  }

  const std::string& dir_;
  std::mutex mu_;
  std::condition_variable cv_;
  StagingJob job_;
  bool pending_ = false;  // a frame waits for the thread
  bool staged_ = true;    // the frame handed over last no longer needs the host's pixels
  bool written_ = true;   // ... and is written, or has failed
  bool stopping_ = false;
  int failed_ = -1;
  std::exception_ptr error_;
  std::thread thread_;  // last: started once everything it uses is ready
};

// The host's progress bar over the staging, when the host offers one; ended
// however the staging ends.
class ProgressBar {
 public:
  ProgressBar(OfxImageEffectHandle instance, const char* label) : instance_(instance) {
    if (gProgress) gProgress->progressStart(instance_, label);
  }
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;
  ~ProgressBar() {
    try {
      if (gProgress) gProgress->progressEnd(instance_);
    } catch (...) {
    }
  }
  // Shows the fraction done; false once the user asked to stop.
  bool update(double done) const { return !gProgress || gProgress->progressUpdate(instance_, done) != kOfxStatReplyNo; }

 private:
  OfxImageEffectHandle instance_;
};

struct Staging {
  enum Outcome { kStaged, kUnreadable, kUnwritable, kCancelled } outcome = kStaged;
  int frame = -1;                        // the first that could not be read or written
  std::uint64_t largestFramePixels = 0;  // of the frames as the host gave them
};

// Stages the frames [0, count) of the Source clip from time `first` as
// numbered JPEG files in `dir`, on both cores: while the writer encodes and
// writes frame i, frame i + 1 is fetched here, and shrunk here too when the
// writer is still busy once it has come (a host that fetches quickly);
// otherwise the writer shrinks it (a host whose fetch takes longer than the
// rest). A frame's image goes back to the host once shrunk: at most two are
// held, and at most two frames are on their way at once.
Staging stageClip(OfxImageEffectHandle instance, double first, int count, const std::string& dir) {
  ProgressBar bar(instance, "Staging frames");
  OfxImageClipHandle clip = nullptr;
  gEffect->clipGetHandle(instance, kOfxImageEffectSimpleSourceClipName, &clip, nullptr);
  Staging result;
  HeldImage shrinking;  // a frame the writer shrinks; outlives the writer
  FrameWriter writer(dir);
  for (int i = 0; i < count; ++i) {
    HeldImage image;
    StagingJob job;
    job.index = i;
    if (gEffect->clipGetImage(clip, first + i, nullptr, &image.handle) == kOfxStatOK && image.handle)
      job.frame = readHostImage(image.handle);
    // An image without pixels cannot be staged: treated as unreadable.
    const HostImage& frame = job.frame;
    if (!frame.data || frame.width() <= 0 || frame.height() <= 0) {
      result.outcome = Staging::kUnreadable, result.frame = i;
      break;
    }
    result.largestFramePixels =
        std::max(result.largestFramePixels, static_cast<std::uint64_t>(frame.width()) * frame.height());
    writer.waitStaged();
    shrinking.release();
    if (writer.busy()) {
      job.rgba = shrinkForStaging(frame, &job.W, &job.H);
      image.release();
    }
    writer.waitWritten();
    if (writer.failedFrame() >= 0) break;
    if (i > 0 && !bar.update(static_cast<double>(i) / count)) {
      result.outcome = Staging::kCancelled;
      break;
    }
    const bool fetched = job.rgba.empty();
    writer.post(std::move(job));
    if (fetched) shrinking = std::move(image);
  }
  writer.waitStaged();
  shrinking.release();
  writer.finish();
  const int failed = writer.failedFrame();
  if (failed >= 0 && (result.outcome != Staging::kUnreadable || failed < result.frame))
    result.outcome = Staging::kUnwritable, result.frame = failed;
  if (result.outcome == Staging::kStaged && !bar.update(1.0)) result.outcome = Staging::kCancelled;
  return result;
}

// Everything after the busy flag is taken; the caller releases the flag if
// this throws, and `grabbing` tells it whether the status says so.
void stageAndLaunch(OfxImageEffectHandle instance, double time, const std::string& url, bool* grabbing) {
  // A private folder of the user running the host (contract::staging_root).
  const std::string stagingRoot = contract::staging_root();
  if (stagingRoot.empty()) {
    abandon(instance,
            std::string("the staging folders ") + contract::kStagingRoot + " and " + contract::own_staging_root() +
                " are links, belong to another user or can be written by others; remove them and pull again.");
    return;
  }

  OfxImageClipHandle clip = nullptr;
  OfxPropertySetHandle clipProps = nullptr;
  gEffect->clipGetHandle(instance, kOfxImageEffectSimpleSourceClipName, &clip, &clipProps);
  if (!clipProps) gEffect->clipGetPropertySet(clip, &clipProps);
  double range[2] = {0.0, 0.0};
  gProp->propGetDoubleN(clipProps, kOfxImageEffectPropFrameRange, 2, range);
  double fps = 25.0;
  gProp->propGetDouble(clipProps, kOfxImageEffectPropFrameRate, 0, &fps);
  const double first = range[0];

  const double count = std::round(range[1] - first) + 1;  // halves away from zero
  if (!std::isfinite(count) || count > INT_MAX) {
    abandon(instance, "the Source clip's frame range is too long to pull.");
    return;
  }
  const int frameCount = count < 1 ? 1 : static_cast<int>(count);

  const std::string uploadDir = stagingRoot + "upload_" + token() + "/";
  UploadFolder upload{uploadDir};
  ::mkdir(uploadDir.c_str(), 0700);  // a folder that cannot be made shows as an unwritable frame
  const std::string statusBefore = readString(instance, param::kStatus);  // what a cancel leaves
  writeString(instance, param::kStatus, "grabbing " + std::to_string(frameCount) + " frames...");
  *grabbing = true;
  // Nothing staged stays when the pull ends here.
  const auto fail = [&](const std::string& why) {
    upload.remove();
    abandon(instance, why, true);
  };

  const Staging staged = stageClip(instance, first, frameCount, uploadDir);
  switch (staged.outcome) {
    case Staging::kStaged:
      break;
    case Staging::kUnreadable:
      return fail("could not read frame " + std::to_string(staged.frame));
    case Staging::kUnwritable:
      return fail("could not write frame " + std::to_string(staged.frame));
    case Staging::kCancelled:
      // The user stopped it: nothing to report, and the matte in use stays.
      upload.remove();
      writeString(instance, param::kStatus, statusBefore);
      gBusy = false;
      return;
  }

  orv::StartSettings settings;
  double anchor = contract::frame_index(time, first);  // as the dabs' frames are read
  if (!(anchor >= 0)) anchor = 0;
  settings.anchorFrame = static_cast<long long>(std::min(anchor, static_cast<double>(frameCount - 1)));
  settings.firstTime = first;
  settings.frameCount = frameCount;
  settings.fastQuality = readParam(instance, param::kQuality, 0) != 0;
  settings.edgeSoftness = readParam(instance, param::kEdgeSoftness, 0.0);
  settings.textPrompt = readString(instance, param::kTextHint);
  settings.bboxText = readString(instance, param::kBboxJson);
  settings.brushText = readString(instance, param::kBrushJson);
  std::string body;
  try {
    body = orv::start_body(settings);
  } catch (const nlohmann::json::exception&) {
    return fail("the character hint is not valid text; retype it and pull again.");
  }

  char start[64];
  std::snprintf(start, sizeof start, "%f", first);

  PullJob job;
  job.instance = instance;
  job.generation = instanceGeneration(instance);
  job.backendUrl = url;
  job.uploadDir = uploadDir;
  job.frameCount = frameCount;
  job.largestFramePixels = staged.largestFramePixels;
  job.fps = fps;
  job.startBody = std::move(body);
  job.clipStart = start;
  job.previousSession = readString(instance, param::kSessionId);
  upload.handedOver = runOnOwnThread([job = std::move(job)]() mutable { runPullJob(std::move(job)); });
  if (!upload.handedOver) fail("could not start the matting worker; try again.");
}

}  // namespace

void pullAlpha(OfxImageEffectHandle instance, double time) {
  const std::string url = readString(instance, param::kBackendUrl);
  if (!orv::is_backend_address(url)) {
    postMessage(instance, "Prismhollow: paste your Backend URL first.");
    return;
  }
  if (gBusy.exchange(true)) {
    postMessage(instance, "Prismhollow: a matte is already being pulled.");
    return;
  }
  // Whatever goes wrong, later pulls must stay possible.
  bool grabbing = false;
  try {
    stageAndLaunch(instance, time, url, &grabbing);
  } catch (const std::bad_alloc&) {
    abandon(instance, "not enough memory to pull this clip.", grabbing);
  } catch (...) {
    abandon(instance, "the pull failed; try again.", grabbing);
  }
}

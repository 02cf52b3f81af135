// The pull command: what "Pull alpha (whole clip)" does on the host's
// thread. It checks the backend address and the busy flag, stages every
// frame of the Source clip as a JPEG file in a fresh upload folder, builds
// the job's start body from the selection and settings and hands everything,
// with the clip's first frame, to the worker thread.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <nlohmann/json.hpp>
#include <random>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "ORVPlugin.h"
#include "orv/backend.h"
#include "orv/files.h"
#include "orv/image.h"

std::atomic<bool> gBusy{false};

namespace {

constexpr int kStagedSide = 1920;  // longer side of a staged frame, at most
constexpr int kJpegQuality = 92;

// Ends a pull before the worker: the flag goes back and the user is told why.
void abandon(OfxImageEffectHandle instance, const std::string& message) {
  gBusy = false;
  postMessage(instance, message);
}

// The upload folder of a pull that has not reached the worker goes with
// whatever was staged in it, however the pull ends.
struct UploadFolder {
  std::string dir;
  bool handedOver = false;
  ~UploadFolder() {
    if (!handedOver && !dir.empty()) removeFolder(dir);
  }
};

std::string token() {
  std::random_device random;
  unsigned first = random(), second = random();
  char text[17];
  std::snprintf(text, sizeof text, "%08x%08x", first, second);
  return text;
}

// The staging root must be a real folder of the user running the host, not
// a link or a folder others can write to, where they could plant links.
bool stagingRootIsSafe() {
  ::mkdir(kStagingRoot, 0755);
  // Without its trailing "/": lstat follows a link named with one.
  const std::string root(kStagingRoot, std::strlen(kStagingRoot) - 1);
  struct stat st {};
  if (::lstat(root.c_str(), &st) != 0) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// A host image as the staging reads it.
struct Frame {
  const unsigned char* data = nullptr;
  int rowBytes = 0;
  int width = 0, height = 0;
  bool isFloat = false;
};

Frame readFrame(OfxPropertySetHandle image) {
  Frame f;
  void* data = nullptr;
  gProp->propGetPointer(image, kOfxImagePropData, 0, &data);
  f.data = static_cast<const unsigned char*>(data);
  int b[4] = {0, 0, 0, 0};
  gProp->propGetIntN(image, kOfxImagePropBounds, 4, b);
  gProp->propGetInt(image, kOfxImagePropRowBytes, 0, &f.rowBytes);
  char* depth = nullptr;
  gProp->propGetString(image, kOfxImageEffectPropPixelDepth, 0, &depth);
  f.isFloat = depth && std::strcmp(depth, kOfxBitDepthFloat) == 0;
  const long long w = static_cast<long long>(b[2]) - b[0], h = static_cast<long long>(b[3]) - b[1];
  f.width = w > 0 && w <= INT_MAX ? static_cast<int>(w) : 0;
  f.height = h > 0 && h <= INT_MAX ? static_cast<int>(h) : 0;
  return f;
}

// A float channel as a byte: clamped to [0, 1] (NaN as 0), scaled, rounded.
inline unsigned char toByte(float v) {
  if (!(v > 0.0f)) return 0;
  if (v >= 1.0f) return 255;
  return static_cast<unsigned char>(v * 255.0f + 0.5f);
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
std::vector<unsigned char> stage(const Frame& f, int* outW, int* outH) {
  const double s = std::min(static_cast<double>(kStagedSide) / std::max(f.width, f.height), 1.0);
  const int W = std::max(static_cast<int>(f.width * s), 2), H = std::max(static_cast<int>(f.height * s), 2);
  std::vector<int> columns(W);
  bool sameColumns = true;  // output column x is source column x: rows are taken whole
  for (int x = 0; x < W; ++x) {
    columns[x] = std::min(static_cast<int>(x / s), f.width - 1);
    sameColumns = sameColumns && columns[x] == x;
  }
  std::vector<unsigned char> rgba(static_cast<std::size_t>(W) * H * 4);
  for (int y = 0; y < H; ++y) {
    const int sy = std::min(static_cast<int>(y / s), f.height - 1);  // counted from the top
    const unsigned char* row = f.data + static_cast<std::ptrdiff_t>(f.rowBytes) * (f.height - 1 - sy);
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

// Fetches, stages and writes one frame of the Source clip.
enum class Staged { kOk, kUnreadable, kUnwritable };

Staged stageFrame(OfxImageEffectHandle instance, double time, const std::string& path) {
  OfxImageClipHandle clip = nullptr;
  gEffect->clipGetHandle(instance, kOfxImageEffectSimpleSourceClipName, &clip, nullptr);
  OfxPropertySetHandle image = nullptr;
  if (gEffect->clipGetImage(clip, time, nullptr, &image) != kOfxStatOK || !image) return Staged::kUnreadable;
  std::vector<unsigned char> rgba;
  int W = 0, H = 0;
  {
    Frame f = readFrame(image);
    // An image without pixels cannot be staged: treated as unreadable.
    if (f.data && f.width > 0 && f.height > 0) rgba = stage(f, &W, &H);
    gEffect->clipReleaseImage(image);
  }
  if (rgba.empty()) return Staged::kUnreadable;
  const std::vector<unsigned char> jpeg = orv::rgba_to_jpeg(rgba.data(), W, H, kJpegQuality);
  return !jpeg.empty() && orv::write_file(path, jpeg) ? Staged::kOk : Staged::kUnwritable;
}

// Everything after the busy flag is taken; the caller releases the flag if
// this throws.
void stageAndLaunch(OfxImageEffectHandle instance, double time, const std::string& url) {
  if (!stagingRootIsSafe()) {
    abandon(instance, std::string("Prismhollow: the staging folder ") + kStagingRoot +
                          " is a link, belongs to another user or can be written by others; remove it and pull again.");
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
    abandon(instance, "Prismhollow: the Source clip's frame range is too long to pull.");
    return;
  }
  const int frameCount = count < 1 ? 1 : static_cast<int>(count);

  UploadFolder upload{std::string(kStagingRoot) + "upload_" + token() + "/"};
  const std::string& uploadDir = upload.dir;
  ::mkdir(uploadDir.c_str(), 0755);  // a folder that cannot be made shows as an unwritable frame
  setString(instance, "status", "grabbing " + std::to_string(frameCount) + " frames...");

  for (int i = 0; i < frameCount; ++i) {
    Staged staged = stageFrame(instance, first + i, orv::numbered_file(uploadDir, i, ".jpg"));
    if (staged == Staged::kUnreadable)
      return abandon(instance, "Prismhollow: could not read frame " + std::to_string(i));
    if (staged == Staged::kUnwritable)
      return abandon(instance, "Prismhollow: could not write frame " + std::to_string(i));
  }

  orv::StartSettings settings;
  double anchor = std::round(time - first);
  if (!(anchor >= 0)) anchor = 0;
  settings.anchorFrame = static_cast<long long>(std::min(anchor, static_cast<double>(frameCount - 1)));
  settings.fastQuality = readParam(instance, "quality", 0) != 0;
  settings.edgeSoftness = readParam(instance, "edge_softness", 0.0);
  settings.textPrompt = get_string(instance, "text_hint");
  settings.bboxText = get_string(instance, "bbox_json");
  settings.brushText = get_string(instance, "brush_json");
  std::string body;
  try {
    body = orv::start_body(settings);
  } catch (const nlohmann::json::exception&) {
    abandon(instance, "Prismhollow: the character hint is not valid text; retype it and pull again.");
    return;
  }

  char start[64];
  std::snprintf(start, sizeof start, "%f", first);

  PullJob job{instance, instanceGeneration(instance), url, uploadDir, frameCount, fps, std::move(body), start};
  upload.handedOver = startDetached([job = std::move(job)]() mutable { runPullJob(std::move(job)); });
  if (!upload.handedOver) abandon(instance, "Prismhollow: could not start the matting worker; try again.");
}

}  // namespace

void pullAlpha(OfxImageEffectHandle instance, double time) {
  const std::string url = get_string(instance, "backend_url");
  if (url.compare(0, 4, "http") != 0) {
    postMessage(instance, "Prismhollow: paste your Backend URL first.");
    return;
  }
  if (gBusy.exchange(true)) {
    postMessage(instance, "Prismhollow: a matte is already being pulled.");
    return;
  }
  // Whatever goes wrong, later pulls must stay possible.
  try {
    stageAndLaunch(instance, time, url);
  } catch (const std::bad_alloc&) {
    abandon(instance, "Prismhollow: not enough memory to pull this clip.");
  } catch (...) {
    abandon(instance, "Prismhollow: the pull failed; try again.");
  }
}

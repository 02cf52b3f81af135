// The pull command and the buttons, through our host and the real bundle:
// what a whole job sends and leaves behind, how frames are staged, and
// every way a press ends before the worker.

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <nlohmann/json.hpp>

#include "PullFixture.h"

// A full decoder (JPEG too) private to this file: the library's own build
// decodes PNG only.
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>

using namespace ofxhost;

namespace {

struct Picture {
  int width = 0, height = 0;
  std::vector<unsigned char> rgb;
};

Picture decodeJpeg(const std::string& bytes) {
  Picture p;
  int channels = 0;
  unsigned char* data = stbi_load_from_memory(reinterpret_cast<const stbi_uc*>(bytes.data()),
                                              static_cast<int>(bytes.size()), &p.width, &p.height, &channels, 3);
  if (data) p.rgb.assign(data, data + static_cast<std::size_t>(p.width) * p.height * 3);
  stbi_image_free(data);
  return p;
}

// What staging makes of an 8-bit frame: at most 1920 pixels on the longer
// side, at least 2 x 2, nearest neighbour, top row first; colours only.
Picture staged(ImageBuffer& image) {
  const int w = image.width(), h = image.height();
  const double s = std::min(1920.0 / std::max(w, h), 1.0);
  Picture p{std::max(static_cast<int>(w * s), 2), std::max(static_cast<int>(h * s), 2), {}};
  for (int y = 0; y < p.height; ++y)
    for (int x = 0; x < p.width; ++x) {
      const int sx = std::min(static_cast<int>(x / s), w - 1), sy = std::min(static_cast<int>(y / s), h - 1);
      const unsigned char* px = image.pixel(image.bounds().x1 + sx, image.bounds().y2 - 1 - sy);
      p.rgb.insert(p.rgb.end(), px, px + 3);
    }
  return p;
}

// The mean absolute difference over every channel; JPEG at quality 92 stays
// well below 2 on these flat patterns, and frames differ by at least 6.
double meanDifference(const Picture& a, const Picture& b) {
  if (a.rgb.size() != b.rgb.size() || a.rgb.empty()) return 255;
  double sum = 0;
  for (std::size_t i = 0; i < a.rgb.size(); ++i) sum += std::abs(a.rgb[i] - b.rgb[i]);
  return sum / static_cast<double>(a.rgb.size());
}

std::string frameName(int index, const char* extension) {
  char name[32];
  std::snprintf(name, sizeof name, "%06d%s", index, extension);
  return name;
}

const std::string kRefusedRoot =
    "Prismhollow: the staging folder /tmp/prismhollow/ is a link, belongs to another user or can be written by "
    "others; remove it and pull again.";

// Runs `body` in a child process with an empty /tmp of its own, so that the
// staging root can be tampered with while other tests use the real one.
// The child's failures are printed by the child and fail this test.
void isolated(const std::function<void()>& body) {
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0)
      _exit(77);
    body();
    std::fflush(stdout);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_TRUE(waitChild(pid, std::chrono::seconds(60), &status)) << "the isolated part did not end";
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "this system allows no private mounts";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the isolated part failed (see above)";
}

}  // namespace

TEST_F(PullTest, AWholeJobOnTenFramesEndsReadyAndRendersEachFramesMatte) {
  auto fx = clip(10, 64, 48);
  fx->setValue("bbox_json", R"({"h":0.5,"w":0.25,"x":0.1,"y":0.2})");
  fx->setValue("brush_json", "[[0.3,0.4,0.03],[0.5,0.6,-0.02]]");
  fx->setValue("text_hint", "woman in red");
  fx->setValue("quality", 1);
  fx->setValue("edge_softness", 0.5);
  fx->setTime(3);
  backend->onPoll(
      {Reply{200, R"({"status":"RUNNING","progress":{"stage":"masks"}})"}, Reply{200, R"({"status":"COMPLETED"})"}});
  ASSERT_EQ(pull(*fx), kOfxStatOK);
  EXPECT_EQ(settle(*fx), "ready: 10 frames matted");
  EXPECT_EQ(fx->stringValue("session_id"), session);
  EXPECT_EQ(messages(), Texts{"Prismhollow: alpha ready for 10 frames."});

  const std::string base = "/api/matte/sessions/" + session;
  Texts expected = {"POST /api/matte/sessions"};
  for (int i = 0; i < 10; ++i) expected.push_back("PUT " + base + "/frames/" + std::to_string(i));
  expected.insert(expected.end(), {"POST " + base + "/start", "GET " + base, "GET " + base});
  for (int i = 0; i < 10; ++i) expected.push_back("GET " + base + "/alpha/" + std::to_string(i) + ".png");
  const std::vector<Request> seen = backend->requests();
  Texts calls;
  for (const Request& r : seen) calls.push_back(r.method + " " + r.path);
  ASSERT_EQ(calls, expected);

  EXPECT_EQ(seen[0].body, R"({"fps":25.0,"source":"plugin"})");
  EXPECT_EQ(seen[11].body,
            R"({"anchor_frame":3,"bbox":{"h":0.5,"w":0.25,"x":0.1,"y":0.2},"edge_softness":0.5,"quality":"fast",)"
            R"("strokes":[[0.3,0.4,0.03],[0.5,0.6,-0.02]],"text_prompt":"woman in red"})");
  for (int i : {0, 11}) {
    EXPECT_EQ(seen[i].header("Content-Type"), "application/json");
    EXPECT_EQ(seen[i].header("Accept"), "application/json");
  }
  for (int i = 0; i < 10; ++i) {
    const Request& upload = seen[1 + i];
    EXPECT_EQ(upload.header("Content-Type"), "image/jpeg") << i;
    auto frame = patternFrame(i, OfxRectI{0, 0, 64, 48});
    EXPECT_LT(meanDifference(decodeJpeg(upload.body), staged(*frame)), 2.0) << "frame " << i;
  }

  // The staged files went with their uploads; their folder stays.
  const Texts dirs = newUploadDirs(uploadsBefore);
  ASSERT_EQ(dirs.size(), 1u);
  EXPECT_TRUE(filesIn(dirs[0]).empty());
  EXPECT_EQ(fx->stringValue("clip_start"), "0.000000");

  fx->setValue("output_mode", 1);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(readFile(kRoot + session + "/" + frameName(i, ".png")), greyPng(matteValue(i))) << i;
    auto out = fx->render(i).output;
    const unsigned char* px = out->pixel(10, 10);
    const unsigned char m = matteValue(i);
    EXPECT_EQ(std::vector<unsigned char>(px, px + 4), (std::vector<unsigned char>{m, m, m, 255})) << "frame " << i;
  }
}

TEST_F(PullTest, TheCreateBodyCarriesTheFrameRateAsAFloat) {
  backend->onCreate(Reply{503, "down"});
  const std::pair<double, std::string> rows[] = {{25.0, R"({"fps":25.0,"source":"plugin"})"},
                                                 {23.976, R"({"fps":23.976,"source":"plugin"})"},
                                                 {30.0, R"({"fps":30.0,"source":"plugin"})"},
                                                 {59.94, R"({"fps":59.94,"source":"plugin"})"}};
  auto fx = clip(1);
  for (const auto& [rate, body] : rows) {
    fx->setSourceFrameRate(rate);
    pull(*fx);
    EXPECT_EQ(settle(*fx), "failed: cannot reach backend");
    EXPECT_EQ(backend->requests().back().body, body);
  }
  EXPECT_EQ(backend->requests().size(), std::size(rows));
}

TEST_F(PullTest, FramesAreStagedAtMost1920WideTopRowFirst) {
  struct Row {
    const char* what;
    OfxRectI bounds;
    int padding;
    bool topDown;
    int width, height;
  };
  const Row rows[] = {
      {"3840 x 2160, padded rows", {0, 0, 3840, 2160}, 64, false, 1920, 1080},
      {"4096 x 2160, rows stored top-down", {0, 0, 4096, 2160}, 0, true, 1920, 1012},
      {"1 pixel wide, away from the origin", {7, -5, 8, 59}, 0, false, 2, 64},
      {"1280 x 720, unchanged", {100, 50, 1380, 770}, 0, false, 1280, 720},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    auto frame = patternFrame(3, row.bounds, row.padding, row.topDown);
    auto fx = clip(1);
    fx->setSource([frame](OfxTime) { return frame; });
    const std::size_t before = backend->requests("PUT", "/frames/").size();
    pull(*fx);
    ASSERT_EQ(settle(*fx), "ready: 1 frames matted");
    const std::vector<Request> uploads = backend->requests("PUT", "/frames/");
    ASSERT_EQ(uploads.size(), before + 1);
    const Picture got = decodeJpeg(uploads.back().body);
    EXPECT_EQ(got.width, row.width);
    EXPECT_EQ(got.height, row.height);
    EXPECT_LT(meanDifference(got, staged(*frame)), 2.0);
  }
}

TEST_F(PullTest, FloatFramesAreClampedAndRoundedToTheBytesOf8BitFrames) {
  // Per 8 x 8 block, channel c takes value (block + c) of this list; every
  // JPEG block thus changes when a rule does.
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  const std::vector<float> values = {-0.5f,       2.0f,         nan,  inf,  -inf, 100.6f / 255,
                                     37.6f / 255, 200.6f / 255, 0.0f, 1.0f, 0.5f};
  const std::vector<unsigned char> bytes = {0, 255, 0, 255, 0, 101, 38, 201, 0, 255, 128};
  const OfxRectI b{0, 0, 48, 32};
  auto floats = ImageBuffer::allocate(b, kOfxBitDepthFloat), eight = ImageBuffer::allocate(b, kOfxBitDepthByte);
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 48; ++x)
      for (int c = 0; c < 4; ++c) {
        const std::size_t v = (x / 8 + 6 * (y / 8) + c) % values.size();
        floats->pixelFloat(x, y)[c] = values[v];
        eight->pixel(x, y)[c] = bytes[v];
      }
  auto fx = clip(1, 48, 32);
  for (const auto& frame : {floats, eight}) {
    fx->setSource([frame](OfxTime) { return frame; });
    pull(*fx);
    ASSERT_EQ(settle(*fx), "ready: 1 frames matted");
  }
  const std::vector<Request> uploads = backend->requests("PUT", "/frames/");
  ASSERT_EQ(uploads.size(), 2u);
  EXPECT_FALSE(uploads[0].body.empty());
  EXPECT_TRUE(uploads[0].body == uploads[1].body) << "the float frame was not staged as its bytes";
}

TEST_F(PullTest, ThePressTimeBecomesTheAnchorInsideTheClip) {
  backend->onStart(Reply{409, "no"});
  auto fx = clip(10, 32, 24, 30);
  const std::pair<double, int> rows[] = {{37, 7}, {33.5, 4}, {29.6, 0}, {10, 0}, {39.4, 9}, {100, 9}};
  for (const auto& [time, anchor] : rows) {
    fx->setTime(time);
    pull(*fx);
    ASSERT_EQ(settle(*fx), "failed: start rejected: no");
    const auto body = nlohmann::json::parse(backend->requests("POST", "/start").back().body);
    EXPECT_EQ(body["anchor_frame"], anchor) << "pressed at " << time;
  }
  // Nothing drawn, settings at their defaults.
  EXPECT_EQ(backend->requests("POST", "/start").front().body,
            R"({"anchor_frame":7,"edge_softness":0.35,"quality":"fine","strokes":[],"text_prompt":""})");
  EXPECT_EQ(fx->stringValue("clip_start"), "30.000000");
  EXPECT_EQ(backend->requests("PUT", "/frames/9").size(), std::size(rows));
}

TEST_F(PullTest, WithoutAnHttpAddressNothingIsPulled) {
  auto fx = clip(1);
  for (const char* url : {"", "ftp://127.0.0.1/", "HTTP://127.0.0.1", " http://127.0.0.1"}) {
    fx->setValue("backend_url", url);
    EXPECT_EQ(press(*fx, "pull_alpha"), kOfxStatOK);
    EXPECT_EQ(messages(), Texts{"Prismhollow: paste your Backend URL first."}) << url;
  }
  EXPECT_TRUE(edits.all().empty());
  EXPECT_TRUE(newUploadDirs(uploadsBefore).empty());
  EXPECT_TRUE(backend->requests().empty());
  fx->setValue("backend_url", backend->url());
  pull(*fx);
  EXPECT_EQ(settle(*fx), "ready: 1 frames matted");
}

TEST_F(PullTest, ASecondPressWhileAJobRunsIsRefusedFromEveryInstance) {
  backend->onPoll({Reply{200, R"({"status":"RUNNING"})"}});
  auto first = clip(2), other = clip(2);
  pull(*first);
  ASSERT_TRUE(backend->waitFor([](const std::vector<Request>& seen) { return seen.size() >= 6; }));  // polling
  for (auto* fx : {first.get(), other.get()}) {
    EXPECT_EQ(press(*fx, "pull_alpha"), kOfxStatOK);
    EXPECT_EQ(messages(), Texts{kBusy});
  }
  EXPECT_EQ(other->stringValue("status"), "idle");
  EXPECT_EQ(creates(), 1u);
  EXPECT_EQ(newUploadDirs(uploadsBefore).size(), 1u);

  markMessages();
  backend->onPoll({Reply{200, R"({"status":"COMPLETED"})"}});
  EXPECT_EQ(settle(*first), "ready: 2 frames matted");
  pull(*other);
  EXPECT_EQ(settle(*other), "ready: 2 frames matted");
}

TEST_F(PullTest, AFrameThatCannotBeReadEndsThePullBeforeTheBackend) {
  enum How { kNoClip, kNoImage, kEmptyBounds };
  struct Row {
    const char* what;
    int frames, bad;
    How how;
  };
  const Row rows[] = {{"a Source that delivers nothing", 1, 0, kNoClip},
                      {"frame 3 of 10 cannot be fetched", 10, 3, kNoImage},
                      {"frame 2 of 4 has empty bounds", 4, 2, kEmptyBounds}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    auto fx = clip(row.frames);
    fx->setValue("session_id", "previous");
    fx->setClipAvailable(kOfxImageEffectSimpleSourceClipName, row.how != kNoClip);
    fx->setSource([row](OfxTime t) -> std::shared_ptr<ImageBuffer> {
      if (static_cast<int>(t) != row.bad) return patternFrame(static_cast<int>(t), OfxRectI{0, 0, 32, 24});
      return row.how == kEmptyBounds ? ImageBuffer::allocate(OfxRectI{4, 4, 4, 9}, kOfxBitDepthByte) : nullptr;
    });
    const std::set<std::string> before = uploadDirs();
    EXPECT_EQ(pull(*fx), kOfxStatOK);
    EXPECT_EQ(messages(), Texts{"Prismhollow: could not read frame " + std::to_string(row.bad)});
    EXPECT_EQ(fx->stringValue("status"), "grabbing " + std::to_string(row.frames) + " frames...");
    EXPECT_EQ(fx->stringValue("session_id"), "previous");
    const Texts dirs = newUploadDirs(before);
    ASSERT_EQ(dirs.size(), 1u);
    Texts staged;
    for (int i = 0; i < row.bad; ++i) staged.push_back(frameName(i, ".jpg"));
    EXPECT_EQ(filesIn(dirs[0]), staged);
  }
  EXPECT_TRUE(edits.values("clip_start").empty());
  // No worker was started: the next pull is taken, and its create is the
  // first call the backend sees.
  auto fx = clip(1);
  pull(*fx);
  EXPECT_EQ(settle(*fx), "ready: 1 frames matted");
  EXPECT_EQ(creates(), 1u);
  EXPECT_EQ(backend->requests().front().path, "/api/matte/sessions");
}

TEST_F(PullTest, AnUnsendableHintOrAnAbsurdFrameRangeIsRefusedAndFreesThePull) {
  auto fx = clip(2);
  fx->setValue("text_hint", std::string("caf\xC3", 4));  // a cut UTF-8 sequence
  EXPECT_EQ(pull(*fx), kOfxStatOK);
  EXPECT_EQ(messages(), Texts{"Prismhollow: the character hint is not valid text; retype it and pull again."});
  EXPECT_EQ(fx->stringValue("status"), "grabbing 2 frames...");
  fx->setValue("text_hint", "caf\xC3\xA9");

  const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
  const std::pair<double, double> ranges[] = {{0, 3e9}, {1, 2147483648.0}, {0, inf}, {-inf, 0}, {nan, 4}};
  for (const auto& [first, last] : ranges) {
    fx->setSourceFrameRange(first, last);
    EXPECT_EQ(pull(*fx), kOfxStatOK);
    EXPECT_EQ(messages(), Texts{"Prismhollow: the Source clip's frame range is too long to pull."})
        << first << " to " << last;
  }
  EXPECT_TRUE(edits.values("clip_start").empty());
  EXPECT_TRUE(backend->requests().empty());

  // A reversed range pulls its first frame; non-ASCII text goes unescaped.
  fx->setSourceFrameRange(5, 0);
  fx->setSource([](OfxTime) { return patternFrame(0, OfxRectI{0, 0, 32, 24}); });
  const std::size_t before = edits.values("status").size();
  pull(*fx);
  EXPECT_EQ(settle(*fx), "ready: 1 frames matted");
  const Texts statuses = edits.values("status");
  EXPECT_EQ(Texts(statuses.begin() + before, statuses.end()),
            (Texts{"grabbing 1 frames...", "uploading 1/1", "downloading matte 1/1", "ready: 1 frames matted"}));
  EXPECT_NE(backend->requests("POST", "/start").at(0).body.find("\"text_prompt\":\"caf\xC3\xA9\""), std::string::npos);
}

TEST_F(PullTest, AnUnsafeStagingRootIsRefusedAndNothingIsWritten) {
  auto fx = clip(1);
  isolated([&] {
    const char* root = "/tmp/prismhollow";
    const std::pair<const char*, std::function<void()>> rows[] = {
        {"a link to a folder", [&] { symlink("/tmp/elsewhere", root); }},
        {"a folder anyone can write", [&] { mkdir(root, 0755), chmod(root, 0777); }},
        {"a folder its group can write", [&] { mkdir(root, 0755), chmod(root, 0775); }},
        {"another user's folder", [&] { mkdir(root, 0755), chown(root, 65534, 65534); }},
        {"a file", [&] { close(creat(root, 0644)); }},
    };
    mkdir("/tmp/elsewhere", 0755);
    for (const auto& [what, plant] : rows) {
      std::filesystem::remove_all(root);
      plant();
      EXPECT_EQ(pull(*fx), kOfxStatOK);
      EXPECT_EQ(messages(), Texts{kRefusedRoot}) << what;
      EXPECT_TRUE(edits.all().empty()) << what;
      EXPECT_TRUE(filesIn("/tmp/elsewhere").empty()) << what;
      if (std::filesystem::is_directory(std::filesystem::symlink_status(root))) {
        EXPECT_TRUE(filesIn(root).empty()) << what;
      }
    }
    std::filesystem::remove_all(root);
    pull(*fx);
    EXPECT_EQ(settle(*fx), "ready: 1 frames matted");
  });
}

TEST_F(PullTest, AFrameThatCannotBeWrittenEndsThePullBeforeTheBackend) {
  auto fx = clip(3);
  isolated([&] {
    mkdir("/tmp/prismhollow", 0755);
    ASSERT_EQ(mount("tmpfs", "/tmp/prismhollow", "tmpfs", MS_RDONLY, "mode=0755"), 0);
    EXPECT_EQ(pull(*fx), kOfxStatOK);
    EXPECT_EQ(messages(), Texts{"Prismhollow: could not write frame 0"});
    EXPECT_EQ(fx->stringValue("status"), "grabbing 3 frames...");
    EXPECT_TRUE(edits.values("clip_start").empty());
    ASSERT_EQ(umount("/tmp/prismhollow"), 0);
    pull(*fx);
    EXPECT_EQ(settle(*fx), "ready: 3 frames matted");
  });
  // The child's calls reached this process's backend: one job only.
  EXPECT_EQ(creates(), 1u);
}

TEST_F(PullTest, ClearSelectionLeavesNoBoxAndNoDabs) {
  auto fx = clip(1);
  std::string dabs = "[";
  for (int i = 0; i < 500; ++i) dabs += (i ? "," : "") + std::string(i % 2 ? "[0.5,0.5,0.03]" : "[0.1,0.2,-0.02]");
  fx->setValue("bbox_json", R"({"h":0.5,"w":0.25,"x":0.1,"y":0.2})");
  fx->setValue("brush_json", dabs + "]");
  EXPECT_EQ(press(*fx, "clear_mask"), kOfxStatOK);
  EXPECT_EQ(fx->stringValue("bbox_json"), "");
  EXPECT_EQ(fx->stringValue("brush_json"), "[]");
  using Edit = std::pair<std::string, std::string>;
  EXPECT_EQ(edits.all(), (std::vector<Edit>{{"bbox_json", ""}, {"brush_json", "[]"}}));
}

TEST_F(PullTest, ResetMatteForgetsTheSessionSoRenderShowsTheSource) {
  auto fx = clip(2);
  fx->setValue("output_mode", 1);
  pull(*fx);
  ASSERT_EQ(settle(*fx), "ready: 2 frames matted");
  EXPECT_EQ(fx->render(1).output->pixel(3, 3)[0], matteValue(1));

  const std::size_t before = edits.all().size();
  EXPECT_EQ(press(*fx, "reset_matte"), kOfxStatOK);
  using Edit = std::pair<std::string, std::string>;
  const auto all = edits.all();
  EXPECT_EQ(std::vector<Edit>(all.begin() + before, all.end()),
            (std::vector<Edit>{{"session_id", ""}, {"status", "idle"}}));
  for (int frame : {0, 1}) {
    auto out = fx->render(frame).output;
    auto source = patternFrame(frame, OfxRectI{0, 0, 32, 24});
    for (auto [x, y] : {std::pair{3, 3}, std::pair{30, 20}})
      EXPECT_TRUE(std::equal(out->pixel(x, y), out->pixel(x, y) + 4, source->pixel(x, y))) << frame;
  }
  EXPECT_EQ(fx->stringValue("clip_start"), "0.000000");
  EXPECT_EQ(filesIn(kRoot + session), (Texts{"000000.png", "000001.png"}));
}

TEST_F(PullTest, EveryOtherChangeIsLeftToTheHost) {
  auto fx = clip(1);
  EXPECT_EQ(fx->userEdit("output_mode", 1), kOfxStatReplyDefault);
  EXPECT_EQ(fx->userEdit("quality", 1), kOfxStatReplyDefault);
  EXPECT_EQ(fx->userEdit("select_tool", 2), kOfxStatReplyDefault);
  EXPECT_EQ(fx->userEdit("draw_mask", 0), kOfxStatReplyDefault);
  EXPECT_EQ(fx->userEdit("edge_softness", 0.7), kOfxStatReplyDefault);
  EXPECT_EQ(fx->userEdit("brush_size", 0.1), kOfxStatReplyDefault);
  EXPECT_EQ(fx->userEdit("text_hint", "man in blue"), kOfxStatReplyDefault);
  EXPECT_EQ(fx->userEdit("backend_url", backend->url() + "/"), kOfxStatReplyDefault);
  auto unnamed = PropertySet::create("instance changed without a name");
  unnamed->defineDouble(kOfxPropTime, {0.0});
  EXPECT_EQ(fx->callAction(kOfxActionInstanceChanged, unnamed.get(), nullptr), kOfxStatReplyDefault);
  unnamed->retire();
  EXPECT_TRUE(edits.all().empty());
  EXPECT_TRUE(backend->requests().empty());
}

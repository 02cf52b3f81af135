// The pull command and the buttons: what a whole job sends and leaves
// behind, how frames are staged, and every way a press ends before the worker.

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <nlohmann/json.hpp>

#include "PullFixture.h"
#include "ofxProgress.h"

// A full decoder (JPEG too) private to this file: the library decodes PNG only.
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

// The mean absolute difference between the JPEG and what staging makes of an
// 8-bit frame: at most 1920 pixels on the longer side, at least 2 x 2, nearest
// neighbour, top row first. Quality 92 stays well below 2 on these flat
// patterns; frames differ by at least 6.
double stagingError(const Picture& a, ImageBuffer& image) {
  const int w = image.width(), h = image.height();
  const double s = std::min(1920.0 / std::max(w, h), 1.0);
  if (a.width != std::max(static_cast<int>(w * s), 2) || a.height != std::max(static_cast<int>(h * s), 2)) return 255;
  double sum = 0;
  for (int y = 0; y < a.height; ++y)
    for (int x = 0; x < a.width; ++x) {
      const int sx = std::min(static_cast<int>(x / s), w - 1), sy = std::min(static_cast<int>(y / s), h - 1);
      const unsigned char* px = image.pixel(image.bounds().x1 + sx, image.bounds().y2 - 1 - sy);
      for (int c = 0; c < 3; ++c) sum += std::abs(a.rgb[3 * (y * a.width + x) + c] - px[c]);
    }
  return sum / static_cast<double>(a.rgb.size());
}

std::string frameName(int index, const char* extension) {
  char name[32];
  std::snprintf(name, sizeof name, "%06d%s", index, extension);
  return name;
}

// Makes `root` a folder of another user: chowned as root; in a user
// namespace of our own, where no other user can be given a file, /usr
// bound there read-only, whose owner is not mapped into it.
void anotherUsersFolder(const char* root) {
  mkdir(root, 0755);
  if (chown(root, 65534, 65534) == 0) return;
  mount("/usr", root, nullptr, MS_BIND, nullptr);
  mount(nullptr, root, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr);
}

// Runs `body` with the staging root free to tamper with: it is this
// process's own (private_tmp.cpp), and cleared around it.
void isolated(const std::function<void()>& body) {
  const auto clear = [] {
    umount(kRoot.c_str());
    std::error_code ec;
    std::filesystem::remove_all(kRoot, ec);
    std::filesystem::remove(kRoot.substr(0, kRoot.size() - 1), ec);  // a link or a file
  };
  clear();
  body();
  clear();
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
  backend->onUpload([](int frame, int attempt) { return frame == 2 && attempt < 3 ? 500 : 200; });  // a third try
  ASSERT_EQ(pull(*fx), kOfxStatOK);
  EXPECT_EQ(settle(*fx), "ready: 10 frames matted");
  EXPECT_EQ(fx->stringValue("session_id"), session);
  EXPECT_EQ(fx->stringValue("clip_start"), "0.000000");
  EXPECT_EQ(messages(), Texts{"Prismhollow: alpha ready for 10 frames."});

  const std::string base = "/api/matte/sessions/" + session;
  Texts expected = {"POST /api/matte/sessions"};
  for (int i : {0, 1, 2, 2, 2, 3, 4, 5, 6, 7, 8, 9}) expected.push_back("PUT " + base + "/frames/" + std::to_string(i));
  expected.insert(expected.end(), {"POST " + base + "/start", "GET " + base, "GET " + base});
  for (int i = 0; i < 10; ++i) expected.push_back("GET " + base + "/alpha/" + std::to_string(i) + ".png");
  ASSERT_EQ(calls(), expected);

  const std::vector<Request> posts = backend->requests("POST"), puts = backend->requests("PUT");
  EXPECT_EQ(posts[0].body, R"({"fps":25.0,"source":"plugin"})");
  EXPECT_EQ(posts[1].body,
            R"({"anchor_frame":3,"bbox":{"h":0.5,"w":0.25,"x":0.1,"y":0.2},"edge_softness":0.5,"quality":"fast",)"
            R"("strokes":[[0.3,0.4,0.03],[0.5,0.6,-0.02]],"text_prompt":"woman in red"})");
  for (const Request& r : posts)
    EXPECT_TRUE(r.header("Content-Type") == "application/json" && r.header("Accept") == "application/json");
  for (const Request& r : puts) {  // every try carries the whole frame
    const int frame = std::stoi(r.path.substr(r.path.rfind('/') + 1));
    EXPECT_EQ(r.header("Content-Type"), "image/jpeg") << frame;
    EXPECT_LT(stagingError(decodeJpeg(r.body), *patternFrame(frame, OfxRectI{0, 0, 64, 48})), 2.0) << frame;
  }
  EXPECT_EQ(newUploadDirs(), Texts{}) << "the staged files and their folder went with the job";
  const ImageLedger ledger = fx->ledger();
  EXPECT_EQ(std::pair(ledger.fetched, ledger.outstanding), std::pair(10, 0)) << "each frame fetched once, handed back";

  fx->setValue("output_mode", 1);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(readFile(kRoot + session + "/" + frameName(i, ".png")), greyPng(matteValue(i))) << i;
    const RenderResult rendered = fx->render(i);
    const unsigned char *px = rendered.output->pixel(10, 10), m = matteValue(i);
    EXPECT_EQ(std::vector<unsigned char>(px, px + 4), (std::vector<unsigned char>{m, m, m, 255})) << "frame " << i;
  }
}

TEST_F(PullTest, FramesAreStagedAtMost1920WideTopRowFirstAndFloatsAsTheirBytes) {
  // Per 8 x 8 block, channel c takes value (block + c) of `values` in `floats`, of `bytes` in `eight`.
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  const float values[] = {-0.5f, 2.0f, nan, inf, -inf, 100.6f / 255, 37.6f / 255, 200.6f / 255, 0.0f, 1.0f, 0.5f};
  const unsigned char bytes[] = {0, 255, 0, 255, 0, 101, 38, 201, 0, 255, 128};
  auto floats = ImageBuffer::allocate({0, 0, 48, 32}, kOfxBitDepthFloat);
  auto eight = ImageBuffer::allocate({0, 0, 48, 32}, kOfxBitDepthByte);
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 48; ++x)
      for (int c = 0; c < 4; ++c) {
        const std::size_t v = (x / 8 + 6 * (y / 8) + c) % std::size(values);
        floats->pixelFloat(x, y)[c] = values[v];
        eight->pixel(x, y)[c] = bytes[v];
      }
  const std::tuple<const char*, std::shared_ptr<ImageBuffer>, int, int> rows[] = {
      {"3840 x 2160, padded rows", patternFrame(3, {0, 0, 3840, 2160}, 64), 1920, 1080},
      {"4096 x 2160, rows stored top-down", patternFrame(3, {0, 0, 4096, 2160}, 0, true), 1920, 1012},
      {"1 pixel wide, away from the origin", patternFrame(3, {7, -5, 8, 59}), 2, 64},
      {"1280 x 720, unchanged", patternFrame(3, {100, 50, 1380, 770}), 1280, 720},
      {"8-bit", eight, 48, 32},
      {"float", floats, 48, 32}};
  // Two frames a clip: the first is shrunk on the writer's thread, the
  // second, fetched while the writer is busy, on the host's.
  auto fx = clip(2);
  for (const auto& [what, frame, width, height] : rows) {
    SCOPED_TRACE(what);
    fx->setSource([frame = frame](OfxTime) { return frame; });
    ASSERT_EQ(job(*fx), "ready: 2 frames matted");
    for (int back : {2, 1}) {
      const Picture got = decodeJpeg(backend->requests("PUT").end()[-back].body);
      EXPECT_EQ(got.width, width);
      EXPECT_EQ(got.height, height);
      EXPECT_LT(stagingError(got, frame == floats ? *eight : *frame), 2.0);
    }
  }
  const std::vector<Request> uploads = backend->requests("PUT");
  EXPECT_TRUE(uploads.end()[-1].body == uploads.end()[-3].body) << "the float frame was not staged as its bytes";
}

TEST_F(PullTest, TheCreateBodyCarriesTheFrameRateAndTheStartBodyThePressTimeInsideTheClip) {
  backend->onStart(Reply{409, "no"});
  auto fx = clip(10, 32, 24, 30);
  const std::tuple<double, const char*, double, int> rows[] = {{25, "25.0", 37, 7},   {23.976, "23.976", 33.5, 4},
                                                               {30, "30.0", 29.6, 0}, {59.94, "59.94", 10, 0},
                                                               {25, "25.0", 39.4, 9}, {25, "25.0", 100, 9}};
  for (const auto& [rate, fps, time, anchor] : rows) {
    fx->setSourceFrameRate(rate);
    fx->setTime(time);
    ASSERT_EQ(job(*fx), "failed: start rejected: no");
    const std::vector<Request> posts = backend->requests("POST");
    EXPECT_EQ(posts.end()[-2].body, std::string(R"({"fps":)") + fps + R"(,"source":"plugin"})");
    EXPECT_EQ(nlohmann::json::parse(posts.back().body)["anchor_frame"], anchor) << "pressed at " << time;
  }
  // Nothing drawn, settings at their defaults.
  EXPECT_EQ(backend->requests("POST", "/start").front().body,
            R"({"anchor_frame":7,"edge_softness":0.35,"quality":"fine","strokes":[],"text_prompt":""})");
  // Dabs painted on frames are read against the clip's first frame and length.
  fx->setValue("brush_json", "[[0.5,0.5,0.03,37.0],[0.25,0.25,-0.03,39.0],[0.75,0.75,-0.03,40.0]]");
  fx->setTime(37);
  ASSERT_EQ(job(*fx), "failed: start rejected: no");
  EXPECT_EQ(backend->requests("POST", "/start").back().body,
            R"({"anchor_frame":7,"corrections":[{"frame":9,"strokes":[[0.25,0.25,-0.03]]}],"edge_softness":0.35,)"
            R"("quality":"fine","strokes":[[0.5,0.5,0.03]],"text_prompt":""})");
  // The clip's first frame goes with the session it belongs to, never alone.
  EXPECT_EQ(fx->stringValue("clip_start"), "0");
  backend->onStart(ok("{}"));
  const std::size_t before = editsSince().size();
  ASSERT_EQ(job(*fx), "ready: 10 frames matted");
  const std::vector<Edit> edits = editsSince(before);
  const auto at = std::find(edits.begin(), edits.end(), Edit{"clip_start", "30.000000"});
  ASSERT_LT(at + 1, edits.end());
  EXPECT_EQ(at[1], (Edit{"session_id", session}));
}

// Presses that end before the backend: the message, either nothing set or
// the grab begun, and nothing left staged. The next good pull goes through.
TEST_F(PullTest, PressesRefusedBeforeTheBackendLeaveNoJob) {
  using Setup = std::function<void(EffectInstance&)>;
  const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
  const std::string noUrl = "paste your Backend URL first.",
                    tooLong = "the Source clip's frame range is too long to pull.";
  const auto url = [](const char* u) -> Setup { return [u](EffectInstance& fx) { fx.setValue("backend_url", u); }; };
  const auto range = [](double a, double b) -> Setup {
    return [a, b](EffectInstance& fx) { fx.setSourceFrameRange(a, b); };
  };
  const auto unreadable = [](int bad, bool emptyBounds) -> Setup {
    return [bad, emptyBounds](EffectInstance& fx) {
      fx.setSource([bad, emptyBounds](OfxTime t) -> std::shared_ptr<ImageBuffer> {
        if (static_cast<int>(t) != bad) return patternFrame(static_cast<int>(t), OfxRectI{0, 0, 32, 24});
        return emptyBounds ? ImageBuffer::allocate(OfxRectI{4, 4, 4, 9}, kOfxBitDepthByte) : nullptr;
      });
    };
  };
  struct Row {
    const char* what;
    int frames;
    Setup setup;
    std::string message;
    bool grabbed;  // refused once the grab began
  };
  const Row rows[] = {
      {"no URL", 2, url(""), noUrl, false},
      {"an ftp URL", 2, url("ftp://127.0.0.1/"), noUrl, false},
      {"an upper-case scheme", 2, url("HTTP://127.0.0.1"), noUrl, false},
      {"a leading space", 2, url(" http://127.0.0.1"), noUrl, false},
      {"2^31 frames", 2, range(1, 2147483648.0), tooLong, false},
      {"up to infinity", 2, range(0, inf), tooLong, false},
      {"from minus infinity", 2, range(-inf, 0), tooLong, false},
      {"from NaN", 2, range(nan, 4), tooLong, false},
      {"a cut UTF-8 hint", 2, [](EffectInstance& fx) { fx.setValue("text_hint", std::string("caf\xC3", 4)); },
       "the character hint is not valid text; retype it and pull again.", true},
      {"no Source", 1, [](EffectInstance& fx) { fx.setClipAvailable(kOfxImageEffectSimpleSourceClipName, false); },
       "could not read frame 0", true},
      {"frame 3 of 10 missing", 10, unreadable(3, false), "could not read frame 3", true},
      {"frame 2 of 4 with empty bounds", 4, unreadable(2, true), "could not read frame 2", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    auto fx = clip(row.frames);
    row.setup(*fx);
    const std::size_t before = editsSince().size();
    const std::set<std::string> dirsBefore = uploadDirs();
    EXPECT_EQ(press(*fx, "pull_alpha"), kOfxStatOK);
    EXPECT_EQ(messages(), Texts{"Prismhollow: " + row.message});
    const std::vector<Edit> grabbed = {{"status", "grabbing " + std::to_string(row.frames) + " frames..."},
                                       {"status", "failed: " + row.message}};
    EXPECT_EQ(editsSince(before), row.grabbed ? grabbed : std::vector<Edit>{});
    EXPECT_EQ(newUploadDirs(dirsBefore), Texts{});
  }
  EXPECT_EQ(calls(), Texts{});

  // A reversed range pulls its first frame; non-ASCII text goes unescaped.
  auto fx = clip(1);
  fx->setSourceFrameRange(5, 0);
  fx->setValue("text_hint", "caf\xC3\xA9");
  fx->setSource([](OfxTime) { return patternFrame(0, OfxRectI{0, 0, 32, 24}); });
  const std::size_t before = editsSince().size();
  EXPECT_EQ(job(*fx), "ready: 1 frames matted");
  EXPECT_EQ(values("status", before),
            (Texts{"grabbing 1 frames...", "uploading 1/1", "downloading matte 1/1", "ready: 1 frames matted"}));
  EXPECT_NE(backend->requests("POST", "/start").at(0).body.find("\"text_prompt\":\"caf\xC3\xA9\""), std::string::npos);
}

TEST_F(PullTest, ASecondPressWhileAJobRunsIsRefusedFromEveryInstance) {
  backend->onPoll({Reply{200, R"({"status":"RUNNING"})"}});
  auto first = clip(2), other = clip(2);
  pull(*first);
  ASSERT_TRUE(backend->waitFor(polling));
  for (auto* fx : {first.get(), other.get()}) {
    EXPECT_EQ(press(*fx, "pull_alpha"), kOfxStatOK);
    ASSERT_EQ(messages(), Texts{kBusy});
    EXPECT_EQ(host->messages().all().back().handle, fx->handle()) << "told about another instance";
  }
  EXPECT_EQ(other->stringValue("status"), "idle");
  EXPECT_EQ(backend->requests("POST").size(), 2u);  // one create and its start
  EXPECT_EQ(newUploadDirs().size(), 1u);
  mark = host->messages().all().size();
  backend->onPoll({Reply{200, R"({"status":"COMPLETED"})"}});
  EXPECT_EQ(settle(*first), "ready: 2 frames matted");
  EXPECT_EQ(host->messages().all().back().handle, first->handle());
  EXPECT_EQ(job(*other), "ready: 2 frames matted");
}

TEST_F(PullTest, AStagingRootNotTheUsersOwnIsNeverUsed) {
  auto fx = clip(1);
  // The user's own root, where the pull goes when the shared one is not theirs.
  const std::string own = kRoot.substr(0, kRoot.size() - 1) + "-" + std::to_string(geteuid()) + "/";
  isolated([&] {
    const std::string rootPath = kRoot.substr(0, kRoot.size() - 1), ownPath = own.substr(0, own.size() - 1);
    const char* root = rootPath.c_str();
    const std::string refused = "the staging folders " + kRoot + " and " + own +
                                " are links, belong to another user or can be written by others; remove them and "
                                "pull again.";
    const std::tuple<const char*, std::function<void()>, std::string> rows[] = {
        {"a link to a folder", [&] { symlink("/tmp/elsewhere", root); }, ""},
        {"a folder anyone can write", [&] { mkdir(root, 0755), chmod(root, 0777); }, ""},
        {"a folder its group can write", [&] { mkdir(root, 0755), chmod(root, 0775); }, ""},
        {"another user's folder", [&] { anotherUsersFolder(root); }, ""},
        {"a file", [&] { close(creat(root, 0644)); }, ""},
        {"a link, and a link as the user's own", [&] { symlink("/tmp/elsewhere", root), symlink("/tmp/elsewhere", ownPath.c_str()); },
         refused},
        {"a read-only folder", [&] { mkdir(root, 0700), mount("tmpfs", root, "tmpfs", MS_RDONLY, "mode=0700"); },
         "could not write frame 0"}};
    mkdir("/tmp/elsewhere", 0755);
    for (const auto& [what, plant, message] : rows) {
      SCOPED_TRACE(what);
      const std::size_t before = editsSince().size();
      plant();
      const Texts planted = filesIn(root);
      if (message.empty()) {
        EXPECT_EQ(job(*fx), "ready: 1 frames matted");
        EXPECT_EQ(messages(), Texts{"Prismhollow: alpha ready for 1 frames."});
        EXPECT_TRUE(std::filesystem::is_regular_file(own + session + "/" + frameName(0, ".png")));
        fx->setValue("output_mode", 1);
        EXPECT_EQ(fx->render(0).output->pixel(10, 10)[0], matteValue(0)) << "render finds the mattes there too";
        struct stat folder {}, matte {};
        EXPECT_TRUE(stat(ownPath.c_str(), &folder) == 0 && (folder.st_mode & 0777) == 0700 &&
                    stat((own + session + "/" + frameName(0, ".png")).c_str(), &matte) == 0 &&
                    (matte.st_mode & 0777) == 0600)
            << "the user's alone";
      } else {
        EXPECT_EQ(pull(*fx), kOfxStatOK);
        EXPECT_EQ(messages(), Texts{"Prismhollow: " + message});
        EXPECT_EQ(values("status", before),
                  (message == refused ? Texts{} : Texts{"grabbing 1 frames...", "failed: could not write frame 0"}));
        EXPECT_EQ(values("clip_start", before), Texts{});
      }
      EXPECT_EQ(filesIn("/tmp/elsewhere"), Texts{});
      EXPECT_EQ(filesIn(root), planted) << "written into a refused root";
      umount(root);
      std::error_code ec;
      std::filesystem::remove_all(root, ec), std::filesystem::remove(ownPath, ec), std::filesystem::remove_all(own, ec);
    }
    EXPECT_EQ(job(*fx), "ready: 1 frames matted");
    std::filesystem::remove_all("/tmp/elsewhere");
  });
  EXPECT_EQ(backend->requests("POST", "/start").size(), 6u) << "every pull but the two refused reached the backend";
}

// The disk fills up at frame 2, whose write fails on the writer's thread
// while frame 3 is fetched: the status and the message say so, everything
// staged goes, no backend is called, and the next pull finds room again.
TEST_F(PullTest, AFullDiskMidClipEndsThePullWithNothingStagedLeft) {
  const OfxRectI bounds{0, 0, 256, 256};
  auto noise = ImageBuffer::allocate(bounds, kOfxBitDepthByte);  // far beyond 64 KiB as a JPEG; the others a few KiB
  for (int y = 0; y < 256; ++y)
    for (int x = 0; x < 256; ++x)
      for (int c = 0; c < 4; ++c) {
        unsigned h = (x * 73856093u) ^ (y * 19349663u) ^ (c * 83492791u);
        h = (h ^ (h >> 13)) * 0x5bd1e995u;
        noise->pixel(x, y)[c] = static_cast<unsigned char>(h >> 24);
      }
  auto fx = clip(5, 256, 256);
  fx->setSource([&](OfxTime t) { return t == 2 ? noise : patternFrame(static_cast<int>(t), bounds); });
  isolated([&] {
    const std::string rootPath = kRoot.substr(0, kRoot.size() - 1);  // as a link or file would be named
    const char* root = rootPath.c_str();
    ASSERT_EQ(mkdir(root, 0755), 0);
    ASSERT_EQ(mount("tmpfs", root, "tmpfs", 0, "size=64k,mode=0755"), 0);
    const std::size_t before = editsSince().size();
    EXPECT_EQ(pull(*fx), kOfxStatOK);
    EXPECT_EQ(messages(), Texts{"Prismhollow: could not write frame 2"});
    EXPECT_EQ(values("status", before), (Texts{"grabbing 5 frames...", "failed: could not write frame 2"}));
    EXPECT_EQ(filesIn(root), Texts{}) << "staged files left on the full disk";
    fx->setSource([&](OfxTime t) { return patternFrame(static_cast<int>(t), bounds); });
    EXPECT_EQ(job(*fx), "ready: 5 frames matted");
  });
  EXPECT_EQ(backend->requests("POST").size(), 2u);  // the second pull's create and start, nothing of the first
  EXPECT_EQ(backend->requests("PUT").size(), 5u);
}

// The host's progress bar follows the staging frame by frame. A cancel on it
// ends the pull as if it had not been pressed: no message, the status as it
// was, nothing staged left, no backend called, the next pull free to go.
// Without the bar a pull goes as before.
TEST_F(PullTest, StagingShowsTheHostsProgressAndACancelLeavesNothing) {
  auto fx = clip(4);
  fx->setValue("status", "ready: 4 frames matted");
  const auto shown = [&] {
    Texts calls;
    for (const ProgressCall& c : host->progress().all())
      calls.push_back(c.call +
                      (c.call == "start"    ? " " + c.label
                       : c.call == "update" ? " " + std::to_string(c.fraction)
                                            : "") +
                      (c.handle == fx->handle() ? "" : " (another instance)"));
    return calls;
  };
  const auto bar = [](int updates) {
    Texts calls{"start Staging frames"};
    for (int i = 1; i <= updates; ++i) calls.push_back("update " + std::to_string(i / 4.0));
    calls.push_back("end");
    return calls;
  };
  for (int cancelAt : {1, 4}) {  // mid-clip, and once every frame is staged
    SCOPED_TRACE(cancelAt);
    host->progress().clear();
    host->progress().cancelAtUpdate(cancelAt);
    const std::size_t before = editsSince().size();
    EXPECT_EQ(press(*fx, "pull_alpha"), kOfxStatOK);
    EXPECT_EQ(messages(), Texts{});
    EXPECT_EQ(values("status", before), (Texts{"grabbing 4 frames...", "ready: 4 frames matted"}));
    EXPECT_EQ(newUploadDirs(), Texts{});
    EXPECT_EQ(shown(), bar(cancelAt));
  }
  EXPECT_EQ(calls(), Texts{});
  host->progress().clear();
  host->progress().cancelAtUpdate(0);
  EXPECT_EQ(job(*fx), "ready: 4 frames matted");
  EXPECT_EQ(shown(), bar(4));

  fx.reset();
  host.reset();
  host = std::make_unique<Host>();
  host->removeSuite(kOfxProgressSuite);
  plugin = &host->loadPlugin(bundle());
  fx = clip(2);
  EXPECT_EQ(job(*fx), "ready: 2 frames matted");
  EXPECT_EQ(shown(), Texts{});
}

TEST_F(PullTest, TheButtonsClearTheSelectionAndForgetTheMatte) {
  auto fx = clip(2);
  std::string dabs = "[";
  for (int i = 0; i < 500; ++i) dabs += (i ? "," : "") + std::string(i % 2 ? "[0.5,0.5,0.03]" : "[0.1,0.2,-0.02]");
  fx->setValue("bbox_json", R"({"h":0.5,"w":0.25,"x":0.1,"y":0.2})");
  fx->setValue("brush_json", dabs + "]");
  EXPECT_EQ(press(*fx, "clear_mask"), kOfxStatOK);
  EXPECT_EQ(fx->stringValue("bbox_json"), "");
  EXPECT_EQ(fx->stringValue("brush_json"), "[]");
  EXPECT_EQ(editsSince(), (std::vector<Edit>{{"bbox_json", ""}, {"brush_json", "[]"}}));

  fx->setValue("output_mode", 1);
  ASSERT_EQ(job(*fx), "ready: 2 frames matted");
  EXPECT_EQ(fx->render(1).output->pixel(3, 3)[0], matteValue(1));
  const std::size_t before = editsSince().size();
  EXPECT_EQ(press(*fx, "reset_matte"), kOfxStatOK);
  EXPECT_EQ(editsSince(before), (std::vector<Edit>{{"session_id", ""}, {"status", "idle"}}));
  for (int frame : {0, 1}) {
    auto out = fx->render(frame).output;
    auto source = patternFrame(frame, OfxRectI{0, 0, 32, 24});
    for (auto [x, y] : {std::pair{3, 3}, std::pair{30, 20}})
      EXPECT_TRUE(std::equal(out->pixel(x, y), out->pixel(x, y) + 4, source->pixel(x, y))) << frame;
  }
  EXPECT_EQ(fx->stringValue("clip_start"), "0.000000");
  EXPECT_EQ(filesIn(kRoot + session), (Texts{"000000.png", "000001.png", "frames.digest"}));
}

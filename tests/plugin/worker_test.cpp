// The matting worker: its status texts, every way a job fails, and what
// happens when the instance, the plug-in or the process goes away mid-job.

#include <dlfcn.h>

#include <cstdlib>
#include <nlohmann/json.hpp>

#include "Overlay.h"
#include "PullFixture.h"
#include "orv/image.h"

using namespace ofxhost;

namespace {

Reply createAs(const std::string& id) { return ok(nlohmann::json{{"session_id", id}}.dump()); }
const Reply kRunning = ok(R"({"status":"RUNNING"})"), kCompleted = ok(R"({"status":"COMPLETED"})");
Reply stage(const std::string& text) { return ok(R"({"status":"RUNNING","progress":{"stage":")" + text + "\"}}"); }

class WorkerTest : public PullTest {
 protected:
  // A job on two frames, polling "masks" until told otherwise.
  std::shared_ptr<EffectInstance> pollingJob() {
    backend->onPoll({stage("masks")});
    auto fx = clip(2);
    pull(*fx);
    EXPECT_TRUE(waitUntil([&] { return fx->syncPrivateData(), fx->stringValue("status") == "tracking: masks"; }));
    return fx;
  }
};
class WorkerRealTimingTest : public PullTest {
  std::string bundle() const override { return ORV_BUNDLE_DIR; }
};

int threadCount() {
  int n = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) n += task.exists();
  return n;
}
std::atomic<int> gThreadsBeforePull{0};
// At exit, after the plug-in's own exit handling: its worker must be gone by
// now (5 s at most), before the libraries under it are torn down.
void expectWorkerGone() {
  if (!waitUntil([] { return threadCount() <= gThreadsBeforePull; }, std::chrono::seconds(5))) std::_Exit(5);
}

}  // namespace

TEST_F(WorkerTest, StatusTextsFollowTheJobIn24FrameSteps) {
  // Only a "progress" object changes the status; failed and unreadable polls change nothing.
  std::vector<Reply> polls = {Reply{503, "busy"}, Reply{200, "<html>busy</html>", "text/html"}};
  for (const char* body :
       {R"({"status":"RUNNING"})", R"({"status":"RUNNING","progress":{"stage":"masks"}})", "[]",
        R"({"status":5,"progress":{"stage":"wrong type"}})", R"({"status":"RUNNING","progress":5})",
        R"({"status":"RUNNING","progress":{}})", R"({"status":"RUNNING","progress":{"stage":7}})",
        R"({"progress":{"stage":"matting"}})", R"({"status":"completed"})", R"({"status":"COMPLETED"})"})
    polls.push_back(ok(body));
  const std::pair<int, Texts> rows[] = {
      {24,
       {"grabbing 24 frames...", "uploading 1/24", "tracking: masks", "tracking: ...", "tracking: ...",
        "tracking: matting", "downloading matte 1/24", "ready: 24 frames matted"}},
      {25,
       {"grabbing 25 frames...", "uploading 1/25", "uploading 25/25", "tracking: masks", "tracking: ...",
        "tracking: ...", "tracking: matting", "downloading matte 1/25", "downloading matte 25/25",
        "ready: 25 frames matted"}}};
  for (const auto& [n, expected] : rows) {
    SCOPED_TRACE(n);
    backend->onPoll(polls);
    auto fx = clip(n, 16, 16);
    const std::size_t before = editsSince().size();
    ASSERT_EQ(job(*fx), expected.back());
    EXPECT_EQ(values("status", before), expected);
    EXPECT_EQ(messages(), Texts{"Prismhollow: alpha ready for " + std::to_string(n) + " frames."});
  }
}

// What a path in the staging root holds: each file's bytes by name ("" for
// the path itself when it is a file).
std::map<std::string, std::string> contents(const std::string& path) {
  std::map<std::string, std::string> found;
  if (std::filesystem::is_regular_file(path)) found[""] = readFile(path);
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(path, ec))
    found[entry.path().filename()] = readFile(entry.path());
  return found;
}

// Every failure of an 8-frame job: its text, the call the job stopped at, and
// the session the user keeps exactly as it was, although the backend hands
// out its id again.
TEST_F(WorkerTest, EachFailureEndsTheJobAtItsCallAndKeepsTheOldSession) {
  struct Row {
    std::string what;
    std::function<void(ScriptedBackend&)> script;
    std::string text, last;
    std::size_t calls;
  };
  const std::string escape = "pull-escape-" + std::to_string(getpid());
  const auto call = [&](const std::string& method, const std::string& rest) {
    return method + " /api/matte/sessions/" + session + rest;
  };
  const auto what = [](const Reply& r) { return std::to_string(r.status) + (r.cut ? " cut off" : " " + r.body); };
  std::vector<Row> rows;
  for (const Reply& r :
       {Reply{503, R"({"session_id":"s"})"}, Reply{200, "<html>Sign in</html>", "text/html"}, ok(""), ok(R"(["s"])"),
        ok(R"("s")"), ok(R"({"session_id":42})"), ok(R"({"id":"s"})"), createAs(""), createAs("../" + escape),
        createAs("a/" + escape), createAs("."), createAs(".."), createAs("a b"), createAs("caf\xC3\xA9"),
        createAs(std::string(129, 'a')), createAs(std::string(200, 'a')), Reply{200, "", "", false, false, true}})
    rows.push_back({"create " + what(r) + (r.trickle ? "trickling" : ""), [r](ScriptedBackend& b) { b.onCreate(r); },
                    "cannot reach backend", "POST /api/matte/sessions", 1});
  std::string long300;
  for (int i = 0; i < 300; ++i) long300 += static_cast<char>('a' + i % 26);
  for (const auto& [r, text] : {std::pair{Reply{400, long300, "text/plain"}, long300.substr(0, 160)},
                                {Reply{409, "already started"}, std::string("already started")},
                                {Reply{500, ""}, std::string()},
                                {Reply{200, "", "application/json", false, true}, std::string()}})
    rows.push_back({"start " + what(r), [r = r](ScriptedBackend& b) { b.onStart(r); }, "start rejected: " + text,
                    call("POST", "/start"), 10});
  for (const auto& [answer, text] :
       {std::pair<std::string, std::string>{R"({"status":"FAILED","error":"the character left the frame"})",
                                            "the character left the frame"},
        {R"({"status":"FAILED"})", "matting failed"},
        {R"({"status":"FAILED","error":42})", "matting failed"},
        {R"({"status":"FAILED","error":null,"progress":{"stage":"masks"}})", "matting failed"}}) {
    const std::vector<Reply> polls = {stage("masks"), ok(answer)};
    rows.push_back({answer, [polls](ScriptedBackend& b) { b.onPoll(polls); }, text, call("GET", ""), 12});
  }
  rows.push_back({"frame 2 refused three times",
                  [](ScriptedBackend& b) { b.onUpload([](int f, int) { return f == 2 ? 503 : 201; }); },
                  "upload failed at frame 2", call("PUT", "/frames/2"), 6});
  // Matte 3 answered otherwise. A 32 x 24 frame's cap: 8 bytes a pixel, 1/64 more, and 1 MiB.
  const std::size_t cap = 32 * 24 * 8 * 65 / 64 + (1 << 20);
  std::string png = greyPng(9), badCrc = png;
  badCrc[badCrc.size() - 20] ^= 1;  // a byte of the image data
  const std::vector<unsigned char> grey(64 * 3, 128);
  const std::vector<unsigned char> jpeg = orv::rgba_to_jpeg(grey.data(), 4, 4, 90);
  const std::string loop = "/api/matte/sessions/" + session + "/alpha/3.png";
  const std::pair<Reply, std::string> mattes[] = {
      {Reply{404, "gone"}, "download failed at frame 3"},
      {Reply{200, "", "image/png", false, false, true}, "download failed at frame 3"},
      {Reply{302, "", "image/png", false, false, false, "ftp://127.0.0.1/3.png"}, "download failed at frame 3"},
      {Reply{200, "<html>Sign in</html>", "text/html"}, "unusable matte at frame 3"},
      {Reply{200, std::string(jpeg.begin(), jpeg.end()), "image/png"}, "unusable matte at frame 3"},
      {Reply{200, "", "image/png"}, "unusable matte at frame 3"},
      {Reply{200, png.substr(0, png.size() - 13), "image/png"}, "unusable matte at frame 3"},
      {Reply{200, badCrc, "image/png"}, "unusable matte at frame 3"},
      {Reply{200, std::string(cap, 'x'), "image/png"}, "unusable matte at frame 3"},
      {Reply{200, png + std::string(cap + 1 - png.size(), '\0'), "image/png"}, "matte too large at frame 3"}};
  for (const auto& [r, text] : mattes)
    rows.push_back({"matte 3 " + what(r).substr(0, 40) + r.location,
                    [r = r](ScriptedBackend& b) {
                      b.onMatte([r](int f) { return f == 3 ? r : Reply{200, greyPng(matteValue(f)), "image/png"}; });
                    },
                    text, call("GET", "/alpha/3.png"), 15});
  rows.push_back({"matte 3 redirects to itself",
                  [loop](ScriptedBackend& b) {
                    b.onMatte([loop](int f) {
                      return f == 3 ? Reply{302, "", "image/png", false, false, false, loop}
                                    : Reply{200, greyPng(matteValue(f)), "image/png"};
                    });
                  },
                  "download failed at frame 3", call("GET", "/alpha/3.png"), 20});
  rows.push_back({"a file where the matte folder goes",
                  [&](ScriptedBackend&) {
                    std::filesystem::remove_all(kRoot + session);
                    std::ofstream(kRoot + session) << "kept";
                  },
                  "could not store the mattes in " + kRoot + session + "/", call("GET", "/alpha/7.png"), 19});
  auto fx = clip(8);
  fx->setValue("session_id", session);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::filesystem::remove_all(kRoot + session);
    std::filesystem::create_directories(kRoot + session);
    for (int i = 0; i < 8; ++i) std::ofstream(kRoot + session + "/" + std::to_string(i)) << greyPng(200 + i);
    backend = std::make_unique<ScriptedBackend>(session);
    fx->setValue("backend_url", backend->url());
    row.script(*backend);
    const auto kept = contents(kRoot + session);
    EXPECT_EQ(job(*fx), "failed: " + row.text);
    EXPECT_EQ(messages(), Texts{"Prismhollow: " + row.text});
    EXPECT_EQ(fx->stringValue("session_id"), session);
    EXPECT_EQ(contents(kRoot + session), kept);
    Texts all = calls();
    if (all.size() > 1) {  // past the create call: the backend is told to forget the session
      EXPECT_EQ(all.back(), call("DELETE", ""));
      all.pop_back();
    }
    EXPECT_EQ(all.size(), row.calls);
    EXPECT_EQ(all.back(), row.last);
    EXPECT_EQ(filesIn(kRoot), Texts{session}) << "staged frames or unpublished mattes stayed";
  }
  ScriptedBackend gone;
  gone.stop();
  fx->setValue("backend_url", gone.url());
  EXPECT_EQ(job(*fx), "failed: cannot reach backend") << "a closed port";
  EXPECT_FALSE(std::filesystem::exists("/tmp/" + escape));
  EXPECT_FALSE(std::filesystem::exists(kRoot + "a"));
}

TEST_F(WorkerTest, SessionIdsOfSafeCharactersUpTo128BytesAreUsedAsGiven) {
  const std::string tag = std::to_string(getpid());
  for (const std::string& id : {"A.b_c-9." + tag, tag + std::string(128 - tag.size(), 'x')}) {
    madeDirs.push_back(kRoot + id);
    backend->onCreate(createAs(id));
    auto fx = clip(2);
    EXPECT_EQ(job(*fx), "ready: 2 frames matted") << id;
    EXPECT_EQ(fx->stringValue("session_id"), id);
    EXPECT_EQ(backend->requests("PUT", "/frames/").back().path, "/api/matte/sessions/" + id + "/frames/1");
    EXPECT_EQ(filesIn(kRoot + id), (Texts{"000000.png", "000001.png", "frames.digest"}));
  }
}

// A re-pull into the same session replaces every matte, and render shows
// the new ones, although it showed the old ones a moment before.
// The second pull of the same frames starts its job on the session that
// holds them: nothing is uploaded again. A third, of other frames, uploads.
TEST_F(WorkerTest, ARePullIntoTheSameSessionIsRenderedWithItsNewMattes) {
  auto fx = clip(2);
  fx->setValue("output_mode", 1);
  backend->onPoll({ok(R"({"status":"COMPLETED","frames":2})")});
  for (int round = 0; round < 3; ++round) {
    if (round == 2) fx->setSource([](OfxTime t) { return patternFrame(int(t) + 7, OfxRectI{0, 0, 32, 24}); });
    backend->onMatte([round](int f) { return Reply{200, greyPng(matteValue(f + 5 * round)), "image/png"}; });
    EXPECT_EQ(job(*fx), "ready: 2 frames matted");
    for (int i = 0; i < 2; ++i) EXPECT_EQ(fx->render(i).output->pixel(3, 3)[0], matteValue(i + 5 * round)) << i;
    EXPECT_EQ(backend->requests("PUT", "/frames/").size(), round < 2 ? 2u : 4u) << round;
  }
}

TEST_F(WorkerTest, ResetDuringAJobDoesNotStopIt) {
  auto fx = pollingJob();
  EXPECT_EQ(fx->pressButton("reset_matte"), kOfxStatOK);
  EXPECT_EQ(values("session_id"), Texts{""});
  EXPECT_EQ(values("status").back(), "idle");
  backend->onPoll({kCompleted});
  EXPECT_EQ(settle(*fx), "ready: 2 frames matted");
  EXPECT_EQ(fx->stringValue("session_id"), session);
}

TEST_F(WorkerTest, ABackendThatStopsAnsweringEndsTheJobAfterTheSilenceLimit) {
  // Answers now and then keep a job alive well past the limit.
  std::vector<Reply> answering;
  for (int i = 0; i < 40; ++i) answering.insert(answering.end(), {Reply{503, ""}, ok("{"), kRunning});
  answering.push_back(kCompleted);
  backend->onPoll(answering);
  auto fx = clip(1);
  EXPECT_EQ(job(*fx), "ready: 1 frames matted");
  EXPECT_EQ(backend->requests("GET", "/").size(), answering.size() + 1) << "polls and one matte";

  backend->onPoll({Reply{503, "down"}});  // 503 for ever, said while it lasts
  const std::size_t before = editsSince().size();
  EXPECT_EQ(job(*fx), "failed: backend stopped answering");
  EXPECT_EQ(messages(), Texts{"Prismhollow: backend stopped answering"});
  const Texts said = values("status", before);
  EXPECT_TRUE(std::any_of(said.begin(), said.end(), [](const std::string& s) {
    return s == "backend not answering for 0:01, giving up at 0:01" || s == "backend not answering for 0:00, giving up at 0:01";
  })) << said.size();

  ScriptedBackend dying(session);  // a port that closes while the job polls
  dying.onPoll({Reply{200, "", "application/json", true}});
  fx->setValue("backend_url", dying.url());
  fx->pressButton("reset_matte");  // a new session: no question first whether the old one holds the frames
  pull(*fx);
  ASSERT_TRUE(dying.waitFor(polling));
  dying.stop();
  EXPECT_EQ(settle(*fx), "failed: backend stopped answering");
  fx->setValue("backend_url", backend->url());
  backend->onPoll({kCompleted});
  EXPECT_EQ(job(*fx), "ready: 1 frames matted");
}

TEST_F(WorkerTest, ADestroyedInstanceStopsItsWorkerQuietlyEvenWhenTheNextTakesItsHandle) {
  host->reuseInstanceHandles(true);  // as a host whose allocator hands the freed address out again
  auto fx = pollingJob();
  auto status = fx->param("status");
  const OfxImageEffectHandle handle = fx->handle();
  host->messages().clear();
  EXPECT_EQ(fx->destroy(), kOfxStatOK);

  backend->onCreate(createAs(session + "-2"));
  madeDirs.push_back(kRoot + session + "-2");
  backend->onPoll({kCompleted});  // the old job would end now
  auto next = clip(1);
  ASSERT_EQ(next->handle(), handle);
  const std::size_t before = editsSince().size();
  EXPECT_EQ(job(*next), "ready: 1 frames matted");
  EXPECT_EQ(values("session_id", before), Texts{session + "-2"});
  EXPECT_EQ(newUploadDirs(), Texts{}) << "the stopped job left its frames";
  EXPECT_EQ(status->stringValue(), std::string("tracking: masks"));
  for (const auto& m : host->messages().all())
    EXPECT_TRUE(m.text == kBusy || m.text == "Prismhollow: alpha ready for 1 frames.") << m.text;
  EXPECT_TRUE(backend->requests("GET", "/api/matte/sessions/" + session + "/alpha/").empty());
}

// The worker's edits wait for an action in which the host lets a plug-in
// set values: a viewer's redraw brings them in. A host that updates its
// interface in the setter (400 ms) and tears its side of an instance down
// before it says so meets no setter of the worker's when destroying it
// mid-job (our host aborts on a call into a torn-down instance).
TEST_F(WorkerTest, EditsWaitForTheHostsActionsSoADestroyMidJobMeetsNoSetter) {
  auto fx = pollingJob();
  auto overlay = fx->createOverlay();
  fx->setValue("draw_mask", 0);  // nothing drawn; the draw action still comes
  backend->onPoll({stage("edges")});
  EXPECT_TRUE(waitUntil([&] { return overlay->draw(), fx->stringValue("status") == "tracking: edges"; }));
  setSlowSetter(std::chrono::milliseconds(400));
  const std::size_t polls = backend->requests().size();
  waitUntil([&] { return backend->requests().size() > polls + 3; });
  EXPECT_EQ(fx->destroy(), kOfxStatOK);
  setSlowSetter(std::chrono::milliseconds(0));
  // And the backend is told to stop the job nobody will collect.
  EXPECT_TRUE(backend->waitFor([&](const std::vector<Request>& seen) {
    return !seen.empty() && seen.back().method == "DELETE" && seen.back().path == "/api/matte/sessions/" + session;
  }));
}

TEST_F(WorkerTest, UnloadingThePluginWhileAJobPollsLeavesItMappedForANewHost) {
  auto fx = pollingJob();
  fx.reset();
  host.reset();  // destroys the instance, unloads the plug-in, closes the binary
  const std::string binary = kQuickBundle + "/Contents/Linux-x86-64/PrismhollowDuneVeil.ofx";
  void* still = dlopen(binary.c_str(), RTLD_NOW | RTLD_NOLOAD);
  EXPECT_NE(still, nullptr) << "the binary was unmapped under its worker";
  if (still) dlclose(still);

  host = std::make_unique<Host>();
  plugin = &host->loadPlugin(kQuickBundle);
  backend->onPoll({kCompleted});
  auto again = clip(2);
  EXPECT_EQ(job(*again), "ready: 2 frames matted");
}

TEST_F(WorkerTest, AProcessThatExitsMidPollStopsItsWorkerBeforeItsLibrariesGo) {
  // A fresh process, so that the plug-in's exit handling is registered after ours and runs before it.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  backend->onPoll({Reply{200, "", "application/json", true}});
  auto fx = clip(1);
  EXPECT_EXIT(
      {
        gThreadsBeforePull = threadCount();
        std::atexit(expectWorkerGone);
        pull(*fx);
        if (!backend->waitFor(polling)) std::_Exit(3);
        std::exit(0);  // the worker is inside a poll that never answers
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(newUploadDirs(), Texts{}) << "the exited process left its frames";
}

// The instance goes while its worker waits for a matte the backend holds:
// the transfer ends then, not at the speed floor 30 s later, so the next
// pull is not refused, and the mattes of the stopped job go with it.
TEST_F(WorkerRealTimingTest, DestroyingTheInstanceEndsItsTransferAtOnce) {
  backend->onMatte([](int) { return Reply{200, "", "image/png", true}; });
  auto fx = clip(1);
  pull(*fx);
  ASSERT_TRUE(backend->waitFor([](const std::vector<Request>& seen) {
    return !seen.empty() && seen.back().path.find("/alpha/") != std::string::npos;
  }));
  EXPECT_EQ(fx->destroy(), kOfxStatOK);
  backend->onMatte([](int f) { return Reply{200, greyPng(matteValue(f)), "image/png"}; });
  auto next = clip(1);
  EXPECT_EQ(job(*next), "ready: 1 frames matted");
  EXPECT_EQ(filesIn(kRoot), Texts{session}) << "the stopped job's mattes stayed";
}

TEST_F(WorkerRealTimingTest, AShortJobPollsAfterThreeSecondsAndEndsReady) {
  auto fx = clip(2);
  pull(*fx);
  EXPECT_EQ(settle(*fx, std::chrono::seconds(30)), "ready: 2 frames matted");
  EXPECT_EQ(messages(), Texts{"Prismhollow: alpha ready for 2 frames."});
  const std::vector<Request> starts = backend->requests("POST", "/start");
  const std::vector<Request> polls = backend->requests("GET", "/api/matte/sessions/" + session);
  ASSERT_EQ(starts.size(), 1u);
  ASSERT_EQ(polls.size(), 3u);  // one poll, two mattes
  EXPECT_GE(polls[0].at - starts[0].at, std::chrono::milliseconds(3000));
  EXPECT_EQ(filesIn(kRoot + session), (Texts{"000000.png", "000001.png", "frames.digest"}));
}

// The matting worker: its status texts, every way a job fails, and what
// happens when the instance, the plug-in or the process goes away mid-job.

#include <dlfcn.h>

#include <cstdlib>
#include <nlohmann/json.hpp>

#include "PullFixture.h"

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
    EXPECT_TRUE(waitUntil([&] { return fx->stringValue("status") == "tracking: masks"; }));
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

// Every failure of an 8-frame job: its text, the old session kept, and the
// call the job stopped at.
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
        createAs(std::string(129, 'a')), createAs(std::string(200, 'a'))})
    rows.push_back({"create " + what(r), [r](ScriptedBackend& b) { b.onCreate(r); }, "cannot reach backend",
                    "POST /api/matte/sessions", 1});
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
  rows.push_back(
      {"matte 5 is gone",
       [](ScriptedBackend& b) {
         b.onMatte([](int f) { return f == 5 ? Reply{404, "gone"} : Reply{200, greyPng(matteValue(f)), "image/png"}; });
       },
       "download failed at frame 5", call("GET", "/alpha/5.png"), 17});
  rows.push_back({"a file where the matte folder goes", [&](ScriptedBackend&) { std::ofstream(kRoot + session); },
                  "could not write matte 0", call("GET", "/alpha/0.png"), 12});
  rows.push_back({"a folder where matte 3 goes",
                  [&](ScriptedBackend&) { std::filesystem::create_directories(kRoot + session + "/000003.png"); },
                  "could not write matte 3", call("GET", "/alpha/3.png"), 15});
  auto fx = clip(8);
  fx->setValue("session_id", "previous");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::filesystem::remove_all(kRoot + session);
    backend = std::make_unique<ScriptedBackend>(session);
    fx->setValue("backend_url", backend->url());
    row.script(*backend);
    const std::set<std::string> before = uploadDirs();
    EXPECT_EQ(job(*fx), "failed: " + row.text);
    EXPECT_EQ(messages(), Texts{"Prismhollow: " + row.text});
    EXPECT_EQ(fx->stringValue("session_id"), "previous");
    const Texts all = calls();
    EXPECT_EQ(all.size(), row.calls);
    EXPECT_EQ(all.back(), row.last);
    EXPECT_EQ(newUploadDirs(before), Texts{}) << "the frames not sent stayed staged";
    if (row.calls == 17) {  // the mattes before the failure stay
      EXPECT_EQ(filesIn(kRoot + session),
                (Texts{"000000.png", "000001.png", "000002.png", "000003.png", "000004.png"}));
      EXPECT_EQ(readFile(kRoot + session + "/000004.png"), greyPng(matteValue(4)));
    }
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
    EXPECT_EQ(filesIn(kRoot + id), (Texts{"000000.png", "000001.png"}));
  }
}

TEST_F(WorkerTest, EachFrameIsUploadedUpToThreeTimes) {
  backend->onUpload([](int frame, int attempt) { return frame == 2 && attempt < 3 ? 500 : 200; });
  auto fx = clip(5);
  EXPECT_EQ(job(*fx), "ready: 5 frames matted");
  const std::vector<Request> uploads = backend->requests("PUT", "/frames/");
  Texts frames;
  for (const Request& r : uploads) frames.push_back(r.path.substr(r.path.rfind('/') + 1));
  EXPECT_EQ(frames, (Texts{"0", "1", "2", "2", "2", "3", "4"}));
  EXPECT_TRUE(uploads[2].body == uploads[3].body && uploads[3].body == uploads[4].body);
  EXPECT_EQ(newUploadDirs(), Texts{});
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

  backend->onPoll({Reply{503, "down"}});  // 503 for ever
  EXPECT_EQ(job(*fx), "failed: backend stopped answering");
  EXPECT_EQ(messages(), Texts{"Prismhollow: backend stopped answering"});

  ScriptedBackend dying(session);  // a port that closes while the job polls
  dying.onPoll({Reply{200, "", "application/json", true}});
  fx->setValue("backend_url", dying.url());
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
  EXPECT_EQ(filesIn(kRoot + session), (Texts{"000000.png", "000001.png"}));
}

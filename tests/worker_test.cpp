// The matting worker, through our host and the real bundle against a
// scripted backend: its status texts, every way a job fails, and what
// happens when the instance, the plug-in or the process goes away mid-job.

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "PullFixture.h"

using namespace ofxhost;

namespace {

class WorkerTest : public PullTest {
 protected:
  Reply createAs(const std::string& id) { return Reply{200, nlohmann::json{{"session_id", id}}.dump()}; }
  Texts statusesSince(std::size_t from) const {
    const Texts all = edits.values("status");
    return Texts(all.begin() + static_cast<std::ptrdiff_t>(from), all.end());
  }
  // The paths asked for with this method, in order.
  Texts paths(const std::string& method, const std::string& part) const {
    Texts found;
    for (const Request& r : backend->requests(method, part)) found.push_back(r.path);
    return found;
  }
};

class WorkerRealTimingTest : public WorkerTest {
 protected:
  std::string bundle() const override { return kRealBundle; }
};

const Reply kRunning{200, R"({"status":"RUNNING"})"};
const Reply kCompleted{200, R"({"status":"COMPLETED"})"};
Reply stage(const std::string& text) {
  return Reply{200, R"({"status":"RUNNING","progress":{"stage":")" + text + "\"}}"};
}

int threadCount() {
  int n = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) n += task.exists();
  return n;
}

std::atomic<int> gThreadsBeforePull{0};

// At exit, after the plug-in's own exit handling: its worker must be gone
// by now (5 s at most), before the libraries under it are torn down.
void expectWorkerGone() {
  if (!waitUntil([] { return threadCount() <= gThreadsBeforePull; }, std::chrono::seconds(5))) std::_Exit(5);
}

}  // namespace

TEST_F(WorkerTest, StatusTextsFollowTheJobIn24FrameSteps) {
  // Only a "progress" object changes the status; failed and unreadable
  // polls change nothing.
  const std::vector<Reply> polls = {kRunning,
                                    stage("masks"),
                                    Reply{503, "busy"},
                                    Reply{200, "<html>busy</html>", "text/html"},
                                    Reply{200, "[]"},
                                    Reply{200, R"({"status":5,"progress":{"stage":"wrong type"}})"},
                                    Reply{200, R"({"status":"RUNNING","progress":5})"},
                                    Reply{200, R"({"status":"RUNNING","progress":{}})"},
                                    Reply{200, R"({"status":"RUNNING","progress":{"stage":7}})"},
                                    Reply{200, R"({"progress":{"stage":"matting"}})"},
                                    Reply{200, R"({"status":"completed"})"},
                                    kCompleted};
  const Texts tracking = {"tracking: masks", "tracking: ...", "tracking: ...", "tracking: matting"};
  for (int n : {24, 25}) {
    SCOPED_TRACE(n);
    const std::string of = "/" + std::to_string(n);
    Texts expected = {"grabbing " + std::to_string(n) + " frames...", "uploading 1" + of};
    if (n == 25) expected.push_back("uploading 25/25");
    expected.insert(expected.end(), tracking.begin(), tracking.end());
    expected.push_back("downloading matte 1" + of);
    if (n == 25) expected.push_back("downloading matte 25/25");
    expected.push_back("ready: " + std::to_string(n) + " frames matted");

    backend->onPoll(polls);
    auto fx = clip(n, 16, 16);
    const std::size_t before = edits.values("status").size();
    pull(*fx);
    ASSERT_EQ(settle(*fx), expected.back());
    EXPECT_EQ(statusesSince(before), expected);
    EXPECT_EQ(messages(), Texts{"Prismhollow: alpha ready for " + std::to_string(n) + " frames."});
  }
}

TEST_F(WorkerTest, AFailedCreateOrAnUnsafeSessionIdCannotReachTheBackend) {
  const std::string escape = "pull-escape-" + std::to_string(getpid());
  const std::pair<const char*, Reply> rows[] = {
      {"503", Reply{503, R"({"session_id":"s"})"}},
      {"an HTML page", Reply{200, "<html><body>Sign in</body></html>", "text/html"}},
      {"an empty body", Reply{200, ""}},
      {"an array", Reply{200, R"(["s"])"}},
      {"a string", Reply{200, R"("s")"}},
      {"a number as id", Reply{200, R"({"session_id":42})"}},
      {"no id", Reply{200, R"({"id":"s"})"}},
      {"an empty id", createAs("")},
      {"an id that climbs", createAs("../" + escape)},
      {"an id with a slash", createAs("a/" + escape)},
      {"\".\"", createAs(".")},
      {"\"..\"", createAs("..")},
      {"an id with a space", createAs("a b")},
      {"a non-ASCII id", createAs("caf\xC3\xA9")},
      {"129 bytes", createAs(std::string(129, 'a'))},
      {"200 bytes", createAs(std::string(200, 'a'))},
  };
  auto fx = clip(2);
  fx->setValue("session_id", "previous");
  for (const auto& [what, reply] : rows) {
    backend->onCreate(reply);
    pull(*fx);
    EXPECT_EQ(settle(*fx), "failed: cannot reach backend") << what;
    EXPECT_EQ(messages(), Texts{"Prismhollow: cannot reach backend"}) << what;
  }
  ScriptedBackend gone;
  gone.stop();
  fx->setValue("backend_url", gone.url());
  pull(*fx);
  EXPECT_EQ(settle(*fx), "failed: cannot reach backend") << "a closed port";

  EXPECT_EQ(fx->stringValue("session_id"), "previous");
  EXPECT_EQ(backend->requests().size(), std::size(rows)) << "only creates";
  EXPECT_FALSE(std::filesystem::exists("/tmp/" + escape));
  EXPECT_FALSE(std::filesystem::exists(kRoot + "a"));
}

TEST_F(WorkerTest, SessionIdsOfSafeCharactersUpTo128BytesAreUsedAsGiven) {
  const std::string tag = std::to_string(getpid());
  for (const std::string& id : {"A.b_c-9." + tag, tag + std::string(128 - tag.size(), 'x')}) {
    madeDirs.push_back(kRoot + id);
    backend->onCreate(createAs(id));
    auto fx = clip(2);
    pull(*fx);
    EXPECT_EQ(settle(*fx), "ready: 2 frames matted") << id;
    EXPECT_EQ(fx->stringValue("session_id"), id);
    EXPECT_EQ(paths("PUT", "/frames/").back(), "/api/matte/sessions/" + id + "/frames/1");
    EXPECT_EQ(filesIn(kRoot + id), (Texts{"000000.png", "000001.png"}));
  }
}

TEST_F(WorkerTest, EachFrameIsUploadedUpToThreeTimes) {
  backend->onUpload([](int frame, int attempt) { return frame == 2 && attempt < 3 ? 500 : 200; });
  auto fx = clip(5);
  pull(*fx);
  EXPECT_EQ(settle(*fx), "ready: 5 frames matted");
  const std::vector<Request> uploads = backend->requests("PUT", "/frames/");
  Texts frames;
  for (const Request& r : uploads) frames.push_back(r.path.substr(r.path.rfind('/') + 1));
  EXPECT_EQ(frames, (Texts{"0", "1", "2", "2", "2", "3", "4"}));
  EXPECT_TRUE(uploads[2].body == uploads[3].body && uploads[3].body == uploads[4].body);
  EXPECT_TRUE(filesIn(newUploadDirs(uploadsBefore).at(0)).empty());

  backend->onUpload([](int frame, int) { return frame == 2 ? 503 : 201; });
  fx->setValue("session_id", "previous");
  const std::set<std::string> before = uploadDirs();
  pull(*fx);
  EXPECT_EQ(settle(*fx), "failed: upload failed at frame 2");
  EXPECT_EQ(messages(), Texts{"Prismhollow: upload failed at frame 2"});
  EXPECT_EQ(fx->stringValue("session_id"), "previous");
  EXPECT_EQ(backend->requests("PUT", "/frames/").size(), uploads.size() + 5);
  EXPECT_EQ(backend->requests("POST", "/start").size(), 1u) << "the failed job started nothing";
  EXPECT_EQ(filesIn(newUploadDirs(before).at(0)), (Texts{"000002.jpg", "000003.jpg", "000004.jpg"}));
}

TEST_F(WorkerTest, AStartRefusalShowsTheFirst160BytesOfItsBody) {
  std::string long300;
  for (int i = 0; i < 300; ++i) long300 += static_cast<char>('a' + i % 26);
  const std::pair<Reply, std::string> rows[] = {
      {Reply{400, long300, "text/plain"}, "start rejected: " + long300.substr(0, 160)},
      {Reply{409, "already started"}, "start rejected: already started"},
      {Reply{500, ""}, "start rejected: "},
      {Reply::cutOff(), "start rejected: "},  // a transfer failure after a 200
  };
  auto fx = clip(1);
  fx->setValue("session_id", "previous");
  for (const auto& [reply, text] : rows) {
    backend->onStart(reply);
    pull(*fx);
    EXPECT_EQ(settle(*fx), "failed: " + text);
    EXPECT_EQ(messages(), Texts{"Prismhollow: " + text});
  }
  EXPECT_EQ(fx->stringValue("session_id"), "previous");
  EXPECT_TRUE(paths("GET", "/api/").empty()) << "no job was polled";
}

TEST_F(WorkerTest, AFailedJobShowsTheBackendsErrorOrMattingFailed) {
  const std::pair<std::string, std::string> rows[] = {
      {R"({"status":"FAILED","error":"the character left the frame"})", "the character left the frame"},
      {R"({"status":"FAILED"})", "matting failed"},
      {R"({"status":"FAILED","error":42})", "matting failed"},
      {R"({"status":"FAILED","error":null,"progress":{"stage":"masks"}})", "matting failed"},
  };
  auto fx = clip(2);
  fx->setValue("session_id", "previous");
  for (const auto& [answer, text] : rows) {
    backend->onPoll({stage("masks"), Reply{200, answer}});
    pull(*fx);
    EXPECT_EQ(settle(*fx), "failed: " + text);
    EXPECT_EQ(messages(), Texts{"Prismhollow: " + text});
  }
  EXPECT_EQ(fx->stringValue("session_id"), "previous");
  EXPECT_TRUE(paths("GET", "/alpha/").empty());
}

TEST_F(WorkerTest, ADownloadFailureKeepsTheEarlierMattesAndTheOldSession) {
  backend->onMatte([](int frame) {
    return frame == 5 ? Reply{404, "gone"} : Reply{200, greyPng(matteValue(frame)), "image/png"};
  });
  auto fx = clip(8);
  fx->setValue("session_id", "previous");
  pull(*fx);
  EXPECT_EQ(settle(*fx), "failed: download failed at frame 5");
  EXPECT_EQ(messages(), Texts{"Prismhollow: download failed at frame 5"});
  EXPECT_EQ(fx->stringValue("session_id"), "previous");
  EXPECT_EQ(filesIn(kRoot + session), (Texts{"000000.png", "000001.png", "000002.png", "000003.png", "000004.png"}));
  EXPECT_EQ(readFile(kRoot + session + "/000004.png"), greyPng(matteValue(4)));
  EXPECT_EQ(paths("GET", "/alpha/").back(), "/api/matte/sessions/" + session + "/alpha/5.png");
}

TEST_F(WorkerTest, AMatteThatCannotBeWrittenFailsTheJobNamingIt) {
  const std::pair<std::function<void()>, std::string> rows[] = {
      {[&] { std::ofstream(kRoot + session); }, "could not write matte 0"},  // a file where the folder goes
      {[&] { std::filesystem::create_directories(kRoot + session + "/000003.png"); }, "could not write matte 3"},
  };
  auto fx = clip(5);
  fx->setValue("session_id", "previous");
  for (const auto& [plant, text] : rows) {
    std::filesystem::remove_all(kRoot + session);
    plant();
    pull(*fx);
    EXPECT_EQ(settle(*fx), "failed: " + text);
    EXPECT_EQ(messages(), Texts{"Prismhollow: " + text});
    EXPECT_EQ(fx->stringValue("session_id"), "previous");
  }
}

TEST_F(WorkerTest, ResetDuringAJobDoesNotStopIt) {
  backend->onPoll({stage("masks")});
  auto fx = clip(2);
  pull(*fx);
  ASSERT_TRUE(waitStatus(*fx, "tracking: masks"));
  EXPECT_EQ(fx->pressButton("reset_matte"), kOfxStatOK);
  const Texts ids = edits.values("session_id");
  EXPECT_EQ(ids, Texts{""});
  backend->onPoll({kCompleted});
  EXPECT_EQ(settle(*fx), "ready: 2 frames matted");
  EXPECT_EQ(fx->stringValue("session_id"), session);
  const Texts statuses = edits.values("status");
  EXPECT_NE(std::find(statuses.begin(), statuses.end(), "idle"), statuses.end());
}

TEST_F(WorkerTest, ABackendThatStopsAnsweringEndsTheJobAfterTheSilenceLimit) {
  // Answers now and then keep a job alive well past the limit.
  std::vector<Reply> answering;
  for (int i = 0; i < 40; ++i) answering.insert(answering.end(), {Reply{503, ""}, Reply{200, "{"}, kRunning});
  answering.push_back(kCompleted);
  backend->onPoll(answering);
  auto fx = clip(1);
  pull(*fx);
  EXPECT_EQ(settle(*fx), "ready: 1 frames matted");
  EXPECT_EQ(paths("GET", "/api/matte/sessions/").size(), answering.size() + 1) << "polls and one matte";

  // 503 for ever, then a port that closes while the job polls.
  backend->onPoll({Reply{503, "down"}});
  pull(*fx);
  EXPECT_EQ(settle(*fx), "failed: backend stopped answering");
  EXPECT_EQ(messages(), Texts{"Prismhollow: backend stopped answering"});

  ScriptedBackend dying(session);
  dying.onPoll({Reply::stalled()});
  fx->setValue("backend_url", dying.url());
  pull(*fx);
  ASSERT_TRUE(dying.waitFor(polling));
  dying.stop();
  EXPECT_EQ(settle(*fx), "failed: backend stopped answering");
  fx->setValue("backend_url", backend->url());
  backend->onPoll({kCompleted});
  pull(*fx);
  EXPECT_EQ(settle(*fx), "ready: 1 frames matted");
}

TEST_F(WorkerTest, ADestroyedInstanceStopsItsWorkerQuietly) {
  backend->onPoll({stage("masks")});
  auto fx = clip(2);
  pull(*fx);
  ASSERT_TRUE(waitStatus(*fx, "tracking: masks"));
  auto status = fx->param("status");
  host->messages().clear();
  EXPECT_EQ(fx->destroy(), kOfxStatOK);

  backend->onCreate(createAs(session + "-2"));
  madeDirs.push_back(kRoot + session + "-2");
  backend->onPoll({kCompleted});
  auto next = clip(1);
  pull(*next);
  EXPECT_EQ(settle(*next), "ready: 1 frames matted");
  EXPECT_EQ(status->stringValue(), std::string("tracking: masks"));
  for (const auto& m : host->messages().all())
    EXPECT_TRUE(m.text == kBusy || m.text == "Prismhollow: alpha ready for 1 frames.") << m.text;
  EXPECT_TRUE(paths("GET", "/api/matte/sessions/" + session + "/alpha/").empty());
}

TEST_F(WorkerTest, UnloadingThePluginWhileAJobPollsLeavesItMappedForANewHost) {
  backend->onPoll({stage("masks")});
  auto fx = clip(2);
  pull(*fx);
  ASSERT_TRUE(waitStatus(*fx, "tracking: masks"));
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
  pull(*again);
  EXPECT_EQ(settle(*again), "ready: 2 frames matted");
}

TEST_F(WorkerTest, AProcessThatExitsMidPollStopsItsWorkerBeforeItsLibrariesGo) {
  // A fresh process, so that the plug-in's exit handling is registered
  // after ours and runs before it.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  backend->onPoll({Reply::stalled()});
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
}

TEST_F(WorkerRealTimingTest, AShortJobPollsAfterThreeSecondsAndEndsReady) {
  auto fx = clip(2);
  pull(*fx);
  EXPECT_EQ(settle(*fx, std::chrono::seconds(30)), "ready: 2 frames matted");
  EXPECT_EQ(fx->stringValue("session_id"), session);
  EXPECT_EQ(messages(), Texts{"Prismhollow: alpha ready for 2 frames."});
  const std::vector<Request> starts = backend->requests("POST", "/start");
  const std::vector<Request> polls = backend->requests("GET", "/api/matte/sessions/" + session);
  ASSERT_EQ(starts.size(), 1u);
  ASSERT_EQ(polls.size(), 3u);  // one poll, two mattes
  EXPECT_GE(polls[0].at - starts[0].at, std::chrono::milliseconds(3000));
  EXPECT_EQ(filesIn(kRoot + session), (Texts{"000000.png", "000001.png"}));
}

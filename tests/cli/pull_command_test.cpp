// prismhollow pull as a user runs it: a real clip, the real bundle and a
// real local backend, and the ways a job ends early.

#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>

#include <regex>
#include <thread>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

#include "BackendProcess.h"
#include "PullFixture.h"

namespace fs = std::filesystem;

namespace {

const std::string kWithBackend = "PATH=" + quoted(BACKEND_DIR) + ":\"$PATH\" ";

// Each test stages through the plug-in in the command it runs.
class PullCommand : public ::testing::Test {
  void SetUp() override {
    if (!canStage()) GTEST_SKIP() << "the shared staging root " << kStagingRoot << " is another user's";
  }
};

// The processes of process group `group` that have not ended, from /proc.
int runningInGroup(pid_t group) {
  int count = 0;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    if (entry.path().filename().string().find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = readFile(entry.path() / "stat");
    char state = 0;
    int parent = 0, pgrp = 0;
    const std::size_t after = stat.rfind(')');  // past the command's name, which may hold anything
    if (after != std::string::npos && std::sscanf(stat.c_str() + after + 1, " %c %d %d", &state, &parent, &pgrp) == 3)
      count += pgrp == group && state != 'Z';
  }
  return count;
}

// Runs prismhollow pull with the real bundle, killed after two minutes.
Outcome pull(const std::string& args, const std::string& environment = kWithBackend) {
  return run(quoted(PRISMHOLLOW_COMMAND) + " pull --bundle " + quoted(ORV_BUNDLE_DIR) + " " + args, environment, 120);
}

// The man's shot (the woman's are held out of everything but scoring),
// with the background excluded on a later frame as a correction.
TEST_F(PullCommand, MattesTheBoxedManThroughTheSecondShot) {
  TempDir out("pull-command");
  const Outcome r = pull(kMegamind + " --frames 98:121 --anchor 110 --box-px 340,10,380,518 --exclude 116:0.1,0.5" +
                         " --quality fine --out " + quoted(out.path));
  ASSERT_EQ(r.exitCode, 0) << r.output;
  // Not a terminal: plain lines naming each stage as it begins (the
  // matting's shows only when a 3 s status poll falls within it), with one
  // share of the whole pull that never goes back, the time each stage took,
  // and the plug-in's own message.
  int shown = 0;
  std::string stages;
  for (const std::string& line : r.lines())
    if (int percent = -1, at = 0; std::sscanf(line.c_str(), "[%*d:%*d] %d%% %n", &percent, &at) == 1) {
      EXPECT_GE(percent, shown) << line;
      shown = percent;
      stages += line.substr(at, line.find_first_of(" :", at) - at) + " ";
    }
  EXPECT_TRUE(std::regex_match(stages, std::regex("(staging )+(uploading )+([a-z]+ )*(rendering )+"))) << r.output;
  EXPECT_TRUE(std::regex_search(r.output, std::regex("s a frame: staging [0-9.]+ s, uploading [0-9.]+ s, matting "
                                                     "[0-9.]+ s, waiting for the status poll [0-9.]+ s, downloading "
                                                     "[0-9.]+ s, rendering [0-9.]+ s\n")))
      << r.output;
  EXPECT_TRUE(contains(r.output, "Prismhollow: alpha ready for 24 frames.")) << r.output;
  EXPECT_TRUE(contains(r.output, "\n  the character on 24 of 24 frames\n")) << r.output;

  const cv::Rect box(340, 10, 380, 518);
  for (int frame = 98; frame <= 121; ++frame) {  // named by the clip's frame numbers
    const std::string name = contract::frame_name(frame, ".png");
    const cv::Mat png = cv::imread((out.path / name).string(), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(png.type(), CV_8UC4) << name;
    ASSERT_EQ(png.size(), cv::Size(720, 528)) << name;
    cv::Mat alpha;
    cv::extractChannel(png, alpha, 3);
    const double covered = cv::countNonZero(alpha(box) > 128) / double(box.area());
    alpha(box).setTo(0);
    const double outsideOpaque = cv::countNonZero(alpha > 128) / double(720 * 528 - box.area());
    EXPECT_GT(covered, 0.3) << name;
    EXPECT_LT(outsideOpaque, 0.1) << name;
  }
  const cv::Mat sheet = cv::imread((out.path / "contact-sheet.png").string());
  EXPECT_GT(sheet.cols, sheet.rows);
  // One column, the corrected frame's, is outlined in the corrections' colour:
  // 2 pixels around its 240 x 536 cells, 3120 pixels.
  cv::Mat outline;
  cv::inRange(sheet, cv::Scalar(230, 90, 220), cv::Scalar(230, 90, 220), outline);
  EXPECT_NEAR(cv::countNonZero(outline), 3120, 300);
  EXPECT_GT(fs::file_size(out.path / "preview.mp4"), 1000u);
}

TEST_F(PullCommand, EndsWithAReasonWhenTheJobCannotBeDone) {
  TempDir tmp("pull-command");
  const std::string garbage = (tmp.path / "garbage.avi").string();
  std::ofstream(garbage) << std::string(5000, 'x');
  const std::string missing = (tmp.path / "none.json").string(), shortPoint = (tmp.path / "short.json").string();
  std::ofstream(shortPoint) << R"([{"frame": 99, "add": [[0.5, 0.5]]}, {"frame": 100, "exclude": [0.5, 0.5]}])";
  ScriptedBackend refusing, stranger, failing;
  refusing.onStart(Reply{422, "anchor outside the clip"});
  failing.onPoll({ok(R"({"status":"FAILED","error":"frame 2 cannot be read"})")});
  stranger.onRoot(Reply{501, "not implemented", "text/plain"});
  const std::string clip = kMegamind + " --box 0.2,0.1,0.4,0.8 --frames 98:100 --out " + quoted(tmp.path / "out");
  const std::vector<std::tuple<std::string, std::string, int, std::string>> cases = {
      {"/no/such.avi --box 0,0,1,1", kWithBackend, 1, "no such file or folder: /no/such.avi"},
      {quoted(garbage) + " --box 0,0,1,1", kWithBackend, 1, "cannot decode " + garbage},
      {kMegamind + " --frames 0:300 --box 0,0,1,1", kWithBackend, 2, "inside the clip's frames 0:269"},
      {kMegamind, kWithBackend, 2, "mark the character"},
      {kMegamind + " --hint man", kWithBackend, 2, "a text hint alone is not understood by prismhollow-backend"},
      {clip + " --out " + quoted(garbage), kWithBackend, 1, garbage + " is not a folder"},
      {clip + " --out /proc/self/out", kWithBackend, 1,
       "cannot write the results in /proc/self/out: No such file or directory"},
      {clip + " --backend http://127.0.0.1:1", "", 1, "cannot reach the backend at http://127.0.0.1:1"},
      {clip, "PATH=/usr/bin:/bin ", 1, "prismhollow-backend is neither beside prismhollow nor in PATH"},
      {clip + " --backend " + refusing.url(), "", 1, "failed: start rejected: anchor outside the clip"},
      {clip + " --backend " + failing.url(), "", 1, "prismhollow: failed: frame 100 cannot be read\n"},
      {clip + " --backend " + stranger.url(), "", 1,
       stranger.url().substr(7) + " answered HTTP 501: not a prismhollow backend"},
      {clip + " --box-px 99:10,10,50,50", kWithBackend, 2,
       "prismhollow pull: --box-px 99:10,10,50,50: one box per pull (the overlay keeps one box), and --box "
       "0.2,0.1,0.4,0.8 is given already; correct other frames with --add F:X,Y or --exclude F:X,Y\n"},
      {kMegamind + " --frames 98:100 --box 110:0.1,0.1,0.5,0.5", kWithBackend, 2,
       "prismhollow: a box on frame 110 lies outside the frames pulled, 98 to 100\n"},
      {clip + " --exclude 130:0.5,0.5", kWithBackend, 2,
       "prismhollow: a correction on frame 130 lies outside the frames pulled, 98 to 100\n"},
      {clip + " --corrections " + quoted(missing), kWithBackend, 2,
       "prismhollow pull: --corrections " + missing + ": cannot be read\n"},
      {clip + " --corrections " + quoted(garbage), kWithBackend, 2,
       "prismhollow pull: --corrections " + garbage + ": is not JSON\n"},
      {clip + " --corrections " + quoted(shortPoint), kWithBackend, 2,
       "prismhollow pull: --corrections " + shortPoint +
           R"(: correction on frame 100: "exclude" must be an array of points [x, y])" + "\n"},
  };
  for (const auto& [args, environment, exitCode, part] : cases) {
    const Outcome r = pull(args, environment);
    EXPECT_EQ(r.exitCode, exitCode) << args << "\n" << r.output;
    EXPECT_TRUE(contains(r.output, part)) << args << "\n" << r.output;
  }
  // A second --bundle wins over the real one.
  const Outcome r = pull(clip + " --bundle " + quoted(tmp.path / "Gone.ofx.bundle"));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(contains(r.output, "cannot load the plug-in: no such file or folder")) << r.output;
}

// OUT on a read-only or a full file system, found before the job, and on
// one with room for a frame but not for all: the system's reason, and
// nothing left there.
TEST_F(PullCommand, AnOutThatCannotTakeTheResultsIsNamedWithTheSystemsReason) {
  if (!hasPrivateTmp()) GTEST_SKIP() << "no mount namespace of our own to mount the file systems in";
  TempDir tmp("pull-command");
  const fs::path readOnly = tmp.path / "ro", full = tmp.path / "full", small = tmp.path / "small";
  for (const auto& [dir, options] : {std::pair{readOnly, "size=1m,mode=0777"}, {full, "size=1m,mode=0777"},
                                     {small, "size=1600k,mode=0777"}}) {
    fs::create_directory(dir);
    ASSERT_EQ(::mount("tmpfs", dir.c_str(), "tmpfs", dir == readOnly ? MS_RDONLY : 0, options), 0) << dir;
  }
  struct Unmount {
    std::vector<fs::path> dirs;
    ~Unmount() {
      for (const fs::path& dir : dirs) ::umount2(dir.c_str(), MNT_DETACH);
    }
  } unmount{{readOnly, full, small}};
  std::ofstream(full / "filler") << std::string(1 << 20, 'x');
  for (const auto& [dir, part, left] :
       {std::tuple{readOnly, ": Read-only file system\n", Texts{}}, {full, ": No space left on device\n", Texts{"filler"}},
        {small, ".png: No space left on device\n", Texts{}}}) {
    const Outcome r = pull(kMegamind + " --box 0.2,0.1,0.4,0.8 --frames 98:109 --quality fast --out " +
                           quoted(dir / "out"));
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_TRUE(contains(r.output, "cannot write ") && contains(r.output, part)) << r.output;
    EXPECT_FALSE(contains(r.output, "libpng")) << r.output;
    EXPECT_EQ(filesIn(dir.string()), left);
  }
}

// The marks given in the clip's own terms (top-left origin) reach the
// backend as the overlay stores them, those on another frame, the box
// among them, as its correction.
TEST_F(PullCommand, TheMarksReachTheBackendAsGiven) {
  TempDir tmp("pull-command");
  ScriptedBackend refusing;
  refusing.onStart(Reply{422, "no"});
  const std::string corrections = (tmp.path / "corrections.json").string();
  std::ofstream(corrections) << R"([{"frame": 99, "add": [[0.5, 0.5]]}])";
  const Outcome r = pull(kMegamind + " --frames 98:99 --box-px 99:72,66,144,264 --add 0.5,0.25 --exclude 0.75,0.5" +
                             " --exclude 99:0.25,0.75 --corrections " + quoted(corrections) + " --backend " +
                             refusing.url() + " --out " + quoted(tmp.path / "out"),
                         "");
  ASSERT_EQ(r.exitCode, 1) << r.output;
  auto start = nlohmann::json::parse(refusing.requests("POST", "/start").at(0).body);
  ASSERT_FALSE(start.contains("bbox")) << start.dump();
  const nlohmann::json& boxed = start["corrections"][0]["bbox"];
  const std::vector<double> box = {boxed["x"], boxed["y"], boxed["w"], boxed["h"]}, wantBox = {0.1, 0.125, 0.2, 0.5};
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(box[i], wantBox[i], 1e-9) << start.dump();
  ASSERT_EQ(start["strokes"].size(), 2u) << start.dump();
  const double wantDabs[2][2] = {{0.5, 0.25}, {0.75, 0.5}};
  for (int d = 0; d < 2; ++d) {
    EXPECT_NEAR(start["strokes"][d][0].get<double>(), wantDabs[d][0], 1e-9) << start.dump();
    EXPECT_NEAR(start["strokes"][d][1].get<double>(), wantDabs[d][1], 1e-9) << start.dump();
    EXPECT_EQ(start["strokes"][d][2].get<double>() > 0, d == 0) << "adds, then excludes: " << start.dump();
  }
  start["corrections"][0].erase("bbox");
  EXPECT_EQ(start["corrections"].dump(), R"([{"frame":1,"strokes":[[0.25,0.75,-0.03],[0.5,0.5,0.03]]}])");
}

// A re-pull into the same folder from the same backend starts on the
// session the first left, as a saved project does: no frame goes up again.
TEST_F(PullCommand, ARePullWithABackendReusesTheFramesItHolds) {
  if (!hasPrivateTmp()) GTEST_SKIP() << "the session's mattes stay in the staging root";
  TempDir tmp("pull-command");
  ScriptedBackend backend;
  backend.onPoll({ok(R"({"status":"COMPLETED","frames":2})")});
  const std::string args = kMegamind + " --frames 98:99 --box 0.2,0.1,0.4,0.8 --backend " + backend.url() + " --out " +
                           quoted(tmp.path / "out");
  const Outcome first = pull(args, ""), refused = pull(args, ""), again = pull(args + " --overwrite", "");
  ASSERT_EQ(first.exitCode, 0) << first.output;
  EXPECT_EQ(refused.exitCode, 2);
  EXPECT_TRUE(contains(refused.output, "holds the results of another pull (5 files); add --overwrite")) << refused.output;
  ASSERT_EQ(again.exitCode, 0) << again.output;
  EXPECT_TRUE(contains(again.output, "reusing the 2 frames the backend holds")) << again.output;
  EXPECT_EQ(backend.requests("PUT").size(), 2u) << "the frames went up again";
}

// Ctrl-C in each stage, with a local backend and with one given by
// --backend: exit 130, nothing left running, no results and no temporary
// folder left, and a session the backend holds for nobody forgotten there.
TEST_F(PullCommand, CtrlCInEachStageLeavesNothingBehind) {
  const auto slowly = [] { std::this_thread::sleep_for(std::chrono::milliseconds(150)); };
  ScriptedBackend uploadsSlowly, downloadsSlowly;
  uploadsSlowly.onUpload([&](int, int) { return slowly(), 201; });
  downloadsSlowly.onMatte([&](int f) { return slowly(), Reply{200, greyPng(matteValue(f)), "image/png"}; });
  TempDir data("pull-command-data");
  const fs::path backendLog = data.path / "log";
  BackendProcess real(data.path / "backend", backendLog);
  const struct {
    std::string stage;       // Ctrl-C once the progress shows it
    ScriptedBackend* given;  // --backend
    bool realGiven;
  } rows[] = {{"staging", nullptr, false},   {"staging", nullptr, true},   {"uploading", &uploadsSlowly, false},
              {"tracking", nullptr, false},  {"tracking", nullptr, true},  {"downloading", &downloadsSlowly, false},
              {"rendering", nullptr, false}, {"rendering", nullptr, true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.stage + (row.given || row.realGiven ? " with --backend" : ""));
    TempDir tmp("pull-command");
    const std::string log = (tmp.path / "log").string();
    const std::string backend = row.given ? " --backend " + row.given->url() : row.realGiven ? " --backend " + real.url() : "";
    const std::string command = kWithBackend + "TMPDIR=" + quoted(tmp.path) + " exec " + quoted(PRISMHOLLOW_COMMAND) +
                                " pull " + kMegamind +
                                (row.stage == "tracking" ? " --frames 98:153 --quality fine" : " --frames 98:129 --quality fast") +
                                " --box 0.47,0.02,0.53,0.98" +
                                backend + " --bundle " + quoted(ORV_BUNDLE_DIR) + " --out " +
                                quoted(tmp.path / "out") + " 2>" + quoted(log);
    const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);  // a process group of its own, as a terminal job
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, "/bin/sh", nullptr, &attr, const_cast<char**>(argv), environ), 0);
    posix_spawnattr_destroy(&attr);
    // The job itself is seen at the plug-in's polls, 3 s apart: a whole
    // shot at fine quality runs across one, anchor or tracking.
    const bool job = row.stage == "tracking";
    EXPECT_TRUE(waitUntil(
        [&] {
          const std::string text = readFile(log);
          return contains(text, "% " + row.stage) || (job && contains(text, "% finding the character"));
        },
        std::chrono::seconds(90)))
        << readFile(log);
    // The group signalled is this child's own, and the child is still running.
    ASSERT_TRUE(pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) << readFile(log);
    kill(-pid, SIGINT);
    // Ended but not yet reaped, its id is still its group's: who is left in it.
    siginfo_t ended{};
    waitid(P_PID, pid, &ended, WEXITED | WNOWAIT);
    EXPECT_EQ(ended.si_code == CLD_EXITED ? ended.si_status : -1, 130) << readFile(log);
    EXPECT_EQ(runningInGroup(pid), 0) << "a process of the job is still running";
    waitpid(pid, nullptr, 0);
    EXPECT_TRUE(contains(readFile(log), "prismhollow: interrupted; the job is stopped and nothing is left running\n"))
        << readFile(log);
    EXPECT_EQ(filesIn(tmp.path.string()), (Texts{"log"})) << "the backend's or the results' folder is left";
    if (row.given) {
      const bool made = !row.given->requests("POST", "/api/matte/sessions").empty();
      EXPECT_EQ(made, row.stage != "staging");
      EXPECT_EQ(made, row.given->waitFor([](const std::vector<Request>& seen) {
        return !seen.empty() && seen.back().method == "DELETE";
      })) << "the session is left on the backend";
    }
  }
  // The real backend stopped the job and forgot the session.
  EXPECT_TRUE(waitUntil([&] { return filesIn((data.path / "backend" / "sessions").string()).empty(); }))
      << readFile(backendLog.string());
  EXPECT_TRUE(contains(readFile(backendLog.string()), "stopped: the session was deleted")) << readFile(backendLog.string());
}

}  // namespace

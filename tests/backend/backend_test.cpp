// prismhollow-backend from a client's side: a real process on a loopback
// port, every refusal and limit, whole jobs, restarts, expiry and the disk
// budget.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <opencv2/videoio.hpp>
#include <random>
#include <regex>

#include "BackendProcess.h"
#include "PullFixture.h"

namespace {

// The bytes sent on a fresh connection to the server at url, and all that
// comes back until it closes.
std::string exchange(const std::string& url, const std::string& bytes) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(std::stoi(url.substr(url.rfind(':') + 1))));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const timeval limit{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::string answer;
  char buffer[4096];
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
      send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size()))
    for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, static_cast<std::size_t>(n));
  close(fd);
  return answer;
}

struct Call {
  std::string method, path, body;
  int status;
  std::string reason;
  httplib::Headers headers = {};
};

// The status and body of one request; -1 when there was no answer.
std::pair<int, std::string> send(httplib::Client& http, const Call& c) {
  const char* type = c.method == "PUT" ? "image/jpeg" : "application/json";
  const httplib::Headers& h = c.headers;
  httplib::Result r = c.method == "GET"      ? http.Get(c.path, h)
                      : c.method == "POST"   ? http.Post(c.path, h, c.body, type)
                      : c.method == "PUT"    ? http.Put(c.path, h, c.body, type)
                      : c.method == "PATCH"  ? http.Patch(c.path, h, c.body, type)
                      : c.method == "DELETE" ? http.Delete(c.path, h)
                                             : http.Options(c.path, h);
  return r ? std::pair{r->status, r->body} : std::pair{-1, std::string()};
}

std::string startWith(const json& changes) {
  json body = json::parse(discStart());
  body.update(changes);
  for (auto it = changes.begin(); it != changes.end(); ++it)
    if (it->is_null()) body.erase(it.key());
  return body.dump();
}

}  // namespace

TEST_F(BackendTest, EveryRefusalIsA4xxThatSaysWhy) {
  auto backend =
      start({"--max-frames", "5", "--max-side", "300", "--max-frame-size", "20K", "--allow-host", "matte.example"});
  const std::string two = backend->session(2), gap = backend->session(), none = backend->session();
  ASSERT_EQ(backend->put(gap, 0, jpeg(discFrame(0))), 201);
  ASSERT_EQ(backend->put(gap, 2, jpeg(discFrame(2))), 201);
  const std::string create = "/api/matte/sessions", s = create + "/", frame = s + two + "/frames/",
                    whole = jpeg(discFrame(2));
  std::vector<unsigned char> png;
  cv::imencode(".png", cv::Mat(8, 8, CV_8UC3, cv::Scalar::all(9)), png);
  const std::string noBox = "mark the character with a box or brush dabs on the anchor frame";
  const std::string strokes = "strokes must be a JSON array of dabs [x, y, r]";
  const json box = json::parse(discStart())["bbox"];
  const auto fix = [](const json& corrections) { return startWith({{"corrections", corrections}}); };
  const std::string port = backend->url().substr(backend->url().rfind(':') + 1);
  // A flat frame's last scan, sent 70 times: each costs a pass over the image.
  std::vector<unsigned char> progressive;
  cv::imencode(".jpg", cv::Mat(120, 160, CV_8UC3, cv::Scalar::all(90)), progressive, {cv::IMWRITE_JPEG_PROGRESSIVE, 1});
  std::string scans(progressive.begin(), progressive.end() - 2);
  const std::string lastScan = scans.substr(scans.rfind("\xFF\xDA"));
  for (int i = 0; i < 70; ++i) scans += lastScan;
  scans += "\xFF\xD9";
  // A header of 300 x 300 pixels and an end, 30 bytes in all.
  const std::string declared(
      "\xFF\xD8\xFF\xC0\x00\x0B\x08\x01\x2C\x01\x2C\x01\x01\x11\x00\xFF\xDA\x00\x08\x01\x01"
      "\x00\x00\x3F\x00\x00\x00\x00\xFF\xD9",
      30);
  const Call calls[] = {
      {"GET", "/nothing", "", 404, "no such path on this backend: /nothing"},
      {"GET", s + "../../etc/passwd", "", 404, "no such path on this backend: /api/matte/sessions/../../etc/passwd"},
      {"PATCH", s + two, "{}", 405, "PATCH is not served here; use GET, DELETE"},
      {"GET", s + two + "/start", "", 405, "GET is not served here; use POST"},
      {"OPTIONS", create, "", 405, "OPTIONS is not served here; use POST"},
      {"GET", s + "nope", "", 404, "no session \"nope\" on this backend"},
      {"GET", s + "%2e%2e", "", 404, "no session \"..\" on this backend"},
      {"PUT", s + "..%2F..%2Ftmp/frames/0", whole, 404,
       "no such path on this backend: /api/matte/sessions/../../tmp/frames/0"},
      {"POST", create, "{\"fps\":", 400, "the create body is not valid JSON"},
      {"POST", create, "[25]", 400, "the create body must be a JSON object"},
      {"POST", create, R"({"fps":"fast"})", 422, "fps must be a number of at least 0"},
      {"PUT", frame + "01", whole, 400, "\"01\" is not a frame index (0, 1, 2, ...)"},
      {"PUT", frame + "-1", whole, 400, "\"-1\" is not a frame index (0, 1, 2, ...)"},
      {"PUT", frame + "1e3", whole, 400, "\"1e3\" is not a frame index (0, 1, 2, ...)"},
      {"PUT", frame + "99999999999", whole, 400, "\"99999999999\" is not a frame index (0, 1, 2, ...)"},
      {"PUT", frame + "%0A", whole, 404, "no such path on this backend"},
      {"PUT", frame + "5", whole, 413, "frame 5 is past this backend's limit of 5 frames per session"},
      {"PUT", frame + "2", "", 400, "frame 2 has no bytes"},
      {"PUT", frame + "2", "GIF89a", 415, "frame 2 is not a JPEG image"},
      {"PUT", frame + "2", {png.begin(), png.end()}, 415, "frame 2 is not a JPEG image"},
      {"PUT", frame + "2", whole.substr(0, whole.size() / 2), 415,
       "frame 2 does not decode as a JPEG image: damaged or cut short"},
      {"PUT", frame + "2", jpeg(discFrame(2, 200, 120)), 422,
       "frame 2 is 200 x 120 pixels but this session's frames are 160 x 120 pixels"},
      {"PUT", frame + "2", jpeg(discFrame(2, 400, 120)), 413,
       "frame 2 is 400 x 120 pixels; this backend takes at most 300 pixels a side"},
      {"PUT", frame + "2", std::string(30000, 'x'), 413, "the body is over this backend's size limit"},
      {"POST", s + none + "/start", discStart(), 422, "no frames have been uploaded"},
      {"POST", s + gap + "/start", discStart(), 422, "frame 1 is missing: upload frames 0 to 2 before starting"},
      {"POST", s + two + "/start", "start", 400, "the start body is not valid JSON"},
      {"POST", s + two + "/start", "[]", 400, "the start body must be a JSON object"},
      {"POST", s + two + "/start", startWith({{"anchor_frame", nullptr}}), 422, "anchor_frame is missing"},
      {"POST", s + two + "/start", startWith({{"anchor_frame", 2}}), 422,
       "anchor_frame 2 is outside the clip's frames 0 to 1"},
      {"POST", s + two + "/start", startWith({{"anchor_frame", 0.5}}), 422, "anchor_frame must be a whole number"},
      {"POST", s + two + "/start", startWith({{"bbox", nullptr}, {"text_prompt", "the man in red"}}), 422,
       "this backend needs a box or brush dabs on the anchor frame; a text hint alone is not enough"},
      {"POST", s + two + "/start", startWith({{"bbox", nullptr}}), 422, noBox},
      {"POST", s + two + "/start", startWith({{"bbox", {{"x", 0}, {"y", 0}, {"w", 0}, {"h", 0}}}}), 422,
       "bbox has no area: w and h must be greater than 0"},
      {"POST", s + two + "/start", startWith({{"bbox", nullptr}, {"strokes", {{0.5, 0.5, -0.1}}}}), 422, noBox},
      {"POST", s + two + "/start", startWith({{"bbox", {{"x", "left"}}}}), 422, "bbox lacks the number x"},
      {"POST", s + two + "/start", startWith({{"bbox", {{"x", 1.5}, {"y", 0}, {"w", 0.2}, {"h", 0.2}}}}), 422,
       "bbox x must lie from 0 to 1"},
      {"POST", s + two + "/start", startWith({{"strokes", {{0.5, 0.5}}}}), 422,
       "strokes dab 1 is not three numbers [x, y, r]"},
      {"POST", s + two + "/start", startWith({{"strokes", "dabs"}}), 422, strokes},
      {"POST", s + two + "/start", startWith({{"quality", "best"}}), 422, "quality must be \"fine\" or \"fast\""},
      {"POST", s + two + "/start", startWith({{"edge_softness", 1.5}}), 422,
       "edge_softness must be a number from 0 to 1"},
      {"POST", s + two + "/start", startWith({{"edge_softness", "soft"}}), 422,
       "edge_softness must be a number from 0 to 1"},
      {"POST", s + two + "/start", startWith({{"text_prompt", 5}}), 422, "text_prompt must be a string"},
      {"POST", s + two + "/start", fix({{"frame", 1}}), 422, "corrections must be an array of objects, one per frame"},
      {"POST", s + two + "/start", fix(json::array({{{"frame", 1}, {"bbox", box}}, 5})), 422,
       "correction number 2 must be an object"},
      {"POST", s + two + "/start", fix(json::array({{{"bbox", box}}})), 422, "correction number 1 has no frame"},
      {"POST", s + two + "/start", fix(json::array({{{"frame", 0.5}, {"bbox", box}}})), 422,
       "correction number 1: frame must be a whole number"},
      {"POST", s + two + "/start", fix(json::array({{{"frame", 2}, {"bbox", box}}})), 422,
       "correction on frame 2 is outside the clip's frames 0 to 1"},
      {"POST", s + two + "/start", fix(json::array({{{"frame", 1}, {"bbox", box}}, {{"frame", 1}, {"bbox", box}}})),
       422, "correction on frame 1 comes twice; give each frame one correction with all its marks"},
      {"POST", s + two + "/start", fix(json::array({{{"frame", 1}, {"strokes", json::array()}}})), 422,
       "correction on frame 1 marks nothing: give it a box or brush dabs"},
      {"POST", s + two + "/start", fix(json::array({{{"frame", 1}, {"strokes", "dabs"}}})), 422,
       "correction on frame 1: " + strokes},
      {"GET", s + two + "/alpha/0.png", "", 404, "the mattes are not ready: the job is CREATED"},
      {"GET", s + two + "/alpha/0", "", 404, "matte paths end in <frame>.png"},
      {"POST", "/api/beacon", "plugin", 400, "the beacon body is not valid JSON"},
      {"POST", create, "{}", 403, "requests from web pages are refused", {{"Origin", "null"}}},
      {"POST",
       create,
       "{}",
       403,
       "the backend is not addressed as 127.0.0.1:" + port + " or localhost:" + port + " or matte.example",
       {{"Host", "rebind.attacker.example:" + port}}},
      {"GET", s + "nope", "", 404, "no session \"nope\" on this backend", {{"Host", "localhost:" + port}}},
      {"GET", s + "nope", "", 404, "no session \"nope\" on this backend", {{"Host", "matte.example:443"}}},
      {"GET", s + "nope", "", 404, "no session \"nope\" on this backend", {{"Range", "bytes=0-,0-,0-"}}},
      {"POST",
       create,
       "{}",
       415,
       "send the body uncompressed, without a Content-Encoding",
       {{"Content-Encoding", "gzip"}}},
      {"PUT", frame + "2", scans, 415, "the JPEG has more than 64 scans; an encoder writes about ten"},
      {"PUT", s + none + "/frames/0", declared, 413,
       "the JPEG declares 300 x 300 pixels in 30 bytes, more than 1024 a byte: no frame packs that tight"},
  };
  for (const Call& c : calls)
    EXPECT_EQ(send(backend->http(), c), std::pair(c.status, c.reason)) << c.method << " " << c.path.substr(0, 80);

  // Bodies framed so that their length is unknown or ambiguous: only the
  // head goes, so that the refusal and the close after it race no unread
  // bytes into a reset.
  const std::pair<std::string, std::string> heads[] = {
      {"Transfer-Encoding: chunked", "411 send the body with a Content-Length and no Transfer-Encoding"},
      {"Content-Length: 2\r\nTransfer-Encoding: chunked",
       "411 send the body with a Content-Length and no Transfer-Encoding"},
      {"Content-Length: 2\r\nContent-Length: 3", "400 the request gives two different Content-Lengths"},
      {"Content-Type: image/jpeg", "411 send the body with a Content-Length"},
  };
  for (const auto& [head, expected] : heads) {
    const std::string answer =
        exchange(backend->url(), "PUT " + frame + "2 HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n" + head + "\r\n\r\n");
    EXPECT_EQ(answer.substr(9, 4) + answer.substr(answer.find("\r\n\r\n") + 4), expected) << head;
  }
  // A head begun and never finished is answered and closed after a while
  // (no worker waits on it), one that runs on and on at once.
  const std::string unfinished = exchange(backend->url(), "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n");
  EXPECT_EQ(unfinished.rfind("HTTP/1.1 408 ", 0), 0u) << unfinished;
  const std::string endless = exchange(backend->url(), "GET / HTTP/1.1\r\nX: " + std::string(20000, 'a'));
  EXPECT_EQ(endless.rfind("HTTP/1.1 431 ", 0), 0u) << endless;
  EXPECT_EQ(backend->status(two).value("frames", 0), 2) << "no refusal stored anything";
}

TEST_F(BackendTest, HostileRequestsNeitherCrashItNorWriteOutsideItsFolder) {
  auto backend = start();
  const std::string id = backend->session(1);
  std::mt19937 random(20240501);
  const std::vector<std::string> parts = {"api",
                                          "matte",
                                          "sessions",
                                          id,
                                          "frames",
                                          "alpha",
                                          "start",
                                          "0",
                                          "0.png",
                                          "..",
                                          "%2e%2e",
                                          "%2F",
                                          "",
                                          "%00",
                                          "%0A",
                                          "-1",
                                          "4294967296",
                                          "~",
                                          std::string(3000, 'a'),
                                          "%ff%fe",
                                          "/",
                                          "*",
                                          "beacon"};
  const std::string valid = jpeg(discFrame(0)), start = discStart();
  const std::vector<std::string> methods = {"GET", "POST", "PUT", "PATCH", "DELETE", "OPTIONS"};
  for (int i = 0; i < 400; ++i) {
    std::string path;
    for (int n = 1 + random() % 7; n > 0; --n) path += "/" + parts[random() % parts.size()];
    std::string body = (random() % 2 ? valid : start).substr(0, random() % 4000);
    for (int flips = random() % 8; flips > 0 && !body.empty(); --flips)
      body[random() % body.size()] ^= 1 << random() % 8;
    const auto [status, reason] = send(backend->http(), {methods[random() % methods.size()], path, body, 0, ""});
    ASSERT_TRUE(status >= 200 && status < 500) << status << " " << reason << " for " << path.substr(0, 120);
  }
  auto root = backend->http().Get("/");
  ASSERT_TRUE(root && root->status == 200);
  EXPECT_EQ(root->body.rfind("prismhollow-backend 1.1.0; sessions: ", 0), 0u) << root->body;
  std::vector<std::string> outside, shared;
  const auto others = fs::perms::group_all | fs::perms::others_all;
  for (const auto& entry : fs::recursive_directory_iterator(dir))
    if (entry.path().string().rfind((dir / "data").string(), 0) != 0)
      outside.push_back(entry.path());
    else if ((entry.symlink_status().permissions() & others) != fs::perms::none)
      shared.push_back(entry.path());
  EXPECT_EQ(outside, std::vector<std::string>{(dir / "backend.log").string()});
  EXPECT_EQ(shared, std::vector<std::string>()) << "other local users can read what the backend keeps";
}

TEST_F(BackendTest, TwoJobsRunOneAfterTheOtherWhileOtherCallsAreAnswered) {
  auto backend = start({"--jobs", "1"});
  const std::string first = backend->session(30, 320, 240), second = backend->session(3);
  // The second job is corrected with a box, with dabs alone and on the anchor
  // frame; the dab limit holds for the whole body, which neither list reaches alone.
  json corrected = json::parse(discStart(1)), crowded = corrected;
  corrected["corrections"] = json::array({{{"frame", 2}, {"bbox", corrected["bbox"]}},
                                          {{"frame", 0}, {"strokes", {{0.4, 0.5, 0.05}}}},
                                          {{"frame", 1}, {"strokes", {{0.05, 0.05, -0.03}}}}});
  for (int i = 0; i < 1024; ++i) crowded["strokes"].push_back({0.5, 0.5, 0.01});
  crowded["corrections"] = json::array({{{"frame", 2}, {"strokes", crowded["strokes"]}}});
  crowded["corrections"][0]["strokes"].push_back({0.5, 0.5, 0.01});
  EXPECT_EQ(send(backend->http(), {"POST", "/api/matte/sessions/" + second + "/start", crowded.dump(), 0, ""}),
            std::pair(422, std::string("correction on frame 2: strokes bring the selection to more than 2048 dabs, "
                                       "the most for the anchor's and every correction's together")));
  for (const std::string& id : {first, second})
    EXPECT_EQ(send(backend->http(), {"POST", "/api/matte/sessions/" + id + "/start",
                                     id == first ? discStart(1) : corrected.dump(), 0, ""}),
              std::pair(202, std::string(R"({"status":"QUEUED"})")));
  const json running = backend->await(first, "RUNNING"), waiting = backend->status(second);
  EXPECT_EQ(running["progress"]["frames"].get<int>() > 0, true) << running;
  EXPECT_TRUE(std::regex_search(running["progress"]["stage"].get<std::string>(), std::regex(", \\d+% of the job$")))
      << running;
  EXPECT_EQ(waiting["status"], "QUEUED") << waiting;
  EXPECT_EQ(waiting["progress"]["stage"], "queued, next to run");
  EXPECT_EQ(backend->put(first, 3, jpeg(discFrame(3))), 409);
  EXPECT_EQ(backend->session(2).size(), 32u) << "uploads to another session go on";

  for (const auto& [id, n] : {std::pair{first, 30}, {second, 3}}) {
    const json done = backend->await(id);
    ASSERT_EQ(done["status"], "COMPLETED") << done;
    EXPECT_EQ(done["progress"], (json{{"stage", "done"}, {"frame", n}, {"frames", n}, {"job", 100}}));
    EXPECT_TRUE(done["upload_seconds"].is_number() && done["queued_seconds"].is_number()) << done;
    EXPECT_EQ(done["empty_frames"], 0) << done["note"];
    for (int k : {0, n - 1}) {
      auto png = backend->http().Get("/api/matte/sessions/" + id + "/alpha/" + std::to_string(k) + ".png");
      ASSERT_TRUE(png && png->status == 200);
      const cv::Mat matte =
          cv::imdecode(std::vector<unsigned char>(png->body.begin(), png->body.end()), cv::IMREAD_UNCHANGED);
      ASSERT_EQ(matte.type(), CV_8UC1);
      EXPECT_EQ(matte.size(), id == first ? cv::Size(320, 240) : cv::Size(160, 120));
      EXPECT_EQ(matte.at<unsigned char>(matte.rows / 2, matte.cols * 2 / 5 + k), 255) << "the disc of frame " << k;
      EXPECT_EQ(matte.at<unsigned char>(5, 5), 0) << "the background of frame " << k;
    }
  }
  EXPECT_EQ(send(backend->http(), {"GET", "/api/matte/sessions/" + second + "/alpha/3.png", "", 0, ""}),
            std::pair(404, std::string("no frame 3 in this session of 3 frames")));
  const std::string log = backend->log_text();
  EXPECT_NE(log.find("POST /api/matte/sessions/" + first + "/start 202 in="), std::string::npos);
  EXPECT_NE(log.find("job " + first + ": tracking forward 1/28"), std::string::npos);
  EXPECT_NE(log.find("job " + second + ": correcting frame 2"), std::string::npos) << "the corrections reach the job";
  EXPECT_NE(log.find("job " + second + ": completed: every frame is in the anchor's shot"), std::string::npos);
}

TEST_F(BackendTest, AJobThatARestartInterruptsRunsAgain) {
  auto backend = start();
  const std::string killed = backend->session(30, 320, 240);
  const Call go = {"POST", "/api/matte/sessions/" + killed + "/start", discStart(), 0, ""};
  ASSERT_EQ(send(backend->http(), go).first, 202);
  ASSERT_EQ(backend->await(killed, "RUNNING")["status"], "RUNNING");
  EXPECT_EQ(backend->stop(SIGKILL), 128 + SIGKILL);

  backend = start();
  EXPECT_EQ(backend->await(killed)["status"], "COMPLETED");
  const std::string stopped = backend->session(30, 320, 240);
  ASSERT_EQ(send(backend->http(), {"POST", "/api/matte/sessions/" + stopped + "/start", discStart(), 0, ""}).first,
            202);
  ASSERT_EQ(backend->await(stopped, "RUNNING")["status"], "RUNNING");
  EXPECT_EQ(backend->stop(SIGTERM), 0);
  EXPECT_NE(backend->log_text().find("stopping on SIGTERM"), std::string::npos);

  // A job under which the backend died three times is not tried a fourth.
  std::ofstream(dir / "data/sessions" / killed / "job.json") << R"({"status":"RUNNING","attempts":3})";
  backend = start();
  EXPECT_EQ(backend->await(stopped)["status"], "COMPLETED");
  const json given = backend->status(killed);
  EXPECT_EQ(given["status"], "FAILED");
  EXPECT_EQ(given["error"], "the backend stopped 3 times while this job ran; it was given up");

  // Deleted while its job ran, and the backend stopped before the job did:
  // it is not run again, and its folder goes.
  EXPECT_EQ(backend->stop(SIGTERM), 0);
  std::ofstream(dir / "data/sessions" / killed / "job.json") << R"({"status":"RUNNING","attempts":1})";
  std::ofstream(dir / "data/sessions" / killed / "deleted");
  backend = start();
  EXPECT_EQ(send(backend->http(), {"GET", "/api/matte/sessions/" + killed, "", 0, ""}).first, 404);
  EXPECT_FALSE(fs::exists(dir / "data/sessions" / killed));
}

TEST_F(BackendTest, SessionsUntouchedForTooLongAreDeletedAtStart) {
  auto backend = start();
  const std::string old = backend->session(1), fresh = backend->session(1);
  backend->stop();
  fs::last_write_time(dir / "data/sessions" / old, fs::file_time_type::clock::now() - std::chrono::hours(24 * 8));
  backend = start();
  EXPECT_EQ(backend->status(old), json());
  EXPECT_FALSE(fs::exists(dir / "data/sessions" / old));
  EXPECT_EQ(backend->status(fresh)["frames"], 1);
  backend->stop();
  fs::last_write_time(dir / "data/sessions" / fresh, fs::file_time_type::clock::now() - std::chrono::hours(36));
  backend = start({"--max-age", "2d"});
  EXPECT_EQ(backend->status(fresh)["frames"], 1);
  backend->stop();
  backend = start({"--max-age", "1d"});
  EXPECT_EQ(backend->status(fresh), json());
}

TEST_F(BackendTest, TheDiskBudgetRefusesUploadsUntilSessionsAreDeleted) {
  const std::string frame = jpeg(discFrame(0));
  auto backend = start({"--disk-budget", "64K"});
  const std::string a = backend->session(), b = backend->session();
  int stored = 0;
  while (stored < 20 && backend->put(a, stored, frame) == 201) ++stored;
  EXPECT_TRUE(stored > 0 && stored < 10) << stored << " frames of " << frame.size() << " bytes";
  const auto [status, reason] = send(backend->http(), {"PUT", "/api/matte/sessions/" + b + "/frames/0", frame, 0, ""});
  EXPECT_EQ(status, 507);
  EXPECT_EQ(reason.rfind("the backend's disk budget of 64.0 KiB is used up (", 0), 0u) << reason;
  EXPECT_EQ(send(backend->http(), {"DELETE", "/api/matte/sessions/" + a, "", 0, ""}).first, 204);
  EXPECT_EQ(backend->put(b, 0, frame), 201);
  EXPECT_EQ(backend->status(a), json());

  // Uploads side by side each take their room before writing: together
  // they stay within the budget.
  backend->stop();
  backend = start({"--disk-budget", "4M"});
  cv::Mat noise(600, 600, CV_8UC3);
  cv::randu(noise, cv::Scalar::all(0), cv::Scalar::all(255));
  const std::string big = jpeg(noise), c = backend->session();
  ASSERT_GT(24 * big.size(), 6u << 20);
  std::vector<int> statuses(24);
  std::vector<std::thread> uploads;
  for (int k = 0; k < 24; ++k)
    uploads.emplace_back([&, k] {
      httplib::Client http(backend->url());
      auto res = http.Put("/api/matte/sessions/" + c + "/frames/" + std::to_string(k), big, "image/jpeg");
      statuses[k] = res ? res->status : -1;
    });
  for (std::thread& t : uploads) t.join();
  const auto took = std::count(statuses.begin(), statuses.end(), 201);
  EXPECT_EQ(took + std::count(statuses.begin(), statuses.end(), 507), 24);
  EXPECT_GT(took, 0);
  EXPECT_LE(took * big.size(), 4u << 20) << took << " frames of " << big.size() << " bytes";
}

// A small disk of the test's own: a tmpfs in the mount namespace that
// private_tmp.cpp made, filled by the test around the backend's writes.
TEST_F(BackendTest, AFullDiskFailsTheCallOrTheJobThatWritesNotTheBackend) {
  if (!hasPrivateTmp()) GTEST_SKIP() << "a disk of its own needs a mount namespace";
  const fs::path disk = dir / "disk", fill = disk / "fill";
  fs::create_directories(disk);
  if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=4m,mode=0700") != 0)
    GTEST_SKIP() << "no tmpfs could be mounted here: " << std::strerror(errno);
  struct Unmount {
    fs::path at;
    ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
  } unmount{disk};
  // Fills the disk, then leaves `pages` pages of 4 KiB free.
  const auto leave = [&](int pages) {
    const int fd = ::open(fill.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    const std::string page(4096, 'x');
    while (::write(fd, page.data(), page.size()) == 4096) {
    }
    const off_t full = ::lseek(fd, 0, SEEK_END) / 4096 * 4096;
    ASSERT_EQ(::ftruncate(fd, std::max<off_t>(full - 4096 * pages, 0)), 0);
    ::close(fd);
  };
  const std::string sessions = "/api/matte/sessions/";
  {
    // By default the room kept free is a fraction of the disk: a small one stays usable.
    BackendProcess backend(disk / "data", dir / "backend.log");
    const std::string id = backend.session(1);
    leave(10);
    EXPECT_EQ(send(backend.http(), {"PUT", sessions + id + "/frames/1", jpeg(discFrame(1)), 0, ""}),
              std::pair(507, std::string("the backend's disk is full: 40.0 KiB free, and it keeps 81.9 KiB free (2 % "
                                         "of the disk, at most 256 MiB; --keep-free sets another amount)")));
    fs::remove(fill);
  }
  BackendProcess backend(disk / "data", dir / "backend.log", {"--keep-free", "0"});
  const std::string refused = backend.session(2), failed = backend.session(2);
  leave(1);  // start.json fits, job.json does not
  EXPECT_EQ(send(backend.http(), {"POST", sessions + refused + "/start", discStart(), 0, ""}),
            std::pair(507, std::string("could not write job.json in the data folder: No space left on device")));
  EXPECT_EQ(backend.status(refused)["status"], "CREATED");
  leave(2);  // the start's two files fit, the job's first write does not
  ASSERT_EQ(send(backend.http(), {"POST", sessions + failed + "/start", discStart(), 0, ""}).first, 202);
  EXPECT_EQ(backend.await(failed, "FAILED")["error"],
            "the backend's disk refused a write (could not write job.json in the data folder: No space left on "
            "device); start the job again once there is room");
  fs::remove(fill);
  for (const std::string& id : {refused, failed}) {
    ASSERT_EQ(send(backend.http(), {"POST", sessions + id + "/start", discStart(), 0, ""}).first, 202);
    EXPECT_EQ(backend.await(id)["status"], "COMPLETED");
  }
  EXPECT_TRUE(backend.running());
}

TEST(BackendCommand, OptionsAndRefusalsToStart) {
  TempDir folder("backend-command");
  const std::string data = (folder.path / "data").string(), link = (folder.path / "link").string(),
                    theirs = (folder.path / "theirs").string();
  fs::create_directories(data), fs::create_directories(theirs);
  fs::create_directory_symlink(data, link);
  std::vector<std::pair<std::string, std::pair<int, std::string>>> runs = {
      {"--version", {0, "prismhollow-backend 1.1.0\n"}},
      {"--jobs 0", {2, "prismhollow-backend: bad value \"0\" for --jobs: out of range\n"}},
      {"--max-age 7w", {2, "prismhollow-backend: bad value \"7w\" for --max-age\n"}},
      {"--listen 8765", {2, "prismhollow-backend: --listen takes HOST:PORT, not \"8765\"\n"}},
      {"--data", {2, "prismhollow-backend: --data needs a value\n"}},
      {"--colour blue", {2, "prismhollow-backend: unknown option --colour\n"}},
      {"--listen 127.0.0.1:0 --data " + quoted(data),
       {1, "prismhollow-backend: another backend is using " + data + "\n"}},
      {"--listen 127.0.0.1:0 --data " + quoted(link),
       {1, "prismhollow-backend: " + link +
               " is a symbolic link; the backend keeps its data only in a real folder of "
               "its user's\n"}},
  };
  if (::chown(theirs.c_str(), 65534, 65534) == 0)
    runs.push_back({"--listen 127.0.0.1:0 --data " + quoted(theirs),
                    {1, "prismhollow-backend: " + theirs +
                            " belongs to another user (uid 65534); give --data a folder of your own\n"}});
  else
    std::printf("note: a folder of another user's is not tried: this user cannot give one away\n");
  // A data folder is one backend's alone, or shared by the backends of one
  // broker (no Redis needs to answer for these).
  const std::string shared = (folder.path / "shared").string(), broker = "redis://127.0.0.1:1";
  auto holder = std::make_unique<BackendProcess>(data, folder.path / "log");
  holder->session();
  auto sharer =
      std::make_unique<BackendProcess>(shared, folder.path / "log", std::vector<std::string>{"--broker", broker});
  runs.push_back({"--listen " + holder->url().substr(7) + " --data " + quoted(folder.path / "other"),
                  {1, "prismhollow-backend: cannot listen on " + holder->url().substr(7) +
                          ": Address already in use; --listen HOST:PORT names another address (port 0 takes any "
                          "free one)\n"}});
  const std::string on = "--listen 127.0.0.1:0 --data ";
  runs.push_back({"--broker localhost:6379",
                  {2, "prismhollow-backend: --broker takes redis://HOST:PORT, not \"localhost:6379\"\n"}});
  runs.push_back({on + quoted(data) + " --broker " + broker,
                  {1, "prismhollow-backend: a backend without --broker is using " + data + "\n"}});
  runs.push_back({on + quoted(shared), {1, "prismhollow-backend: another backend is using " + shared + "\n"}});
  const auto check = [](const auto& table) {
    for (const auto& [args, expected] : table) {
      const Outcome r = run(quoted(BACKEND_COMMAND) + " " + args);
      EXPECT_EQ(std::pair(r.exitCode, r.output.substr(0, r.output.find('\n') + 1)), expected) << args;
    }
  };
  check(runs);
  holder.reset(), sharer.reset();
  check(std::vector<std::pair<std::string, std::pair<int, std::string>>>{
      {on + quoted(data) + " --broker " + broker,
       {1, "prismhollow-backend: " + data + " holds the sessions of a backend without --broker; give the backends of " +
               broker + " a data folder of their own\n"}},
      {on + quoted(shared),
       {1, "prismhollow-backend: " + shared + " is shared by the backends of " + broker +
               ": start this one with --broker " + broker + "\n"}},
      {on + quoted(shared) + " --broker redis://127.0.0.1:2",
       {1,
        "prismhollow-backend: " + shared + " is shared by the backends of " + broker + ", not redis://127.0.0.1:2\n"}},
  });
  BackendProcess again(data, folder.path / "log");  // the folder alone is this backend's still
  EXPECT_EQ(fs::exists(folder.path / "data" / "broker"), false);
  // Without HOME the sessions stay in the user's home, never in a folder all users share.
  const passwd* user = ::getpwuid(::geteuid());
  ASSERT_TRUE(user && user->pw_dir);
  const std::string help = run(quoted(BACKEND_COMMAND) + " --help", "env -u HOME -u XDG_CACHE_HOME").output;
  EXPECT_TRUE(contains(help, "(default " + (fs::path(user->pw_dir) / ".cache" / "prismhollow-backend").string() + ")"))
      << help;
}

// Backends of one broker on one data folder: a session made on one is
// filled, started and polled through another; each job runs once; a
// backend killed mid-job loses it to the other once its claim lapses, and
// the mattes are those of an undisturbed run.
TEST_F(BackendTest, TheBackendsOfOneBrokerShareItsJobsAndTakeOverThoseOfOneThatDies) {
  RedisServer redis(dir, freePort());
  const std::vector<std::string> brokered = {"--broker", redis.url(), "--lease", "2"};
  std::unique_ptr<BackendProcess> backends[] = {
      std::make_unique<BackendProcess>(dir / "data", dir / "a.log", brokered),
      std::make_unique<BackendProcess>(dir / "data", dir / "b.log", brokered)};
  const std::string sessions = "/api/matte/sessions/";
  const std::string manStart = startWith({{"bbox", {{"x", 0.47}, {"y", 0.02}, {"w", 0.53}, {"h", 0.98}}}});
  const auto made = [&](BackendProcess& maker, BackendProcess& other, const std::vector<std::string>& frames) {
    const std::string id = maker.session();
    for (std::size_t k = 0; k < frames.size(); ++k) EXPECT_EQ(other.put(id, int(k), frames[k]), 201);
    const std::string start = frames.size() > 6 ? manStart : discStart();
    EXPECT_EQ(send(other.http(), {"POST", sessions + id + "/start", start, 0, ""}).first, 202);
    return id;
  };
  const auto runs = [&](const std::string& id) {  // "job ID: starts" in both logs
    std::size_t n = 0;
    for (const char* log : {"a.log", "b.log"})
      for (std::size_t at = 0; (at = readFile(dir / log).find("job " + id + ": starts", at)) != std::string::npos; ++at)
        ++n;
    return n;
  };
  // The frames whose mattes differ between two sessions (or backends), or
  // that one of them does not serve as a PNG.
  const auto differing = [](BackendProcess& from, const std::string& id, BackendProcess& to, const std::string& other,
                            int frames) {
    std::vector<int> differ;
    for (int k = 0; k < frames; ++k) {
      const std::string path = "/alpha/" + std::to_string(k) + ".png";
      auto one = from.http().Get("/api/matte/sessions/" + id + path),
           two = to.http().Get("/api/matte/sessions/" + other + path);
      if (!one || !two || one->status != 200 || one->body.substr(1, 3) != "PNG" || one->body != two->body)
        differ.push_back(k);
    }
    return differ;
  };
  std::vector<std::string> discs, man;  // real footage: a track's every step matters there
  for (int k = 0; k < 6; ++k) discs.push_back(jpeg(discFrame(k)));
  cv::VideoCapture clip(kMegamind);
  clip.set(cv::CAP_PROP_POS_FRAMES, 200);
  for (cv::Mat frame; man.size() < 60 && clip.read(frame);) {
    cv::resize(frame, frame, {360, 264}, 0, 0, cv::INTER_AREA);
    man.push_back(jpeg(frame));
  }
  ASSERT_EQ(man.size(), 60u);
  std::vector<std::string> ids;
  for (int k = 0; k < 4; ++k) ids.push_back(made(*backends[k % 2], *backends[1 - k % 2], discs));
  const std::string reference = made(*backends[0], *backends[1], man);
  for (const std::string& id : ids) {
    EXPECT_EQ(backends[0]->await(id)["status"], "COMPLETED");
    EXPECT_EQ(runs(id), 1u) << id;
    EXPECT_EQ(differing(*backends[0], id, *backends[1], id, 6), std::vector<int>{});
  }
  ASSERT_EQ(backends[1]->await(reference)["status"], "COMPLETED");

  const std::string id = made(*backends[0], *backends[1], man);
  // Killed halfway, after the tracks kept part of their work in the session's memo.
  ASSERT_TRUE(
      waitUntil([&] { return backends[0]->status(id)["progress"].value("job", 0) >= 50; }, std::chrono::seconds(60)));
  const int victim = contains(readFile(dir / "a.log"), "job " + id + ": starts") ? 0 : 1;
  EXPECT_EQ(backends[victim]->stop(SIGKILL), 128 + SIGKILL);
  BackendProcess& survivor = *backends[1 - victim];
  const json done = survivor.await(id);
  EXPECT_EQ(done["status"], "COMPLETED") << done;
  EXPECT_EQ(runs(id), 2u);
  EXPECT_EQ(differing(survivor, id, survivor, reference, 60), std::vector<int>{});
}

// A broker that stops answering: the calls that need it are refused with
// 503 and the reason, nothing stored is lost, and once it is back (the same
// Redis started again) the job is done.
TEST_F(BackendTest, WhileItsBrokerIsAwayABackendAnswers503AndThenGoesOn) {
  const int port = freePort();
  auto redis = std::make_unique<RedisServer>(dir, port);
  BackendProcess backend(dir / "data", dir / "a.log", {"--broker", redis->url(), "--lease", "2"});
  const std::string sessions = "/api/matte/sessions/", away = "the broker at " + redis->url() + " is not answering";
  const std::string id = backend.session(60, 320, 240), later = backend.session(1);
  EXPECT_EQ(send(backend.http(), {"POST", sessions + id + "/start", discStart(), 0, ""}).first, 202);
  ASSERT_EQ(backend.await(id, "RUNNING")["status"], "RUNNING");
  redis->stop();
  for (const Call& call :
       {Call{"GET", sessions + id, "", 0, ""}, Call{"POST", sessions + later + "/start", discStart(), 0, ""},
        Call{"PUT", sessions + later + "/frames/1", jpeg(discFrame(1)), 0, ""}}) {
    const auto [status, body] = send(backend.http(), call);
    EXPECT_EQ(status, 503) << call.method << " " << call.path;
    EXPECT_TRUE(contains(body, away)) << body;
  }
  redis = std::make_unique<RedisServer>(dir, port);
  const json done = backend.await(id);
  ASSERT_EQ(done["status"], "COMPLETED") << done;
  EXPECT_EQ(done["frames"], 60);
  auto png = backend.http().Get(sessions + id + "/alpha/59.png");
  EXPECT_TRUE(png && png->status == 200 && png->body.substr(1, 3) == "PNG");
  EXPECT_EQ(backend.put(later, 1, jpeg(discFrame(1))), 201);
}

#pragma once
// The plug-in's side of the matting backend's wire (contract/wire.h): the
// five calls of one job, with their bodies built and their responses read
// here, so that the worker reads as the job's steps. Every call goes through
// the caller's client.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "contract/wire.h"
#include "orv/http_client.h"

namespace orv {

// Whether a Backend URL is one the plug-in calls at all: it starts with
// "http" (the transport then takes http:// and https:// only).
bool is_backend_address(const std::string& url);

// The body of the create call: {"fps":<rate as a float>,"source":"plugin"}.
std::string create_body(double fps);

// What the start call carries: the user's selection and settings.
struct StartSettings {
  long long anchorFrame = 0;
  // The staged clip: the host time of its first frame and its length, which
  // the dabs' times are read against.
  double firstTime = 0;
  long long frameCount = 1;
  bool fastQuality = false;
  double edgeSoftness = 0;
  std::string textPrompt;
  std::string bboxText;   // bbox_json as stored
  std::string brushText;  // brush_json as stored
};

// The start body: "bbox" only when the stored text is a box, "strokes" the
// stored dab array or []. When the box or dabs carry the time they were
// drawn at, the marks are grouped by frame (contract::group_marks): "bbox" and
// "strokes" hold the anchor's, the dabs as [x, y, r], and "corrections"
// those of each other frame, present only when there are any, and
// "anchor_frame" is the anchor group_marks settles on. A box goes without
// its "t".
// Throws nlohmann::json's type_error when a text is not valid UTF-8 and so
// cannot be sent.
std::string start_body(const StartSettings& settings);

// 1. POST backendUrl/api/matte/sessions. The new session's id; nothing when
// the call failed: no transfer, a status outside 2xx, a body that is not a
// JSON object, or a "session_id" that is missing, not a string or not a
// session id (contract::is_session_id).
std::optional<std::string> create_session(const HttpClient& client, const std::string& backendUrl, double fps);

// How create_session reads the answer it received (status -1: no transfer).
std::optional<std::string> read_create_response(long status, const std::string& body);

// backendUrl/api/matte/sessions/<id>: the base of every later call.
std::string session_url(const std::string& backendUrl, const std::string& sessionId);

// 2. PUT sessionUrl/frames/<index> of a JPEG file; true on 2xx.
bool upload_frame(const HttpClient& client, const std::string& sessionUrl, int index,
                  const std::vector<std::uint8_t>& jpeg);

// 3. POST sessionUrl/start of the start body. Success is a 2xx status; a
// refusal's body explains it to the user.
HttpResponse start_job(const HttpClient& client, const std::string& sessionUrl, const std::string& body);
// DELETE of the session: a job running on it stops between frames, and the
// backend forgets it, frames and mattes. True when the backend said so (2xx).
bool delete_session(const HttpClient& client, const std::string& sessionUrl);

// 4. GET sessionUrl: the job's state as the backend reports it.
struct JobStatus {
  bool answered = false;  // 2xx and a JSON object whose "status", if any, is a string
  std::string status;     // "" when absent
  std::string error;      // "error" when it is a string, else "matting failed"
  std::optional<std::string> stage;  // when "progress" is an object: its "stage", or "..."
  int frames = -1;                   // "frames" when a whole number: the frames the session holds
  bool completed() const { return answered && contract::state_named(status) == contract::JobState::Completed; }
  bool failed() const { return answered && contract::state_named(status) == contract::JobState::Failed; }
};
JobStatus poll_job(const HttpClient& client, const std::string& sessionUrl);

// How poll_job reads the answer it received (status -1: no transfer).
JobStatus read_job_status(long httpStatus, const std::string& body);

// The largest matte body accepted for a frame of framePixels pixels: the
// frame as a 16-bit RGBA PNG whose encoder did not compress at all (8 bytes a
// pixel), 1/64 more for row filters and deflate's block framing, and 1 MiB
// for whatever other chunks it carries.
std::uint64_t matte_size_limit(std::uint64_t framePixels);

// 5. GET sessionUrl/alpha/<index>.png into the file at path, at most maxBytes
// of it; the file stays only when the result is Download::kDone.
Download download_matte(const HttpClient& client, const std::string& sessionUrl, int index, const std::string& path,
                        std::uint64_t maxBytes);

}  // namespace orv

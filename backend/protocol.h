#pragma once
// The backend's side of the wire (contract/wire.h): frame indexes in paths,
// the create, start and beacon bodies read and checked, and the job's status
// answered.

#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "contract/selection.h"
#include "contract/version.h"
#include "contract/wire.h"
#include "matting/engine.h"

namespace backend {

using contract::kVersion;

// A request the backend will not serve: the HTTP status and a short reason
// for a person, sent as the body.
struct Refusal : std::runtime_error {
  Refusal(int status, const std::string& reason) : std::runtime_error(reason), status(status) {}
  int status;
};

// The session id rule, the job's states and the record parser are the
// contract's, shared with every client.
using contract::is_session_id;
using contract::JobState;
using contract::new_session_id;
using contract::state_name;
using contract::state_named;
inline nlohmann::json parse_json(const std::string& text) { return contract::parse_record(text); }

// A frame index as paths carry it: plain decimal, no sign, no leading zero,
// below `limit`. Refusal 400 (not an index) or 413 (at or past the limit).
int read_frame_index(const std::string& text, int limit);

// The create body: {"fps": number, "source": string}, both optional; an
// empty body is an empty object.
struct CreateRequest {
  double fps = 0;
  std::string source;
};
CreateRequest read_create(const std::string& body);

// The start body, checked against a session of `frames` frames. Refusal 400
// for a body that is not a JSON object, 422 for a value out of place.
struct StartRequest {
  int anchor = 0;
  matting::Selection selection;
  std::vector<matting::Correction> corrections;  // optional, each on a frame of its own
  matting::Quality quality = matting::Quality::Fine;
  double edgeSoftness = 0.5;
};
StartRequest read_start(const std::string& body, int frames);

// What the beacon says, for the log: "plugin 1.1.0 on resolve, linux x86_64".
std::string read_beacon(const std::string& body);

// What a finished job tells its client besides COMPLETED: the empty frames
// and why, the shot, the cuts and the seconds spent in each stage.
nlohmann::json summary_json(const matting::Summary& summary);

// The answer to a status poll.
struct JobStatus {
  std::string sessionId;
  JobState state = JobState::Created;
  int frames = 0, width = 0, height = 0;  // uploaded so far; their size
  matting::Progress progress;             // stage text with its counts
  std::string error;                      // with FAILED
  nlohmann::json summary;                 // with COMPLETED
  double seconds = 0;                     // spent running the job
  double uploadSeconds = -1;              // from the first frame to the start call; -1: none uploaded
  double queuedSeconds = 0;               // from the start call to the run
};
nlohmann::json status_json(const JobStatus& status);

}  // namespace backend

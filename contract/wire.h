#pragma once
// The wire between the plug-in (or any client) and a matting backend: the
// paths of the five calls, the members of their bodies, the job's states
// and the session id rule. Both ends spell them from here.

#include <optional>
#include <string>

namespace contract {

// The calls, below the backend's base address:
//   1. POST kSessions                       create a session (body: kFps, kSource)
//   2. PUT  frame_path(session_path(id), i) upload frame i as JPEG
//   3. POST session_path(id) + kStart       start the job (the start body)
//   4. GET  session_path(id)                the job's status; DELETE forgets the session
//   5. GET  matte_path(session_path(id), i) matte i as an 8-bit grey PNG
// and POST kBeacon, the plug-in's start-up note.
inline constexpr const char* kSessions = "/api/matte/sessions";
inline constexpr const char* kBeacon = "/api/beacon";
inline constexpr const char* kStart = "/start";
inline constexpr const char* kFrames = "/frames/";  // then the frame index
inline constexpr const char* kMattes = "/alpha/";   // then the frame index and kMatteExtension
inline constexpr const char* kMatteExtension = ".png";

// kSessions + "/" + id.
std::string session_path(const std::string& id);
// A session's path (or its whole URL) + kFrames + index.
std::string frame_path(const std::string& session, int index);
// A session's path (or its whole URL) + kMattes + index + kMatteExtension.
std::string matte_path(const std::string& session, int index);

// The members of the bodies.
namespace member {
// create: its body {kFps, kSource}, then its answer {kSessionId}
inline constexpr const char *kFps = "fps", *kSource = "source", *kSessionId = "session_id";
// start: the anchor's selection (kBbox, kStrokes), its settings, and the
// corrections, each {kFrame, kBbox, kStrokes}
inline constexpr const char *kAnchorFrame = "anchor_frame", *kBbox = "bbox", *kStrokes = "strokes";
inline constexpr const char *kCorrections = "corrections", *kFrame = "frame";
inline constexpr const char *kQuality = "quality", *kEdgeSoftness = "edge_softness", *kTextPrompt = "text_prompt";
// status: kSessionId, kStatus (a state_name), kFrames (the frames the
// session holds), kProgress {kStage, ...}, and kError with FAILED
inline constexpr const char *kStatus = "status", *kError = "error", *kFrames = "frames";
inline constexpr const char *kProgress = "progress", *kStage = "stage";
}  // namespace member

// A job's life: CREATED until started, then QUEUED, RUNNING and one of the ends.
enum class JobState { Created, Queued, Running, Completed, Failed };
// "CREATED", "QUEUED", "RUNNING", "COMPLETED", "FAILED".
const char* state_name(JobState state);
std::optional<JobState> state_named(const std::string& name);

// A running job's stage names the share of the whole job done, for a
// client that shows the stage alone ("tracking forward 12/40, 31% of the
// job"); a client that shows the share itself takes it out again.
std::string stage_with_share(const std::string& stage, double share);
// The share a stage names (0 to 1), and the stage without it.
std::optional<double> share_in_stage(const std::string& stage);
std::string stage_without_share(const std::string& stage);

// A session id names a local folder and a URL path segment: only letters,
// digits, ".", "_" and "-", 1 to 128 of them, and not "." or "..". A saved
// project may hold any id a backend gave; ours makes new_session_id's.
bool is_session_id(const std::string& text);
// A fresh session id: 32 hex digits from the system's random source, so
// that ids cannot be guessed.
std::string new_session_id();

}  // namespace contract

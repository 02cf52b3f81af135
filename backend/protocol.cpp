#include "backend/protocol.h"

#include <cmath>
#include <set>

#include "backend/log.h"
#include "contract/selection.h"

namespace backend {

using nlohmann::json;
namespace wire = contract::member;

namespace {

Refusal unprocessable(const std::string& reason) { return Refusal(422, reason); }

json object_body(const std::string& body, const char* what) {
  json value = parse_json(body);
  if (value.is_discarded()) throw Refusal(400, std::string("the ") + what + " body is not valid JSON");
  if (!value.is_object()) throw Refusal(400, std::string("the ") + what + " body must be a JSON object");
  return value;
}

// The member when present and not null.
const json* member(const json& object, const char* key) {
  auto it = object.find(key);
  return it == object.end() || it->is_null() ? nullptr : &*it;
}

int read_anchor(const json& body, int frames) {
  const json* anchor = member(body, wire::kAnchorFrame);
  if (!anchor) throw unprocessable("anchor_frame is missing");
  const double value = anchor->is_number() ? anchor->get<double>() : NAN;
  if (!(value == std::floor(value))) throw unprocessable("anchor_frame must be a whole number");
  if (value < 0 || value >= frames)
    throw unprocessable("anchor_frame " + json(*anchor).dump() + " is outside the clip's frames 0 to " +
                        std::to_string(frames - 1));
  return static_cast<int>(value);
}

// The selection's box, checked by the contract; `where` leads each message:
// empty for the anchor's selection, "correction on frame F: " for a
// correction's.
std::optional<matting::Box> read_box(const json& object, const std::string& where) {
  const json* box = member(object, wire::kBbox);
  if (!box) return std::nullopt;
  matting::Box read;
  if (const std::string problem = contract::check_box(*box, &read); !problem.empty())
    throw unprocessable(where + "bbox " + problem);
  return read;
}

// `room` is how many dabs the body may still hold, as the limit is on the
// anchor's strokes and every correction's together; `where` as for read_box.
std::vector<matting::Dab> read_dabs(const json& object, const std::string& where, std::size_t& room) {
  const json* strokes = member(object, wire::kStrokes);
  if (!strokes) return {};
  std::vector<matting::Dab> dabs;
  if (const std::string problem = contract::check_dabs(*strokes, contract::DabForm::kWire, &room, &dabs);
      !problem.empty())
    throw unprocessable(where + "strokes " + problem);
  return dabs;
}

// Marks on other frames than the anchor's, at most one per frame; each must
// change something.
std::vector<matting::Correction> read_corrections(const json& body, int frames, std::size_t room) {
  const json* list = member(body, wire::kCorrections);
  if (!list) return {};
  if (!list->is_array()) throw unprocessable("corrections must be an array of objects, one per frame");
  std::vector<matting::Correction> corrections;
  std::set<int> seen;
  for (std::size_t i = 0; i < list->size(); ++i) {
    const json& item = (*list)[i];
    const std::string number = "correction number " + std::to_string(i + 1);
    if (!item.is_object()) throw unprocessable(number + " must be an object");
    const json* frame = member(item, wire::kFrame);
    if (!frame) throw unprocessable(number + " has no frame");
    const double value = frame->is_number() ? frame->get<double>() : NAN;
    if (!(value == std::floor(value))) throw unprocessable(number + ": frame must be a whole number");
    if (value < 0 || value >= frames)
      throw unprocessable("correction on frame " + frame->dump() + " is outside the clip's frames 0 to " +
                          std::to_string(frames - 1));
    matting::Correction correction;
    correction.frame = static_cast<int>(value);
    const std::string where = "correction on frame " + std::to_string(correction.frame);
    if (!seen.insert(correction.frame).second)
      throw unprocessable(where + " comes twice; give each frame one correction with all its marks");
    correction.selection.box = read_box(item, where + ": ");
    correction.selection.dabs = read_dabs(item, where + ": ", room);
    if (!correction.selection.box && correction.selection.dabs.empty())
      throw unprocessable(where + " marks nothing: give it a box or brush dabs");
    corrections.push_back(std::move(correction));
  }
  return corrections;
}

}  // namespace

int read_frame_index(const std::string& text, int limit) {
  const bool plain = !text.empty() && text.size() <= 9 && (text == "0" || text[0] != '0') &&
                     text.find_first_not_of("0123456789") == std::string::npos;
  if (!plain) throw Refusal(400, "\"" + printable(text, 40) + "\" is not a frame index (0, 1, 2, ...)");
  const int index = std::stoi(text);
  if (index >= limit)
    throw Refusal(413, "frame " + text + " is past this backend's limit of " + std::to_string(limit) +
                           " frames per session");
  return index;
}

CreateRequest read_create(const std::string& body) {
  CreateRequest request;
  if (body.empty()) return request;
  const json object = object_body(body, "create");
  if (const json* fps = member(object, wire::kFps)) {
    if (!fps->is_number() || fps->get<double>() < 0) throw unprocessable("fps must be a number of at least 0");
    request.fps = fps->get<double>();
  }
  if (const json* source = member(object, wire::kSource)) {
    if (!source->is_string()) throw unprocessable("source must be a string");
    request.source = printable(source->get<std::string>(), 64);
  }
  return request;
}

StartRequest read_start(const std::string& body, int frames) {
  const json object = object_body(body, "start");
  StartRequest request;
  request.anchor = read_anchor(object, frames);
  request.selection.box = read_box(object, "");
  std::size_t room = contract::kMaxDabs;
  request.selection.dabs = read_dabs(object, "", room);
  if (const json* hint = member(object, wire::kTextPrompt)) {
    if (!hint->is_string()) throw unprocessable("text_prompt must be a string");
    request.selection.hint = hint->get<std::string>();
  }
  if (!contract::can_anchor(request.selection.box, request.selection.dabs))
    throw unprocessable(request.selection.hint.empty()
                            ? "mark the character with a box or brush dabs on the anchor frame"
                            : "this backend needs a box or brush dabs on the anchor frame; a text hint alone "
                              "is not enough");
  request.corrections = read_corrections(object, frames, room);
  if (const json* quality = member(object, wire::kQuality)) {
    if (*quality != "fine" && *quality != "fast") throw unprocessable("quality must be \"fine\" or \"fast\"");
    request.quality = *quality == "fast" ? matting::Quality::Fast : matting::Quality::Fine;
  }
  if (const json* softness = member(object, wire::kEdgeSoftness)) {
    const double value = softness->is_number() ? softness->get<double>() : NAN;
    if (!(value >= 0 && value <= 1)) throw unprocessable("edge_softness must be a number from 0 to 1");
    request.edgeSoftness = value;
  }
  return request;
}

std::string read_beacon(const std::string& body) {
  const json object = object_body(body, "beacon");
  const auto text = [&](const char* key) {
    const json* value = member(object, key);
    return value && value->is_string() ? printable(value->get<std::string>(), 40) : std::string("?");
  };
  return "plugin " + text("plugin_version") + " on " + text("host") + ", " + text("os") + " " + text("arch");
}

json summary_json(const matting::Summary& s) {
  const matting::StageTimes& t = s.seconds;
  const auto ms = [](double seconds) { return std::round(seconds * 1000) / 1000; };
  return {{"empty_frames", s.emptyFrames},
          {"lost_frames", s.lostFrames},
          {"shot", {s.shotFirst, s.shotLast}},
          {"cuts", s.cuts},
          {"note", s.note},
          {"stage_seconds",
           {{"cuts", ms(t.cuts)},
            {"decode", ms(t.decode)},
            {"anchor", ms(t.anchor)},
            {"track", ms(t.track)},
            {"alpha", ms(t.alpha)},
            {"encode", ms(t.encode)}}}};
}

json status_json(const JobStatus& s) {
  const auto tenths = [](double seconds) { return std::round(seconds * 10) / 10; };
  const int percent = static_cast<int>(s.progress.job * 100);
  const std::string stage =
      s.state == JobState::Running ? contract::stage_with_share(s.progress.stage, s.progress.job) : s.progress.stage;
  json body = {
      {wire::kSessionId, s.sessionId},
      {wire::kStatus, state_name(s.state)},
      {wire::kFrames, s.frames},
      {"width", s.width},
      {"height", s.height},
      {wire::kProgress,
       {{wire::kStage, stage}, {"frame", s.progress.frame}, {wire::kFrames, s.progress.frames}, {"job", percent}}},
      {"seconds", tenths(s.seconds)},
      {"queued_seconds", std::round(s.queuedSeconds * 1000) / 1000}};
  if (s.uploadSeconds >= 0) body["upload_seconds"] = std::round(s.uploadSeconds * 1000) / 1000;
  if (s.state == JobState::Failed) body[wire::kError] = s.error;
  if (s.state == JobState::Completed && s.summary.is_object()) body.update(s.summary);
  return body;
}

}  // namespace backend

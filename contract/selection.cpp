#include "contract/selection.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>

namespace contract {

using nlohmann::json;

namespace {

// Whether the brackets of a JSON text nest at most `limit` deep. Exact for
// valid JSON (brackets inside strings do not count); other text is refused
// by the parser anyway.
bool nests_at_most(const std::string& text, int limit) {
  int depth = 0;
  bool in_string = false, escaped = false;
  for (char c : text) {
    if (in_string) {
      if (escaped)
        escaped = false;
      else if (c == '\\')
        escaped = true;
      else if (c == '"')
        in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

// A member read as a double: 0 when missing, false when not a number.
bool number_or_0(const json& object, const char* key, double* value) {
  auto it = object.find(key);
  if (it == object.end()) {
    *value = 0;
    return true;
  }
  if (!it->is_number()) return false;
  *value = it->get<double>();
  return true;
}

bool is_fraction(double v) { return v >= 0 && v <= 1; }

// What the overlay's drag writes lies within the frame up to the rounding
// of x + w.
constexpr double kRounding = 1e-9;

}  // namespace

json parse_record(const std::string& text) {
  if (!nests_at_most(text, kMaxRecordDepth)) return json(json::value_t::discarded);
  return json::parse(text, nullptr, /*allow_exceptions=*/false);
}

bool read_box(const json& record, Box* box) {
  if (!record.is_object()) return false;
  Box b;
  if (!number_or_0(record, "x", &b.x) || !number_or_0(record, "y", &b.y) || !number_or_0(record, "w", &b.w) ||
      !number_or_0(record, "h", &b.h))
    return false;
  if (!(b.w > 0)) return false;
  if (auto t = record.find("t"); t != record.end() && t->is_number()) b.time = t->get<double>();
  if (box) *box = b;
  return true;
}

std::vector<Dab> read_dabs(const json& record) {
  std::vector<Dab> dabs;
  if (!record.is_array()) return dabs;
  for (const json& element : record) {
    if (!element.is_array() || element.size() < 3) continue;
    if (!element[0].is_number() || !element[1].is_number() || !element[2].is_number()) continue;
    Dab dab{element[0].get<double>(), element[1].get<double>(), element[2].get<double>()};
    if (element.size() > 3 && element[3].is_number()) dab.time = element[3].get<double>();
    dabs.push_back(dab);
  }
  return dabs;
}

std::string box_from_drag(double ax, double ay, double px, double py, std::optional<double> time) {
  json box = {{"x", std::min(ax, px)}, {"y", std::min(ay, py)}, {"w", std::fabs(px - ax)}, {"h", std::fabs(py - ay)}};
  if (time) box["t"] = *time;
  return box.dump();
}

std::optional<std::string> append_dab(const std::string& brushText, double x, double y, double r,
                                      std::optional<double> time) {
  json dabs = parse_record(brushText);
  if (!dabs.is_array()) dabs = json::array();
  if (dabs.size() >= kMaxDabs) return std::nullopt;
  json dab = json::array({x, y, r});
  if (time) dab.push_back(*time);
  dabs.push_back(std::move(dab));
  return dabs.dump();
}

std::string box_problem(const Box& b) {
  const double sides[4] = {b.x, b.y, b.w, b.h};
  for (int i = 0; i < 4; ++i)
    if (!is_fraction(sides[i])) return std::string(1, "xywh"[i]) + " must lie from 0 to 1";
  if (!(b.w > 0 && b.h > 0)) return "has no area: w and h must be greater than 0";
  if (b.x + b.w > 1 + kRounding || b.y + b.h > 1 + kRounding)
    return "reaches past the frame: x + w and y + h must be at most 1";
  return "";
}

std::string dab_problem(const Dab& d) {
  if (!is_fraction(d.x) || !is_fraction(d.y)) return "x and y must lie from 0 to 1";
  if (!(d.r != 0 && std::fabs(d.r) <= 1)) return "r must not be 0 and must lie from -1 to 1";
  return "";
}

std::string check_box(const json& box, Box* out) {
  if (!box.is_object()) return "must be a JSON object of the numbers x, y, w and h";
  double v[4];
  for (int i = 0; i < 4; ++i) {
    const std::string name(1, "xywh"[i]);
    const auto member = box.find(name);
    if (member == box.end() || !member->is_number()) return "lacks the number " + name;
    v[i] = member->get<double>();
  }
  if (std::string problem = box_problem(Box{v[0], v[1], v[2], v[3]}); !problem.empty()) return problem;
  if (out) *out = Box{v[0], v[1], std::min(v[2], 1 - v[0]), std::min(v[3], 1 - v[1])};
  return "";
}

std::string check_dabs(const json& dabs, DabForm form, std::size_t* room, std::vector<Dab>* out) {
  const bool record = form == DabForm::kRecord;
  const std::string shape = record ? "[x, y, r] (or four, with the time of its frame)" : "[x, y, r]";
  if (!dabs.is_array()) return "must be a JSON array of dabs " + shape;
  if (dabs.size() > *room)
    return *room < kMaxDabs ? "bring the selection to more than " + std::to_string(kMaxDabs) +
                                  " dabs, the most for the anchor's and every correction's together"
                            : "holds more than " + std::to_string(kMaxDabs) + " dabs";
  *room -= dabs.size();
  for (std::size_t i = 0; i < dabs.size(); ++i) {
    const json& dab = dabs[i];
    const std::string which = "dab " + std::to_string(i + 1);
    const bool timed = record && dab.is_array() && dab.size() == 4 && dab[3].is_number();
    if (!dab.is_array() || (dab.size() != 3 && !timed) || !dab[0].is_number() || !dab[1].is_number() ||
        !dab[2].is_number())
      return which + " is not three numbers " + shape;
    const Dab read{dab[0].get<double>(), dab[1].get<double>(), dab[2].get<double>(),
                   timed ? std::optional<double>(dab[3].get<double>()) : std::nullopt};
    if (std::string problem = dab_problem(read); !problem.empty()) return which + ": " + problem;
    if (out) out->push_back(read);
  }
  return "";
}

bool can_anchor(const std::optional<Box>& box, const std::vector<Dab>& dabs) {
  return box || std::any_of(dabs.begin(), dabs.end(), [](const Dab& d) { return d.r > 0; });
}

double frame_index(double time, double first) { return std::round(time - first); }

FrameMarks group_marks(const std::vector<Dab>& dabs, const std::optional<Box>& box, long long anchorFrame, double first,
                       long long frameCount) {
  // A mark's frame: kEvery without a time, kOutside past the clip's ends.
  constexpr long long kEvery = -1, kOutside = -2;
  const auto frame_of = [&](const std::optional<double>& time) {
    if (!time) return kEvery;
    const double index = frame_index(*time, first);
    return index >= 0 && index < static_cast<double>(frameCount) ? static_cast<long long>(index) : kOutside;
  };
  std::map<long long, bool> anchors;  // the frames that carry marks, and whether one could anchor the pull
  const long long box_frame = box ? frame_of(box->time) : kOutside;
  if (box_frame >= 0) anchors[box_frame] = true;
  bool anchored = box && (box_frame == kEvery || box_frame == anchorFrame);  // a box or an adding dab on the anchor
  std::vector<long long> frames;
  for (const Dab& dab : dabs) {
    const long long frame = frame_of(dab.time);
    if (frame >= 0) anchors[frame] = anchors[frame] || dab.r > 0;
    if (frame == kEvery || frame == anchorFrame) anchored = anchored || dab.r > 0;
    frames.push_back(frame);
  }
  FrameMarks marks;
  marks.anchorFrame = anchorFrame;
  if (!anchored) {
    std::optional<long long> nearest;
    for (const auto& [frame, can] : anchors)  // in frame order: of two as near, the earlier stays
      if (can && (!nearest || std::llabs(frame - anchorFrame) < std::llabs(*nearest - anchorFrame))) nearest = frame;
    if (nearest) marks.anchorFrame = *nearest;
  }
  std::map<long long, Correction> corrections;
  if (box_frame == kEvery || box_frame == marks.anchorFrame)
    marks.box = box;
  else if (box_frame >= 0)
    corrections[box_frame].box = box;
  for (std::size_t i = 0; i < dabs.size(); ++i) {
    if (frames[i] == kEvery || frames[i] == marks.anchorFrame)
      marks.strokes.push_back(dabs[i]);
    else if (frames[i] >= 0)
      corrections[frames[i]].strokes.push_back(dabs[i]);
  }
  for (auto& [frame, correction] : corrections) {
    correction.frame = frame;
    marks.corrections.push_back(std::move(correction));
  }
  return marks;
}

}  // namespace contract

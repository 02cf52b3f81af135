#include "orv/selection.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>

namespace orv {

using nlohmann::json;

Space make_space(double sizeX, double sizeY, double offsetX, double offsetY) {
  Space space;
  space.offsetX = offsetX;
  space.offsetY = offsetY;
  if (sizeX > 0 && sizeY > 0) {
    space.width = sizeX;
    space.height = sizeY;
  }
  return space;
}

void to_canonical(const Space& s, double x, double y, double* cx, double* cy) {
  *cx = s.offsetX + x * s.width;
  *cy = s.offsetY + (1 - y) * s.height;
}

void to_selection(const Space& s, double cx, double cy, double* x, double* y) {
  // NaN from a host's pen position lands at 0, like every out-of-range value
  // lands on the border.
  auto clamp01 = [](double v) { return v >= 0 ? std::min(v, 1.0) : 0.0; };
  *x = clamp01((cx - s.offsetX) / s.width);
  *y = clamp01(1 - (cy - s.offsetY) / s.height);
}

namespace {

// Whether the brackets of a JSON text nest at most `limit` deep. Exact for
// valid JSON (brackets inside strings do not count); other text is refused
// by the parser anyway.
bool nestsAtMost(const std::string& text, int limit) {
  int depth = 0;
  bool inString = false, escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped)
        escaped = false;
      else if (c == '\\')
        escaped = true;
      else if (c == '"')
        inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

}  // namespace

json parse_record(const std::string& text) {
  if (!nestsAtMost(text, kMaxRecordDepth)) return json(json::value_t::discarded);
  return json::parse(text, nullptr, /*allow_exceptions=*/false);
}

namespace {

// A member read as a double: 0 when missing, false when not a number.
bool numberOr0(const json& object, const char* key, double* value) {
  auto it = object.find(key);
  if (it == object.end()) {
    *value = 0;
    return true;
  }
  if (!it->is_number()) return false;
  *value = it->get<double>();
  return true;
}

}  // namespace

bool read_box(const json& record, Box* box) {
  if (!record.is_object()) return false;
  Box b;
  if (!numberOr0(record, "x", &b.x) || !numberOr0(record, "y", &b.y) || !numberOr0(record, "w", &b.w) ||
      !numberOr0(record, "h", &b.h))
    return false;
  if (!(b.w > 0)) return false;
  if (auto t = record.find("t"); t != record.end() && t->is_number()) b.time = t->get<double>();
  if (box) *box = b;
  return true;
}

std::string box_from_drag(double ax, double ay, double px, double py, std::optional<double> time) {
  json box = {{"x", std::min(ax, px)}, {"y", std::min(ay, py)}, {"w", std::fabs(px - ax)}, {"h", std::fabs(py - ay)}};
  if (time) box["t"] = *time;
  return box.dump();
}

std::vector<Dab> read_dabs(const json& record) {
  std::vector<Dab> dabs;
  if (!record.is_array()) return dabs;
  for (const json& element : record) {
    if (!element.is_array() || element.size() < 3) continue;
    if (!element[0].is_number() || !element[1].is_number() || !element[2].is_number()) continue;
    Dab dab{element[0].get<double>(), element[1].get<double>(), element[2].get<double>(), std::nullopt};
    if (element.size() > 3 && element[3].is_number()) dab.time = element[3].get<double>();
    dabs.push_back(dab);
  }
  return dabs;
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

double frame_index(double time, double first) { return std::round(time - first); }

FrameMarks group_marks(const std::vector<Dab>& dabs, const std::optional<Box>& box, long long anchorFrame, double first,
                       long long frameCount) {
  // A mark's frame: kEvery without a time, kOutside past the clip's ends.
  constexpr long long kEvery = -1, kOutside = -2;
  const auto frameOf = [&](const std::optional<double>& time) {
    if (!time) return kEvery;
    const double index = frame_index(*time, first);
    return index >= 0 && index < static_cast<double>(frameCount) ? static_cast<long long>(index) : kOutside;
  };
  std::map<long long, bool> anchors;  // the frames that carry marks, and whether one could anchor the pull
  const long long boxFrame = box ? frameOf(box->time) : kOutside;
  if (boxFrame >= 0) anchors[boxFrame] = true;
  bool anchored = box && (boxFrame == kEvery || boxFrame == anchorFrame);  // a box or an adding dab on the anchor
  std::vector<long long> frames;
  for (const Dab& dab : dabs) {
    const long long frame = frameOf(dab.time);
    if (frame >= 0) anchors[frame] = anchors[frame] || dab.r > 0;
    if (frame == kEvery || frame == anchorFrame) anchored = anchored || dab.r > 0;
    frames.push_back(frame);
  }
  FrameMarks marks;
  marks.anchorFrame = anchorFrame;
  if (!anchored) {
    std::optional<long long> nearest;
    for (const auto& [frame, canAnchor] : anchors)  // in frame order: of two as near, the earlier stays
      if (canAnchor && (!nearest || std::llabs(frame - anchorFrame) < std::llabs(*nearest - anchorFrame)))
        nearest = frame;
    if (nearest) marks.anchorFrame = *nearest;
  }
  std::map<long long, FrameCorrection> corrections;
  if (boxFrame == kEvery || boxFrame == marks.anchorFrame)
    marks.box = box;
  else if (boxFrame >= 0)
    corrections[boxFrame].box = box;
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

}  // namespace orv

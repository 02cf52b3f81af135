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
  if (box) *box = b;
  return true;
}

std::string box_from_drag(double ax, double ay, double px, double py) {
  json box = {{"x", std::min(ax, px)}, {"y", std::min(ay, py)}, {"w", std::fabs(px - ax)}, {"h", std::fabs(py - ay)}};
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

FrameMarks group_marks(const std::vector<Dab>& dabs, bool hasBox, long long anchorFrame, double first,
                       long long frameCount) {
  // Each dab's frame: -1 for every frame (no time), -2 outside the clip.
  std::vector<long long> frames;
  std::map<long long, bool> adds;  // the frames that carry dabs, and whether one of them adds
  bool anchorAdds = false;
  for (const Dab& dab : dabs) {
    long long frame = -1;
    if (dab.time) {
      const double index = frame_index(*dab.time, first);
      frame = index >= 0 && index < static_cast<double>(frameCount) ? static_cast<long long>(index) : -2;
      if (frame >= 0) adds[frame] = adds[frame] || dab.r > 0;
    }
    if (frame == -1 || frame == anchorFrame) anchorAdds = anchorAdds || dab.r > 0;
    frames.push_back(frame);
  }
  FrameMarks marks;
  marks.anchorFrame = anchorFrame;
  if (!hasBox && !anchorAdds) {
    std::optional<long long> nearest;
    for (const auto& [frame, adding] : adds)  // in frame order: of two as near, the earlier stays
      if (adding && (!nearest || std::llabs(frame - anchorFrame) < std::llabs(*nearest - anchorFrame))) nearest = frame;
    if (nearest) marks.anchorFrame = *nearest;
  }
  std::map<long long, std::vector<Dab>> corrections;
  for (std::size_t i = 0; i < dabs.size(); ++i) {
    if (frames[i] == -1 || frames[i] == marks.anchorFrame)
      marks.strokes.push_back(dabs[i]);
    else if (frames[i] >= 0)
      corrections[frames[i]].push_back(dabs[i]);
  }
  marks.corrections.assign(corrections.begin(), corrections.end());
  return marks;
}

}  // namespace orv

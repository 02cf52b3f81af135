#pragma once
// The selection records: the box in `bbox_json` and the brush dabs in
// `brush_json`, as fractions of the project rectangle with the origin at its
// top-left corner. The one place where their text form, coordinate space and
// validity rules live; the overlay and the pull both go through it.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace orv {

// The project rectangle in the host's canonical coordinates.
struct Space {
  double offsetX = 0, offsetY = 0;
  double width = 1920, height = 1080;
};

// The space of a project of the given size and offset; a size that is not
// positive on both axes stands for 1920 x 1080.
Space make_space(double sizeX, double sizeY, double offsetX, double offsetY);

// Selection (x right, y down, 0..1) to canonical (y up).
void to_canonical(const Space& space, double x, double y, double* cx, double* cy);
// Canonical to selection, clamped to [0, 1] on both axes.
void to_selection(const Space& space, double cx, double cy, double* x, double* y);

// Deepest nesting of arrays and objects a record may have. A record has two
// levels; writing back or copying a parsed value recurses once per level, so
// a text nested hundreds of thousands deep would exhaust the host thread's
// stack.
inline constexpr int kMaxRecordDepth = 64;

// A record's text parsed without exceptions: the "discarded" value when it
// is not JSON (the empty text included) or is nested deeper than
// kMaxRecordDepth.
nlohmann::json parse_record(const std::string& text);

struct Box {
  double x = 0, y = 0, w = 0, h = 0;
  // The host time of the frame it was drawn on: "t", when a number. Without
  // it (records saved before boxes had one) the box belongs to the frame
  // pulled on and shows on every frame.
  std::optional<double> time;
};

// Whether a parsed bbox_json record is a box: an object whose "w" is greater
// than 0. Missing members read as 0; one of x, y, w and h that is present
// but not a number makes the record no box; a "t" that is not a number is
// no time.
bool read_box(const nlohmann::json& record, Box* box = nullptr);

// The bbox_json text of the box spanned by a drag from the anchor (ax, ay)
// to the pen (px, py), both in clamped selection coordinates, with "t" when
// a time is given.
std::string box_from_drag(double ax, double ay, double px, double py, std::optional<double> time = std::nullopt);

struct Dab {
  double x = 0, y = 0, r = 0;  // r > 0 adds, otherwise excludes; |r| is a fraction of the width
  // The host time of the frame it was painted on: the fourth member, when a
  // number. Without it (records saved before dabs had one) the dab belongs
  // to every frame.
  std::optional<double> time;
};

// The dabs of a parsed brush_json record, in stored order. Elements that are
// not arrays of at least three numbers are skipped.
std::vector<Dab> read_dabs(const nlohmann::json& record);

inline constexpr std::size_t kMaxDabs = 2048;

// The brush_json text with one dab appended, [x, y, r, time] or, without a
// time, [x, y, r]; nothing when it already holds kMaxDabs dabs. Text that is
// not a JSON array counts as no dabs; the dabs already there are kept exactly
// as they were.
std::optional<std::string> append_dab(const std::string& brushText, double x, double y, double r,
                                      std::optional<double> time = std::nullopt);

// The frame index (0 for `first`) of a host time, rounded as the pull
// rounds the anchor's; a double, so that any time maps without overflow.
double frame_index(double time, double first);

// The marks of one frame other than the anchor's: a box, dabs, or both.
struct FrameCorrection {
  long long frame = 0;
  std::optional<Box> box;
  std::vector<Dab> strokes;
};

// The marks of a pull, by frame index of the staged clip: the anchor's and
// those of the other frames, each frame's dabs in stored order.
struct FrameMarks {
  long long anchorFrame = 0;
  std::optional<Box> box;                    // the box, when it has no time or is on the anchor's frame
  std::vector<Dab> strokes;                  // the dabs without a time and those of the anchor's frame
  std::vector<FrameCorrection> corrections;  // in frame order, never the anchor's
};

// Groups the box and the dabs of a clip of frameCount frames from host time
// `first` pulled on anchorFrame; a mark whose frame lies outside the clip is
// left out. When the anchor's frame has no box and no adding dab but another
// frame has one, the anchor moves to the nearest such frame (the earlier of
// two as near), whose marks become the anchor's.
FrameMarks group_marks(const std::vector<Dab>& dabs, const std::optional<Box>& box, long long anchorFrame, double first,
                       long long frameCount);

}  // namespace orv

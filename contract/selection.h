#pragma once
// The selection: the box and the brush dabs that mark the character, in
// fractions of the frame with the origin at its top-left corner. The plug-in
// keeps them as records (`bbox_json`, `brush_json`), the command writes them
// through the overlay, the start body carries them, the engine takes them.
// Their one reader and their one checker live here, with their limits.

#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace contract {

// The most dabs a selection holds: the overlay appends no more to a record,
// and a start body holds no more, the anchor's and every correction's
// together.
inline constexpr std::size_t kMaxDabs = 2048;

// Deepest nesting of arrays and objects a record may have. A record has two
// levels; writing back or copying a parsed value recurses once per level, so
// a text nested hundreds of thousands deep would exhaust a thread's stack.
inline constexpr int kMaxRecordDepth = 64;

// Any text (a record, a start body, a corrections file) parsed without
// exceptions: the "discarded" value when it is not JSON (the empty text
// included) or is nested deeper than kMaxRecordDepth.
nlohmann::json parse_record(const std::string& text);

struct Box {
  Box() = default;
  Box(double x, double y, double w, double h, std::optional<double> time = std::nullopt)
      : x(x), y(y), w(w), h(h), time(time) {}
  double x = 0, y = 0, w = 0, h = 0;
  // The host time of the frame it was drawn on. Without it (a record
  // without "t") the box belongs to the frame pulled on.
  std::optional<double> time;
};

struct Dab {
  Dab() = default;
  Dab(double x, double y, double r, std::optional<double> time = std::nullopt) : x(x), y(y), r(r), time(time) {}
  double x = 0, y = 0, r = 0;  // r > 0 adds, otherwise excludes; |r| is a fraction of the width
  // The host time of the frame it was painted on. Without it (a record of
  // three members) the dab belongs to every frame.
  std::optional<double> time;
};

// Reading a saved record never refuses it: what does not fit counts as no
// box or is skipped, so that any project opens and shows what it can.
//
// Whether a parsed bbox_json record is a box: an object whose "w" is greater
// than 0. Missing members read as 0; one of x, y, w and h that is present
// but not a number makes the record no box; a "t" that is not a number is
// no time.
bool read_box(const nlohmann::json& record, Box* box = nullptr);
// The dabs of a parsed brush_json record, in stored order: elements that
// are arrays of at least three numbers, a fourth number being the time.
std::vector<Dab> read_dabs(const nlohmann::json& record);

// The bbox_json text of the box spanned by a drag from the anchor (ax, ay)
// to the pen (px, py), both in clamped selection coordinates, with "t" when
// a time is given.
std::string box_from_drag(double ax, double ay, double px, double py, std::optional<double> time = std::nullopt);
// The brush_json text with one dab appended, [x, y, r, time] or, without a
// time, [x, y, r]; nothing when it already holds kMaxDabs dabs. Text that is
// not a JSON array counts as no dabs; the dabs already there are kept exactly
// as they were.
std::optional<std::string> append_dab(const std::string& brushText, double x, double y, double r,
                                      std::optional<double> time = std::nullopt);

// Checking a selection given for a job (a start body, the command's
// options): what is wrong with it, "" when nothing is, for a person and
// without the subject, which the caller names first.
//
// A box: x, y, w and h from 0 to 1, w and h above 0, within the frame
// (x + w and y + h at most 1, to rounding).
std::string box_problem(const Box& box);
// A dab: x and y from 0 to 1, r not 0 and from -1 to 1.
std::string dab_problem(const Dab& dab);
// A box as JSON: an object whose x, y, w and h are numbers, as box_problem
// wants them. Other members are the record's own (its "t", a note) and are
// let be.
std::string check_box(const nlohmann::json& box, Box* out = nullptr);
// Dabs as JSON: an array of dabs [x, y, r], each as dab_problem wants it;
// as a record (kRecord) a fourth number, the time, may follow. At
// most *room of them, taken off *room, so that several lists share one
// kMaxDabs.
enum class DabForm { kWire, kRecord };
std::string check_dabs(const nlohmann::json& dabs, DabForm form, std::size_t* room, std::vector<Dab>* out = nullptr);
// Whether a selection can start a track: a box or a dab that adds.
bool can_anchor(const std::optional<Box>& box, const std::vector<Dab>& dabs);

// The frame index (0 for `first`) of a host time, rounded as the pull
// rounds the anchor's; a double, so that any time maps without overflow.
double frame_index(double time, double first);

// The marks of one frame other than the anchor's, where the matte went
// wrong: a box, dabs, or both.
struct Correction {
  long long frame = 0;
  std::optional<Box> box;
  std::vector<Dab> strokes;
};

// The marks of a pull, by frame index of the staged clip: the anchor's and
// those of the other frames, each frame's dabs in stored order.
struct FrameMarks {
  long long anchorFrame = 0;
  std::optional<Box> box;               // the box, when it has no time or is on the anchor's frame
  std::vector<Dab> strokes;             // the dabs without a time and those of the anchor's frame
  std::vector<Correction> corrections;  // in frame order, never the anchor's
};

// Groups the box and the dabs of a clip of frameCount frames from host time
// `first` pulled on anchorFrame; a mark whose frame lies outside the clip is
// left out. When the anchor's frame has no box and no adding dab but another
// frame has one, the anchor moves to the nearest such frame (the earlier of
// two as near), whose marks become the anchor's.
FrameMarks group_marks(const std::vector<Dab>& dabs, const std::optional<Box>& box, long long anchorFrame, double first,
                       long long frameCount);

}  // namespace contract

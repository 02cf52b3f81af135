// The selection records through the contract's one reader and checker: any
// text stored in bbox_json or brush_json (a project file can hold anything)
// is parsed, tested for a box, read as dabs, checked as a job's selection,
// appended to, and built into the start body, without an error escaping and
// with the results consistent with the parsed record.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "contract/selection.h"
#include "fuzz_check.h"
#include "orv/backend.h"

using nlohmann::json;

namespace {

// Whether an element is a dab as read_dabs takes it.
bool isDab(const json& element) {
  return element.is_array() && element.size() >= 3 && element[0].is_number() && element[1].is_number() &&
         element[2].is_number();
}

void checkAppend(const std::string& text, const json& record, double x, double y, double r) {
  std::optional<std::string> appended = contract::append_dab(text, x, y, r);
  const std::size_t before = record.is_array() ? record.size() : 0;
  if (before >= contract::kMaxDabs) {
    FUZZ_CHECK(!appended);
    return;
  }
  FUZZ_CHECK(appended);
  json written = json::parse(*appended, nullptr, false);
  FUZZ_CHECK(written.is_array());
  FUZZ_CHECK(written.size() == before + 1);
  for (std::size_t i = 0; i < before; ++i) FUZZ_CHECK(written[i] == record[i]);  // kept as they were
  FUZZ_CHECK(written.back() == json::array({x, y, r}));
  // What the overlay draws next time: the old dabs and the new one.
  std::vector<contract::Dab> dabs = contract::read_dabs(written);
  FUZZ_CHECK(dabs.size() == contract::read_dabs(record).size() + 1);
  FUZZ_CHECK(dabs.back().x == x && dabs.back().y == y && dabs.back().r == r);
}

// Whether every element of a sent list is a dab as the backend takes it.
bool allTriples(const json& list) {
  if (!list.is_array()) return false;
  for (const json& dab : list)
    if (!dab.is_array() || dab.size() != 3 || !dab[0].is_number() || !dab[1].is_number() || !dab[2].is_number())
      return false;
  return true;
}

// A clip of 8 frames from host time 0.5, pressed on frame 3.
void checkStartBody(const std::string& bboxText, const std::string& brushText) {
  orv::StartSettings settings;
  settings.anchorFrame = 3;
  settings.firstTime = 0.5;
  settings.frameCount = 8;
  settings.edgeSoftness = 0.5;
  settings.bboxText = bboxText;
  settings.brushText = brushText;
  // Only a text_prompt that is not UTF-8 may make it throw; stored records
  // that are not JSON count as no box and no strokes.
  const std::string body = orv::start_body(settings);
  json sent = json::parse(body, nullptr, false);
  FUZZ_CHECK(sent.is_object());
  const json record = contract::parse_record(bboxText), strokes = contract::parse_record(brushText);
  contract::Box box;
  const bool isBox = contract::read_box(record, &box);
  // A box goes as stored or, with "t", as its four sides alone.
  const json boxSent = record.contains("t") ? json{{"x", box.x}, {"y", box.y}, {"w", box.w}, {"h", box.h}} : record;
  FUZZ_CHECK(sent["quality"] == "fine" && sent["text_prompt"] == "");
  const std::vector<contract::Dab> dabs = contract::read_dabs(strokes);
  if (!(isBox && box.time) &&
      std::none_of(dabs.begin(), dabs.end(), [](const contract::Dab& d) { return d.time.has_value(); })) {
    // Records without times go exactly as stored.
    FUZZ_CHECK(sent.contains("bbox") == isBox);
    if (isBox) FUZZ_CHECK(sent["bbox"] == boxSent);
    FUZZ_CHECK(sent["strokes"] == (strokes.is_array() ? strokes : json::array()));
    FUZZ_CHECK(sent["anchor_frame"] == 3 && !sent.contains("corrections"));
    return;
  }
  // Each mark without a time or on one of the clip's frames goes once, the
  // dabs as [x, y, r]: with the anchor's or in the one correction of its
  // frame, the corrections in frame order, none on the anchor's frame.
  const auto inClip = [](const std::optional<double>& time) {
    return !time || (contract::frame_index(*time, 0.5) >= 0 && contract::frame_index(*time, 0.5) < 8);
  };
  const auto onFrame = [&](long long frame) { return !box.time || contract::frame_index(*box.time, 0.5) == frame; };
  const long long anchor = sent["anchor_frame"].get<long long>();
  FUZZ_CHECK(
      anchor ==
      contract::group_marks(dabs, isBox ? std::optional<contract::Box>(box) : std::nullopt, 3, 0.5, 8).anchorFrame);
  FUZZ_CHECK(anchor >= 0 && anchor < 8);
  std::size_t kept = 0;
  for (const contract::Dab& d : dabs) kept += inClip(d.time);
  FUZZ_CHECK(allTriples(sent["strokes"]));
  std::size_t carried = sent["strokes"].size(), boxes = 0;
  if (sent.contains("bbox")) {
    FUZZ_CHECK(sent["bbox"] == boxSent && onFrame(anchor));
    ++boxes;
  }
  if (sent.contains("corrections")) {
    FUZZ_CHECK(!sent["corrections"].empty());
    long long previous = -1;
    for (const json& correction : sent["corrections"]) {
      const long long frame = correction["frame"].get<long long>();
      FUZZ_CHECK(frame > previous && frame < 8 && frame != anchor);
      FUZZ_CHECK(correction.contains("bbox") || correction.contains("strokes"));
      if (correction.contains("bbox")) {
        FUZZ_CHECK(correction["bbox"] == boxSent && box.time && onFrame(frame));
        ++boxes;
      }
      if (correction.contains("strokes")) {
        FUZZ_CHECK(!correction["strokes"].empty() && allTriples(correction["strokes"]));
        carried += correction["strokes"].size();
      }
      previous = frame;
    }
  }
  FUZZ_CHECK(carried == kept);
  FUZZ_CHECK(boxes == (isBox && inClip(box.time) ? 1u : 0u));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const json record = contract::parse_record(text);

  contract::Box box;
  const bool isBox = contract::read_box(record, &box);
  if (isBox) {
    FUZZ_CHECK(record.is_object());
    FUZZ_CHECK(box.w > 0);
    FUZZ_CHECK(record.value("w", 0.0) == box.w);
    FUZZ_CHECK(box.time.has_value() == (record.contains("t") && record["t"].is_number()));
  } else {
    FUZZ_CHECK(box.x == 0 && box.y == 0 && box.w == 0 && box.h == 0 && !box.time);  // untouched
  }

  const std::vector<contract::Dab> dabs = contract::read_dabs(record);
  std::size_t expected = 0;
  if (record.is_array())
    for (const json& element : record) expected += isDab(element) ? 1 : 0;
  FUZZ_CHECK(dabs.size() == expected);

  // An add dab and an exclude dab as the overlay writes them: positions
  // clamped to [0, 1], radii within the brush size's range.
  checkAppend(text, record, 0.25, 0.5, 0.03);
  checkAppend(text, record, 1.0, 0.0, -0.3);

  // The checker on the same record: what it passes, the reader takes alike.
  contract::Box checked;
  if (contract::check_box(record, &checked).empty()) {
    FUZZ_CHECK(isBox && checked.x == box.x && checked.y == box.y && checked.h > 0);
    FUZZ_CHECK(checked.x + checked.w <= 1 && checked.y + checked.h <= 1);
  }
  for (const auto form : {contract::DabForm::kWire, contract::DabForm::kRecord}) {
    std::size_t room = contract::kMaxDabs;
    std::vector<contract::Dab> passed;
    if (!contract::check_dabs(record, form, &room, &passed).empty()) continue;
    FUZZ_CHECK(passed.size() == dabs.size() && room == contract::kMaxDabs - dabs.size());
    for (std::size_t i = 0; i < dabs.size(); ++i)
      FUZZ_CHECK(passed[i].x == dabs[i].x && passed[i].y == dabs[i].y && passed[i].r == dabs[i].r &&
                 passed[i].time == dabs[i].time && passed[i].r != 0);
  }

  checkStartBody(text, text);
  checkStartBody(text, "[]");
  return 0;
}

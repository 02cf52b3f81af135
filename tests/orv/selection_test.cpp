// The selection records' rules that the overlay tests do not reach: the
// box test on hand-written records, the coordinate mapping with offsets, and
// the start body the pull builds from the records.

#include "orv/selection.h"

#include <gtest/gtest.h>

#include <cmath>

#include "contract/selection.h"
#include "orv/backend.h"

using namespace orv;
using namespace contract;

TEST(SelectionBox, OnlyAPositiveNumericWidthMakesABox) {
  Box b;
  ASSERT_TRUE(read_box(parse_record(R"({"w":1})"), &b));  // integers read as doubles
  EXPECT_EQ(b.w, 1.0);
  EXPECT_EQ(b.x, 0.0);
  EXPECT_EQ(b.h, 0.0);
  ASSERT_TRUE(read_box(parse_record(R"( {"y": 0.5, "h": 0, "w": 0.2, "x": 0.25, "note": "hand-made"} )"), &b));
  EXPECT_EQ(b.x, 0.25);
  EXPECT_EQ(b.y, 0.5);
  EXPECT_EQ(b.w, 0.2);  // a flat box is still a box
  for (const char* text : {"", "null", "[]", "3", R"({"w":0})", R"({"w":-0.1})", R"({"h":0.5})", R"({"w":"0.5"})",
                           R"({"w":0.5,"y":null})", R"({"w":0.5,"x":[0]})", R"({"w":false})"})
    EXPECT_FALSE(read_box(parse_record(text))) << text;
}

TEST(SelectionSpace, SelectionAndCanonicalCoordinatesMapBothWays) {
  const Space s = make_space(2000, 1000, -100, 50);
  double cx, cy, x, y;
  to_canonical(s, 0.25, 0.25, &cx, &cy);
  EXPECT_EQ(cx, 400.0);   // -100 + 0.25 * 2000
  EXPECT_EQ(cy, 800.0);   // 50 + 0.75 * 1000: y runs down, canonical y up
  to_selection(s, cx, cy, &x, &y);
  EXPECT_EQ(x, 0.25);
  EXPECT_EQ(y, 0.25);
  to_selection(s, -1e9, 1e9, &x, &y);
  EXPECT_EQ(x, 0.0);
  EXPECT_EQ(y, 0.0);
  to_selection(s, NAN, 1e9, &x, &y);
  EXPECT_EQ(x, 0.0);
  for (auto [w, h] : {std::pair{0.0, 0.0}, {1000.0, 0.0}, {-5.0, 10.0}}) {
    Space fallback = make_space(w, h, 7, 8);
    EXPECT_EQ(fallback.width, 1920.0);
    EXPECT_EQ(fallback.height, 1080.0);
    EXPECT_EQ(fallback.offset_x, 7.0);
  }
}

TEST(SelectionDabs, AppendingKeepsWhatIsThereAndStopsAtTheLimit) {
  EXPECT_EQ(append_dab("[]", 0.25, 0.5, 0.03), "[[0.25,0.5,0.03]]");
  EXPECT_EQ(append_dab(R"([ [1, 0, -0.5] ])", 0.0, 0.0, 0.005), "[[1,0,-0.5],[0.0,0.0,0.005]]");
  EXPECT_EQ(append_dab("[[1,0,-0.5]]", 0.25, 0.5, 0.03, 12.0), "[[1,0,-0.5],[0.25,0.5,0.03,12.0]]");
  std::string full = "[";
  for (std::size_t i = 0; i < kMaxDabs; ++i) full += std::string(i ? "," : "") + "[0,0,1]";
  EXPECT_FALSE(append_dab(full + "]", 0.5, 0.5, 0.1).has_value());
  const auto dabs = read_dabs(parse_record(R"([[0.25,0.5,0.03],[0.5,0.75,-0.05,7]])"));
  ASSERT_EQ(dabs.size(), 2u);
  EXPECT_EQ(dabs[1].r, -0.05);
  EXPECT_FALSE(dabs[0].time.has_value());
  EXPECT_EQ(dabs[1].time, 7.0);
}

// Clip of ten frames from host time 10, pressed on frame 2 (time 12).
TEST(SelectionStartBody, TimedMarksAreGroupedByFrameAndRecordsWithoutTimesGoAsStored) {
  const char* box = R"({"h":0.5,"w":0.5,"x":0,"y":0})";
  struct Row {
    const char *what, *bbox, *brush, *body;
  };
  const Row rows[] = {
      {"no times: copied as stored", box, R"([[1, 0, -0.5],"x"])",
       R"({"anchor_frame":2,"bbox":{"h":0.5,"w":0.5,"x":0,"y":0},"edge_softness":0.0,"quality":"fine",)"
       R"("strokes":[[1,0,-0.5],"x"],"text_prompt":""})"},
      {"a box keeps the anchor; frames 10 and -1 are outside", box,
       "[[0.1,0.1,0.03,14.0],[0.2,0.2,-0.03],[0.3,0.3,-0.03,12.4],[0.7,0.7,0.03,13.0],[0.4,0.4,-0.03,11.6],"
       "[0.5,0.5,-0.03,19.5],[0.6,0.6,0.03,9.4]]",
       R"({"anchor_frame":2,"bbox":{"h":0.5,"w":0.5,"x":0,"y":0},"corrections":[{"frame":3,"strokes":[[0.7,0.7,0.03]]},)"
       R"({"frame":4,"strokes":[[0.1,0.1,0.03]]}],"edge_softness":0.0,"quality":"fine",)"
       R"("strokes":[[0.2,0.2,-0.03],[0.3,0.3,-0.03],[0.4,0.4,-0.03]],"text_prompt":""})"},
      {"an adding dab without a time keeps the anchor", "", "[[0.1,0.1,0.03,14.0],[0.2,0.2,0.03]]",
       R"({"anchor_frame":2,"corrections":[{"frame":4,"strokes":[[0.1,0.1,0.03]]}],"edge_softness":0.0,)"
       R"("quality":"fine","strokes":[[0.2,0.2,0.03]],"text_prompt":""})"},
      {"no box nor adding dab: the nearest frame that adds, the earlier of two", "",
       "[[0.1,0.1,0.03,18.0],[0.2,0.2,0.03,10.0],[0.3,0.3,0.03,14.0],[0.4,0.4,-0.03,12.0],[0.5,0.5,-0.03]]",
       R"({"anchor_frame":0,"corrections":[{"frame":2,"strokes":[[0.4,0.4,-0.03]]},{"frame":4,"strokes":[[0.3,0.3,0.03]]},)"
       R"({"frame":8,"strokes":[[0.1,0.1,0.03]]}],"edge_softness":0.0,"quality":"fine",)"
       R"("strokes":[[0.2,0.2,0.03],[0.5,0.5,-0.03]],"text_prompt":""})"},
      {"a box on frame 5 beside adding dabs on the pressed frame: frame 5's correction, without its time",
       R"({"h":0.5,"t":15.0,"w":0.5,"x":0,"y":0})", "[[0.2,0.2,0.03,12.0],[0.3,0.3,-0.03,15.0]]",
       R"({"anchor_frame":2,"corrections":[{"bbox":{"h":0.5,"w":0.5,"x":0.0,"y":0.0},"frame":5,)"
       R"("strokes":[[0.3,0.3,-0.03]]}],"edge_softness":0.0,"quality":"fine","strokes":[[0.2,0.2,0.03]],)"
       R"("text_prompt":""})"},
      {"the box's time alone: its frame 4 is the anchor", R"({"h":0.5,"t":14.0,"w":0.5,"x":0,"y":0})",
       "[[0.2,0.2,-0.03]]",
       R"({"anchor_frame":4,"bbox":{"h":0.5,"w":0.5,"x":0.0,"y":0.0},"edge_softness":0.0,"quality":"fine",)"
       R"("strokes":[[0.2,0.2,-0.03]],"text_prompt":""})"},
  };
  for (const auto& [what, bbox, brush, body] : rows) {
    StartSettings settings;
    settings.anchorFrame = 2, settings.firstTime = 10, settings.frameCount = 10;
    settings.bboxText = bbox, settings.brushText = brush;
    EXPECT_EQ(start_body(settings), body) << what;
  }
}

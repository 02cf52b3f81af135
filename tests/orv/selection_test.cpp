// The selection records' rules that the overlay tests do not reach: the
// box test on hand-written records, and the coordinate mapping with offsets.

#include <gtest/gtest.h>

#include <cmath>

#include "orv/selection.h"

using namespace orv;

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
    EXPECT_EQ(fallback.offsetX, 7.0);
  }
}

TEST(SelectionDabs, AppendingKeepsWhatIsThereAndStopsAtTheLimit) {
  EXPECT_EQ(append_dab("[]", 0.25, 0.5, 0.03), "[[0.25,0.5,0.03]]");
  EXPECT_EQ(append_dab(R"([ [1, 0, -0.5] ])", 0.0, 0.0, 0.005), "[[1,0,-0.5],[0.0,0.0,0.005]]");
  std::string full = "[";
  for (std::size_t i = 0; i < kMaxDabs; ++i) full += std::string(i ? "," : "") + "[0,0,1]";
  EXPECT_FALSE(append_dab(full + "]", 0.5, 0.5, 0.1).has_value());
  const auto dabs = read_dabs(parse_record(R"([[0.25,0.5,0.03],[0.5,0.75,-0.05]])"));
  ASSERT_EQ(dabs.size(), 2u);
  EXPECT_EQ(dabs[1].r, -0.05);
}

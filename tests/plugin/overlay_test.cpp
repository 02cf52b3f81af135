// The overlay through our host's interact support: pen events in canonical
// coordinates edit the selection records, checked as exact texts, and draw
// actions are checked call by call against the GL calls they must make.

#include <GL/gl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>

#include "GlRecorder.h"
#include "Host.h"
#include "Instance.h"
#include "Overlay.h"
#include "Plugin.h"

using namespace ofxhost;

namespace {

const std::string kBundle = ORV_BUNDLE_DIR;

GlCall begin(GLenum mode) { return {"glBegin", {static_cast<double>(mode)}}; }
GlCall end() { return {"glEnd", {}}; }
GlCall vertex(double x, double y) { return {"glVertex2d", {x, y}}; }
GlCall colour(float r, float g, float b, float a) { return {"glColor4f", {r, g, b, a}}; }
GlCall lineWidth(float w) { return {"glLineWidth", {w}}; }

// The calls that draw a box with canonical corners (x0, y0) and (x1, y1).
std::vector<GlCall> boxCalls(double x0, double y0, double x1, double y1) {
  std::vector<GlCall> calls = {lineWidth(1.5f), colour(0.902f, 0.616f, 0.153f, 1.0f), begin(GL_LINE_LOOP),
                               vertex(x0, y0),  vertex(x1, y0),                     vertex(x1, y1),
                               vertex(x0, y1),  end()};
  for (auto [cx, cy] : {std::pair{x0, y0}, {x0, y1}, {x1, y0}, {x1, y1}}) {
    std::vector<GlCall> square = {begin(GL_QUADS),        vertex(cx - 5, cy - 5), vertex(cx + 5, cy - 5),
                                  vertex(cx + 5, cy + 5), vertex(cx - 5, cy + 5), end()};
    calls.insert(calls.end(), square.begin(), square.end());
  }
  return calls;
}

// The calls that draw a dab centred on canonical (cx, cy) with a canonical
// radius, in the add or the exclude colour.
std::vector<GlCall> dabCalls(double cx, double cy, double radius, bool add) {
  std::vector<GlCall> calls = {add ? colour(0.0f, 0.898f, 1.0f, 0.35f) : colour(1.0f, 0.271f, 0.227f, 0.35f),
                               begin(GL_TRIANGLE_FAN), vertex(cx, cy)};
  for (int i = 0; i <= 20; ++i) {
    double a = i / 20.0 * 2 * M_PI;
    calls.push_back(vertex(cx + radius * std::cos(a), cy + radius * std::sin(a)));
  }
  calls.push_back(end());
  return calls;
}

// The calls that draw the ticks of marked frames at canonical x positions
// along the bottom edge: the others short and translucent, then the current
// frame's tall and opaque, `pixel` canonical units to a viewer's pixel.
std::vector<GlCall> tickCalls(const std::vector<double>& others, double current, double pixel = 1) {
  std::vector<GlCall> calls = {lineWidth(2.0f)};
  const auto ticks = [&](const std::vector<double>& xs, float alpha, double height) {
    calls.insert(calls.end(), {colour(1.0f, 1.0f, 1.0f, alpha), begin(GL_LINES)});
    for (double x : xs) calls.insert(calls.end(), {vertex(x, 0), vertex(x, height * pixel)});
    calls.push_back(end());
  };
  if (!others.empty()) ticks(others, 0.5f, 8);
  ticks({current}, 1.0f, 16);
  return calls;
}

class OverlayTest : public ::testing::Test {
 protected:
  // A 1024 x 512 project: selection fractions with few bits map to exact
  // canonical positions and back.
  void SetUp() override {
    host = std::make_unique<Host>();
    Plugin& plugin = host->loadPlugin(kBundle);
    InstanceSettings settings;
    settings.projectWidth = 1024;
    settings.projectHeight = 512;
    settings.strings["backend_url"] = "";  // no beacon
    fx = plugin.createInstance(settings);
    overlay = fx->createOverlay();
    ASSERT_NE(overlay, nullptr);
  }

  // The drawing calls, once checked to lie inside a save of the state they
  // change, with alpha blending on, and its restore.
  std::vector<GlCall> drawn(OfxTime time = 0) {
    glCalls().clear();
    EXPECT_EQ(overlay->draw(time), kOfxStatOK);
    std::vector<GlCall> calls = glCalls();
    if (calls.empty()) return calls;
    const std::vector<GlCall> saved = {
        {"glPushAttrib", {GL_ENABLE_BIT | GL_COLOR_BUFFER_BIT | GL_LINE_BIT | GL_CURRENT_BIT}},
        {"glEnable", {GL_BLEND}},
        {"glBlendFunc", {GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA}}};
    const GlCall restore = {"glPopAttrib", {}};
    EXPECT_TRUE(calls.size() > 4 && std::equal(saved.begin(), saved.end(), calls.begin()) && calls.back() == restore);
    if (calls.size() <= 4) return calls;
    return std::vector<GlCall>(calls.begin() + 3, calls.end() - 1);
  }

  std::string box() const { return fx->stringValue("bbox_json"); }
  std::string brush() const { return fx->stringValue("brush_json"); }

  std::unique_ptr<Host> host;
  std::shared_ptr<EffectInstance> fx;
  std::shared_ptr<Overlay> overlay;
};

}  // namespace

TEST_F(OverlayTest, ABoxDragIsStoredAsTheExactRecordAndDrawnAsOutlineAndCorners) {
  // From selection (0.125, 0.25) to (0.625, 0.5): canonical y runs upwards.
  EXPECT_EQ(overlay->penDown(128, 384), kOfxStatOK);
  EXPECT_EQ(box(), R"({"h":0.0,"t":0.0,"w":0.0,"x":0.125,"y":0.25})");
  EXPECT_TRUE(drawn().empty());  // a click is no box
  EXPECT_EQ(overlay->penMotion(640, 256), kOfxStatOK);
  EXPECT_EQ(overlay->penUp(640, 256), kOfxStatOK);
  EXPECT_EQ(box(), R"({"h":0.25,"t":0.0,"w":0.5,"x":0.125,"y":0.25})");
  std::vector<GlCall> expected = boxCalls(128, 384, 640, 256);
  const auto tick = tickCalls({}, 512);  // drawn on the clip's one frame, current
  expected.insert(expected.end(), tick.begin(), tick.end());
  EXPECT_EQ(drawn(), expected);
  EXPECT_EQ(brush(), "[]");
}

TEST_F(OverlayTest, MirroredDragsAndDragsPastTheBorderStoreTheSameKindOfBox) {
  overlay->penDown(640, 256);
  overlay->penMotion(128, 384);
  EXPECT_EQ(box(), R"({"h":0.25,"t":0.0,"w":0.5,"x":0.125,"y":0.25})");
  overlay->penUp(128, 384);
  overlay->penDown(512, 256);
  overlay->penMotion(5000, -300);  // far beyond the lower right corner
  EXPECT_EQ(box(), R"({"h":0.5,"t":0.0,"w":0.5,"x":0.5,"y":0.5})");
  overlay->penMotion(-1, 1e6);  // beyond the upper left
  EXPECT_EQ(box(), R"({"h":0.5,"t":0.0,"w":0.5,"x":0.0,"y":0.0})");
}

TEST_F(OverlayTest, EveryBrushEventAddsOneDabEvenWithoutMoving) {
  fx->setValue("select_tool", 1);
  fx->setValue("brush_size", 0.0625);
  overlay->penDown(256, 256);
  EXPECT_EQ(brush(), "[[0.25,0.5,0.0625,0.0]]");  // painted on frame 0
  overlay->penMotion(256, 256);
  overlay->penMotion(512, 128);
  overlay->penUp(512, 128);
  EXPECT_EQ(brush(), "[[0.25,0.5,0.0625,0.0],[0.25,0.5,0.0625,0.0],[0.5,0.75,0.0625,0.0]]");
  EXPECT_EQ(overlay->penMotion(0, 0), kOfxStatReplyDefault);  // after pen-up: no drag
  fx->setValue("select_tool", 2);
  fx->setValue("brush_size", 0.05);
  overlay->penDown(1024, 0);
  EXPECT_EQ(brush(), "[[0.25,0.5,0.0625,0.0],[0.25,0.5,0.0625,0.0],[0.5,0.75,0.0625,0.0],[1.0,1.0,-0.05,0.0]]");
  std::vector<GlCall> expected;
  for (auto [cx, cy] : {std::pair{256.0, 256.0}, {256.0, 256.0}, {512.0, 128.0}}) {
    auto dab = dabCalls(cx, cy, 0.0625 * 1024, true);
    expected.insert(expected.end(), dab.begin(), dab.end());
  }
  auto excluded = dabCalls(1024, 0, 0.05 * 1024, false);
  expected.insert(expected.end(), excluded.begin(), excluded.end());
  const auto tick = tickCalls({}, 512);  // the clip's one frame, current
  expected.insert(expected.end(), tick.begin(), tick.end());
  EXPECT_EQ(drawn(), expected);
}

TEST_F(OverlayTest, TheBoxIsDrawnBeforeTheDabsInStoredOrder) {
  fx->setValue("bbox_json", R"({"h":0.5,"w":0.25,"x":0.5,"y":0})");
  fx->setValue("brush_json", "[[0.5,0.5,-0.125],[0.25,0.25,0.125]]");
  std::vector<GlCall> expected = boxCalls(512, 512, 768, 256);
  for (auto part : {dabCalls(512, 256, 128, false), dabCalls(256, 384, 128, true)})
    expected.insert(expected.end(), part.begin(), part.end());
  EXPECT_EQ(drawn(), expected);
}

TEST_F(OverlayTest, TheDabLimitStopsAppendingButNotTheDrag) {
  fx->setValue("select_tool", 1);
  std::string dabs = "[";
  for (int i = 0; i < 2047; ++i) dabs += std::string(i ? "," : "") + "[0.5,0.5,0.03]";
  fx->setValue("brush_json", dabs + "]");
  EXPECT_EQ(overlay->penDown(0, 512), kOfxStatOK);
  const std::string full = brush();
  EXPECT_EQ(full, dabs + ",[0.0,0.0,0.03,0.0]]");
  EXPECT_EQ(overlay->penMotion(10, 10), kOfxStatOK);
  EXPECT_EQ(brush(), full);
}

TEST_F(OverlayTest, WithEditingOffNothingIsDrawnOrChanged) {
  fx->setValue("bbox_json", R"({"h":0.5,"w":0.25,"x":0.5,"y":0})");
  overlay->penDown(0, 0);  // a drag that is active when editing is turned off
  fx->setValue("draw_mask", 0);
  glCalls().clear();
  EXPECT_EQ(overlay->draw(), kOfxStatReplyDefault);
  EXPECT_EQ(overlay->penMotion(512, 256), kOfxStatReplyDefault);
  EXPECT_EQ(overlay->penUp(512, 256), kOfxStatReplyDefault);
  EXPECT_EQ(overlay->penDown(512, 256), kOfxStatReplyDefault);
  EXPECT_TRUE(glCalls().empty());
  EXPECT_EQ(box(), R"({"h":0.0,"t":0.0,"w":0.0,"x":0.0,"y":1.0})");
  // The drag stayed active: with editing back on, motion goes on editing.
  fx->setValue("draw_mask", 1);
  EXPECT_EQ(overlay->penMotion(1024, 512), kOfxStatOK);
  EXPECT_EQ(box(), R"({"h":1.0,"t":0.0,"w":1.0,"x":0.0,"y":0.0})");
}

TEST_F(OverlayTest, OnlyAPenDownStartsADragOfItsViewerButBothEditTheSameRecords) {
  auto second = fx->createOverlay();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(overlay->penMotion(100, 100), kOfxStatReplyDefault);  // no drag before a pen-down
  for (const char* action : {kOfxInteractActionKeyDown, kOfxInteractActionGainFocus, "OfxInteractActionNobody"})
    EXPECT_EQ(overlay->callAction(action, nullptr), kOfxStatReplyDefault) << action;
  EXPECT_EQ(overlay->redrawRequests() + overlay->swapRequests() + second->redrawRequests(), 0);
  EXPECT_EQ(box(), "");
  overlay->penDown(0, 512);
  EXPECT_EQ(second->penMotion(512, 256), kOfxStatReplyDefault);  // no drag in the second viewer
  second->penDown(1024, 0);
  overlay->penMotion(512, 256);  // the first viewer's drag, anchored at its own pen-down
  EXPECT_EQ(box(), R"({"h":0.5,"t":0.0,"w":0.5,"x":0.0,"y":0.0})");
  second->penMotion(512, 256);
  EXPECT_EQ(box(), R"({"h":0.5,"t":0.0,"w":0.5,"x":0.5,"y":0.5})");
}

TEST_F(OverlayTest, RecordsThatAreNotSelectionsAreIgnoredOrReplaced) {
  for (const char* text : {"null", "[]", "7", "{", R"({"w":0})", R"({"x":"left","w":0.5})", R"({"w":true})"}) {
    fx->setValue("bbox_json", text);
    EXPECT_TRUE(drawn().empty()) << text;
  }
  // Dabs that are not three numbers are skipped when drawing and kept when
  // another is appended; a fourth member that is not a number is no time.
  fx->setValue("bbox_json", "");
  fx->setValue("brush_json", R"([[0.5,"y",0.1],[0.5],7,[0.5,0.5,0.125,"9"]])");
  EXPECT_EQ(drawn(3), dabCalls(512, 256, 128, true));
  fx->setValue("select_tool", 1);
  fx->setValue("brush_size", 0.125);
  overlay->penDown(0, 0);
  EXPECT_EQ(brush(), R"([[0.5,"y",0.1],[0.5],7,[0.5,0.5,0.125,"9"],[0.0,1.0,0.125,0.0]])");
  overlay->penUp(0, 0);
  for (const char* text : {"", "{}", "not json"}) {
    fx->setValue("brush_json", text);
    overlay->penDown(1024, 512);
    EXPECT_EQ(brush(), "[[1.0,0.0,0.125,0.0]]") << text;
  }
}

// A dab or a box shows on the frame it was drawn on alone (the frame rounded
// as the pull rounds it), one without a time on every frame; each frame of
// the clip that carries marks has a tick along the bottom edge at its place
// in the clip, sized in the viewer's pixels.
TEST_F(OverlayTest, AMarkShowsOnItsOwnFrameAndEveryMarkedFrameHasATick) {
  fx->setSourceFrameRange(10, 13);  // four frames: a tick's slot is 256 wide
  fx->setValue("select_tool", 2);
  fx->setValue("brush_size", 0.125);
  overlay->penDown(512, 256, 12);
  EXPECT_EQ(brush(), "[[0.5,0.5,-0.125,12.0]]");
  fx->setValue("select_tool", 0);
  overlay->penDown(0, 512, 10);
  overlay->penMotion(256, 384, 10);
  EXPECT_EQ(box(), R"({"h":0.25,"t":10.0,"w":0.25,"x":0.0,"y":0.0})");  // on frame 0
  fx->setValue("brush_json", "[[0.5,0.5,0.125,11.4],[0.25,0.25,-0.125],[0.5,0.5,-0.125,12.6],[0.5,0.5,0.125,9.0]]");
  overlay->properties().setDoubles(kOfxInteractPropPixelScale, {2.0, 2.0});
  std::vector<GlCall> expected = dabCalls(512, 256, 128, true);  // frame 11 is shown
  for (auto more : {dabCalls(256, 384, 128, false), tickCalls({128, 896}, 384, 2)})
    expected.insert(expected.end(), more.begin(), more.end());
  EXPECT_EQ(drawn(10.6), expected);
  expected = boxCalls(0, 512, 256, 384);
  for (auto more : {dabCalls(256, 384, 128, false), tickCalls({384, 896}, 128, 2)})
    expected.insert(expected.end(), more.begin(), more.end());
  EXPECT_EQ(drawn(10), expected);
}

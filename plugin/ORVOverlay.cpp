// The overlay interact: draws the stored selection over the viewer's image
// (the box and each dab on the frame it was drawn on, with a tick per frame
// that carries marks) and turns pen events into edits of the two selection
// records. It keeps no selection of its own, only the anchor of each
// viewer's drag in progress, from pen-down to pen-up or the interact's end.

#include <GL/gl.h>

#include <cmath>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ORVParams.h"
#include "contract/selection.h"
#include "orv/selection.h"

using namespace orv;
using namespace contract;

namespace {

// One interact's pen drag: the selection position of its pen-down.
struct Drag {
  double x0 = 0;
  double y0 = 0;
};

// The drags in progress, keyed by the interact handle, so that two viewers
// on one effect keep separate drags. Overlay actions come one at a time on
// the host's interface thread; drawing never touches it.
std::map<const void*, Drag> gDrag;

constexpr float kBoxColour[4] = {0.902f, 0.616f, 0.153f, 1.0f};
constexpr float kAddColour[4] = {0.0f, 0.898f, 1.0f, 0.35f};
constexpr float kExcludeColour[4] = {1.0f, 0.271f, 0.227f, 0.35f};
constexpr float kTickColour[4] = {1.0f, 1.0f, 1.0f, 0.5f};
constexpr float kCurrentTickColour[4] = {1.0f, 1.0f, 1.0f, 1.0f};
constexpr float kBoxLineWidth = 1.5f;
constexpr float kTickLineWidth = 2.0f;
constexpr double kTickHeight = 8.0, kCurrentTickHeight = 16.0;  // in the viewer's pixels
constexpr double kCornerHalfSize = 5.0;
constexpr int kDabSegments = 20;
constexpr double kDefaultBrushSize = 0.03;
constexpr double kPi = 3.14159265358979323846;

enum Tool { kBoundingBox = 0, kBrushAdd = 1, kBrushExclude = 2 };

void corner(double cx, double cy) {
  glBegin(GL_QUADS);
  glVertex2d(cx - kCornerHalfSize, cy - kCornerHalfSize);
  glVertex2d(cx + kCornerHalfSize, cy - kCornerHalfSize);
  glVertex2d(cx + kCornerHalfSize, cy + kCornerHalfSize);
  glVertex2d(cx - kCornerHalfSize, cy + kCornerHalfSize);
  glEnd();
}

void drawBox(const Space& space, const Box& box) {
  double x0, y0, x1, y1;
  to_canonical(space, box.x, box.y, &x0, &y0);
  to_canonical(space, box.x + box.w, box.y + box.h, &x1, &y1);
  glLineWidth(kBoxLineWidth);
  glColor4f(kBoxColour[0], kBoxColour[1], kBoxColour[2], kBoxColour[3]);
  glBegin(GL_LINE_LOOP);
  glVertex2d(x0, y0);
  glVertex2d(x1, y0);
  glVertex2d(x1, y1);
  glVertex2d(x0, y1);
  glEnd();
  corner(x0, y0);
  corner(x0, y1);
  corner(x1, y0);
  corner(x1, y1);
}

void drawDab(const Space& space, const Dab& dab) {
  const float* colour = dab.r > 0 ? kAddColour : kExcludeColour;
  glColor4f(colour[0], colour[1], colour[2], colour[3]);
  double cx, cy;
  to_canonical(space, dab.x, dab.y, &cx, &cy);
  const double radius = std::fabs(dab.r) * space.width;
  glBegin(GL_TRIANGLE_FAN);
  glVertex2d(cx, cy);
  for (int i = 0; i <= kDabSegments; ++i) {
    const double a = (static_cast<double>(i) / kDabSegments) * 2.0 * kPi;
    glVertex2d(cx + radius * std::cos(a), cy + radius * std::sin(a));
  }
  glEnd();
}

// The Source clip's frame range; false when the host gives none.
bool sourceRange(OfxImageEffectHandle effect, double range[2]) {
  OfxImageClipHandle clip = nullptr;
  OfxPropertySetHandle props = nullptr;
  if (gEffect->clipGetHandle(effect, kOfxImageEffectSimpleSourceClipName, &clip, &props) != kOfxStatOK) return false;
  if (!props && gEffect->clipGetPropertySet(clip, &props) != kOfxStatOK) return false;
  return gProp->propGetDoubleN(props, kOfxImageEffectPropFrameRange, 2, range) == kOfxStatOK;
}

// A tick along the project's bottom edge for each frame index in `frames`,
// at that frame's place among `count`; the current frame's taller and
// opaque. `pixel` is the height of a viewer pixel in canonical units.
void drawTicks(const Space& space, const std::set<double>& frames, double count, double current, double pixel) {
  glLineWidth(kTickLineWidth);
  const auto ticks = [&](bool now) {
    const float* colour = now ? kCurrentTickColour : kTickColour;
    const double height = (now ? kCurrentTickHeight : kTickHeight) * pixel;
    glColor4f(colour[0], colour[1], colour[2], colour[3]);
    glBegin(GL_LINES);
    for (double frame : frames) {
      if ((frame == current) != now) continue;
      const double x = space.offset_x + space.width * (frame + 0.5) / count;
      glVertex2d(x, space.offset_y);
      glVertex2d(x, space.offset_y + height);
    }
    glEnd();
  };
  if (frames.size() > frames.count(current)) ticks(false);
  if (frames.count(current)) ticks(true);
}

OfxStatus draw(const Space& space, OfxImageEffectHandle effect, OfxPropertySetHandle inArgs) {
  Box box;
  const bool hasBox = read_box(parse_record(readString(effect, param::kBboxJson)), &box);
  const std::vector<Dab> dabs = read_dabs(parse_record(readString(effect, param::kBrushJson)));
  if (!hasBox && dabs.empty()) return kOfxStatOK;
  // A mark drawn on a frame shows on that frame alone, matched as the pull
  // matches it; one without a time shows on every frame.
  double now = 0, range[2] = {0, 0}, scale[2] = {1, 1};
  gProp->propGetDouble(inArgs, kOfxPropTime, 0, &now);
  const bool ranged = sourceRange(effect, range);
  const double first = ranged ? range[0] : 0, count = ranged ? frame_index(range[1], first) + 1 : 0;
  const double current = frame_index(now, first);
  std::set<double> marked;  // the frames in the clip that carry marks
  // Whether a mark of this time shows now; its frame, when in the clip, is marked.
  const auto showsNow = [&](const std::optional<double>& time) {
    if (!time) return true;
    const double frame = frame_index(*time, first);
    if (frame >= 0 && frame < count) marked.insert(frame);
    return frame == current;
  };
  const bool boxShown = hasBox && showsNow(box.time);
  std::vector<Dab> shown;
  for (const Dab& dab : dabs)
    if (showsNow(dab.time)) shown.push_back(dab);
  if (!boxShown && shown.empty() && marked.empty()) return kOfxStatOK;
  gProp->propGetDoubleN(inArgs, kOfxInteractPropPixelScale, 2, scale);
  const double pixel = scale[1] > 0 && std::isfinite(scale[1]) ? scale[1] : 1.0;
  // The viewer's state is its own, and some viewers draw overlays with
  // blending off: the dabs' colours are translucent only when blended. What
  // is changed here (blending, its function, line width, current colour) is
  // put back afterwards.
  glPushAttrib(GL_ENABLE_BIT | GL_COLOR_BUFFER_BIT | GL_LINE_BIT | GL_CURRENT_BIT);
  glEnable(GL_BLEND);
  glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
  if (boxShown) drawBox(space, box);
  for (const Dab& dab : shown) drawDab(space, dab);
  if (!marked.empty()) drawTicks(space, marked, count, current, pixel);
  glPopAttrib();
  return kOfxStatOK;
}

// Pen-down and pen-motion: one edit of the current tool's record.
OfxStatus penEdit(bool down, const void* handle, OfxImageEffectHandle effect, const Space& space,
                  OfxPropertySetHandle inArgs) {
  if (!down && gDrag.count(handle) == 0) return kOfxStatReplyDefault;
  double pen[2] = {0, 0};
  gProp->propGetDoubleN(inArgs, kOfxInteractPropPenPosition, 2, pen);
  double px, py;
  to_selection(space, pen[0], pen[1], &px, &py);
  if (down) gDrag[handle] = Drag{px, py};
  const Drag& drag = gDrag[handle];
  // The mark belongs to the frame the viewer shows: the pen event's time.
  double time = 0;
  std::optional<double> frameTime;
  if (gProp->propGetDouble(inArgs, kOfxPropTime, 0, &time) == kOfxStatOK && std::isfinite(time)) frameTime = time;
  const int tool = readParam(effect, param::kSelectTool, 0);
  if (tool == kBoundingBox) {
    writeString(effect, param::kBboxJson, box_from_drag(drag.x0, drag.y0, px, py, frameTime));
    return kOfxStatOK;
  }
  const double size = readParam(effect, param::kBrushSize, kDefaultBrushSize);
  const double r = tool == kBrushExclude ? -size : size;
  if (auto dabs = append_dab(readString(effect, param::kBrushJson), px, py, r, frameTime))
    writeString(effect, param::kBrushJson, *dabs);
  return kOfxStatOK;
}

}  // namespace

OfxStatus overlayMain(const char* action, const void* handle, OfxPropertySetHandle inArgs,
                      OfxPropertySetHandle /*outArgs*/) {
  if (handle && std::strcmp(action, kOfxActionDestroyInstance) == 0) {
    gDrag.erase(handle);  // the interact is gone: its handle may come again for another
    return kOfxStatReplyDefault;
  }
  // Without these suites there is nothing to draw or edit; the host's own
  // behaviour applies.
  if (!handle || !gInteract || !gProp || !gEffect || !gParam) return kOfxStatReplyDefault;

  OfxPropertySetHandle interactProps = nullptr;
  gInteract->interactGetPropertySet(static_cast<OfxInteractHandle>(const_cast<void*>(handle)), &interactProps);
  void* effectPointer = nullptr;
  gProp->propGetPointer(interactProps, kOfxPropEffectInstance, 0, &effectPointer);
  auto effect = static_cast<OfxImageEffectHandle>(effectPointer);
  if (!effect) return kOfxStatReplyDefault;  // an interact descriptor
  // A viewer that redraws shows the job's progress without the user's touch.
  applyQueuedEdits(effect);
  if (readParam(effect, param::kDrawMask, 0) == 0) return kOfxStatReplyDefault;

  OfxPropertySetHandle effectProps = nullptr;
  gEffect->getPropertySet(effect, &effectProps);
  double size[2] = {0, 0}, offset[2] = {0, 0};
  gProp->propGetDoubleN(effectProps, kOfxImageEffectPropProjectSize, 2, size);
  gProp->propGetDoubleN(effectProps, kOfxImageEffectPropProjectOffset, 2, offset);
  const Space space = make_space(size[0], size[1], offset[0], offset[1]);

  if (std::strcmp(action, kOfxInteractActionDraw) == 0) return draw(space, effect, inArgs);
  if (std::strcmp(action, kOfxInteractActionPenDown) == 0) return penEdit(true, handle, effect, space, inArgs);
  if (std::strcmp(action, kOfxInteractActionPenMotion) == 0) return penEdit(false, handle, effect, space, inArgs);
  if (std::strcmp(action, kOfxInteractActionPenUp) == 0) {
    gDrag.erase(handle);
    return kOfxStatOK;
  }
  return kOfxStatReplyDefault;
}

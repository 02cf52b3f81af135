// The overlay interact: draws the stored selection over the viewer's image
// and turns pen events into edits of the two selection records. It keeps no
// selection of its own, only the anchor of each viewer's drag in progress.

#include <GL/gl.h>

#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "ORVPlugin.h"
#include "orv/selection.h"

namespace orv {

namespace {

// One interact's pen drag.
struct Drag {
  bool active = false;
  double x0 = 0;  // selection position of the pen-down (the anchor)
  double y0 = 0;
};

// Keyed by the interact handle, so that two viewers on one effect keep
// separate drags. Overlay actions come one at a time on the host's interface
// thread; drawing never touches it.
std::map<const void*, Drag> gDrag;

constexpr float kBoxColour[4] = {0.902f, 0.616f, 0.153f, 1.0f};
constexpr float kAddColour[4] = {0.0f, 0.898f, 1.0f, 0.35f};
constexpr float kExcludeColour[4] = {1.0f, 0.271f, 0.227f, 0.35f};
constexpr float kBoxLineWidth = 1.5f;
constexpr double kCornerHalfSize = 5.0;
constexpr int kDabSegments = 20;
constexpr double kDefaultBrushSize = 0.03;
constexpr double kPi = 3.14159265358979323846;

enum Tool { kBoundingBox = 0, kBrushAdd = 1, kBrushExclude = 2 };

std::string readString(OfxParamHandle param) {
  char* value = nullptr;
  gParam->paramGetValue(param, &value);
  return value ? std::string(value) : std::string();
}

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

OfxStatus draw(const Space& space, OfxParamHandle bbox, OfxParamHandle brush) {
  Box box;
  const bool hasBox = read_box(parse_record(readString(bbox)), &box);
  const std::vector<Dab> dabs = read_dabs(parse_record(readString(brush)));
  if (!hasBox && dabs.empty()) return kOfxStatOK;
  // The viewer's state is its own, and some viewers draw overlays with
  // blending off: the dabs' colours are translucent only when blended. What
  // is changed here (blending, its function, line width, current colour) is
  // put back afterwards.
  glPushAttrib(GL_ENABLE_BIT | GL_COLOR_BUFFER_BIT | GL_LINE_BIT | GL_CURRENT_BIT);
  glEnable(GL_BLEND);
  glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
  if (hasBox) drawBox(space, box);
  for (const Dab& dab : dabs) drawDab(space, dab);
  glPopAttrib();
  return kOfxStatOK;
}

// Pen-down and pen-motion: one edit of the current tool's record.
OfxStatus penEdit(bool down, const void* handle, OfxImageEffectHandle effect, const Space& space,
                  OfxPropertySetHandle inArgs, OfxParamHandle bbox, OfxParamHandle brush) {
  Drag& drag = gDrag[handle];
  if (!down && !drag.active) return kOfxStatReplyDefault;
  double pen[2] = {0, 0};
  gProp->propGetDoubleN(inArgs, kOfxInteractPropPenPosition, 2, pen);
  double px, py;
  to_selection(space, pen[0], pen[1], &px, &py);
  const int tool = readParam(effect, "select_tool", 0);
  if (down) {
    drag.active = true;
    drag.x0 = px;
    drag.y0 = py;
  }
  if (tool == kBoundingBox) {
    gParam->paramSetValue(bbox, box_from_drag(drag.x0, drag.y0, px, py).c_str());
    return kOfxStatOK;
  }
  const double size = readParam(effect, "brush_size", kDefaultBrushSize);
  const double r = tool == kBrushExclude ? -size : size;
  if (auto dabs = append_dab(readString(brush), px, py, r)) gParam->paramSetValue(brush, dabs->c_str());
  return kOfxStatOK;
}

}  // namespace

OfxStatus overlayMain(const char* action, const void* handle, OfxPropertySetHandle inArgs,
                      OfxPropertySetHandle /*outArgs*/) {
  // Without these suites there is nothing to draw or edit; the host's own
  // behaviour applies.
  if (!handle || !gInteract || !gProp || !gEffect || !gParam) return kOfxStatReplyDefault;

  OfxPropertySetHandle interactProps = nullptr;
  gInteract->interactGetPropertySet(static_cast<OfxInteractHandle>(const_cast<void*>(handle)), &interactProps);
  void* effectPointer = nullptr;
  gProp->propGetPointer(interactProps, kOfxPropEffectInstance, 0, &effectPointer);
  auto effect = static_cast<OfxImageEffectHandle>(effectPointer);
  if (!effect) return kOfxStatReplyDefault;  // an interact descriptor

  if (readParam(effect, "draw_mask", 0) == 0) return kOfxStatReplyDefault;
  OfxParamHandle bbox = fetchParam(effect, "bbox_json");
  OfxParamHandle brush = fetchParam(effect, "brush_json");

  OfxPropertySetHandle effectProps = nullptr;
  gEffect->getPropertySet(effect, &effectProps);
  double size[2] = {0, 0}, offset[2] = {0, 0};
  gProp->propGetDoubleN(effectProps, kOfxImageEffectPropProjectSize, 2, size);
  gProp->propGetDoubleN(effectProps, kOfxImageEffectPropProjectOffset, 2, offset);
  const Space space = make_space(size[0], size[1], offset[0], offset[1]);

  if (std::strcmp(action, kOfxInteractActionDraw) == 0) return draw(space, bbox, brush);
  if (std::strcmp(action, kOfxInteractActionPenDown) == 0)
    return penEdit(true, handle, effect, space, inArgs, bbox, brush);
  if (std::strcmp(action, kOfxInteractActionPenMotion) == 0)
    return penEdit(false, handle, effect, space, inArgs, bbox, brush);
  if (std::strcmp(action, kOfxInteractActionPenUp) == 0) {
    gDrag[handle].active = false;
    return kOfxStatOK;
  }
  return kOfxStatReplyDefault;
}

}  // namespace orv

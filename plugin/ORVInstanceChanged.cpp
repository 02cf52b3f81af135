// The effect's three buttons; every other change is left to the host, but
// for the matte session's two values, which render keeps a copy of.

#include <cstring>

#include "ORVParams.h"
#include "ORVPlugin.h"

OfxStatus onInstanceChanged(OfxImageEffectHandle instance, OfxPropertySetHandle inArgs) {
  char* name = nullptr;
  gProp->propGetString(inArgs, kOfxPropName, 0, &name);
  if (!name) return kOfxStatReplyDefault;
  const std::string changed = name;  // the host's text is only lent until the next call
  applyQueuedEdits(instance);
  if (changed == param::kSessionId || changed == param::kClipStart) {
    noteMatteSession(instance);  // set by the host: an undo, say
    return kOfxStatOK;
  }
  double time = 0.0;
  gProp->propGetDouble(inArgs, kOfxPropTime, 0, &time);
  if (std::strcmp(changed.c_str(), param::kPullAlpha) == 0) {
    pullAlpha(instance, time);
    return kOfxStatOK;
  }
  if (std::strcmp(changed.c_str(), param::kClearMask) == 0) {
    writeString(instance, param::kBboxJson, "");
    writeString(instance, param::kBrushJson, "[]");
    return kOfxStatOK;
  }
  if (std::strcmp(changed.c_str(), param::kResetMatte) == 0) {
    writeParam(instance, param::kSessionId, "");
    writeString(instance, param::kStatus, "idle");
    return kOfxStatOK;
  }
  return kOfxStatReplyDefault;
}

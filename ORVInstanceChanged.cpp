// The effect's three buttons; every other change is left to the host.

#include <cstring>

#include "ORVPlugin.h"

OfxStatus onInstanceChanged(OfxImageEffectHandle instance, OfxPropertySetHandle inArgs) {
  char* name = nullptr;
  gProp->propGetString(inArgs, kOfxPropName, 0, &name);
  if (!name) return kOfxStatReplyDefault;
  const std::string changed = name;  // the host's text is only lent until the next call
  double time = 0.0;
  gProp->propGetDouble(inArgs, kOfxPropTime, 0, &time);
  if (std::strcmp(changed.c_str(), "pull_alpha") == 0) {
    pullAlpha(instance, time);
    return kOfxStatOK;
  }
  if (std::strcmp(changed.c_str(), "clear_mask") == 0) {
    setString(instance, "bbox_json", "");
    setString(instance, "brush_json", "[]");
    return kOfxStatOK;
  }
  if (std::strcmp(changed.c_str(), "reset_matte") == 0) {
    setString(instance, "session_id", "");
    setString(instance, "status", "idle");
    return kOfxStatOK;
  }
  return kOfxStatReplyDefault;
}

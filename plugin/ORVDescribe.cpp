// What the effect tells the host about itself: its own properties, its two
// clips and its sixteen parameters. Hosts store parameter values in projects
// under these names, so the names never change.

#include "ORVParams.h"
#include "ORVPlugin.h"

namespace {

// Where a fresh instance sends its beacon and its pulls: prismhollow-backend
// as installed, on loopback, so that nothing leaves the machine.
constexpr const char* kBackendUrlPlaceholder = "http://127.0.0.1:8765";

OfxPropertySetHandle defineParam(OfxParamSetHandle params, const char* type, const char* name) {
  OfxPropertySetHandle props = nullptr;
  gParam->paramDefine(params, type, name, &props);
  return props;
}

void setLabel(OfxPropertySetHandle props, const char* label) { gProp->propSetString(props, kOfxPropLabel, 0, label); }

OfxPropertySetHandle defineString(OfxParamSetHandle params, const char* name) {
  return defineParam(params, kOfxParamTypeString, name);
}

void defineChoice(OfxParamSetHandle params, const char* name, const char* label,
                  std::initializer_list<const char*> options) {
  OfxPropertySetHandle props = defineParam(params, kOfxParamTypeChoice, name);
  setLabel(props, label);
  int index = 0;
  for (const char* option : options) gProp->propSetString(props, kOfxParamPropChoiceOption, index++, option);
}

void defineDouble(OfxParamSetHandle params, const char* name, const char* label, double value, double min, double max) {
  OfxPropertySetHandle props = defineParam(params, kOfxParamTypeDouble, name);
  setLabel(props, label);
  gProp->propSetDouble(props, kOfxParamPropDefault, 0, value);
  gProp->propSetDouble(props, kOfxParamPropMin, 0, min);
  gProp->propSetDouble(props, kOfxParamPropMax, 0, max);
}

void defineButton(OfxParamSetHandle params, const char* name, const char* label) {
  setLabel(defineParam(params, kOfxParamTypePushButton, name), label);
}

// State the plug-in keeps for itself: hosts would otherwise let it animate.
// A state that does not change the picture asks for no render either.
void defineHiddenString(OfxParamSetHandle params, const char* name, const char* value, bool changesPicture) {
  OfxPropertySetHandle props = defineString(params, name);
  if (value) gProp->propSetString(props, kOfxParamPropDefault, 0, value);
  gProp->propSetInt(props, kOfxParamPropSecret, 0, 1);
  gProp->propSetInt(props, kOfxParamPropAnimates, 0, 0);
  if (!changesPicture) gProp->propSetInt(props, kOfxParamPropEvaluateOnChange, 0, 0);
}

void defineClip(OfxImageEffectHandle descriptor, const char* name) {
  OfxPropertySetHandle props = nullptr;
  gEffect->clipDefine(descriptor, name, &props);
  gProp->propSetString(props, kOfxImageEffectPropSupportedComponents, 0, kOfxImageComponentRGBA);
}

}  // namespace

OfxStatus describe(OfxImageEffectHandle descriptor) {
  OfxPropertySetHandle props = nullptr;
  gEffect->getPropertySet(descriptor, &props);
  gProp->propSetString(props, kOfxPropLabel, 0, "Prismhollow Dune Veil");
  gProp->propSetString(props, kOfxImageEffectPluginPropGrouping, 0, "Prismhollow");
  gProp->propSetString(props, kOfxPropPluginDescription, 0,
                       "Prismhollow Dune Veil: character alpha matte. Box or brush the character on any frame, "
                       "press Pull Alpha, and the plugin tracks it through the whole clip on a matting backend "
                       "and outputs RGBA or the matte only. No length limit.");
  gProp->propSetString(props, kOfxImageEffectPropSupportedContexts, 0, kOfxImageEffectContextFilter);
  gProp->propSetString(props, kOfxImageEffectPropSupportedPixelDepths, 0, kOfxBitDepthByte);
  gProp->propSetString(props, kOfxImageEffectPropSupportedPixelDepths, 1, kOfxBitDepthFloat);
  gProp->propSetInt(props, kOfxImageEffectPluginPropSingleInstance, 0, 0);
  gProp->propSetInt(props, kOfxImageEffectPluginPropHostFrameThreading, 0, 1);
  gProp->propSetString(props, kOfxImageEffectPluginRenderThreadSafety, 0, kOfxImageEffectRenderFullySafe);
  gProp->propSetInt(props, kOfxImageEffectPropSupportsMultiResolution, 0, 1);
  gProp->propSetInt(props, kOfxImageEffectPropSupportsTiles, 0, 0);
  gProp->propSetPointer(props, kOfxImageEffectPluginPropOverlayInteractV1, 0,
                        reinterpret_cast<void*>(&overlayEntryPoint));
  // The output's premultiplication follows the output mode.
  gProp->propSetString(props, kOfxImageEffectPropClipPreferencesSlaveParam, 0, param::kOutputMode);
  return kOfxStatOK;
}

OfxStatus describeInContext(OfxImageEffectHandle descriptor) {
  defineClip(descriptor, kOfxImageEffectSimpleSourceClipName);
  defineClip(descriptor, kOfxImageEffectOutputClipName);

  OfxParamSetHandle params = nullptr;
  gEffect->getParamSet(descriptor, &params);

  OfxPropertySetHandle url = defineString(params, param::kBackendUrl);
  setLabel(url, "Backend URL");
  gProp->propSetString(url, kOfxParamPropDefault, 0, kBackendUrlPlaceholder);
  gProp->propSetString(url, kOfxParamPropHint, 0,
                       "Address of the matting backend: http://127.0.0.1:8765 for the local prismhollow-backend "
                       "(run it first).");

  defineChoice(params, param::kOutputMode, "Output", {"Character (RGBA)", "Matte only", "Source (bypass)"});

  OfxPropertySetHandle drawMask = defineParam(params, kOfxParamTypeBoolean, param::kDrawMask);
  setLabel(drawMask, "Edit selection in viewer");
  gProp->propSetInt(drawMask, kOfxParamPropDefault, 0, 1);

  defineChoice(params, param::kSelectTool, "Tool", {"Bounding box", "Brush (add)", "Brush (exclude)"});
  defineDouble(params, param::kBrushSize, "Brush size", 0.03, 0.005, 0.3);

  OfxPropertySetHandle hint = defineString(params, param::kTextHint);
  setLabel(hint, "Character hint (optional)");
  gProp->propSetString(hint, kOfxParamPropDefault, 0, "");
  gProp->propSetString(hint, kOfxParamPropHint, 0, "e.g. 'woman in red'. Used when no box or brush is drawn.");

  // Labels only: a project stores the index, so the order stays.
  defineChoice(params, param::kQuality, "Quality", {"Fine edges", "Fast"});
  defineDouble(params, param::kEdgeSoftness, "Edge softness", 0.35, 0.0, 1.0);

  defineButton(params, param::kPullAlpha, "Pull alpha (whole clip)");
  defineButton(params, param::kClearMask, "Clear selection");
  defineButton(params, param::kResetMatte, "Reset matte");

  OfxPropertySetHandle status = defineString(params, param::kStatus);
  setLabel(status, "Status");
  gProp->propSetString(status, kOfxParamPropDefault, 0, "idle");
  gProp->propSetInt(status, kOfxParamPropEnabled, 0, 0);
  gProp->propSetInt(status, kOfxParamPropAnimates, 0, 0);
  gProp->propSetInt(status, kOfxParamPropEvaluateOnChange, 0, 0);

  defineHiddenString(params, param::kBboxJson, "", false);
  defineHiddenString(params, param::kBrushJson, "[]", false);
  defineHiddenString(params, param::kSessionId, nullptr, true);
  defineHiddenString(params, param::kClipStart, "0", true);
  return kOfxStatOK;
}

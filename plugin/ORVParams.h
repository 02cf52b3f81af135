#pragma once
// The effect's parameters: each name written once, and the calls through
// which the plug-in reads and writes their values.

#include <string>

#include "ORVPlugin.h"

namespace param {
inline constexpr const char* kBackendUrl = "backend_url";
inline constexpr const char* kOutputMode = "output_mode";
inline constexpr const char* kDrawMask = "draw_mask";
inline constexpr const char* kSelectTool = "select_tool";
inline constexpr const char* kBrushSize = "brush_size";
inline constexpr const char* kTextHint = "text_hint";
inline constexpr const char* kQuality = "quality";
inline constexpr const char* kEdgeSoftness = "edge_softness";
inline constexpr const char* kPullAlpha = "pull_alpha";
inline constexpr const char* kClearMask = "clear_mask";
inline constexpr const char* kResetMatte = "reset_matte";
inline constexpr const char* kStatus = "status";
inline constexpr const char* kBboxJson = "bbox_json";
inline constexpr const char* kBrushJson = "brush_json";
inline constexpr const char* kSessionId = "session_id";
inline constexpr const char* kClipStart = "clip_start";
}  // namespace param

// The named parameter of an instance, or null when the host gives none.
OfxParamHandle fetchParam(OfxImageEffectHandle instance, const char* name);

// A parameter's current value; `fallback` stands when the host gives none.
template <class T>
T readParam(OfxImageEffectHandle instance, const char* name, T fallback) {
  gParam->paramGetValue(fetchParam(instance, name), &fallback);
  return fallback;
}

// The current text of a string parameter, or "" when there is none.
std::string readString(OfxImageEffectHandle instance, const char* name);

// Whether the host gave the instance its string parameters, readable:
// without them it holds no selection and no matte.
bool holdsStrings(OfxImageEffectHandle instance);

// Sets a string parameter's text.
void writeString(OfxImageEffectHandle instance, const char* name, const std::string& value);

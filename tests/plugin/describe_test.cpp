// The effect's description, exactly as a host receives it: every property,
// clip and parameter with its attributes, in the order declared.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Bundle.h"
#include "PluginFixture.h"
#include "ofxImageEffect.h"

using namespace ofxhost;
using Names = std::vector<std::string>;

namespace {

const char* const kDescription =
    "Prismhollow Dune Veil: character alpha matte. Box or brush the character on any frame, press Pull Alpha, "
    "and the plugin tracks it through the whole clip on a matting backend and outputs RGBA or the matte only. "
    "No length limit.";

// One parameter as the effect must declare it: the properties the plug-in
// sets, in the order it sets them, and their values. The last four are
// secret; from "status" on, state that animates nowhere.
struct ExpectedParam {
  std::string name, type;
  Names written;
  std::string label;  // "" when not set: the host's default (the name) stays
  std::string stringDefault;
  double numberDefault, min, max;
  Names options;
  std::string hint;
};

std::vector<ExpectedParam> expectedParams() {
  const std::string L = kOfxPropLabel, D = kOfxParamPropDefault, H = kOfxParamPropHint, O = kOfxParamPropChoiceOption,
                    MIN = kOfxParamPropMin, MAX = kOfxParamPropMax, S = kOfxParamPropSecret, E = kOfxParamPropEnabled,
                    A = kOfxParamPropAnimates, EV = kOfxParamPropEvaluateOnChange;
  return {
      {"backend_url", kOfxParamTypeString, {L, D, H}, "Backend URL", "http://127.0.0.1:8765", 0, 0, 0, {},
       "Address of the matting backend: http://127.0.0.1:8765 for the local prismhollow-backend (run it first)."},
      {"output_mode", kOfxParamTypeChoice, {L, O}, "Output", "", 0, 0, 0,
       {"Character (RGBA)", "Matte only", "Source (bypass)"}, ""},
      {"draw_mask", kOfxParamTypeBoolean, {L, D}, "Edit selection in viewer", "", 1, 0, 0, {}, ""},
      {"select_tool", kOfxParamTypeChoice, {L, O}, "Tool", "", 0, 0, 0,
       {"Bounding box", "Brush (add)", "Brush (exclude)"}, ""},
      {"brush_size", kOfxParamTypeDouble, {L, D, MIN, MAX}, "Brush size", "", 0.03, 0.005, 0.3, {}, ""},
      {"text_hint", kOfxParamTypeString, {L, D, H}, "Character hint (optional)", "", 0, 0, 0, {},
       "e.g. 'woman in red'. Used when no box or brush is drawn."},
      {"quality", kOfxParamTypeChoice, {L, O}, "Quality", "", 0, 0, 0,
       {"Fine edges", "Fast"}, ""},
      {"edge_softness", kOfxParamTypeDouble, {L, D, MIN, MAX}, "Edge softness", "", 0.35, 0.0, 1.0, {}, ""},
      {"pull_alpha", kOfxParamTypePushButton, {L}, "Pull alpha (whole clip)", "", 0, 0, 0, {}, ""},
      {"clear_mask", kOfxParamTypePushButton, {L}, "Clear selection", "", 0, 0, 0, {}, ""},
      {"reset_matte", kOfxParamTypePushButton, {L}, "Reset matte", "", 0, 0, 0, {}, ""},
      {"status", kOfxParamTypeString, {L, D, E, A, EV}, "Status", "idle", 0, 0, 0, {}, ""},
      {"bbox_json", kOfxParamTypeString, {D, S, A, EV}, "", "", 0, 0, 0, {}, ""},
      {"brush_json", kOfxParamTypeString, {D, S, A, EV}, "", "[]", 0, 0, 0, {}, ""},
      {"session_id", kOfxParamTypeString, {S, A}, "", "", 0, 0, 0, {}, ""},
      {"clip_start", kOfxParamTypeString, {D, S, A}, "", "0", 0, 0, 0, {}, ""},
  };
}

void expectParamsAsDeclared(const EffectDescriptor& described) {
  auto params = described.paramDefinitions()->params();
  auto expected = expectedParams();
  ASSERT_EQ(params.size(), expected.size());
  for (std::size_t i = 0; i < params.size(); ++i) {
    const ExpectedParam& want = expected[i];
    const Param& got = *params[i];
    SCOPED_TRACE(want.name);
    const PropertySet& p = got.properties();
    EXPECT_EQ(got.name(), want.name);
    EXPECT_EQ(p.getString(kOfxParamPropType), want.type);
    EXPECT_EQ(p.pluginWrites(), want.written);
    EXPECT_EQ(p.getString(kOfxPropLabel), want.label.empty() ? want.name : want.label);
    EXPECT_EQ(p.getString(kOfxParamPropHint), want.hint);
    EXPECT_EQ(p.getInt(kOfxParamPropSecret), i >= 12 ? 1 : 0);
    EXPECT_EQ(p.getInt(kOfxParamPropEnabled), want.name == "status" ? 0 : 1);
    // The status and the selection never change the picture.
    EXPECT_EQ(p.getInt(kOfxParamPropEvaluateOnChange),
              i < 11 || want.name == "session_id" || want.name == "clip_start" ? 1 : 0);
    if (want.type != kOfxParamTypePushButton) {
      EXPECT_EQ(p.getInt(kOfxParamPropAnimates), i < 11 ? 1 : 0);
    }
    if (want.type == kOfxParamTypeString) {
      EXPECT_EQ(p.getString(kOfxParamPropDefault), want.stringDefault);
    }
    if (want.type == kOfxParamTypeBoolean || want.type == kOfxParamTypeChoice) {
      EXPECT_EQ(p.getInt(kOfxParamPropDefault), static_cast<int>(want.numberDefault));
    }
    if (want.type == kOfxParamTypeChoice) {
      EXPECT_EQ(p.getStrings(kOfxParamPropChoiceOption), want.options);
    }
    if (want.type == kOfxParamTypeDouble) {
      EXPECT_DOUBLE_EQ(p.getDouble(kOfxParamPropDefault), want.numberDefault);
      EXPECT_DOUBLE_EQ(p.getDouble(kOfxParamPropMin), want.min);
      EXPECT_DOUBLE_EQ(p.getDouble(kOfxParamPropMax), want.max);
    }
  }
}

void expectClipsAsDeclared(const EffectDescriptor& described) {
  auto clips = described.clips();
  ASSERT_EQ(clips.size(), 2u);
  EXPECT_EQ(clips[0]->name(), "Source");
  EXPECT_EQ(clips[1]->name(), "Output");
  for (const auto& clip : clips) {
    EXPECT_EQ(clip->properties().pluginWrites(), Names{kOfxImageEffectPropSupportedComponents});
    EXPECT_EQ(clip->properties().getStrings(kOfxImageEffectPropSupportedComponents), Names{kOfxImageComponentRGBA});
  }
}

}  // namespace

TEST_F(PluginTest, DescribeSetsTheEffectPropertiesInOrder) {
  const PropertySet& d = plugin->descriptor().properties();
  EXPECT_EQ(d.pluginWrites(),
            (Names{kOfxPropLabel, kOfxImageEffectPluginPropGrouping, kOfxPropPluginDescription,
                   kOfxImageEffectPropSupportedContexts, kOfxImageEffectPropSupportedPixelDepths,
                   kOfxImageEffectPluginPropSingleInstance, kOfxImageEffectPluginPropHostFrameThreading,
                   kOfxImageEffectPluginRenderThreadSafety, kOfxImageEffectPropSupportsMultiResolution,
                   kOfxImageEffectPropSupportsTiles, kOfxImageEffectPluginPropOverlayInteractV1,
                   kOfxImageEffectPropClipPreferencesSlaveParam}));
  EXPECT_EQ(d.getString(kOfxPropLabel), "Prismhollow Dune Veil");
  EXPECT_EQ(d.getString(kOfxImageEffectPluginPropGrouping), "Prismhollow");
  EXPECT_EQ(d.getString(kOfxPropPluginDescription), kDescription);
  EXPECT_EQ(d.getStrings(kOfxImageEffectPropSupportedContexts), Names{kOfxImageEffectContextFilter});
  EXPECT_EQ(d.getStrings(kOfxImageEffectPropSupportedPixelDepths), (Names{kOfxBitDepthByte, kOfxBitDepthFloat}));
  EXPECT_EQ(d.getInt(kOfxImageEffectPluginPropSingleInstance), 0);
  EXPECT_EQ(d.getInt(kOfxImageEffectPluginPropHostFrameThreading), 1);
  EXPECT_EQ(d.getString(kOfxImageEffectPluginRenderThreadSafety), kOfxImageEffectRenderFullySafe);
  EXPECT_EQ(d.getInt(kOfxImageEffectPropSupportsMultiResolution), 1);
  EXPECT_EQ(d.getInt(kOfxImageEffectPropSupportsTiles), 0);
  EXPECT_NE(d.getPointer(kOfxImageEffectPluginPropOverlayInteractV1), nullptr);
  EXPECT_EQ(d.getStrings(kOfxImageEffectPropClipPreferencesSlaveParam), Names{"output_mode"});
}

// In any context, the filter context it lists or another.
TEST_F(PluginTest, DescribeInContextDeclaresTwoClipsAndSixteenParameters) {
  for (const char* context : {kOfxImageEffectContextFilter, kOfxImageEffectContextGeneral}) {
    SCOPED_TRACE(context);
    const EffectDescriptor& described = plugin->describeInContext(context);
    expectClipsAsDeclared(described);
    expectParamsAsDeclared(described);
  }
}

TEST_F(PluginTest, NoOtherPropertiesAreSetOnTheDescriptorsOrTheHostsSets) {
  // The describe actions write only to the descriptors the host hands them.
  EXPECT_TRUE(host->properties().pluginWrites().empty());
  const EffectDescriptor& described = plugin->describeInContext(kOfxImageEffectContextFilter);
  EXPECT_TRUE(described.properties().pluginWrites().empty());
  EXPECT_TRUE(described.paramDefinitions()->properties().pluginWrites().empty());
}

TEST(PluginRecord, EveryIndexGivesTheSameRecord) {
  void* library = dlopen(binaryInBundle(kBundle).c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  auto count = reinterpret_cast<int (*)()>(dlsym(library, "OfxGetNumberOfPlugins"));
  auto get = reinterpret_cast<OfxPlugin* (*)(int)>(dlsym(library, "OfxGetPlugin"));
  ASSERT_TRUE(count && get);
  EXPECT_EQ(count(), 1);
  OfxPlugin* record = get(0);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(get(1), record);
  EXPECT_EQ(get(-1), record);
  EXPECT_STREQ(record->pluginApi, "OfxImageEffectPluginAPI");
  EXPECT_EQ(record->apiVersion, 1);
  EXPECT_STREQ(record->pluginIdentifier, "com.prismhollow.duneveil.ofx");
  EXPECT_EQ(record->pluginVersionMajor, 1u);
  EXPECT_EQ(record->pluginVersionMinor, 1u);
  EXPECT_NE(record->setHost, nullptr);
  EXPECT_NE(record->mainEntry, nullptr);
  dlclose(library);
}

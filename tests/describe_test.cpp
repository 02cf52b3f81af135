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
    "Prismhollow Dune Veil: AI character alpha matte. Box or brush the character on any frame, press Pull Alpha, "
    "and the plugin tracks it through the whole clip (SAM 3.1 + BiRefNet matting) and outputs RGBA or the matte "
    "only. No length limit.";

// One parameter as the effect must declare it: the properties the plug-in
// sets, in the order it sets them, and their values.
struct ExpectedParam {
  std::string name;
  std::string type;
  Names written;
  std::string label;  // "" when not set: the host's default (the name) stays
  std::string stringDefault;
  double numberDefault = 0;
  double min = 0, max = 0;
  Names options;
  std::string hint;
  int secret = 0, enabled = 1;
  int animates = 1, evaluateOnChange = 1;  // the host's defaults
};

ExpectedParam declared(std::string name, std::string type, Names written, std::string label = "") {
  ExpectedParam p;
  p.name = std::move(name);
  p.type = std::move(type);
  p.written = std::move(written);
  p.label = std::move(label);
  return p;
}

std::vector<ExpectedParam> expectedParams() {
  const std::string L = kOfxPropLabel, D = kOfxParamPropDefault, H = kOfxParamPropHint, O = kOfxParamPropChoiceOption,
                    MIN = kOfxParamPropMin, MAX = kOfxParamPropMax, S = kOfxParamPropSecret, E = kOfxParamPropEnabled,
                    A = kOfxParamPropAnimates, EV = kOfxParamPropEvaluateOnChange;
  std::vector<ExpectedParam> p;
  p.push_back(declared("backend_url", kOfxParamTypeString, {L, D, H}, "Backend URL"));
  p.back().stringDefault = "http://127.0.0.1:8765";
  p.back().hint = "Copy it from the Prismhollow download page.";
  p.push_back(declared("output_mode", kOfxParamTypeChoice, {L, O}, "Output"));
  p.back().options = {"Character (RGBA)", "Matte only", "Source (bypass)"};
  p.push_back(declared("draw_mask", kOfxParamTypeBoolean, {L, D}, "Edit selection in viewer"));
  p.back().numberDefault = 1;
  p.push_back(declared("select_tool", kOfxParamTypeChoice, {L, O}, "Tool"));
  p.back().options = {"Bounding box", "Brush (add)", "Brush (exclude)"};
  p.push_back(declared("brush_size", kOfxParamTypeDouble, {L, D, MIN, MAX}, "Brush size"));
  p.back().numberDefault = 0.03, p.back().min = 0.005, p.back().max = 0.3;
  p.push_back(declared("text_hint", kOfxParamTypeString, {L, D, H}, "Character hint (optional)"));
  p.back().hint = "e.g. 'woman in red'. Used when no box or brush is drawn.";
  p.push_back(declared("quality", kOfxParamTypeChoice, {L, O}, "Quality"));
  p.back().options = {"Fine edges (SAM 3.1 + BiRefNet)", "Fast (SAM 3.1)"};
  p.push_back(declared("edge_softness", kOfxParamTypeDouble, {L, D, MIN, MAX}, "Edge softness"));
  p.back().numberDefault = 0.35, p.back().min = 0.0, p.back().max = 1.0;
  p.push_back(declared("pull_alpha", kOfxParamTypePushButton, {L}, "Pull alpha (whole clip)"));
  p.push_back(declared("clear_mask", kOfxParamTypePushButton, {L}, "Clear selection"));
  p.push_back(declared("reset_matte", kOfxParamTypePushButton, {L}, "Reset matte"));
  p.push_back(declared("status", kOfxParamTypeString, {L, D, E, A, EV}, "Status"));
  p.back().stringDefault = "idle";
  p.back().enabled = 0;
  p.push_back(declared("bbox_json", kOfxParamTypeString, {D, S, A, EV}));
  p.push_back(declared("brush_json", kOfxParamTypeString, {D, S, A, EV}));
  p.back().stringDefault = "[]";
  p.push_back(declared("session_id", kOfxParamTypeString, {S, A}));
  p.push_back(declared("clip_start", kOfxParamTypeString, {D, S, A}));
  p.back().stringDefault = "0";
  for (std::size_t i = 12; i < p.size(); ++i) p[i].secret = 1;
  // State animates nowhere; the status and the selection never change the picture.
  for (std::size_t i = 11; i < p.size(); ++i)
    p[i].animates = 0, p[i].evaluateOnChange = p[i].name == "session_id" || p[i].name == "clip_start";
  return p;
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
    EXPECT_EQ(p.getInt(kOfxParamPropSecret), want.secret);
    EXPECT_EQ(p.getInt(kOfxParamPropEnabled), want.enabled);
    EXPECT_EQ(p.getInt(kOfxParamPropEvaluateOnChange), want.evaluateOnChange);
    if (want.type != kOfxParamTypePushButton) {
      EXPECT_EQ(p.getInt(kOfxParamPropAnimates), want.animates);
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

TEST_F(PluginTest, DescribeInContextDeclaresTwoClipsAndSixteenParameters) {
  const EffectDescriptor& described = plugin->describeInContext(kOfxImageEffectContextFilter);
  expectClipsAsDeclared(described);
  expectParamsAsDeclared(described);
}

TEST_F(PluginTest, AnyContextGetsTheSameClipsAndParameters) {
  const EffectDescriptor& described = plugin->describeInContext(kOfxImageEffectContextGeneral);
  expectClipsAsDeclared(described);
  expectParamsAsDeclared(described);
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

// An instance's life through the host: fresh values, limits, the default
// reply for what the effect does not handle, clip preferences, and how the
// effect copes with a host that lacks suites.

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "HostError.h"
#include "Overlay.h"
#include "PluginFixture.h"
#include "ofxImageEffect.h"

using namespace ofxhost;

TEST_F(PluginTest, AFreshInstanceHoldsTheDefaults) {
  auto fx = plugin->createInstance();
  EXPECT_EQ(fx->stringValue("backend_url"), "http://127.0.0.1:8765");
  EXPECT_EQ(fx->intValue("output_mode"), 0);
  EXPECT_EQ(fx->intValue("draw_mask"), 1);
  EXPECT_EQ(fx->intValue("select_tool"), 0);
  EXPECT_DOUBLE_EQ(fx->doubleValue("brush_size"), 0.03);
  EXPECT_EQ(fx->stringValue("text_hint"), "");
  EXPECT_EQ(fx->intValue("quality"), 0);
  EXPECT_DOUBLE_EQ(fx->doubleValue("edge_softness"), 0.35);
  EXPECT_EQ(fx->stringValue("status"), "idle");
  EXPECT_EQ(fx->stringValue("bbox_json"), "");
  EXPECT_EQ(fx->stringValue("brush_json"), "[]");
  EXPECT_EQ(fx->stringValue("session_id"), "");
  EXPECT_EQ(fx->stringValue("clip_start"), "0");
}

TEST_F(PluginTest, TheControlsKeepValuesInsideTheirLimits) {
  auto fx = newInstance();
  fx->userEdit("brush_size", 1.0);
  EXPECT_DOUBLE_EQ(fx->doubleValue("brush_size"), 0.3);
  fx->userEdit("brush_size", 0.0);
  EXPECT_DOUBLE_EQ(fx->doubleValue("brush_size"), 0.005);
  fx->userEdit("brush_size", 0.1);
  EXPECT_DOUBLE_EQ(fx->doubleValue("brush_size"), 0.1);
  fx->userEdit("edge_softness", -0.5);
  EXPECT_DOUBLE_EQ(fx->doubleValue("edge_softness"), 0.0);
  fx->userEdit("edge_softness", 7.0);
  EXPECT_DOUBLE_EQ(fx->doubleValue("edge_softness"), 1.0);
  EXPECT_EQ(fx->userEdit("output_mode", 3), kOfxStatErrValue);
  EXPECT_EQ(fx->intValue("output_mode"), 0);
  EXPECT_EQ(fx->userEdit("quality", 2), kOfxStatErrValue);
  // What the user cannot see or edit stays as it is.
  EXPECT_EQ(fx->userEdit("status", "typed"), kOfxStatErrValue);
  EXPECT_EQ(fx->userEdit("session_id", "typed"), kOfxStatErrValue);
  EXPECT_EQ(fx->stringValue("status"), "idle");
}

TEST_F(PluginTest, ActionsTheEffectDoesNotHandleGetTheDefaultReplyAndChangeNothing) {
  auto fx = newInstance();
  auto in = PropertySet::create("arguments");
  in->defineDouble(kOfxPropTime, {0.0});
  in->defineDouble(kOfxImageEffectPropRenderScale, {1.0, 1.0}, 2);
  auto out = PropertySet::create("results");
  out->defineDouble(kOfxImageEffectPropRegionOfDefinition, {1, 2, 3, 4}, 4);
  for (const char* action :
       {kOfxImageEffectActionGetRegionOfDefinition, kOfxImageEffectActionGetRegionsOfInterest,
        kOfxImageEffectActionIsIdentity, kOfxImageEffectActionGetFramesNeeded, kOfxImageEffectActionBeginSequenceRender,
        kOfxImageEffectActionEndSequenceRender, kOfxActionBeginInstanceChanged, kOfxActionEndInstanceChanged,
        kOfxActionPurgeCaches, "OfxActionNobodyKnows"}) {
    SCOPED_TRACE(action);
    EXPECT_EQ(fx->callAction(action, in.get(), out.get()), kOfxStatReplyDefault);
  }
  EXPECT_EQ(out->getDoubles(kOfxImageEffectPropRegionOfDefinition), (std::vector<double>{1, 2, 3, 4}));
  EXPECT_TRUE(out->pluginWrites().empty());
  EXPECT_TRUE(fx->properties().pluginWrites().empty());
  EXPECT_EQ(fx->stringValue("status"), "idle");
  EXPECT_EQ(fx->stringValue("session_id"), "");
  EXPECT_EQ(plugin->record().mainEntry(nullptr, fx->handle(), nullptr, nullptr), kOfxStatReplyDefault);
}

TEST_F(PluginTest, ParameterChangesOtherThanTheButtonsAreLeftToTheHost) {
  auto fx = newInstance();
  EXPECT_EQ(fx->userEdit("output_mode", 1), kOfxStatReplyDefault);
  EXPECT_EQ(fx->userEdit("edge_softness", 0.5), kOfxStatReplyDefault);
  EXPECT_EQ(fx->userEdit("text_hint", "woman in red"), kOfxStatReplyDefault);
  EXPECT_EQ(fx->stringValue("text_hint"), "woman in red");
  EXPECT_EQ(fx->stringValue("status"), "idle");
}

TEST_F(PluginTest, ClipPreferencesDeclarePremultipliedOutputOnlyOrTheSourcesInBypass) {
  auto fx = newInstance();
  const std::tuple<int, const char*, const char*> rows[] = {
      {0, kOfxImageUnPreMultiplied, kOfxImagePreMultiplied}, {1, kOfxImageOpaque, kOfxImagePreMultiplied},
      {2, kOfxImageUnPreMultiplied, kOfxImageUnPreMultiplied}, {2, kOfxImageOpaque, kOfxImageOpaque},
      {2, kOfxImagePreMultiplied, kOfxImagePreMultiplied}};
  for (const auto& [mode, source, output] : rows) {
    SCOPED_TRACE(std::to_string(mode) + " " + source);
    fx->setValue("output_mode", mode);
    fx->clip(kOfxImageEffectSimpleSourceClipName)->properties().setStrings(kOfxImageEffectPropPreMultiplication, {source});
    OfxStatus status = kOfxStatFailed;
    auto prefs = fx->clipPreferences(&status);
    EXPECT_EQ(status, kOfxStatOK);
    EXPECT_EQ(prefs[kOfxImageEffectPropPreMultiplication], output);
    EXPECT_EQ(prefs["OfxImageClipPropDepth_Output"], kOfxBitDepthByte);
    EXPECT_EQ(prefs["OfxImageClipPropComponents_Source"], kOfxImageComponentRGBA);
  }
}

// A host without the image-effect, property or parameter suite cannot run
// the effect at all: it is told so at load and never gets further.
TEST(PoorHost, LoadIsRefusedWithoutTheSuitesTheEffectCannotDoWithout) {
  for (const char* suite : {kOfxImageEffectSuite, kOfxPropertySuite, kOfxParameterSuite}) {
    SCOPED_TRACE(suite);
    Host host;
    host.removeSuite(suite);
    try {
      host.loadPlugin(kBundle);
      ADD_FAILURE() << "the plug-in loaded without " << suite;
    } catch (const HostError& e) {
      EXPECT_NE(std::string(e.what()).find("OfxActionLoad (kOfxStatErrMissingHostFeature)"), std::string::npos)
          << e.what();
    }
  }
}

TEST(PoorHost, WithoutMessagesOrInteractsTheEffectStillWorks) {
  for (const char* suite : {kOfxMessageSuite, kOfxInteractSuite}) {
    SCOPED_TRACE(suite);
    Host host;
    host.removeSuite(suite);
    Plugin& plugin = host.loadPlugin(kBundle);
    auto fx = plugin.createInstance(offline());
    EXPECT_EQ(fx->stringValue("status"), "idle");
    auto overlay = fx->createOverlay();
    ASSERT_NE(overlay, nullptr);
    const OfxStatus pen = overlay->penDown(100, 100);
    EXPECT_EQ(pen, std::string(suite) == kOfxInteractSuite ? kOfxStatReplyDefault : kOfxStatOK);
    EXPECT_EQ(plugin.describeInContext(kOfxImageEffectContextFilter).paramDefinitions()->params().size(), 16u);
    EXPECT_EQ(fx->destroy(), kOfxStatOK);
  }
}

TEST(PoorHost, DescribeSucceedsEvenWhenTheHostRefusesDefinitions) {
  Host host;
  host.failCall("paramDefine");
  host.failCall("clipDefine");
  Plugin& plugin = host.loadPlugin(kBundle);
  const EffectDescriptor& described = plugin.describeInContext(kOfxImageEffectContextFilter);
  EXPECT_TRUE(described.clips().empty());
  EXPECT_TRUE(described.paramDefinitions()->params().empty());
  EXPECT_EQ(plugin.descriptor().properties().getString(kOfxPropLabel), "Prismhollow Dune Veil");
}

// Whatever goes wrong inside the effect reaches the host as a status, never
// as an exception: running out of memory as kOfxStatErrMemory, anything else
// as kOfxStatFailed.
TEST(PoorHost, ExceptionsNeverLeaveTheEntryPoints) {
  {
    Host host;
    host.throwInCall("propSetString", /*outOfMemory=*/true);
    try {
      host.loadPlugin(kBundle);
      ADD_FAILURE() << "describe succeeded although the host ran out of memory";
    } catch (const HostError& e) {
      EXPECT_NE(std::string(e.what()).find("OfxActionDescribe (kOfxStatErrMemory)"), std::string::npos) << e.what();
    }
  }
  Host host;
  Plugin& plugin = host.loadPlugin(kBundle);
  auto fx = plugin.createInstance(offline());
  host.throwInCall("propSetString", /*outOfMemory=*/false);
  OfxStatus status = kOfxStatOK;
  fx->clipPreferences(&status);
  EXPECT_EQ(status, kOfxStatFailed);
  auto overlay = fx->createOverlay();
  ASSERT_NE(overlay, nullptr);
  host.throwInCall("interactGetPropertySet", /*outOfMemory=*/true);
  EXPECT_EQ(overlay->draw(), kOfxStatErrMemory);
  EXPECT_EQ(overlay->penDown(10, 10), kOfxStatErrMemory);
}

TEST_F(PluginTest, AnOverlaySeesItsEffectThroughTheInteractSuite) {
  auto fx = newInstance();
  auto overlay = fx->createOverlay();
  ASSERT_NE(overlay, nullptr);
  auto interact =
      static_cast<const OfxInteractSuiteV1*>(host->ofxHost()->fetchSuite(host->ofxHost()->host, kOfxInteractSuite, 1));
  auto props =
      static_cast<const OfxPropertySuiteV1*>(host->ofxHost()->fetchSuite(host->ofxHost()->host, kOfxPropertySuite, 1));
  ASSERT_TRUE(interact && props);
  OfxPropertySetHandle set = nullptr;
  ASSERT_EQ(interact->interactGetPropertySet(overlay->handle(), &set), kOfxStatOK);
  void* effect = nullptr;
  EXPECT_EQ(props->propGetPointer(set, kOfxPropEffectInstance, 0, &effect), kOfxStatOK);
  EXPECT_EQ(effect, static_cast<void*>(fx->handle()));
  double scale[2] = {0, 0}, background[3] = {-1, -1, -1};
  EXPECT_EQ(props->propGetDoubleN(set, kOfxInteractPropPixelScale, 2, scale), kOfxStatOK);
  EXPECT_EQ(props->propGetDoubleN(set, kOfxInteractPropBackgroundColour, 3, background), kOfxStatOK);
  EXPECT_EQ(scale[0], 1.0);
  EXPECT_EQ(background[0], 0.0);
  // Two overlays on one effect are two interacts with handles of their own.
  auto second = fx->createOverlay();
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second->handle(), overlay->handle());
  overlay->destroy();
  EXPECT_EQ(interact->interactGetPropertySet(overlay->handle(), &set), kOfxStatErrBadHandle);
  EXPECT_EQ(interact->interactGetPropertySet(second->handle(), &set), kOfxStatOK);
}

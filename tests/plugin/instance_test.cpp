// An instance's life through the host: user edits, the default reply for
// what the effect does not handle, clip preferences, and how the
// effect copes with a host that lacks suites.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "Overlay.h"
#include "PluginFixture.h"
#include "ofxImageEffect.h"

using namespace ofxhost;

// Every edit a user can make: a value outside a control's limits is clamped
// to them or refused, a hidden or read-only one is refused, and whatever the
// host accepts the effect leaves to the host (only the buttons are its own).
TEST_F(PluginTest, UserEditsAreClampedRefusedOrLeftToTheHost) {
  using Value = std::variant<int, double, std::string>;
  const std::tuple<const char*, Value, OfxStatus, Value> rows[] = {
      {"brush_size", 1.0, kOfxStatReplyDefault, 0.3},
      {"brush_size", 0.0, kOfxStatReplyDefault, 0.005},
      {"brush_size", "big", kOfxStatErrValue, 0.005},
      {"edge_softness", -0.5, kOfxStatReplyDefault, 0.0},
      {"edge_softness", 3, kOfxStatReplyDefault, 1.0},  // an integer into a double control is clamped too
      {"edge_softness", std::nan(""), kOfxStatErrValue, 1.0},
      {"output_mode", 3, kOfxStatErrValue, 0},
      {"output_mode", -1, kOfxStatErrValue, 0},
      {"output_mode", 1, kOfxStatReplyDefault, 1},
      {"quality", 2, kOfxStatErrValue, 0},
      {"quality", 1, kOfxStatReplyDefault, 1},
      {"select_tool", 2, kOfxStatReplyDefault, 2},
      {"draw_mask", 5, kOfxStatReplyDefault, 1},
      {"draw_mask", 0, kOfxStatReplyDefault, 0},
      {"text_hint", "woman in red", kOfxStatReplyDefault, "woman in red"},
      {"backend_url", "http://127.0.0.1:9/", kOfxStatReplyDefault, "http://127.0.0.1:9/"},
      {"status", "typed", kOfxStatErrValue, "idle"},
      {"session_id", "typed", kOfxStatErrValue, ""},
      {"bbox_json", "[0,0,1,1]", kOfxStatErrValue, ""}};
  auto fx = newInstance();
  for (const auto& [name, typed, status, after] : rows) {
    SCOPED_TRACE(name);
    EXPECT_EQ(std::visit([&, &name = name](const auto& v) { return fx->userEdit(name, v); }, typed), status);
    EXPECT_EQ(std::holds_alternative<int>(after)      ? Value(fx->intValue(name))
              : std::holds_alternative<double>(after) ? Value(fx->doubleValue(name))
                                                      : Value(fx->stringValue(name)),
              after);
  }
  EXPECT_EQ(fx->userEdit("no_such_param", 1), kOfxStatErrValue);
  EXPECT_EQ(fx->deliverPluginEdits(), 0);
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
        kOfxActionPurgeCaches, kOfxActionInstanceChanged /* without a name */, "OfxActionNobodyKnows"}) {
    SCOPED_TRACE(action);
    EXPECT_EQ(fx->callAction(action, in.get(), out.get()), kOfxStatReplyDefault);
  }
  EXPECT_EQ(out->getDoubles(kOfxImageEffectPropRegionOfDefinition), (std::vector<double>{1, 2, 3, 4}));
  EXPECT_TRUE(out->pluginWrites().empty());
  EXPECT_TRUE(fx->properties().pluginWrites().empty());
  EXPECT_EQ(fx->stringValue("status"), "idle");
  EXPECT_EQ(fx->stringValue("session_id"), "");
  EXPECT_TRUE(host->messages().all().empty());  // creation in a full host says nothing either
  EXPECT_EQ(plugin->record().mainEntry(nullptr, fx->handle(), nullptr, nullptr), kOfxStatReplyDefault);
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
    const std::string failure = loadFailure(host);
    EXPECT_NE(failure.find("OfxActionLoad (kOfxStatErrMissingHostFeature)"), std::string::npos) << failure;
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
    EXPECT_EQ(fx->destroy(), kOfxStatOK);
  }
}

// A host that refuses definitions still gets the description. Its instances
// then have no string parameters (nor any other: this host can refuse no
// fewer), so the user is told once, at creation, that the source only
// passes through.
TEST(PoorHost, DescribeSucceedsEvenWhenTheHostRefusesDefinitionsAndInstancesSayWhatIsLost) {
  Host host;
  host.failCall("paramDefine");
  host.failCall("clipDefine");
  Plugin& plugin = host.loadPlugin(kBundle);
  const EffectDescriptor& described = plugin.describeInContext(kOfxImageEffectContextFilter);
  EXPECT_TRUE(described.clips().empty());
  EXPECT_TRUE(described.paramDefinitions()->params().empty());
  EXPECT_EQ(plugin.descriptor().properties().getString(kOfxPropLabel), "Prismhollow Dune Veil");
  auto fx = plugin.createInstance();
  const std::vector<Message> told = host.messages().all();
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(told[0].text,
            "Prismhollow: this host gives the effect no string parameters, so it cannot hold a selection or a "
            "matte; the source passes through unchanged.");
  EXPECT_EQ(told[0].handle, fx->handle());
}

// Whatever goes wrong inside the effect reaches the host as a status, never
// as an exception: running out of memory as kOfxStatErrMemory, anything else
// as kOfxStatFailed.
TEST(PoorHost, ExceptionsNeverLeaveTheEntryPoints) {
  {
    Host host;
    host.throwInCall("propSetString", /*outOfMemory=*/true);
    const std::string failure = loadFailure(host);
    EXPECT_NE(failure.find("OfxActionDescribe (kOfxStatErrMemory)"), std::string::npos) << failure;
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

// Two overlays on one effect are two interacts with handles of their own.
TEST_F(PluginTest, EachOverlayIsAnInteractOfItsOwnUntilDestroyed) {
  auto fx = newInstance();
  auto overlay = fx->createOverlay(), second = fx->createOverlay();
  ASSERT_TRUE(overlay && second);
  EXPECT_NE(second->handle(), overlay->handle());
  auto interact =
      static_cast<const OfxInteractSuiteV1*>(host->ofxHost()->fetchSuite(host->ofxHost()->host, kOfxInteractSuite, 1));
  OfxPropertySetHandle set = nullptr;
  overlay->destroy();
  EXPECT_EQ(interact->interactGetPropertySet(overlay->handle(), &set), kOfxStatErrBadHandle);
  EXPECT_EQ(interact->interactGetPropertySet(second->handle(), &set), kOfxStatOK);
}

// The headless host as a plug-in meets it: through the C suites that fetchSuite hands out.

#include "Host.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "Image.h"
#include "Instance.h"
#include "PluginFixture.h"
#include "PropertySet.h"
#include "ofxImageEffect.h"
#include "ofxInteract.h"
#include "ofxMessage.h"
#include "ofxParam.h"
#include "ofxProgress.h"
#include "ofxProperty.h"

namespace {

using ofxhost::Host;
using ofxhost::ImageBuffer;
using ofxhost::PropertySet;

template <class Suite>
const Suite* fetch(Host& host, const char* name) {
  return static_cast<const Suite*>(host.ofxHost()->fetchSuite(host.ofxHost()->host, name, 1));
}

const auto kBogus = reinterpret_cast<OfxPropertySetHandle>(std::uintptr_t{0x1234});
const auto kSentinel = reinterpret_cast<OfxPropertySetHandle>(std::uintptr_t{0xdead0});
bool handled(OfxStatus status) { return status == kOfxStatOK || status == kOfxStatReplyDefault; }

// ---------------------------------------------------------- property sets

const char* const kLabel = kOfxPropLabel;                             // string, 1
const char* const kBounds = kOfxImagePropBounds;                      // int, 4
const char* const kScale = kOfxImageEffectPropRenderScale;            // double, 2
const char* const kDepths = kOfxImageEffectPropSupportedPixelDepths;  // string, variable
const char* const kVersion = kOfxPropVersion;                         // int, variable
const char* const kRange = kOfxImageEffectPropFrameRange;             // double, variable, empty
const char* const kData = kOfxImagePropData;                          // pointer, 1

class HostProperties : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(p, nullptr);
    set->defineString(kLabel, {"plain"});
    set->defineInt(kBounds, {0, 0, 8, 6}, 4);
    set->defineDouble(kScale, {1.0, 1.0}, 2);
    set->defineString(kDepths, {kOfxBitDepthByte, kOfxBitDepthFloat}, PropertySet::kVariable);
    set->defineInt(kVersion, {1, 0, 0}, PropertySet::kVariable);
    set->defineDouble(kRange, {}, PropertySet::kVariable);
    set->definePointer(kData);
  }
  void TearDown() override { set->retire(); }
  int dimension(const char* name) {
    int n = -1;
    EXPECT_EQ(p->propGetDimension(h, name, &n), kOfxStatOK) << name;
    return n;
  }
  std::string stringAt(const char* name, int index) {
    char* value = nullptr;
    EXPECT_EQ(p->propGetString(h, name, index, &value), kOfxStatOK) << name << "[" << index << "]";
    return value ? value : "<null>";
  }
  std::vector<int> ints(const char* name) {
    std::vector<int> out(dimension(name));
    EXPECT_EQ(p->propGetIntN(h, name, static_cast<int>(out.size()), out.data()), kOfxStatOK) << name;
    return out;
  }

  Host host;
  const OfxPropertySuiteV1* p = fetch<OfxPropertySuiteV1>(host, kOfxPropertySuite);
  std::shared_ptr<PropertySet> set = PropertySet::create("test properties");
  OfxPropertySetHandle h = set->handle();
};

TEST_F(HostProperties, UnknownNamesAndDeadHandlesAreRefusedByEveryKindOfCall) {
  auto gone = PropertySet::create("short-lived");
  gone->defineString(kLabel, {"x"});
  const OfxPropertySetHandle retired = gone->handle();
  gone->retire();
  char* s;
  int i;
  double d;
  void* v;
  const int one[] = {1};
  const std::pair<const char*, std::function<OfxStatus(OfxPropertySetHandle, const char*)>> calls[] = {
      {"propGetString", [&](auto ps, auto name) { return p->propGetString(ps, name, 0, &s); }},
      {"propGetInt", [&](auto ps, auto name) { return p->propGetInt(ps, name, 0, &i); }},
      {"propGetPointer", [&](auto ps, auto name) { return p->propGetPointer(ps, name, 0, &v); }},
      {"propSetString", [&](auto ps, auto name) { return p->propSetString(ps, name, 0, "x"); }},
      {"propSetDouble", [&](auto ps, auto name) { return p->propSetDouble(ps, name, 0, 1.0); }},
      {"propSetIntN", [&](auto ps, auto name) { return p->propSetIntN(ps, name, 1, one); }},
      {"propGetDoubleN", [&](auto ps, auto name) { return p->propGetDoubleN(ps, name, 1, &d); }},
      {"propReset", [&](auto ps, auto name) { return p->propReset(ps, name); }},
      {"propGetDimension", [&](auto ps, auto name) { return p->propGetDimension(ps, name, &i); }},
  };
  for (const auto& [what, call] : calls) {
    SCOPED_TRACE(what);
    EXPECT_EQ(call(h, "OfxPropNoSuchThing"), kOfxStatErrUnknown);
    for (OfxPropertySetHandle dead : {kBogus, retired, OfxPropertySetHandle{}})
      EXPECT_EQ(call(dead, kLabel), kOfxStatErrBadHandle);
  }
  EXPECT_FALSE(set->has("OfxPropNoSuchThing")) << "a refused write must not add the property";
}

TEST_F(HostProperties, WrongTypesBadIndicesAndNullsAreRefusedAndChangeNothing) {
  int i = 0;
  double d = 0;
  char* s = nullptr;
  const int five[] = {1, 2, 3, 4, 5};
  const char* one[] = {"one"};
  EXPECT_EQ(p->propGetInt(h, kLabel, 0, &i), kOfxStatErrValue);
  EXPECT_EQ(p->propGetString(h, kScale, 0, &s), kOfxStatErrValue);
  EXPECT_EQ(p->propSetDouble(h, kBounds, 0, 2.5), kOfxStatErrValue);
  EXPECT_EQ(p->propSetString(h, kData, 0, "x"), kOfxStatErrValue);
  EXPECT_EQ(p->propSetStringN(h, kVersion, 1, one), kOfxStatErrValue);
  EXPECT_EQ(p->propGetInt(h, kBounds, 0, nullptr), kOfxStatErrValue);
  EXPECT_EQ(p->propSetString(h, kLabel, 0, nullptr), kOfxStatErrValue);
  EXPECT_EQ(p->propSetIntN(h, kVersion, 2, nullptr), kOfxStatErrValue);
  EXPECT_EQ(p->propGetInt(h, kBounds, 4, &i), kOfxStatErrBadIndex);
  EXPECT_EQ(p->propSetInt(h, kBounds, 4, 1), kOfxStatErrBadIndex);
  EXPECT_EQ(p->propSetInt(h, kBounds, -1, 1), kOfxStatErrBadIndex);
  EXPECT_EQ(p->propSetIntN(h, kBounds, 5, five), kOfxStatErrBadIndex);
  EXPECT_EQ(p->propGetString(h, kDepths, 2, &s), kOfxStatErrBadIndex);
  EXPECT_EQ(p->propGetDoubleN(h, kRange, 1, &d), kOfxStatErrBadIndex);
  EXPECT_EQ(stringAt(kLabel, 0), "plain");
  EXPECT_EQ(ints(kBounds), (std::vector<int>{0, 0, 8, 6}));
  EXPECT_EQ(ints(kVersion), (std::vector<int>{1, 0, 0}));
}

TEST_F(HostProperties, VariableDimensionsFollowTheWritesFixedOnesStayAndResetRestores) {
  EXPECT_EQ(p->propSetString(h, kDepths, 3, kOfxBitDepthHalf), kOfxStatOK);
  EXPECT_EQ(dimension(kDepths), 4);
  EXPECT_EQ(stringAt(kDepths, 1), kOfxBitDepthFloat);
  EXPECT_EQ(stringAt(kDepths, 2), "");
  const int version[] = {2, 5, 1, 9};
  EXPECT_EQ(p->propSetIntN(h, kVersion, 4, version), kOfxStatOK);
  EXPECT_EQ(ints(kVersion), (std::vector<int>{2, 5, 1, 9}));
  EXPECT_EQ(p->propSetIntN(h, kVersion, 0, nullptr), kOfxStatOK);
  EXPECT_EQ(dimension(kVersion), 0);
  const double half[] = {0.5};
  double scale[2] = {};
  EXPECT_EQ(p->propSetDoubleN(h, kScale, 1, half), kOfxStatOK);
  EXPECT_EQ(p->propGetDoubleN(h, kScale, 2, scale), kOfxStatOK);
  EXPECT_EQ(std::vector<double>(scale, scale + 2), (std::vector<double>{0.5, 1.0}));

  int local = 0;
  const int bounds[] = {-3, -4, 30, 40};
  ASSERT_EQ(p->propSetString(h, kLabel, 0, "changed"), kOfxStatOK);
  ASSERT_EQ(p->propSetIntN(h, kBounds, 4, bounds), kOfxStatOK);
  ASSERT_EQ(p->propSetPointer(h, kData, 0, &local), kOfxStatOK);
  for (const char* name : {kLabel, kBounds, kDepths, kData}) EXPECT_EQ(p->propReset(h, name), kOfxStatOK) << name;
  EXPECT_EQ(stringAt(kLabel, 0), "plain");
  EXPECT_EQ(ints(kBounds), (std::vector<int>{0, 0, 8, 6}));
  EXPECT_EQ(dimension(kDepths), 2);
  EXPECT_EQ(stringAt(kDepths, 0), kOfxBitDepthByte);
  void* data = &local;
  EXPECT_EQ(p->propGetPointer(h, kData, 0, &data), kOfxStatOK);
  EXPECT_EQ(data, nullptr);
}

TEST_F(HostProperties, StringsReadEarlierStayValidAfterWritesDropsAndResets) {
  char *first = nullptr, *dropped = nullptr;
  ASSERT_EQ(p->propGetString(h, kLabel, 0, &first), kOfxStatOK);
  ASSERT_EQ(p->propGetString(h, kDepths, 1, &dropped), kOfxStatOK);
  for (int i = 0; i < 5; ++i)
    ASSERT_EQ(p->propSetString(h, kLabel, 0, ("overwritten label " + std::to_string(i)).c_str()), kOfxStatOK);
  const char* shorter[] = {kOfxBitDepthShort};
  ASSERT_EQ(p->propSetStringN(h, kDepths, 1, shorter), kOfxStatOK);
  ASSERT_EQ(p->propReset(h, kLabel), kOfxStatOK);
  EXPECT_STREQ(first, "plain");
  EXPECT_STREQ(dropped, kOfxBitDepthFloat);
}

// ------------------------------------------------------------- fetchSuite

// Every member of a suite is a function pointer; -1 for no suite, else the number missing.
template <class Suite>
int missingEntries(const Suite* suite) {
  static_assert(sizeof(Suite) % sizeof(void (*)()) == 0, "suites hold function pointers only");
  if (!suite) return -1;
  void (*entries[sizeof(Suite) / sizeof(void (*)())])();
  std::memcpy(entries, suite, sizeof(Suite));
  int missing = 0;
  for (auto entry : entries) missing += entry == nullptr;
  return missing;
}

TEST(HostSuites, CompleteSuitesAtTheirVersionsUnlessRemoved) {
  Host host, other;
  OfxHost* h = host.ofxHost();
  EXPECT_EQ(missingEntries(fetch<OfxImageEffectSuiteV1>(host, kOfxImageEffectSuite)), 0);
  EXPECT_EQ(missingEntries(fetch<OfxPropertySuiteV1>(host, kOfxPropertySuite)), 0);
  EXPECT_EQ(missingEntries(fetch<OfxParameterSuiteV1>(host, kOfxParameterSuite)), 0);
  EXPECT_EQ(missingEntries(fetch<OfxInteractSuiteV1>(host, kOfxInteractSuite)), 0);
  EXPECT_EQ(missingEntries(fetch<OfxMessageSuiteV1>(host, kOfxMessageSuite)), 0);
  for (const char* name :
       {kOfxImageEffectSuite, kOfxPropertySuite, kOfxParameterSuite, kOfxInteractSuite, kOfxMessageSuite}) {
    EXPECT_EQ(h->fetchSuite(h->host, name, 2), nullptr) << name;
    EXPECT_EQ(h->fetchSuite(h->host, name, 0), nullptr) << name;
    EXPECT_EQ(h->fetchSuite(kBogus, name, 1), nullptr) << name;
  }
  EXPECT_EQ(missingEntries(fetch<OfxProgressSuiteV1>(host, kOfxProgressSuite)), 0);
  EXPECT_EQ(missingEntries(static_cast<const OfxProgressSuiteV2*>(h->fetchSuite(h->host, kOfxProgressSuite, 2))), 0);
  EXPECT_EQ(h->fetchSuite(h->host, kOfxProgressSuite, 3), nullptr);
  EXPECT_EQ(h->fetchSuite(h->host, "OfxMultiThreadSuite", 1), nullptr);
  EXPECT_EQ(h->fetchSuite(h->host, nullptr, 1), nullptr);

  host.removeSuite(kOfxMessageSuite);
  EXPECT_EQ(fetch<OfxMessageSuiteV1>(host, kOfxMessageSuite), nullptr);
  EXPECT_NE(fetch<OfxPropertySuiteV1>(host, kOfxPropertySuite), nullptr);
  EXPECT_NE(fetch<OfxMessageSuiteV1>(other, kOfxMessageSuite), nullptr) << "another host keeps it";
  host.clearFailures();
  EXPECT_NE(fetch<OfxMessageSuiteV1>(host, kOfxMessageSuite), nullptr);
}

// ------------------------------------------------------ instances and images

class HostInstance : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    fx = fetch<OfxImageEffectSuiteV1>(*host, kOfxImageEffectSuite);
    pr = fetch<OfxPropertySuiteV1>(*host, kOfxPropertySuite);
    pm = fetch<OfxParameterSuiteV1>(*host, kOfxParameterSuite);
    ms = fetch<OfxMessageSuiteV1>(*host, kOfxMessageSuite);
    ASSERT_TRUE(fx && pr && pm && ms);
    instance = newInstance();
  }
  OfxParamHandle param(const char* name, OfxPropertySetHandle* props = nullptr) {
    OfxParamSetHandle set = nullptr;
    OfxParamHandle handle = nullptr;
    EXPECT_EQ(fx->getParamSet(instance->handle(), &set), kOfxStatOK);
    EXPECT_EQ(pm->paramGetHandle(set, name, &handle, props), kOfxStatOK) << name;
    return handle;
  }
  OfxImageClipHandle clip(const char* name = kOfxImageEffectSimpleSourceClipName) {
    OfxImageClipHandle c = nullptr;
    EXPECT_EQ(fx->clipGetHandle(instance->handle(), name, &c, nullptr), kOfxStatOK) << name;
    return c;
  }
  void serve(std::shared_ptr<ImageBuffer> buffer) {
    instance->setSource([buffer](OfxTime) { return buffer; });
  }
  OfxPropertySetHandle fetchImage(OfxTime time = 0) {
    OfxPropertySetHandle image = nullptr;
    EXPECT_EQ(fx->clipGetImage(clip(), time, nullptr, &image), kOfxStatOK);
    return image;
  }
  void expectLedger(int fetched, int released, int outstanding) {
    ofxhost::ImageLedger l = instance->ledger();
    EXPECT_EQ(std::vector<int>({l.fetched, l.released, l.outstanding}),
              std::vector<int>({fetched, released, outstanding}));
  }

  const OfxImageEffectSuiteV1* fx = nullptr;
  const OfxPropertySuiteV1* pr = nullptr;
  const OfxParameterSuiteV1* pm = nullptr;
  const OfxMessageSuiteV1* ms = nullptr;
  std::shared_ptr<ofxhost::EffectInstance> instance;
};

TEST_F(HostInstance, EveryHandleIsRefusedAfterDestroyAndOtherInstancesCarryOn) {
  auto other = newInstance();
  serve(ImageBuffer::allocate(OfxRectI{0, 0, 2, 2}, kOfxBitDepthByte));
  OfxImageEffectHandle effect = instance->handle();
  OfxPropertySetHandle props = nullptr, setProps = nullptr, paramProps = nullptr, clipProps = nullptr, p = nullptr;
  OfxParamSetHandle params = nullptr;
  ASSERT_EQ(fx->getPropertySet(effect, &props), kOfxStatOK);
  ASSERT_EQ(fx->getParamSet(effect, &params), kOfxStatOK);
  ASSERT_EQ(pm->paramSetGetPropertySet(params, &setProps), kOfxStatOK);
  OfxParamHandle url = param("backend_url", &paramProps);
  OfxImageClipHandle source = clip();
  ASSERT_EQ(fx->clipGetPropertySet(source, &clipProps), kOfxStatOK);
  OfxPropertySetHandle held = fetchImage();
  char* text = nullptr;
  for (OfxPropertySetHandle live : {props, setProps, paramProps, clipProps, held})
    EXPECT_NE(pr->propGetString(live, kOfxPropName, 0, &text), kOfxStatErrBadHandle);

  ASSERT_EQ(instance->destroy(), kOfxStatOK);
  EXPECT_FALSE(instance->alive());
  OfxParamSetHandle ps = nullptr;
  OfxParamHandle ph = nullptr;
  OfxImageClipHandle ch = nullptr;
  OfxPropertySetHandle image = kSentinel;
  EXPECT_EQ(fx->getPropertySet(effect, &p), kOfxStatErrBadHandle);
  EXPECT_EQ(fx->getParamSet(effect, &ps), kOfxStatErrBadHandle);
  EXPECT_EQ(fx->clipGetHandle(effect, kOfxImageEffectSimpleSourceClipName, &ch, nullptr), kOfxStatErrBadHandle);
  EXPECT_EQ(pm->paramSetGetPropertySet(params, &p), kOfxStatErrBadHandle);
  EXPECT_EQ(pm->paramGetHandle(params, "backend_url", &ph, nullptr), kOfxStatErrBadHandle);
  EXPECT_EQ(pm->paramGetPropertySet(url, &p), kOfxStatErrBadHandle);
  EXPECT_EQ(pm->paramGetValue(url, &text), kOfxStatErrBadHandle);
  EXPECT_EQ(pm->paramSetValue(url, "https://127.0.0.1:9"), kOfxStatErrBadHandle);
  EXPECT_EQ(fx->clipGetPropertySet(source, &p), kOfxStatErrBadHandle);
  EXPECT_EQ(fx->clipGetImage(source, 0.0, nullptr, &image), kOfxStatErrBadHandle);
  EXPECT_EQ(image, nullptr);
  for (OfxPropertySetHandle dead : {props, setProps, paramProps, clipProps, held})
    EXPECT_EQ(pr->propGetString(dead, kOfxPropName, 0, &text), kOfxStatErrBadHandle);
  EXPECT_EQ(fx->clipReleaseImage(held), kOfxStatErrBadHandle);
  EXPECT_EQ(ms->message(effect, kOfxMessageError, nullptr, "gone"), kOfxStatErrBadHandle);
  EXPECT_EQ(instance->render(0.0).status, kOfxStatErrBadHandle);
  EXPECT_EQ(instance->callAction(kOfxActionPurgeCaches, nullptr, nullptr), kOfxStatErrBadHandle);
  EXPECT_EQ(instance->destroy(), kOfxStatOK) << "a second destroy is harmless";

  EXPECT_EQ(fx->getPropertySet(other->handle(), &p), kOfxStatOK);
  EXPECT_TRUE(handled(other->callAction(kOfxActionPurgeCaches, nullptr, nullptr)));
}

// The properties describe the buffer: addressing pixels by row bytes, as a plug-in does, finds the buffer's pixels.
TEST_F(HostInstance, PaddedAndTopDownImagesAreDescribedExactly) {
  for (const auto& [b, depth, padding, topDown, rowBytes] :
       {std::tuple{OfxRectI{10, 20, 15, 24}, kOfxBitDepthByte, 12, false, 5 * 4 + 12},
        std::tuple{OfxRectI{-3, -2, 4, 3}, kOfxBitDepthFloat, 8, true, -(7 * 16 + 8)}}) {
    SCOPED_TRACE(depth);
    auto buffer = ImageBuffer::allocate(b, depth, padding, topDown);
    serve(buffer);
    OfxPropertySetHandle image = fetchImage();
    int bounds[4] = {}, step = 0;
    void* data = nullptr;
    char* told = nullptr;
    ASSERT_EQ(pr->propGetIntN(image, kOfxImagePropBounds, 4, bounds), kOfxStatOK);
    ASSERT_EQ(pr->propGetInt(image, kOfxImagePropRowBytes, 0, &step), kOfxStatOK);
    ASSERT_EQ(pr->propGetPointer(image, kOfxImagePropData, 0, &data), kOfxStatOK);
    ASSERT_EQ(pr->propGetString(image, kOfxImageEffectPropPixelDepth, 0, &told), kOfxStatOK);
    EXPECT_EQ(std::vector<int>(bounds, bounds + 4), (std::vector<int>{b.x1, b.y1, b.x2, b.y2}));
    EXPECT_EQ(step, rowBytes);
    EXPECT_STREQ(told, depth);
    for (int y = b.y1; y < b.y2; ++y)
      for (int x = b.x1; x < b.x2; ++x)
        ASSERT_EQ(buffer->pixel(x, y),
                  static_cast<unsigned char*>(data) + (y - b.y1) * step + (x - b.x1) * buffer->bytesPerPixel())
            << x << "," << y;
    EXPECT_EQ(fx->clipReleaseImage(image), kOfxStatOK);
  }
}

TEST_F(HostInstance, ClipsWithoutAnImageAnswerFailedAndReleasesCountOnce) {
  auto expectNone = [&](const char* what, OfxImageClipHandle c) {
    OfxPropertySetHandle image = kSentinel;
    EXPECT_EQ(fx->clipGetImage(c, 3.0, nullptr, &image), kOfxStatFailed) << what;
    EXPECT_EQ(image, nullptr) << what;
  };
  expectNone("nothing connected", clip());
  instance->setSource([](OfxTime) { return nullptr; });
  expectNone("no image for the time", clip());
  serve(ImageBuffer::allocate(OfxRectI{0, 0, 2, 2}, kOfxBitDepthByte));
  expectNone("outputs exist only while rendering", clip(kOfxImageEffectOutputClipName));
  instance->setClipAvailable(kOfxImageEffectSimpleSourceClipName, false);
  expectNone("clip made unavailable", clip());
  instance->setClipAvailable(kOfxImageEffectSimpleSourceClipName, true);
  host->failCall("clipGetImage");
  expectNone("call told to fail", clip());
  expectLedger(0, 0, 0);
  host->clearFailures();
  // A released image is gone; releasing it again, or what is no image, is a stray release.
  const int strayBefore = ofxhost::strayImageReleases();
  OfxPropertySetHandle image = fetchImage();
  EXPECT_EQ(fx->clipReleaseImage(image), kOfxStatOK);
  int rowBytes = 0;
  EXPECT_EQ(pr->propGetInt(image, kOfxImagePropRowBytes, 0, &rowBytes), kOfxStatErrBadHandle);
  EXPECT_EQ(fx->clipReleaseImage(image), kOfxStatErrBadHandle);
  EXPECT_EQ(fx->clipReleaseImage(kBogus), kOfxStatErrBadHandle);
  EXPECT_EQ(ofxhost::strayImageReleases(), strayBefore + 2);
  expectLedger(1, 1, 0);
}

// -------------------------------------------------------------- parameters

TEST_F(HostInstance, ParameterValuesThroughTheSuiteAndPluginEditsReportedOnce) {
  char* text = nullptr;
  int choice = -1, flag = -1;
  double size = -1;
  EXPECT_EQ(instance->deliverPluginEdits(), 0);
  ASSERT_EQ(pm->paramSetValue(param("backend_url"), "https://127.0.0.1:9000/pull"), kOfxStatOK);
  ASSERT_EQ(pm->paramSetValue(param("output_mode"), 2), kOfxStatOK);
  ASSERT_EQ(pm->paramSetValue(param("brush_size"), 0.125), kOfxStatOK);
  ASSERT_EQ(pm->paramGetValue(param("backend_url"), &text), kOfxStatOK);
  ASSERT_EQ(pm->paramGetValue(param("output_mode"), &choice), kOfxStatOK);
  ASSERT_EQ(pm->paramGetValueAtTime(param("brush_size"), 12.0, &size), kOfxStatOK);
  ASSERT_EQ(pm->paramGetValue(param("draw_mask"), &flag), kOfxStatOK);
  EXPECT_STREQ(text, "https://127.0.0.1:9000/pull");
  EXPECT_EQ(choice, 2);
  EXPECT_EQ(size, 0.125);
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(instance->deliverPluginEdits(), 3);
  EXPECT_EQ(instance->deliverPluginEdits(), 0);
  instance->setValue("text_hint", "man in blue");  // as loading a project does: not an edit
  EXPECT_EQ(instance->deliverPluginEdits(), 0);

  EXPECT_EQ(pm->paramSetValue(param("backend_url"), static_cast<const char*>(nullptr)), kOfxStatErrValue);
  EXPECT_EQ(pm->paramGetValue(param("pull_alpha"), &flag), kOfxStatErrUnsupported) << "a button has no value";
  OfxParamSetHandle set = nullptr;
  OfxParamHandle none = nullptr;
  ASSERT_EQ(fx->getParamSet(instance->handle(), &set), kOfxStatOK);
  EXPECT_EQ(pm->paramGetHandle(set, "no_such_param", &none, nullptr), kOfxStatErrUnknown);
}

// ---------------------------------------------------------------- messages

TEST_F(HostInstance, MessagesAreFormattedAndRecorded) {
  host->messages().clear();
  const std::string longText(5000, 'x');
  EXPECT_EQ(ms->message(instance->handle(), kOfxMessageWarning, "orv.frames", "%s %d", "frames", 42), kOfxStatOK);
  EXPECT_EQ(ms->message(instance->handle(), kOfxMessageError, nullptr, "%s failed after %d%%", "pull", 75), kOfxStatOK);
  EXPECT_EQ(ms->message(instance->handle(), kOfxMessageLog, "orv.long", "[%s]", longText.c_str()), kOfxStatOK);
  EXPECT_EQ(ms->message(instance->handle(), kOfxMessageQuestion, "orv.ask", "continue?"), kOfxStatReplyNo);
  EXPECT_EQ(ms->message(nullptr, kOfxMessageMessage, nullptr, "about no effect"), kOfxStatErrBadHandle);
  EXPECT_EQ(ms->message(nullptr, nullptr, "x", "no type"), kOfxStatErrValue);
  EXPECT_EQ(ms->message(nullptr, kOfxMessageLog, "x", nullptr), kOfxStatErrValue);
  EXPECT_EQ(ms->message(kBogus, kOfxMessageLog, "x", "bogus handle"), kOfxStatErrBadHandle);
  std::vector<ofxhost::Message> all = host->messages().all();
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[0].type + "|" + all[0].id + "|" + all[0].text,
            kOfxMessageWarning + std::string("|orv.frames|frames 42"));
  EXPECT_EQ(all[1].type + "|" + all[1].id + "|" + all[1].text,
            kOfxMessageError + std::string("||pull failed after 75%"));
  EXPECT_EQ(all[2].text, "[" + longText + "]");
  EXPECT_EQ(all[3].type, kOfxMessageQuestion);
  EXPECT_EQ(all[3].handle, instance->handle());
}

// ------------------------------------------------------------- concurrency

TEST_F(HostInstance, ConcurrentFetchesEditsAndMessagesBalance) {
  constexpr int kReaders = 4, kRounds = 200;
  instance->setSource([](OfxTime t) {
    auto buffer = ImageBuffer::allocate(OfxRectI{0, 0, 4, 4}, kOfxBitDepthByte);
    *buffer->pixel(0, 0) = static_cast<unsigned char>(static_cast<int>(t) & 0xff);
    return buffer;
  });
  host->messages().clear();
  OfxImageClipHandle source = clip();
  OfxParamHandle hint = param("text_hint");
  std::atomic<int> failures{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int r = 0; r < kReaders; ++r)
    threads.emplace_back([&] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < kRounds; ++i) {
        OfxPropertySetHandle image = nullptr;
        void* data = nullptr;
        failures += fx->clipGetImage(source, i, nullptr, &image) != kOfxStatOK ||
                    pr->propGetPointer(image, kOfxImagePropData, 0, &data) != kOfxStatOK ||
                    *static_cast<unsigned char*>(data) != (i & 0xff) || fx->clipReleaseImage(image) != kOfxStatOK;
      }
    });
  threads.emplace_back([&] {
    while (!go) std::this_thread::yield();
    for (int i = 0; i < kRounds; ++i)
      failures += pm->paramSetValue(hint, ("hint " + std::to_string(i)).c_str()) != kOfxStatOK ||
                  ms->message(instance->handle(), kOfxMessageLog, "orv.concurrency", "edit %d", i) != kOfxStatOK;
  });
  go = true;
  for (auto& t : threads) t.join();

  EXPECT_EQ(failures.load(), 0);
  expectLedger(kReaders * kRounds, kReaders * kRounds, 0);
  std::vector<ofxhost::Message> all = host->messages().all();
  ASSERT_EQ(all.size(), static_cast<std::size_t>(kRounds));
  for (int i = 0; i < kRounds; ++i) EXPECT_EQ(all[i].text, "edit " + std::to_string(i));
  EXPECT_EQ(instance->stringValue("text_hint"), "hint " + std::to_string(kRounds - 1));
  EXPECT_EQ(instance->deliverPluginEdits(), kRounds);
}

// Two threads release each image at the same moment: one release counts, the other is stray.
TEST_F(HostInstance, RacingReleasesOfOneImageCountItOnce) {
  constexpr int kBatches = 200, kBatchSize = 100;
  serve(ImageBuffer::allocate(OfxRectI{0, 0, 2, 2}, kOfxBitDepthByte));
  OfxImageClipHandle source = clip();
  const int strayBefore = ofxhost::strayImageReleases();
  std::vector<OfxPropertySetHandle> batch(kBatchSize);
  std::atomic<int> round{0}, arrived{0}, done{0}, accepted{0};
  auto releaser = [&] {
    for (int r = 1, meeting = 0; r <= kBatches; ++r) {
      while (round.load() < r) std::this_thread::yield();
      for (OfxPropertySetHandle image : batch) {
        // Meet the other releaser: spin hard briefly, then let a busy machine schedule it.
        ++arrived, ++meeting;
        const auto hardUntil = std::chrono::steady_clock::now() + std::chrono::microseconds(200);
        while (arrived.load() < 2 * meeting)
          if (std::chrono::steady_clock::now() > hardUntil) std::this_thread::yield();
        accepted += fx->clipReleaseImage(image) == kOfxStatOK;
      }
      ++done;
    }
  };
  std::thread a(releaser), b(releaser);
  int fetchFailures = 0;
  for (int r = 1; r <= kBatches; ++r) {
    for (auto& image : batch) fetchFailures += fx->clipGetImage(source, 0.0, nullptr, &image) != kOfxStatOK;
    done = 0;
    round = r;
    while (done.load() < 2) std::this_thread::yield();
  }
  a.join();
  b.join();
  const int images = kBatches * kBatchSize;
  EXPECT_EQ(fetchFailures, 0);
  EXPECT_EQ(accepted.load(), images);
  EXPECT_EQ(ofxhost::strayImageReleases() - strayBefore, images);
  expectLedger(images, images, 0);
}

}  // namespace

// The headless host as a plug-in meets it: through the C suites that
// fetchSuite hands out. Property sets, the suites on offer, instance handles
// after destruction, image fetching and release, parameter values, user
// edits, messages, and all of it from several threads at once.

#include "Host.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "HostError.h"
#include "Image.h"
#include "Instance.h"
#include "PluginFixture.h"
#include "PropertySet.h"
#include "ofxImageEffect.h"
#include "ofxInteract.h"
#include "ofxMessage.h"
#include "ofxParam.h"
#include "ofxProperty.h"

namespace {

using ofxhost::Host;
using ofxhost::ImageBuffer;
using ofxhost::PropertySet;

// The suites of a host, fetched as a plug-in fetches them.
struct Suites {
  explicit Suites(Host& host) {
    OfxHost* h = host.ofxHost();
    effect = static_cast<const OfxImageEffectSuiteV1*>(h->fetchSuite(h->host, kOfxImageEffectSuite, 1));
    prop = static_cast<const OfxPropertySuiteV1*>(h->fetchSuite(h->host, kOfxPropertySuite, 1));
    param = static_cast<const OfxParameterSuiteV1*>(h->fetchSuite(h->host, kOfxParameterSuite, 1));
    interact = static_cast<const OfxInteractSuiteV1*>(h->fetchSuite(h->host, kOfxInteractSuite, 1));
    message = static_cast<const OfxMessageSuiteV1*>(h->fetchSuite(h->host, kOfxMessageSuite, 1));
  }
  bool complete() const { return effect && prop && param && interact && message; }

  const OfxImageEffectSuiteV1* effect = nullptr;
  const OfxPropertySuiteV1* prop = nullptr;
  const OfxParameterSuiteV1* param = nullptr;
  const OfxInteractSuiteV1* interact = nullptr;
  const OfxMessageSuiteV1* message = nullptr;
};

const auto kBogusProps = reinterpret_cast<OfxPropertySetHandle>(std::uintptr_t{0x1234});

bool handled(OfxStatus status) { return status == kOfxStatOK || status == kOfxStatReplyDefault; }

// ---------------------------------------------------------- property sets

// A property set with a schema like the host's own sets: fixed and variable
// dimensions of every type.
class HostProperties : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(suites.complete());
    set = PropertySet::create("test properties");
    set->defineString(kOfxPropLabel, {"plain"});
    set->defineInt(kOfxImagePropBounds, {0, 0, 8, 6}, 4);
    set->defineDouble(kOfxImageEffectPropRenderScale, {1.0, 1.0}, 2);
    set->defineString(kOfxImageEffectPropSupportedPixelDepths, {kOfxBitDepthByte, kOfxBitDepthFloat},
                      PropertySet::kVariable);
    set->defineInt(kOfxPropVersion, {1, 0, 0}, PropertySet::kVariable);
    set->defineDouble(kOfxImageEffectPropFrameRange, {}, PropertySet::kVariable);
    set->definePointer(kOfxImagePropData);
    handle = set->handle();
  }
  void TearDown() override {
    if (set) set->retire();
  }

  int dimension(const char* name) {
    int n = -1;
    EXPECT_EQ(prop().propGetDimension(handle, name, &n), kOfxStatOK) << name;
    return n;
  }
  std::string stringAt(const char* name, int index) {
    char* value = nullptr;
    EXPECT_EQ(prop().propGetString(handle, name, index, &value), kOfxStatOK) << name << "[" << index << "]";
    return value ? value : "<null>";
  }
  int intAt(const char* name, int index) {
    int value = -999;
    EXPECT_EQ(prop().propGetInt(handle, name, index, &value), kOfxStatOK) << name << "[" << index << "]";
    return value;
  }
  const OfxPropertySuiteV1& prop() { return *suites.prop; }

  Host host;
  Suites suites{host};
  std::shared_ptr<PropertySet> set;
  OfxPropertySetHandle handle = nullptr;
};

TEST_F(HostProperties, UnknownPropertyIsErrUnknownForEveryCall) {
  const char* name = "OfxPropNoSuchThing";
  char* s = nullptr;
  int i = 0;
  double d = 0;
  void* p = nullptr;
  const char* strings[] = {"a"};
  EXPECT_EQ(prop().propGetString(handle, name, 0, &s), kOfxStatErrUnknown);
  EXPECT_EQ(prop().propGetInt(handle, name, 0, &i), kOfxStatErrUnknown);
  EXPECT_EQ(prop().propGetDouble(handle, name, 0, &d), kOfxStatErrUnknown);
  EXPECT_EQ(prop().propGetPointer(handle, name, 0, &p), kOfxStatErrUnknown);
  EXPECT_EQ(prop().propSetString(handle, name, 0, "x"), kOfxStatErrUnknown);
  EXPECT_EQ(prop().propSetInt(handle, name, 0, 1), kOfxStatErrUnknown);
  EXPECT_EQ(prop().propSetDouble(handle, name, 0, 1.0), kOfxStatErrUnknown);
  EXPECT_EQ(prop().propSetPointer(handle, name, 0, &i), kOfxStatErrUnknown);
  EXPECT_EQ(prop().propSetStringN(handle, name, 1, strings), kOfxStatErrUnknown);
  EXPECT_EQ(prop().propGetIntN(handle, name, 1, &i), kOfxStatErrUnknown);
  EXPECT_EQ(prop().propReset(handle, name), kOfxStatErrUnknown);
  EXPECT_EQ(prop().propGetDimension(handle, name, &i), kOfxStatErrUnknown);
  EXPECT_FALSE(set->has(name)) << "a refused write must not add the property";
}

TEST_F(HostProperties, WrongTypeIsErrValueAndChangesNothing) {
  char* s = nullptr;
  int i = 0;
  double d = 0;
  void* p = nullptr;
  EXPECT_EQ(prop().propGetInt(handle, kOfxPropLabel, 0, &i), kOfxStatErrValue);
  EXPECT_EQ(prop().propGetString(handle, kOfxImageEffectPropRenderScale, 0, &s), kOfxStatErrValue);
  EXPECT_EQ(prop().propGetDouble(handle, kOfxImagePropBounds, 0, &d), kOfxStatErrValue);
  EXPECT_EQ(prop().propGetPointer(handle, kOfxPropLabel, 0, &p), kOfxStatErrValue);
  EXPECT_EQ(prop().propSetDouble(handle, kOfxImagePropBounds, 0, 2.5), kOfxStatErrValue);
  EXPECT_EQ(prop().propSetInt(handle, kOfxPropLabel, 0, 3), kOfxStatErrValue);
  EXPECT_EQ(prop().propSetString(handle, kOfxImagePropData, 0, "x"), kOfxStatErrValue);
  EXPECT_EQ(stringAt(kOfxPropLabel, 0), "plain");
  EXPECT_EQ(intAt(kOfxImagePropBounds, 0), 0);

  // The N-valued writes to a variable property of another type leave it whole.
  const char* words[] = {"one"};
  EXPECT_EQ(prop().propSetStringN(handle, kOfxPropVersion, 1, words), kOfxStatErrValue);
  EXPECT_EQ(dimension(kOfxPropVersion), 3);
  const int numbers[] = {7, 8, 9, 10};
  EXPECT_EQ(prop().propSetIntN(handle, kOfxImageEffectPropSupportedPixelDepths, 4, numbers), kOfxStatErrValue);
  EXPECT_EQ(dimension(kOfxImageEffectPropSupportedPixelDepths), 2);
  EXPECT_EQ(stringAt(kOfxImageEffectPropSupportedPixelDepths, 1), kOfxBitDepthFloat);
}

TEST_F(HostProperties, IndexPastAFixedDimensionIsErrBadIndex) {
  int i = 0;
  double d = 0;
  char* s = nullptr;
  EXPECT_EQ(prop().propGetInt(handle, kOfxImagePropBounds, 4, &i), kOfxStatErrBadIndex);
  EXPECT_EQ(prop().propSetInt(handle, kOfxImagePropBounds, 4, 1), kOfxStatErrBadIndex);
  EXPECT_EQ(prop().propGetInt(handle, kOfxImagePropBounds, -1, &i), kOfxStatErrBadIndex);
  EXPECT_EQ(prop().propSetInt(handle, kOfxImagePropBounds, -1, 1), kOfxStatErrBadIndex);
  EXPECT_EQ(prop().propGetDouble(handle, kOfxImageEffectPropRenderScale, 2, &d), kOfxStatErrBadIndex);
  EXPECT_EQ(prop().propSetString(handle, kOfxPropLabel, 1, "second"), kOfxStatErrBadIndex);
  EXPECT_EQ(prop().propGetString(handle, kOfxPropLabel, 1, &s), kOfxStatErrBadIndex);
  const int five[] = {1, 2, 3, 4, 5};
  EXPECT_EQ(prop().propSetIntN(handle, kOfxImagePropBounds, 5, five), kOfxStatErrBadIndex);
  int out[5] = {};
  EXPECT_EQ(prop().propGetIntN(handle, kOfxImagePropBounds, 5, out), kOfxStatErrBadIndex);
  EXPECT_EQ(dimension(kOfxImagePropBounds), 4);
  EXPECT_EQ(intAt(kOfxImagePropBounds, 3), 6);
}

TEST_F(HostProperties, IndexPastTheValuesOfAVariablePropertyIsErrBadIndex) {
  char* s = nullptr;
  double d = 0;
  EXPECT_EQ(prop().propGetString(handle, kOfxImageEffectPropSupportedPixelDepths, 2, &s), kOfxStatErrBadIndex);
  EXPECT_EQ(prop().propGetDouble(handle, kOfxImageEffectPropFrameRange, 0, &d), kOfxStatErrBadIndex);
  EXPECT_EQ(dimension(kOfxImageEffectPropFrameRange), 0);
}

TEST_F(HostProperties, VariablePropertiesGrowWithSetAndShrinkWithSetN) {
  // Setting past the end grows the property; the values between are empty.
  EXPECT_EQ(prop().propSetString(handle, kOfxImageEffectPropSupportedPixelDepths, 4, kOfxBitDepthHalf), kOfxStatOK);
  EXPECT_EQ(dimension(kOfxImageEffectPropSupportedPixelDepths), 5);
  EXPECT_EQ(stringAt(kOfxImageEffectPropSupportedPixelDepths, 1), kOfxBitDepthFloat);
  EXPECT_EQ(stringAt(kOfxImageEffectPropSupportedPixelDepths, 2), "");
  EXPECT_EQ(stringAt(kOfxImageEffectPropSupportedPixelDepths, 4), kOfxBitDepthHalf);

  EXPECT_EQ(prop().propSetDouble(handle, kOfxImageEffectPropFrameRange, 1, 24.0), kOfxStatOK);
  EXPECT_EQ(dimension(kOfxImageEffectPropFrameRange), 2);

  // An N-valued write leaves exactly the values given.
  const char* one[] = {kOfxBitDepthShort};
  EXPECT_EQ(prop().propSetStringN(handle, kOfxImageEffectPropSupportedPixelDepths, 1, one), kOfxStatOK);
  EXPECT_EQ(dimension(kOfxImageEffectPropSupportedPixelDepths), 1);
  EXPECT_EQ(stringAt(kOfxImageEffectPropSupportedPixelDepths, 0), kOfxBitDepthShort);

  const int version[] = {2, 5, 1, 9};
  EXPECT_EQ(prop().propSetIntN(handle, kOfxPropVersion, 4, version), kOfxStatOK);
  EXPECT_EQ(dimension(kOfxPropVersion), 4);
  int back[4] = {};
  EXPECT_EQ(prop().propGetIntN(handle, kOfxPropVersion, 4, back), kOfxStatOK);
  EXPECT_EQ(std::vector<int>(back, back + 4), std::vector<int>(version, version + 4));
  EXPECT_EQ(prop().propSetIntN(handle, kOfxPropVersion, 0, nullptr), kOfxStatOK);
  EXPECT_EQ(dimension(kOfxPropVersion), 0);
}

TEST_F(HostProperties, FixedDimensionIsReportedAndKeptByShortSetN) {
  EXPECT_EQ(dimension(kOfxImagePropBounds), 4);
  EXPECT_EQ(dimension(kOfxImageEffectPropRenderScale), 2);
  EXPECT_EQ(dimension(kOfxPropLabel), 1);
  EXPECT_EQ(dimension(kOfxImagePropData), 1);
  const double half[] = {0.5};
  EXPECT_EQ(prop().propSetDoubleN(handle, kOfxImageEffectPropRenderScale, 1, half), kOfxStatOK);
  EXPECT_EQ(dimension(kOfxImageEffectPropRenderScale), 2);
  double scale[2] = {};
  EXPECT_EQ(prop().propGetDoubleN(handle, kOfxImageEffectPropRenderScale, 2, scale), kOfxStatOK);
  EXPECT_EQ(scale[0], 0.5);
  EXPECT_EQ(scale[1], 1.0);
}

TEST_F(HostProperties, ResetRestoresTheDefault) {
  EXPECT_EQ(prop().propSetString(handle, kOfxPropLabel, 0, "changed"), kOfxStatOK);
  EXPECT_EQ(prop().propReset(handle, kOfxPropLabel), kOfxStatOK);
  EXPECT_EQ(stringAt(kOfxPropLabel, 0), "plain");

  const int bounds[] = {-3, -4, 30, 40};
  EXPECT_EQ(prop().propSetIntN(handle, kOfxImagePropBounds, 4, bounds), kOfxStatOK);
  EXPECT_EQ(prop().propReset(handle, kOfxImagePropBounds), kOfxStatOK);
  int back[4] = {};
  EXPECT_EQ(prop().propGetIntN(handle, kOfxImagePropBounds, 4, back), kOfxStatOK);
  EXPECT_EQ(std::vector<int>(back, back + 4), (std::vector<int>{0, 0, 8, 6}));

  // A variable property gets its default count back too.
  EXPECT_EQ(prop().propSetString(handle, kOfxImageEffectPropSupportedPixelDepths, 3, kOfxBitDepthHalf), kOfxStatOK);
  EXPECT_EQ(prop().propReset(handle, kOfxImageEffectPropSupportedPixelDepths), kOfxStatOK);
  EXPECT_EQ(dimension(kOfxImageEffectPropSupportedPixelDepths), 2);
  EXPECT_EQ(stringAt(kOfxImageEffectPropSupportedPixelDepths, 0), kOfxBitDepthByte);

  int local = 0;
  EXPECT_EQ(prop().propSetPointer(handle, kOfxImagePropData, 0, &local), kOfxStatOK);
  EXPECT_EQ(prop().propReset(handle, kOfxImagePropData), kOfxStatOK);
  void* p = &local;
  EXPECT_EQ(prop().propGetPointer(handle, kOfxImagePropData, 0, &p), kOfxStatOK);
  EXPECT_EQ(p, nullptr);
}

TEST_F(HostProperties, BogusAndRetiredHandlesAreErrBadHandle) {
  char* s = nullptr;
  int i = 0;
  const int n[] = {1};
  EXPECT_EQ(prop().propGetString(kBogusProps, kOfxPropLabel, 0, &s), kOfxStatErrBadHandle);
  EXPECT_EQ(prop().propSetInt(kBogusProps, kOfxImagePropBounds, 0, 1), kOfxStatErrBadHandle);
  EXPECT_EQ(prop().propSetIntN(kBogusProps, kOfxPropVersion, 1, n), kOfxStatErrBadHandle);
  EXPECT_EQ(prop().propGetIntN(kBogusProps, kOfxPropVersion, 1, &i), kOfxStatErrBadHandle);
  EXPECT_EQ(prop().propReset(kBogusProps, kOfxPropLabel), kOfxStatErrBadHandle);
  EXPECT_EQ(prop().propGetDimension(kBogusProps, kOfxPropLabel, &i), kOfxStatErrBadHandle);
  EXPECT_EQ(prop().propGetInt(nullptr, kOfxImagePropBounds, 0, &i), kOfxStatErrBadHandle);

  auto gone = PropertySet::create("short-lived");
  gone->defineInt(kOfxPropVersion, {1}, PropertySet::kVariable);
  OfxPropertySetHandle stale = gone->handle();
  EXPECT_EQ(prop().propGetInt(stale, kOfxPropVersion, 0, &i), kOfxStatOK);
  gone->retire();
  EXPECT_EQ(prop().propGetInt(stale, kOfxPropVersion, 0, &i), kOfxStatErrBadHandle);
  EXPECT_EQ(prop().propSetInt(stale, kOfxPropVersion, 0, 2), kOfxStatErrBadHandle);
}

TEST_F(HostProperties, NullOutputPointersAreErrValue) {
  EXPECT_EQ(prop().propGetInt(handle, kOfxImagePropBounds, 0, nullptr), kOfxStatErrValue);
  EXPECT_EQ(prop().propGetDimension(handle, kOfxImagePropBounds, nullptr), kOfxStatErrValue);
  EXPECT_EQ(prop().propSetString(handle, kOfxPropLabel, 0, nullptr), kOfxStatErrValue);
  EXPECT_EQ(prop().propSetIntN(handle, kOfxPropVersion, 2, nullptr), kOfxStatErrValue);
  EXPECT_EQ(stringAt(kOfxPropLabel, 0), "plain");
  EXPECT_EQ(dimension(kOfxPropVersion), 3);
}

TEST_F(HostProperties, StringStaysValidAfterLaterWrites) {
  char* first = nullptr;
  ASSERT_EQ(prop().propGetString(handle, kOfxPropLabel, 0, &first), kOfxStatOK);
  const std::string copy = first;
  for (int i = 0; i < 5; ++i)
    ASSERT_EQ(prop().propSetString(handle, kOfxPropLabel, 0, ("overwritten label " + std::to_string(i)).c_str()),
              kOfxStatOK);
  EXPECT_EQ(std::memcmp(first, copy.c_str(), copy.size() + 1), 0);
  EXPECT_EQ(stringAt(kOfxPropLabel, 0), "overwritten label 4");

  // Also when an N-valued write drops the value, or a reset replaces it.
  char* dropped = nullptr;
  ASSERT_EQ(prop().propGetString(handle, kOfxImageEffectPropSupportedPixelDepths, 1, &dropped), kOfxStatOK);
  const char* none[] = {kOfxBitDepthShort};
  ASSERT_EQ(prop().propSetStringN(handle, kOfxImageEffectPropSupportedPixelDepths, 1, none), kOfxStatOK);
  ASSERT_EQ(prop().propReset(handle, kOfxPropLabel), kOfxStatOK);
  EXPECT_STREQ(dropped, kOfxBitDepthFloat);
  EXPECT_EQ(std::memcmp(first, copy.c_str(), copy.size() + 1), 0);
}

TEST_F(HostProperties, HostPropertySetReadsThroughTheSuite) {
  OfxPropertySetHandle hostProps = host.ofxHost()->host;
  char* type = nullptr;
  ASSERT_EQ(prop().propGetString(hostProps, kOfxPropType, 0, &type), kOfxStatOK);
  EXPECT_STREQ(type, kOfxTypeImageEffectHost);
  int n = 0;
  ASSERT_EQ(prop().propGetDimension(hostProps, kOfxPropAPIVersion, &n), kOfxStatOK);
  EXPECT_EQ(n, 2);
  int version[2] = {};
  ASSERT_EQ(prop().propGetIntN(hostProps, kOfxPropAPIVersion, 2, version), kOfxStatOK);
  EXPECT_EQ(version[0], 1);
}

TEST_F(HostProperties, InjectedFailureAnswersFailedAndDeliversNothing) {
  host.failCall("propGetInt");
  int value = -7;
  EXPECT_EQ(prop().propGetInt(handle, kOfxImagePropBounds, 2, &value), kOfxStatFailed);
  EXPECT_EQ(value, -7);
  // Other calls are unaffected.
  EXPECT_EQ(stringAt(kOfxPropLabel, 0), "plain");
  host.clearFailures();
  EXPECT_EQ(prop().propGetInt(handle, kOfxImagePropBounds, 2, &value), kOfxStatOK);
  EXPECT_EQ(value, 8);
}

// ------------------------------------------------------------- fetchSuite

TEST(HostSuites, OffersTheFiveSuitesAtVersionOne) {
  Host host;
  OfxHost* h = host.ofxHost();
  ASSERT_NE(h->fetchSuite, nullptr);
  for (const char* name :
       {kOfxImageEffectSuite, kOfxPropertySuite, kOfxParameterSuite, kOfxInteractSuite, kOfxMessageSuite}) {
    SCOPED_TRACE(name);
    EXPECT_NE(h->fetchSuite(h->host, name, 1), nullptr);
    EXPECT_EQ(h->fetchSuite(h->host, name, 2), nullptr);
    EXPECT_EQ(h->fetchSuite(h->host, name, 0), nullptr);
    EXPECT_EQ(h->fetchSuite(kBogusProps, name, 1), nullptr);
  }
  EXPECT_EQ(h->fetchSuite(h->host, "OfxMultiThreadSuite", 1), nullptr);
  EXPECT_EQ(h->fetchSuite(h->host, "", 1), nullptr);
  EXPECT_EQ(h->fetchSuite(h->host, nullptr, 1), nullptr);
}

// Every member of a suite is a function pointer; none may be missing.
template <class Suite>
int missingEntries(const Suite* suite) {
  static_assert(sizeof(Suite) % sizeof(void (*)()) == 0, "suites hold function pointers only");
  void (*entries[sizeof(Suite) / sizeof(void (*)())])();
  std::memcpy(entries, suite, sizeof(Suite));
  int missing = 0;
  for (auto entry : entries) missing += entry == nullptr;
  return missing;
}

TEST(HostSuites, EveryEntryOfEverySuiteIsFilledIn) {
  Host host;
  Suites s(host);
  ASSERT_TRUE(s.complete());
  EXPECT_EQ(missingEntries(s.effect), 0);
  EXPECT_EQ(missingEntries(s.prop), 0);
  EXPECT_EQ(missingEntries(s.param), 0);
  EXPECT_EQ(missingEntries(s.interact), 0);
  EXPECT_EQ(missingEntries(s.message), 0);
}

TEST(HostSuites, RemovedSuiteIsNoLongerOffered) {
  Host host;
  OfxHost* h = host.ofxHost();
  host.removeSuite(kOfxMessageSuite);
  EXPECT_EQ(h->fetchSuite(h->host, kOfxMessageSuite, 1), nullptr);
  EXPECT_NE(h->fetchSuite(h->host, kOfxPropertySuite, 1), nullptr);
  EXPECT_NE(h->fetchSuite(h->host, kOfxImageEffectSuite, 1), nullptr);
  // Another host is not affected.
  Host other;
  EXPECT_NE(other.ofxHost()->fetchSuite(other.ofxHost()->host, kOfxMessageSuite, 1), nullptr);
  host.clearFailures();
  EXPECT_NE(h->fetchSuite(h->host, kOfxMessageSuite, 1), nullptr);
}

// ------------------------------------------------------ instance handles

class HostInstance : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    suites = std::make_unique<Suites>(*host);
    ASSERT_TRUE(suites->complete());
    instance = newInstance();
  }
  OfxParamHandle paramHandle(const char* name, OfxPropertySetHandle* props = nullptr) {
    OfxParamSetHandle set = nullptr;
    EXPECT_EQ(suites->effect->getParamSet(instance->handle(), &set), kOfxStatOK);
    OfxParamHandle param = nullptr;
    EXPECT_EQ(suites->param->paramGetHandle(set, name, &param, props), kOfxStatOK) << name;
    return param;
  }
  OfxImageClipHandle clipHandle(const char* name) {
    OfxImageClipHandle clip = nullptr;
    EXPECT_EQ(suites->effect->clipGetHandle(instance->handle(), name, &clip, nullptr), kOfxStatOK) << name;
    return clip;
  }

  std::unique_ptr<Suites> suites;
  std::shared_ptr<ofxhost::EffectInstance> instance;
};

TEST_F(HostInstance, EveryHandleIsRefusedAfterDestroy) {
  const OfxImageEffectSuiteV1& fx = *suites->effect;
  const OfxParameterSuiteV1& pm = *suites->param;
  const OfxPropertySuiteV1& pr = *suites->prop;
  OfxImageEffectHandle effect = instance->handle();
  OfxPropertySetHandle props = nullptr;
  OfxParamSetHandle params = nullptr;
  OfxPropertySetHandle paramSetProps = nullptr;
  OfxPropertySetHandle paramProps = nullptr;
  OfxPropertySetHandle clipProps = nullptr;
  ASSERT_EQ(fx.getPropertySet(effect, &props), kOfxStatOK);
  ASSERT_EQ(fx.getParamSet(effect, &params), kOfxStatOK);
  ASSERT_EQ(pm.paramSetGetPropertySet(params, &paramSetProps), kOfxStatOK);
  OfxParamHandle param = paramHandle("backend_url", &paramProps);
  OfxImageClipHandle clip = clipHandle(kOfxImageEffectSimpleSourceClipName);
  ASSERT_EQ(fx.clipGetPropertySet(clip, &clipProps), kOfxStatOK);
  char* text = nullptr;
  ASSERT_EQ(pm.paramGetValue(param, &text), kOfxStatOK);
  ASSERT_EQ(pr.propGetString(props, kOfxPropType, 0, &text), kOfxStatOK);
  EXPECT_STREQ(text, kOfxTypeImageEffectInstance);

  ASSERT_EQ(instance->destroy(), kOfxStatOK);
  EXPECT_FALSE(instance->alive());

  OfxPropertySetHandle p = nullptr;
  OfxParamSetHandle ps = nullptr;
  OfxParamHandle ph = nullptr;
  OfxImageClipHandle ch = nullptr;
  OfxPropertySetHandle image = nullptr;
  EXPECT_EQ(fx.getPropertySet(effect, &p), kOfxStatErrBadHandle);
  EXPECT_EQ(fx.getParamSet(effect, &ps), kOfxStatErrBadHandle);
  EXPECT_EQ(fx.clipGetHandle(effect, kOfxImageEffectSimpleSourceClipName, &ch, nullptr), kOfxStatErrBadHandle);
  EXPECT_EQ(pr.propGetString(props, kOfxPropType, 0, &text), kOfxStatErrBadHandle);
  EXPECT_EQ(pr.propSetInt(props, kOfxPropIsInteractive, 0, 1), kOfxStatErrBadHandle);
  EXPECT_EQ(pm.paramGetHandle(params, "backend_url", &ph, nullptr), kOfxStatErrBadHandle);
  EXPECT_EQ(pm.paramSetGetPropertySet(params, &p), kOfxStatErrBadHandle);
  EXPECT_EQ(pr.propGetString(paramSetProps, kOfxPropType, 0, &text), kOfxStatErrBadHandle);
  EXPECT_EQ(pm.paramGetValue(param, &text), kOfxStatErrBadHandle);
  EXPECT_EQ(pm.paramSetValue(param, "https://127.0.0.1:9"), kOfxStatErrBadHandle);
  EXPECT_EQ(pm.paramGetPropertySet(param, &p), kOfxStatErrBadHandle);
  EXPECT_EQ(pr.propGetString(paramProps, kOfxPropName, 0, &text), kOfxStatErrBadHandle);
  EXPECT_EQ(fx.clipGetPropertySet(clip, &p), kOfxStatErrBadHandle);
  EXPECT_EQ(fx.clipGetImage(clip, 0.0, nullptr, &image), kOfxStatErrBadHandle);
  EXPECT_EQ(image, nullptr);
  EXPECT_EQ(pr.propGetString(clipProps, kOfxPropName, 0, &text), kOfxStatErrBadHandle);
  EXPECT_EQ(suites->message->message(effect, kOfxMessageError, nullptr, "gone"), kOfxStatErrBadHandle);

  EXPECT_EQ(instance->render(0.0).status, kOfxStatErrBadHandle);
  EXPECT_EQ(instance->callAction(kOfxActionPurgeCaches, nullptr, nullptr), kOfxStatErrBadHandle);
  EXPECT_EQ(instance->callAction(kOfxImageEffectActionGetClipPreferences, nullptr, nullptr), kOfxStatErrBadHandle);

  // A second destroy is harmless, and the handles stay dead.
  EXPECT_EQ(instance->destroy(), kOfxStatOK);
  EXPECT_FALSE(instance->alive());
  EXPECT_EQ(fx.getPropertySet(effect, &p), kOfxStatErrBadHandle);
}

TEST_F(HostInstance, DestroyingOneInstanceLeavesAnotherAlone) {
  auto other = newInstance();
  ASSERT_EQ(instance->destroy(), kOfxStatOK);
  OfxPropertySetHandle p = nullptr;
  EXPECT_EQ(suites->effect->getPropertySet(other->handle(), &p), kOfxStatOK);
  EXPECT_TRUE(other->alive());
  EXPECT_TRUE(handled(other->callAction(kOfxActionPurgeCaches, nullptr, nullptr)));
}

// ------------------------------------------------------------------ images

class HostImages : public HostInstance {
 protected:
  // Fetches an image of the Source clip through the suite.
  OfxPropertySetHandle fetch(OfxTime time = 0) {
    OfxPropertySetHandle image = nullptr;
    EXPECT_EQ(suites->effect->clipGetImage(clipHandle(kOfxImageEffectSimpleSourceClipName), time, nullptr, &image),
              kOfxStatOK);
    EXPECT_NE(image, nullptr);
    return image;
  }
  OfxStatus release(OfxPropertySetHandle image) { return suites->effect->clipReleaseImage(image); }

  template <class T>
  std::vector<T> values(OfxPropertySetHandle image, const char* name, int count) {
    std::vector<T> out(count);
    OfxStatus status;
    if constexpr (std::is_same_v<T, int>)
      status = suites->prop->propGetIntN(image, name, count, out.data());
    else
      status = suites->prop->propGetPointerN(image, name, count, out.data());
    EXPECT_EQ(status, kOfxStatOK) << name;
    return out;
  }

  // Checks what the image's properties say against the buffer: bounds, row
  // bytes, the data pointer, and that the plug-in's pixel addressing finds
  // what the buffer's own pixel() finds.
  void checkImageDescribes(OfxPropertySetHandle image, ImageBuffer& buffer) {
    const OfxRectI& b = buffer.bounds();
    EXPECT_EQ(values<int>(image, kOfxImagePropBounds, 4), (std::vector<int>{b.x1, b.y1, b.x2, b.y2}));
    int rowBytes = values<int>(image, kOfxImagePropRowBytes, 1)[0];
    EXPECT_EQ(rowBytes, buffer.rowBytes());
    auto* data = static_cast<unsigned char*>(values<void*>(image, kOfxImagePropData, 1)[0]);
    EXPECT_EQ(data, buffer.data());
    EXPECT_EQ(data, buffer.pixel(b.x1, b.y1));
    char* depth = nullptr;
    EXPECT_EQ(suites->prop->propGetString(image, kOfxImageEffectPropPixelDepth, 0, &depth), kOfxStatOK);
    EXPECT_EQ(std::string(depth ? depth : ""), buffer.depth());

    const int bpp = buffer.bytesPerPixel();
    for (int y = b.y1; y < b.y2; ++y)
      for (int x = b.x1; x < b.x2; ++x) {
        unsigned char* expected = data + static_cast<long>(y - b.y1) * rowBytes + static_cast<long>(x - b.x1) * bpp;
        ASSERT_EQ(buffer.pixel(x, y), expected) << "pixel " << x << "," << y;
        // Distinct bytes per pixel, written through the buffer and read back
        // as a plug-in reads them: rows and pixels do not overlap.
        std::memset(buffer.pixel(x, y), (x * 7 + y * 13) & 0xff, bpp);
      }
    for (int y = b.y1; y < b.y2; ++y)
      for (int x = b.x1; x < b.x2; ++x) {
        const unsigned char* px = data + static_cast<long>(y - b.y1) * rowBytes + static_cast<long>(x - b.x1) * bpp;
        for (int c = 0; c < bpp; ++c) ASSERT_EQ(px[c], (x * 7 + y * 13) & 0xff) << "pixel " << x << "," << y;
      }
  }
};

TEST_F(HostImages, PaddedBottomUpImageIsDescribedExactly) {
  auto buffer = ImageBuffer::allocate(OfxRectI{10, 20, 15, 24}, kOfxBitDepthByte, 12);
  EXPECT_EQ(buffer->rowBytes(), 5 * 4 + 12);
  EXPECT_LT(buffer->pixel(10, 20), buffer->pixel(10, 21)) << "rows go up in memory";
  instance->setSource([buffer](OfxTime) { return buffer; });
  OfxPropertySetHandle image = fetch();
  checkImageDescribes(image, *buffer);
  EXPECT_EQ(release(image), kOfxStatOK);
}

TEST_F(HostImages, TopDownFloatImageHasNegativeRowBytes) {
  auto buffer = ImageBuffer::allocate(OfxRectI{-3, -2, 4, 3}, kOfxBitDepthFloat, 8, true);
  EXPECT_EQ(buffer->bytesPerPixel(), 16);
  EXPECT_EQ(buffer->rowBytes(), -(7 * 16 + 8));
  EXPECT_GT(buffer->pixel(-3, -2), buffer->pixel(-3, 2)) << "the top row is stored first";
  instance->setSource([buffer](OfxTime) { return buffer; });
  OfxPropertySetHandle image = fetch();
  checkImageDescribes(image, *buffer);
  EXPECT_EQ(release(image), kOfxStatOK);
}

TEST_F(HostImages, BufferRefusesBadRequests) {
  EXPECT_THROW(ImageBuffer::allocate(OfxRectI{0, 0, 4, 4}, kOfxBitDepthShort), ofxhost::HostError);
  EXPECT_THROW(ImageBuffer::allocate(OfxRectI{0, 0, 4, 4}, kOfxBitDepthByte, -4), ofxhost::HostError);
  EXPECT_THROW(ImageBuffer::allocate(OfxRectI{4, 0, 0, 4}, kOfxBitDepthByte), ofxhost::HostError);
  auto buffer = ImageBuffer::allocate(OfxRectI{0, 0, 4, 4}, kOfxBitDepthByte);
  EXPECT_THROW(buffer->pixel(4, 0), ofxhost::HostError);
  EXPECT_THROW(buffer->pixel(0, -1), ofxhost::HostError);
}

TEST_F(HostImages, SourceIsAskedForTheRequestedTime) {
  std::vector<OfxTime> asked;
  auto buffer = ImageBuffer::allocate(OfxRectI{0, 0, 2, 2}, kOfxBitDepthByte);
  instance->setSource([&asked, buffer](OfxTime t) {
    asked.push_back(t);
    return buffer;
  });
  EXPECT_EQ(release(fetch(7.0)), kOfxStatOK);
  EXPECT_EQ(release(fetch(-2.5)), kOfxStatOK);
  EXPECT_EQ(asked, (std::vector<OfxTime>{7.0, -2.5}));
}

TEST_F(HostImages, LedgerCountsFetchesAndReleases) {
  auto buffer = ImageBuffer::allocate(OfxRectI{0, 0, 4, 4}, kOfxBitDepthByte);
  instance->setSource([buffer](OfxTime) { return buffer; });
  OfxPropertySetHandle a = fetch(0), b = fetch(1), c = fetch(2);
  EXPECT_NE(a, b);
  EXPECT_NE(b, c);
  ofxhost::ImageLedger l = instance->ledger();
  EXPECT_EQ(l.fetched, 3);
  EXPECT_EQ(l.released, 0);
  EXPECT_EQ(l.outstanding, 3);

  EXPECT_EQ(release(b), kOfxStatOK);
  EXPECT_EQ(release(a), kOfxStatOK);
  l = instance->ledger();
  EXPECT_EQ(l.fetched, 3);
  EXPECT_EQ(l.released, 2);
  EXPECT_EQ(l.outstanding, 1);

  // A released image's properties are gone.
  int rowBytes = 0;
  EXPECT_EQ(suites->prop->propGetInt(a, kOfxImagePropRowBytes, 0, &rowBytes), kOfxStatErrBadHandle);

  EXPECT_EQ(release(c), kOfxStatOK);
  l = instance->ledger();
  EXPECT_EQ(l.released, 3);
  EXPECT_EQ(l.outstanding, 0);
}

TEST_F(HostImages, SecondReleaseIsABadHandleAndCountedAsStray) {
  auto buffer = ImageBuffer::allocate(OfxRectI{0, 0, 4, 4}, kOfxBitDepthByte);
  instance->setSource([buffer](OfxTime) { return buffer; });
  OfxPropertySetHandle image = fetch();
  const int strayBefore = ofxhost::strayImageReleases();
  ASSERT_EQ(release(image), kOfxStatOK);
  EXPECT_EQ(ofxhost::strayImageReleases(), strayBefore);
  EXPECT_EQ(release(image), kOfxStatErrBadHandle);
  EXPECT_EQ(ofxhost::strayImageReleases(), strayBefore + 1);
  EXPECT_EQ(release(kBogusProps), kOfxStatErrBadHandle);
  EXPECT_EQ(ofxhost::strayImageReleases(), strayBefore + 2);
  ofxhost::ImageLedger l = instance->ledger();
  EXPECT_EQ(l.fetched, 1);
  EXPECT_EQ(l.released, 1);
  EXPECT_EQ(l.outstanding, 0);
}

TEST_F(HostImages, ClipWithoutImagesAnswersFailedAndANullImage) {
  OfxImageClipHandle source = clipHandle(kOfxImageEffectSimpleSourceClipName);
  const auto sentinel = reinterpret_cast<OfxPropertySetHandle>(std::uintptr_t{0xdead0});
  OfxPropertySetHandle image = sentinel;

  // Nothing connected.
  EXPECT_EQ(suites->effect->clipGetImage(source, 0.0, nullptr, &image), kOfxStatFailed);
  EXPECT_EQ(image, nullptr);

  // A source that has no image for the time.
  instance->setSource([](OfxTime) { return std::shared_ptr<ImageBuffer>(); });
  image = sentinel;
  EXPECT_EQ(suites->effect->clipGetImage(source, 3.0, nullptr, &image), kOfxStatFailed);
  EXPECT_EQ(image, nullptr);

  // A clip made unavailable, although its source has images.
  auto buffer = ImageBuffer::allocate(OfxRectI{0, 0, 2, 2}, kOfxBitDepthByte);
  instance->setSource([buffer](OfxTime) { return buffer; });
  instance->setClipAvailable(kOfxImageEffectSimpleSourceClipName, false);
  image = sentinel;
  EXPECT_EQ(suites->effect->clipGetImage(source, 0.0, nullptr, &image), kOfxStatFailed);
  EXPECT_EQ(image, nullptr);
  instance->setClipAvailable(kOfxImageEffectSimpleSourceClipName, true);

  // A host told to fail the call.
  host->failCall("clipGetImage");
  image = sentinel;
  EXPECT_EQ(suites->effect->clipGetImage(source, 0.0, nullptr, &image), kOfxStatFailed);
  EXPECT_EQ(image, nullptr);
  host->clearFailures();

  EXPECT_EQ(instance->ledger().fetched, 0);
  image = fetch();
  EXPECT_EQ(release(image), kOfxStatOK);
  EXPECT_EQ(instance->ledger().fetched, 1);
}

TEST_F(HostImages, OutputImagesExistOnlyWhileRendering) {
  OfxImageClipHandle output = clipHandle(kOfxImageEffectOutputClipName);
  OfxPropertySetHandle image = reinterpret_cast<OfxPropertySetHandle>(std::uintptr_t{0xdead0});
  EXPECT_EQ(suites->effect->clipGetImage(output, 0.0, nullptr, &image), kOfxStatFailed);
  EXPECT_EQ(image, nullptr);
  EXPECT_EQ(instance->ledger().fetched, 0);
}

TEST_F(HostImages, DestroyRetiresImagesStillHeld) {
  auto buffer = ImageBuffer::allocate(OfxRectI{0, 0, 2, 2}, kOfxBitDepthByte);
  instance->setSource([buffer](OfxTime) { return buffer; });
  OfxPropertySetHandle kept = fetch();
  ASSERT_EQ(instance->destroy(), kOfxStatOK);
  int rowBytes = 0;
  EXPECT_EQ(suites->prop->propGetInt(kept, kOfxImagePropRowBytes, 0, &rowBytes), kOfxStatErrBadHandle);
  EXPECT_EQ(release(kept), kOfxStatErrBadHandle);
}

// -------------------------------------------------------------- parameters

TEST_F(HostInstance, ParameterValuesThroughTheSuite) {
  const OfxParameterSuiteV1& pm = *suites->param;
  OfxParamHandle url = paramHandle("backend_url");
  char* text = nullptr;
  ASSERT_EQ(pm.paramGetValue(url, &text), kOfxStatOK);
  EXPECT_STREQ(text, "https://127.0.0.1:8765");
  EXPECT_EQ(pm.paramSetValue(url, "https://127.0.0.1:9000/pull"), kOfxStatOK);
  ASSERT_EQ(pm.paramGetValue(url, &text), kOfxStatOK);
  EXPECT_STREQ(text, "https://127.0.0.1:9000/pull");
  EXPECT_EQ(instance->stringValue("backend_url"), "https://127.0.0.1:9000/pull");
  EXPECT_EQ(pm.paramSetValue(url, static_cast<const char*>(nullptr)), kOfxStatErrValue);

  OfxParamHandle mode = paramHandle("output_mode");
  int choice = -1;
  ASSERT_EQ(pm.paramGetValue(mode, &choice), kOfxStatOK);
  EXPECT_EQ(choice, 0);
  EXPECT_EQ(pm.paramSetValue(mode, 2), kOfxStatOK);
  ASSERT_EQ(pm.paramGetValue(mode, &choice), kOfxStatOK);
  EXPECT_EQ(choice, 2);
  EXPECT_EQ(instance->intValue("output_mode"), 2);

  OfxParamHandle draw = paramHandle("draw_mask");
  int flag = -1;
  ASSERT_EQ(pm.paramGetValue(draw, &flag), kOfxStatOK);
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(pm.paramSetValue(draw, 0), kOfxStatOK);
  EXPECT_EQ(instance->intValue("draw_mask"), 0);

  OfxParamHandle size = paramHandle("brush_size");
  double value = -1;
  ASSERT_EQ(pm.paramGetValue(size, &value), kOfxStatOK);
  EXPECT_DOUBLE_EQ(value, 0.03);
  EXPECT_EQ(pm.paramSetValue(size, 0.125), kOfxStatOK);
  ASSERT_EQ(pm.paramGetValueAtTime(size, 12.0, &value), kOfxStatOK);
  EXPECT_DOUBLE_EQ(value, 0.125);
  EXPECT_DOUBLE_EQ(instance->doubleValue("brush_size"), 0.125);

  // A push button holds no value.
  EXPECT_EQ(pm.paramGetValue(paramHandle("pull_alpha"), &flag), kOfxStatErrUnsupported);

  OfxParamSetHandle set = nullptr;
  ASSERT_EQ(suites->effect->getParamSet(instance->handle(), &set), kOfxStatOK);
  OfxParamHandle none = nullptr;
  EXPECT_EQ(pm.paramGetHandle(set, "no_such_param", &none, nullptr), kOfxStatErrUnknown);
}

TEST_F(HostInstance, PluginEditsAreReportedBackOnce) {
  const OfxParameterSuiteV1& pm = *suites->param;
  EXPECT_EQ(instance->deliverPluginEdits(), 0);
  ASSERT_EQ(pm.paramSetValue(paramHandle("status"), "pulling"), kOfxStatOK);
  ASSERT_EQ(pm.paramSetValue(paramHandle("edge_softness"), 0.5), kOfxStatOK);
  EXPECT_EQ(instance->deliverPluginEdits(), 2);
  EXPECT_EQ(instance->deliverPluginEdits(), 0);

  // Values the host sets itself, as loading a project does, are not edits.
  instance->setValue("text_hint", "man in blue");
  instance->setValue("quality", 1);
  EXPECT_EQ(instance->deliverPluginEdits(), 0);
  EXPECT_EQ(instance->stringValue("text_hint"), "man in blue");
}

TEST_F(HostInstance, UserEditsClampDoublesToTheirLimits) {
  EXPECT_TRUE(handled(instance->userEdit("brush_size", 5.0)));
  EXPECT_DOUBLE_EQ(instance->doubleValue("brush_size"), 0.3);
  EXPECT_TRUE(handled(instance->userEdit("brush_size", -1.0)));
  EXPECT_DOUBLE_EQ(instance->doubleValue("brush_size"), 0.005);
  EXPECT_TRUE(handled(instance->userEdit("brush_size", 0.1)));
  EXPECT_DOUBLE_EQ(instance->doubleValue("brush_size"), 0.1);

  EXPECT_TRUE(handled(instance->userEdit("edge_softness", 2.0)));
  EXPECT_DOUBLE_EQ(instance->doubleValue("edge_softness"), 1.0);
  EXPECT_TRUE(handled(instance->userEdit("edge_softness", -0.5)));
  EXPECT_DOUBLE_EQ(instance->doubleValue("edge_softness"), 0.0);
  // An integer typed into a double control is clamped the same way.
  EXPECT_TRUE(handled(instance->userEdit("edge_softness", 3)));
  EXPECT_DOUBLE_EQ(instance->doubleValue("edge_softness"), 1.0);

  EXPECT_EQ(instance->userEdit("edge_softness", std::nan("")), kOfxStatErrValue);
  EXPECT_DOUBLE_EQ(instance->doubleValue("edge_softness"), 1.0);
}

TEST_F(HostInstance, UserEditsRefuseWhatTheControlsCannotDo) {
  // A choice index outside its options.
  EXPECT_EQ(instance->userEdit("output_mode", 3), kOfxStatErrValue);
  EXPECT_EQ(instance->userEdit("output_mode", -1), kOfxStatErrValue);
  EXPECT_EQ(instance->intValue("output_mode"), 0);
  EXPECT_TRUE(handled(instance->userEdit("output_mode", 2)));
  EXPECT_EQ(instance->intValue("output_mode"), 2);

  // Hidden and disabled parameters have no control to edit.
  EXPECT_EQ(instance->userEdit("bbox_json", "[0,0,1,1]"), kOfxStatErrValue);
  EXPECT_EQ(instance->stringValue("bbox_json"), "");
  EXPECT_EQ(instance->userEdit("status", "done"), kOfxStatErrValue);
  EXPECT_EQ(instance->stringValue("status"), "idle");

  // Wrong kinds of value and unknown names.
  EXPECT_EQ(instance->userEdit("brush_size", "big"), kOfxStatErrValue);
  EXPECT_EQ(instance->userEdit("no_such_param", 1), kOfxStatErrValue);
  EXPECT_DOUBLE_EQ(instance->doubleValue("brush_size"), 0.03);

  // A boolean becomes 0 or 1.
  EXPECT_TRUE(handled(instance->userEdit("draw_mask", 0)));
  EXPECT_EQ(instance->intValue("draw_mask"), 0);
  EXPECT_TRUE(handled(instance->userEdit("draw_mask", 5)));
  EXPECT_EQ(instance->intValue("draw_mask"), 1);

  // Visible strings are edited as typed.
  EXPECT_TRUE(handled(instance->userEdit("text_hint", "dog on the left")));
  EXPECT_EQ(instance->stringValue("text_hint"), "dog on the left");
}

// ---------------------------------------------------------------- messages

TEST_F(HostInstance, MessagesAreFormattedAndRecorded) {
  const OfxMessageSuiteV1& ms = *suites->message;
  host->messages().clear();
  EXPECT_EQ(ms.message(nullptr, kOfxMessageWarning, "orv.frames", "%s %d", "frames", 42), kOfxStatOK);
  EXPECT_EQ(ms.message(instance->handle(), kOfxMessageError, nullptr, "%s failed after %d%%", "pull", 75), kOfxStatOK);
  const std::string longText(5000, 'x');
  EXPECT_EQ(ms.message(instance->handle(), kOfxMessageLog, "orv.long", "[%s]", longText.c_str()), kOfxStatOK);
  EXPECT_EQ(ms.message(nullptr, kOfxMessageQuestion, "orv.ask", "continue?"), kOfxStatReplyNo);

  std::vector<ofxhost::Message> all = host->messages().all();
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[0].type, kOfxMessageWarning);
  EXPECT_EQ(all[0].id, "orv.frames");
  EXPECT_EQ(all[0].text, "frames 42");
  EXPECT_EQ(all[1].type, kOfxMessageError);
  EXPECT_EQ(all[1].id, "");
  EXPECT_EQ(all[1].text, "pull failed after 75%");
  EXPECT_EQ(all[2].text, "[" + longText + "]");
  EXPECT_EQ(all[3].type, kOfxMessageQuestion);

  EXPECT_EQ(ms.message(nullptr, nullptr, "x", "no type"), kOfxStatErrValue);
  EXPECT_EQ(ms.message(nullptr, kOfxMessageLog, "x", nullptr), kOfxStatErrValue);
  EXPECT_EQ(ms.message(kBogusProps, kOfxMessageLog, "x", "bogus handle"), kOfxStatErrBadHandle);
  EXPECT_EQ(host->messages().all().size(), 4u);
}

// ------------------------------------------------------------- concurrency

TEST_F(HostImages, ConcurrentFetchesEditsAndMessagesBalance) {
  constexpr int kReaders = 4;
  constexpr int kRounds = 200;
  instance->setSource([](OfxTime t) {
    auto buffer = ImageBuffer::allocate(OfxRectI{0, 0, 4, 4}, kOfxBitDepthByte);
    *buffer->pixel(0, 0) = static_cast<unsigned char>(static_cast<int>(t) & 0xff);
    return buffer;
  });
  host->messages().clear();
  const OfxImageEffectSuiteV1& fx = *suites->effect;
  const OfxPropertySuiteV1& pr = *suites->prop;
  const OfxParameterSuiteV1& pm = *suites->param;
  const OfxMessageSuiteV1& ms = *suites->message;
  OfxImageClipHandle source = clipHandle(kOfxImageEffectSimpleSourceClipName);
  OfxParamHandle hint = paramHandle("text_hint");
  OfxImageEffectHandle effect = instance->handle();

  std::atomic<int> failures{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int r = 0; r < kReaders; ++r)
    threads.emplace_back([&] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < kRounds; ++i) {
        OfxPropertySetHandle image = nullptr;
        if (fx.clipGetImage(source, i, nullptr, &image) != kOfxStatOK || !image) {
          ++failures;
          continue;
        }
        void* data = nullptr;
        if (pr.propGetPointer(image, kOfxImagePropData, 0, &data) != kOfxStatOK || !data ||
            *static_cast<unsigned char*>(data) != (i & 0xff))
          ++failures;
        if (fx.clipReleaseImage(image) != kOfxStatOK) ++failures;
      }
    });
  threads.emplace_back([&] {
    while (!go) std::this_thread::yield();
    for (int i = 0; i < kRounds; ++i) {
      std::string text = "hint " + std::to_string(i);
      if (pm.paramSetValue(hint, text.c_str()) != kOfxStatOK) ++failures;
      if (ms.message(effect, kOfxMessageLog, "orv.concurrency", "edit %d", i) != kOfxStatOK) ++failures;
    }
  });
  go = true;
  for (auto& t : threads) t.join();

  EXPECT_EQ(failures.load(), 0);
  ofxhost::ImageLedger l = instance->ledger();
  EXPECT_EQ(l.fetched, kReaders * kRounds);
  EXPECT_EQ(l.released, kReaders * kRounds);
  EXPECT_EQ(l.outstanding, 0);
  std::vector<ofxhost::Message> all = host->messages().all();
  ASSERT_EQ(all.size(), static_cast<std::size_t>(kRounds));
  for (int i = 0; i < kRounds; ++i) EXPECT_EQ(all[i].text, "edit " + std::to_string(i));
  EXPECT_EQ(instance->stringValue("text_hint"), "hint " + std::to_string(kRounds - 1));
  EXPECT_EQ(instance->deliverPluginEdits(), kRounds);
}

TEST_F(HostImages, RacingReleasesOfOneImageCountItOnce) {
  // A plug-in that releases the same images from two threads at once: each
  // image is released once, the other release is stray, and the ledger never
  // goes below zero.
  constexpr int kBatches = 200;
  constexpr int kBatchSize = 100;
  auto buffer = ImageBuffer::allocate(OfxRectI{0, 0, 2, 2}, kOfxBitDepthByte);
  instance->setSource([buffer](OfxTime) { return buffer; });
  const OfxImageEffectSuiteV1& fx = *suites->effect;
  OfxImageClipHandle source = clipHandle(kOfxImageEffectSimpleSourceClipName);
  const int strayBefore = ofxhost::strayImageReleases();

  std::vector<OfxPropertySetHandle> batch(kBatchSize);
  std::atomic<int> round{0};    // the batch both releasers are to release
  std::atomic<int> arrived{0};  // arrivals of either releaser at an image, in all
  std::atomic<int> done{0};     // releasers finished with this batch
  std::atomic<int> accepted{0};
  // Both releasers meet before each image and then release it together,
  // spinning hard for a moment and then letting a busy machine schedule the
  // other one.
  auto meet = [&](int meeting) {
    ++arrived;
    const auto hardUntil = std::chrono::steady_clock::now() + std::chrono::microseconds(200);
    while (arrived.load() < 2 * meeting)
      if (std::chrono::steady_clock::now() > hardUntil) std::this_thread::yield();
  };
  auto releaser = [&] {
    int meeting = 0;
    for (int r = 1; r <= kBatches; ++r) {
      while (round.load() < r) std::this_thread::yield();
      for (OfxPropertySetHandle image : batch) {
        meet(++meeting);
        if (fx.clipReleaseImage(image) == kOfxStatOK) ++accepted;
      }
      ++done;
    }
  };
  std::thread a(releaser), b(releaser);
  int fetchFailures = 0;
  for (int r = 1; r <= kBatches; ++r) {
    for (auto& image : batch)
      if (fx.clipGetImage(source, 0.0, nullptr, &image) != kOfxStatOK) ++fetchFailures;
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
  ofxhost::ImageLedger l = instance->ledger();
  EXPECT_EQ(l.fetched, images);
  EXPECT_EQ(l.released, images);
  EXPECT_EQ(l.outstanding, 0);
}

}  // namespace

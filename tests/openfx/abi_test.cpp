// ABI pins for our OpenFX C API declarations (x86-64 Linux, LP64).
//
// Hosts and plug-ins built elsewhere only ever meet ours through these
// records, function-pointer tables and strings, so every byte offset, every
// member's exact type and every name string is pinned here. Layout and
// integer pins are static_asserts (a drift breaks the build); the string
// values are table-driven tests so a mismatch names the offending macro.

#include <gtest/gtest.h>

#include <cstddef>
#include <limits>
#include <set>
#include <string>
#include <type_traits>

#include "ofxCore.h"
#include "ofxImageEffect.h"
#include "ofxInteract.h"
#include "ofxMessage.h"
#include "ofxParam.h"
#include "ofxProperty.h"

namespace {

// ---------------------------------------------------------------------------
// Platform assumptions. The offsets below are those of the SysV x86-64 (LP64)
// ABI; on any other data model they would be meaningless.
static_assert(sizeof(int) == 4 && alignof(int) == 4 && sizeof(unsigned int) == 4 && sizeof(long) == 8 && sizeof(void*) == 8 &&
                  sizeof(std::size_t) == 8 && sizeof(double) == 8 && alignof(double) == 8 &&
                  sizeof(void (*)()) == 8 && alignof(void (*)()) == 8,
              "LP64 expected");

// ---------------------------------------------------------------------------
// Helpers.

// Size, alignment and C compatibility of a record: it must stay a plain C
// struct so it can be memcpy'd and shared with C code.
#define OFX_PIN_RECORD(S, size, align)                                             \
  static_assert(sizeof(S) == (size), "sizeof(" #S ") must be " #size);             \
  static_assert(alignof(S) == (align), "alignof(" #S ") must be " #align);         \
  static_assert(std::is_standard_layout<S>::value, #S " must be standard-layout"); \
  static_assert(std::is_trivial<S>::value, #S " must be trivial")

// Byte offset and exact declared type of one member. The type is passed last
// because function-pointer types contain commas.
#define OFX_PIN_MEMBER(S, m, off, ...)                                         \
  static_assert(offsetof(S, m) == (off), #S "::" #m " must be at byte " #off); \
  static_assert(std::is_same<decltype(S::m), __VA_ARGS__>::value, #S "::" #m " must have type " #__VA_ARGS__)
// A suite holds nothing but function pointers: slot i at byte 8 * i, each
// returning a status.
#define OFX_PIN_SLOT(S, m, i, ...) OFX_PIN_MEMBER(S, m, 8 * (i), OfxStatus(*) __VA_ARGS__)

// A value record: members of one type T, one after the other, no padding.
#define OFX_PIN_VALUE2(S, T, a, b)                \
  OFX_PIN_RECORD(S, 2 * sizeof(T), alignof(T)); \
  OFX_PIN_MEMBER(S, a, 0, T);                     \
  OFX_PIN_MEMBER(S, b, sizeof(T), T)
#define OFX_PIN_VALUE4(S, T, a, b, c, d)          \
  OFX_PIN_RECORD(S, 4 * sizeof(T), alignof(T)); \
  OFX_PIN_MEMBER(S, a, 0, T);                     \
  OFX_PIN_MEMBER(S, b, sizeof(T), T);             \
  OFX_PIN_MEMBER(S, c, 2 * sizeof(T), T);         \
  OFX_PIN_MEMBER(S, d, 3 * sizeof(T), T)

// An opaque handle is a pointer to its own never-defined struct tag; the tag
// is part of the C++ mangled name of every function taking the handle.
#define OFX_PIN_HANDLE(H, Tag)                                          \
  static_assert(std::is_same<H, Tag*>::value, #H " must be " #Tag "*"); \
  static_assert(sizeof(H) == 8, "sizeof(" #H ") must be 8")

// Integer constants must be plain int (they are compared with OfxStatus).
#define OFX_PIN_INT(name, want)                             \
  static_assert((name) == (want), #name " must be " #want); \
  static_assert(std::is_same<decltype(name), int>::value, #name " must be an int")

constexpr bool ConstexprStrEq(const char* a, const char* b) {
  return *a == *b && (*a == '\0' || ConstexprStrEq(a + 1, b + 1));
}
// Sanity of the helper itself, so a broken comparison cannot pass silently.
static_assert(ConstexprStrEq("extern", "extern") && !ConstexprStrEq("extern", "externC") &&
                  !ConstexprStrEq("externC", "extern") && !ConstexprStrEq("externa", "externb"),
              "ConstexprStrEq is broken");

#define OFX_ABI_STRINGIFY_(x) #x
#define OFX_ABI_STRINGIFY(x) OFX_ABI_STRINGIFY_(x)

// ---------------------------------------------------------------------------
// Scalar and handle typedefs.

static_assert(std::is_same<OfxStatus, int>::value, "OfxStatus must be int");
static_assert(std::is_same<OfxTime, double>::value, "OfxTime must be double");

OFX_PIN_HANDLE(OfxPropertySetHandle, OfxPropertySetStruct);
OFX_PIN_HANDLE(OfxImageEffectHandle, OfxImageEffectStruct);
OFX_PIN_HANDLE(OfxImageClipHandle, OfxImageClipStruct);
OFX_PIN_HANDLE(OfxImageMemoryHandle, OfxImageMemoryStruct);
OFX_PIN_HANDLE(OfxParamHandle, OfxParamStruct);
OFX_PIN_HANDLE(OfxParamSetHandle, OfxParamSetStruct);
OFX_PIN_HANDLE(OfxInteractHandle, OfxInteract);

// A function type, not a pointer: OfxPlugin::mainEntry adds the pointer.
static_assert(std::is_function<OfxPluginEntryPoint>::value, "OfxPluginEntryPoint must be a function type");
static_assert(std::is_same<OfxPluginEntryPoint,
                           OfxStatus(const char*, const void*, OfxPropertySetHandle, OfxPropertySetHandle)>::value,
              "OfxPluginEntryPoint has the wrong signature");

// The two mandatory exports of a plug-in binary. OfxExport must stay a plain
// extern (no visibility attribute) to match the published headers.
static_assert(std::is_same<decltype(&OfxGetPlugin), OfxPlugin* (*)(int)>::value,
              "OfxGetPlugin must be OfxPlugin* (int)");
static_assert(std::is_same<decltype(&OfxGetNumberOfPlugins), int (*)()>::value,
              "OfxGetNumberOfPlugins must be int (void)");
static_assert(ConstexprStrEq(OFX_ABI_STRINGIFY(OfxExport), "extern"), "OfxExport must expand to extern");

// ---------------------------------------------------------------------------
// Value structs.

OFX_PIN_VALUE2(OfxRangeI, int, min, max);
OFX_PIN_VALUE2(OfxRangeD, double, min, max);
OFX_PIN_VALUE2(OfxPointI, int, x, y);
OFX_PIN_VALUE2(OfxPointD, double, x, y);
OFX_PIN_VALUE4(OfxRectI, int, x1, y1, x2, y2);
OFX_PIN_VALUE4(OfxRectD, double, x1, y1, x2, y2);

// ---------------------------------------------------------------------------
// Bootstrap records.

OFX_PIN_RECORD(OfxHost, 16, 8);
OFX_PIN_MEMBER(OfxHost, host, 0, OfxPropertySetHandle);
OFX_PIN_MEMBER(OfxHost, fetchSuite, 8, const void* (*)(OfxPropertySetHandle, const char*, int));

// Bytes 12-15 are the record's only padding (after apiVersion).
OFX_PIN_RECORD(OfxPlugin, 48, 8);
OFX_PIN_MEMBER(OfxPlugin, pluginApi, 0, const char*);
OFX_PIN_MEMBER(OfxPlugin, apiVersion, 8, int);
OFX_PIN_MEMBER(OfxPlugin, pluginIdentifier, 16, const char*);
OFX_PIN_MEMBER(OfxPlugin, pluginVersionMajor, 24, unsigned int);
OFX_PIN_MEMBER(OfxPlugin, pluginVersionMinor, 28, unsigned int);
OFX_PIN_MEMBER(OfxPlugin, setHost, 32, void (*)(OfxHost*));
OFX_PIN_MEMBER(OfxPlugin, mainEntry, 40,
               OfxStatus (*)(const char*, const void*, OfxPropertySetHandle, OfxPropertySetHandle));

// ---------------------------------------------------------------------------
// Suites. The short names stand for the handle types of the same meaning.
using PropSet = OfxPropertySetHandle;
using Effect = OfxImageEffectHandle;
using ParamSet = OfxParamSetHandle;
using Param = OfxParamHandle;
using Clip = OfxImageClipHandle;
using Memory = OfxImageMemoryHandle;
using Interact = OfxInteractHandle;

OFX_PIN_RECORD(OfxPropertySuiteV1, 144, 8);
OFX_PIN_SLOT(OfxPropertySuiteV1, propSetPointer, 0, (PropSet, const char*, int, void*));
OFX_PIN_SLOT(OfxPropertySuiteV1, propSetString, 1, (PropSet, const char*, int, const char*));
OFX_PIN_SLOT(OfxPropertySuiteV1, propSetDouble, 2, (PropSet, const char*, int, double));
OFX_PIN_SLOT(OfxPropertySuiteV1, propSetInt, 3, (PropSet, const char*, int, int));
OFX_PIN_SLOT(OfxPropertySuiteV1, propSetPointerN, 4, (PropSet, const char*, int, void* const*));
OFX_PIN_SLOT(OfxPropertySuiteV1, propSetStringN, 5, (PropSet, const char*, int, const char* const*));
OFX_PIN_SLOT(OfxPropertySuiteV1, propSetDoubleN, 6, (PropSet, const char*, int, const double*));
OFX_PIN_SLOT(OfxPropertySuiteV1, propSetIntN, 7, (PropSet, const char*, int, const int*));
OFX_PIN_SLOT(OfxPropertySuiteV1, propGetPointer, 8, (PropSet, const char*, int, void**));
OFX_PIN_SLOT(OfxPropertySuiteV1, propGetString, 9, (PropSet, const char*, int, char**));
OFX_PIN_SLOT(OfxPropertySuiteV1, propGetDouble, 10, (PropSet, const char*, int, double*));
OFX_PIN_SLOT(OfxPropertySuiteV1, propGetInt, 11, (PropSet, const char*, int, int*));
OFX_PIN_SLOT(OfxPropertySuiteV1, propGetPointerN, 12, (PropSet, const char*, int, void**));
OFX_PIN_SLOT(OfxPropertySuiteV1, propGetStringN, 13, (PropSet, const char*, int, char**));
OFX_PIN_SLOT(OfxPropertySuiteV1, propGetDoubleN, 14, (PropSet, const char*, int, double*));
OFX_PIN_SLOT(OfxPropertySuiteV1, propGetIntN, 15, (PropSet, const char*, int, int*));
OFX_PIN_SLOT(OfxPropertySuiteV1, propReset, 16, (PropSet, const char*));
OFX_PIN_SLOT(OfxPropertySuiteV1, propGetDimension, 17, (PropSet, const char*, int*));

OFX_PIN_RECORD(OfxImageEffectSuiteV1, 104, 8);
OFX_PIN_SLOT(OfxImageEffectSuiteV1, getPropertySet, 0, (Effect, PropSet*));
OFX_PIN_SLOT(OfxImageEffectSuiteV1, getParamSet, 1, (Effect, ParamSet*));
OFX_PIN_SLOT(OfxImageEffectSuiteV1, clipDefine, 2, (Effect, const char*, PropSet*));
OFX_PIN_SLOT(OfxImageEffectSuiteV1, clipGetHandle, 3, (Effect, const char*, Clip*, PropSet*));
OFX_PIN_SLOT(OfxImageEffectSuiteV1, clipGetPropertySet, 4, (Clip, PropSet*));
OFX_PIN_SLOT(OfxImageEffectSuiteV1, clipGetImage, 5, (Clip, OfxTime, const OfxRectD*, PropSet*));
OFX_PIN_SLOT(OfxImageEffectSuiteV1, clipReleaseImage, 6, (PropSet));
OFX_PIN_SLOT(OfxImageEffectSuiteV1, clipGetRegionOfDefinition, 7, (Clip, OfxTime, OfxRectD*));
// abort answers 0/1 as a plain int rather than a status code.
OFX_PIN_MEMBER(OfxImageEffectSuiteV1, abort, 64, int (*)(OfxImageEffectHandle));
OFX_PIN_SLOT(OfxImageEffectSuiteV1, imageMemoryAlloc, 9, (Effect, std::size_t, Memory*));
OFX_PIN_SLOT(OfxImageEffectSuiteV1, imageMemoryFree, 10, (Memory));
OFX_PIN_SLOT(OfxImageEffectSuiteV1, imageMemoryLock, 11, (Memory, void**));
OFX_PIN_SLOT(OfxImageEffectSuiteV1, imageMemoryUnlock, 12, (Memory));

// The value calls must stay C variadic: on x86-64 a variadic call passes the
// vector-register count in %al, so a fixed-argument declaration is not
// call-compatible even when the arguments match.
OFX_PIN_RECORD(OfxParameterSuiteV1, 144, 8);
OFX_PIN_SLOT(OfxParameterSuiteV1, paramDefine, 0, (ParamSet, const char*, const char*, PropSet*));
OFX_PIN_SLOT(OfxParameterSuiteV1, paramGetHandle, 1, (ParamSet, const char*, Param*, PropSet*));
OFX_PIN_SLOT(OfxParameterSuiteV1, paramSetGetPropertySet, 2, (ParamSet, PropSet*));
OFX_PIN_SLOT(OfxParameterSuiteV1, paramGetPropertySet, 3, (Param, PropSet*));
OFX_PIN_SLOT(OfxParameterSuiteV1, paramGetValue, 4, (Param, ...));
OFX_PIN_SLOT(OfxParameterSuiteV1, paramGetValueAtTime, 5, (Param, OfxTime, ...));
OFX_PIN_SLOT(OfxParameterSuiteV1, paramGetDerivative, 6, (Param, OfxTime, ...));
OFX_PIN_SLOT(OfxParameterSuiteV1, paramGetIntegral, 7, (Param, OfxTime, OfxTime, ...));
OFX_PIN_SLOT(OfxParameterSuiteV1, paramSetValue, 8, (Param, ...));
OFX_PIN_SLOT(OfxParameterSuiteV1, paramSetValueAtTime, 9, (Param, OfxTime, ...));
OFX_PIN_SLOT(OfxParameterSuiteV1, paramGetNumKeys, 10, (Param, unsigned int*));
OFX_PIN_SLOT(OfxParameterSuiteV1, paramGetKeyTime, 11, (Param, unsigned int, OfxTime*));
OFX_PIN_SLOT(OfxParameterSuiteV1, paramGetKeyIndex, 12, (Param, OfxTime, int, int*));
OFX_PIN_SLOT(OfxParameterSuiteV1, paramDeleteKey, 13, (Param, OfxTime));
OFX_PIN_SLOT(OfxParameterSuiteV1, paramDeleteAllKeys, 14, (Param));
OFX_PIN_SLOT(OfxParameterSuiteV1, paramCopy, 15, (Param, Param, OfxTime, const OfxRangeD*));
OFX_PIN_SLOT(OfxParameterSuiteV1, paramEditBegin, 16, (ParamSet, const char*));
OFX_PIN_SLOT(OfxParameterSuiteV1, paramEditEnd, 17, (ParamSet));

OFX_PIN_RECORD(OfxInteractSuiteV1, 24, 8);
OFX_PIN_SLOT(OfxInteractSuiteV1, interactSwapBuffers, 0, (Interact));
OFX_PIN_SLOT(OfxInteractSuiteV1, interactRedraw, 1, (Interact));
OFX_PIN_SLOT(OfxInteractSuiteV1, interactGetPropertySet, 2, (Interact, PropSet*));

OFX_PIN_RECORD(OfxMessageSuiteV1, 8, 8);
OFX_PIN_SLOT(OfxMessageSuiteV1, message, 0, (void*, const char*, const char*, const char*, ...));
OFX_PIN_RECORD(OfxMessageSuiteV2, 24, 8);
OFX_PIN_SLOT(OfxMessageSuiteV2, message, 0, (void*, const char*, const char*, const char*, ...));
OFX_PIN_SLOT(OfxMessageSuiteV2, setPersistentMessage, 1, (void*, const char*, const char*, const char*, ...));
OFX_PIN_SLOT(OfxMessageSuiteV2, clearPersistentMessage, 2, (void*));

// ---------------------------------------------------------------------------
// Integer constants.

// Infinite range bounds are the extremes of int.
OFX_PIN_INT(kOfxFlagInfiniteMax, std::numeric_limits<int>::max());
OFX_PIN_INT(kOfxFlagInfiniteMin, std::numeric_limits<int>::min());

OFX_PIN_INT(kOfxImageEffectPluginApiVersion, 1);

// The status codes 0 to 14, in this order.
template <class... T>
constexpr bool allInts(T...) { return (std::is_same<T, int>::value && ...); }
#define OFX_STATUSES                                                                                             \
  kOfxStatOK, kOfxStatFailed, kOfxStatErrFatal, kOfxStatErrUnknown, kOfxStatErrMissingHostFeature,              \
      kOfxStatErrUnsupported, kOfxStatErrExists, kOfxStatErrFormat, kOfxStatErrMemory, kOfxStatErrBadHandle,     \
      kOfxStatErrBadIndex, kOfxStatErrValue, kOfxStatReplyYes, kOfxStatReplyNo, kOfxStatReplyDefault
static_assert(allInts(OFX_STATUSES), "status codes must be ints");
constexpr int kStatuses[] = {OFX_STATUSES};
static_assert(sizeof kStatuses == 15 * sizeof(int), "15 status codes");
constexpr bool countsUp(int i = 0) { return i == 15 || (kStatuses[i] == i && countsUp(i + 1)); }
static_assert(countsUp(), "the status codes must be 0 to 14 in order");
OFX_PIN_INT(kOfxStatErrImageFormat, 1000);

// ---------------------------------------------------------------------------
// String constants: {macro name, macro value, published value}.
//
// `"" m` only compiles when the macro expands to a string literal, so a
// macro that silently turned into something else (a pointer variable, a
// misspelt alias) is caught at build time too.

struct StringPin {
  const char* name;
  const char* ours;
  const char* expected;
};

// Most macros' values are their own names without the leading k.
#define SAME(m) \
  StringPin { #m, "" m, &#m[1] }

const StringPin kStrings[] = {
    SAME(kOfxActionLoad), SAME(kOfxActionUnload), SAME(kOfxActionDescribe), SAME(kOfxActionCreateInstance),
    SAME(kOfxActionDestroyInstance), SAME(kOfxActionBeginInstanceChanged), SAME(kOfxActionInstanceChanged),
    SAME(kOfxActionEndInstanceChanged), SAME(kOfxActionPurgeCaches), SAME(kOfxActionSyncPrivateData),
    SAME(kOfxPropAPIVersion), SAME(kOfxPropChangeReason), SAME(kOfxPropEffectInstance), SAME(kOfxPropInstanceData),
    SAME(kOfxPropIsInteractive), SAME(kOfxPropLabel), SAME(kOfxPropLongLabel), SAME(kOfxPropName),
    SAME(kOfxPropPluginDescription), SAME(kOfxPropShortLabel), SAME(kOfxPropTime), SAME(kOfxPropType),
    SAME(kOfxPropVersion), SAME(kOfxPropVersionLabel), SAME(kOfxPluginPropFilePath), SAME(kOfxChangeUserEdited),
    SAME(kOfxChangePluginEdited), SAME(kOfxChangeTime), SAME(kOfxTypeImageEffectHost), SAME(kOfxTypeImageEffect),
    SAME(kOfxTypeImageEffectInstance), SAME(kOfxTypeClip), SAME(kOfxTypeImage), SAME(kOfxTypeParameter),
    SAME(kOfxTypeParameterInstance), SAME(kOfxPropertySuite), SAME(kOfxParameterSuite), SAME(kOfxParamTypeInteger),
    SAME(kOfxParamTypeDouble), SAME(kOfxParamTypeBoolean), SAME(kOfxParamTypeChoice), SAME(kOfxParamTypeString),
    SAME(kOfxParamTypePushButton), SAME(kOfxParamPropType), SAME(kOfxParamPropScriptName), SAME(kOfxParamPropDefault),
    SAME(kOfxParamPropMin), SAME(kOfxParamPropMax), SAME(kOfxParamPropDisplayMin), SAME(kOfxParamPropDisplayMax),
    SAME(kOfxParamPropHint), SAME(kOfxParamPropSecret), SAME(kOfxParamPropEnabled), SAME(kOfxParamPropAnimates),
    SAME(kOfxParamPropPersistant), SAME(kOfxParamPropEvaluateOnChange), SAME(kOfxParamPropCanUndo),
    SAME(kOfxParamPropParent), SAME(kOfxParamPropChoiceOption), SAME(kOfxParamPropStringMode),
    SAME(kOfxParamPropDoubleType), SAME(kOfxParamPropIncrement), SAME(kOfxParamPropDigits),
    SAME(kOfxParamStringIsSingleLine), SAME(kOfxParamDoubleTypePlain), SAME(kOfxInteractSuite),
    SAME(kOfxInteractActionDraw), SAME(kOfxInteractActionPenMotion), SAME(kOfxInteractActionPenDown),
    SAME(kOfxInteractActionPenUp), SAME(kOfxInteractActionKeyDown), SAME(kOfxInteractActionKeyUp),
    SAME(kOfxInteractActionKeyRepeat), SAME(kOfxInteractActionGainFocus), SAME(kOfxInteractActionLoseFocus),
    SAME(kOfxInteractPropPixelScale), SAME(kOfxInteractPropBackgroundColour), SAME(kOfxInteractPropPenPosition),
    SAME(kOfxInteractPropPenViewportPosition), SAME(kOfxInteractPropPenPressure), SAME(kOfxInteractPropBitDepth),
    SAME(kOfxInteractPropHasAlpha), SAME(kOfxInteractPropSlaveToParam), SAME(kOfxInteractPropSuggestedColour),
    SAME(kOfxMessageSuite), SAME(kOfxMessageFatal), SAME(kOfxMessageError), SAME(kOfxMessageWarning),
    SAME(kOfxMessageMessage), SAME(kOfxMessageLog), SAME(kOfxMessageQuestion), SAME(kOfxImageEffectSuite),
    SAME(kOfxImageEffectActionDescribeInContext), SAME(kOfxImageEffectActionGetClipPreferences),
    SAME(kOfxImageEffectActionGetRegionOfDefinition), SAME(kOfxImageEffectActionGetRegionsOfInterest),
    SAME(kOfxImageEffectActionGetFramesNeeded), SAME(kOfxImageEffectActionGetTimeDomain),
    SAME(kOfxImageEffectActionIsIdentity), SAME(kOfxImageEffectActionRender),
    SAME(kOfxImageEffectActionBeginSequenceRender), SAME(kOfxImageEffectActionEndSequenceRender),
    SAME(kOfxImageEffectContextFilter), SAME(kOfxImageEffectContextGeneral), SAME(kOfxImageEffectContextGenerator),
    SAME(kOfxImageEffectPluginPropGrouping), SAME(kOfxImageEffectPluginPropSingleInstance),
    SAME(kOfxImageEffectPluginPropHostFrameThreading), SAME(kOfxImageEffectPluginRenderThreadSafety),
    SAME(kOfxImageEffectPluginPropOverlayInteractV1), SAME(kOfxImageEffectPropSupportedContexts),
    SAME(kOfxImageEffectPropSupportedPixelDepths), SAME(kOfxImageEffectPropSupportedComponents),
    SAME(kOfxImageEffectPropSupportsMultiResolution), SAME(kOfxImageEffectPropSupportsTiles),
    SAME(kOfxImageEffectPropSupportsOverlays), SAME(kOfxImageEffectPropTemporalClipAccess),
    SAME(kOfxImageEffectPropClipPreferencesSlaveParam), SAME(kOfxImageEffectPropContext),
    SAME(kOfxImageEffectPropProjectSize), SAME(kOfxImageEffectPropProjectOffset),
    SAME(kOfxImageEffectPropProjectExtent), SAME(kOfxImageEffectPropFrameRate), SAME(kOfxImageEffectPropFrameRange),
    SAME(kOfxImageEffectInstancePropEffectDuration), SAME(kOfxImageEffectPropPixelDepth),
    SAME(kOfxImageEffectPropComponents), SAME(kOfxImageEffectPropPreMultiplication), SAME(kOfxImageClipPropConnected),
    SAME(kOfxImageClipPropOptional), SAME(kOfxImageClipPropIsMask), SAME(kOfxImageClipPropUnmappedPixelDepth),
    SAME(kOfxImageClipPropUnmappedComponents), SAME(kOfxImagePropData), SAME(kOfxImagePropBounds),
    SAME(kOfxImagePropRegionOfDefinition), SAME(kOfxImagePropRowBytes), SAME(kOfxImagePropPixelAspectRatio),
    SAME(kOfxImagePropField), SAME(kOfxImagePropUniqueIdentifier), SAME(kOfxImageEffectPropRenderScale),
    SAME(kOfxImageEffectPropRenderWindow), SAME(kOfxImageEffectPropFieldToRender),
    SAME(kOfxImageEffectPropSequentialRenderStatus), SAME(kOfxImageEffectPropInteractiveRenderStatus),
    SAME(kOfxImageEffectPropRenderQualityDraft), SAME(kOfxImageEffectPropFrameStep),
    SAME(kOfxImageEffectPropRegionOfDefinition), SAME(kOfxImageEffectFrameVarying), SAME(kOfxImageClipPropFieldOrder),
    SAME(kOfxImageClipPropContinuousSamples), SAME(kOfxBitDepthNone), SAME(kOfxBitDepthByte), SAME(kOfxBitDepthShort),
    SAME(kOfxBitDepthHalf), SAME(kOfxBitDepthFloat), SAME(kOfxImageComponentNone), SAME(kOfxImageComponentRGBA),
    SAME(kOfxImageComponentRGB), SAME(kOfxImageComponentAlpha), SAME(kOfxImageOpaque),
    SAME(kOfxImageEffectRenderUnsafe), SAME(kOfxImageEffectRenderInstanceSafe), SAME(kOfxImageEffectRenderFullySafe),
    // The interact describe/create/destroy actions alias the generic ones.
    {"kOfxActionDescribeInteract", "" kOfxActionDescribeInteract, "OfxActionDescribe"},
    {"kOfxActionCreateInstanceInteract", "" kOfxActionCreateInstanceInteract, "OfxActionCreateInstance"},
    {"kOfxActionDestroyInstanceInteract", "" kOfxActionDestroyInstanceInteract, "OfxActionDestroyInstance"},
    {"kOfxImageEffectPluginApi", "" kOfxImageEffectPluginApi, "OfxImageEffectPluginAPI"},
    {"kOfxImageEffectOutputClipName", "" kOfxImageEffectOutputClipName, "Output"},
    {"kOfxImageEffectSimpleSourceClipName", "" kOfxImageEffectSimpleSourceClipName, "Source"},
    {"kOfxImageEffectPropSupportsMultipleClipDepths", "" kOfxImageEffectPropSupportsMultipleClipDepths, "OfxImageEffectPropMultipleClipDepths"},
    {"kOfxImageEffectPropProjectPixelAspectRatio", "" kOfxImageEffectPropProjectPixelAspectRatio, "OfxImageEffectPropPixelAspectRatio"},
    {"kOfxImagePreMultiplied", "" kOfxImagePreMultiplied, "OfxImageAlphaPremultiplied"},
    {"kOfxImageUnPreMultiplied", "" kOfxImageUnPreMultiplied, "OfxImageAlphaUnPremultiplied"},
    {"kOfxImageFieldNone", "" kOfxImageFieldNone, "OfxFieldNone"},
    {"kOfxImageFieldBoth", "" kOfxImageFieldBoth, "OfxFieldBoth"},
    {"kOfxImageFieldLower", "" kOfxImageFieldLower, "OfxFieldLower"},
    {"kOfxImageFieldUpper", "" kOfxImageFieldUpper, "OfxFieldUpper"},
};

}  // namespace

TEST(AbiStrings, EveryMacroHasItsPublishedValue) {
  for (const StringPin& row : kStrings) EXPECT_STREQ(row.ours, row.expected) << "macro " << row.name;
}

// Guards the table itself: a row pasted twice would hide a missing one.
TEST(AbiStrings, EveryMacroIsListedOnce) {
  std::set<std::string> seen;
  for (const StringPin& row : kStrings) EXPECT_TRUE(seen.insert(row.name).second) << "listed twice: " << row.name;
  EXPECT_EQ(seen.size(), 178u);
}

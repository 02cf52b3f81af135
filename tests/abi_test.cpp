// ABI pins for our OpenFX C API declarations (x86-64 Linux, LP64).
//
// Hosts and plug-ins built elsewhere only ever meet ours through these
// records, function-pointer tables and strings, so every byte offset, every
// member's exact type and every name string is pinned here. Layout and
// integer pins are static_asserts (a drift breaks the build); the string
// values are table-driven tests so a mismatch names the offending macro.

#include <gtest/gtest.h>

#include <cstddef>
#include <iterator>
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
static_assert(sizeof(int) == 4, "LP64 expected: int is 4 bytes");
static_assert(sizeof(unsigned int) == 4, "LP64 expected: unsigned int is 4 bytes");
static_assert(sizeof(long) == 8, "LP64 expected: long is 8 bytes");
static_assert(sizeof(void*) == 8, "LP64 expected: pointers are 8 bytes");
static_assert(sizeof(std::size_t) == 8, "LP64 expected: size_t is 8 bytes");
static_assert(sizeof(double) == 8 && alignof(double) == 8, "double must be 8 bytes, 8-aligned");
static_assert(sizeof(void (*)()) == 8 && alignof(void (*)()) == 8, "function pointers must be 8 bytes");

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
static_assert(ConstexprStrEq("extern", "extern"), "ConstexprStrEq: equal strings");
static_assert(!ConstexprStrEq("extern", "externC"), "ConstexprStrEq: shorter first");
static_assert(!ConstexprStrEq("externC", "extern"), "ConstexprStrEq: longer first");
static_assert(!ConstexprStrEq("externa", "externb"), "ConstexprStrEq: last char differs");

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

OFX_PIN_RECORD(OfxRangeI, 8, 4);
OFX_PIN_MEMBER(OfxRangeI, min, 0, int);
OFX_PIN_MEMBER(OfxRangeI, max, 4, int);

OFX_PIN_RECORD(OfxRangeD, 16, 8);
OFX_PIN_MEMBER(OfxRangeD, min, 0, double);
OFX_PIN_MEMBER(OfxRangeD, max, 8, double);

OFX_PIN_RECORD(OfxPointI, 8, 4);
OFX_PIN_MEMBER(OfxPointI, x, 0, int);
OFX_PIN_MEMBER(OfxPointI, y, 4, int);

OFX_PIN_RECORD(OfxPointD, 16, 8);
OFX_PIN_MEMBER(OfxPointD, x, 0, double);
OFX_PIN_MEMBER(OfxPointD, y, 8, double);

OFX_PIN_RECORD(OfxRectI, 16, 4);
OFX_PIN_MEMBER(OfxRectI, x1, 0, int);
OFX_PIN_MEMBER(OfxRectI, y1, 4, int);
OFX_PIN_MEMBER(OfxRectI, x2, 8, int);
OFX_PIN_MEMBER(OfxRectI, y2, 12, int);

OFX_PIN_RECORD(OfxRectD, 32, 8);
OFX_PIN_MEMBER(OfxRectD, x1, 0, double);
OFX_PIN_MEMBER(OfxRectD, y1, 8, double);
OFX_PIN_MEMBER(OfxRectD, x2, 16, double);
OFX_PIN_MEMBER(OfxRectD, y2, 24, double);

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
// Suites: nothing but function pointers, member i at byte 8*i.

OFX_PIN_RECORD(OfxPropertySuiteV1, 144, 8);
OFX_PIN_MEMBER(OfxPropertySuiteV1, propSetPointer, 0, OfxStatus (*)(OfxPropertySetHandle, const char*, int, void*));
OFX_PIN_MEMBER(OfxPropertySuiteV1, propSetString, 8,
               OfxStatus (*)(OfxPropertySetHandle, const char*, int, const char*));
OFX_PIN_MEMBER(OfxPropertySuiteV1, propSetDouble, 16, OfxStatus (*)(OfxPropertySetHandle, const char*, int, double));
OFX_PIN_MEMBER(OfxPropertySuiteV1, propSetInt, 24, OfxStatus (*)(OfxPropertySetHandle, const char*, int, int));
OFX_PIN_MEMBER(OfxPropertySuiteV1, propSetPointerN, 32,
               OfxStatus (*)(OfxPropertySetHandle, const char*, int, void* const*));
OFX_PIN_MEMBER(OfxPropertySuiteV1, propSetStringN, 40,
               OfxStatus (*)(OfxPropertySetHandle, const char*, int, const char* const*));
OFX_PIN_MEMBER(OfxPropertySuiteV1, propSetDoubleN, 48,
               OfxStatus (*)(OfxPropertySetHandle, const char*, int, const double*));
OFX_PIN_MEMBER(OfxPropertySuiteV1, propSetIntN, 56, OfxStatus (*)(OfxPropertySetHandle, const char*, int, const int*));
OFX_PIN_MEMBER(OfxPropertySuiteV1, propGetPointer, 64, OfxStatus (*)(OfxPropertySetHandle, const char*, int, void**));
OFX_PIN_MEMBER(OfxPropertySuiteV1, propGetString, 72, OfxStatus (*)(OfxPropertySetHandle, const char*, int, char**));
OFX_PIN_MEMBER(OfxPropertySuiteV1, propGetDouble, 80, OfxStatus (*)(OfxPropertySetHandle, const char*, int, double*));
OFX_PIN_MEMBER(OfxPropertySuiteV1, propGetInt, 88, OfxStatus (*)(OfxPropertySetHandle, const char*, int, int*));
OFX_PIN_MEMBER(OfxPropertySuiteV1, propGetPointerN, 96, OfxStatus (*)(OfxPropertySetHandle, const char*, int, void**));
OFX_PIN_MEMBER(OfxPropertySuiteV1, propGetStringN, 104, OfxStatus (*)(OfxPropertySetHandle, const char*, int, char**));
OFX_PIN_MEMBER(OfxPropertySuiteV1, propGetDoubleN, 112, OfxStatus (*)(OfxPropertySetHandle, const char*, int, double*));
OFX_PIN_MEMBER(OfxPropertySuiteV1, propGetIntN, 120, OfxStatus (*)(OfxPropertySetHandle, const char*, int, int*));
OFX_PIN_MEMBER(OfxPropertySuiteV1, propReset, 128, OfxStatus (*)(OfxPropertySetHandle, const char*));
OFX_PIN_MEMBER(OfxPropertySuiteV1, propGetDimension, 136, OfxStatus (*)(OfxPropertySetHandle, const char*, int*));

OFX_PIN_RECORD(OfxImageEffectSuiteV1, 104, 8);
OFX_PIN_MEMBER(OfxImageEffectSuiteV1, getPropertySet, 0, OfxStatus (*)(OfxImageEffectHandle, OfxPropertySetHandle*));
OFX_PIN_MEMBER(OfxImageEffectSuiteV1, getParamSet, 8, OfxStatus (*)(OfxImageEffectHandle, OfxParamSetHandle*));
OFX_PIN_MEMBER(OfxImageEffectSuiteV1, clipDefine, 16,
               OfxStatus (*)(OfxImageEffectHandle, const char*, OfxPropertySetHandle*));
OFX_PIN_MEMBER(OfxImageEffectSuiteV1, clipGetHandle, 24,
               OfxStatus (*)(OfxImageEffectHandle, const char*, OfxImageClipHandle*, OfxPropertySetHandle*));
OFX_PIN_MEMBER(OfxImageEffectSuiteV1, clipGetPropertySet, 32, OfxStatus (*)(OfxImageClipHandle, OfxPropertySetHandle*));
OFX_PIN_MEMBER(OfxImageEffectSuiteV1, clipGetImage, 40,
               OfxStatus (*)(OfxImageClipHandle, OfxTime, const OfxRectD*, OfxPropertySetHandle*));
OFX_PIN_MEMBER(OfxImageEffectSuiteV1, clipReleaseImage, 48, OfxStatus (*)(OfxPropertySetHandle));
OFX_PIN_MEMBER(OfxImageEffectSuiteV1, clipGetRegionOfDefinition, 56,
               OfxStatus (*)(OfxImageClipHandle, OfxTime, OfxRectD*));
// abort answers 0/1 as a plain int rather than a status code.
OFX_PIN_MEMBER(OfxImageEffectSuiteV1, abort, 64, int (*)(OfxImageEffectHandle));
OFX_PIN_MEMBER(OfxImageEffectSuiteV1, imageMemoryAlloc, 72,
               OfxStatus (*)(OfxImageEffectHandle, std::size_t, OfxImageMemoryHandle*));
OFX_PIN_MEMBER(OfxImageEffectSuiteV1, imageMemoryFree, 80, OfxStatus (*)(OfxImageMemoryHandle));
OFX_PIN_MEMBER(OfxImageEffectSuiteV1, imageMemoryLock, 88, OfxStatus (*)(OfxImageMemoryHandle, void**));
OFX_PIN_MEMBER(OfxImageEffectSuiteV1, imageMemoryUnlock, 96, OfxStatus (*)(OfxImageMemoryHandle));

// The value calls must stay C variadic: on x86-64 a variadic call passes the
// vector-register count in %al, so a fixed-argument declaration is not
// call-compatible even when the arguments match.
OFX_PIN_RECORD(OfxParameterSuiteV1, 144, 8);
OFX_PIN_MEMBER(OfxParameterSuiteV1, paramDefine, 0,
               OfxStatus (*)(OfxParamSetHandle, const char*, const char*, OfxPropertySetHandle*));
OFX_PIN_MEMBER(OfxParameterSuiteV1, paramGetHandle, 8,
               OfxStatus (*)(OfxParamSetHandle, const char*, OfxParamHandle*, OfxPropertySetHandle*));
OFX_PIN_MEMBER(OfxParameterSuiteV1, paramSetGetPropertySet, 16,
               OfxStatus (*)(OfxParamSetHandle, OfxPropertySetHandle*));
OFX_PIN_MEMBER(OfxParameterSuiteV1, paramGetPropertySet, 24, OfxStatus (*)(OfxParamHandle, OfxPropertySetHandle*));
OFX_PIN_MEMBER(OfxParameterSuiteV1, paramGetValue, 32, OfxStatus (*)(OfxParamHandle, ...));
OFX_PIN_MEMBER(OfxParameterSuiteV1, paramGetValueAtTime, 40, OfxStatus (*)(OfxParamHandle, OfxTime, ...));
OFX_PIN_MEMBER(OfxParameterSuiteV1, paramGetDerivative, 48, OfxStatus (*)(OfxParamHandle, OfxTime, ...));
OFX_PIN_MEMBER(OfxParameterSuiteV1, paramGetIntegral, 56, OfxStatus (*)(OfxParamHandle, OfxTime, OfxTime, ...));
OFX_PIN_MEMBER(OfxParameterSuiteV1, paramSetValue, 64, OfxStatus (*)(OfxParamHandle, ...));
OFX_PIN_MEMBER(OfxParameterSuiteV1, paramSetValueAtTime, 72, OfxStatus (*)(OfxParamHandle, OfxTime, ...));
OFX_PIN_MEMBER(OfxParameterSuiteV1, paramGetNumKeys, 80, OfxStatus (*)(OfxParamHandle, unsigned int*));
OFX_PIN_MEMBER(OfxParameterSuiteV1, paramGetKeyTime, 88, OfxStatus (*)(OfxParamHandle, unsigned int, OfxTime*));
OFX_PIN_MEMBER(OfxParameterSuiteV1, paramGetKeyIndex, 96, OfxStatus (*)(OfxParamHandle, OfxTime, int, int*));
OFX_PIN_MEMBER(OfxParameterSuiteV1, paramDeleteKey, 104, OfxStatus (*)(OfxParamHandle, OfxTime));
OFX_PIN_MEMBER(OfxParameterSuiteV1, paramDeleteAllKeys, 112, OfxStatus (*)(OfxParamHandle));
OFX_PIN_MEMBER(OfxParameterSuiteV1, paramCopy, 120,
               OfxStatus (*)(OfxParamHandle, OfxParamHandle, OfxTime, const OfxRangeD*));
OFX_PIN_MEMBER(OfxParameterSuiteV1, paramEditBegin, 128, OfxStatus (*)(OfxParamSetHandle, const char*));
OFX_PIN_MEMBER(OfxParameterSuiteV1, paramEditEnd, 136, OfxStatus (*)(OfxParamSetHandle));

OFX_PIN_RECORD(OfxInteractSuiteV1, 24, 8);
OFX_PIN_MEMBER(OfxInteractSuiteV1, interactSwapBuffers, 0, OfxStatus (*)(OfxInteractHandle));
OFX_PIN_MEMBER(OfxInteractSuiteV1, interactRedraw, 8, OfxStatus (*)(OfxInteractHandle));
OFX_PIN_MEMBER(OfxInteractSuiteV1, interactGetPropertySet, 16, OfxStatus (*)(OfxInteractHandle, OfxPropertySetHandle*));

OFX_PIN_RECORD(OfxMessageSuiteV1, 8, 8);
OFX_PIN_MEMBER(OfxMessageSuiteV1, message, 0, OfxStatus (*)(void*, const char*, const char*, const char*, ...));

// ---------------------------------------------------------------------------
// Integer constants.

// Infinite range bounds are the extremes of int.
OFX_PIN_INT(kOfxFlagInfiniteMax, std::numeric_limits<int>::max());
OFX_PIN_INT(kOfxFlagInfiniteMin, std::numeric_limits<int>::min());

OFX_PIN_INT(kOfxImageEffectPluginApiVersion, 1);

OFX_PIN_INT(kOfxStatOK, 0);
OFX_PIN_INT(kOfxStatFailed, 1);
OFX_PIN_INT(kOfxStatErrFatal, 2);
OFX_PIN_INT(kOfxStatErrUnknown, 3);
OFX_PIN_INT(kOfxStatErrMissingHostFeature, 4);
OFX_PIN_INT(kOfxStatErrUnsupported, 5);
OFX_PIN_INT(kOfxStatErrExists, 6);
OFX_PIN_INT(kOfxStatErrFormat, 7);
OFX_PIN_INT(kOfxStatErrMemory, 8);
OFX_PIN_INT(kOfxStatErrBadHandle, 9);
OFX_PIN_INT(kOfxStatErrBadIndex, 10);
OFX_PIN_INT(kOfxStatErrValue, 11);
OFX_PIN_INT(kOfxStatReplyYes, 12);
OFX_PIN_INT(kOfxStatReplyNo, 13);
OFX_PIN_INT(kOfxStatReplyDefault, 14);
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

#define OFX_STR_ROW(m, literal) \
  StringPin { #m, "" m, literal }

template <std::size_t N>
void ExpectStringPins(const StringPin (&rows)[N]) {
  for (const StringPin& row : rows) {
    EXPECT_STREQ(row.ours, row.expected) << "macro " << row.name;
  }
}

// ofxCore.h
const StringPin kCoreStrings[] = {
    OFX_STR_ROW(kOfxActionLoad, "OfxActionLoad"),
    OFX_STR_ROW(kOfxActionUnload, "OfxActionUnload"),
    OFX_STR_ROW(kOfxActionDescribe, "OfxActionDescribe"),
    OFX_STR_ROW(kOfxActionCreateInstance, "OfxActionCreateInstance"),
    OFX_STR_ROW(kOfxActionDestroyInstance, "OfxActionDestroyInstance"),
    OFX_STR_ROW(kOfxActionBeginInstanceChanged, "OfxActionBeginInstanceChanged"),
    OFX_STR_ROW(kOfxActionInstanceChanged, "OfxActionInstanceChanged"),
    OFX_STR_ROW(kOfxActionEndInstanceChanged, "OfxActionEndInstanceChanged"),
    OFX_STR_ROW(kOfxActionPurgeCaches, "OfxActionPurgeCaches"),
    OFX_STR_ROW(kOfxActionSyncPrivateData, "OfxActionSyncPrivateData"),
    OFX_STR_ROW(kOfxPropAPIVersion, "OfxPropAPIVersion"),
    OFX_STR_ROW(kOfxPropChangeReason, "OfxPropChangeReason"),
    OFX_STR_ROW(kOfxPropEffectInstance, "OfxPropEffectInstance"),
    OFX_STR_ROW(kOfxPropInstanceData, "OfxPropInstanceData"),
    OFX_STR_ROW(kOfxPropIsInteractive, "OfxPropIsInteractive"),
    OFX_STR_ROW(kOfxPropLabel, "OfxPropLabel"),
    OFX_STR_ROW(kOfxPropLongLabel, "OfxPropLongLabel"),
    OFX_STR_ROW(kOfxPropName, "OfxPropName"),
    OFX_STR_ROW(kOfxPropPluginDescription, "OfxPropPluginDescription"),
    OFX_STR_ROW(kOfxPropShortLabel, "OfxPropShortLabel"),
    OFX_STR_ROW(kOfxPropTime, "OfxPropTime"),
    OFX_STR_ROW(kOfxPropType, "OfxPropType"),
    OFX_STR_ROW(kOfxPropVersion, "OfxPropVersion"),
    OFX_STR_ROW(kOfxPropVersionLabel, "OfxPropVersionLabel"),
    OFX_STR_ROW(kOfxPluginPropFilePath, "OfxPluginPropFilePath"),
    OFX_STR_ROW(kOfxChangeUserEdited, "OfxChangeUserEdited"),
    OFX_STR_ROW(kOfxChangePluginEdited, "OfxChangePluginEdited"),
    OFX_STR_ROW(kOfxChangeTime, "OfxChangeTime"),
    OFX_STR_ROW(kOfxTypeImageEffectHost, "OfxTypeImageEffectHost"),
    OFX_STR_ROW(kOfxTypeImageEffect, "OfxTypeImageEffect"),
    OFX_STR_ROW(kOfxTypeImageEffectInstance, "OfxTypeImageEffectInstance"),
    OFX_STR_ROW(kOfxTypeClip, "OfxTypeClip"),
    OFX_STR_ROW(kOfxTypeImage, "OfxTypeImage"),
    OFX_STR_ROW(kOfxTypeParameter, "OfxTypeParameter"),
    OFX_STR_ROW(kOfxTypeParameterInstance, "OfxTypeParameterInstance"),
};

// ofxProperty.h
const StringPin kPropertyStrings[] = {
    OFX_STR_ROW(kOfxPropertySuite, "OfxPropertySuite"),
};

// ofxParam.h
const StringPin kParamStrings[] = {
    OFX_STR_ROW(kOfxParameterSuite, "OfxParameterSuite"),
    OFX_STR_ROW(kOfxParamTypeInteger, "OfxParamTypeInteger"),
    OFX_STR_ROW(kOfxParamTypeDouble, "OfxParamTypeDouble"),
    OFX_STR_ROW(kOfxParamTypeBoolean, "OfxParamTypeBoolean"),
    OFX_STR_ROW(kOfxParamTypeChoice, "OfxParamTypeChoice"),
    OFX_STR_ROW(kOfxParamTypeString, "OfxParamTypeString"),
    OFX_STR_ROW(kOfxParamTypePushButton, "OfxParamTypePushButton"),
    OFX_STR_ROW(kOfxParamPropType, "OfxParamPropType"),
    OFX_STR_ROW(kOfxParamPropScriptName, "OfxParamPropScriptName"),
    OFX_STR_ROW(kOfxParamPropDefault, "OfxParamPropDefault"),
    OFX_STR_ROW(kOfxParamPropMin, "OfxParamPropMin"),
    OFX_STR_ROW(kOfxParamPropMax, "OfxParamPropMax"),
    OFX_STR_ROW(kOfxParamPropDisplayMin, "OfxParamPropDisplayMin"),
    OFX_STR_ROW(kOfxParamPropDisplayMax, "OfxParamPropDisplayMax"),
    OFX_STR_ROW(kOfxParamPropHint, "OfxParamPropHint"),
    OFX_STR_ROW(kOfxParamPropSecret, "OfxParamPropSecret"),
    OFX_STR_ROW(kOfxParamPropEnabled, "OfxParamPropEnabled"),
    OFX_STR_ROW(kOfxParamPropAnimates, "OfxParamPropAnimates"),
    OFX_STR_ROW(kOfxParamPropPersistant, "OfxParamPropPersistant"),
    OFX_STR_ROW(kOfxParamPropEvaluateOnChange, "OfxParamPropEvaluateOnChange"),
    OFX_STR_ROW(kOfxParamPropCanUndo, "OfxParamPropCanUndo"),
    OFX_STR_ROW(kOfxParamPropParent, "OfxParamPropParent"),
    OFX_STR_ROW(kOfxParamPropChoiceOption, "OfxParamPropChoiceOption"),
    OFX_STR_ROW(kOfxParamPropStringMode, "OfxParamPropStringMode"),
    OFX_STR_ROW(kOfxParamPropDoubleType, "OfxParamPropDoubleType"),
    OFX_STR_ROW(kOfxParamPropIncrement, "OfxParamPropIncrement"),
    OFX_STR_ROW(kOfxParamPropDigits, "OfxParamPropDigits"),
    OFX_STR_ROW(kOfxParamStringIsSingleLine, "OfxParamStringIsSingleLine"),
    OFX_STR_ROW(kOfxParamDoubleTypePlain, "OfxParamDoubleTypePlain"),
};

// ofxInteract.h
const StringPin kInteractStrings[] = {
    // The interact describe/create/destroy actions alias the generic ones.
    OFX_STR_ROW(kOfxInteractSuite, "OfxInteractSuite"),
    OFX_STR_ROW(kOfxActionDescribeInteract, "OfxActionDescribe"),
    OFX_STR_ROW(kOfxActionCreateInstanceInteract, "OfxActionCreateInstance"),
    OFX_STR_ROW(kOfxActionDestroyInstanceInteract, "OfxActionDestroyInstance"),
    OFX_STR_ROW(kOfxInteractActionDraw, "OfxInteractActionDraw"),
    OFX_STR_ROW(kOfxInteractActionPenMotion, "OfxInteractActionPenMotion"),
    OFX_STR_ROW(kOfxInteractActionPenDown, "OfxInteractActionPenDown"),
    OFX_STR_ROW(kOfxInteractActionPenUp, "OfxInteractActionPenUp"),
    OFX_STR_ROW(kOfxInteractActionKeyDown, "OfxInteractActionKeyDown"),
    OFX_STR_ROW(kOfxInteractActionKeyUp, "OfxInteractActionKeyUp"),
    OFX_STR_ROW(kOfxInteractActionKeyRepeat, "OfxInteractActionKeyRepeat"),
    OFX_STR_ROW(kOfxInteractActionGainFocus, "OfxInteractActionGainFocus"),
    OFX_STR_ROW(kOfxInteractActionLoseFocus, "OfxInteractActionLoseFocus"),
    OFX_STR_ROW(kOfxInteractPropPixelScale, "OfxInteractPropPixelScale"),
    OFX_STR_ROW(kOfxInteractPropBackgroundColour, "OfxInteractPropBackgroundColour"),
    OFX_STR_ROW(kOfxInteractPropPenPosition, "OfxInteractPropPenPosition"),
    OFX_STR_ROW(kOfxInteractPropPenViewportPosition, "OfxInteractPropPenViewportPosition"),
    OFX_STR_ROW(kOfxInteractPropPenPressure, "OfxInteractPropPenPressure"),
    OFX_STR_ROW(kOfxInteractPropBitDepth, "OfxInteractPropBitDepth"),
    OFX_STR_ROW(kOfxInteractPropHasAlpha, "OfxInteractPropHasAlpha"),
    OFX_STR_ROW(kOfxInteractPropSlaveToParam, "OfxInteractPropSlaveToParam"),
    OFX_STR_ROW(kOfxInteractPropSuggestedColour, "OfxInteractPropSuggestedColour"),
};

// ofxMessage.h
const StringPin kMessageStrings[] = {
    OFX_STR_ROW(kOfxMessageSuite, "OfxMessageSuite"),       OFX_STR_ROW(kOfxMessageFatal, "OfxMessageFatal"),
    OFX_STR_ROW(kOfxMessageError, "OfxMessageError"),       OFX_STR_ROW(kOfxMessageWarning, "OfxMessageWarning"),
    OFX_STR_ROW(kOfxMessageMessage, "OfxMessageMessage"),   OFX_STR_ROW(kOfxMessageLog, "OfxMessageLog"),
    OFX_STR_ROW(kOfxMessageQuestion, "OfxMessageQuestion"),
};

// ofxImageEffect.h
const StringPin kImageEffectStrings[] = {
    OFX_STR_ROW(kOfxImageEffectPluginApi, "OfxImageEffectPluginAPI"),
    OFX_STR_ROW(kOfxImageEffectSuite, "OfxImageEffectSuite"),
    OFX_STR_ROW(kOfxImageEffectActionDescribeInContext, "OfxImageEffectActionDescribeInContext"),
    OFX_STR_ROW(kOfxImageEffectActionGetClipPreferences, "OfxImageEffectActionGetClipPreferences"),
    OFX_STR_ROW(kOfxImageEffectActionGetRegionOfDefinition, "OfxImageEffectActionGetRegionOfDefinition"),
    OFX_STR_ROW(kOfxImageEffectActionGetRegionsOfInterest, "OfxImageEffectActionGetRegionsOfInterest"),
    OFX_STR_ROW(kOfxImageEffectActionGetFramesNeeded, "OfxImageEffectActionGetFramesNeeded"),
    OFX_STR_ROW(kOfxImageEffectActionGetTimeDomain, "OfxImageEffectActionGetTimeDomain"),
    OFX_STR_ROW(kOfxImageEffectActionIsIdentity, "OfxImageEffectActionIsIdentity"),
    OFX_STR_ROW(kOfxImageEffectActionRender, "OfxImageEffectActionRender"),
    OFX_STR_ROW(kOfxImageEffectActionBeginSequenceRender, "OfxImageEffectActionBeginSequenceRender"),
    OFX_STR_ROW(kOfxImageEffectActionEndSequenceRender, "OfxImageEffectActionEndSequenceRender"),
    OFX_STR_ROW(kOfxImageEffectContextFilter, "OfxImageEffectContextFilter"),
    OFX_STR_ROW(kOfxImageEffectContextGeneral, "OfxImageEffectContextGeneral"),
    OFX_STR_ROW(kOfxImageEffectContextGenerator, "OfxImageEffectContextGenerator"),
    OFX_STR_ROW(kOfxImageEffectOutputClipName, "Output"),
    OFX_STR_ROW(kOfxImageEffectSimpleSourceClipName, "Source"),
    OFX_STR_ROW(kOfxImageEffectPluginPropGrouping, "OfxImageEffectPluginPropGrouping"),
    OFX_STR_ROW(kOfxImageEffectPluginPropSingleInstance, "OfxImageEffectPluginPropSingleInstance"),
    OFX_STR_ROW(kOfxImageEffectPluginPropHostFrameThreading, "OfxImageEffectPluginPropHostFrameThreading"),
    OFX_STR_ROW(kOfxImageEffectPluginRenderThreadSafety, "OfxImageEffectPluginRenderThreadSafety"),
    OFX_STR_ROW(kOfxImageEffectPluginPropOverlayInteractV1, "OfxImageEffectPluginPropOverlayInteractV1"),
    OFX_STR_ROW(kOfxImageEffectPropSupportedContexts, "OfxImageEffectPropSupportedContexts"),
    OFX_STR_ROW(kOfxImageEffectPropSupportedPixelDepths, "OfxImageEffectPropSupportedPixelDepths"),
    OFX_STR_ROW(kOfxImageEffectPropSupportedComponents, "OfxImageEffectPropSupportedComponents"),
    OFX_STR_ROW(kOfxImageEffectPropSupportsMultiResolution, "OfxImageEffectPropSupportsMultiResolution"),
    OFX_STR_ROW(kOfxImageEffectPropSupportsTiles, "OfxImageEffectPropSupportsTiles"),
    OFX_STR_ROW(kOfxImageEffectPropSupportsOverlays, "OfxImageEffectPropSupportsOverlays"),
    OFX_STR_ROW(kOfxImageEffectPropSupportsMultipleClipDepths, "OfxImageEffectPropMultipleClipDepths"),
    OFX_STR_ROW(kOfxImageEffectPropTemporalClipAccess, "OfxImageEffectPropTemporalClipAccess"),
    OFX_STR_ROW(kOfxImageEffectPropClipPreferencesSlaveParam, "OfxImageEffectPropClipPreferencesSlaveParam"),
    OFX_STR_ROW(kOfxImageEffectPropContext, "OfxImageEffectPropContext"),
    OFX_STR_ROW(kOfxImageEffectPropProjectSize, "OfxImageEffectPropProjectSize"),
    OFX_STR_ROW(kOfxImageEffectPropProjectOffset, "OfxImageEffectPropProjectOffset"),
    OFX_STR_ROW(kOfxImageEffectPropProjectExtent, "OfxImageEffectPropProjectExtent"),
    OFX_STR_ROW(kOfxImageEffectPropProjectPixelAspectRatio, "OfxImageEffectPropPixelAspectRatio"),
    OFX_STR_ROW(kOfxImageEffectPropFrameRate, "OfxImageEffectPropFrameRate"),
    OFX_STR_ROW(kOfxImageEffectPropFrameRange, "OfxImageEffectPropFrameRange"),
    OFX_STR_ROW(kOfxImageEffectInstancePropEffectDuration, "OfxImageEffectInstancePropEffectDuration"),
    OFX_STR_ROW(kOfxImageEffectPropPixelDepth, "OfxImageEffectPropPixelDepth"),
    OFX_STR_ROW(kOfxImageEffectPropComponents, "OfxImageEffectPropComponents"),
    OFX_STR_ROW(kOfxImageEffectPropPreMultiplication, "OfxImageEffectPropPreMultiplication"),
    OFX_STR_ROW(kOfxImageClipPropConnected, "OfxImageClipPropConnected"),
    OFX_STR_ROW(kOfxImageClipPropOptional, "OfxImageClipPropOptional"),
    OFX_STR_ROW(kOfxImageClipPropIsMask, "OfxImageClipPropIsMask"),
    OFX_STR_ROW(kOfxImageClipPropUnmappedPixelDepth, "OfxImageClipPropUnmappedPixelDepth"),
    OFX_STR_ROW(kOfxImageClipPropUnmappedComponents, "OfxImageClipPropUnmappedComponents"),
    OFX_STR_ROW(kOfxImagePropData, "OfxImagePropData"),
    OFX_STR_ROW(kOfxImagePropBounds, "OfxImagePropBounds"),
    OFX_STR_ROW(kOfxImagePropRegionOfDefinition, "OfxImagePropRegionOfDefinition"),
    OFX_STR_ROW(kOfxImagePropRowBytes, "OfxImagePropRowBytes"),
    OFX_STR_ROW(kOfxImagePropPixelAspectRatio, "OfxImagePropPixelAspectRatio"),
    OFX_STR_ROW(kOfxImagePropField, "OfxImagePropField"),
    OFX_STR_ROW(kOfxImagePropUniqueIdentifier, "OfxImagePropUniqueIdentifier"),
    OFX_STR_ROW(kOfxImageEffectPropRenderScale, "OfxImageEffectPropRenderScale"),
    OFX_STR_ROW(kOfxImageEffectPropRenderWindow, "OfxImageEffectPropRenderWindow"),
    OFX_STR_ROW(kOfxImageEffectPropFieldToRender, "OfxImageEffectPropFieldToRender"),
    OFX_STR_ROW(kOfxImageEffectPropSequentialRenderStatus, "OfxImageEffectPropSequentialRenderStatus"),
    OFX_STR_ROW(kOfxImageEffectPropInteractiveRenderStatus, "OfxImageEffectPropInteractiveRenderStatus"),
    OFX_STR_ROW(kOfxImageEffectPropRenderQualityDraft, "OfxImageEffectPropRenderQualityDraft"),
    OFX_STR_ROW(kOfxImageEffectPropFrameStep, "OfxImageEffectPropFrameStep"),
    OFX_STR_ROW(kOfxImageEffectPropRegionOfDefinition, "OfxImageEffectPropRegionOfDefinition"),
    OFX_STR_ROW(kOfxImageEffectFrameVarying, "OfxImageEffectFrameVarying"),
    OFX_STR_ROW(kOfxImageClipPropFieldOrder, "OfxImageClipPropFieldOrder"),
    OFX_STR_ROW(kOfxImageClipPropContinuousSamples, "OfxImageClipPropContinuousSamples"),
    OFX_STR_ROW(kOfxBitDepthNone, "OfxBitDepthNone"),
    OFX_STR_ROW(kOfxBitDepthByte, "OfxBitDepthByte"),
    OFX_STR_ROW(kOfxBitDepthShort, "OfxBitDepthShort"),
    OFX_STR_ROW(kOfxBitDepthHalf, "OfxBitDepthHalf"),
    OFX_STR_ROW(kOfxBitDepthFloat, "OfxBitDepthFloat"),
    OFX_STR_ROW(kOfxImageComponentNone, "OfxImageComponentNone"),
    OFX_STR_ROW(kOfxImageComponentRGBA, "OfxImageComponentRGBA"),
    OFX_STR_ROW(kOfxImageComponentRGB, "OfxImageComponentRGB"),
    OFX_STR_ROW(kOfxImageComponentAlpha, "OfxImageComponentAlpha"),
    OFX_STR_ROW(kOfxImageOpaque, "OfxImageOpaque"),
    OFX_STR_ROW(kOfxImagePreMultiplied, "OfxImageAlphaPremultiplied"),
    OFX_STR_ROW(kOfxImageUnPreMultiplied, "OfxImageAlphaUnPremultiplied"),
    OFX_STR_ROW(kOfxImageEffectRenderUnsafe, "OfxImageEffectRenderUnsafe"),
    OFX_STR_ROW(kOfxImageEffectRenderInstanceSafe, "OfxImageEffectRenderInstanceSafe"),
    OFX_STR_ROW(kOfxImageEffectRenderFullySafe, "OfxImageEffectRenderFullySafe"),
    OFX_STR_ROW(kOfxImageFieldNone, "OfxFieldNone"),
    OFX_STR_ROW(kOfxImageFieldBoth, "OfxFieldBoth"),
    OFX_STR_ROW(kOfxImageFieldLower, "OfxFieldLower"),
    OFX_STR_ROW(kOfxImageFieldUpper, "OfxFieldUpper"),
};

}  // namespace

TEST(AbiStrings, CoreHeader) { ExpectStringPins(kCoreStrings); }

TEST(AbiStrings, PropertyHeader) { ExpectStringPins(kPropertyStrings); }

TEST(AbiStrings, ParamHeader) { ExpectStringPins(kParamStrings); }

TEST(AbiStrings, InteractHeader) { ExpectStringPins(kInteractStrings); }

TEST(AbiStrings, MessageHeader) { ExpectStringPins(kMessageStrings); }

TEST(AbiStrings, ImageEffectHeader) { ExpectStringPins(kImageEffectStrings); }

// Guards the tables themselves: a row pasted twice would hide a missing one.
TEST(AbiStrings, EveryMacroIsListedOnce) {
  std::set<std::string> seen;
  auto add = [&seen](const StringPin* begin, const StringPin* end) {
    for (const StringPin* row = begin; row != end; ++row) {
      EXPECT_TRUE(seen.insert(row->name).second) << "listed twice: " << row->name;
    }
  };
  add(std::begin(kCoreStrings), std::end(kCoreStrings));
  add(std::begin(kPropertyStrings), std::end(kPropertyStrings));
  add(std::begin(kParamStrings), std::end(kParamStrings));
  add(std::begin(kInteractStrings), std::end(kInteractStrings));
  add(std::begin(kMessageStrings), std::end(kMessageStrings));
  add(std::begin(kImageEffectStrings), std::end(kImageEffectStrings));
}

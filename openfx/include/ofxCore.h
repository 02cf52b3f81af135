#ifndef OFX_CORE_H
#define OFX_CORE_H
/* Core of the OpenFX C API: handles, status codes, the host and plug-in
 * records, the generic actions and properties. Declared from the published
 * API's documented meanings; layouts are pinned by tests/abi_test.cpp. */

#include <stddef.h>
#include <limits.h>

#ifdef __cplusplus
extern "C" {
#endif

#define OfxExport extern

typedef struct OfxPropertySetStruct* OfxPropertySetHandle;
typedef int OfxStatus;
typedef double OfxTime;

typedef struct OfxHost {
  OfxPropertySetHandle host;
  const void* (*fetchSuite)(OfxPropertySetHandle host, const char* suiteName, int suiteVersion);
} OfxHost;

typedef OfxStatus(OfxPluginEntryPoint)(const char* action, const void* handle,
                                        OfxPropertySetHandle inArgs, OfxPropertySetHandle outArgs);

typedef struct OfxPlugin {
  const char* pluginApi;
  int apiVersion;
  const char* pluginIdentifier;
  unsigned int pluginVersionMajor;
  unsigned int pluginVersionMinor;
  void (*setHost)(OfxHost* host);
  OfxPluginEntryPoint* mainEntry;
} OfxPlugin;

/* The two symbols every plug-in binary exports. */
OfxExport OfxPlugin* OfxGetPlugin(int nth);
OfxExport int OfxGetNumberOfPlugins(void);

typedef struct OfxRangeI { int min, max; } OfxRangeI;
typedef struct OfxRangeD { double min, max; } OfxRangeD;
typedef struct OfxPointI { int x, y; } OfxPointI;
typedef struct OfxPointD { double x, y; } OfxPointD;
typedef struct OfxRectI { int x1, y1, x2, y2; } OfxRectI;
typedef struct OfxRectD { double x1, y1, x2, y2; } OfxRectD;

#define kOfxFlagInfiniteMax INT_MAX
#define kOfxFlagInfiniteMin INT_MIN

/* Status codes. */
#define kOfxStatOK 0
#define kOfxStatFailed ((int)1)
#define kOfxStatErrFatal ((int)2)
#define kOfxStatErrUnknown ((int)3)
#define kOfxStatErrMissingHostFeature ((int)4)
#define kOfxStatErrUnsupported ((int)5)
#define kOfxStatErrExists ((int)6)
#define kOfxStatErrFormat ((int)7)
#define kOfxStatErrMemory ((int)8)
#define kOfxStatErrBadHandle ((int)9)
#define kOfxStatErrBadIndex ((int)10)
#define kOfxStatErrValue ((int)11)
#define kOfxStatReplyYes ((int)12)
#define kOfxStatReplyNo ((int)13)
#define kOfxStatReplyDefault ((int)14)

/* Generic actions. */
#define kOfxActionLoad "OfxActionLoad"
#define kOfxActionUnload "OfxActionUnload"
#define kOfxActionDescribe "OfxActionDescribe"
#define kOfxActionCreateInstance "OfxActionCreateInstance"
#define kOfxActionDestroyInstance "OfxActionDestroyInstance"
#define kOfxActionBeginInstanceChanged "OfxActionBeginInstanceChanged"
#define kOfxActionInstanceChanged "OfxActionInstanceChanged"
#define kOfxActionEndInstanceChanged "OfxActionEndInstanceChanged"
#define kOfxActionPurgeCaches "OfxActionPurgeCaches"
#define kOfxActionSyncPrivateData "OfxActionSyncPrivateData"

/* Generic properties. */
#define kOfxPropAPIVersion "OfxPropAPIVersion"
#define kOfxPropChangeReason "OfxPropChangeReason"
#define kOfxPropEffectInstance "OfxPropEffectInstance"
#define kOfxPropInstanceData "OfxPropInstanceData"
#define kOfxPropIsInteractive "OfxPropIsInteractive"
#define kOfxPropLabel "OfxPropLabel"
#define kOfxPropLongLabel "OfxPropLongLabel"
#define kOfxPropName "OfxPropName"
#define kOfxPropPluginDescription "OfxPropPluginDescription"
#define kOfxPropShortLabel "OfxPropShortLabel"
#define kOfxPropTime "OfxPropTime"
#define kOfxPropType "OfxPropType"
#define kOfxPropVersion "OfxPropVersion"
#define kOfxPropVersionLabel "OfxPropVersionLabel"
#define kOfxPluginPropFilePath "OfxPluginPropFilePath"

/* Values of kOfxPropChangeReason. */
#define kOfxChangeUserEdited "OfxChangeUserEdited"
#define kOfxChangePluginEdited "OfxChangePluginEdited"
#define kOfxChangeTime "OfxChangeTime"

/* Values of kOfxPropType. */
#define kOfxTypeImageEffectHost "OfxTypeImageEffectHost"
#define kOfxTypeImageEffect "OfxTypeImageEffect"
#define kOfxTypeImageEffectInstance "OfxTypeImageEffectInstance"
#define kOfxTypeClip "OfxTypeClip"
#define kOfxTypeImage "OfxTypeImage"
#define kOfxTypeParameter "OfxTypeParameter"
#define kOfxTypeParameterInstance "OfxTypeParameterInstance"

#ifdef __cplusplus
}
#endif

#endif

#ifndef OFX_PARAM_H
#define OFX_PARAM_H
/* The parameter suite: defining parameters at describe time and reading and
 * writing their values on instances. */

#include "ofxCore.h"
#include "ofxProperty.h"

#ifdef __cplusplus
extern "C" {
#endif

#define kOfxParameterSuite "OfxParameterSuite"

typedef struct OfxParamStruct* OfxParamHandle;
typedef struct OfxParamSetStruct* OfxParamSetHandle;

/* Parameter types. */
#define kOfxParamTypeInteger "OfxParamTypeInteger"
#define kOfxParamTypeDouble "OfxParamTypeDouble"
#define kOfxParamTypeBoolean "OfxParamTypeBoolean"
#define kOfxParamTypeChoice "OfxParamTypeChoice"
#define kOfxParamTypeString "OfxParamTypeString"
#define kOfxParamTypePushButton "OfxParamTypePushButton"

/* Parameter properties. */
#define kOfxParamPropType "OfxParamPropType"
#define kOfxParamPropScriptName "OfxParamPropScriptName"
#define kOfxParamPropDefault "OfxParamPropDefault"
#define kOfxParamPropMin "OfxParamPropMin"
#define kOfxParamPropMax "OfxParamPropMax"
#define kOfxParamPropDisplayMin "OfxParamPropDisplayMin"
#define kOfxParamPropDisplayMax "OfxParamPropDisplayMax"
#define kOfxParamPropHint "OfxParamPropHint"
#define kOfxParamPropSecret "OfxParamPropSecret"
#define kOfxParamPropEnabled "OfxParamPropEnabled"
#define kOfxParamPropAnimates "OfxParamPropAnimates"
#define kOfxParamPropPersistant "OfxParamPropPersistant"
#define kOfxParamPropEvaluateOnChange "OfxParamPropEvaluateOnChange"
#define kOfxParamPropCanUndo "OfxParamPropCanUndo"
#define kOfxParamPropParent "OfxParamPropParent"
#define kOfxParamPropChoiceOption "OfxParamPropChoiceOption"
#define kOfxParamPropStringMode "OfxParamPropStringMode"
#define kOfxParamPropDoubleType "OfxParamPropDoubleType"
#define kOfxParamPropIncrement "OfxParamPropIncrement"
#define kOfxParamPropDigits "OfxParamPropDigits"

/* Values of kOfxParamPropStringMode and kOfxParamPropDoubleType. */
#define kOfxParamStringIsSingleLine "OfxParamStringIsSingleLine"
#define kOfxParamDoubleTypePlain "OfxParamDoubleTypePlain"

typedef struct OfxParameterSuiteV1 {
  OfxStatus (*paramDefine)(OfxParamSetHandle paramSet, const char* paramType, const char* name,
                           OfxPropertySetHandle* propertySet);
  OfxStatus (*paramGetHandle)(OfxParamSetHandle paramSet, const char* name, OfxParamHandle* param,
                              OfxPropertySetHandle* propertySet);
  OfxStatus (*paramSetGetPropertySet)(OfxParamSetHandle paramSet, OfxPropertySetHandle* propHandle);
  OfxStatus (*paramGetPropertySet)(OfxParamHandle param, OfxPropertySetHandle* propHandle);
  /* The value calls are C variadic: one pointer (get) or value (set) per
   * component, typed by the parameter's type. */
  OfxStatus (*paramGetValue)(OfxParamHandle paramHandle, ...);
  OfxStatus (*paramGetValueAtTime)(OfxParamHandle paramHandle, OfxTime time, ...);
  OfxStatus (*paramGetDerivative)(OfxParamHandle paramHandle, OfxTime time, ...);
  OfxStatus (*paramGetIntegral)(OfxParamHandle paramHandle, OfxTime time1, OfxTime time2, ...);
  OfxStatus (*paramSetValue)(OfxParamHandle paramHandle, ...);
  OfxStatus (*paramSetValueAtTime)(OfxParamHandle paramHandle, OfxTime time, ...);
  OfxStatus (*paramGetNumKeys)(OfxParamHandle paramHandle, unsigned int* numberOfKeys);
  OfxStatus (*paramGetKeyTime)(OfxParamHandle paramHandle, unsigned int nthKey, OfxTime* time);
  OfxStatus (*paramGetKeyIndex)(OfxParamHandle paramHandle, OfxTime time, int direction, int* index);
  OfxStatus (*paramDeleteKey)(OfxParamHandle paramHandle, OfxTime time);
  OfxStatus (*paramDeleteAllKeys)(OfxParamHandle paramHandle);
  OfxStatus (*paramCopy)(OfxParamHandle paramTo, OfxParamHandle paramFrom, OfxTime dstOffset,
                         const OfxRangeD* frameRange);
  OfxStatus (*paramEditBegin)(OfxParamSetHandle paramSet, const char* name);
  OfxStatus (*paramEditEnd)(OfxParamSetHandle paramSet);
} OfxParameterSuiteV1;

#ifdef __cplusplus
}
#endif

#endif

#include "ORVParams.h"

OfxParamHandle fetchParam(OfxImageEffectHandle instance, const char* name) {
  OfxParamSetHandle params = nullptr;
  gEffect->getParamSet(instance, &params);
  OfxParamHandle param = nullptr;
  gParam->paramGetHandle(params, name, &param, nullptr);
  return param;
}

std::string readString(OfxImageEffectHandle instance, const char* name) {
  char* value = nullptr;
  gParam->paramGetValue(fetchParam(instance, name), &value);
  return value ? std::string(value) : std::string();
}

bool holdsStrings(OfxImageEffectHandle instance) {
  for (const char* name : {param::kSessionId, param::kBackendUrl}) {
    OfxParamHandle param = fetchParam(instance, name);
    char* value = nullptr;
    if (!param || gParam->paramGetValue(param, &value) != kOfxStatOK || !value) return false;
  }
  return true;
}

void writeString(OfxImageEffectHandle instance, const char* name, const std::string& value) {
  gParam->paramSetValue(fetchParam(instance, name), value.c_str());
}

#include "Param.h"

#include <cfloat>
#include <climits>

#include "Handles.h"
#include "HostError.h"

namespace ofxhost {

namespace {

HandleTable<Param>& params() {
  static HandleTable<Param> table;
  return table;
}

HandleTable<ParamSet>& paramSets() {
  static HandleTable<ParamSet> table;
  return table;
}

constexpr std::size_t kRetiredStrings = 64;

void defineCommon(PropertySet& p, const std::string& type, const std::string& name) {
  p.defineString(kOfxPropType, {kOfxTypeParameter});
  p.defineString(kOfxPropName, {name});
  p.defineString(kOfxPropLabel, {name});
  p.defineString(kOfxPropShortLabel, {name});
  p.defineString(kOfxPropLongLabel, {name});
  p.defineString(kOfxParamPropType, {type});
  p.defineString(kOfxParamPropScriptName, {name});
  p.defineString(kOfxParamPropHint, {""});
  p.defineString(kOfxParamPropParent, {""});
  p.defineInt(kOfxParamPropSecret, {0});
  p.defineInt(kOfxParamPropEnabled, {1});
  p.defineInt(kOfxParamPropEvaluateOnChange, {1});
  p.defineInt(kOfxParamPropCanUndo, {1});
  p.definePointer(kOfxPropInstanceData);
}

void defineValued(PropertySet& p) {
  p.defineInt(kOfxParamPropAnimates, {1});
  p.defineInt(kOfxParamPropPersistant, {1});
}

}  // namespace

bool paramKindFromType(const std::string& type, ParamKind* kind) {
  static const std::pair<const char*, ParamKind> kTypes[] = {
      {kOfxParamTypeBoolean, ParamKind::Boolean}, {kOfxParamTypeChoice, ParamKind::Choice},
      {kOfxParamTypeDouble, ParamKind::Double},   {kOfxParamTypeInteger, ParamKind::Integer},
      {kOfxParamTypeString, ParamKind::String},   {kOfxParamTypePushButton, ParamKind::PushButton},
  };
  for (const auto& [name, k] : kTypes)
    if (type == name) {
      *kind = k;
      return true;
    }
  return false;
}

const char* paramKindName(ParamKind kind) {
  switch (kind) {
    case ParamKind::Boolean:
      return "boolean";
    case ParamKind::Choice:
      return "choice";
    case ParamKind::Double:
      return "double";
    case ParamKind::Integer:
      return "integer";
    case ParamKind::String:
      return "string";
    case ParamKind::PushButton:
      return "button";
  }
  return "?";
}

std::shared_ptr<Param> findParam(const void* handle) { return params().find(handle); }
std::shared_ptr<ParamSet> findParamSet(const void* handle) { return paramSets().find(handle); }

void Param::registerHandle() {
  std::uintptr_t token = newToken();
  handle_ = toHandle<OfxParamHandle>(token);
}

std::shared_ptr<Param> Param::define(ParamKind kind, const std::string& type, const std::string& name) {
  std::shared_ptr<Param> param(new Param(kind, name));
  param->props_ = PropertySet::create("parameter " + name);
  PropertySet& p = *param->props_;
  defineCommon(p, type, name);
  switch (kind) {
    case ParamKind::Boolean:
      defineValued(p);
      p.defineInt(kOfxParamPropDefault, {0});
      break;
    case ParamKind::Choice:
      defineValued(p);
      p.defineInt(kOfxParamPropDefault, {0});
      p.defineString(kOfxParamPropChoiceOption, {}, PropertySet::kVariable);
      break;
    case ParamKind::Integer:
      defineValued(p);
      p.defineInt(kOfxParamPropDefault, {0});
      p.defineInt(kOfxParamPropMin, {INT_MIN});
      p.defineInt(kOfxParamPropMax, {INT_MAX});
      p.defineInt(kOfxParamPropDisplayMin, {INT_MIN});
      p.defineInt(kOfxParamPropDisplayMax, {INT_MAX});
      break;
    case ParamKind::Double:
      defineValued(p);
      p.defineDouble(kOfxParamPropDefault, {0.0});
      p.defineDouble(kOfxParamPropMin, {-DBL_MAX});
      p.defineDouble(kOfxParamPropMax, {DBL_MAX});
      p.defineDouble(kOfxParamPropDisplayMin, {-DBL_MAX});
      p.defineDouble(kOfxParamPropDisplayMax, {DBL_MAX});
      p.defineDouble(kOfxParamPropIncrement, {1.0});
      p.defineInt(kOfxParamPropDigits, {2});
      p.defineString(kOfxParamPropDoubleType, {kOfxParamDoubleTypePlain});
      break;
    case ParamKind::String:
      defineValued(p);
      p.defineString(kOfxParamPropDefault, {""});
      p.defineString(kOfxParamPropStringMode, {kOfxParamStringIsSingleLine});
      break;
    case ParamKind::PushButton:
      break;
  }
  param->registerHandle();
  params().add(reinterpret_cast<std::uintptr_t>(param->handle_), param);
  return param;
}

std::shared_ptr<Param> Param::instantiate() const {
  std::shared_ptr<Param> param(new Param(kind_, name_));
  param->props_ = props_->clone("parameter " + name_);
  param->props_->set(kOfxPropType, 0, kOfxTypeParameterInstance);
  if (holdsInt()) param->int_ = props_->getInt(kOfxParamPropDefault);
  if (holdsDouble()) param->double_ = props_->getDouble(kOfxParamPropDefault);
  if (holdsString()) param->string_ = std::make_shared<const std::string>(props_->getString(kOfxParamPropDefault));
  param->registerHandle();
  params().add(reinterpret_cast<std::uintptr_t>(param->handle_), param);
  return param;
}

void Param::retire() {
  params().remove(reinterpret_cast<std::uintptr_t>(handle_));
  props_->retire();
}

bool Param::holdsInt() const {
  return kind_ == ParamKind::Boolean || kind_ == ParamKind::Choice || kind_ == ParamKind::Integer;
}

int Param::intValue() const {
  std::lock_guard<std::mutex> lock(mu_);
  return int_;
}

double Param::doubleValue() const {
  std::lock_guard<std::mutex> lock(mu_);
  return double_;
}

const char* Param::stringValue() const {
  std::lock_guard<std::mutex> lock(mu_);
  return string_->c_str();
}

void Param::setInt(int value) {
  std::lock_guard<std::mutex> lock(mu_);
  int_ = value;
}

void Param::setDouble(double value) {
  std::lock_guard<std::mutex> lock(mu_);
  double_ = value;
}

void Param::setString(const std::string& value) {
  auto text = std::make_shared<const std::string>(value);
  std::lock_guard<std::mutex> lock(mu_);
  retired_.push_back(std::move(string_));
  if (retired_.size() > kRetiredStrings) retired_.pop_front();
  string_ = std::move(text);
}

std::shared_ptr<ParamSet> ParamSet::create(const std::string& kind) {
  auto set = std::make_shared<ParamSet>();
  set->props_ = PropertySet::create("parameter set of " + kind);
  std::uintptr_t token = newToken();
  set->handle_ = toHandle<OfxParamSetHandle>(token);
  paramSets().add(token, set);
  return set;
}

std::shared_ptr<ParamSet> ParamSet::instantiate() const {
  auto set = std::make_shared<ParamSet>();
  set->isInstance_ = true;
  set->props_ = props_->clone(props_->kind());
  for (const auto& def : params()) set->params_.push_back(def->instantiate());
  std::uintptr_t token = newToken();
  set->handle_ = toHandle<OfxParamSetHandle>(token);
  paramSets().add(token, set);
  return set;
}

void ParamSet::retire() {
  for (const auto& p : params()) p->retire();
  props_->retire();
  paramSets().remove(reinterpret_cast<std::uintptr_t>(handle_));
}

OfxStatus ParamSet::define(const char* type, const char* name, std::shared_ptr<Param>* param) {
  if (!type || !name) return kOfxStatErrValue;
  ParamKind kind;
  if (!paramKindFromType(type, &kind)) return kOfxStatErrUnsupported;
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& p : params_)
    if (p->name() == name) return kOfxStatErrExists;
  params_.push_back(Param::define(kind, type, name));
  *param = params_.back();
  return kOfxStatOK;
}

std::shared_ptr<Param> ParamSet::find(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& p : params_)
    if (p->name() == name) return p;
  return nullptr;
}

std::vector<std::shared_ptr<Param>> ParamSet::params() const {
  std::lock_guard<std::mutex> lock(mu_);
  return params_;
}

}  // namespace ofxhost

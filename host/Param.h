#pragma once
// Parameters: definitions made by the plug-in at describe time, and the
// instances that hold an effect instance's values.

#include <deque>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "PropertySet.h"
#include "ofxParam.h"

namespace ofxhost {

enum class ParamKind { Boolean, Choice, Double, Integer, String, PushButton };

// The kind for an OfxParamType* name; false when the host does not offer it.
bool paramKindFromType(const std::string& type, ParamKind* kind);
// The short name used in listings: "string", "choice", "double", ...
const char* paramKindName(ParamKind kind);

class Param {
 public:
  // A definition, with every property the API gives a parameter of the type
  // at its default. Registered: the plug-in gets its property set's handle.
  static std::shared_ptr<Param> define(ParamKind kind, const std::string& type, const std::string& name);
  // An instance of a definition: the definition's properties copied, the
  // value set to the default.
  std::shared_ptr<Param> instantiate() const;
  void retire();

  OfxParamHandle handle() const { return handle_; }
  const std::string& name() const { return name_; }
  ParamKind kind() const { return kind_; }
  PropertySet& properties() const { return *props_; }
  bool holdsInt() const;
  bool holdsDouble() const { return kind_ == ParamKind::Double; }
  bool holdsString() const { return kind_ == ParamKind::String; }

  // Values, safe from any thread. A text handed out stays valid while the
  // next 64 writes to this parameter happen.
  int intValue() const;
  double doubleValue() const;
  const char* stringValue() const;
  void setInt(int value);
  void setDouble(double value);
  void setString(const std::string& value);

  // Called when the plug-in sets the value through the parameter suite; an
  // instance uses it to report the change back. Set before the handle is
  // handed out.
  std::function<void(const std::string& name)> onPluginEdit;
  // True once the host's side of the owning instance is torn down (set
  // before the plug-in hears of the destroy, as strict hosts do): a call on
  // the parameter then is a call into freed host objects.
  std::shared_ptr<const std::atomic<bool>> ownerGone;

 private:
  Param(ParamKind kind, std::string name) : kind_(kind), name_(std::move(name)) {}
  void registerHandle();

  ParamKind kind_;
  std::string name_;
  OfxParamHandle handle_ = nullptr;
  std::shared_ptr<PropertySet> props_;
  mutable std::mutex mu_;
  int int_ = 0;
  double double_ = 0;
  std::shared_ptr<const std::string> string_ = std::make_shared<const std::string>();
  std::deque<std::shared_ptr<const std::string>> retired_;
};

class ParamSet {
 public:
  static std::shared_ptr<ParamSet> create(const std::string& kind);
  // The instance set: every definition instantiated, in definition order.
  std::shared_ptr<ParamSet> instantiate() const;
  void retire();

  OfxParamSetHandle handle() const { return handle_; }
  PropertySet& properties() const { return *props_; }
  // Parameters are defined on a descriptor's set only.
  bool isInstance() const { return isInstance_; }

  // kOfxStatErrExists for a taken name, kOfxStatErrUnsupported for a type the
  // host does not offer.
  OfxStatus define(const char* type, const char* name, std::shared_ptr<Param>* param);
  std::shared_ptr<Param> find(const std::string& name) const;
  std::vector<std::shared_ptr<Param>> params() const;

 private:
  OfxParamSetHandle handle_ = nullptr;
  bool isInstance_ = false;
  std::shared_ptr<PropertySet> props_;
  mutable std::mutex mu_;
  std::vector<std::shared_ptr<Param>> params_;
};

std::shared_ptr<Param> findParam(const void* handle);
std::shared_ptr<ParamSet> findParamSet(const void* handle);

}  // namespace ofxhost

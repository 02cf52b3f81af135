#include "PropertySet.h"

#include <algorithm>
#include <cstring>

#include "Handles.h"
#include "HostError.h"

namespace ofxhost {

namespace {

HandleTable<PropertySet>& table() {
  static HandleTable<PropertySet> sets;
  return sets;
}

constexpr std::size_t kRetiredStrings = 64;

}  // namespace

std::uintptr_t newToken() {
  static std::atomic<std::uintptr_t> next{0x10000};
  return next.fetch_add(0x10);
}

const char* propTypeName(PropType type) {
  switch (type) {
    case PropType::Pointer:
      return "pointer";
    case PropType::String:
      return "string";
    case PropType::Double:
      return "double";
    case PropType::Int:
      return "int";
  }
  return "?";
}

std::shared_ptr<PropertySet> findPropertySet(const void* handle) { return table().find(handle); }

PropertySet::PropertySet(std::string kind) : kind_(std::move(kind)) {}

std::shared_ptr<PropertySet> PropertySet::create(std::string kind) {
  auto set = std::make_shared<PropertySet>(std::move(kind));
  std::uintptr_t token = newToken();
  set->handle_ = toHandle<OfxPropertySetHandle>(token);
  table().add(token, set);
  return set;
}

std::shared_ptr<PropertySet> PropertySet::clone(std::string kind) const {
  auto copy = create(std::move(kind));
  std::lock_guard<std::mutex> lock(mu_);
  copy->props_ = props_;
  copy->order_ = order_;
  return copy;
}

void PropertySet::retire() {
  if (handle_) table().remove(reinterpret_cast<std::uintptr_t>(handle_));
}

std::size_t PropertySet::Property::size() const {
  switch (type) {
    case PropType::Pointer:
      return pointers.size();
    case PropType::String:
      return strings.size();
    case PropType::Double:
      return doubles.size();
    case PropType::Int:
      return ints.size();
  }
  return 0;
}

void PropertySet::Property::resize(std::size_t n) {
  switch (type) {
    case PropType::Pointer:
      pointers.resize(n, nullptr);
      break;
    case PropType::String:
      strings.resize(n, std::make_shared<const std::string>());
      break;
    case PropType::Double:
      doubles.resize(n, 0.0);
      break;
    case PropType::Int:
      ints.resize(n, 0);
      break;
  }
}

PropertySet::Property& PropertySet::defineEmpty(const std::string& name, PropType type, int dimension) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!props_.count(name)) order_.push_back(name);
  Property& p = props_[name];
  p = Property{};
  p.type = type;
  p.dimension = dimension;
  return p;
}

void PropertySet::defineString(const std::string& name, std::vector<std::string> values, int dimension) {
  Property& p = defineEmpty(name, PropType::String, dimension);
  for (auto& v : values) p.defaultStrings.push_back(std::make_shared<const std::string>(std::move(v)));
  p.strings = p.defaultStrings;
}

void PropertySet::defineInt(const std::string& name, std::vector<int> values, int dimension) {
  Property& p = defineEmpty(name, PropType::Int, dimension);
  p.defaultInts = values;
  p.ints = std::move(values);
}

void PropertySet::defineDouble(const std::string& name, std::vector<double> values, int dimension) {
  Property& p = defineEmpty(name, PropType::Double, dimension);
  p.defaultDoubles = values;
  p.doubles = std::move(values);
}

void PropertySet::definePointer(const std::string& name, int dimension) {
  Property& p = defineEmpty(name, PropType::Pointer, dimension);
  p.pointers.assign(dimension == kVariable ? 0 : dimension, nullptr);
}

bool PropertySet::has(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mu_);
  return props_.count(name) != 0;
}

std::vector<std::string> PropertySet::names() const {
  std::lock_guard<std::mutex> lock(mu_);
  return order_;
}

void PropertySet::retireString(std::shared_ptr<const std::string> old) const {
  retired_.push_back(std::move(old));
  if (retired_.size() > kRetiredStrings) retired_.pop_front();
}

template <class T>
OfxStatus PropertySet::setValue(const char* name, int index, PropType type, T&& store) {
  std::lock_guard<std::mutex> lock(mu_);
  OfxStatus status;
  Property* found = const_cast<Property*>(lookup(name, type, &status));
  if (!found) return status;
  Property& p = *found;
  if (index < 0 || (p.dimension != kVariable && index >= p.dimension)) return kOfxStatErrBadIndex;
  if (static_cast<std::size_t>(index) >= p.size()) p.resize(index + 1);
  store(p);
  return kOfxStatOK;
}

OfxStatus PropertySet::set(const char* name, int index, void* value) {
  return setValue(name, index, PropType::Pointer, [&](Property& p) { p.pointers[index] = value; });
}

OfxStatus PropertySet::set(const char* name, int index, const char* value) {
  if (!value) return kOfxStatErrValue;
  auto text = std::make_shared<const std::string>(value);
  return setValue(name, index, PropType::String, [&](Property& p) {
    retireString(std::move(p.strings[index]));
    p.strings[index] = std::move(text);
  });
}

OfxStatus PropertySet::set(const char* name, int index, double value) {
  return setValue(name, index, PropType::Double, [&](Property& p) { p.doubles[index] = value; });
}

OfxStatus PropertySet::set(const char* name, int index, int value) {
  return setValue(name, index, PropType::Int, [&](Property& p) { p.ints[index] = value; });
}

const PropertySet::Property* PropertySet::lookup(const char* name, PropType type, OfxStatus* status) const {
  if (!name) {
    *status = kOfxStatErrUnknown;
    return nullptr;
  }
  auto it = props_.find(name);
  if (it == props_.end()) {
    *status = kOfxStatErrUnknown;
    return nullptr;
  }
  if (it->second.type != type) {
    *status = kOfxStatErrValue;
    return nullptr;
  }
  *status = kOfxStatOK;
  return &it->second;
}

// One value of a property of the given type, read with `read` once the
// index is known to be within `values`.
template <class Values, class Read>
OfxStatus PropertySet::getValue(const char* name, int index, PropType type, Values Property::*values,
                                Read&& read) const {
  std::lock_guard<std::mutex> lock(mu_);
  OfxStatus status;
  const Property* p = lookup(name, type, &status);
  if (!p) return status;
  if (index < 0 || static_cast<std::size_t>(index) >= (p->*values).size()) return kOfxStatErrBadIndex;
  read(*p);
  return kOfxStatOK;
}

OfxStatus PropertySet::get(const char* name, int index, void** value) const {
  return getValue(name, index, PropType::Pointer, &Property::pointers,
                  [&](const Property& p) { *value = p.pointers[index]; });
}
OfxStatus PropertySet::get(const char* name, int index, const char** value) const {
  return getValue(name, index, PropType::String, &Property::strings,
                  [&](const Property& p) { *value = p.strings[index]->c_str(); });
}
OfxStatus PropertySet::get(const char* name, int index, double* value) const {
  return getValue(name, index, PropType::Double, &Property::doubles,
                  [&](const Property& p) { *value = p.doubles[index]; });
}
OfxStatus PropertySet::get(const char* name, int index, int* value) const {
  return getValue(name, index, PropType::Int, &Property::ints, [&](const Property& p) { *value = p.ints[index]; });
}

OfxStatus PropertySet::reset(const char* name) {
  if (!name) return kOfxStatErrUnknown;
  std::lock_guard<std::mutex> lock(mu_);
  auto it = props_.find(name);
  if (it == props_.end()) return kOfxStatErrUnknown;
  Property& p = it->second;
  for (auto& s : p.strings) retireString(std::move(s));
  p.strings = p.defaultStrings;
  p.ints = p.defaultInts;
  p.doubles = p.defaultDoubles;
  if (p.type == PropType::Pointer) p.pointers.assign(p.dimension, nullptr);
  return kOfxStatOK;
}

OfxStatus PropertySet::prepareCount(const char* name, PropType type, int count) {
  std::lock_guard<std::mutex> lock(mu_);
  OfxStatus status;
  Property* found = const_cast<Property*>(lookup(name, type, &status));
  if (!found) return status;
  Property& p = *found;
  if (count < 0 || (p.dimension != kVariable && count > p.dimension)) return kOfxStatErrBadIndex;
  if (p.dimension == kVariable) {
    if (p.type == PropType::String)
      for (std::size_t i = count; i < p.strings.size(); ++i) retireString(p.strings[i]);
    p.resize(count);
  }
  return kOfxStatOK;
}

OfxStatus PropertySet::dimension(const char* name, int* count) const {
  if (!name) return kOfxStatErrUnknown;
  std::lock_guard<std::mutex> lock(mu_);
  auto it = props_.find(name);
  if (it == props_.end()) return kOfxStatErrUnknown;
  *count = static_cast<int>(it->second.size());
  return kOfxStatOK;
}

namespace {
void check(OfxStatus status, const std::string& kind, const std::string& name) {
  if (status != kOfxStatOK) throw HostError("property " + name + " of " + kind + ": status " + std::to_string(status));
}
}  // namespace

namespace {
// Every value of a property, read one index at a time.
template <class T, class Get>
std::vector<T> allValues(const PropertySet& set, const std::string& name, Get get) {
  int n = 0;
  check(set.dimension(name.c_str(), &n), set.kind(), name);
  std::vector<T> out;
  for (int i = 0; i < n; ++i) out.push_back(get(i));
  return out;
}

// One value of the property, as get() gives it; throws when there is none.
template <class T>
T oneValue(const PropertySet& set, const std::string& name, int index) {
  T value{};
  check(set.get(name.c_str(), index, &value), set.kind(), name);
  return value;
}
}  // namespace

std::string PropertySet::getString(const std::string& name, int index) const {
  return oneValue<const char*>(*this, name, index);
}
int PropertySet::getInt(const std::string& name, int index) const { return oneValue<int>(*this, name, index); }
double PropertySet::getDouble(const std::string& name, int index) const {
  return oneValue<double>(*this, name, index);
}
void* PropertySet::getPointer(const std::string& name, int index) const {
  return oneValue<void*>(*this, name, index);
}

std::vector<std::string> PropertySet::getStrings(const std::string& name) const {
  return allValues<std::string>(*this, name, [&](int i) { return getString(name, i); });
}
std::vector<int> PropertySet::getInts(const std::string& name) const {
  return allValues<int>(*this, name, [&](int i) { return getInt(name, i); });
}
std::vector<double> PropertySet::getDoubles(const std::string& name) const {
  return allValues<double>(*this, name, [&](int i) { return getDouble(name, i); });
}

void PropertySet::setStrings(const std::string& name, const std::vector<std::string>& values) {
  for (std::size_t i = 0; i < values.size(); ++i)
    check(set(name.c_str(), static_cast<int>(i), values[i].c_str()), kind_, name);
}

void PropertySet::setInts(const std::string& name, const std::vector<int>& values) {
  for (std::size_t i = 0; i < values.size(); ++i) check(set(name.c_str(), static_cast<int>(i), values[i]), kind_, name);
}

void PropertySet::setDoubles(const std::string& name, const std::vector<double>& values) {
  for (std::size_t i = 0; i < values.size(); ++i) check(set(name.c_str(), static_cast<int>(i), values[i]), kind_, name);
}

void PropertySet::notePluginWrite(const char* name) {
  if (!name) return;
  std::lock_guard<std::mutex> lock(mu_);
  if (std::find(pluginWrites_.begin(), pluginWrites_.end(), name) == pluginWrites_.end())
    pluginWrites_.emplace_back(name);
}

std::vector<std::string> PropertySet::pluginWrites() const {
  std::lock_guard<std::mutex> lock(mu_);
  return pluginWrites_;
}

}  // namespace ofxhost

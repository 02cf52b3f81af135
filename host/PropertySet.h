#pragma once
// Property sets: named, typed, multi-dimensional values, as the property
// suite exposes them. A set knows its schema: the plug-in can only read and
// write the properties the API defines for that kind of object, with the
// defined type, and gets the API's error statuses otherwise.

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ofxCore.h"

namespace ofxhost {

enum class PropType { Pointer, String, Double, Int };

const char* propTypeName(PropType type);

class PropertySet {
 public:
  // dimension 0: variable (grows as values are set).
  static constexpr int kVariable = 0;

  explicit PropertySet(std::string kind);
  PropertySet(const PropertySet&) = delete;
  PropertySet& operator=(const PropertySet&) = delete;

  // Registers the set so the plug-in can name it; returns its handle.
  static std::shared_ptr<PropertySet> create(std::string kind);
  // A registered copy of this set's schema and values (not its handle).
  std::shared_ptr<PropertySet> clone(std::string kind) const;
  // Forgets the handle: later calls with it get kOfxStatErrBadHandle.
  void retire();
  OfxPropertySetHandle handle() const { return handle_; }
  const std::string& kind() const { return kind_; }

  // Schema, with default values (also the values after a reset).
  void defineString(const std::string& name, std::vector<std::string> values, int dimension = 1);
  void defineInt(const std::string& name, std::vector<int> values, int dimension = 1);
  void defineDouble(const std::string& name, std::vector<double> values, int dimension = 1);
  void definePointer(const std::string& name, int dimension = 1);
  bool has(const std::string& name) const;
  std::vector<std::string> names() const;

  // Access with the API's statuses: kOfxStatErrUnknown for an unknown name,
  // kOfxStatErrValue for the wrong type, kOfxStatErrBadIndex for an index
  // outside the dimension.
  OfxStatus set(const char* name, int index, void* value);
  OfxStatus set(const char* name, int index, const char* value);
  OfxStatus set(const char* name, int index, double value);
  OfxStatus set(const char* name, int index, int value);
  OfxStatus get(const char* name, int index, void** value) const;
  // The text stays valid while the next 64 string writes to this set happen.
  OfxStatus get(const char* name, int index, const char** value) const;
  OfxStatus get(const char* name, int index, double* value) const;
  OfxStatus get(const char* name, int index, int* value) const;
  OfxStatus reset(const char* name);
  // For the N-valued calls: a variable-dimension property takes exactly
  // count values; kOfxStatErrValue (and nothing changed) for the wrong type,
  // kOfxStatErrBadIndex when count exceeds a fixed dimension.
  OfxStatus prepareCount(const char* name, PropType type, int count);
  OfxStatus dimension(const char* name, int* count) const;

  // Conveniences for the host's own code; they throw HostError on misuse.
  std::string getString(const std::string& name, int index = 0) const;
  std::vector<std::string> getStrings(const std::string& name) const;
  int getInt(const std::string& name, int index = 0) const;
  std::vector<int> getInts(const std::string& name) const;
  double getDouble(const std::string& name, int index = 0) const;
  std::vector<double> getDoubles(const std::string& name) const;
  void* getPointer(const std::string& name, int index = 0) const;
  void setStrings(const std::string& name, const std::vector<std::string>& values);
  void setInts(const std::string& name, const std::vector<int>& values);
  void setDoubles(const std::string& name, const std::vector<double>& values);

  // The names the plug-in wrote through the property suite, in the order of
  // their first write: what a describe action declared, and in which order.
  void notePluginWrite(const char* name);
  std::vector<std::string> pluginWrites() const;

 private:
  struct Property {
    PropType type;
    int dimension;
    std::vector<std::shared_ptr<const std::string>> strings;
    std::vector<int> ints;
    std::vector<double> doubles;
    std::vector<void*> pointers;
    std::vector<std::shared_ptr<const std::string>> defaultStrings;
    std::vector<int> defaultInts;
    std::vector<double> defaultDoubles;
    std::size_t size() const;
    void resize(std::size_t n);
  };
  template <class T>
  OfxStatus setValue(const char* name, int index, PropType type, T&& store);
  template <class Values, class Read>
  OfxStatus getValue(const char* name, int index, PropType type, Values Property::*values, Read&& read) const;
  const Property* lookup(const char* name, PropType type, OfxStatus* status) const;
  Property& defineEmpty(const std::string& name, PropType type, int dimension);
  void retireString(std::shared_ptr<const std::string> old) const;

  std::string kind_;
  OfxPropertySetHandle handle_ = nullptr;
  mutable std::mutex mu_;
  std::map<std::string, Property> props_;
  std::vector<std::string> order_;
  std::vector<std::string> pluginWrites_;
  mutable std::deque<std::shared_ptr<const std::string>> retired_;
};

// Looks up a live property set by the handle the plug-in passes.
std::shared_ptr<PropertySet> findPropertySet(const void* handle);

}  // namespace ofxhost

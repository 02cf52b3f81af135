#include "Listing.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iomanip>
#include <sstream>

#include "Host.h"
#include "HostError.h"

namespace ofxhost {

namespace {

std::string quoted(const std::string& text) {
  std::ostringstream out;
  out << std::quoted(text);
  return out.str();
}

std::string number(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.17g", value);
  // Prefer the shortest text that reads back to the same value.
  for (int digits = 1; digits <= 17; ++digits) {
    char shorter[64];
    std::snprintf(shorter, sizeof shorter, "%.*g", digits, value);
    if (std::strtod(shorter, nullptr) == value) return shorter;
  }
  return buffer;
}

std::string joined(const std::vector<std::string>& items, const char* separator) {
  std::string out;
  for (std::size_t i = 0; i < items.size(); ++i) out += (i ? separator : "") + items[i];
  return out;
}

std::string describeParam(const Param& param) {
  const PropertySet& p = param.properties();
  std::ostringstream line;
  line << "    " << std::left << std::setw(14) << param.name() << " " << std::setw(8) << paramKindName(param.kind())
       << " label " << quoted(p.getString(kOfxPropLabel));
  switch (param.kind()) {
    case ParamKind::String:
      line << "  default " << quoted(p.getString(kOfxParamPropDefault));
      break;
    case ParamKind::Boolean:
    case ParamKind::Choice:
      line << "  default " << p.getInt(kOfxParamPropDefault);
      break;
    case ParamKind::Integer:
      line << "  default " << p.getInt(kOfxParamPropDefault) << "  min " << p.getInt(kOfxParamPropMin) << "  max "
           << p.getInt(kOfxParamPropMax);
      break;
    case ParamKind::Double:
      line << "  default " << number(p.getDouble(kOfxParamPropDefault)) << "  min "
           << number(p.getDouble(kOfxParamPropMin)) << "  max " << number(p.getDouble(kOfxParamPropMax));
      break;
    case ParamKind::PushButton:
      break;
  }
  if (param.kind() == ParamKind::Choice) {
    std::vector<std::string> options;
    for (const auto& o : p.getStrings(kOfxParamPropChoiceOption)) options.push_back(quoted(o));
    line << "  options " << joined(options, " | ");
  }
  std::string hint = p.getString(kOfxParamPropHint);
  if (!hint.empty()) line << "  hint " << quoted(hint);
  if (p.getInt(kOfxParamPropSecret)) line << "  hidden";
  if (!p.getInt(kOfxParamPropEnabled)) line << "  disabled";
  return line.str();
}

}  // namespace

std::string listPlugin(Plugin& plugin) {
  const PropertySet& d = plugin.descriptor().properties();
  std::vector<std::string> contexts = d.getStrings(kOfxImageEffectPropSupportedContexts);
  std::vector<std::string> hostContexts = plugin.host().properties().getStrings(kOfxImageEffectPropSupportedContexts);
  auto usable = std::find_first_of(contexts.begin(), contexts.end(), hostContexts.begin(), hostContexts.end());
  if (usable == contexts.end())
    throw HostError(plugin.bundle().binaryPath() + ": the effect supports no context this host offers (" +
                    joined(hostContexts, ", ") + ")");
  const EffectDescriptor& described = plugin.describeInContext(*usable);

  std::ostringstream out;
  void* overlay = d.getPointer(kOfxImageEffectPluginPropOverlayInteractV1);
  out << d.getString(kOfxPropLabel) << "\n"
      << "  identifier    " << plugin.identifier() << " " << plugin.record().pluginVersionMajor << "."
      << plugin.record().pluginVersionMinor << "\n"
      << "  binary        " << plugin.bundle().binaryPath() << "\n"
      << "  grouping      " << d.getString(kOfxImageEffectPluginPropGrouping) << "\n"
      << "  description   " << d.getString(kOfxPropPluginDescription) << "\n"
      << "  contexts      " << joined(contexts, ", ") << "\n"
      << "  pixel depths  " << joined(d.getStrings(kOfxImageEffectPropSupportedPixelDepths), ", ") << "\n"
      << "  threading     " << d.getString(kOfxImageEffectPluginRenderThreadSafety)
      << (d.getInt(kOfxImageEffectPluginPropHostFrameThreading) ? ", host frame threading" : "") << "\n"
      << "  overlay       " << (overlay ? "yes" : "no") << "\n"
      << "  clips (" << *usable << ")\n";
  for (const auto& clip : described.clips())
    out << "    " << std::left << std::setw(14) << clip->name() << " components "
        << joined(clip->properties().getStrings(kOfxImageEffectPropSupportedComponents), ", ") << "\n";
  out << "  parameters\n";
  for (const auto& param : described.paramDefinitions()->params()) out << describeParam(*param) << "\n";
  return out.str();
}

}  // namespace ofxhost

// prismhollow describe: what a host lists of a plug-in bundle.

#include <cstdio>
#include <exception>

#include "Host.h"
#include "Listing.h"
#include "commands.h"

int describeCommand(const std::vector<std::string>& args) {
  if (args.size() > 1) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::vector<std::string> bundles = args.empty() ? ofxhost::findBundles() : args;
  if (bundles.empty()) {
    std::fputs("prismhollow: no plug-in bundles found in OFX_PLUGIN_PATH or /usr/OFX/Plugins\n", stderr);
    return 1;
  }
  int failures = 0;
  for (const auto& path : bundles) {
    try {
      ofxhost::Host host;
      ofxhost::Plugin& plugin = host.loadPlugin(path);
      std::fputs(ofxhost::listPlugin(plugin).c_str(), stdout);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "prismhollow: %s\n", e.what());
      ++failures;
    }
  }
  return failures ? 1 : 0;
}

// prismhollow: the command-line face of the headless host.

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "Bundle.h"
#include "Host.h"
#include "HostError.h"
#include "Listing.h"

namespace {

constexpr const char* kUsage =
    "usage: prismhollow describe [BUNDLE]\n"
    "  describe   load the plug-in bundle (a NAME.ofx.bundle folder or .ofx file; by default\n"
    "             every bundle in OFX_PLUGIN_PATH and /usr/OFX/Plugins) and list what a host\n"
    "             shows of it: label, contexts, pixel depths, clips and parameters\n";

int describe(const std::vector<std::string>& args) {
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

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "-h" || args[0] == "--help") {
    std::fputs(kUsage, args.empty() ? stderr : stdout);
    return args.empty() ? 2 : 0;
  }
  if (args[0] == "describe") return describe({args.begin() + 1, args.end()});
  std::fprintf(stderr, "prismhollow: unknown command \"%s\"\n%s", args[0].c_str(), kUsage);
  return 2;
}

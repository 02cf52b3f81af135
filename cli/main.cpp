// prismhollow: the command-line face of the headless host.

#include <cstdio>

#include "commands.h"
#include "contract/version.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "-h" || args[0] == "--help") {
    std::fputs(kUsage, args.empty() ? stderr : stdout);
    return args.empty() ? 2 : 0;
  }
  if (args[0] == "--version") return std::printf("prismhollow %s\n", contract::kVersion), 0;
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (args[0] == "describe") return describeCommand(rest);
  if (args[0] == "overlay") return overlayCommand(rest);
  if (args[0] == "pull") return pullCommand(rest);
  std::fprintf(stderr, "prismhollow: unknown command \"%s\"\n%s", args[0].c_str(), kUsage);
  return 2;
}

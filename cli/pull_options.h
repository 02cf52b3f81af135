#pragma once
// What `prismhollow pull` was asked to do, read from its arguments.

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// Arguments that make no sense; the text says which and why.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A box in fractions of the frame, origin top-left, or in the clip's pixels,
// on the anchor frame or on the clip's frame `frame`.
struct Box {
  double x = 0, y = 0, w = 0, h = 0;
  bool pixels = false;
  std::optional<int> frame;
};

// A brush dab at a point (fractions, origin top-left); adds or excludes, on
// the anchor frame or, as a correction, on the clip's frame `frame`.
struct Dab {
  double x = 0, y = 0;
  bool exclude = false;
  std::optional<int> frame;
};

struct PullOptions {
  std::string clip;
  std::optional<Box> box;
  std::vector<Dab> dabs;
  double brushSize = 0.03;
  std::string hint;
  std::optional<int> anchor;                  // default: the range's first frame
  std::optional<std::pair<int, int>> frames;  // default: the whole file
  int quality = 0;                            // the choice: 0 fine, 1 fast
  double softness = 0.35;
  int output = 0;       // the choice: 0 rgba, 1 matte, 2 source
  std::string backend;  // empty: start a local backend
  std::string out;      // empty: CLIPNAME_matte in the current folder
  std::string bundle;   // empty: the standard plug-in folders
  bool isFloat = false;
  bool overwrite = false;  // replace another pull's results in `out`
  bool help = false;
};

// Throws UsageError.
PullOptions parsePullOptions(const std::vector<std::string>& args);

extern const char* const kPullUsage;

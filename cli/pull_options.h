#pragma once
// What `prismhollow pull` was asked to do, read from its arguments.

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "contract/selection.h"

// Arguments that make no sense; the text says which and why.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct PullOptions {
  std::string clip;
  // The marks, as the overlay is to draw them: in fractions of the frame,
  // origin top-left, their time the clip's frame they go on (the command's
  // host time is the frame number), none for the anchor frame.
  std::optional<contract::Box> box;
  bool boxInPixels = false;         // the box in the clip's pixels, until the clip's size is known
  std::vector<contract::Dab> dabs;  // r 1 adds, -1 excludes: the overlay paints them brushSize wide
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

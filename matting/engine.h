#pragma once
// The matting engine: one character's alpha matte through a whole clip, on
// the CPU. Frames are image files read as they are needed; one 8-bit grey
// PNG matte per frame is written, the size of that frame. No OpenFX and no
// HTTP here: the backend and the tools drive it through run().

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "contract/selection.h"

namespace matting {

// The selection, in fractions of the frame with the origin at its top-left
// corner: the contract's box and dabs (r > 0 adds, < 0 excludes, |r| a
// fraction of the frame's width), their times let be.
using contract::Box;
using contract::Dab;
struct Selection {
  std::optional<Box> box;
  std::vector<Dab> dabs;
  std::string hint;  // a text hint alone is not understood: run() refuses it
};

// Marks made on a frame other than the anchor's, where the matte went wrong.
// With a box that frame is segmented afresh (box and dabs as for the
// anchor); with dabs alone they correct the mask the track brought there,
// or, in a shot the track does not reach, start it from the adding dabs.
// Either way the track is re-seeded from that frame in both directions.
struct Correction {
  int frame = 0;
  Selection selection;
};

enum class Quality { Fine, Fast };

struct Job {
  std::vector<std::string> frames;  // the clip's image files (JPEG or PNG), in order
  std::string outputDir;            // matte i is written to outputDir/contract::frame_name(i, ".png")
  int anchor = 0;                   // index of the frame the selection was made on
  Selection selection;
  std::vector<Correction> corrections;  // each on its own frame; one on the anchor's adds to the selection
  Quality quality = Quality::Fine;
  double edgeSoftness = 0.5;  // 0 gives a hard edge, 1 the softest
  // A folder kept between jobs on the same frames: what this job segments
  // and tracks is kept there, and what an earlier job kept is taken rather
  // than done again. Empty: nothing kept. Empty it when the frames change.
  std::string memoDir;
};

// What the job is doing: a stage text for a person ("tracking forward
// 120/400"), the frames done of the frames that stage handles, and the
// share of the whole job done (0 to 1, never going back).
struct Progress {
  std::string stage;
  int frame = 0;
  int frames = 0;
  double job = 0;
};

// Wall time spent in each stage, in seconds, summed over the job.
struct StageTimes {
  double cuts = 0;    // finding the shots
  double decode = 0;  // reading frames
  double anchor = 0;  // segmenting the anchor frame
  double track = 0;   // optical flow and the banded cut
  double alpha = 0;   // soft edges at full size
  double encode = 0;  // writing the PNG mattes
};

struct Summary {
  int frames = 0;     // mattes written
  int shotFirst = 0;  // the anchor's shot: its first and last frame
  int shotLast = 0;
  int emptyFrames = 0;    // left fully transparent (other shots, a lost track)
  int lostFrames = 0;     // of those, where the track was lost
  int recalledFrames = 0;  // tracked frames taken from the memo, not tracked again
  std::vector<int> cuts;  // a cut stands before each of these frames
  std::string note;       // for a person: what was left empty and why
  StageTimes seconds;
};

// A job that cannot run or stops: the message names the frame or the
// selection at fault and is meant for the user.
struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// Thrown when cancelled() answered true; the mattes written so far stay.
struct Cancelled : Error {
  Cancelled() : Error("cancelled") {}
};

using ProgressFn = std::function<void(const Progress&)>;
using CancelFn = std::function<bool()>;

// Runs the job. progress is called from the calling thread; cancelled is
// asked between frames. Throws Error (bad selection, unreadable frame,
// unwritable matte) or Cancelled.
Summary run(const Job& job, const ProgressFn& progress = {}, const CancelFn& cancelled = {});

}  // namespace matting

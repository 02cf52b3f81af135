// matting_eval eval CLIPDIR [--quality fine|fast|both] [--softness S]
//   Runs the engine on a clip written by eval_clip and prints how its mattes
//   compare with the truth, what each stage cost, and the peak memory.
// matting_eval sheet CLIP (--box X,Y,W,H | --box-px X,Y,W,H) --anchor N
//   [--frames FIRST:LAST] [--quality fine|fast] [--softness S]
//   [--dab X,Y,R ...] [--masks DIR] --out SHEET.png
//   Runs the engine on a video file or a folder of images (in the order of
//   their names) and draws a contact sheet of the anchor's shot. Frame
//   numbers are the clip's; box and dabs are fractions of the frame. With
//   --masks, each frame's matte is also written to DIR/NNNNNN.png (created
//   if need be, files of those names replaced).
// matting_eval length CLIPDIR --frames N [--quality fine|fast]
// matting_eval length SETDIR --frames N [--run NAME] [--size WxH] [--quality fine|fast]
//   Runs the engine on N frames that play the character's shot back and
//   forth (files repeat, no cut), to show that time per frame and peak
//   memory do not grow with the clip's length: the shot of a clip written
//   by eval_clip, or a run of a real-footage set (its first unless named),
//   its frames scaled to WxH if given (1920x1080: real footage at 1080p).
// matting_eval devset SETDIR [--quality fine|fast|both] [--softness S] [--out DIR] [--full DIR]
//                     [--jitter N] [--anchors N] [--grain N]
//   Runs each run of a real-footage set traced by hand (bench/devset/) and
//   scores every traced frame: IoU, F@2px, MAD, and dtSSD over traced
//   neighbours, per frame and per run; a sheet per run in DIR (/tmp/devset)
//   shows the truth's edge and the matte's on each traced frame; --full
//   writes each traced frame so at full size (RUN_FRAME_QUALITY.png), and
//   its matte. --jitter N runs each run from a box alone N times more, its
//   box drawn again a little differently each time (each side moved by up
//   to 2 % of the frame, the same draws every time), as a hand would: a
//   result that holds only for the set's own boxes is luck. --anchors N
//   runs each of them again from its own box drawn on every Nth frame of
//   its shot instead: the frame a hand picks decides as much. --grain N
//   runs each of them again N times from its own box on its own frame, a
//   level of grain (seeded) added to every frame before it is staged, far
//   less than a camera leaves: a cut balanced on a knife edge between two
//   answers shows there.

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <opencv2/videoio.hpp>
#include <random>
#include <sstream>

#include "bench/devset.h"
#include "bench/eval_common.h"
#include "bench/run_folder.h"
#include "matting/engine.h"

namespace fs = std::filesystem;

namespace {

// ---- running the engine ----------------------------------------------------

// One line per stage, and one each tenth of the stage's frames.
matting::ProgressFn progressLog() {
  auto last = std::make_shared<std::pair<std::string, int>>();
  return [last](const matting::Progress& p) {
    std::string kind;
    for (char c : p.stage)
      if (!std::isdigit(static_cast<unsigned char>(c)) && c != '/') kind += c;
    const int tenth = p.frames > 0 ? p.frame * 10 / p.frames : 0;
    if (kind == last->first && tenth <= last->second) return;
    *last = {kind, tenth};
    std::cerr << "  " << p.stage << " (" << 10 * tenth << "%)\n";
  };
}

// The process's peak resident set (VmHWM), in MiB.
double peakRssMiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1024;
  return 0;
}

struct Run {
  matting::Summary summary;
  double wallSeconds = 0;
  double peakMiB = 0;
  bool peakIsOwn = false;  // false: the peak since the process started
};

Run runEngine(const matting::Job& job) {
  Run r;
  // Linux resets VmHWM on "5", so that each run's peak is its own.
  std::ofstream reset("/proc/self/clear_refs");
  r.peakIsOwn = static_cast<bool>(reset << "5" << std::flush);
  std::fflush(stdout);  // what was printed before the progress lines stays before them
  const auto start = std::chrono::steady_clock::now();
  r.summary = matting::run(job, progressLog());
  r.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.peakMiB = peakRssMiB();
  return r;
}

// Frame numbers in what is printed are the clip's: offset + engine index.
void printSummary(const Run& r, int offset) {
  const matting::Summary& s = r.summary;
  const double n = std::max(1, s.frames);
  std::printf("  %s\n  mattes %d, anchor's shot %d..%d, empty %d (track lost %d), cuts before:", s.note.c_str(),
              s.frames, s.shotFirst + offset, s.shotLast + offset, s.emptyFrames, s.lostFrames);
  for (int c : s.cuts) std::printf(" %d", c + offset);
  const matting::StageTimes& t = s.seconds;
  std::printf("\n  ms/frame: cuts %.1f, decode %.1f, anchor %.1f, track %.1f, alpha %.1f, encode %.1f; wall %.1f\n",
              1e3 * t.cuts / n, 1e3 * t.decode / n, 1e3 * t.anchor / n, 1e3 * t.track / n, 1e3 * t.alpha / n,
              1e3 * t.encode / n, 1e3 * r.wallSeconds / n);
  std::printf("  peak RSS of the whole process %s: %.0f MiB\n", r.peakIsOwn ? "during the run" : "since it started",
              r.peakMiB);
}

// The contact sheet of the anchor's shot; the selection drawn on the anchor.
void writeSheet(const std::string& out, const std::vector<std::string>& frames, const std::string& matteDir,
                const matting::Job& job, const matting::Summary& s, int offset) {
  std::vector<eval::SheetFrame> shown;
  for (int i : eval::evenlySpaced(s.shotFirst, s.shotLast, 10, job.anchor)) {
    eval::SheetFrame f{frames.at(i), eval::numbered(matteDir, i, "png"), "frame " + std::to_string(i + offset), {}, {}};
    if (i == job.anchor) {
      if (const auto& b = job.selection.box) f.boxes.emplace_back(b->x, b->y, b->w, b->h);
      for (const matting::Dab& d : job.selection.dabs) f.dabs.emplace_back(d.x, d.y, d.r);
    }
    shown.push_back(f);
  }
  if (!cv::imwrite(out, eval::contactSheet(shown))) throw std::runtime_error("cannot write " + out);
  std::printf("  contact sheet: %s\n", out.c_str());
}

// ---- scores against the truth ----------------------------------------------

cv::Mat boundary(const cv::Mat& mask) {
  cv::Mat inner;
  cv::erode(mask, inner, cv::Mat());
  return mask & ~inner;
}

// Boundary F-measure: boundary pixels matched within tolerance pixels.
double boundaryF(const cv::Mat& pred, const cv::Mat& truth, int tolerance) {
  const cv::Mat bp = boundary(pred), bt = boundary(truth);
  const int np = cv::countNonZero(bp), nt = cv::countNonZero(bt);
  if (np == 0 || nt == 0) return np == nt ? 1 : 0;
  const cv::Mat disk = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * tolerance + 1, 2 * tolerance + 1));
  cv::Mat near_t, near_p;
  cv::dilate(bt, near_t, disk);
  cv::dilate(bp, near_p, disk);
  const double precision = double(cv::countNonZero(bp & near_t)) / np;
  const double recall = double(cv::countNonZero(bt & near_p)) / nt;
  return precision + recall > 0 ? 2 * precision * recall / (precision + recall) : 0;
}

struct Scores {
  double iou = 0, mad = 0, boundaryF = 0, dtssd = 0;
  double missed = 0, extra = 0;  // of the truth's area: left out, taken in besides
  int emptyAfterCut = 0, framesAfterCut = 0;
};

// IoU and F of the mattes cut at half, MAD of the alphas (0..1).
Scores frameScores(const cv::Mat& pred, const cv::Mat& truth) {
  if (pred.size() != truth.size()) throw std::runtime_error("a matte is not the size of its frame");
  const cv::Mat p = pred > 127, t = truth > 127;
  const int uni = cv::countNonZero(p | t);
  Scores s;
  s.iou = uni == 0 ? 1 : double(cv::countNonZero(p & t)) / uni;
  s.mad = cv::mean(cv::abs(cv::Mat_<float>(pred) - cv::Mat_<float>(truth)))[0] / 255;
  s.boundaryF = boundaryF(p, t, 2);
  const double area = std::max(1, cv::countNonZero(t));
  s.missed = cv::countNonZero(t & ~p) / area;
  s.extra = cv::countNonZero(p & ~t) / area;
  return s;
}

// dtSSD of two neighbouring frames: how much the matte's change from one
// to the next differs from the truth's.
double dtssd(const cv::Mat& pred0, const cv::Mat& pred1, const cv::Mat& truth0, const cv::Mat& truth1) {
  cv::Mat p0, p1, t0, t1;
  pred0.convertTo(p0, CV_32F, 1.0 / 255), pred1.convertTo(p1, CV_32F, 1.0 / 255);
  truth0.convertTo(t0, CV_32F, 1.0 / 255), truth1.convertTo(t1, CV_32F, 1.0 / 255);
  const cv::Mat d = (p1 - p0) - (t1 - t0);
  return std::sqrt(cv::mean(d.mul(d))[0]);
}

// IoU, MAD, F and dtSSD over the character's shot [0, cut); empty frames after.
Scores score(const std::string& clip, const std::string& mattes, int frames, int cut) {
  Scores s;
  cv::Mat prevPred, prevTruth;
  for (int i = 0; i < cut; ++i) {
    const cv::Mat pred = eval::readGrey(eval::numbered(mattes, i, "png"));
    const cv::Mat truth = eval::readGrey(eval::numbered(clip + "/truth", i, "png"));
    const Scores f = frameScores(pred, truth);
    s.iou += f.iou, s.mad += f.mad, s.boundaryF += f.boundaryF;
    if (i > 0) s.dtssd += dtssd(prevPred, pred, prevTruth, truth);
    prevPred = pred, prevTruth = truth;
  }
  s.iou /= cut, s.mad /= cut, s.boundaryF /= cut;
  s.dtssd /= std::max(1, cut - 1);
  for (int i = cut; i < frames; ++i, ++s.framesAfterCut)
    s.emptyAfterCut += cv::countNonZero(eval::readGrey(eval::numbered(mattes, i, "png"))) == 0;
  return s;
}

// ---- arguments -------------------------------------------------------------

std::vector<double> numbers(const std::string& text, size_t count, const char* what) {
  std::vector<double> v;
  std::stringstream in(text);
  for (std::string item; std::getline(in, item, ',');) v.push_back(std::atof(item.c_str()));
  if (v.size() != count)
    throw std::invalid_argument(std::string(what) + " wants " + std::to_string(count) + " numbers");
  return v;
}

matting::Quality quality(const std::string& name) {
  if (name == "fine") return matting::Quality::Fine;
  if (name == "fast") return matting::Quality::Fast;
  throw std::invalid_argument("quality is fine or fast, not " + name);
}

// Options after the positional argument: repeated ones keep every value.
std::multimap<std::string, std::string> options(int argc, char** argv, int from) {
  std::multimap<std::string, std::string> o;
  for (int i = from; i < argc; i += 2) {
    if (i + 1 >= argc || std::string(argv[i]).rfind("--", 0) != 0)
      throw std::invalid_argument(std::string("expected --option value at ") + argv[i]);
    o.emplace(argv[i] + 2, argv[i + 1]);
  }
  return o;
}

std::string option(const std::multimap<std::string, std::string>& o, const std::string& key, const std::string& dflt) {
  auto it = o.find(key);
  return it == o.end() ? dflt : it->second;
}

// ---- the two commands --------------------------------------------------------

int evalCommand(const std::string& clip, const std::multimap<std::string, std::string>& o) {
  std::ifstream in(clip + "/clip.json");
  if (!in) throw std::runtime_error("cannot read " + clip + "/clip.json");
  const nlohmann::json meta = nlohmann::json::parse(in);
  const int frames = meta["frames"], cut = meta["cut"];
  matting::Job job;
  for (int i = 0; i < frames; ++i) job.frames.push_back(eval::numbered(clip, i, "jpg"));
  job.anchor = meta["anchor"];
  job.selection.box = matting::Box{meta["box"]["x"], meta["box"]["y"], meta["box"]["w"], meta["box"]["h"]};
  job.edgeSoftness = std::atof(option(o, "softness", "0.5").c_str());
  const std::string which = option(o, "quality", "both");
  const std::vector<std::string> qualities =
      which == "both" ? std::vector<std::string>{"fine", "fast"} : std::vector<std::string>{which};

  std::vector<std::pair<Run, Scores>> rows;
  for (const std::string& q : qualities) {
    job.quality = quality(q);
    job.outputDir = clip + "/out_" + q;
    fs::create_directories(job.outputDir);
    std::printf("%s:\n", q.c_str());
    const Run r = runEngine(job);
    printSummary(r, 0);
    writeSheet(clip + "/sheet_" + q + ".png", job.frames, job.outputDir, job, r.summary, 0);
    rows.emplace_back(r, score(clip, job.outputDir, frames, cut));
  }

  std::printf("\n%d frames: the character in 0..%d (scored there), absent in %d..%d; alpha on a 0..1 scale\n", frames,
              cut - 1, cut, frames - 1);
  std::printf("quality   IoU    empty after cut   MAD     F@2px   dtSSD\n");
  for (size_t k = 0; k < rows.size(); ++k) {
    const Scores& s = rows[k].second;
    std::printf("%-7s   %.3f  %3d of %-3d        %.4f  %.3f   %.4f\n", qualities[k].c_str(), s.iou, s.emptyAfterCut,
                s.framesAfterCut, s.mad, s.boundaryF, s.dtssd);
  }
  std::printf(
      "\nquality   ms per frame: cuts  decode  anchor  track  alpha  encode   wall   peak RSS, whole process\n");
  for (size_t k = 0; k < rows.size(); ++k) {
    const Run& r = rows[k].first;
    const matting::StageTimes& t = r.summary.seconds;
    const double n = std::max(1, r.summary.frames) / 1e3;
    std::printf("%-7s                 %5.1f  %6.1f  %6.1f  %5.1f  %5.1f  %6.1f  %5.1f   %.0f MiB%s\n",
                qualities[k].c_str(), t.cuts / n, t.decode / n, t.anchor / n, t.track / n, t.alpha / n, t.encode / n,
                r.wallSeconds / n, r.peakMiB, r.peakIsOwn ? "" : " (since start)");
  }
  return 0;
}

std::vector<std::string> stage(const std::string& clip, int first, int last, const std::string& dir, cv::Size size = {},
                               int grain = 0);

int lengthCommand(const std::string& clip, const std::multimap<std::string, std::string>& o) {
  const int frames = std::atoi(option(o, "frames", "0").c_str());
  if (frames < 1) throw std::invalid_argument("length needs --frames N (at least 1)");
  const bench::RunFolder temp("matting_eval");
  matting::Job job;
  std::vector<std::string> shot;  // the character's shot, played back and forth
  if (fs::exists(clip + "/set.json")) {
    // A run of a real-footage set, its frames scaled to --size if given.
    const devset::Traces set = devset::loadSet(clip);
    const std::string name = option(o, "run", set.runs.at(0).name);
    const auto run =
        std::find_if(set.runs.begin(), set.runs.end(), [&](const devset::Run& r) { return r.name == name; });
    if (run == set.runs.end()) throw std::invalid_argument("no run \"" + name + "\" in " + clip);
    cv::Size size;
    if (o.count("size") && std::sscanf(option(o, "size", "").c_str(), "%dx%d", &size.width, &size.height) != 2)
      throw std::invalid_argument("--size is WIDTHxHEIGHT");
    const cv::VideoCapture video(set.clip);
    const double w = video.get(cv::CAP_PROP_FRAME_WIDTH), h = video.get(cv::CAP_PROP_FRAME_HEIGHT);
    if (w <= 0 || h <= 0) throw std::runtime_error("cannot read " + set.clip);
    shot = stage(set.clip, run->first, run->last, temp.path().string(), size);
    job.anchor = run->anchor - run->first;
    job.selection.box = matting::Box{run->box.x / w, run->box.y / h, run->box.width / w, run->box.height / h};
  } else {
    const nlohmann::json meta = devset::readJson(clip + "/clip.json");
    for (int i = 0; i < meta["cut"].get<int>(); ++i) shot.push_back(eval::numbered(clip, i, "jpg"));
    job.anchor = meta["anchor"];
    job.selection.box = matting::Box{meta["box"]["x"], meta["box"]["y"], meta["box"]["w"], meta["box"]["h"]};
  }
  const int cut = static_cast<int>(shot.size());
  if (cut < 2) throw std::invalid_argument("length needs a shot of two frames at least");
  const int period = 2 * cut - 2;
  for (int i = 0; i < frames; ++i) job.frames.push_back(shot[i % period < cut ? i % period : period - i % period]);
  job.anchor = std::min(job.anchor, frames - 1);
  job.quality = quality(option(o, "quality", "fast"));
  job.outputDir = temp.path().string() + "/mattes";
  fs::create_directories(job.outputDir);
  std::printf("%d frames of %s (%s):\n", frames, clip.c_str(), option(o, "quality", "fast").c_str());
  printSummary(runEngine(job), 0);
  return 0;
}

// Frames FIRST..LAST of a video file or a folder of images, staged as JPEG.
// Scaled to `size` when it is given; with a `grain` seed, each pixel's
// levels moved by -1, 0 or +1 first.
std::vector<std::string> stage(const std::string& clip, int first, int last, const std::string& dir, cv::Size size,
                               int grain) {
  std::vector<std::string> staged;
  cv::Mat scaled, noise;
  cv::RNG levels(grain);
  auto keep = [&](const cv::Mat& f) {
    staged.push_back(eval::numbered(dir, static_cast<int>(staged.size()), "jpg"));
    if (!size.empty())
      cv::resize(f, scaled, size, 0, 0, cv::INTER_CUBIC);
    else
      f.copyTo(scaled);
    if (grain != 0) {
      noise.create(scaled.size(), CV_16SC3);
      levels.fill(noise, cv::RNG::UNIFORM, -1, 2);
      cv::add(scaled, noise, scaled, cv::noArray(), CV_8U);
    }
    eval::writeJpeg(staged.back(), scaled);
  };
  if (fs::is_directory(clip)) {
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(clip)) {
      std::string ext = e.path().extension().string();
      for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (ext == ".jpg" || ext == ".jpeg" || ext == ".png" || ext == ".bmp" || ext == ".tif" || ext == ".tiff")
        files.push_back(e.path().string());
    }
    std::sort(files.begin(), files.end());
    for (int i = first; i < static_cast<int>(files.size()) && (last < 0 || i <= last); ++i)
      keep(eval::readImage(files[i], cv::IMREAD_COLOR));
  } else {
    cv::VideoCapture in(clip);
    if (!in.isOpened()) throw std::runtime_error("cannot open " + clip);
    cv::Mat f;
    for (int i = 0; (last < 0 || i <= last) && in.read(f); ++i)
      if (i >= first) keep(f);
  }
  if (staged.empty()) throw std::runtime_error("no frames in " + clip + " from " + std::to_string(first));
  return staged;
}

int sheetCommand(const std::string& clip, const std::multimap<std::string, std::string>& o) {
  const std::string out = option(o, "out", "");
  if (out.empty() || !o.count("anchor") || o.count("box") + o.count("box-px") != 1)
    throw std::invalid_argument("sheet needs --out, --anchor and one of --box or --box-px");
  int first = 0, last = -1;
  if (o.count("frames") && std::sscanf(option(o, "frames", "").c_str(), "%d:%d", &first, &last) != 2)
    throw std::invalid_argument("--frames is FIRST:LAST");

  const bench::RunFolder temp("matting_eval");
  const std::string tmp = temp.path().string();

  matting::Job job;
  job.frames = stage(clip, first, last, tmp);
  job.outputDir = tmp + "/mattes";
  fs::create_directories(job.outputDir);
  job.anchor = std::atoi(option(o, "anchor", "").c_str()) - first;
  if (job.anchor < 0 || job.anchor >= static_cast<int>(job.frames.size()))
    throw std::invalid_argument("--anchor is not among the frames staged");
  job.quality = quality(option(o, "quality", "fine"));
  job.edgeSoftness = std::atof(option(o, "softness", "0.5").c_str());
  if (o.count("box")) {
    const auto b = numbers(option(o, "box", ""), 4, "--box");
    job.selection.box = matting::Box{b[0], b[1], b[2], b[3]};
  } else {
    const cv::Size size = eval::readImage(job.frames[0], cv::IMREAD_COLOR).size();
    const auto b = numbers(option(o, "box-px", ""), 4, "--box-px");
    job.selection.box = matting::Box{b[0] / size.width, b[1] / size.height, b[2] / size.width, b[3] / size.height};
  }
  for (auto [it, end] = o.equal_range("dab"); it != end; ++it) {
    const auto d = numbers(it->second, 3, "--dab");
    job.selection.dabs.push_back({d[0], d[1], d[2]});
  }

  std::printf("%s, frames %d..%d, anchor %d:\n", clip.c_str(), first, first + static_cast<int>(job.frames.size()) - 1,
              job.anchor + first);
  const Run r = runEngine(job);
  printSummary(r, first);
  writeSheet(out, job.frames, job.outputDir, job, r.summary, first);
  if (o.count("masks")) {
    const std::string masks = option(o, "masks", "");
    fs::create_directories(masks);
    for (int i = 0; i < static_cast<int>(job.frames.size()); ++i)
      fs::copy_file(eval::numbered(job.outputDir, i, "png"), eval::numbered(masks, i + first, "png"),
                    fs::copy_options::overwrite_existing);
  }
  return 0;
}

// The traced frames beside their mattes, up to six a band: the frame with
// the truth's edge in green and the matte's in red, then the matte over a
// checkerboard.
struct Shown {
  int frame;
  cv::Mat bgr, truth, matte;
};
// The frame with the truth's edge in green and the matte's in red, thick
// for a picture shown halved.
cv::Mat edgesPicture(const Shown& s, bool thick) {
  cv::Mat edges = s.bgr.clone(), truthEdge, matteEdge;
  cv::Canny(s.truth > 127, truthEdge, 64, 192);
  cv::Canny(s.matte > 127, matteEdge, 64, 192);
  if (thick) cv::dilate(truthEdge, truthEdge, cv::Mat()), cv::dilate(matteEdge, matteEdge, cv::Mat());
  edges.setTo(cv::Scalar(0, 255, 0), truthEdge);
  edges.setTo(cv::Scalar(0, 0, 255), matteEdge);
  return edges;
}

cv::Mat devsetSheet(const std::vector<Shown>& shown) {
  const int columns = std::min<int>(6, int(shown.size())), bands = (int(shown.size()) + columns - 1) / columns;
  const cv::Size full = shown.at(0).bgr.size(), tile(full.width / 2, full.height / 2);
  const int gap = 4, bandGap = 16, bandHeight = 2 * (tile.height + gap) + bandGap;
  cv::Mat sheet(bands * bandHeight - bandGap, columns * (tile.width + gap) - gap, CV_8UC3, cv::Scalar(30, 30, 30));
  for (size_t i = 0; i < shown.size(); ++i) {
    const Shown& s = shown[i];
    const cv::Mat rows[2] = {edgesPicture(s, true), eval::overCheckerboard(s.bgr, s.matte)};
    const int col = int(i) % columns, band = int(i) / columns;
    for (int r = 0; r < 2; ++r) {
      cv::Mat roi = sheet(
          cv::Rect(col * (tile.width + gap), band * bandHeight + r * (tile.height + gap), tile.width, tile.height));
      cv::resize(rows[r], roi, tile, 0, 0, cv::INTER_AREA);
      const std::string label = "frame " + std::to_string(s.frame);
      cv::putText(roi, label, {6, 22}, cv::FONT_HERSHEY_SIMPLEX, 0.6, cv::Scalar(0, 0, 0), 3, cv::LINE_AA);
      cv::putText(roi, label, {6, 22}, cv::FONT_HERSHEY_SIMPLEX, 0.6, cv::Scalar(255, 255, 255), 1, cv::LINE_AA);
    }
  }
  return sheet;
}

int devsetCommand(const std::string& dir, const std::multimap<std::string, std::string>& o) {
  const devset::Traces set = devset::loadSet(dir);
  const std::string which = option(o, "quality", "fine"), out = option(o, "out", "/tmp/devset");
  const std::vector<std::string> qualities =
      which == "both" ? std::vector<std::string>{"fine", "fast"} : std::vector<std::string>{which};
  fs::create_directories(out);
  const bench::RunFolder temp("matting_eval");

  // The runs, and those of a box drawn again: each side moved by `nudge`
  // (left, top, right, bottom, fractions of the frame), or drawn on
  // another frame.
  struct Planned {
    devset::Run run;
    std::string redrawnOf, how;
    cv::Vec4d nudge;
    int grain = 0;
  };
  std::vector<Planned> plan;
  const char* const kRedrawn = "boxes drawn again";
  const char* const kElsewhere = "anchored elsewhere";
  const char* const kGrain = "grain added";
  const int redraws = std::atoi(option(o, "jitter", "0").c_str());
  const int anchorStep = std::atoi(option(o, "anchors", "0").c_str());
  if (anchorStep < 0) throw std::invalid_argument("--anchors is a number of frames");
  const int grains = std::atoi(option(o, "grain", "0").c_str());
  std::mt19937 draws(20261209);
  std::uniform_real_distribution<double> nudge(-0.02, 0.02);
  for (const devset::Run& run : set.runs) {
    plan.push_back({run, "", "", {}});
    if (!run.dabs.empty() || !run.corrections.empty()) continue;
    for (int k = 1; k <= redraws; ++k) {
      Planned redrawn{run, run.name, kRedrawn, {nudge(draws), nudge(draws), nudge(draws), nudge(draws)}};
      redrawn.run.name += " ~" + std::to_string(k);
      plan.push_back(redrawn);
    }
    for (int a = run.first; anchorStep > 0 && a <= run.last; a += anchorStep) {
      if (a == run.anchor) continue;
      Planned elsewhere{run, run.name, kElsewhere, {}};
      elsewhere.run.anchor = a;
      elsewhere.run.name += " @" + std::to_string(a);
      plan.push_back(elsewhere);
    }
    for (int k = 1; k <= grains; ++k) {
      Planned grained{run, run.name, kGrain, {}, k};
      grained.run.name += " +" + std::to_string(k);
      plan.push_back(grained);
    }
  }

  struct Row {
    std::string quality, run, redrawnOf, how;
    int frames = 0, worst = -1;
    Scores mean;
    double worstIou = 2, msPerFrame = 0;
    int pairs = 0;
  };
  std::vector<Row> rows;
  for (const std::string& q : qualities) {
    for (const Planned& planned : plan) {
      const devset::Run& run = planned.run;
      const std::string staged = temp.path().string() + "/" + std::to_string(run.first);
      fs::remove_all(staged);
      fs::create_directories(staged + "/mattes");
      matting::Job job;
      job.frames = stage(set.clip, run.first, run.last, staged, {}, planned.grain);
      job.outputDir = staged + "/mattes";
      job.anchor = run.anchor - run.first;
      job.quality = quality(q);
      job.edgeSoftness = std::atof(option(o, "softness", "0.5").c_str());
      const cv::Size size = eval::readImage(job.frames.at(0), cv::IMREAD_COLOR).size();
      const double w = size.width, h = size.height;
      const cv::Vec4d& n = planned.nudge;
      const double x0 = std::clamp(run.box.x / w + n[0], 0.0, 1.0), y0 = std::clamp(run.box.y / h + n[1], 0.0, 1.0);
      const double x1 = std::clamp(run.box.br().x / w + n[2], x0, 1.0),
                   y1 = std::clamp(run.box.br().y / h + n[3], y0, 1.0);
      job.selection.box = matting::Box{x0, y0, x1 - x0, y1 - y0};
      for (const cv::Vec3d& d : run.dabs) job.selection.dabs.push_back({d[0] / w, d[1] / h, d[2] / w});
      for (const devset::Correction& c : run.corrections) {
        matting::Correction correction;
        correction.frame = c.frame - run.first;
        if (c.box)
          correction.selection.box = matting::Box{c.box->x / w, c.box->y / h, c.box->width / w, c.box->height / h};
        for (const cv::Vec3d& d : c.dabs) correction.selection.dabs.push_back({d[0] / w, d[1] / h, d[2] / w});
        job.corrections.push_back(correction);
      }
      std::printf("%s, %s, frames %d..%d, anchor %d, box %.0f,%.0f,%.0f,%.0f:\n", run.name.c_str(), q.c_str(),
                  run.first, run.last, run.anchor, x0 * w, y0 * h, (x1 - x0) * w, (y1 - y0) * h);
      const Run r = runEngine(job);
      printSummary(r, run.first);

      Row row;
      row.quality = q, row.run = run.name, row.redrawnOf = planned.redrawnOf, row.how = planned.how;
      row.msPerFrame = 1e3 * r.wallSeconds / std::max(1, r.summary.frames);
      // The run's name in file names: runs of one set share traced frames.
      std::string slug = run.name;
      std::replace(slug.begin(), slug.end(), ' ', '_');
      std::vector<Shown> shown;
      std::printf("  frame   IoU    F@2px  MAD     missed  extra (of the truth's area)\n");
      for (const auto& [frame, traced] : set.frames) {
        if (frame < run.first || frame > run.last) continue;
        Shown sh{frame, eval::readImage(job.frames[frame - run.first], cv::IMREAD_COLOR), {}, {}};
        sh.truth = devset::rasterise(traced, sh.bgr.size());
        sh.matte = eval::readGrey(eval::numbered(job.outputDir, frame - run.first, "png"));
        const Scores f = frameScores(sh.matte, sh.truth);
        if (o.count("full")) {
          const std::string name = option(o, "full", "") + "/" + slug + "_" + std::to_string(frame) + "_" + q + ".png";
          fs::create_directories(option(o, "full", ""));
          if (!cv::imwrite(name, edgesPicture(sh, false)) || !cv::imwrite(name + ".matte.png", sh.matte))
            throw std::runtime_error("cannot write " + name);
        }
        std::printf("  %5d   %.3f  %.3f  %.4f  %.3f   %.3f\n", frame, f.iou, f.boundaryF, f.mad, f.missed, f.extra);
        row.mean.iou += f.iou, row.mean.boundaryF += f.boundaryF, row.mean.mad += f.mad;
        row.mean.missed += f.missed, row.mean.extra += f.extra;
        if (f.iou < row.worstIou) row.worstIou = f.iou, row.worst = frame;
        if (!shown.empty() && shown.back().frame == frame - 1) {
          row.mean.dtssd += dtssd(shown.back().matte, sh.matte, shown.back().truth, sh.truth);
          ++row.pairs;
        }
        shown.push_back(sh);
        ++row.frames;
      }
      if (row.frames == 0) continue;
      row.mean.iou /= row.frames, row.mean.boundaryF /= row.frames, row.mean.mad /= row.frames;
      row.mean.missed /= row.frames, row.mean.extra /= row.frames;
      if (row.pairs > 0) row.mean.dtssd /= row.pairs;
      const std::string sheet = out + "/devset_" + slug + "_" + q + ".png";
      if (!cv::imwrite(sheet, devsetSheet(shown))) throw std::runtime_error("cannot write " + sheet);
      std::printf("  truth (green) and matte (red): %s\n", sheet.c_str());
      rows.push_back(row);
    }
  }
  std::printf("\n%s: traced frames scored; alpha on a 0..1 scale, dtSSD over traced neighbours\n", dir.c_str());
  // The run column as wide as its longest name, so the figures line up.
  int width = 3;
  for (const Row& r : rows) width = std::max(width, int(r.run.size()));
  std::printf("quality  %-*s  traced  IoU    worst IoU      F@2px  MAD     dtSSD   missed  extra  ms/frame\n", width,
              "run");
  for (const Row& r : rows)
    std::printf("%-7s  %-*s  %6d  %.3f  %.3f (%4d)   %.3f  %.4f  %.4f  %.3f   %.3f  %6.1f\n", r.quality.c_str(), width,
                r.run.c_str(), r.frames, r.mean.iou, r.worstIou, r.worst, r.mean.boundaryF, r.mean.mad, r.mean.dtssd,
                r.mean.missed, r.mean.extra, r.msPerFrame);
  bool redrawn = false;
  for (const Row& own : rows)
    for (const char* how : {kRedrawn, kElsewhere, kGrain}) {
      double sum = 0, worst = 2;
      int n = 0;
      for (const Row& r : rows)
        if (r.quality == own.quality && r.redrawnOf == own.run && r.how == how)
          sum += r.mean.iou, worst = std::min(worst, r.mean.iou), ++n;
      if (n == 0) continue;
      if (!redrawn)
        std::printf("\nIoU      %-*s  its own box  again                      mean   worst\n", width, "run");
      redrawn = true;
      std::printf("%-7s  %-*s  %.3f        %-18s %2d:  %.3f  %.3f\n", own.quality.c_str(), width, own.run.c_str(),
                  own.mean.iou, how, n, sum / n, worst);
    }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 2 ? argv[1] : "";
  try {
    if (command == "eval") return evalCommand(argv[2], options(argc, argv, 3));
    if (command == "sheet") return sheetCommand(argv[2], options(argc, argv, 3));
    if (command == "length") return lengthCommand(argv[2], options(argc, argv, 3));
    if (command == "devset") return devsetCommand(argv[2], options(argc, argv, 3));
  } catch (const std::invalid_argument& e) {
    std::cerr << "matting_eval: " << e.what() << "\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "matting_eval: " << e.what() << "\n";
    return 1;
  }
  std::cerr << "usage: matting_eval eval CLIPDIR [--quality fine|fast|both] [--softness S]\n"
               "       matting_eval sheet CLIP (--box X,Y,W,H | --box-px X,Y,W,H) --anchor N [--frames FIRST:LAST]\n"
               "                          [--quality fine|fast] [--softness S] [--dab X,Y,R ...] [--masks DIR] --out "
               "SHEET.png\n"
               "       matting_eval length CLIPDIR --frames N [--quality fine|fast]\n"
               "       matting_eval length SETDIR --frames N [--run NAME] [--size WxH] [--quality fine|fast]\n"
               "       matting_eval devset SETDIR [--quality fine|fast|both] [--softness S] [--out DIR] [--full DIR]\n"
               "                           [--jitter N] [--anchors N] [--grain N]\n";
  return 2;
}

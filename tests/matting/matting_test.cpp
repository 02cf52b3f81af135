// The matting engine through run() on synthetic clips whose answer is known:
// textured red discs on noisy backgrounds of other hues.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <optional>
#include <tuple>

#include "TestSupport.h"
#include "contract/files.h"
#include "matting/engine.h"

namespace fs = std::filesystem;

namespace {

struct Disc {
  int x, y, r;
  bool holds(int px, int py) const { return (px - x) * (px - x) + (py - y) * (py - y) <= r * r; }
};
const cv::Vec3b kGreen{70, 150, 60}, kBlue{170, 100, 40}, kGrey{120, 110, 115};
const cv::Vec3b kRed{40, 50, 200};
const cv::Size kSize{320, 240};

int jitter(int x, int y, int seed) {
  uint32_t h = uint32_t(x) * 73856093u ^ uint32_t(y) * 19349663u ^ uint32_t(seed) * 83492791u;
  h ^= h >> 13, h *= 0x5bd1e995u, h ^= h >> 15;
  return int(h % 61) - 30;
}

// Noise fixed to the background, and striped noise that moves with each disc.
cv::Mat scene(cv::Vec3b background, const std::vector<Disc>& discs) {
  cv::Mat img(kSize, CV_8UC3);
  for (int y = 0; y < kSize.height; ++y)
    for (int x = 0; x < kSize.width; ++x) {
      cv::Vec3b base = background;
      int u = x, v = y, seed = background[0], stripe = 0;
      for (const Disc& d : discs)
        if (d.holds(x, y)) base = kRed, u = x - d.x, v = y - d.y, seed = 9, stripe = ((u + 64) / 4 % 2) * 30 - 15;
      for (int c = 0; c < 3; ++c)
        img.at<cv::Vec3b>(y, x)[c] = cv::saturate_cast<uchar>(base[c] + stripe + jitter(u, v, seed * 3 + c));
    }
  return img;
}

cv::Mat truth(const std::vector<Disc>& discs) {
  cv::Mat m = cv::Mat::zeros(kSize, CV_8U);
  for (const Disc& d : discs) cv::circle(m, {d.x, d.y}, d.r, 255, cv::FILLED);
  return m;
}

double iou(const cv::Mat& matte, const cv::Mat& truth) {
  const cv::Mat m = matte > 127;
  return cv::countNonZero(m & truth) / double(std::max(1, cv::countNonZero(m | truth)));
}

// A box around a disc, margin pixels clear of it.
matting::Box box_around(const Disc& d, int margin) {
  return {double(d.x - d.r - margin) / kSize.width, double(d.y - d.r - margin) / kSize.height,
          double(2 * (d.r + margin)) / kSize.width, double(2 * (d.r + margin)) / kSize.height};
}
matting::Dab dab(int x, int y, int r) {
  return {double(x) / kSize.width, double(y) / kSize.height, double(r) / kSize.width};
}

// Frames first.. of a clip; of Megamind.avi (720 x 528), and a box or dab
// given in its pixels.
std::vector<cv::Mat> footage(const std::string& clip, int first, int count) {
  cv::VideoCapture video(clip);
  video.set(cv::CAP_PROP_POS_FRAMES, first);
  std::vector<cv::Mat> frames(count);
  for (cv::Mat& f : frames) video.read(f);
  return frames;
}
std::vector<cv::Mat> megamind(int first, int count) { return footage(kMegamind, first, count); }
matting::Box box_px(const cv::Rect& b, cv::Size frame) {
  return {double(b.x) / frame.width, double(b.y) / frame.height, double(b.width) / frame.width,
          double(b.height) / frame.height};
}
matting::Box megamind_box(const cv::Rect& b) { return box_px(b, {720, 528}); }
matting::Dab megamind_dab(int x, int y, int r) { return {x / 720.0, y / 528.0, r / 720.0}; }
// A part of a matte and whether it is his: so, but for `tolerance` of it.
struct Part {
  cv::Rect part;
  bool his;
};
void expect_parts(const cv::Mat& matte, const std::vector<Part>& parts, double tolerance) {
  const cv::Mat m = matte > 127;
  for (const Part& p : parts)
    EXPECT_NEAR(double(cv::countNonZero(m(p.part))) / p.part.area(), p.his ? 1 : 0, tolerance) << p.part;
}

std::string error_of(const matting::Job& job) {
  try {
    matting::run(job);
  } catch (const matting::Error& e) {
    return e.what();
  }
  return "(no error)";
}

class Matting : public ::testing::Test {
 protected:
  void SetUp() override {
    char path[] = "/tmp/matting_test_XXXXXX";
    ASSERT_NE(mkdtemp(path), nullptr);
    dir_ = path;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Writes the frames and returns a job on them with its own matte folder.
  matting::Job job(const std::vector<cv::Mat>& frames, int anchor, const std::string& ext = ".png") {
    matting::Job j;
    for (size_t i = 0; i < frames.size(); ++i) {
      j.frames.push_back(dir_ + "/frame" + std::to_string(i) + ext);
      EXPECT_TRUE(cv::imwrite(j.frames.back(), frames[i]));
    }
    j.outputDir = dir_ + "/out" + std::to_string(jobs_++);
    j.anchor = anchor;
    return j;
  }
  static cv::Mat matte(const matting::Job& j, int i) {
    return cv::imread(j.outputDir + "/" + contract::frame_name(i, ".png"), cv::IMREAD_UNCHANGED);
  }
  static int mattes(const matting::Job& j) {
    int n = 0;
    if (fs::is_directory(j.outputDir))
      for (const auto& e : fs::directory_iterator(j.outputDir)) n += e.path().extension() == ".png";
    return n;
  }

  std::string dir_;
  int jobs_ = 0;
};

TEST_F(Matting, SeedsFindTheDiscOnTheAnchorWithTheAskedEdge) {
  const Disc disc{150, 120, 50};
  const struct Row {
    const char* name;
    std::vector<Disc> others;  // red discs that are not the character
    std::optional<matting::Box> box;
    std::vector<matting::Dab> dabs;
    double softness;
  } rows[] = {
      {"box only", {}, box_around(disc, 12), {}, 0.0},
      {"dabs, a red disc apart", {{230, 120, 22}}, {}, {dab(150, 120, 10), dab(130, 105, 10), dab(170, 135, 10)}, 0.5},
      {"box over a red disc excluded", {{235, 120, 25}}, matting::Box{0.28, 0.25, 0.58, 0.5}, {dab(235, 120, -32)}, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<Disc> all = row.others;
    all.push_back(disc);
    matting::Job j = job({scene(kGreen, all)}, 0);
    j.selection.box = row.box;
    j.selection.dabs = row.dabs;
    j.edgeSoftness = row.softness;
    matting::run(j);
    const cv::Mat m = matte(j, 0);
    ASSERT_EQ(m.size(), kSize);
    ASSERT_EQ(m.type(), CV_8UC1);
    const cv::Mat want = truth({disc});
    EXPECT_GE(iou(m, want), 0.9);
    // Fractional alpha only with softness, and then only along the edge.
    const cv::Mat partial = (m > 0) & (m < 255);
    if (row.softness == 0) {
      EXPECT_EQ(cv::countNonZero(partial), 0);
    }
    if (row.softness == 1) {
      cv::Mat kernel = cv::getStructuringElement(cv::MORPH_ELLIPSE, {21, 21}), grown, shrunk;
      cv::dilate(want, grown, kernel);
      cv::erode(want, shrunk, kernel);
      EXPECT_GT(cv::countNonZero(partial), 2 * disc.r);
      EXPECT_EQ(cv::countNonZero(partial & ~(grown & ~shrunk)), 0);
    }
  }
}

// What real footage gets wrong, each in a scene drawn flat and grained and
// sliding 3 px a frame: the character in `want`, the rest in `picture`, and
// what keeps still while it slides in `still`.
TEST_F(Matting, EachFailureKindOfRealFootageGetsItsAnswer) {
  const cv::Vec3b darkWall{60, 48, 42}, darkHair{22, 34, 72};
  // A soft weave on the picture where `where` is set, fixed to the picture:
  // enough for the flow to hold on to, too gentle to stop a dab's region.
  const auto woven = [](cv::Mat& p, const cv::Mat& where) {
    for (int y = 0; y < kSize.height; ++y)
      for (int x = 0; x < kSize.width; ++x)
        if (where.at<uchar>(y, x)) {
          const double weave = std::sin(x / 4.0 + std::sin(y / 7.0)) * std::cos(y / 5.0);
          p.at<cv::Vec3b>(y, x) -= cv::Vec3b::all(uchar(12 + 12 * weave));
        }
  };
  // Dark hair (an ellipse) over a red head: the row is about the hair from
  // row `from` down.
  const auto hair_over_head = [&](cv::Point hair, cv::Size axes, int head, int from) {
    return [=](cv::Mat& p, cv::Mat& w, cv::Mat& a) {
      for (cv::Mat* m : {&p, &w, &a})
        cv::ellipse(*m, hair, axes, 0, 0, 360, m == &p ? cv::Scalar(darkHair) : 255, cv::FILLED);
      for (cv::Mat* m : {&p, &w, &a})
        cv::circle(*m, {160, 140}, head, m == &p ? cv::Scalar(kRed) : m == &w ? 255 : 0, cv::FILLED);
      a.rowRange(0, from).setTo(0);
    };
  };
  // Hair past a box's top, beyond its strip: the scene of two rows.
  const auto hairPastTheBox = hair_over_head({160, 45}, {75, 32}, 65, 0);
  const matting::Box boxBelowTheHair{0.1, 65 / 240.0, 0.8, 165 / 240.0};
  const struct Row {
    const char* name;
    cv::Vec3b background;
    // `focus`: the pixels the row is about; there the matte must agree with `want`.
    std::function<void(cv::Mat& picture, cv::Mat& want, cv::Mat& focus)> draw;
    matting::Box box;
    std::vector<matting::Dab> dabs;
    std::function<void(cv::Mat& picture, const cv::Mat& want, cv::Mat& focus)> still = {};
    // The box and dabs on frame 0 instead, corrected on frame 2: judged from there on.
    std::vector<matting::Dab> correcting = {};
  } rows[] = {
      {"a thin dark strand on a dark wall, kept by an add dab",
       darkWall,
       [&](cv::Mat& p, cv::Mat& w, cv::Mat& a) {
         // The wall outside the box has the strand's colour too.
         for (int x = 4; x < 320; x += 24) cv::rectangle(p, cv::Rect(x, 218, 10, 22), cv::Scalar(darkHair), cv::FILLED);
         for (int y = 4; y < 240; y += 24) cv::rectangle(p, cv::Rect(0, y, 40, 10), cv::Scalar(darkHair), cv::FILLED);
         for (cv::Mat* m : {&p, &w}) cv::circle(*m, {110, 140}, 50, m == &p ? cv::Scalar(kRed) : 255, cv::FILLED);
         for (cv::Mat* m : {&p, &w, &a}) cv::line(*m, {150, 115}, {285, 35}, m == &p ? cv::Scalar(darkHair) : 255, 5);
       },
       {0.15, 0.08, 0.8, 0.8},
       {dab(220, 74, 5)}},
      {"an enclosed hole of background, left out",
       kGreen,
       [&](cv::Mat& p, cv::Mat& w, cv::Mat& a) {
         for (cv::Mat* m : {&p, &w}) {
           cv::circle(*m, {160, 120}, 75, m == &p ? cv::Scalar(kRed) : 255, cv::FILLED);
           cv::circle(*m, {180, 135}, 7, m == &p ? cv::Scalar(kGreen) : 0, cv::FILLED);
         }
         cv::circle(a, {180, 135}, 7, 255, cv::FILLED);
       },
       {0.2, 0.1, 0.6, 0.8},
       {}},
      {"a gap between an arm and the body that the character encloses, of the wall's colour, left out",
       darkWall,
       [&](cv::Mat& p, cv::Mat& w, cv::Mat& a) {
         const cv::Scalar dress(60, 40, 120), skin(120, 150, 200);
         const struct {
           cv::Rect part;
           cv::Scalar colour;
         } figure[] = {{{110, 40, 70, 200}, dress},  // body
                       {{180, 40, 20, 25}, dress},   // shoulder
                       {{188, 65, 12, 110}, skin},   // arm
                       {{180, 165, 20, 10}, skin}};  // hand on the hip
         for (const auto& f : figure) {
           cv::rectangle(p, f.part, f.colour, cv::FILLED);
           cv::rectangle(w, f.part, 255, cv::FILLED);
         }
         a(cv::Rect(180, 65, 8, 100)).setTo(255);
       },
       {0.3, 0.1, 0.37, 0.85},
       {}},
      {"a box drawn a little inside the character's top, the top kept",
       kGreen,
       [&](cv::Mat& p, cv::Mat& w, cv::Mat& a) {
         for (cv::Mat* m : {&p, &w, &a}) cv::circle(*m, {160, 130}, 60, m == &p ? cv::Scalar(kRed) : 255, cv::FILLED);
         a(cv::Rect(0, 76, 320, 164)).setTo(0);
       },
       {0.25, 76 / 240.0, 0.5, 0.6},
       {}},
      {"hair running out of the frame's top, the box drawn a few pixels below it, the hair kept",
       darkWall,
       hair_over_head({160, 40}, {60, 70}, 55, 0),
       {0.2, 12 / 240.0, 0.6, 0.85},
       {}},
      {"hair running on past the box's top into the strip beyond it, the hair within kept",
       darkWall,
       hair_over_head({160, 45}, {120, 32}, 65, 25),
       {0.05, 25 / 240.0, 0.9, 210 / 240.0},
       {}},
      {"hair running on past the top of a close figure's box beyond its strip, the hair within kept",
       darkWall,
       hair_over_head({160, 50}, {110, 50}, 65, 60),
       {0.05, 60 / 240.0, 0.9, 180 / 240.0},
       {}},
      {"hair running on past the box's top beyond its strip, taken in by an add dab on it",
       darkWall,
       hairPastTheBox,
       boxBelowTheHair,
       {dab(150, 25, 6)}},
      {"hair running on past the box's top beyond its strip, brought back by an add dab on a later frame",
       darkWall,
       hairPastTheBox,
       boxBelowTheHair,
       {},
       {},
       {dab(150, 25, 6)}},
      {"a figure that ends near the bottom of its close box, a table larger than it beneath it left out",
       kGreen,
       [&](cv::Mat& p, cv::Mat& w, cv::Mat& a) {
         const std::vector<cv::Point> leg = {{145, 120}, {175, 120}, {160, 196}};
         for (cv::Mat* m : {&p, &w}) {
           cv::circle(*m, {160, 100}, 30, m == &p ? cv::Scalar(kRed) : 255, cv::FILLED);
           cv::fillConvexPoly(*m, leg, m == &p ? cv::Scalar(kRed) : 255);
         }
         cv::rectangle(p, cv::Rect(60, 212, 200, 28), cv::Scalar(60, 110, 210), cv::FILLED);
         a(cv::Rect(60, 212, 200, 28)).setTo(255);
       },
       {0.25, 40 / 240.0, 0.5, 160 / 240.0},
       {}},
      {"something of the character's look beside it that the box's side was drawn through, left out",
       kGreen,
       [&](cv::Mat& p, cv::Mat& w, cv::Mat& a) {
         for (cv::Mat* m : {&p, &w}) cv::circle(*m, {130, 120}, 55, m == &p ? cv::Scalar(kRed) : 255, cv::FILLED);
         cv::circle(p, {272, 120}, 20, cv::Scalar(kRed), cv::FILLED);
         cv::circle(a, {272, 120}, 20, 255, cv::FILLED);
       },
       {0.1, 0.1, 0.75, 0.8},
       {}},
      {"background a broad add dab took in past the edge, left out",
       kGreen,
       [&](cv::Mat& p, cv::Mat& w, cv::Mat& a) {
         for (cv::Mat* m : {&p, &w}) cv::circle(*m, {160, 130}, 60, m == &p ? cv::Scalar(kRed) : 255, cv::FILLED);
         cv::circle(a, {160, 72}, 6, 255, cv::FILLED);
         a &= ~w;
       },
       {0.25, 0.2, 0.5, 0.7},
       {dab(160, 72, 6)}},
      {"a shaded prop touching the character, removed by one exclude dab",
       kGreen,
       [&](cv::Mat& p, cv::Mat& w, cv::Mat& a) {
         a(cv::Rect(170, 70, 90, 90)).setTo(255);
         for (int x = 170; x < 260; ++x)
           cv::line(p, {x, 70}, {x, 159},
                    cv::Scalar(170 - (x - 170) * 5 / 12, 100 - (x - 170) / 4, 40 - (x - 170) / 12), 1);
         for (cv::Mat* m : {&p, &w}) cv::circle(*m, {120, 120}, 55, m == &p ? cv::Scalar(kRed) : 255, cv::FILLED);
       },
       {0.17, 0.18, 0.71, 0.64},
       {dab(250, 150, -8)}},
      {"a prop of the character's colour and weave behind it, keeping still while it moves, removed by one exclude dab",
       kGreen,
       [&](cv::Mat& p, cv::Mat& w, cv::Mat& a) {
         for (cv::Mat* m : {&p, &w, &a}) cv::circle(*m, {120, 120}, 55, m == &p ? cv::Scalar(kRed) : 255, cv::FILLED);
         woven(p, w);
       },
       {0.1, 0.1, 0.8, 0.8},
       {dab(225, 120, -8)},
       [&](cv::Mat& p, const cv::Mat& w, cv::Mat& a) {
         cv::Mat prop = cv::Mat::zeros(kSize, CV_8U);
         prop(cv::Rect(168, 70, 80, 100)).setTo(255);
         prop &= ~w;
         p.setTo(cv::Scalar(kRed), prop);
         woven(p, prop);
         a |= prop;
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<cv::Mat> frames, wants, focuses;
    for (int i = 0; i < 5; ++i) {
      cv::Mat flat(kSize, CV_8UC3, cv::Scalar(row.background)), want = cv::Mat::zeros(kSize, CV_8U);
      cv::Mat focus = want.clone();
      row.draw(flat, want, focus);
      const cv::Mat shift = (cv::Mat_<double>(2, 3) << 1, 0, 3 * (i - 2), 0, 1, 0);
      for (cv::Mat* m : {&flat, &want, &focus})
        cv::warpAffine(*m, *m, shift, kSize, cv::INTER_NEAREST, cv::BORDER_REPLICATE);
      if (row.still) row.still(flat, want, focus);
      for (int y = 0; y < kSize.height; ++y)
        for (int x = 0; x < kSize.width; ++x)
          for (int c = 0; c < 3; ++c)
            flat.at<cv::Vec3b>(y, x)[c] =
                cv::saturate_cast<uchar>(flat.at<cv::Vec3b>(y, x)[c] + jitter(x, y, i * 3 + c) / 3);
      frames.push_back(flat), wants.push_back(want), focuses.push_back(focus);
    }
    const bool corrected = !row.correcting.empty();
    matting::Job j = job(frames, corrected ? 0 : 2);
    j.selection.box = row.box;
    j.selection.dabs = row.dabs;
    if (corrected) j.corrections = {{2, {std::nullopt, row.correcting, ""}}};
    matting::run(j);
    for (int i = corrected ? 2 : 0; i < 5; ++i) {
      const cv::Mat m = matte(j, i) > 127;
      EXPECT_GE(iou(m, wants[i]), 0.9) << "frame " << i;
      const cv::Mat agree = (m == wants[i]) & focuses[i];
      EXPECT_GE(cv::countNonZero(agree), 0.8 * cv::countNonZero(focuses[i])) << "frame " << i;
    }
  }
}

// The man in Megamind.avi, whom the frame's bottom cuts, between a dark
// wall and a blurred table: boxes drawn a few pixels differently find him
// alike, his jacket and hair too. Short of the bottom, the bottom's strip
// held his jacket; 4 px narrower, the colours fell just short enough of the
// right side not to ask the looks, and his jacket's far side went.
TEST_F(Matting, BoxesDrawnAFewPixelsApartFindTheSameCharacter) {
  const std::vector<cv::Mat> frame = megamind(200, 1);
  ASSERT_FALSE(frame[0].empty());
  const auto matteIn = [&](const cv::Rect& b) {
    matting::Job j = job(frame, 0);
    j.selection.box = megamind_box(b);
    matting::run(j);
    return cv::Mat(matte(j, 0) > 127);
  };
  const std::pair<cv::Rect, cv::Rect> pairs[] = {{{154, 33, 518, 495}, {154, 33, 518, 485}},
                                                 {{150, 30, 520, 498}, {148, 30, 516, 497}}};
  for (const auto& [drawn, other] : pairs) EXPECT_GE(iou(matteIn(other), matteIn(drawn)), 0.95) << other;
}

// The same man ten frames back from a box on frame 260: his dark jacket
// where the frame's bottom cuts it, beside a blurred table, stays his. A
// small bay the cut left there went out a band a frame and grew into a hole.
TEST_F(Matting, TheFramesEdgeOpensNoBayInTheCharacter) {
  const std::vector<cv::Mat> frames = megamind(250, 11);
  ASSERT_FALSE(frames.back().empty());
  matting::Job j = job(frames, 10, ".jpg");
  j.selection.box = megamind_box({120, 0, 580, 528});
  matting::run(j);
  const cv::Mat jacket = matte(j, 0)(cv::Rect(150, 500, 100, 28)) > 127;
  EXPECT_GE(cv::countNonZero(jacket), 0.95 * jacket.total());
}

// An exclude dab beside the man in Megamind.avi takes only what it is on,
// not his hair and jacket, whose colours meet it through small steps: on the
// dark red wall at the frame's right while he holds still for a few frames
// (what moves with the wall tells nothing there), and on the dark chair
// behind his shoulder that a low box took in, whose region ran on through
// his jacket to the hair above it, a third of him.
TEST_F(Matting, AnExcludeDabBesideACharacterTakesOnlyWhatItIsOn) {
  const struct {
    int first, count, anchor;
    cv::Rect box;
    matting::Dab dab;
    std::vector<Part> parts;
  } cases[] = {{98,
                4,
                1,
                {340, 10, 380, 518},
                megamind_dab(662, 106, -29),
                {{{520, 30, 50, 50}, true},      // hair
                 {{570, 310, 60, 40}, true},     // shoulder
                 {{700, 60, 20, 200}, false}}},  // the wall past the dab
               {220,
                1,
                0,
                {150, 70, 540, 458},
                megamind_dab(650, 380, -20),
                {{{580, 60, 30, 30}, true},       // hair
                 {{560, 460, 40, 40}, true},      // jacket
                 {{640, 400, 40, 30}, false}}}};  // the chair past the dab
  for (const auto& c : cases) {
    SCOPED_TRACE(c.box);
    const std::vector<cv::Mat> frames = megamind(c.first, c.count);
    ASSERT_FALSE(frames.back().empty());
    matting::Job j = job(frames, c.anchor, ".jpg");
    j.selection.box = megamind_box(c.box);
    j.selection.dabs = {c.dab};
    matting::run(j);
    expect_parts(matte(j, c.anchor), c.parts, 0.05);
  }
}

// Boxes drawn through the man, across his forehead with his hair running
// on to the frame's top, and above his waist with his jacket running on to
// its bottom: what lies inside the box is his, and so is what lies past it,
// but not the dark background beside him.
TEST_F(Matting, ABoxDrawnThroughACloseFigureKeepsWhatLiesPastIt) {
  const struct {
    int frame;
    cv::Rect box;
    std::vector<Part> parts;
  } cases[] = {{210,
                {150, 70, 540, 458},
                {{{205, 75, 40, 30}, true},     // hair inside the box, left
                 {{540, 75, 40, 30}, true},     // and right
                 {{190, 15, 55, 40}, true},     // hair above it
                 {{630, 10, 60, 50}, false}}},  // the background above it, beside the hair
               {235,
                {120, 0, 580, 440},
                {{{170, 405, 60, 30}, true},      // jacket inside the box
                 {{200, 460, 60, 40}, true},      // and below it
                 {{130, 200, 30, 80}, false}}}};  // the background inside it, beside his hair
  for (const auto& c : cases) {
    SCOPED_TRACE(c.box);
    const std::vector<cv::Mat> frames = megamind(c.frame, 1);
    ASSERT_FALSE(frames.back().empty());
    matting::Job j = job(frames, 0, ".jpg");
    j.selection.box = megamind_box(c.box);
    matting::run(j);
    expect_parts(matte(j, 0), c.parts, 0.1);
  }
}

// The disc crosses the frame; the selection is on the middle frame.
TEST_F(Matting, TracksForwardAndBackwardFromAMiddleAnchor) {
  const auto at = [](int i) { return Disc{90 + 5 * i, 100 + 2 * i, 40}; };
  // Another of its look passes by, too fast for the flow to follow: it is
  // not the character, though the flow doubts where it goes.
  const auto passerBy = [](int i) { return Disc{272, 35 * i - 20, 22}; };
  std::vector<cv::Mat> frames;
  for (int i = 0; i < 15; ++i) frames.push_back(scene(kGreen, {at(i), passerBy(i)}));
  matting::Job j = job(frames, 7, ".jpg");
  j.selection.box = box_around(at(7), 10);
  const matting::Summary s = matting::run(j);
  EXPECT_EQ(s.emptyFrames, 0);
  EXPECT_TRUE(s.cuts.empty());
  EXPECT_EQ(s.shotFirst, 0);
  EXPECT_EQ(s.shotLast, 14);
  for (int i = 0; i < 15; ++i) EXPECT_GE(iou(matte(j, i), truth({at(i)})), 0.85) << "frame " << i;
}

// A pedestrian in a dark jacket, and another in one like it who walks the
// other way just behind him: the looks cannot tell the two apart where they
// touch, the flow can, and the track stays on the one selected.
TEST_F(Matting, ALookAlikeWalkingPastBehindIsNotTakenIn) {
  const std::vector<cv::Mat> frames = footage(kPedestrians, 300, 21);
  ASSERT_FALSE(frames.back().empty());
  matting::Job j = job(frames, 0, ".jpg");
  j.selection.box = box_px({310, 205, 40, 95}, frames[0].size());
  matting::run(j);
  expect_parts(matte(j, 20), {{{260, 212, 12, 25}, true}, {{262, 245, 10, 25}, true}, {{312, 190, 14, 20}, false}},
               0.1);
}

// Footage larger than the working size is matted smaller and drawn at its
// own size, where the matte must lie on the character, not a pixel beside.
TEST_F(Matting, AFrameLargerThanTheWorkingSizeGetsItsMatteInPlace) {
  const Disc disc{150, 120, 50};
  cv::Mat frame;
  cv::resize(scene(kGreen, {disc}), frame, {}, 3, 3, cv::INTER_LINEAR);
  matting::Job j = job({frame}, 0);
  j.quality = matting::Quality::Fast;  // 480 pixels wide
  j.selection.box = box_around(disc, 12);
  matting::run(j);
  const cv::Mat m = matte(j, 0);
  ASSERT_EQ(m.size(), frame.size());
  cv::Mat want = cv::Mat::zeros(frame.size(), CV_8U);
  cv::circle(want, {3 * disc.x + 1, 3 * disc.y + 1}, 3 * disc.r, 255, cv::FILLED);
  EXPECT_GE(iou(m, want), 0.95);
  const cv::Moments at = cv::moments(m);
  EXPECT_NEAR(at.m10 / at.m00, 3 * disc.x + 1, 0.25);
  EXPECT_NEAR(at.m01 / at.m00, 3 * disc.y + 1, 0.25);
}

// A part of the character that looks like the background (a shoulder in
// shadow), brought in on the anchor by an add dab, lasts through a still
// shot rather than being eaten into a little more on every frame: beside a
// wall of its own colour, and beside a wall of another colour while its own
// is the background's elsewhere.
TEST_F(Matting, APartThatLooksLikeTheBackgroundHoldsThroughTheShot) {
  const cv::Scalar shadow(60, 48, 42), wall(30, 80, 140);
  const Disc part{200, 120, 40};
  for (const bool wallAlike : {true, false}) {
    cv::Mat still(kSize, CV_8UC3, shadow), want = cv::Mat::zeros(kSize, CV_8U);
    if (!wallAlike) cv::rectangle(still, cv::Rect(225, 0, 50, 240), wall, cv::FILLED);
    cv::circle(still, {part.x, part.y}, part.r, shadow, cv::FILLED);
    cv::circle(still, {110, 120}, 70, cv::Scalar(kRed), cv::FILLED);
    for (int y = 0; y < kSize.height; ++y)
      for (int x = 0; x < kSize.width; ++x)
        for (int c = 0; c < 3; ++c)
          still.at<cv::Vec3b>(y, x)[c] = cv::saturate_cast<uchar>(still.at<cv::Vec3b>(y, x)[c] + jitter(x, y, c) / 3);
    cv::circle(want, {110, 120}, 70, 255, cv::FILLED);
    const cv::Mat partArea = truth({part});
    want |= partArea;
    matting::Job j = job(std::vector<cv::Mat>(20, still), 0);
    j.selection.box = matting::Box{30 / 320.0, 40 / 240.0, 235 / 320.0, 160 / 240.0};
    j.selection.dabs = {dab(part.x, part.y, part.r)};
    matting::run(j);
    const char* wallIs = wallAlike ? "alike" : "apart";
    for (int i = 0; i < 20; ++i) {
      const cv::Mat m = matte(j, i) > 127;
      EXPECT_GE(iou(m, want), 0.9) << wallIs << " frame " << i;
      EXPECT_GE(cv::countNonZero(m & partArea), 0.9 * cv::countNonZero(partArea)) << wallIs << " frame " << i;
    }
  }
}

// A second red disc B beside the character A is taken in by the anchor's
// box; corrections on later or earlier frames take it out or bring it back,
// and one in another shot starts that shot.
TEST_F(Matting, CorrectionsReseedTheTrackFromTheirFrame) {
  const auto a = [](int i) { return Disc{70 + 4 * i, 130, 35}; };
  const Disc b{255, 60, 25};
  const auto a2 = [](int i) { return Disc{230 - 3 * i, 110, 40}; };
  const matting::Box both{0.1, 0.08, 0.8, 0.8};
  const auto boxAt = [&](const Disc& d) { return box_around(d, 10); };
  const matting::Dab outB = dab(b.x, b.y, -8);
  const struct Row {
    const char* name;
    bool twoShots;  // frames 8 on are another shot: A2 on blue
    int anchor;
    std::vector<matting::Correction> corrections;
    std::function<std::vector<Disc>(int)> want;
  } rows[] = {
      // What dabs alone change holds back to the key before, which keeps
      // its own matte; a box is blended with that key.
      {"one exclude dab later",
       false,
       2,
       {{10, {std::nullopt, {outB}, ""}}},
       [&](int i) {
         return i >= 3 ? std::vector<Disc>{a(i)} : std::vector<Disc>{a(i), b};
       }},
      {"one exclude dab earlier",
       false,
       12,
       {{4, {std::nullopt, {outB}, ""}}},
       [&](int i) {
         return i <= 11 ? std::vector<Disc>{a(i)} : std::vector<Disc>{a(i), b};
       }},
      // ... and, made on both sides of the anchor, onto the anchor too.
      {"exclude dabs on both sides",
       false,
       7,
       {{3, {std::nullopt, {outB}, ""}}, {11, {std::nullopt, {outB}, ""}}},
       [&](int i) { return std::vector<Disc>{a(i)}; }},
      {"two: an exclude dab, then a box",
       false,
       0,
       {{10, {both, {}, ""}}, {5, {std::nullopt, {outB}, ""}}},
       [&](int i) {
         return i >= 10 || i == 0 ? std::vector<Disc>{a(i), b} : i <= 7 ? std::vector<Disc>{a(i)} : std::vector<Disc>{};
       }},
      // Its track comes back to the one it corrected at once: from there
      // on that one, as if the dab had not been painted.
      {"an exclude dab on the background",
       false,
       2,
       {{4, {std::nullopt, {dab(160, 220, -8)}, ""}}},
       [&](int i) {
         return std::vector<Disc>{a(i), b};
       }},
      {"a box in another shot",
       true,
       2,
       {{11, {boxAt(a2(11)), {}, ""}}},
       [&](int i) {
         return i >= 8 ? std::vector<Disc>{a2(i)} : std::vector<Disc>{a(i), b};
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<cv::Mat> frames;
    for (int i = 0; i < 15; ++i)
      frames.push_back(row.twoShots && i >= 8 ? scene(kBlue, {a2(i)}) : scene(kGreen, {a(i), b}));
    matting::Job j = job(frames, row.anchor);
    j.selection.box = both;
    j.corrections = row.corrections;
    j.memoDir = dir_ + "/memo " + row.name;
    const matting::Summary s = matting::run(j);
    EXPECT_EQ(s.emptyFrames, 0) << s.note;
    for (int i = 0; i < 15; ++i) {
      const std::vector<Disc> want = row.want(i);
      if (!want.empty()) {
        EXPECT_GE(iou(matte(j, i), truth(want)), 0.85) << "frame " << i;
      }
    }
    // Through the memo that pull left: pulled without the last correction
    // (tracks recalled up to it go on past it), then with it again. Each
    // gives the mattes a pull afresh gives.
    matting::Job before = j, again = j, afresh;
    before.corrections.pop_back();
    afresh = before, afresh.memoDir.clear(), afresh.outputDir = dir_ + "/afresh";
    matting::run(afresh);
    before.outputDir = dir_ + "/before", again.outputDir = dir_ + "/again";
    EXPECT_GT(matting::run(before).recalledFrames, 0);
    EXPECT_GT(matting::run(again).recalledFrames, 0);
    // And with a softer edge: the masks are recalled, the mattes not.
    matting::Job softer = again, softerAfresh = again;
    softer.edgeSoftness = softerAfresh.edgeSoftness = 0.9;
    softer.outputDir = dir_ + "/softer", softerAfresh.outputDir = dir_ + "/softer afresh";
    softerAfresh.memoDir.clear();
    matting::run(softer), matting::run(softerAfresh);
    for (int i = 0; i < 15; ++i) {
      EXPECT_EQ(cv::norm(matte(again, i), matte(j, i), cv::NORM_INF), 0) << "frame " << i;
      EXPECT_EQ(cv::norm(matte(before, i), matte(afresh, i), cv::NORM_INF), 0) << "frame " << i;
      EXPECT_EQ(cv::norm(matte(softer, i), matte(softerAfresh, i), cv::NORM_INF), 0) << "frame " << i;
      if (row.name == std::string("an exclude dab on the background")) {
        EXPECT_EQ(cv::norm(matte(j, i), matte(afresh, i), cv::NORM_INF), 0) << "frame " << i;
      }
    }
  }
  // Excluding dabs alone cannot start a shot the track does not reach.
  std::vector<cv::Mat> frames;
  for (int i = 0; i < 15; ++i) frames.push_back(i >= 8 ? scene(kBlue, {a2(i)}) : scene(kGreen, {a(i), b}));
  matting::Job j = job(frames, 2);
  j.selection.box = both;
  j.corrections = {{11, {std::nullopt, {dab(230, 110, -8)}, ""}}};
  EXPECT_NE(error_of(j).find("correction on frame 11"), std::string::npos) << error_of(j);
}

// A correction that changes little of the mask (a blue lock on a large
// red character, under a fiftieth of it) holds back to the key all the same.
TEST_F(Matting, ASmallCorrectionHoldsBackToTheKey) {
  const auto a = [](int i) { return Disc{120 + 2 * i, 120, 70}; };
  const auto lock = [&](int i) { return cv::Point(a(i).x + 70, 120); };
  std::vector<cv::Mat> frames;
  for (int i = 0; i < 12; ++i) {
    frames.push_back(scene(kGreen, {a(i)}));
    cv::circle(frames.back(), lock(i), 9, cv::Scalar(kBlue), cv::FILLED);
  }
  matting::Job j = job(frames, 1);
  j.selection.box = matting::Box{0.1, 0.1, 0.8, 0.8};
  j.corrections = {{10, {std::nullopt, {dab(lock(10).x + 4, 120, -6)}, ""}}};
  matting::run(j);
  for (int i = 0; i < 12; ++i) {
    cv::Mat lockArea = cv::Mat::zeros(kSize, CV_8U);
    cv::circle(lockArea, lock(i), 9, 255, cv::FILLED);
    lockArea &= ~truth({a(i)});
    const int kept = cv::countNonZero((matte(j, i) > 127) & lockArea);
    EXPECT_EQ(kept > cv::countNonZero(lockArea) / 2, i <= 1) << "frame " << i;
  }
}

// On footage larger than the working size a correction's dabs are read at
// the anchor's larger size, and what they change is brought back down: B
// goes from the corrected frame on, A stays where it is.
TEST_F(Matting, ACorrectionOnLargerFootageChangesOnlyWhatItsDabTakes) {
  const auto a = [](int i) { return Disc{70 + 4 * i, 130, 35}; };
  const Disc b{255, 60, 25};
  std::vector<cv::Mat> frames(12);
  for (int i = 0; i < 12; ++i) cv::resize(scene(kGreen, {a(i), b}), frames[i], {}, 2, 2, cv::INTER_LINEAR);
  matting::Job j = job(frames, 2);
  j.quality = matting::Quality::Fast;  // 480 pixels wide, the anchor 640
  j.selection.box = matting::Box{0.1, 0.08, 0.8, 0.8};
  j.corrections = {{8, {std::nullopt, {dab(b.x, b.y, -8)}, ""}}};
  matting::run(j);
  for (int i = 8; i < 12; ++i) {
    cv::Mat want;
    cv::resize(truth({a(i)}), want, {}, 2, 2, cv::INTER_NEAREST);
    EXPECT_GE(iou(matte(j, i), want), 0.9) << "frame " << i;
  }
}

// Three shots: a same-coloured disc on blue, the character on green, grey.
// A tracked frame's matte starts from the tracker's read of its edge; a
// mask recalled from the memo is read by the writer. On soft edges, where
// a read depends on what it reads, the two must still give the same matte.
TEST_F(Matting, AMatteIsTheSameFromATrackAsFromItsRecalledMask) {
  std::vector<cv::Mat> frames;
  for (int i = 0; i < 8; ++i) {
    frames.push_back(scene(kGreen, {{90 + 6 * i, 120, 40}}));
    cv::GaussianBlur(frames.back(), frames.back(), {0, 0}, 2);
  }
  matting::Job kept = job(frames, 0);
  kept.selection.box = box_around({90, 120, 40}, 10);
  kept.memoDir = dir_ + "/memo";
  matting::run(kept);
  matting::Job recalled = kept, afresh = kept;
  recalled.edgeSoftness = afresh.edgeSoftness = 0.9;  // the masks are recalled, not the mattes
  recalled.outputDir = dir_ + "/recalled", afresh.outputDir = dir_ + "/afresh";
  afresh.memoDir.clear();
  EXPECT_EQ(matting::run(recalled).recalledFrames, 7);
  matting::run(afresh);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(cv::norm(matte(recalled, i), matte(afresh, i), cv::NORM_INF), 0) << i;
}

TEST_F(Matting, CutsBoundTheAnchorsShotAndTheOthersStayEmpty) {
  std::vector<cv::Mat> frames;
  const auto at = [](int i) { return Disc{100 + 4 * i, 120, 40}; };
  for (int i = 0; i < 13; ++i)
    frames.push_back(i < 3 ? scene(kBlue, {{250, 70, 35}}) : i < 10 ? scene(kGreen, {at(i)}) : scene(kGrey, {}));
  matting::Job j = job(frames, 6);
  j.selection.box = box_around(at(6), 10);
  const matting::Summary s = matting::run(j);
  EXPECT_EQ(s.cuts, (std::vector<int>{3, 10}));
  EXPECT_EQ(s.shotFirst, 3);
  EXPECT_EQ(s.shotLast, 9);
  EXPECT_EQ(s.emptyFrames, 6);
  EXPECT_EQ(s.lostFrames, 0);
  for (const char* part : {"other shots", "0-2", "10-12"}) EXPECT_NE(s.note.find(part), std::string::npos) << s.note;
  ASSERT_EQ(mattes(j), 13);
  for (int i = 0; i < 13; ++i) {
    const cv::Mat m = matte(j, i);
    ASSERT_EQ(m.size(), kSize) << "frame " << i;
    EXPECT_EQ(cv::countNonZero(m) == 0, i < 3 || i >= 10) << "frame " << i;
  }
}

// The disc leaves the frame: the track is lost, said so, and left empty.
TEST_F(Matting, ALostCharacterIsReportedAndLeftEmpty) {
  std::vector<cv::Mat> frames;
  for (int i = 0; i < 10; ++i) frames.push_back(scene(kGreen, {{200 + 25 * i, 120, 40}}));
  matting::Job j = job(frames, 0);
  j.selection.box = box_around({200, 120, 40}, 10);
  const matting::Summary s = matting::run(j);
  ASSERT_GT(s.lostFrames, 0);
  EXPECT_EQ(s.emptyFrames, s.lostFrames);
  EXPECT_NE(s.note.find("lost"), std::string::npos) << s.note;
  for (int i = 10 - s.lostFrames; i < 10; ++i) EXPECT_EQ(cv::countNonZero(matte(j, i)), 0) << "frame " << i;
}

TEST_F(Matting, AnUnreadableFrameFailsTheJobNamingIt) {
  std::vector<cv::Mat> frames;
  for (int i = 0; i < 10; ++i) frames.push_back(scene(kGreen, {{100 + 3 * i, 120, 40}}));
  const matting::Job clip = job(frames, 0);
  const std::string garbage = dir_ + "/garbage.png";
  std::ofstream(garbage) << "\x89PNG\r\nnot a picture";
  // The bad frame, the anchor, and whether the file is missing or garbage.
  const std::tuple<int, int, bool> rows[] = {{7, 2, true}, {7, 2, false}, {1, 5, false}, {4, 4, true}};
  for (const auto& [bad, anchor, missing] : rows) {
    matting::Job j = clip;
    j.outputDir += std::to_string(bad) + std::to_string(anchor);
    j.anchor = anchor;
    j.selection.box = box_around({100 + 3 * anchor, 120, 40}, 10);
    j.frames[bad] = missing ? dir_ + "/missing.png" : garbage;
    const std::string message = error_of(j);
    EXPECT_NE(message.find("frame " + std::to_string(bad)), std::string::npos) << anchor << ": " << message;
  }
}

TEST_F(Matting, DegenerateJobsAreRefusedBeforeAnyMatteIsWritten) {
  const matting::Job base = job({scene(kGreen, {{160, 120, 40}})}, 0);
  const matting::Box good{0.3, 0.25, 0.4, 0.5};
  const double nan = std::nan("");
  const struct Row {
    const char* name;
    matting::Selection selection;
    int anchor;
    double softness;
    const char* fragment;
    std::vector<matting::Correction> corrections = {};
  } rows[] = {
      {"box without width", {matting::Box{0.2, 0.2, 0, 0.3}, {}, ""}, 0, 0.5, "box"},
      {"box outside the frame", {matting::Box{1.2, 0.2, 0.3, 0.3}, {}, ""}, 0, 0.5, "box"},
      {"dabs outside the frame", {std::nullopt, {{1.5, 0.5, 0.1}, {-0.3, -0.3, 0.05}}, ""}, 0, 0.5, "dabs"},
      {"only excluding dabs", {std::nullopt, {{0.5, 0.5, -0.1}}, ""}, 0, 0.5, "excluding"},
      {"a text hint alone", {std::nullopt, {}, "the one in red"}, 0, 0.5, "hint"},
      {"nothing", {}, 0, 0.5, "nothing"},
      {"anchor past the clip", {good, {}, ""}, 1, 0.5, "anchor"},
      {"anchor before the clip", {good, {}, ""}, -1, 0.5, "anchor"},
      {"softness above one", {good, {}, ""}, 0, 1.5, "softness"},
      {"softness not a number", {good, {}, ""}, 0, nan, "softness"},
      {"a correction past the clip", {good, {}, ""}, 0, 0.5, "correction on frame 1 is outside", {{1, {good, {}, ""}}}},
      {"two corrections on one frame",
       {good, {}, ""},
       0,
       0.5,
       "comes twice",
       {{0, {good, {}, ""}}, {0, {good, {}, ""}}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    matting::Job j = base;
    j.selection = row.selection;
    j.anchor = row.anchor;
    j.edgeSoftness = row.softness;
    j.corrections = row.corrections;
    const std::string message = error_of(j);
    EXPECT_NE(message.find(row.fragment), std::string::npos) << message;
    EXPECT_EQ(mattes(j), 0);
  }
  // A dab's radius is a fraction of the width on both axes: on a landscape
  // frame this one, centred below the frame, reaches into it.
  matting::Job reaching = base;
  reaching.selection = {good, {{0.5, 1.3, 0.25}}, ""};
  EXPECT_NO_THROW(matting::run(reaching));
  // Too small to track: refused as the job's error, not as OpenCV's.
  const matting::Job tiny = job({cv::Mat(9, 12, CV_8UC3, cv::Scalar(0, 0, 255))}, 0);
  matting::Job small = base;
  small.frames = tiny.frames;
  small.selection.box = good;
  EXPECT_NE(error_of(small).find("frames smaller than"), std::string::npos) << error_of(small);
}

// cancelled() is asked between frames: once it answers true, tracking stops
// and at most the frame in hand still reports and gets its matte.
TEST_F(Matting, CancellingStopsWithinOneFrameAndKeepsTheMattesWritten) {
  std::vector<cv::Mat> frames;
  for (int i = 0; i < 12; ++i) frames.push_back(scene(kGreen, {{80 + 4 * i, 120, 40}}));
  matting::Job j = job(frames, 0);
  j.selection.box = box_around({80, 120, 40}, 10);
  int asked = 0, done = 0, reportsAfter = 0;
  bool answered = false;
  const auto progress = [&](const matting::Progress& p) {
    reportsAfter += answered;
    if (!answered && p.frames > 1) done = p.frame;  // a tracking stage, not the anchor's
  };
  const auto cancelled = [&] { return answered = answered || ++asked >= 4; };
  EXPECT_THROW(matting::run(j, progress, cancelled), matting::Cancelled);
  EXPECT_LE(reportsAfter, 1);
  EXPECT_LE(done, 4);
  EXPECT_GE(mattes(j), 1 + done);  // the anchor and every frame reported done
  EXPECT_LE(mattes(j), 2 + done);
}

}  // namespace

#pragma once
// What the evaluation clip's writer and the engine's evaluator share: the
// names of frames and mattes, the JPEG the plug-in stages, and the contact
// sheet a person looks at.

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "contract/files.h"
#include "orv/files.h"
#include "orv/image.h"

namespace eval {

// dir/"000042.ext", the numbering the engine reads and writes.
inline std::string numbered(const std::string& dir, int i, const char* ext) {
  return dir + "/" + contract::frame_name(i, (std::string(".") + ext).c_str());
}

// Frames are staged as the plug-in stages them, by its own encoder: OpenCV's
// halves the colour's resolution, and the engine reads the two apart.
inline void writeJpeg(const std::string& path, const cv::Mat& bgr) {
  cv::Mat rgba;
  cv::cvtColor(bgr, rgba, cv::COLOR_BGR2RGBA);
  const std::vector<uint8_t> jpeg = orv::rgba_to_jpeg(rgba.data, rgba.cols, rgba.rows, orv::kStagingJpegQuality);
  if (jpeg.empty() || !orv::write_file(path, jpeg)) throw std::runtime_error("cannot write " + path);
}

inline cv::Mat readImage(const std::string& path, int flags) {
  cv::Mat m = cv::imread(path, flags);
  if (m.empty()) throw std::runtime_error("cannot read " + path);
  return m;
}
inline cv::Mat readGrey(const std::string& path) { return readImage(path, cv::IMREAD_GRAYSCALE); }

// The character premultiplied by its matte over a grey checkerboard, so that
// both holes and halos show.
inline cv::Mat overCheckerboard(const cv::Mat& bgr, const cv::Mat& matte) {
  cv::Mat out(bgr.size(), CV_8UC3);
  const int square = std::max(8, bgr.cols / 40);
  for (int y = 0; y < bgr.rows; ++y)
    for (int x = 0; x < bgr.cols; ++x) {
      const double a = matte.at<uchar>(y, x) / 255.0;
      const double grey = ((x / square + y / square) % 2) ? 150 : 100;
      const cv::Vec3b c = bgr.at<cv::Vec3b>(y, x);
      for (int k = 0; k < 3; ++k) out.at<cv::Vec3b>(y, x)[k] = cv::saturate_cast<uchar>(c[k] * a + grey * (1 - a));
    }
  return out;
}

// One column of the sheet: a frame, its matte, and the composite.
struct SheetFrame {
  std::string image;
  std::string matte;
  std::string label;              // printed on each tile, e.g. the frame number
  std::vector<cv::Rect2d> boxes;  // drawn on the frame, in fractions
  std::vector<cv::Vec3d> dabs;    // x, y, signed radius (fraction of the width)
};

// Five frames a band, each band three rows high, at most maxWidth wide.
inline cv::Mat contactSheet(const std::vector<SheetFrame>& frames, int maxWidth = 2400) {
  if (frames.empty()) throw std::runtime_error("no frames for the contact sheet");
  const int columns = std::min<int>(5, static_cast<int>(frames.size()));
  const int bands = (static_cast<int>(frames.size()) + columns - 1) / columns;
  const cv::Size full = readImage(frames[0].image, cv::IMREAD_COLOR).size();
  const int gap = 4, bandGap = 16;
  const int tileW = std::min(full.width, (maxWidth - gap * (columns - 1)) / columns);
  const cv::Size tile(tileW, static_cast<int>(std::lround(full.height * double(tileW) / full.width)));
  const int bandHeight = 3 * (tile.height + gap) + bandGap;
  cv::Mat sheet(bands * bandHeight - bandGap, columns * (tile.width + gap) - gap, CV_8UC3, cv::Scalar(30, 30, 30));

  for (size_t i = 0; i < frames.size(); ++i) {
    const SheetFrame& f = frames[i];
    cv::Mat bgr = readImage(f.image, cv::IMREAD_COLOR);
    cv::Mat matte = readGrey(f.matte);
    if (matte.size() != bgr.size()) throw std::runtime_error(f.matte + " is not the size of its frame");
    cv::Mat marked = bgr.clone();
    const double w = bgr.cols, h = bgr.rows;
    const int thick = std::max(2, bgr.cols / 300);
    for (const cv::Rect2d& b : f.boxes)
      cv::rectangle(marked, cv::Rect(cv::Point(int(b.x * w), int(b.y * h)), cv::Point(int((b.x + b.width) * w), int((b.y + b.height) * h))),
                    cv::Scalar(0, 255, 255), thick);
    for (const cv::Vec3d& d : f.dabs)
      cv::circle(marked, cv::Point(int(d[0] * w), int(d[1] * h)), std::max(1, int(std::abs(d[2]) * w)),
                 d[2] > 0 ? cv::Scalar(0, 220, 0) : cv::Scalar(0, 0, 255), thick);
    cv::Mat matteBgr;
    cv::cvtColor(matte, matteBgr, cv::COLOR_GRAY2BGR);
    const cv::Mat rows[3] = {marked, matteBgr, overCheckerboard(bgr, matte)};

    const int col = static_cast<int>(i) % columns, band = static_cast<int>(i) / columns;
    for (int r = 0; r < 3; ++r) {
      cv::Mat roi = sheet(cv::Rect(col * (tile.width + gap), band * bandHeight + r * (tile.height + gap), tile.width, tile.height));
      cv::resize(rows[r], roi, tile, 0, 0, cv::INTER_AREA);
      cv::putText(roi, f.label, {6, 22}, cv::FONT_HERSHEY_SIMPLEX, 0.6, cv::Scalar(0, 0, 0), 3, cv::LINE_AA);
      cv::putText(roi, f.label, {6, 22}, cv::FONT_HERSHEY_SIMPLEX, 0.6, cv::Scalar(255, 255, 255), 1, cv::LINE_AA);
    }
  }
  return sheet;
}

// Up to n indices evenly spread over first..last, the anchor among them.
inline std::vector<int> evenlySpaced(int first, int last, int n, int anchor) {
  std::vector<int> picks;
  const int count = std::min(n, last - first + 1);
  for (int k = 0; k < count; ++k)
    picks.push_back(count == 1 ? first : first + static_cast<int>(std::lround(double(k) * (last - first) / (count - 1))));
  if (anchor >= first && anchor <= last && std::find(picks.begin(), picks.end(), anchor) == picks.end()) {
    auto nearest = std::min_element(picks.begin(), picks.end(), [&](int a, int b) { return std::abs(a - anchor) < std::abs(b - anchor); });
    *nearest = anchor;
  }
  return picks;
}

}  // namespace eval

#include "contact_sheet.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "results_folder.h"

namespace {

constexpr int kColumns = 10;
constexpr int kCellWidth = 240;
constexpr int kLabelWidth = 110, kHeaderHeight = 28, kGap = 4;
const cv::Scalar kBackground(40, 40, 40), kText(230, 230, 230), kAnchorText(39, 157, 230), kCorrected(230, 90, 220);
constexpr int kOutline = 2;  // around a corrected frame's column, in the gaps beside it

void label(cv::Mat& sheet, const std::string& text, cv::Point at, const cv::Scalar& colour) {
  cv::putText(sheet, text, at, cv::FONT_HERSHEY_SIMPLEX, 0.5, colour, 1, cv::LINE_AA);
}

}  // namespace

ContactSheet::ContactSheet(int first, int last, int anchor, const std::vector<int>& corrected, int width, int height)
    : corrected_(corrected.begin(), corrected.end()) {
  const int count = last - first + 1;
  for (int k = 0; k < std::min(count, kColumns); ++k) {
    const int frame = count <= kColumns ? first + k : first + static_cast<int>(std::lround(k * (count - 1.0) / 9));
    frames_.push_back(frame);
  }
  // The anchor frame, then the corrected ones, take the place of the nearest
  // frame not taken already, so that their marks show.
  std::vector<int> wanted = {anchor};
  wanted.insert(wanted.end(), corrected.begin(), corrected.end());
  std::set<int> taken;
  for (int frame : wanted) {
    int nearest = -1;
    for (int k = 0; k < static_cast<int>(frames_.size()); ++k)
      if (!taken.count(frames_[k]) &&
          (nearest < 0 || std::abs(frames_[k] - frame) < std::abs(frames_[nearest] - frame)))
        nearest = k;
    if (nearest < 0) break;  // every column holds the anchor or a corrected frame
    if (std::find(frames_.begin(), frames_.end(), frame) == frames_.end()) frames_[nearest] = frame;
    taken.insert(frame);
  }
  std::sort(frames_.begin(), frames_.end());
  for (int k = 0; k < static_cast<int>(frames_.size()); ++k) column_[frames_[k]] = k;

  cell_ = cv::Size(kCellWidth, std::max(1, static_cast<int>(std::lround(kCellWidth * double(height) / width))));
  const int columns = static_cast<int>(frames_.size());
  sheet_ = cv::Mat(kHeaderHeight + kRows * (cell_.height + kGap), kLabelWidth + columns * (cell_.width + kGap), CV_8UC3,
                   kBackground);
  const char* rows[kRows] = {"source", "matte", "character"};
  for (int r = 0; r < kRows; ++r)
    label(sheet_, rows[r], {8, kHeaderHeight + r * (cell_.height + kGap) + cell_.height / 2}, kText);
  for (int k = 0; k < columns; ++k) {
    const int x = kLabelWidth + k * (cell_.width + kGap);
    const bool isAnchor = frames_[k] == anchor, isCorrected = !isAnchor && corrected_.count(frames_[k]);
    if (isCorrected) {
      const cv::Rect column(x, kHeaderHeight, cell_.width, kRows * (cell_.height + kGap) - kGap);
      cv::rectangle(sheet_, column + cv::Point(-kOutline, -kOutline) + cv::Size(2 * kOutline, 2 * kOutline), kCorrected,
                    cv::FILLED);
      cv::rectangle(sheet_, column, kBackground, cv::FILLED);
    }
    std::string note;
    cv::Scalar colour = kText;
    if (isAnchor) note = " (anchor)", colour = kAnchorText;
    if (isCorrected) note = " (corrected)", colour = kCorrected;
    label(sheet_, "frame " + std::to_string(frames_[k]) + note, {x + 4, kHeaderHeight - 9}, colour);
  }
}

void ContactSheet::put(int frame, Row row, const cv::Mat& picture) {
  const auto it = column_.find(frame);
  if (it == column_.end() || picture.empty()) return;
  cv::Mat small;
  cv::resize(picture, small, cell_, 0, 0, cv::INTER_AREA);
  const cv::Rect cell(kLabelWidth + it->second * (cell_.width + kGap), kHeaderHeight + row * (cell_.height + kGap),
                      cell_.width, cell_.height);
  std::lock_guard<std::mutex> lock(mu_);
  small.copyTo(sheet_(cell));
}

std::string ContactSheet::write(const std::string& path) const {
  std::vector<unsigned char> png;
  try {
    if (!cv::imencode(".png", sheet_, png)) return "the sheet cannot be encoded as PNG";
  } catch (const cv::Exception& e) {
    return e.err;
  }
  return writeBytes(path, png);
}

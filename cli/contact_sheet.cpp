#include "contact_sheet.h"

#include <cmath>
#include <cstdlib>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace {

constexpr int kColumns = 10;
constexpr int kCellWidth = 240;
constexpr int kLabelWidth = 110, kHeaderHeight = 28, kGap = 4;
const cv::Scalar kBackground(40, 40, 40), kText(230, 230, 230), kAnchorText(39, 157, 230);

void label(cv::Mat& sheet, const std::string& text, cv::Point at, const cv::Scalar& colour) {
  cv::putText(sheet, text, at, cv::FONT_HERSHEY_SIMPLEX, 0.5, colour, 1, cv::LINE_AA);
}

}  // namespace

ContactSheet::ContactSheet(int first, int last, int anchor, int width, int height) {
  const int count = last - first + 1;
  for (int k = 0; k < std::min(count, kColumns); ++k) {
    const int frame = count <= kColumns ? first + k : first + static_cast<int>(std::lround(k * (count - 1.0) / 9));
    frames_.push_back(frame);
  }
  // The anchor frame takes the place of the nearest one, so that the selection shows.
  int nearest = 0;
  for (int k = 1; k < static_cast<int>(frames_.size()); ++k)
    if (std::abs(frames_[k] - anchor) < std::abs(frames_[nearest] - anchor)) nearest = k;
  frames_[nearest] = anchor;
  for (int k = 0; k < static_cast<int>(frames_.size()); ++k) column_[frames_[k]] = k;

  cell_ = cv::Size(kCellWidth, std::max(1, static_cast<int>(std::lround(kCellWidth * double(height) / width))));
  const int columns = static_cast<int>(frames_.size());
  sheet_ = cv::Mat(kHeaderHeight + kRows * (cell_.height + kGap), kLabelWidth + columns * (cell_.width + kGap), CV_8UC3,
                   kBackground);
  const char* rows[kRows] = {"source", "matte", "character"};
  for (int r = 0; r < kRows; ++r)
    label(sheet_, rows[r], {8, kHeaderHeight + r * (cell_.height + kGap) + cell_.height / 2}, kText);
  for (int k = 0; k < columns; ++k)
    label(sheet_, "frame " + std::to_string(frames_[k]) + (frames_[k] == anchor ? " (anchor)" : ""),
          {kLabelWidth + k * (cell_.width + kGap) + 4, kHeaderHeight - 9}, frames_[k] == anchor ? kAnchorText : kText);
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

bool ContactSheet::write(const std::string& path) const {
  try {
    return cv::imwrite(path, sheet_);
  } catch (const cv::Exception&) {
    return false;
  }
}

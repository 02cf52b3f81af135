#pragma once
// One picture to judge a pull by: ten frames spread evenly over the clip,
// the anchor frame and as many corrected frames as fit among them, each
// shown as the source (with the overlay's marks where the pull has them),
// the matte, and the character over a checkerboard. Corrected frames are
// outlined and labelled in a colour of their own.

#include <map>
#include <mutex>
#include <opencv2/core.hpp>
#include <set>
#include <string>
#include <vector>

class ContactSheet {
 public:
  enum Row { kSource, kMatte, kCharacter, kRows };

  ContactSheet(int first, int last, int anchor, const std::vector<int>& corrected, int width, int height);
  const std::vector<int>& frames() const { return frames_; }
  bool wants(int frame) const { return column_.count(frame) > 0; }
  bool corrected(int frame) const { return corrected_.count(frame) > 0; }
  // Places a picture (8-bit BGR, any size) in its cell; from any thread.
  void put(int frame, Row row, const cv::Mat& picture);
  // "" when written, else why not.
  std::string write(const std::string& path) const;

 private:
  std::vector<int> frames_;
  std::map<int, int> column_;
  std::set<int> corrected_;
  cv::Size cell_;
  cv::Mat sheet_;
  std::mutex mu_;
};

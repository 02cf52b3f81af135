// eval_clip OUTDIR [--frames N] [--size WxH]
//
// Writes a labelled clip for the matting engine: a footballer cut out of a
// still photograph, moving, scaling and turning over a shot of a film, then
// a cut to the film's next shot of that scene, where he is absent. Frames are JPEG q92
// (OUTDIR/%06d.jpg), the true alpha is what was composited
// (OUTDIR/truth/%06d.png, all zero after the cut), OUTDIR/clip.json says
// where the cut and the anchor are and boxes the character on the anchor,
// and OUTDIR/preview.png shows frames beside their truth.
//
// Everything comes from Debian's opencv-doc examples: messi5.jpg (the
// footballer, matted once by hand below) and Megamind.avi: frames 98..153
// (its second shot: a dark red room, candles, a man in a blue jumper, the
// reds, blues and skin the player wears too) under him, frames 200..269
// (the fourth) after the cut. Shots are played back and forth when the clip
// is longer than they are.

#include "bench/eval_common.h"

#include <nlohmann/json.hpp>
#include <opencv2/videoio.hpp>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

namespace {

const std::string kData = "/usr/share/doc/opencv-doc/examples/data/";
// The frame size (--size); the player is scaled with the frame's height.
cv::Size kFrame(960, 540);

// The player's outline in messi5.jpg (548 x 342), traced by eye on a 4x
// enlargement, clockwise from his left fingertips. The ball is left out.
const int kOutline[][2] = {
    {68, 90},   {72, 88},   {80, 88},   {86, 90},   {92, 94},   {100, 99},  {110, 104}, {122, 108}, {135, 111},
    {148, 113}, {160, 116}, {175, 116}, {190, 114}, {200, 112}, {205, 110}, {207, 105}, {206, 93},  {210, 85},
    {214, 75},  {220, 69},  {230, 64},  {240, 62},  {250, 64},  {256, 70},  {260, 80},  {262, 89},  {260, 95},
    {257, 103}, {258, 108}, {265, 109}, {275, 109}, {285, 111}, {292, 120}, {297, 127}, {307, 134}, {310, 137},
    {320, 141}, {330, 149}, {340, 155}, {350, 157}, {360, 155}, {365, 154}, {370, 157}, {376, 162}, {377, 166},
    {370, 167}, {365, 172}, {369, 177}, {365, 179}, {355, 172}, {347, 170}, {335, 165}, {322, 157}, {312, 151},
    {305, 147}, {300, 145}, {292, 148}, {284, 152}, {283, 160}, {285, 170}, {288, 185}, {292, 195}, {296, 205},
    {300, 210}, {310, 217}, {325, 226}, {337, 232}, {347, 236}, {360, 237}, {372, 239}, {382, 244}, {395, 249},
    {407, 252}, {417, 255}, {430, 259}, {442, 264}, {451, 270}, {456, 277}, {455, 285}, {450, 289}, {440, 286},
    {430, 280}, {422, 276}, {417, 274}, {407, 270}, {395, 266}, {382, 262}, {372, 262}, {362, 262}, {350, 262},
    {337, 264}, {330, 265}, {325, 270}, {315, 271}, {307, 270}, {300, 266}, {290, 272}, {280, 279}, {272, 282},
    {265, 286}, {262, 287}, {275, 297}, {285, 306}, {291, 311}, {297, 315}, {305, 321}, {307, 327}, {302, 332},
    {285, 335}, {265, 335}, {255, 332}, {252, 326}, {254, 322}, {247, 314}, {241, 305}, {234, 297}, {225, 291},
    {221, 282}, {221, 272}, {224, 264}, {226, 254}, {224, 242}, {220, 230}, {214, 212}, {210, 205}, {206, 195},
    {201, 180}, {200, 175}, {192, 160}, {180, 150}, {167, 146}, {162, 140}, {159, 131}, {147, 127}, {130, 120},
    {110, 112}, {97, 106},  {85, 101},  {76, 98},   {70, 95},   {67, 92}};

// The outline filled with its exact area coverage (drawn 8x larger, then
// averaged down), softened a little as a lens would: a float alpha 0..1.
cv::Mat handMatte(cv::Size size) {
  const int up = 8;
  std::vector<cv::Point> outline;
  for (const auto& p : kOutline) outline.emplace_back(p[0] * up + up / 2, p[1] * up + up / 2);
  cv::Mat big(size * up, CV_8U, cv::Scalar(0));
  cv::fillPoly(big, std::vector<std::vector<cv::Point>>{outline}, cv::Scalar(255));
  cv::Mat alpha;
  cv::resize(big, alpha, size, 0, 0, cv::INTER_AREA);
  alpha.convertTo(alpha, CV_32F, 1.0 / 255);
  cv::GaussianBlur(alpha, alpha, cv::Size(0, 0), 0.7);
  return alpha;
}

// A 16:9 middle of the frame, enlarged to kFrame.
cv::Mat fitToFrame(const cv::Mat& f) {
  const int h = std::min(f.rows, f.cols * 9 / 16), w = h * 16 / 9;
  cv::Mat out;
  cv::resize(f(cv::Rect((f.cols - w) / 2, (f.rows - h) / 2, w, h)), out, kFrame, 0, 0, cv::INTER_CUBIC);
  return out;
}

// count frames of a video from frame first on, going back and forth over
// first..last when the clip asks for more than there are.
std::vector<cv::Mat> background(const std::string& video, int first, int last, int count) {
  cv::VideoCapture in(video);
  if (!in.isOpened()) throw std::runtime_error("cannot open " + video);
  std::vector<cv::Mat> shot;
  cv::Mat f;
  for (int i = 0; i <= last && in.read(f); ++i)
    if (i >= first) shot.push_back(fitToFrame(f));
  if (shot.empty()) throw std::runtime_error(video + " has no frame " + std::to_string(first));
  std::vector<cv::Mat> out;
  const int n = static_cast<int>(shot.size()), period = std::max(1, 2 * n - 2);
  for (int i = 0; i < count; ++i) {
    const int k = i % period;
    out.push_back(shot[k < n ? k : period - k]);
  }
  return out;
}

// Where the player is at phase p (0 on the first frame of his shot, 1 on its
// last): smooth travel left to right with a bob, scale 0.8 -> 1.2, and a
// turn of +-15 degrees. Maps source pixels to frame pixels.
cv::Matx23d placement(double p, cv::Point2d pivot) {
  const double s = (1 - 0.2 * std::cos(CV_PI * p)) * kFrame.height / 540.0;
  const double turn = 15 * CV_PI / 180 * std::sin(2 * CV_PI * p);
  const cv::Point2d centre(kFrame.width * (0.35 + 0.3 * (1 - std::cos(CV_PI * p)) / 2),
                           kFrame.height * (0.52 + 0.06 * std::sin(2 * CV_PI * p)));
  const double c = s * std::cos(turn), n = s * std::sin(turn);
  return {c, -n, centre.x - c * pivot.x + n * pivot.y, n, c, centre.y - n * pivot.x - c * pivot.y};
}

// The player over bg at placement m. Alpha is quantised to 8 bits before it
// is used, so that the truth written is exactly what was composited.
void composite(const cv::Mat& premultiplied, const cv::Mat& alpha, const cv::Matx23d& m, cv::Mat& frame, cv::Mat& truth) {
  cv::Mat colour, a;
  cv::warpAffine(premultiplied, colour, cv::Mat(m), kFrame, cv::INTER_LINEAR, cv::BORDER_CONSTANT);
  cv::warpAffine(alpha, a, cv::Mat(m), kFrame, cv::INTER_LINEAR, cv::BORDER_CONSTANT);
  a.convertTo(truth, CV_8U, 255);
  for (int y = 0; y < frame.rows; ++y)
    for (int x = 0; x < frame.cols; ++x) {
      const float warped = a.at<float>(y, x);
      const float used = truth.at<uchar>(y, x) / 255.f;
      if (used == 0) continue;
      cv::Vec3b& out = frame.at<cv::Vec3b>(y, x);
      const cv::Vec3f fg = colour.at<cv::Vec3f>(y, x) / warped;
      for (int k = 0; k < 3; ++k) out[k] = cv::saturate_cast<uchar>(fg[k] * used + out[k] * (1 - used));
    }
}

// The tight box of alpha > 0.5, grown by 5% a side, in fractions of the frame.
nlohmann::json anchorBox(const cv::Mat& truth) {
  const cv::Rect r = cv::boundingRect(truth > 127);
  const double x0 = std::max(0.0, r.x - 0.05 * r.width), y0 = std::max(0.0, r.y - 0.05 * r.height);
  const double x1 = std::min<double>(truth.cols, r.br().x + 0.05 * r.width);
  const double y1 = std::min<double>(truth.rows, r.br().y + 0.05 * r.height);
  return {{"x", x0 / truth.cols}, {"y", y0 / truth.rows}, {"w", (x1 - x0) / truth.cols}, {"h", (y1 - y0) / truth.rows}};
}

}  // namespace

int main(int argc, char** argv) {
  const std::string usage = "usage: eval_clip OUTDIR [--frames N] [--size WxH]\n";
  if (argc < 2 || argc % 2 != 0) {
    std::cerr << usage;
    return 2;
  }
  const std::string dir = argv[1];
  int frames = 120;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string option = argv[i], value = argv[i + 1];
    if (option == "--frames") {
      frames = std::atoi(value.c_str());
    } else if (option != "--size" || std::sscanf(value.c_str(), "%dx%d", &kFrame.width, &kFrame.height) != 2) {
      std::cerr << usage;
      return 2;
    }
  }
  if (frames < 6 || kFrame.width < 64 || kFrame.height < 64) {
    std::cerr << "eval_clip: --frames must be at least 6 and --size at least 64x64\n";
    return 2;
  }
  const int cut = frames / 2, anchor = cut / 3;
  try {
    std::filesystem::create_directories(dir + "/truth");
    const cv::Mat photo = eval::readImage(kData + "messi5.jpg", cv::IMREAD_COLOR);
    const cv::Mat alpha = handMatte(photo.size());
    cv::Mat premultiplied, alpha3;
    photo.convertTo(premultiplied, CV_32FC3);
    cv::merge(std::vector<cv::Mat>(3, alpha), alpha3);
    premultiplied = premultiplied.mul(alpha3);
    const cv::Rect body = cv::boundingRect(alpha > 0.5);
    const cv::Point2d pivot(body.x + body.width / 2.0, body.y + body.height / 2.0);

    const std::vector<cv::Mat> withPlayer = background(kData + "Megamind.avi", 98, 153, cut);
    const std::vector<cv::Mat> without = background(kData + "Megamind.avi", 200, 269, frames - cut);
    nlohmann::json box;
    std::vector<eval::SheetFrame> preview;
    const std::vector<int> shown = eval::evenlySpaced(0, frames - 1, 10, anchor);
    for (int i = 0; i < frames; ++i) {
      cv::Mat frame = (i < cut ? withPlayer[i] : without[i - cut]).clone();
      cv::Mat truth(kFrame, CV_8U, cv::Scalar(0));
      if (i < cut) composite(premultiplied, alpha, placement(cut > 1 ? double(i) / (cut - 1) : 0, pivot), frame, truth);
      eval::writeJpeg(eval::numbered(dir, i, "jpg"), frame);
      if (!cv::imwrite(eval::numbered(dir + "/truth", i, "png"), truth)) throw std::runtime_error("cannot write truth");
      if (i == anchor) box = anchorBox(truth);
      if (std::find(shown.begin(), shown.end(), i) != shown.end()) {
        eval::SheetFrame s{eval::numbered(dir, i, "jpg"), eval::numbered(dir + "/truth", i, "png"), std::to_string(i), {}, {}};
        if (i == anchor) s.boxes.emplace_back(box["x"], box["y"], box["w"], box["h"]);
        preview.push_back(s);
      }
    }
    const nlohmann::json clip = {{"frames", frames}, {"cut", cut}, {"anchor", anchor}, {"box", box},
                                 {"width", kFrame.width}, {"height", kFrame.height}};
    std::ofstream(dir + "/clip.json") << clip.dump(2) << "\n";
    cv::imwrite(dir + "/preview.png", eval::contactSheet(preview));
    std::cout << "wrote " << frames << " frames to " << dir << ": cut before " << cut << ", anchor " << anchor
              << ", box " << box.dump() << "\n";
  } catch (const std::exception& e) {
    std::cerr << "eval_clip: " << e.what() << "\n";
    return 1;
  }
}

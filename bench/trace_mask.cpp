// trace_mask look CLIP FRAME OUT.png [--crop X,Y,W,H] [--zoom Z] [--gain G] [--traced FILE]
//   The frame, or a part of it enlarged, under a grid in the frame's own
//   pixels (a line every 50, and every 10 once enlarged), to read a
//   character's outline off by eye; --gain brightens dark footage G times;
//   with --traced, a frame's traced file drawn on top (character green,
//   holes red, each point a dot).
// trace_mask masks SETDIR OUTDIR
//   Writes the masks of a set: OUTDIR/NNNNNN.png for each traced frame
//   (8-bit, the share of each pixel the character covers), and
//   OUTDIR/check_NNNNNN.png, the frame with the mask's edge drawn on it.
//
// A traced frame's file, SETDIR/NNNNNN.json, holds the outline traced by
// hand: {"character": [POLYGON...], "holes": [POLYGON...]}, where a POLYGON
// is [[x, y], ...] in the frame's pixels (x right, y down, pixel centres at
// whole numbers). The mask is what the character polygons cover less what
// the holes cover. Conventions in bench/devset/README.md.

#include <cstdio>
#include <filesystem>
#include <iostream>

#include "bench/devset.h"
#include "bench/eval_common.h"

namespace fs = std::filesystem;

namespace {

cv::Rect parseRect(const std::string& text) {
  cv::Rect r;
  if (std::sscanf(text.c_str(), "%d,%d,%d,%d", &r.x, &r.y, &r.width, &r.height) != 4)
    throw std::invalid_argument("--crop is X,Y,W,H");
  return r;
}

// The grid over `view`, which shows `crop` of the frame enlarged `zoom`
// times: a line every 50 pixels, and every 10 once enlarged.
void drawGrid(cv::Mat& view, const cv::Rect& crop, int zoom) {
  const int step = zoom > 1 ? 10 : 50;
  for (int x = (crop.x + step - 1) / step * step; x < crop.x + crop.width; x += step) {
    const int at = (x - crop.x) * zoom + zoom / 2;
    const bool major = x % 50 == 0;
    cv::line(view, {at, 0}, {at, view.rows - 1}, major ? cv::Scalar(0, 255, 255) : cv::Scalar(0, 160, 160), 1);
    if (major)
      cv::putText(view, std::to_string(x), {at + 2, 12}, cv::FONT_HERSHEY_PLAIN, 0.9, cv::Scalar(0, 255, 255), 1);
  }
  for (int y = (crop.y + step - 1) / step * step; y < crop.y + crop.height; y += step) {
    const int at = (y - crop.y) * zoom + zoom / 2;
    const bool major = y % 50 == 0;
    cv::line(view, {0, at}, {view.cols - 1, at}, major ? cv::Scalar(255, 255, 0) : cv::Scalar(160, 160, 0), 1);
    if (major)
      cv::putText(view, std::to_string(y), {2, at - 2}, cv::FONT_HERSHEY_PLAIN, 0.9, cv::Scalar(255, 255, 0), 1);
  }
}

int look(const std::string& clip, int frame, const std::string& out, const cv::Rect& cropAsked, int zoom, double gain,
         const std::string& traced) {
  const cv::Mat bgr = devset::readVideoFrame(clip, frame);
  const cv::Rect crop = cropAsked.area() > 0 ? cropAsked & cv::Rect({0, 0}, bgr.size()) : cv::Rect({0, 0}, bgr.size());
  if (crop.area() == 0) throw std::invalid_argument("--crop lies outside the frame");
  cv::Mat view;
  cv::resize(bgr(crop), view, crop.size() * zoom, 0, 0, cv::INTER_NEAREST);
  view.convertTo(view, -1, gain);
  drawGrid(view, crop, zoom);
  if (!traced.empty()) {
    const devset::Traced t = devset::loadTraced(traced);
    {
      auto draw = [&](const std::vector<std::vector<cv::Point2d>>& polygons, const cv::Scalar& colour) {
        for (const auto& polygon : polygons) {
          std::vector<cv::Point> shown;
          for (const cv::Point2d& p : polygon)
            shown.emplace_back(int((p.x - crop.x) * zoom + zoom / 2), int((p.y - crop.y) * zoom + zoom / 2));
          cv::polylines(view, shown, true, colour, 1, cv::LINE_AA);
          for (const cv::Point& p : shown) cv::circle(view, p, 2, colour, cv::FILLED);
        }
      };
      draw(t.character, cv::Scalar(0, 255, 0));
      draw(t.holes, cv::Scalar(0, 0, 255));
    }
  }
  if (!cv::imwrite(out, view)) throw std::runtime_error("cannot write " + out);
  return 0;
}

int masks(const std::string& setDir, const std::string& outDir) {
  const devset::Traces t = devset::loadSet(setDir);
  fs::create_directories(outDir);
  for (const auto& [frame, traced] : t.frames) {
    const cv::Mat bgr = devset::readVideoFrame(t.clip, frame);
    const cv::Mat mask = devset::rasterise(traced, bgr.size());
    if (!cv::imwrite(eval::numbered(outDir, frame, "png"), mask)) throw std::runtime_error("cannot write in " + outDir);
    cv::Mat check = bgr.clone(), edge;
    cv::Canny(mask, edge, 64, 192);
    check.setTo(cv::Scalar(0, 255, 0), edge);
    cv::imwrite(outDir + "/check_" + eval::numbered("", frame, "png").substr(1), check);
    std::printf("frame %d: %.1f%% of the frame\n", frame, 100.0 * cv::mean(mask)[0] / 255);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "look" && argc >= 5) {
      cv::Rect crop;
      int zoom = 1;
      double gain = 1;
      std::string traced;
      for (int i = 5; i + 1 < argc; i += 2) {
        const std::string key = argv[i], value = argv[i + 1];
        if (key == "--crop")
          crop = parseRect(value);
        else if (key == "--zoom")
          zoom = std::max(1, std::atoi(value.c_str()));
        else if (key == "--gain")
          gain = std::max(0.1, std::atof(value.c_str()));
        else if (key == "--traced")
          traced = value;
        else
          throw std::invalid_argument("unknown option " + key);
      }
      return look(argv[2], std::atoi(argv[3]), argv[4], crop, zoom, gain, traced);
    }
    if (command == "masks" && argc == 4) return masks(argv[2], argv[3]);
  } catch (const std::invalid_argument& e) {
    std::cerr << "trace_mask: " << e.what() << "\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "trace_mask: " << e.what() << "\n";
    return 1;
  }
  std::cerr << "usage: trace_mask look CLIP FRAME OUT.png [--crop X,Y,W,H] [--zoom Z] [--gain G] [--traced FILE]\n"
               "       trace_mask masks SETDIR OUTDIR\n";
  return 2;
}

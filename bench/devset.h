#pragma once
// The real-footage development set: outlines traced by hand on frames of a
// video (a folder under bench/devset/, made with trace_mask), the engine
// runs that are scored against them, and the masks they give.

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <stdexcept>
#include <string>
#include <vector>

namespace devset {

using Polygon = std::vector<cv::Point2d>;

struct Traced {
  std::vector<Polygon> character;  // what the character covers
  std::vector<Polygon> holes;      // taken out again: background seen through it
};

// Marks on another frame than the anchor's: an optional box and dabs.
struct Correction {
  int frame = 0;
  std::optional<cv::Rect2d> box;
  std::vector<cv::Vec3d> dabs;
};

// One engine run over a shot: frames first..last of the clip, the
// selection made on `anchor` (box in pixels, dabs as x, y in pixels and a
// signed radius in pixels), and corrections on other frames.
struct Run {
  std::string name;
  int first = 0, last = 0, anchor = 0;
  cv::Rect2d box;
  std::vector<cv::Vec3d> dabs;
  std::vector<Correction> corrections;
};

struct Traces {
  std::string clip;
  std::vector<Run> runs;
  std::map<int, Traced> frames;
};

inline nlohmann::json readJson(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  try {
    return nlohmann::json::parse(in);
  } catch (const nlohmann::json::exception& e) {
    throw std::runtime_error(path + ": " + e.what());
  }
}

// One traced frame's file: {"character": [POLYGON...], "holes": [POLYGON...]}.
inline Traced loadTraced(const std::string& path) {
  const nlohmann::json j = readJson(path);
  auto polygons = [&](const char* key) {
    std::vector<Polygon> out;
    for (const auto& polygon : j.value(key, nlohmann::json::array())) {
      Polygon p;
      for (const auto& point : polygon) p.emplace_back(point.at(0).get<double>(), point.at(1).get<double>());
      if (p.size() < 3) throw std::runtime_error(path + ": a polygon needs three points at least");
      out.push_back(std::move(p));
    }
    return out;
  };
  return Traced{polygons("character"), polygons("holes")};
}

// A set's folder: set.json ({"clip": PATH, "runs": [...]}) and one
// NNNNNN.json per traced frame, named by the clip's frame number.
inline Traces loadSet(const std::string& dir) {
  const nlohmann::json j = readJson(dir + "/set.json");
  Traces t;
  t.clip = j.at("clip").get<std::string>();
  for (const auto& r : j.value("runs", nlohmann::json::array())) {
    Run run;
    run.name = r.at("name");
    run.first = r.at("frames").at(0), run.last = r.at("frames").at(1), run.anchor = r.at("anchor");
    const auto& b = r.at("box_px");
    run.box = cv::Rect2d(b.at(0), b.at(1), b.at(2), b.at(3));
    for (const auto& d : r.value("dabs_px", nlohmann::json::array())) run.dabs.emplace_back(d.at(0), d.at(1), d.at(2));
    for (const auto& c : r.value("corrections", nlohmann::json::array())) {
      Correction correction;
      correction.frame = c.at("frame");
      if (c.contains("box_px")) {
        const auto& cb = c.at("box_px");
        correction.box = cv::Rect2d(cb.at(0), cb.at(1), cb.at(2), cb.at(3));
      }
      for (const auto& d : c.value("dabs_px", nlohmann::json::array()))
        correction.dabs.emplace_back(d.at(0), d.at(1), d.at(2));
      run.corrections.push_back(correction);
    }
    t.runs.push_back(run);
  }
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.size() == 11 && name.substr(6) == ".json" && name.find_first_not_of("0123456789") == 6)
      t.frames[std::stoi(name.substr(0, 6))] = loadTraced(entry.path().string());
  }
  return t;
}

// The share of each pixel the traced outline covers, 0..255: drawn eight
// times larger, then averaged down.
inline cv::Mat rasterise(const Traced& traced, cv::Size size) {
  constexpr int kUp = 8;
  cv::Mat big(size * kUp, CV_8U, cv::Scalar(0));
  // One polygon at a time: filled together, overlaps would cancel out.
  auto fill = [&](const std::vector<Polygon>& polygons, int value) {
    for (const Polygon& p : polygons) {
      std::vector<cv::Point> scaled;
      for (const cv::Point2d& q : p) scaled.emplace_back(int(q.x * kUp + kUp / 2), int(q.y * kUp + kUp / 2));
      cv::fillPoly(big, std::vector<std::vector<cv::Point>>{scaled}, cv::Scalar(value), cv::LINE_8);
    }
  };
  fill(traced.character, 255);
  fill(traced.holes, 0);
  cv::Mat mask;
  cv::resize(big, mask, size, 0, 0, cv::INTER_AREA);
  return mask;
}

// Frame `index` of a video file, counting from 0.
inline cv::Mat readVideoFrame(const std::string& clip, int index) {
  cv::VideoCapture in(clip);
  if (!in.isOpened()) throw std::runtime_error("cannot open " + clip);
  cv::Mat frame;
  for (int i = 0; i <= index; ++i)
    if (!in.read(frame)) throw std::runtime_error(clip + " has no frame " + std::to_string(index));
  return frame;
}

}  // namespace devset

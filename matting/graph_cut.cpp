#include "matting/graph_cut.h"

#include <cmath>
#include <vector>

#include <opencv2/imgproc/detail/gcgraph.hpp>

namespace matting {

void graph_cut(const cv::Mat& bgr, const cv::Mat& vote, const cv::Mat& seeds, float smoothness, cv::Mat& mask) {
  const int w = bgr.cols, h = bgr.rows;
  mask.create(bgr.size(), CV_8U);
  cv::Mat nodes(bgr.size(), CV_32S);
  int count = 0, pairs = 0;
  double contrast = 0;
  for (int y = 0; y < h; ++y) {
    const uchar* s = seeds.ptr<uchar>(y);
    const cv::Vec3b* p = bgr.ptr<cv::Vec3b>(y);
    int* n = nodes.ptr<int>(y);
    uchar* m = mask.ptr<uchar>(y);
    for (int x = 0; x < w; ++x) {
      n[x] = s[x] == kFree ? count++ : -1;
      m[x] = s[x] == kFixedCharacter ? 255 : 0;
      if (s[x] == kFree && x + 1 < w) {
        const cv::Vec3i d = cv::Vec3i(p[x]) - cv::Vec3i(p[x + 1]);
        contrast += d.dot(d);
        ++pairs;
      }
    }
  }
  if (count == 0) return;
  // Edges cost less where colours differ, relative to the frame's contrast.
  const double beta = pairs && contrast > 0 ? 0.5 / (contrast / pairs) : 0.0;
  const float diag = 1.f / std::sqrt(2.f);
  // The weight of each squared colour difference, worked out once: a band's
  // differences are few, its pairs many.
  std::vector<float> weightOf(3 * 255 * 255 + 1, -1.f);
  static const int dx[] = {1, 0, 1, -1, -1, 0, -1, 1}, dy[] = {0, 1, 1, 1, 0, -1, -1, -1};

  // GCGraph cannot be emptied, so each cut builds its own.
  cv::detail::GCGraph<float> graph(count, count * 8);
  for (int i = 0; i < count; ++i) graph.addVtx();
  for (int y = 0; y < h; ++y) {
    const int* n = nodes.ptr<int>(y);
    const float* v = vote.ptr<float>(y);
    const cv::Vec3b* p = bgr.ptr<cv::Vec3b>(y);
    for (int x = 0; x < w; ++x) {
      if (n[x] < 0) continue;
      float toCharacter = std::max(v[x], 0.f), toBackground = std::max(-v[x], 0.f);
      for (int k = 0; k < 8; ++k) {
        const int nx = x + dx[k], ny = y + dy[k];
        if (nx < 0 || ny < 0 || nx >= w || ny >= h) continue;
        const int other = nodes.at<int>(ny, nx);
        // Each pair of free pixels is joined once, from its first pixel.
        if (other >= 0 && k >= 4) continue;
        const cv::Vec3i d = cv::Vec3i(p[x]) - cv::Vec3i(bgr.at<cv::Vec3b>(ny, nx));
        float& plain = weightOf[d.dot(d)];
        if (plain < 0) plain = float(smoothness * std::exp(-beta * d.dot(d)));
        const float weight = plain * (dx[k] && dy[k] ? diag : 1.f);
        if (other >= 0) graph.addEdges(n[x], other, weight, weight);
        else (seeds.at<uchar>(ny, nx) == kFixedCharacter ? toCharacter : toBackground) += weight;
      }
      graph.addTermWeights(n[x], toCharacter, toBackground);
    }
  }
  graph.maxFlow();
  for (int y = 0; y < h; ++y) {
    const int* n = nodes.ptr<int>(y);
    uchar* m = mask.ptr<uchar>(y);
    for (int x = 0; x < w; ++x)
      if (n[x] >= 0) m[x] = graph.inSourceSegment(n[x]) ? 255 : 0;
  }
}

}  // namespace matting

#include "matting/graph_cut.h"

#include <cmath>
#include <vector>

#include <opencv2/imgproc/detail/gcgraph.hpp>

namespace matting {

namespace {
// A pixel's eight neighbours: the first four come after it in scan order.
constexpr int dx[] = {1, 0, 1, -1, -1, 0, -1, 1}, dy[] = {0, 1, 1, 1, 0, -1, -1, -1};

// The link between two neighbours: it costs less to cut where their colours
// differ, relative to the contrast among the free pixels.
class Links {
 public:
  Links(const cv::Mat& bgr, const cv::Mat& seeds, float smoothness) : smoothness_(smoothness) {
    int pairs = 0;
    double contrast = 0;
    for (int y = 0; y < bgr.rows; ++y) {
      const uchar* s = seeds.ptr<uchar>(y);
      const cv::Vec3b* p = bgr.ptr<cv::Vec3b>(y);
      for (int x = 0; x + 1 < bgr.cols; ++x) {
        if (s[x] != kFree) continue;
        const cv::Vec3i d = cv::Vec3i(p[x]) - cv::Vec3i(p[x + 1]);
        contrast += d.dot(d);
        ++pairs;
      }
    }
    beta_ = pairs && contrast > 0 ? 0.5 / (contrast / pairs) : 0.0;
  }

  // The link from a pixel of colour a to its neighbour k of colour b.
  float operator()(const cv::Vec3b& a, const cv::Vec3b& b, int k) {
    const cv::Vec3i d = cv::Vec3i(a) - cv::Vec3i(b);
    const int d2 = d.dot(d);
    // Worked out once for each squared difference: a band's differences
    // are few, its pairs many.
    float& plain = plainOf_[d2];
    if (plain < 0) plain = float(smoothness_ * std::exp(-beta_ * d2));
    return plain * (dx[k] && dy[k] ? diagonal_ : 1.f);
  }

 private:
  const float smoothness_, diagonal_ = 1.f / std::sqrt(2.f);
  double beta_ = 0;
  std::vector<float> plainOf_ = std::vector<float>(3 * 255 * 255 + 1, -1.f);
};

// Fixes each free pixel whose pull toward one side outweighs all its links
// to free pixels together: every minimum cut puts it on that side. Its
// links then pull its free neighbours its way, and they may settle in turn.
// Most of a band settles so, and the max-flow is left the pixels where the
// colours and the guess contend; what it finds there is what it would find
// with the whole band.
void settle(const cv::Mat& bgr, const cv::Mat& vote, Links& link, cv::Mat& seeds) {
  const int w = bgr.cols, h = bgr.rows;
  // Each free pixel's pull toward the character (negative: toward the
  // background), and its ties: its links to free pixels.
  cv::Mat pull(bgr.size(), CV_32F), ties(bgr.size(), CV_32F);
  std::vector<cv::Point> settled;
  for (int y = 0; y < h; ++y) {
    const uchar* s = seeds.ptr<uchar>(y);
    const cv::Vec3b* p = bgr.ptr<cv::Vec3b>(y);
    for (int x = 0; x < w; ++x) {
      if (s[x] != kFree) continue;
      float toward = vote.ptr<float>(y)[x], tied = 0;
      for (int k = 0; k < 8; ++k) {
        const int nx = x + dx[k], ny = y + dy[k];
        if (nx < 0 || ny < 0 || nx >= w || ny >= h) continue;
        const float weight = link(p[x], bgr.ptr<cv::Vec3b>(ny)[nx], k);
        const uchar other = seeds.ptr<uchar>(ny)[nx];
        if (other == kFree)
          tied += weight;
        else
          toward += other == kFixedCharacter ? weight : -weight;
      }
      pull.ptr<float>(y)[x] = toward, ties.ptr<float>(y)[x] = tied;
      if (std::abs(toward) > tied) settled.emplace_back(x, y);
    }
  }
  for (size_t i = 0; i < settled.size(); ++i) {
    const cv::Point q = settled[i];
    const float toward = pull.at<float>(q);
    if (seeds.at<uchar>(q) != kFree || !(std::abs(toward) > ties.at<float>(q))) continue;
    seeds.at<uchar>(q) = toward > 0 ? kFixedCharacter : kFixedBackground;
    for (int k = 0; k < 8; ++k) {
      const int nx = q.x + dx[k], ny = q.y + dy[k];
      if (nx < 0 || ny < 0 || nx >= w || ny >= h || seeds.ptr<uchar>(ny)[nx] != kFree) continue;
      float& theirs = pull.ptr<float>(ny)[nx];
      float& tied = ties.ptr<float>(ny)[nx];
      // How far a pixel's pull outweighs its ties only grows as its
      // neighbours settle: it is queued when it first does.
      const bool queued = std::abs(theirs) > tied;
      const float weight = link(bgr.at<cv::Vec3b>(q), bgr.ptr<cv::Vec3b>(ny)[nx], k);
      theirs += toward > 0 ? weight : -weight;
      tied -= weight;
      if (!queued && std::abs(theirs) > tied) settled.emplace_back(nx, ny);
    }
  }
}
}  // namespace

void graph_cut(const cv::Mat& bgr, const cv::Mat& vote, const cv::Mat& seeds, float smoothness, cv::Mat& mask) {
  const int w = bgr.cols, h = bgr.rows;
  Links link(bgr, seeds, smoothness);
  cv::Mat fixed = seeds.clone();
  settle(bgr, vote, link, fixed);

  mask.create(bgr.size(), CV_8U);
  cv::Mat nodes(bgr.size(), CV_32S);
  int count = 0;
  for (int y = 0; y < h; ++y) {
    const uchar* s = fixed.ptr<uchar>(y);
    int* n = nodes.ptr<int>(y);
    uchar* m = mask.ptr<uchar>(y);
    for (int x = 0; x < w; ++x) {
      n[x] = s[x] == kFree ? count++ : -1;
      m[x] = s[x] == kFixedCharacter ? 255 : 0;
    }
  }
  if (count == 0) return;

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
        const int other = nodes.ptr<int>(ny)[nx];
        // Each pair of free pixels is joined once, from its first pixel.
        if (other >= 0 && k >= 4) continue;
        const float weight = link(p[x], bgr.ptr<cv::Vec3b>(ny)[nx], k);
        if (other >= 0) graph.addEdges(n[x], other, weight, weight);
        else
          (fixed.ptr<uchar>(ny)[nx] == kFixedCharacter ? toCharacter : toBackground) += weight;
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

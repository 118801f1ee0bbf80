#include "pipeline/occlusion_mask.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "image/warp.h"

namespace {

constexpr float kOutsideMargin = 0.5f;         // a target beyond the pixel centres by this is outside
constexpr double kConsistencyRelative = 0.01;  // forward-backward test, relative part
constexpr double kConsistencyAbsolute = 0.5;   // and absolute part (pixels squared)
constexpr float kMinCoverage = 0.5f;           // backward footprint below this: nothing lands here
constexpr float kMaxColourDistance = 30.0f;    // grey levels, Euclidean over B, G, R
constexpr int kClosingDiameter = 5;
constexpr uint8_t kOccluded = 255;

// How much of every pixel of the first frame the second frame's pixels land on, each spread
// bilinearly around x + w_b(x). Accumulated in row order, so the sums are always the same.
cv::Mat BackwardCoverage(const cv::Mat& backU, const cv::Mat& backV) {
  cv::Mat coverage = cv::Mat::zeros(backU.size(), CV_32F);
  for (int y = 0; y < backU.rows; ++y) {
    const float* bu = backU.ptr<float>(y);
    const float* bv = backV.ptr<float>(y);
    for (int x = 0; x < backU.cols; ++x) {
      if (!std::isfinite(bu[x]) || !std::isfinite(bv[x])) continue;
      const double tx = x + static_cast<double>(bu[x]);
      const double ty = y + static_cast<double>(bv[x]);
      if (tx <= -1.0 || ty <= -1.0 || tx >= backU.cols || ty >= backU.rows) continue;
      const int x0 = static_cast<int>(std::floor(tx));
      const int y0 = static_cast<int>(std::floor(ty));
      const float ax = static_cast<float>(tx - x0);
      const float ay = static_cast<float>(ty - y0);
      for (int dy = 0; dy < 2; ++dy) {
        const int yy = y0 + dy;
        if (yy < 0 || yy >= backU.rows) continue;
        for (int dx = 0; dx < 2; ++dx) {
          const int xx = x0 + dx;
          if (xx < 0 || xx >= backU.cols) continue;
          coverage.at<float>(yy, xx) += (dx ? ax : 1.0f - ax) * (dy ? ay : 1.0f - ay);
        }
      }
    }
  }
  return coverage;
}

}  // namespace

void EstimateOcclusionMask(const ImageRef& first, const ImageRef& second, const ImageRef& u, const ImageRef& v,
                           const ImageRef& backU, const ImageRef& backV, ImageRef& mask) {
  const int width = u.Width();
  const int height = u.Height();
  EnsureByte(mask, width, height, 1);
  const int channels = first.Channels();
  std::vector<cv::Mat> secondPlanes;
  cv::Mat secondFloat;
  second.Mat().convertTo(secondFloat, CV_32F);
  cv::split(secondFloat, secondPlanes);
  const cv::Mat coverage = BackwardCoverage(backU.Mat(), backV.Mat());
  // A grey difference d counts as the colour distance of d on all three channels.
  const float colourScale = channels == 3 ? 1.0f : std::sqrt(3.0f);

  for (int y = 0; y < height; ++y) {
    const float* ur = u.Row<float>(y);
    const float* vr = v.Row<float>(y);
    const uint8_t* firstRow = first.Row<uint8_t>(y);
    const float* covered = coverage.ptr<float>(y);
    uint8_t* out = mask.Row<uint8_t>(y);
    for (int x = 0; x < width; ++x) {
      out[x] = kOccluded;
      if (!std::isfinite(ur[x]) || !std::isfinite(vr[x])) continue;
      const float tx = static_cast<float>(x) + ur[x];
      const float ty = static_cast<float>(y) + vr[x];
      if (tx < -kOutsideMargin || ty < -kOutsideMargin || tx > static_cast<float>(width - 1) + kOutsideMargin ||
          ty > static_cast<float>(height - 1) + kOutsideMargin) {
        continue;
      }
      if (covered[x] < kMinCoverage) continue;
      const double bu = SampleBilinearClamped(backU.Mat(), tx, ty);
      const double bv = SampleBilinearClamped(backV.Mat(), tx, ty);
      if (!std::isfinite(bu) || !std::isfinite(bv)) continue;
      const double du = ur[x] + bu;
      const double dv = vr[x] + bv;
      const double lengths = static_cast<double>(ur[x]) * ur[x] + static_cast<double>(vr[x]) * vr[x] + bu * bu + bv * bv;
      if (du * du + dv * dv > kConsistencyRelative * lengths + kConsistencyAbsolute) continue;
      float distance2 = 0.0f;
      for (int c = 0; c < channels; ++c) {
        const float d = static_cast<float>(firstRow[x * channels + c]) - SampleBilinearClamped(secondPlanes[c], tx, ty);
        distance2 += d * d;
      }
      if (std::sqrt(distance2) * colourScale > kMaxColourDistance) continue;
      out[x] = 0;
    }
  }
  const cv::Mat disc =
      cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(kClosingDiameter, kClosingDiameter));
  cv::morphologyEx(mask.Mat(), mask.Mat(), cv::MORPH_CLOSE, disc);
}

#include "image/occlusion_score.h"

OcclusionScore ScoreOcclusionMask(const cv::Mat& truth, const cv::Mat& estimate) {
  CV_Assert(truth.type() == CV_8UC1 && estimate.type() == CV_8UC1 && truth.size() == estimate.size());
  OcclusionScore score;
  for (int y = 0; y < truth.rows; ++y) {
    const uint8_t* t = truth.ptr<uint8_t>(y);
    const uint8_t* e = estimate.ptr<uint8_t>(y);
    for (int x = 0; x < truth.cols; ++x) {
      const bool occluded = t[x] != 0;
      const bool marked = e[x] != 0;
      score.truePositives += occluded && marked;
      score.falsePositives += !occluded && marked;
      score.falseNegatives += occluded && !marked;
    }
  }
  const double tp = static_cast<double>(score.truePositives);
  const double fp = static_cast<double>(score.falsePositives);
  const double fn = static_cast<double>(score.falseNegatives);
  if (tp + fp > 0) score.precision = tp / (tp + fp);
  if (tp + fn > 0) score.recall = tp / (tp + fn);
  if (tp + fp + fn > 0) score.f1 = 2 * tp / (2 * tp + fp + fn);
  return score;
}

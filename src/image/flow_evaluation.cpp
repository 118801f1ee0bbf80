#include "image/flow_evaluation.h"

#include <cmath>
#include <limits>

namespace {

constexpr float kUnknownFlowThreshold = 1e9f;  // ground truth beyond this magnitude marks "no data"
constexpr double kOutlierThreshold1 = 1.0;     // R1: endpoint error above 1 pixel
constexpr double kOutlierThreshold3 = 3.0;     // R3: endpoint error above 3 pixels
constexpr double kFlAbsolute = 3.0;            // Fl: endpoint error above 3 pixels ...
constexpr double kFlRelative = 0.05;           // ... and above 5 % of the true motion's length
constexpr double kPercent = 100.0;
constexpr double kDegreesPerRadian = 180.0 / 3.141592653589793;

bool IsFloatPlane(const ImageRef& image) {
  return !image.Empty() && image.Depth() == CV_32F && image.Channels() == 1;
}

std::string SizeText(const ImageRef& image) {
  return std::to_string(image.Width()) + " x " + std::to_string(image.Height());
}

}  // namespace

bool IsUnknownFlow(float u, float v) {
  return std::isnan(u) || std::isnan(v) || std::fabs(u) > kUnknownFlowThreshold ||
         std::fabs(v) > kUnknownFlowThreshold;
}

double EndpointError(double u, double v, double uGt, double vGt) {
  const double du = u - uGt;
  const double dv = v - vGt;
  return std::sqrt(du * du + dv * dv);
}

double AngularErrorDegrees(double u, double v, double uGt, double vGt) {
  // a = (u, v, 1), b = (uGt, vGt, 1): angle = atan2(|a × b|, a · b).
  const double cx = v - vGt;
  const double cy = uGt - u;
  const double cz = u * vGt - v * uGt;
  const double cross = std::sqrt(cx * cx + cy * cy + cz * cz);
  const double dot = u * uGt + v * vGt + 1.0;
  return std::atan2(cross, dot) * kDegreesPerRadian;
}

bool EvaluateFlow(const ImageRef& uGt, const ImageRef& vGt, const ImageRef& u, const ImageRef& v,
                  FlowErrorStats& stats, std::string& error) {
  return EvaluateFlow(uGt, vGt, u, v, cv::Mat(), stats, error);
}

bool EvaluateFlow(const ImageRef& uGt, const ImageRef& vGt, const ImageRef& u, const ImageRef& v,
                  const cv::Mat& occlusionMask, FlowErrorStats& stats, std::string& error) {
  stats = FlowErrorStats();
  if (!IsFloatPlane(uGt) || !IsFloatPlane(vGt) || !IsFloatPlane(u) || !IsFloatPlane(v)) {
    error = "flow components must be non-empty single-channel float images";
    return false;
  }
  if (uGt.Width() != vGt.Width() || uGt.Height() != vGt.Height() || u.Width() != v.Width() ||
      u.Height() != v.Height()) {
    error = "the u and v components of a flow differ in size";
    return false;
  }
  if (u.Width() != uGt.Width() || u.Height() != uGt.Height()) {
    error = "sizes differ: ground truth is " + SizeText(uGt) + ", estimate is " + SizeText(u);
    return false;
  }
  const bool split = !occlusionMask.empty();
  if (split && (occlusionMask.type() != CV_8UC1 || occlusionMask.cols != uGt.Width() ||
                occlusionMask.rows != uGt.Height())) {
    error = "the occlusion mask must be one 8-bit channel of the flow's size (" + SizeText(uGt) + "), not " +
            std::to_string(occlusionMask.cols) + " x " + std::to_string(occlusionMask.rows) + " with " +
            std::to_string(occlusionMask.channels()) + " channel(s)";
    return false;
  }

  double sumEpe = 0.0;
  double sumEpeVisible = 0.0;
  double sumEpeOccluded = 0.0;
  std::int64_t outliersFl = 0;
  double sumAae = 0.0;
  std::int64_t outliers1 = 0;
  std::int64_t outliers3 = 0;
  for (int y = 0; y < uGt.Height(); ++y) {
    const float* uGtRow = uGt.Row<float>(y);
    const float* vGtRow = vGt.Row<float>(y);
    const float* uRow = u.Row<float>(y);
    const float* vRow = v.Row<float>(y);
    const unsigned char* maskRow = split ? occlusionMask.ptr<unsigned char>(y) : nullptr;
    for (int x = 0; x < uGt.Width(); ++x) {
      if (IsUnknownFlow(uGtRow[x], vGtRow[x])) {
        ++stats.unknown;
        continue;
      }
      ++stats.known;
      if (!std::isfinite(uRow[x]) || !std::isfinite(vRow[x])) {
        // Counted and reported, an outlier at every threshold, outside the EPE/AAE means.
        ++stats.nonFinite;
        ++outliers1;
        ++outliers3;
        ++outliersFl;
        continue;
      }
      ++stats.scored;
      const double epe = EndpointError(uRow[x], vRow[x], uGtRow[x], vGtRow[x]);
      sumEpe += epe;
      sumAae += AngularErrorDegrees(uRow[x], vRow[x], uGtRow[x], vGtRow[x]);
      if (epe > kOutlierThreshold1) ++outliers1;
      if (epe > kOutlierThreshold3) ++outliers3;
      const double lengthGt = std::hypot(static_cast<double>(uGtRow[x]), static_cast<double>(vGtRow[x]));
      if (epe > kFlAbsolute && epe > kFlRelative * lengthGt) ++outliersFl;
      if (split) {
        if (maskRow[x] != 0) {
          ++stats.occluded;
          sumEpeOccluded += epe;
        } else {
          ++stats.visible;
          sumEpeVisible += epe;
        }
      }
    }
  }

  const double nan = std::numeric_limits<double>::quiet_NaN();
  stats.epe = stats.scored > 0 ? sumEpe / static_cast<double>(stats.scored) : nan;
  stats.aae = stats.scored > 0 ? sumAae / static_cast<double>(stats.scored) : nan;
  stats.r1 = stats.known > 0 ? kPercent * static_cast<double>(outliers1) / static_cast<double>(stats.known) : nan;
  stats.r3 = stats.known > 0 ? kPercent * static_cast<double>(outliers3) / static_cast<double>(stats.known) : nan;
  stats.fl = stats.known > 0 ? kPercent * static_cast<double>(outliersFl) / static_cast<double>(stats.known) : nan;
  if (split) {
    stats.epeVisible = stats.visible > 0 ? sumEpeVisible / static_cast<double>(stats.visible) : nan;
    stats.epeOccluded = stats.occluded > 0 ? sumEpeOccluded / static_cast<double>(stats.occluded) : nan;
  } else {
    stats.epeVisible = nan;
    stats.epeOccluded = nan;
  }
  return true;
}

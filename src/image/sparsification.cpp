#include "image/sparsification.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "image/flow_evaluation.h"

namespace {

constexpr double kFractionStep = 1.0 / kSparsificationSteps;

// The mean error of the pixels kept after removing the first k of `order` for every step, where a
// run of equal keys cut by k gives up the part of its sum proportional to the pixels it loses.
std::vector<double> CurveOf(const std::vector<int64_t>& order, const std::vector<float>& keys,
                            const std::vector<float>& errors, double total) {
  const int64_t n = static_cast<int64_t>(order.size());
  std::vector<double> curve(kSparsificationSteps);
  int64_t runStart = 0;  // the run of equal keys [runStart, runEnd) holding the next cut
  int64_t runEnd = 0;
  double runSum = 0.0;
  double removedBeforeRun = 0.0;
  for (int step = 0; step < kSparsificationSteps; ++step) {
    const int64_t cut = static_cast<int64_t>(step) * n / kSparsificationSteps;  // < n for every step
    while (cut >= runEnd) {
      removedBeforeRun += runSum;
      runStart = runEnd;
      runSum = 0.0;
      while (runEnd < n && keys[order[runEnd]] == keys[order[runStart]]) runSum += errors[order[runEnd++]];
    }
    const double removed =
        removedBeforeRun + runSum * static_cast<double>(cut - runStart) / static_cast<double>(runEnd - runStart);
    curve[step] = (total - removed) / static_cast<double>(n - cut);
  }
  return curve;
}

// The trapezoid rule over the fractions 0 .. 0.95.
double Area(const std::vector<double>& curve) {
  double area = 0.0;
  for (size_t i = 1; i < curve.size(); ++i) area += 0.5 * (curve[i - 1] + curve[i]) * kFractionStep;
  return area;
}

}  // namespace

SparsificationScore ScoreSparsification(const std::vector<float>& errors, const std::vector<float>& confidences) {
  SparsificationScore score;
  const int64_t n = static_cast<int64_t>(errors.size());
  score.scored = n;
  for (int i = 0; i < kSparsificationSteps; ++i) score.fractions.push_back(i * kFractionStep);
  if (n == 0) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    score.estimate.assign(kSparsificationSteps, nan);
    score.oracle.assign(kSparsificationSteps, nan);
    score.ause = score.auc = score.oracleAuc = score.auseRaw = score.aucRaw = score.oracleAucRaw = nan;
    score.meanEpe = nan;
    return score;
  }
  double total = 0.0;
  for (const float e : errors) total += e;
  score.meanEpe = total / static_cast<double>(n);

  // By confidence, least trusted first; by error, largest first (keys negated so both ascend).
  std::vector<int64_t> order(static_cast<size_t>(n));
  std::iota(order.begin(), order.end(), int64_t{0});
  std::sort(order.begin(), order.end(), [&](int64_t a, int64_t b) {
    return confidences[a] < confidences[b] || (confidences[a] == confidences[b] && a < b);
  });
  score.estimate = CurveOf(order, confidences, errors, total);
  std::vector<float> negatedErrors(errors.size());
  for (size_t i = 0; i < errors.size(); ++i) negatedErrors[i] = -errors[i];
  std::iota(order.begin(), order.end(), int64_t{0});
  std::sort(order.begin(), order.end(), [&](int64_t a, int64_t b) {
    return negatedErrors[a] < negatedErrors[b] || (negatedErrors[a] == negatedErrors[b] && a < b);
  });
  score.oracle = CurveOf(order, negatedErrors, errors, total);

  score.aucRaw = Area(score.estimate);
  score.oracleAucRaw = Area(score.oracle);
  std::vector<double> gap(kSparsificationSteps);
  for (int i = 0; i < kSparsificationSteps; ++i) gap[i] = score.estimate[i] - score.oracle[i];
  score.auseRaw = Area(gap);
  const double scale = score.meanEpe > 0.0 ? 1.0 / score.meanEpe : 0.0;
  score.ause = score.auseRaw * scale;
  score.auc = score.aucRaw * scale;
  score.oracleAuc = score.oracleAucRaw * scale;
  return score;
}

bool ScoreConfidenceMap(const ImageRef& uGt, const ImageRef& vGt, const ImageRef& u, const ImageRef& v,
                        const cv::Mat& confidence, SparsificationScore& score, std::string& error) {
  const auto isPlane = [&](const cv::Mat& m) {
    return !m.empty() && m.type() == CV_32FC1 && m.cols == uGt.Width() && m.rows == uGt.Height();
  };
  if (!isPlane(uGt.Mat()) || !isPlane(vGt.Mat()) || !isPlane(u.Mat()) || !isPlane(v.Mat()) || !isPlane(confidence)) {
    error = "the ground truth, the estimate and the confidence map must be float planes of one size";
    return false;
  }
  std::vector<float> errors;
  std::vector<float> confidences;
  for (int y = 0; y < uGt.Height(); ++y) {
    const float* ug = uGt.Row<float>(y);
    const float* vg = vGt.Row<float>(y);
    const float* ue = u.Row<float>(y);
    const float* ve = v.Row<float>(y);
    const float* c = confidence.ptr<float>(y);
    for (int x = 0; x < uGt.Width(); ++x) {
      if (IsUnknownFlow(ug[x], vg[x]) || !std::isfinite(ue[x]) || !std::isfinite(ve[x]) || !std::isfinite(c[x])) {
        continue;
      }
      errors.push_back(static_cast<float>(EndpointError(ue[x], ve[x], ug[x], vg[x])));
      confidences.push_back(c[x]);
    }
  }
  score = ScoreSparsification(errors, confidences);
  return true;
}

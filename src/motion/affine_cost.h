// Least-squares cost of an affine flow model over a point list, and its minimisation with the
// Levenberg-Marquardt optimizer.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "image/image_ref.h"
#include "motion/optimizer.h"

// Affine motion: u = a0 x + a1 y + a2, v = a3 x + a4 y + a5, x the column and y the row.
struct AffineParams {
  float a0 = 0.0f;
  float a1 = 0.0f;
  float a2 = 0.0f;
  float a3 = 0.0f;
  float a4 = 0.0f;
  float a5 = 0.0f;
};

namespace OpenCvExt {

// Cost of the six affine parameters against the flow (u, v) at the points of the list:
// sum of ru^2 + rv^2 with ru = a0 x + a1 y + a2 - u(x, y), rv = a3 x + a4 y + a5 - v(x, y).
// The parameters are held as floats (the model is applied in single precision, like the flow it
// is compared with); squares and sums are accumulated in double.
class AffineCostFun : public ZAnyScaleFunction {
 public:
  static constexpr int kParamCount = 6;

  // Shares the two single-channel float flow images (same size).
  void SetFlow(const ImageRef& u, const ImageRef& v);
  // Replaces the point list by a copy of `points`; every point must lie inside the flow images.
  void SetPoints(const std::vector<cv::Point>& points);
  const std::vector<cv::Point>& Points() const { return points_; }
  // The parameters of the last evaluation, as floats.
  const AffineParams& Params() const { return params_; }

  double Value(const ParamVector& x) override;
  void Gradient(const ParamVector& x, ParamVector& g) override;
  // Two identical 3 x 3 blocks 2 [[Sxx, Sxy, Sx], [Sxy, Syy, Sy], [Sx, Sy, N]]; independent of
  // the parameters and of the flow.
  void Hessian(const ParamVector& x, SquareMatrix& h) override;

 private:
  void StoreParams(const ParamVector& x);

  std::vector<cv::Point> points_;
  ImageRef u_;
  ImageRef v_;
  AffineParams params_;
};

}  // namespace OpenCvExt

// Minimises the cost with a fresh optimizer (default criterion) from all six parameters at zero and
// returns the final cost; params receives the optimum as floats. An optimizer keeps nothing from one
// minimisation to the next that changes a result, so a fresh one per fit gives the same bytes as a
// reused one, and fits on different threads share nothing.
double MinimizeAffineCost(OpenCvExt::AffineCostFun& cost, AffineParams& params);
// The same with a given optimizer, which must not run another minimisation meanwhile.
double MinimizeAffineCost(OpenCvExt::AffineCostFun& cost, AffineParams& params, ZOptimizerLM& optimizer);

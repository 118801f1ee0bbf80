#include "motion/affine_cost.h"

#include <stdexcept>

namespace OpenCvExt {

void AffineCostFun::SetFlow(const ImageRef& u, const ImageRef& v) {
  if (u.Empty() || v.Empty() || u.Mat().type() != CV_32FC1 || v.Mat().type() != CV_32FC1 ||
      u.Width() != v.Width() || u.Height() != v.Height()) {
    throw std::invalid_argument("AffineCostFun: u and v must be single-channel float images of one size");
  }
  u_ = u;
  v_ = v;
}

void AffineCostFun::SetPoints(const std::vector<cv::Point>& points) { points_ = points; }

void AffineCostFun::StoreParams(const ParamVector& x) {
  params_.a0 = static_cast<float>(x[0]);
  params_.a1 = static_cast<float>(x[1]);
  params_.a2 = static_cast<float>(x[2]);
  params_.a3 = static_cast<float>(x[3]);
  params_.a4 = static_cast<float>(x[4]);
  params_.a5 = static_cast<float>(x[5]);
}

double AffineCostFun::Value(const ParamVector& x) {
  StoreParams(x);
  const AffineParams& a = params_;
  double sum = 0.0;
  for (const cv::Point& p : points_) {
    const float ru = a.a0 * p.x + a.a1 * p.y + a.a2 - u_.Row<float>(p.y)[p.x];
    const float rv = a.a3 * p.x + a.a4 * p.y + a.a5 - v_.Row<float>(p.y)[p.x];
    sum += static_cast<double>(ru) * ru + static_cast<double>(rv) * rv;
  }
  return sum;
}

void AffineCostFun::Gradient(const ParamVector& x, ParamVector& g) {
  StoreParams(x);
  const AffineParams& a = params_;
  double sRuX = 0.0, sRuY = 0.0, sRu = 0.0;
  double sRvX = 0.0, sRvY = 0.0, sRv = 0.0;
  for (const cv::Point& p : points_) {
    const double ru = a.a0 * p.x + a.a1 * p.y + a.a2 - u_.Row<float>(p.y)[p.x];
    const double rv = a.a3 * p.x + a.a4 * p.y + a.a5 - v_.Row<float>(p.y)[p.x];
    sRuX += ru * p.x;
    sRuY += ru * p.y;
    sRu += ru;
    sRvX += rv * p.x;
    sRvY += rv * p.y;
    sRv += rv;
  }
  g.Resize(kParamCount);
  g[0] = 2.0 * sRuX;
  g[1] = 2.0 * sRuY;
  g[2] = 2.0 * sRu;
  g[3] = 2.0 * sRvX;
  g[4] = 2.0 * sRvY;
  g[5] = 2.0 * sRv;
}

void AffineCostFun::Hessian(const ParamVector& /*x*/, SquareMatrix& h) {
  double sxx = 0.0, sxy = 0.0, sx = 0.0, syy = 0.0, sy = 0.0;
  for (const cv::Point& p : points_) {
    const double px = p.x;
    const double py = p.y;
    sxx += px * px;
    sxy += px * py;
    sx += px;
    syy += py * py;
    sy += py;
  }
  const double count = static_cast<double>(points_.size());
  const double block[3][3] = {{2.0 * sxx, 2.0 * sxy, 2.0 * sx}, {2.0 * sxy, 2.0 * syy, 2.0 * sy}, {2.0 * sx, 2.0 * sy, 2.0 * count}};

  h.Resize(kParamCount, kParamCount);
  h.SetZero();
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      h[i][j] = block[i][j];
      h[i + 3][j + 3] = block[i][j];
    }
  }
}

}  // namespace OpenCvExt

double MinimizeAffineCost(OpenCvExt::AffineCostFun& cost, AffineParams& params) {
  ZOptimizerLM optimizer;
  return MinimizeAffineCost(cost, params, optimizer);
}

double MinimizeAffineCost(OpenCvExt::AffineCostFun& cost, AffineParams& params, ZOptimizerLM& optimizer) {
  ParamVector x(OpenCvExt::AffineCostFun::kParamCount);
  double finalCost = 0.0;
  optimizer.Minimize(cost, x, finalCost);
  params.a0 = static_cast<float>(x[0]);
  params.a1 = static_cast<float>(x[1]);
  params.a2 = static_cast<float>(x[2]);
  params.a3 = static_cast<float>(x[3]);
  params.a4 = static_cast<float>(x[4]);
  params.a5 = static_cast<float>(x[5]);
  return finalCost;
}

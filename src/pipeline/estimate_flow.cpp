#include "pipeline/estimate_flow.h"

void EstimateFlow(const ImageRef& first, const ImageRef& /*second*/, ImageRef& initialU, ImageRef& initialV,
                  ImageRef& u, ImageRef& v, float /*pyramidFactor*/, float /*brightnessTermWeight*/,
                  float /*gradientTermWeight*/, float /*smoothnessTermWeight*/, double /*brightnessEps*/,
                  double /*gradientEps*/, double /*smoothnessEps*/, int /*anisotropic*/,
                  int /*outerIterations*/, int /*medianWindow*/, float /*minRegion*/, float /*sigmaS*/,
                  float /*sigmaR*/, std::optional<uint32_t> /*seed*/) {
  // The estimator is not wired in yet: the flow stays at zero.
  const int width = first.Width();
  const int height = first.Height();
  initialU = CreateFloat(width, height, 1);
  initialV = CreateFloat(width, height, 1);
  u = CreateFloat(width, height, 1);
  v = CreateFloat(width, height, 1);
}

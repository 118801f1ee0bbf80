#include "pipeline/standard_estimate.h"

#include "pipeline/estimate_flow.h"

namespace {

// The pipeline's fixed parameters, in the order EstimateFlow takes them.
constexpr float kPyramidFactor = 1.7f;
constexpr float kBrightnessTermWeight = 0.1f;
constexpr float kGradientTermWeight = 0.9f;
// The penaliser epsilons arrive as single-precision constants widened to double.
constexpr double kBrightnessEps = static_cast<double>(0.1f);
constexpr double kGradientEps = static_cast<double>(0.1f);
constexpr double kSmoothnessEps = static_cast<double>(0.01f);
constexpr int kAnisotropic = 1;
constexpr int kOuterIterations = 3;
constexpr int kMedianWindow = 3;
constexpr float kMinRegion = 20.0f;
constexpr float kSigmaS = 7.0f;
constexpr float kSigmaR = 6.5f;

}  // namespace

void EstimateFlowStandard(const ImageRef& first, const ImageRef& second, ImageRef& initialU, ImageRef& initialV,
                          ImageRef& u, ImageRef& v, float smoothness, std::optional<uint32_t> seed, int threads,
                          InitialStage initialStage, std::ostream* progress) {
  EstimateFlow(first, second, initialU, initialV, u, v, kPyramidFactor, kBrightnessTermWeight, kGradientTermWeight,
               smoothness, kBrightnessEps, kGradientEps, kSmoothnessEps, kAnisotropic, kOuterIterations,
               kMedianWindow, kMinRegion, kSigmaS, kSigmaR, seed, threads, initialStage, progress);
}

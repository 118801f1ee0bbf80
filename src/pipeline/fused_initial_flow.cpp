#include "pipeline/fused_initial_flow.h"

#include <algorithm>
#include <cmath>
#include <future>
#include <stdexcept>
#include <string>

#include <opencv2/imgproc.hpp>

#include "pipeline/initial_flow.h"
#include "pipeline/matched_initial_flow.h"

namespace {

constexpr double kCentralDifferenceScale = 0.5;  // (I(x+1) - I(x-1)) / 2

FramePlanes SmoothedPlanes(const ImageRef& frame, double sigma) {
  cv::Mat asFloat;
  frame.Mat().convertTo(asFloat, CV_32F);
  cv::Mat smoothed;
  cv::GaussianBlur(asFloat, smoothed, cv::Size(0, 0), sigma, sigma, cv::BORDER_REFLECT);
  FramePlanes planes;
  cv::split(smoothed, planes.value);
  for (const cv::Mat& plane : planes.value) {
    cv::Mat dx;
    cv::Mat dy;
    cv::Sobel(plane, dx, CV_32F, 1, 0, 1, kCentralDifferenceScale, 0.0, cv::BORDER_REFLECT);
    cv::Sobel(plane, dy, CV_32F, 0, 1, 1, kCentralDifferenceScale, 0.0, cv::BORDER_REFLECT);
    planes.dx.push_back(dx);
    planes.dy.push_back(dy);
  }
  return planes;
}

cv::Mat Sample(const cv::Mat& plane, const cv::Mat& mapX, const cv::Mat& mapY) {
  cv::Mat sampled;
  cv::remap(plane, sampled, mapX, mapY, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  return sampled;
}

void CheckFlow(const FusionFrames& frames, const ImageRef& u, const ImageRef& v) {
  const cv::Size size = frames.first.value.at(0).size();
  for (const ImageRef* component : {&u, &v}) {
    if (component->Mat().size() != size || component->Mat().type() != CV_32F) {
      throw std::invalid_argument("the flow's data cost needs a one-channel float flow of the frames' size");
    }
  }
}

}  // namespace

FusionFrames PrepareFusionFrames(const ImageRef& first, const ImageRef& second, double presmoothSigma) {
  if (first.Empty() || first.Depth() != CV_8U || (first.Channels() != 1 && first.Channels() != 3)) {
    throw std::invalid_argument("the flow's data cost needs 8-bit frames with 1 or 3 channels");
  }
  if (second.Mat().size() != first.Mat().size() || second.Mat().type() != first.Mat().type()) {
    throw std::invalid_argument("the flow's data cost needs two frames of the same size and type");
  }
  return FusionFrames{SmoothedPlanes(first, presmoothSigma), SmoothedPlanes(second, presmoothSigma)};
}

ImageRef FlowDataCost(const ImageRef& first, const ImageRef& second, const ImageRef& u, const ImageRef& v,
                      const EstimateOptions& options, double presmoothSigma) {
  return FlowDataCost(PrepareFusionFrames(first, second, presmoothSigma), u, v, options);
}

ImageRef FlowDataCost(const FusionFrames& frames, const ImageRef& u, const ImageRef& v,
                      const EstimateOptions& options) {
  CheckFlow(frames, u, v);
  const FramePlanes& one = frames.first;
  const FramePlanes& two = frames.second;
  const int width = u.Width();
  const int height = u.Height();

  // sampling positions x + u, y + v, and which of them stay inside the frame
  cv::Mat mapX(height, width, CV_32F);
  cv::Mat mapY(height, width, CV_32F);
  for (int y = 0; y < height; ++y) {
    const float* pu = u.Row<float>(y);
    const float* pv = v.Row<float>(y);
    float* mx = mapX.ptr<float>(y);
    float* my = mapY.ptr<float>(y);
    for (int x = 0; x < width; ++x) {
      mx[x] = static_cast<float>(x) + pu[x];
      my[x] = static_cast<float>(y) + pv[x];
    }
  }

  // squared brightness and gradient changes, summed over the channels
  cv::Mat brightness2 = cv::Mat::zeros(height, width, CV_32F);
  cv::Mat gradient2 = cv::Mat::zeros(height, width, CV_32F);
  for (size_t c = 0; c < one.value.size(); ++c) {
    const cv::Mat Iz = Sample(two.value[c], mapX, mapY) - one.value[c];
    const cv::Mat Ixz = Sample(two.dx[c], mapX, mapY) - one.dx[c];
    const cv::Mat Iyz = Sample(two.dy[c], mapX, mapY) - one.dy[c];
    brightness2 += Iz.mul(Iz);
    gradient2 += Ixz.mul(Ixz) + Iyz.mul(Iyz);
  }

  // robust penalisers, weighted as in the energy, capped
  const float epsB2 = static_cast<float>(options.brightnessEps * options.brightnessEps);
  const float epsG2 = static_cast<float>(options.gradientEps * options.gradientEps);
  const float maxX = static_cast<float>(width - 1);
  const float maxY = static_cast<float>(height - 1);
  ImageRef cost = CreateFloat(width, height, 1);
  for (int y = 0; y < height; ++y) {
    const float* b2 = brightness2.ptr<float>(y);
    const float* g2 = gradient2.ptr<float>(y);
    const float* mx = mapX.ptr<float>(y);
    const float* my = mapY.ptr<float>(y);
    float* out = cost.Row<float>(y);
    for (int x = 0; x < width; ++x) {
      const bool inside = mx[x] >= 0.0f && my[x] >= 0.0f && mx[x] <= maxX && my[x] <= maxY;
      const float psiB = std::sqrt(b2[x] + epsB2);
      const float psiG = std::sqrt(g2[x] + epsG2);
      const float data = options.brightnessTermWeight * psiB + options.gradientTermWeight * psiG;
      out[x] = inside && data < kFusionCostCap ? data : kFusionCostCap;  // NaN flow lands on the cap
    }
  }
  return cost;
}

std::vector<int> ChooseBySegments(const std::vector<ImageRef>& costs, const ImageRef& labels, double margin) {
  if (costs.empty()) throw std::invalid_argument("the fusion needs at least one candidate");
  int labelCount = 0;
  for (int y = 0; y < labels.Height(); ++y) {
    const int* label = labels.Row<int>(y);
    for (int x = 0; x < labels.Width(); ++x) labelCount = std::max(labelCount, label[x] + 1);
  }
  // summed in double, in raster order: the sums and so the choices do not depend on threads
  std::vector<std::vector<double>> sums(costs.size(), std::vector<double>(static_cast<size_t>(labelCount), 0.0));
  for (size_t k = 0; k < costs.size(); ++k) {
    for (int y = 0; y < labels.Height(); ++y) {
      const int* label = labels.Row<int>(y);
      const float* cost = costs[k].Row<float>(y);
      for (int x = 0; x < labels.Width(); ++x) {
        if (label[x] >= 0) sums[k][static_cast<size_t>(label[x])] += cost[x];
      }
    }
  }
  std::vector<int> chosen(static_cast<size_t>(labelCount), 0);
  for (size_t s = 0; s < chosen.size(); ++s) {
    double best = sums[0][s];
    for (size_t k = 1; k < costs.size(); ++k) {
      if (sums[k][s] < (1.0 - margin) * sums[0][s] && sums[k][s] < best) {
        best = sums[k][s];
        chosen[s] = static_cast<int>(k);
      }
    }
  }
  return chosen;
}

void FuseInitialFlows(const ImageRef& labels, const std::vector<FlowCandidate>& candidates,
                      const std::vector<ImageRef>& costs, double margin, ImageRef& u, ImageRef& v,
                      std::vector<int>* chosen) {
  if (candidates.empty() || costs.size() != candidates.size()) {
    throw std::invalid_argument("the fusion needs at least one candidate and the cost of each");
  }
  const int width = candidates[0].u.Width();
  const int height = candidates[0].u.Height();
  if (labels.Mat().size() != cv::Size(width, height) || labels.Mat().type() != CV_32S) {
    throw std::invalid_argument("the fusion needs a 32-bit label image of the frames' size");
  }
  const std::vector<int> choice = ChooseBySegments(costs, labels, margin);
  ImageRef fusedU = CreateFloat(width, height, 1);
  ImageRef fusedV = CreateFloat(width, height, 1);
  for (int y = 0; y < height; ++y) {
    const int* label = labels.Row<int>(y);
    float* outU = fusedU.Row<float>(y);
    float* outV = fusedV.Row<float>(y);
    for (int x = 0; x < width; ++x) {
      const size_t k = label[x] >= 0 ? static_cast<size_t>(choice[static_cast<size_t>(label[x])]) : 0;
      outU[x] = candidates[k].u.Row<float>(y)[x];
      outV[x] = candidates[k].v.Row<float>(y)[x];
    }
  }
  u = fusedU;
  v = fusedV;
  if (chosen != nullptr) *chosen = choice;
}

void EstimateFusedInitialFlow(const ImageRef& first, const ImageRef& second,
                              const std::function<const ImageRef&()>& labels, const EstimateOptions& options,
                              bool matchAside, std::ostream* progress, ImageRef& u, ImageRef& v,
                              std::vector<std::string>& notes) {
  // The two candidates do not depend on each other: the matches' may be found and interpolated on
  // a thread of their own while the pyramid runs.
  std::future<MatchedStart> aside;
  if (matchAside) {
    aside = std::async(std::launch::async, [&first, &second] { return EstimateMatchedStart(first, second, 1); });
  }
  FlowCandidate pyramid;
  try {
    EstimateInitialFlow(first, second, pyramid.u, pyramid.v, options, progress);
  } catch (...) {
    if (aside.valid()) aside.wait();
    throw;
  }
  const MatchedStart start = aside.valid() ? aside.get() : EstimateMatchedStart(first, second, options.threads);
  if (!start.matched) {
    notes.push_back(start.reason + "; this pair starts from the pyramid alone");
    u = pyramid.u;
    v = pyramid.v;
    return;
  }
  // The matches' flow is the default: from it the segment motions and the final pass end nearer
  // the truth on average, even where its interpolated field explains the frames a little worse than
  // the pyramid's (which already minimises the energy). The pyramid takes a segment only where the
  // matches explain it far worse: a wrong repetition, a match carried across an edge.
  const FusionFrames frames = PrepareFusionFrames(first, second);
  const FlowCandidate matches{start.u, start.v};
  const std::vector<FlowCandidate> candidates = {matches, pyramid};
  const std::vector<ImageRef> costs = {FlowDataCost(frames, matches.u, matches.v, options),
                                       FlowDataCost(frames, pyramid.u, pyramid.v, options)};
  FuseInitialFlows(labels(), candidates, costs, options.fusionMargin, u, v);
}

// An initial flow fused from candidates (the interpolated matches' and the pyramid's): each colour
// segment of the first frame keeps the default candidate unless another explains it clearly
// better, by the robust data term the solver minimises on the warped second frame.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "image/image_ref.h"
#include "pipeline/estimate_options.h"

// The frames are smoothed a little (Gaussian, this sigma in pixels) before they are compared and
// differentiated, so that the gradient term compares structure rather than noise, and a candidate
// a fraction of a pixel off is not mistaken for a wrong one.
constexpr double kFusionPresmoothSigma = 1.0;

// A target beyond this cost tells nothing about the flow (an occlusion, a frame exit, a specular
// highlight): about twenty grey levels of brightness and gradient change.
constexpr float kFusionCostCap = 20.0f;
// One candidate initial flow.
struct FlowCandidate {
  ImageRef u;
  ImageRef v;
};

// A frame's channels as float planes, smoothed, with their x and y derivatives.
struct FramePlanes {
  std::vector<cv::Mat> value;
  std::vector<cv::Mat> dx;
  std::vector<cv::Mat> dy;
};

// The two frames as the data cost compares them, prepared once for any number of candidates.
struct FusionFrames {
  FramePlanes first;
  FramePlanes second;
};

// first, second: 8-bit, 1 or 3 channels, equal size (else std::invalid_argument), each smoothed by
// a Gaussian of presmoothSigma.
FusionFrames PrepareFusionFrames(const ImageRef& first, const ImageRef& second,
                                 double presmoothSigma = kFusionPresmoothSigma);

// The data cost of a flow per pixel: the robust brightness and gradient constancy terms
//   brightnessTermWeight psi(sum_c Iz_c^2, brightnessEps) + gradientTermWeight psi(sum_c Ixz_c^2 + Iyz_c^2, gradientEps)
// with psi(s2, eps) = sqrt(s2 + eps^2), on the prepared frames, the second frame and its
// derivatives sampled bilinearly at (x + u, y + v). A pixel whose target leaves the frame, and any
// pixel costing more, costs kFusionCostCap: occlusions and frame exits weigh the same under every
// candidate instead of deciding a segment. u, v: float of the frames' size. Returns a new float
// image.
ImageRef FlowDataCost(const FusionFrames& frames, const ImageRef& u, const ImageRef& v,
                      const EstimateOptions& options);
// The same on frames prepared for this one flow.
ImageRef FlowDataCost(const ImageRef& first, const ImageRef& second, const ImageRef& u, const ImageRef& v,
                      const EstimateOptions& options, double presmoothSigma = kFusionPresmoothSigma);

// For each label 0 .. n-1 of `labels` (32-bit, the frames' size; n = its largest label + 1), the
// index of the candidate whose summed cost over the label's pixels is lowest, where a candidate
// other than the first must cost less than (1 - margin) times the first's to be taken: the first
// candidate is the default and the others have to earn their segments. Ties go to the lower index.
std::vector<int> ChooseBySegments(const std::vector<ImageRef>& costs, const ImageRef& labels, double margin);

// The fused initial flow: candidates[0] is the default, the others must beat it by `margin`
// (ChooseBySegments over costs[k], the data cost of candidates[k], e.g. FlowDataCost). u and v are
// made to refer to new images, each pixel copied from the candidate its segment chose. `chosen`,
// when not null, receives the choice per segment.
void FuseInitialFlows(const ImageRef& labels, const std::vector<FlowCandidate>& candidates,
                      const std::vector<ImageRef>& costs, double margin, ImageRef& u, ImageRef& v,
                      std::vector<int>* chosen = nullptr);

// The whole fused start of EstimateOneWay: the pyramid's flow (EstimateInitialFlow, which writes
// the progress line), the matches' flow (EstimateMatchedInitialFlow, as --init matches starts),
// and their fusion over the first frame's segmentation, which `labels` gives when the fusion needs
// it (it may wait for it), the matches' flow being the default. With `matchAside` the matches are
// found and interpolated on a thread of their own while the pyramid runs. When the matches fail,
// the pyramid's flow is the start and the reason goes to `notes`.
void EstimateFusedInitialFlow(const ImageRef& first, const ImageRef& second,
                              const std::function<const ImageRef&()>& labels, const EstimateOptions& options,
                              bool matchAside, std::ostream* progress, ImageRef& u, ImageRef& v,
                              std::vector<std::string>& notes);

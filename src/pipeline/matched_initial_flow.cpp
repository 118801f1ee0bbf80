#include "pipeline/matched_initial_flow.h"

#include <algorithm>
#include <cmath>
#include <tuple>
#include <vector>

#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>
#include <opencv2/ximgproc/sparse_match_interpolator.hpp>

namespace {

constexpr double kRatioTest = 0.8;         // best descriptor distance below 0.8 of the second best
constexpr double kSiftContrast = 0.02;     // more keypoints than the default 0.04 in dark scenes
constexpr int kGridStep = 8;               // DIS matches on every 8th pixel in both directions
constexpr float kMaxRoundTrip2 = 1.0f;     // forward then backward DIS flow within one pixel
// A DIS match needs texture in both directions: the smaller eigenvalue of the structure tensor
// over its 8 x 8 block (OpenCV's scaling: about g^2 / 16256 for a gradient of g grey levels per
// pixel) above 1e-6, i.e. about 0.13 grey levels per pixel across the weakest direction. Flat
// areas and straight edges match anything along them.
constexpr float kMinCornerness = 1e-6f;
constexpr int kInterpolationNeighbours = 128;
constexpr float kInterpolationSigma = 0.05f;
constexpr float kInterpolationLambda = 999.0f;

struct Match {
  cv::Point2f from;
  cv::Point2f to;
  bool operator<(const Match& other) const {
    return std::tie(from.y, from.x, to.y, to.x) < std::tie(other.from.y, other.from.x, other.to.y, other.to.x);
  }
  bool operator==(const Match& other) const { return from == other.from && to == other.to; }
};

cv::Mat Grey(const cv::Mat& frame) {
  if (frame.channels() == 1) return frame;
  cv::Mat grey;
  cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);
  return grey;
}

void AddSiftMatches(const cv::Mat& first, const cv::Mat& second, std::vector<Match>& matches) {
  const cv::Ptr<cv::SIFT> sift = cv::SIFT::create(0, 3, kSiftContrast);
  std::vector<cv::KeyPoint> firstPoints;
  std::vector<cv::KeyPoint> secondPoints;
  cv::Mat firstDescriptors;
  cv::Mat secondDescriptors;
  sift->detectAndCompute(first, cv::noArray(), firstPoints, firstDescriptors);
  sift->detectAndCompute(second, cv::noArray(), secondPoints, secondDescriptors);
  if (firstPoints.size() < 2 || secondPoints.size() < 2) return;
  cv::BFMatcher matcher(cv::NORM_L2);
  std::vector<std::vector<cv::DMatch>> forward;
  std::vector<std::vector<cv::DMatch>> backward;
  matcher.knnMatch(firstDescriptors, secondDescriptors, forward, 2);
  matcher.knnMatch(secondDescriptors, firstDescriptors, backward, 1);
  for (const std::vector<cv::DMatch>& best : forward) {
    if (best.size() < 2 || best[0].distance > kRatioTest * best[1].distance) continue;
    const int target = best[0].trainIdx;
    if (backward[target].empty() || backward[target][0].trainIdx != best[0].queryIdx) continue;
    matches.push_back({firstPoints[best[0].queryIdx].pt, secondPoints[target].pt});
  }
}

void AddDisMatches(const cv::Mat& first, const cv::Mat& second, std::vector<Match>& matches) {
  const cv::Ptr<cv::DISOpticalFlow> dis = cv::DISOpticalFlow::create(cv::DISOpticalFlow::PRESET_MEDIUM);
  cv::Mat forward;
  cv::Mat backward;
  dis->calc(first, second, forward);
  dis->calc(second, first, backward);
  cv::Mat cornerness;
  cv::cornerMinEigenVal(first, cornerness, kGridStep, 3);
  const float maxX = static_cast<float>(first.cols - 1);
  const float maxY = static_cast<float>(first.rows - 1);
  for (int y = kGridStep / 2; y < first.rows; y += kGridStep) {
    for (int x = kGridStep / 2; x < first.cols; x += kGridStep) {
      if (!(cornerness.at<float>(y, x) > kMinCornerness)) continue;
      const cv::Vec2f w = forward.at<cv::Vec2f>(y, x);
      const float tx = static_cast<float>(x) + w[0];
      const float ty = static_cast<float>(y) + w[1];
      if (!(tx >= 0.0f && ty >= 0.0f && tx <= maxX && ty <= maxY)) continue;
      const cv::Vec2f back = backward.at<cv::Vec2f>(cvRound(ty), cvRound(tx));
      const cv::Vec2f roundTrip = w + back;
      if (!(roundTrip.dot(roundTrip) <= kMaxRoundTrip2)) continue;
      matches.push_back({cv::Point2f(static_cast<float>(x), static_cast<float>(y)), cv::Point2f(tx, ty)});
    }
  }
}

}  // namespace

std::vector<SparseMatch> FindMatches(const ImageRef& first, const ImageRef& second) {
  const cv::Mat firstGrey = Grey(first.Mat());
  const cv::Mat secondGrey = Grey(second.Mat());
  std::vector<Match> matches;
  AddSiftMatches(firstGrey, secondGrey, matches);
  AddDisMatches(firstGrey, secondGrey, matches);
  std::sort(matches.begin(), matches.end());
  matches.erase(std::unique(matches.begin(), matches.end()), matches.end());
  std::vector<SparseMatch> found;
  found.reserve(matches.size());
  for (const Match& match : matches) found.push_back({match.from, match.to});
  return found;
}

bool InterpolateMatches(const ImageRef& first, const ImageRef& second, const std::vector<SparseMatch>& matches,
                        ImageRef& u, ImageRef& v, std::string& reason) {
  if (matches.size() < static_cast<size_t>(kMinMatches)) {
    reason = "only " + std::to_string(matches.size()) + " consistent matches were found";
    return false;
  }
  std::vector<cv::Point2f> from;
  std::vector<cv::Point2f> to;
  for (const SparseMatch& match : matches) {
    from.push_back(match.from);
    to.push_back(match.to);
  }
  const cv::Ptr<cv::ximgproc::EdgeAwareInterpolator> interpolator = cv::ximgproc::createEdgeAwareInterpolator();
  interpolator->setK(std::min(kInterpolationNeighbours, static_cast<int>(matches.size())));
  interpolator->setSigma(kInterpolationSigma);
  interpolator->setLambda(kInterpolationLambda);
  interpolator->setUsePostProcessing(true);
  cv::Mat flow;
  interpolator->interpolate(first.Mat(), from, second.Mat(), to, flow);
  std::vector<cv::Mat> components;
  cv::split(flow, components);
  for (const cv::Mat& component : components) {
    if (!cv::checkRange(component)) {
      reason = "the interpolated flow is not finite";
      return false;
    }
  }
  u = ImageRef(components[0]);
  v = ImageRef(components[1]);
  return true;
}

bool EstimateMatchedInitialFlow(const ImageRef& first, const ImageRef& second, ImageRef& u, ImageRef& v,
                                std::string& reason) {
  if (first.Width() < kMinMatchedSide || first.Height() < kMinMatchedSide) {
    reason = "the frames are smaller than " + std::to_string(kMinMatchedSide) + " x " + std::to_string(kMinMatchedSide);
    return false;
  }
  return InterpolateMatches(first, second, FindMatches(first, second), u, v, reason);
}

#include "pipeline/matched_initial_flow.h"

#include <algorithm>
#include <cmath>
#include <tuple>
#include <vector>

#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>
#include <opencv2/ximgproc/sparse_match_interpolator.hpp>

#include "image/opencv_modules.h"
#include "image/parallel.h"
#include "pipeline/descriptor_matching.h"

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
  bool distinctive;
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

// The raw material of the matches: each frame's SIFT keypoints and descriptors, the DIS flow both
// ways, the first frame's cornerness and the descriptors' nearest neighbours both ways. Every piece
// is computed on its own, so the pieces run on threads side by side with the same result.
struct MatchMaterial {
  std::vector<cv::KeyPoint> points[2];
  cv::Mat descriptors[2];
  cv::Mat dis[2];  // first to second, second to first
  cv::Mat cornerness;
  std::vector<std::vector<cv::DMatch>> forward;   // two nearest second-frame descriptors of each first-frame one
  std::vector<std::vector<cv::DMatch>> backward;  // the nearest first-frame descriptor of each second-frame one
};

void ComputeMaterial(const cv::Mat& first, const cv::Mat& second, int threads, MatchMaterial& m) {
  const cv::Mat frames[2] = {first, second};
  // the opening of the interpolation's module (tens of milliseconds of symbol binding on one
  // thread, first so that it does not end the list alone), the frames' keypoints (the longest),
  // the DIS flows and the cornerness
  ParallelTasks(6, threads, [&](int task) {
    switch (task) {
      case 0:
        opencv_modules::PreloadEdgeAwareInterpolator();
        break;
      case 1:
      case 2:
        cv::SIFT::create(0, 3, kSiftContrast)
            ->detectAndCompute(frames[task - 1], cv::noArray(), m.points[task - 1], m.descriptors[task - 1]);
        break;
      case 3:
      case 4: {
        const int k = task - 3;
        cv::DISOpticalFlow::create(cv::DISOpticalFlow::PRESET_MEDIUM)->calc(frames[k], frames[1 - k], m.dis[k]);
        break;
      }
      default:
        cv::cornerMinEigenVal(first, m.cornerness, kGridStep, 3);
        break;
    }
  });
  if (m.points[0].size() < 2 || m.points[1].size() < 2) return;
  MatchDescriptorsBothWays(m.descriptors[0], m.descriptors[1], threads, m.forward, m.backward);
}

// SIFT keypoints matched both ways, with the ratio test.
void AddSiftMatches(const MatchMaterial& m, std::vector<Match>& matches) {
  if (m.points[0].size() < 2 || m.points[1].size() < 2) return;
  for (const std::vector<cv::DMatch>& best : m.forward) {
    if (best.size() < 2 || best[0].distance > kRatioTest * best[1].distance) continue;
    const int target = best[0].trainIdx;
    if (m.backward[target].empty() || m.backward[target][0].trainIdx != best[0].queryIdx) continue;
    matches.push_back({m.points[0][best[0].queryIdx].pt, m.points[1][target].pt, true});
  }
}

// Every 8th pixel of the DIS flow where the first frame has texture and the backward flow leads back.
void AddDisMatches(const MatchMaterial& m, std::vector<Match>& matches) {
  const cv::Mat& forward = m.dis[0];
  const cv::Mat& backward = m.dis[1];
  const float maxX = static_cast<float>(forward.cols - 1);
  const float maxY = static_cast<float>(forward.rows - 1);
  for (int y = kGridStep / 2; y < forward.rows; y += kGridStep) {
    for (int x = kGridStep / 2; x < forward.cols; x += kGridStep) {
      if (!(m.cornerness.at<float>(y, x) > kMinCornerness)) continue;
      const cv::Vec2f w = forward.at<cv::Vec2f>(y, x);
      const float tx = static_cast<float>(x) + w[0];
      const float ty = static_cast<float>(y) + w[1];
      if (!(tx >= 0.0f && ty >= 0.0f && tx <= maxX && ty <= maxY)) continue;
      const cv::Vec2f back = backward.at<cv::Vec2f>(cvRound(ty), cvRound(tx));
      const cv::Vec2f roundTrip = w + back;
      if (!(roundTrip.dot(roundTrip) <= kMaxRoundTrip2)) continue;
      matches.push_back({cv::Point2f(static_cast<float>(x), static_cast<float>(y)), cv::Point2f(tx, ty), false});
    }
  }
}

cv::Point2f Motion(const SparseMatch& match) { return match.to - match.from; }

// How far another match's motion may differ from `motion` and still move alike.
float Tolerance(const cv::Point2f& motion) {
  return kAgreement + kRelativeAgreement * std::sqrt(motion.dot(motion));
}

bool MovesAlike(const cv::Point2f& other, const cv::Point2f& motion, float tolerance) {
  const cv::Point2f difference = other - motion;
  return difference.dot(difference) <= tolerance * tolerance;
}

// The matches starting within kNeighbourRadius of each match, by buckets of that side over the
// starting points: a match's neighbours lie in its bucket and the eight around it.
class MatchNeighbourhoods {
 public:
  explicit MatchNeighbourhoods(const std::vector<SparseMatch>& matches) : matches_(matches) {
    if (matches.empty()) return;
    origin_ = matches[0].from;
    cv::Point2f end = origin_;
    for (const SparseMatch& match : matches) {
      origin_.x = std::min(origin_.x, match.from.x);
      origin_.y = std::min(origin_.y, match.from.y);
      end.x = std::max(end.x, match.from.x);
      end.y = std::max(end.y, match.from.y);
    }
    columns_ = CellOf(end).x + 1;
    rows_ = CellOf(end).y + 1;
    cells_.resize(static_cast<size_t>(columns_) * static_cast<size_t>(rows_));
    for (size_t i = 0; i < matches.size(); ++i) cells_[Index(CellOf(matches[i].from))].push_back(i);
  }

  // visit(neighbour) for every other match starting within kNeighbourRadius of match i, in the
  // order of the buckets, then of the matches.
  template <typename Visit>
  void ForEachNeighbour(size_t i, Visit visit) const {
    const cv::Point2f from = matches_[i].from;
    const cv::Point cell = CellOf(from);
    for (int cy = std::max(cell.y - 1, 0); cy <= std::min(cell.y + 1, rows_ - 1); ++cy) {
      for (int cx = std::max(cell.x - 1, 0); cx <= std::min(cell.x + 1, columns_ - 1); ++cx) {
        for (const size_t j : cells_[Index(cv::Point(cx, cy))]) {
          const cv::Point2f offset = matches_[j].from - from;
          if (j != i && offset.dot(offset) <= kNeighbourRadius * kNeighbourRadius) visit(matches_[j]);
        }
      }
    }
  }

 private:
  cv::Point CellOf(const cv::Point2f& p) const {
    return cv::Point(static_cast<int>((p.x - origin_.x) / kNeighbourRadius),
                     static_cast<int>((p.y - origin_.y) / kNeighbourRadius));
  }
  size_t Index(const cv::Point& cell) const {
    return static_cast<size_t>(cell.y) * static_cast<size_t>(columns_) + static_cast<size_t>(cell.x);
  }

  const std::vector<SparseMatch>& matches_;
  cv::Point2f origin_;
  int columns_ = 0;
  int rows_ = 0;
  std::vector<std::vector<size_t>> cells_;
};

}  // namespace

std::vector<SparseMatch> FindMatches(const ImageRef& first, const ImageRef& second, int threads,
                                     cv::Mat* quickFlow) {
  MatchMaterial material;
  ComputeMaterial(Grey(first.Mat()), Grey(second.Mat()), threads, material);
  if (quickFlow != nullptr) *quickFlow = material.dis[0];
  std::vector<Match> matches;
  AddSiftMatches(material, matches);
  AddDisMatches(material, matches);
  std::sort(matches.begin(), matches.end());
  matches.erase(std::unique(matches.begin(), matches.end()), matches.end());
  std::vector<SparseMatch> found;
  found.reserve(matches.size());
  for (const Match& match : matches) found.push_back({match.from, match.to, match.distinctive});
  return found;
}

std::vector<SparseMatch> MatchesTheirNeighboursConfirm(const std::vector<SparseMatch>& matches) {
  const MatchNeighbourhoods neighbourhoods(matches);
  std::vector<SparseMatch> confirmed;
  confirmed.reserve(matches.size());
  for (size_t i = 0; i < matches.size(); ++i) {
    const SparseMatch& match = matches[i];
    const cv::Point2f motion = Motion(match);
    const float tolerance = Tolerance(motion);
    int neighbours = 0;
    int confirmations = 0;
    neighbourhoods.ForEachNeighbour(i, [&](const SparseMatch& neighbour) {
      ++neighbours;
      confirmations += MovesAlike(Motion(neighbour), motion, tolerance);
    });
    if (confirmations >= kMinConfirmations || neighbours < kMinNeighbours) confirmed.push_back(match);
  }
  return confirmed;
}

std::vector<SparseMatch> ResolveWrongRepetitions(const ImageRef& first, const ImageRef& second,
                                                 const std::vector<SparseMatch>& matches) {
  cv::Mat firstGrey;
  cv::Mat secondGrey;
  Grey(first.Mat()).convertTo(firstGrey, CV_32F);
  Grey(second.Mat()).convertTo(secondGrey, CV_32F);
  const cv::Size patch(kRepetitionPatch, kRepetitionPatch);
  // The mean squared difference between the first frame's patch around `from` and the second
  // frame's around `from` + motion (bilinear, the border replicated).
  const auto patchCost = [&](const cv::Point2f& from, const cv::Point2f& motion) {
    cv::Mat a;
    cv::Mat b;
    cv::getRectSubPix(firstGrey, patch, from, a);
    cv::getRectSubPix(secondGrey, patch, from + motion, b);
    return cv::norm(a, b, cv::NORM_L2SQR) / static_cast<double>(patch.area());
  };
  const MatchNeighbourhoods neighbourhoods(matches);
  std::vector<SparseMatch> resolved = matches;
  for (size_t i = 0; i < matches.size(); ++i) {
    const SparseMatch& match = matches[i];
    if (match.distinctive) continue;
    const cv::Point2f motion = Motion(match);
    const float tolerance = Tolerance(motion);
    std::vector<cv::Point2f> others;  // the distinctive neighbours' motions, in their order
    bool supported = false;
    neighbourhoods.ForEachNeighbour(i, [&](const SparseMatch& neighbour) {
      if (!neighbour.distinctive) return;
      supported = supported || MovesAlike(Motion(neighbour), motion, tolerance);
      others.push_back(Motion(neighbour));
    });
    if (supported || others.size() < static_cast<size_t>(kMinDistinctiveNeighbours)) continue;
    // The motion that explains the patch best, the match's own unless another does at least as well.
    double best = patchCost(match.from, motion);
    for (const cv::Point2f& other : others) {
      const double cost = patchCost(match.from, other);
      if (cost <= best) {
        best = cost;
        resolved[i].to = match.from + other;
      }
    }
  }
  return resolved;
}

std::vector<SparseMatch> ReliableMatches(const ImageRef& first, const ImageRef& second,
                                         const std::vector<SparseMatch>& matches) {
  return MatchesTheirNeighboursConfirm(ResolveWrongRepetitions(first, second, matches));
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
  const cv::Ptr<cv::ximgproc::EdgeAwareInterpolator> interpolator = opencv_modules::CreateEdgeAwareInterpolator();
  // Each match's neighbours are the other matches: asked for as many neighbours as there are
  // matches, the interpolator reads before the start of its match list and the flow changes from
  // run to run.
  interpolator->setK(std::min(kInterpolationNeighbours, static_cast<int>(matches.size()) - 1));
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
                                std::string& reason, int threads) {
  MatchedStart start = EstimateMatchedStart(first, second, threads);
  if (!start.matched) {
    reason = start.reason;
    return false;
  }
  u = start.u;
  v = start.v;
  return true;
}

MatchedStart EstimateMatchedStart(const ImageRef& first, const ImageRef& second, int threads,
                                  const std::function<void()>& found) {
  MatchedStart start;
  if (first.Width() < kMinMatchedSide || first.Height() < kMinMatchedSide) {
    start.reason =
        "the frames are smaller than " + std::to_string(kMinMatchedSide) + " x " + std::to_string(kMinMatchedSide);
    return start;
  }
  const std::vector<SparseMatch> matches = FindMatches(first, second, threads, &start.quickFlow);
  if (found) found();
  start.matched = InterpolateMatches(first, second, ReliableMatches(first, second, matches), start.u, start.v,
                                     start.reason);
  return start;
}

// An initial flow for large motions: sparse correspondences between the two frames, interpolated
// to a dense field that follows the first frame's edges.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "image/image_ref.h"

// first, second: 8-bit frames of equal size with 1 or 3 channels. On success u and v are made to
// refer to new float images holding the interpolated flow. The correspondences are
//  - SIFT keypoints matched both ways (each the other's nearest descriptor, with Lowe's ratio test
//    at 0.8), and
//  - every 8th pixel of a DIS flow (medium preset) whose backward flow leads back within a pixel,
// sorted, so the result does not depend on the order they are found in, then ReliableMatches. Returns false, with the
// reason and u, v untouched, when the frames are too small or fewer than kMinMatches survive. The
// keypoints of each frame and the DIS flow of each direction are found on up to `threads` threads
// side by side, then the descriptors are matched both ways at once on as many; the result is the
// same for every count.
bool EstimateMatchedInitialFlow(const ImageRef& first, const ImageRef& second, ImageRef& u, ImageRef& v,
                                std::string& reason, int threads = 1);

// The matched start, or why there is none: EstimateMatchedInitialFlow's result as one value (u and
// v empty when `matched` is false).
struct MatchedStart {
  bool matched = false;
  ImageRef u;
  ImageRef v;
  std::string reason;
  cv::Mat quickFlow;  // the DIS flow first to second the matches drew on (CV_32FC2); empty for frames too small
};
// `found`, when given, is called once the matches are found, before they are interpolated on one
// thread (not for frames too small to match): the caller may start other work there.
MatchedStart EstimateMatchedStart(const ImageRef& first, const ImageRef& second, int threads = 1,
                                  const std::function<void()>& found = {});

constexpr int kMinMatches = 32;
constexpr int kMinMatchedSide = 32;  // DIS patches and SIFT octaves need room

// A correspondence: the pixel `from` of the first frame is seen at `to` in the second.
// `distinctive` marks a match between keypoint descriptors that passed the ratio test (SIFT),
// which a repeated pattern cannot give; a dense patch match (DIS) can take the wrong repetition.
struct SparseMatch {
  cv::Point2f from;
  cv::Point2f to;
  bool distinctive = false;
};

// The SIFT and DIS correspondences EstimateMatchedInitialFlow interpolates, sorted by position in
// the first frame, without duplicates. The frames are at least kMinMatchedSide on each side.
// With `quickFlow`, the DIS flow from the first frame to the second is kept there.
std::vector<SparseMatch> FindMatches(const ImageRef& first, const ImageRef& second, int threads = 1,
                                     cv::Mat* quickFlow = nullptr);

// A match is confirmed by a neighbour (another match starting within kNeighbourRadius pixels in
// the first frame) that moves alike: their displacements differ by at most
// kAgreement + kRelativeAgreement times the match's own length (a fast object's matches differ
// among themselves more than a wall's). A match stays when kMinConfirmations neighbours confirm
// it, or when it has fewer than kMinNeighbours neighbours to ask (a small object, a sparse area:
// nothing to contradict it). A match on the wrong side of an occlusion is contradicted by the many
// correct matches around it.
constexpr float kNeighbourRadius = 24.0f;
constexpr float kAgreement = 4.0f;
constexpr float kRelativeAgreement = 0.25f;
constexpr int kMinConfirmations = 2;
constexpr int kMinNeighbours = 4;

// The matches their neighbours confirm, in their order.
std::vector<SparseMatch> MatchesTheirNeighboursConfirm(const std::vector<SparseMatch>& matches);

// On a facade the patch matches of a whole wall may agree on the wrong repetition, so that their
// neighbours confirm one another; the distinctive matches there do not. A patch match whose
// neighbourhood (kNeighbourRadius) holds at least kMinDistinctiveNeighbours distinctive matches,
// none of which moves alike, took a wrong repetition when one of their motions explains its patch
// (kRepetitionPatch pixels square, mean squared grey difference between the frames) at least as
// well as its own: it then takes the motion among them that explains the patch best. A patch match
// of a fast object beside a slow background keeps its own motion, which the background's explains
// worse.
constexpr int kMinDistinctiveNeighbours = 2;
constexpr int kRepetitionPatch = 9;

// The matches in their order, the patch matches that took a wrong repetition moved to the true
// one. first, second: the frames the matches were found on (8-bit, 1 or 3 channels).
std::vector<SparseMatch> ResolveWrongRepetitions(const ImageRef& first, const ImageRef& second,
                                                 const std::vector<SparseMatch>& matches);

// The matches EstimateMatchedInitialFlow interpolates: the wrong repetitions resolved
// (ResolveWrongRepetitions), then those their neighbours confirm (MatchesTheirNeighboursConfirm).
std::vector<SparseMatch> ReliableMatches(const ImageRef& first, const ImageRef& second,
                                         const std::vector<SparseMatch>& matches);

// The edge-aware interpolation of `matches` to every pixel, as EstimateMatchedInitialFlow does it;
// false with the reason when fewer than kMinMatches are given or the field is not finite.
bool InterpolateMatches(const ImageRef& first, const ImageRef& second, const std::vector<SparseMatch>& matches,
                        ImageRef& u, ImageRef& v, std::string& reason);

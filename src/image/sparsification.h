// How well a confidence map ranks the errors of a flow: the sparsification curve (the mean
// endpoint error left after removing the least trusted pixels) beside the oracle curve (removing
// the pixels with the largest true errors first), and the areas under and between them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "image/image_ref.h"

// The curves are sampled at the removed fractions i / 20, i = 0 .. 19 (0, 0.05, ..., 0.95).
constexpr int kSparsificationSteps = 20;

struct SparsificationScore {
  std::vector<double> fractions;  // i / 20
  std::vector<double> estimate;   // mean EPE of the pixels kept, least trusted removed first
  std::vector<double> oracle;     // mean EPE of the pixels kept, largest true errors removed first
  // Trapezoid rule over the fraction axis from 0 to 0.95, the curves divided by the mean EPE of
  // all scored pixels (their common first value), so pairs of any error scale weigh the same. A
  // pair whose mean EPE is 0 has 0 for every normalised area.
  double ause = 0.0;       // area between the two normalised curves (>= 0; 0 = an oracle ranking)
  double auc = 0.0;        // area under the normalised sparsification curve
  double oracleAuc = 0.0;  // area under the normalised oracle curve
  // The same areas on the curves in pixels.
  double auseRaw = 0.0;
  double aucRaw = 0.0;
  double oracleAucRaw = 0.0;
  double meanEpe = 0.0;     // of all scored pixels
  std::int64_t scored = 0;  // known ground truth, finite estimate, finite confidence
};

// Scores per-pixel endpoint errors against confidences of the same length (higher = more
// trusted). Removing the fraction i / 20 removes k = floor(i N / 20) pixels. Pixels of equal
// confidence are removed as a group's average: when k cuts a run of equal confidences, the run
// gives up the share it loses of its summed error, so ties are never broken by position. With
// no pixel every figure is NaN and `scored` 0.
SparsificationScore ScoreSparsification(const std::vector<float>& errors, const std::vector<float>& confidences);

// Scores the confidence map (CV_32FC1 of the flow's size) of the estimate (u, v) against the
// ground truth (uGt, vGt): the pixels with known ground truth, a finite estimate and a finite
// confidence. False with a reason when the images' layouts or sizes differ.
bool ScoreConfidenceMap(const ImageRef& uGt, const ImageRef& vGt, const ImageRef& u, const ImageRef& v,
                        const cv::Mat& confidence, SparsificationScore& score, std::string& error);

// Agreement of an occlusion mask with the true one, for the occluded class.
#pragma once

#include <cstdint>

#include <opencv2/core.hpp>

struct OcclusionScore {
  int64_t truePositives = 0;   // occluded in both
  int64_t falsePositives = 0;  // marked, but visible in truth
  int64_t falseNegatives = 0;  // occluded in truth, not marked
  double precision = 1.0;      // TP / (TP + FP); 1 when nothing is marked
  double recall = 1.0;         // TP / (TP + FN); 1 when nothing is occluded
  double f1 = 1.0;             // 2 TP / (2 TP + FP + FN); 1 when neither mask marks anything
};

// Scores two 8-bit one-channel masks of one size; a pixel is occluded where its value is not 0
// (masks come as 0/255, 0/1 or any other marking on black).
OcclusionScore ScoreOcclusionMask(const cv::Mat& truth, const cv::Mat& estimate);

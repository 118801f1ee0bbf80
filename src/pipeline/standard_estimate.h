// The estimate with the system's fixed parameters: what the program runs for every frame pair, and
// what the library's EstimateFlow returns. Only the smoothness weight, the seed and the thread
// count are left to the caller.
#pragma once

#include <cstdint>
#include <iostream>
#include <optional>

#include "image/image_ref.h"
#include "pipeline/estimate_flow.h"

constexpr float kStandardSmoothness = 8.0f;           // smoothness weight when the user gives none
constexpr float kStandardPictureScaleFromFlow = -1.0f;  // colour pictures scaled by the largest motion

// EstimateFlow (pipeline/estimate_flow.h) with the fixed pyramid factor, term weights, penaliser
// epsilons, iteration counts and segmentation parameters. Same frame requirements and outputs.
void EstimateFlowStandard(const ImageRef& first, const ImageRef& second, ImageRef& initialU, ImageRef& initialV,
                          ImageRef& u, ImageRef& v, float smoothness, std::optional<uint32_t> seed = std::nullopt,
                          int threads = 1, InitialStage initialStage = InitialStage::kPyramid,
                          std::ostream* progress = &std::cout);

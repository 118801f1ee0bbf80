// Error measures of an estimated flow field against ground truth.
//
// A ground-truth vector is unknown when |u| > 1e9 or |v| > 1e9 or either component is NaN; unknown
// pixels are left out of every figure. Among the known pixels, an estimate that is not finite
// (NaN or infinite in either component) is never dropped silently: it is counted in
// `nonFinite`, it counts as an outlier for R1, R3 and Fl (whose denominator is every known pixel), and
// it is left out of the EPE and AAE means, which average over the `scored` pixels only (known
// ground truth and finite estimate). A non-finite estimate has no meaningful endpoint error, and
// letting one pixel turn the mean into NaN or infinity would hide every other figure.
#pragma once

#include <cstdint>
#include <string>

#include "image/image_ref.h"

// The value written for a vector without data (in both components): well beyond the 1e9 threshold,
// so every reader of .flo files takes it as unknown.
constexpr float kUnknownFlowValue = 1e10f;

struct FlowErrorStats {
  double epe = 0.0;            // mean endpoint error over the scored pixels, in pixels
  double aae = 0.0;            // mean angle between (u, v, 1) and (uGt, vGt, 1), in degrees
  double r1 = 0.0;             // percent of known pixels with endpoint error above 1 pixel
  double r3 = 0.0;             // percent of known pixels with endpoint error above 3 pixels
  double fl = 0.0;             // percent of known pixels with endpoint error above 3 pixels and above 5 %
                               // of the ground-truth vector's length
  std::int64_t known = 0;      // pixels with known ground truth
  std::int64_t scored = 0;     // known pixels with a finite estimate (the EPE/AAE population)
  std::int64_t nonFinite = 0;  // known pixels whose estimate is NaN or infinite
  std::int64_t unknown = 0;    // pixels whose ground truth is unknown
  // With an occlusion mask only (NaN and 0 otherwise): the EPE over the scored pixels the mask
  // marks visible and over those it marks occluded, and how many pixels each mean covers.
  double epeVisible = 0.0;
  double epeOccluded = 0.0;
  std::int64_t visible = 0;
  std::int64_t occluded = 0;
};

// The ground-truth rule above, shared by the metrics and the tests.
bool IsUnknownFlow(float u, float v);

// Endpoint error and angular error (degrees) of one estimate (u, v) against (uGt, vGt). The angle
// is taken between the space-time vectors (u, v, 1) and (uGt, vGt, 1) with atan2 of the cross
// and dot products, which equals acos of the normalised dot product but stays accurate for the
// tiny angles of good estimates (and is exactly 0 for identical vectors).
double EndpointError(double u, double v, double uGt, double vGt);
double AngularErrorDegrees(double u, double v, double uGt, double vGt);

// Scores (u, v) against (uGt, vGt). All four must be non-empty single-channel float images of one
// size; otherwise returns false with a reason in `error` and leaves `stats` at its defaults. When
// no pixel is known (or none is scored) the affected means are NaN.
bool EvaluateFlow(const ImageRef& uGt, const ImageRef& vGt, const ImageRef& u, const ImageRef& v,
                  FlowErrorStats& stats, std::string& error);

// Same, and splits the EPE by an occlusion mask: an 8-bit single-channel image of the flow's size,
// occluded where not 0. A mask of another layout or size gives false with a reason.
bool EvaluateFlow(const ImageRef& uGt, const ImageRef& vGt, const ImageRef& u, const ImageRef& v,
                  const cv::Mat& occlusionMask, FlowErrorStats& stats, std::string& error);

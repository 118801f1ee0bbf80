// Error measures of an estimated flow field against ground truth.
//
// A ground-truth vector is unknown when |u| > 1e9 or |v| > 1e9 or either component is NaN; unknown
// pixels are left out of every figure. Among the known pixels, an estimate that is not finite
// (NaN or infinite in either component) is never dropped silently: it is counted in
// `nonFinite`, it counts as an outlier for R1 and R3 (whose denominator is every known pixel), and
// it is left out of the EPE and AAE means, which average over the `scored` pixels only (known
// ground truth and finite estimate). A non-finite estimate has no meaningful endpoint error, and
// letting one pixel turn the mean into NaN or infinity would hide every other figure.
#pragma once

#include <cstdint>
#include <string>

#include "image/image_ref.h"

struct FlowErrorStats {
  double epe = 0.0;            // mean endpoint error over the scored pixels, in pixels
  double aae = 0.0;            // mean angle between (u, v, 1) and (uGt, vGt, 1), in degrees
  double r1 = 0.0;             // percent of known pixels with endpoint error above 1 pixel
  double r3 = 0.0;             // percent of known pixels with endpoint error above 3 pixels
  std::int64_t known = 0;      // pixels with known ground truth
  std::int64_t scored = 0;     // known pixels with a finite estimate (the EPE/AAE population)
  std::int64_t nonFinite = 0;  // known pixels whose estimate is NaN or infinite
  std::int64_t unknown = 0;    // pixels whose ground truth is unknown
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

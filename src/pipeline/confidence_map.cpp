#include "pipeline/confidence_map.h"

#include <algorithm>
#include <cmath>
#include <future>
#include <vector>

#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include "image/parallel.h"
#include "image/warp.h"

namespace {

constexpr float kGreyColourScale = 1.7320508f;  // a grey difference d counts as d on all three channels
constexpr float kFullTrust = 65535.0f;          // the 16-bit picture's value for a confidence of 1
constexpr int kMinDisSide = 32;                 // the quick estimate's patches and pyramid need room

// |d/dx| + |d/dy| of a plane by central differences (one-sided at the border).
void AddVariation(const cv::Mat& plane, cv::Mat& variation) {
  const int width = plane.cols;
  const int height = plane.rows;
  for (int y = 0; y < height; ++y) {
    const float* row = plane.ptr<float>(y);
    const float* up = plane.ptr<float>(std::max(y - 1, 0));
    const float* down = plane.ptr<float>(std::min(y + 1, height - 1));
    const float dyScale = (y > 0 && y < height - 1) ? 0.5f : 1.0f;
    float* out = variation.ptr<float>(y);
    for (int x = 0; x < width; ++x) {
      const int left = std::max(x - 1, 0);
      const int right = std::min(x + 1, width - 1);
      const float dxScale = (x > 0 && x < width - 1) ? 0.5f : 1.0f;
      const float dx = (row[right] - row[left]) * dxScale;
      const float dy = (down[x] - up[x]) * dyScale;
      out[x] += std::sqrt(dx * dx + dy * dy);
    }
  }
}

// Rows are shared out among threads in bands of at least this many.
constexpr int kMinConfidenceRows = 32;

cv::Mat Grey(const ImageRef& frame) {
  if (frame.Channels() == 1) return frame.Mat();
  cv::Mat grey;
  cv::cvtColor(frame.Mat(), grey, cv::COLOR_BGR2GRAY);
  return grey;
}

// |w - w_DIS|, the distance to a quick independent estimate (estimated here unless `given`).
cv::Mat Disagreement(const ImageRef& first, const ImageRef& second, const ImageRef& u, const ImageRef& v,
                     const cv::Mat& given) {
  cv::Mat result = cv::Mat::zeros(u.Height(), u.Width(), CV_32F);
  if (u.Width() < kMinDisSide || u.Height() < kMinDisSide) return result;
  cv::Mat quick = given;
  if (quick.empty()) {
    cv::DISOpticalFlow::create(cv::DISOpticalFlow::PRESET_MEDIUM)->calc(Grey(first), Grey(second), quick);
  }
  CV_Assert(quick.type() == CV_32FC2 && quick.rows == result.rows && quick.cols == result.cols);
  for (int y = 0; y < result.rows; ++y) {
    const float* ur = u.Row<float>(y);
    const float* vr = v.Row<float>(y);
    const cv::Vec2f* q = quick.ptr<cv::Vec2f>(y);
    float* out = result.ptr<float>(y);
    for (int x = 0; x < result.cols; ++x) out[x] = std::hypot(ur[x] - q[x][0], vr[x] - q[x][1]);
  }
  return result;
}

// t / (t + lambda_min) of the first frame's structure tensor, Gaussian window of `sigma`.
cv::Mat Texturelessness(const ImageRef& first, float sigma, float scale) {
  cv::Mat intensity;
  Grey(first).convertTo(intensity, CV_32F);
  cv::Mat Ix, Iy;
  cv::Sobel(intensity, Ix, CV_32F, 1, 0, 1, 0.5, 0.0, cv::BORDER_REPLICATE);
  cv::Sobel(intensity, Iy, CV_32F, 0, 1, 1, 0.5, 0.0, cv::BORDER_REPLICATE);
  cv::Mat j11 = Ix.mul(Ix);
  cv::Mat j12 = Ix.mul(Iy);
  cv::Mat j22 = Iy.mul(Iy);
  if (sigma > 0.0f) {
    const cv::Size window(0, 0);
    cv::GaussianBlur(j11, j11, window, sigma, sigma, cv::BORDER_REPLICATE);
    cv::GaussianBlur(j12, j12, window, sigma, sigma, cv::BORDER_REPLICATE);
    cv::GaussianBlur(j22, j22, window, sigma, sigma, cv::BORDER_REPLICATE);
  }
  cv::Mat result(intensity.size(), CV_32F);
  for (int y = 0; y < result.rows; ++y) {
    const float* a = j11.ptr<float>(y);
    const float* b = j12.ptr<float>(y);
    const float* c = j22.ptr<float>(y);
    float* out = result.ptr<float>(y);
    for (int x = 0; x < result.cols; ++x) {
      // the smaller eigenvalue of [a b; b c]
      const float half = 0.5f * (a[x] - c[x]);
      const float lambdaMin = std::max(0.0f, 0.5f * (a[x] + c[x]) - std::sqrt(half * half + b[x] * b[x]));
      out[x] = scale / (scale + lambdaMin);
    }
  }
  return result;
}

}  // namespace

ConfidenceParams ConfidenceParamsFor(morvi::InitialFlow initialFlow) {
  ConfidenceParams params;
  if (initialFlow == morvi::InitialFlow::kPyramid) return params;
  params.weights = {1.0f, 0.1f, 0.0f, 0.6f, 0.196f, 0.21f, 0.0f, 0.1f, 0.3f, 0.3f};
  params.smoothingSigma = 1.0f;
  params.tensorSigma = 4.0f;
  params.textureScale = 1.5625f;
  return params;
}

std::array<cv::Mat, kSignalCount> ComputeConfidenceSignals(const ImageRef& first, const ImageRef& second,
                                                           const ImageRef& u, const ImageRef& v,
                                                           const ImageRef& backU, const ImageRef& backV,
                                                           const ImageRef& initialU, const ImageRef& initialV,
                                                           const ImageRef& matchedU, const ImageRef& matchedV,
                                                           const ConfidenceParams& params, int threads,
                                                           const cv::Mat& quickFlow) {
  const int width = u.Width();
  const int height = u.Height();
  std::array<cv::Mat, kSignalCount> signals;
  for (cv::Mat& signal : signals) signal = cv::Mat::zeros(height, width, CV_32F);
  // The quick estimate is the costliest signal and needs none of the others: with two threads it
  // runs beside them, else when it is collected.
  const bool disagreementWanted = params.weights[kDisagreement] != 0.0f || params.computeAll;
  const bool disagreementBeside = disagreementWanted && threads >= 2;
  std::future<cv::Mat> disagreement;
  if (disagreementWanted) {
    disagreement = std::async(disagreementBeside ? std::launch::async : std::launch::deferred, Disagreement,
                              std::cref(first), std::cref(second), std::cref(u), std::cref(v), std::cref(quickFlow));
  }
  const int pointThreads = disagreementBeside ? threads - 1 : threads;

  const int channels = first.Channels();
  // The colour residual weighs nothing in the chosen measure: sampled only when it counts.
  const bool residualWanted = params.weights[kResidual] != 0.0f || params.computeAll;
  std::vector<cv::Mat> secondPlanes;
  if (residualWanted) {
    cv::Mat secondFloat;
    second.Mat().convertTo(secondFloat, CV_32F);
    cv::split(secondFloat, secondPlanes);
  }
  const float colourScale = channels == 3 ? 1.0f : kGreyColourScale;
  const float right = static_cast<float>(width - 1);
  const float bottom = static_cast<float>(height - 1);

  // point-wise signals: backward consistency, leaving the frame, colour residual, revision, length,
  // distance to the matched start; every pixel alone, so bands of rows may go to different threads
  const bool matched = !matchedU.Empty();
  ParallelFor(height, pointThreads, [&](int rowBegin, int rowEnd) {
    for (int y = rowBegin; y < rowEnd; ++y) {
      const float* ur = u.Row<float>(y);
      const float* vr = v.Row<float>(y);
      const float* u0 = initialU.Row<float>(y);
      const float* v0 = initialV.Row<float>(y);
      const uint8_t* firstRow = first.Row<uint8_t>(y);
      float* fb = signals[kForwardBackward].ptr<float>(y);
      float* outside = signals[kOutside].ptr<float>(y);
      float* residual = signals[kResidual].ptr<float>(y);
      float* revision = signals[kRevision].ptr<float>(y);
      float* magnitude = signals[kMagnitude].ptr<float>(y);
      for (int x = 0; x < width; ++x) {
        const float tx = static_cast<float>(x) + ur[x];
        const float ty = static_cast<float>(y) + vr[x];
        if (!std::isfinite(tx) || !std::isfinite(ty)) {
          fb[x] = outside[x] = residual[x] = revision[x] = magnitude[x] = NAN;
          continue;
        }
        const float bu = SampleBilinearClamped(backU.Mat(), tx, ty);
        const float bv = SampleBilinearClamped(backV.Mat(), tx, ty);
        fb[x] = std::hypot(ur[x] + bu, vr[x] + bv);
        const float ox = std::max(0.0f, std::max(-tx, tx - right));
        const float oy = std::max(0.0f, std::max(-ty, ty - bottom));
        outside[x] = std::hypot(ox, oy);
        if (residualWanted) {
          float distance2 = 0.0f;
          for (int c = 0; c < channels; ++c) {
            const float d =
                static_cast<float>(firstRow[x * channels + c]) - SampleBilinearClamped(secondPlanes[c], tx, ty);
            distance2 += d * d;
          }
          residual[x] = std::sqrt(distance2) * colourScale;
        }
        revision[x] = std::hypot(ur[x] - u0[x], vr[x] - v0[x]);
        magnitude[x] = std::hypot(ur[x], vr[x]);
      }
      if (matched) {
        const float* mu = matchedU.Row<float>(y);
        const float* mv = matchedV.Row<float>(y);
        float* out = signals[kMatchedStart].ptr<float>(y);
        for (int x = 0; x < width; ++x) out[x] = std::hypot(ur[x] - mu[x], vr[x] - mv[x]);
      }
    }
  }, kMinConfidenceRows);

  // neighbourhood signals: the field's variation and the first frame's texture
  AddVariation(u.Mat(), signals[kVariation]);
  AddVariation(v.Mat(), signals[kVariation]);
  signals[kTexturelessness] = Texturelessness(first, params.tensorSigma, params.textureScale);
  // A wide blur over the whole frame, only when it counts. A non-finite distance would spread over
  // the window: those pixels count as 0 there (they have no trust of their own anyway).
  if (params.weights[kRegionalForwardBackward] != 0.0f || params.computeAll) {
    cv::Mat finiteDistance = signals[kForwardBackward].clone();
    cv::patchNaNs(finiteDistance, 0.0);
    cv::GaussianBlur(finiteDistance, signals[kRegionalForwardBackward], cv::Size(0, 0), params.regionSigma,
                     params.regionSigma, cv::BORDER_REPLICATE);
  }
  if (disagreement.valid()) signals[kDisagreement] = disagreement.get();
  return signals;
}

cv::Mat CombineConfidenceSignals(const std::array<cv::Mat, kSignalCount>& signals, const ConfidenceParams& params,
                                 int threads) {
  const int width = signals[0].cols;
  const int height = signals[0].rows;
  cv::Mat expected = cv::Mat::zeros(height, width, CV_32F);
  cv::Mat broken = cv::Mat::zeros(height, width, CV_8U);
  // the weighted sum, in a fixed order of the signals, every pixel alone
  ParallelFor(height, threads, [&](int rowBegin, int rowEnd) {
    for (int y = rowBegin; y < rowEnd; ++y) {
      float* e = expected.ptr<float>(y);
      uint8_t* bad = broken.ptr<uint8_t>(y);
      for (int s = 0; s < kSignalCount; ++s) {
        const float weight = params.weights[s];
        if (weight == 0.0f) continue;
        const float* signal = signals[s].ptr<float>(y);
        for (int x = 0; x < width; ++x) {
          if (std::isfinite(signal[x])) {
            e[x] += weight * (params.logarithmic ? std::log1p(std::max(0.0f, signal[x])) : signal[x]);
          } else {
            bad[x] = 1;
          }
        }
      }
    }
  }, kMinConfidenceRows);
  if (params.smoothingSigma > 0.0f) {
    cv::GaussianBlur(expected, expected, cv::Size(0, 0), params.smoothingSigma, params.smoothingSigma,
                     cv::BORDER_REPLICATE);
  }
  cv::Mat confidence(height, width, CV_32F);
  for (int y = 0; y < height; ++y) {
    const float* e = expected.ptr<float>(y);
    const uint8_t* bad = broken.ptr<uint8_t>(y);
    float* c = confidence.ptr<float>(y);
    for (int x = 0; x < width; ++x) c[x] = bad[x] || !std::isfinite(e[x]) ? 0.0f : 1.0f / (1.0f + std::max(0.0f, e[x]));
  }
  return confidence;
}

cv::Mat EstimateConfidenceMap(const ImageRef& first, const ImageRef& second, const ImageRef& u, const ImageRef& v,
                              const ImageRef& backU, const ImageRef& backV, const ImageRef& initialU,
                              const ImageRef& initialV, const ImageRef& matchedU, const ImageRef& matchedV,
                              const ConfidenceParams& params, int threads, const cv::Mat& quickFlow) {
  return CombineConfidenceSignals(ComputeConfidenceSignals(first, second, u, v, backU, backV, initialU, initialV,
                                                           matchedU, matchedV, params, threads, quickFlow),
                                  params, threads);
}

cv::Mat ConfidenceTo16Bit(const cv::Mat& confidence) {
  cv::Mat picture(confidence.size(), CV_16U);
  for (int y = 0; y < confidence.rows; ++y) {
    const float* c = confidence.ptr<float>(y);
    uint16_t* out = picture.ptr<uint16_t>(y);
    for (int x = 0; x < confidence.cols; ++x) {
      const float clamped = std::min(1.0f, std::max(0.0f, std::isfinite(c[x]) ? c[x] : 0.0f));
      out[x] = static_cast<uint16_t>(std::lround(clamped * kFullTrust));
    }
  }
  return picture;
}

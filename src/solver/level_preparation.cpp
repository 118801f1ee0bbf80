#include "solver/level_preparation.h"

#include <algorithm>
#include <cmath>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "image/parallel.h"

namespace {

// Five-point central difference (1, -8, 0, 8, -1) / 12, applied by correlation.
constexpr float kDerivativeTaps[5] = {1.0f, -8.0f, 0.0f, 8.0f, -1.0f};
constexpr double kDerivativeScale = 0.08333333333333333;  // 1 / 12
constexpr int kDerivativeRadius = 2;

// Luminance and colour-difference channels of a BGR frame.
constexpr double kLumaBlue = 0.114;
constexpr double kLumaGreen = 0.587;
constexpr double kLumaRed = 0.2989;
constexpr float kColourDifferenceScale = 0.25f;

// Gradient components of the structure tensor are limited in magnitude, so that a single strong
// edge cannot dominate the diffusion tensor.
constexpr float kGradientLimit = 50.0f;

// The diffusion tensor is (adj(S) + kDiffusionBias I) / (trace(S) + kTraceBias): isotropic
// (I / 2) where the image is flat, weaker across edges than along them.
constexpr float kDiffusionBias = 50.0f;
constexpr float kTraceBias = 100.0f;

// The per-pixel loops here cost a few operations a pixel: a thread gets a band of rows only when
// the band holds at least this many pixels, so coarse pyramid levels stay on the calling thread.
constexpr int kMinPixelsPerThread = 20000;

// Smallest band of rows worth a thread for rows of `width` pixels.
int MinRowsPerThread(int width) { return std::max(1, kMinPixelsPerThread / std::max(width, 1)); }

// Correlation of a float image with the five-point filter along x and y. The border is mirrored
// without repeating the edge pixel (column -1 takes column 1, W takes W - 2); OpenCV's reflect-101
// rule is exactly that and stays inside the image even for images narrower than three pixels.
void Derivative5Float(const cv::Mat& source, cv::Mat& dx, cv::Mat& dy) {
  const int width = source.cols;
  const int height = source.rows;
  cv::Mat padded;
  cv::copyMakeBorder(source, padded, kDerivativeRadius, kDerivativeRadius, kDerivativeRadius,
                     kDerivativeRadius, cv::BORDER_REFLECT_101);
  const cv::Mat rowKernel(1, 5, CV_32FC1, const_cast<float*>(kDerivativeTaps));
  const cv::Mat columnKernel(5, 1, CV_32FC1, const_cast<float*>(kDerivativeTaps));
  const cv::Rect interior(kDerivativeRadius, kDerivativeRadius, width, height);

  cv::Mat filtered;
  cv::filter2D(padded, filtered, CV_32F, rowKernel, cv::Point(-1, -1), 0.0, cv::BORDER_REFLECT_101);
  filtered(interior).convertTo(dx, CV_32F, kDerivativeScale, 0.0);
  cv::filter2D(padded, filtered, CV_32F, columnKernel, cv::Point(-1, -1), 0.0, cv::BORDER_REFLECT_101);
  filtered(interior).convertTo(dy, CV_32F, kDerivativeScale, 0.0);
}

// Channel 0 of a frame as a float image (no rounding: bytes convert exactly).
cv::Mat FirstChannelAsFloat(const cv::Mat& source) {
  cv::Mat channel = source;
  if (source.channels() != 1) cv::extractChannel(source, channel, 0);
  cv::Mat converted;
  channel.convertTo(converted, CV_32F, 1.0, 0.0);
  return converted;
}

// Luminance and the two signed colour differences 0.25 (G - B), 0.25 (G - R) of a BGR frame.
void ConvertColourRows(const cv::Mat& frame, const ImageRef& luma, const ImageRef& blueDiff,
                       const ImageRef& redDiff, int rowBegin, int rowEnd) {
  for (int y = rowBegin; y < rowEnd; ++y) {
    const uchar* bgr = frame.ptr<uchar>(y);
    float* l = luma.Row<float>(y);
    float* db = blueDiff.Row<float>(y);
    float* dr = redDiff.Row<float>(y);
    for (int x = 0; x < frame.cols; ++x, bgr += 3) {
      const int b = bgr[0];
      const int g = bgr[1];
      const int r = bgr[2];
      l[x] = static_cast<float>(kLumaBlue * b + kLumaGreen * g + kLumaRed * r);
      db[x] = kColourDifferenceScale * static_cast<float>(g - b);
      dr[x] = kColourDifferenceScale * static_cast<float>(g - r);
    }
  }
}

void ConvertColourFrame(const cv::Mat& frame, const ImageRef& luma, const ImageRef& blueDiff,
                        const ImageRef& redDiff, int threads) {
  ParallelFor(
      frame.rows, threads,
      [&](int begin, int end) { ConvertColourRows(frame, luma, blueDiff, redDiff, begin, end); },
      MinRowsPerThread(frame.cols));
}

// Limits a gradient component to magnitude kGradientLimit, keeping its sign.
inline float LimitGradient(float g) {
  return std::fabs(g) > kGradientLimit ? std::copysign(kGradientLimit, g) : g;
}

// Of three candidate derivatives, the one of largest magnitude; the earlier one wins a tie.
inline float LargestMagnitude(float a, float b, float c) {
  float best = a;
  if (std::fabs(b) > std::fabs(best)) best = b;
  if (std::fabs(c) > std::fabs(best)) best = c;
  return best;
}

void FillStructureRows(const cv::Mat& gx, const cv::Mat& gy, LevelWorkspace& workspace, int rowBegin,
                       int rowEnd) {
  for (int y = rowBegin; y < rowEnd; ++y) {
    const float* gxRow = gx.ptr<float>(y);
    const float* gyRow = gy.ptr<float>(y);
    float* s11 = workspace.s11.Row<float>(y);
    float* s22 = workspace.s22.Row<float>(y);
    float* s12 = workspace.s12.Row<float>(y);
    for (int x = 0; x < gx.cols; ++x) {
      const float Gx = LimitGradient(gxRow[x]);
      const float Gy = LimitGradient(gyRow[x]);
      s11[x] = Gx * Gx;
      s22[x] = Gy * Gy;
      s12[x] = Gx * Gy;
    }
  }
}

void FillStructureTensor(const cv::Mat& gx, const cv::Mat& gy, LevelWorkspace& workspace, int threads) {
  ParallelFor(
      gx.rows, threads, [&](int begin, int end) { FillStructureRows(gx, gy, workspace, begin, end); },
      MinRowsPerThread(gx.cols));
}

// Rows [rowBegin, rowEnd) of the gradient taken from the strongest colour channel.
void StrongestChannelRows(const cv::Mat (&dx)[3], const cv::Mat (&dy)[3], cv::Mat& gx, cv::Mat& gy, int rowBegin,
                          int rowEnd) {
  for (int y = rowBegin; y < rowEnd; ++y) {
    float* gxRow = gx.ptr<float>(y);
    float* gyRow = gy.ptr<float>(y);
    const float* dx0 = dx[0].ptr<float>(y);
    const float* dx1 = dx[1].ptr<float>(y);
    const float* dx2 = dx[2].ptr<float>(y);
    const float* dy0 = dy[0].ptr<float>(y);
    const float* dy1 = dy[1].ptr<float>(y);
    const float* dy2 = dy[2].ptr<float>(y);
    for (int x = 0; x < gx.cols; ++x) {
      gxRow[x] = LargestMagnitude(dx0[x], dx1[x], dx2[x]);
      gyRow[x] = LargestMagnitude(dy0[x], dy1[x], dy2[x]);
    }
  }
}

// Structure tensor of the first frame. For colour frames each component of the gradient is taken
// from the raw B, G or R channel where it is strongest, so that edges between regions of equal
// brightness but different colour still steer the smoothing.
void ComputeStructureTensor(const cv::Mat& frame, LevelWorkspace& workspace, int threads) {
  const int width = frame.cols;
  const int height = frame.rows;
  cv::Mat gx(height, width, CV_32FC1);
  cv::Mat gy(height, width, CV_32FC1);
  if (frame.channels() == 3) {
    cv::Mat raw[3];
    cv::split(frame, raw);
    cv::Mat dx[3];
    cv::Mat dy[3];
    for (int c = 0; c < 3; ++c) {
      cv::Mat channel;
      raw[c].convertTo(channel, CV_32F, 1.0, 0.0);
      dx[c].create(height, width, CV_32FC1);
      dy[c].create(height, width, CV_32FC1);
      Derivative5Float(channel, dx[c], dy[c]);
    }
    ParallelFor(
        height, threads, [&](int begin, int end) { StrongestChannelRows(dx, dy, gx, gy, begin, end); },
        MinRowsPerThread(width));
  } else {
    Derivative5Float(FirstChannelAsFloat(frame), gx, gy);
  }
  FillStructureTensor(gx, gy, workspace, threads);
}

// Rows [rowBegin, rowEnd) of the diffusion tensor.
void DiffusionTensorRows(LevelWorkspace& workspace, int rowBegin, int rowEnd) {
  const int width = workspace.s11.Width();
  for (int y = rowBegin; y < rowEnd; ++y) {
    const float* s11 = workspace.s11.Row<float>(y);
    const float* s22 = workspace.s22.Row<float>(y);
    const float* s12 = workspace.s12.Row<float>(y);
    float* d11 = workspace.d11.Row<float>(y);
    float* d22 = workspace.d22.Row<float>(y);
    float* d12x2 = workspace.d12x2.Row<float>(y);
    for (int x = 0; x < width; ++x) {
      const float a = s11[x];
      const float b = s22[x];
      const float c = s12[x];
      const float den = a + b + kTraceBias;
      d11[x] = (b + kDiffusionBias) / den;
      d22[x] = (a + kDiffusionBias) / den;
      d12x2[x] = -(2.0f * c) / den;
    }
  }
}

}  // namespace

void Derivative5(const ImageRef& source, const ImageRef& dx, const ImageRef& dy) {
  CV_Assert(!source.Empty() && !dx.Empty() && !dy.Empty());
  CV_Assert(source.Depth() == CV_32F || source.Depth() == CV_8U);
  CV_Assert(dx.Mat().type() == CV_32FC1 && dy.Mat().type() == CV_32FC1);
  CV_Assert(dx.Mat().size() == source.Mat().size() && dy.Mat().size() == source.Mat().size());
  if (source.Depth() == CV_32F) {
    CV_Assert(source.Channels() == 1);
    Derivative5Float(source.Mat(), dx.Mat(), dy.Mat());
  } else {
    Derivative5Float(FirstChannelAsFloat(source.Mat()), dx.Mat(), dy.Mat());
  }
}

void ComputeDiffusionTensor(LevelWorkspace& workspace, int threads) {
  const int width = workspace.s11.Width();
  const int height = workspace.s22.Height();
  EnsureFloat(workspace.d11, width, height, 1);
  EnsureFloat(workspace.d22, width, height, 1);
  EnsureFloat(workspace.d12x2, width, height, 1);
  ParallelFor(
      height, threads, [&](int begin, int end) { DiffusionTensorRows(workspace, begin, end); },
      MinRowsPerThread(width));
}

void ConvertFrameChannels(const ImageRef& frame, int threads, std::array<ImageRef, 3>& channels) {
  const int n = frame.Channels();
  CV_Assert(n == 1 || n == 3);
  for (int c = 0; c < n; ++c) EnsureFloat(channels[c], frame.Width(), frame.Height(), 1);
  if (n == 3) {
    ConvertColourFrame(frame.Mat(), channels[0], channels[1], channels[2], threads);
  } else {
    frame.Mat().convertTo(channels[0].Mat(), CV_32F, 1.0, 0.0);
  }
}

ImageRef GreyFrame(const ImageRef& frame) {
  ImageRef grey = CreateByte(frame.Width(), frame.Height(), 1);
  if (frame.Channels() == 3) {
    cv::cvtColor(frame.Mat(), grey.Mat(), cv::COLOR_BGR2GRAY);
  } else {
    frame.Mat().convertTo(grey.Mat(), CV_8U, 1.0, 0.0);
  }
  return grey;
}

void ComputeFrameDerivatives(const SolverParams& params, const ImageRef& first, const ImageRef& second,
                             PairDerivatives& derivatives) {
  const int width = first.Width();
  const int height = first.Height();
  const int n = first.Channels();
  CV_Assert(n == 1 || n == 3);
  derivatives.channels = n;

  if (params.useBrightness) {
    ConvertFrameChannels(first, params.threads, derivatives.first);
    ConvertFrameChannels(second, params.threads, derivatives.second);
    for (int c = 0; c < n; ++c) {
      EnsureFloat(derivatives.firstDx[c], width, height, 1);
      EnsureFloat(derivatives.firstDy[c], width, height, 1);
      EnsureFloat(derivatives.secondDx[c], width, height, 1);
      EnsureFloat(derivatives.secondDy[c], width, height, 1);
      Derivative5(derivatives.first[c], derivatives.firstDx[c], derivatives.firstDy[c]);
      Derivative5(derivatives.second[c], derivatives.secondDx[c], derivatives.secondDy[c]);
    }
  }

  if (params.useGradient) {
    EnsureFloat(derivatives.greyFirstDx, width, height, 1);
    EnsureFloat(derivatives.greyFirstDy, width, height, 1);
    EnsureFloat(derivatives.greySecondDx, width, height, 1);
    EnsureFloat(derivatives.greySecondDy, width, height, 1);
    Derivative5(GreyFrame(first), derivatives.greyFirstDx, derivatives.greyFirstDy);
    Derivative5(GreyFrame(second), derivatives.greySecondDx, derivatives.greySecondDy);
  }
}

void PrepareSolver(const ImageRef& first, const ImageRef& second, double brightnessEps,
                   double gradientEps, double smoothnessEps, int anisotropic, SolverParams& params,
                   PairDerivatives& derivatives, LevelWorkspace& workspace) {
  PrepareSolverLevel(first, second, brightnessEps, gradientEps, smoothnessEps, anisotropic, params, workspace);
  ComputeFrameDerivatives(params, first, second, derivatives);
}

void PrepareSolverLevel(const ImageRef& first, const ImageRef& second, double brightnessEps, double gradientEps,
                        double smoothnessEps, int anisotropic, SolverParams& params, LevelWorkspace& workspace) {
  // Frames with an alpha or a second channel are reduced by the caller; the solver converts only
  // grey and BGR frames, and both frames must match.
  CV_Assert(!first.Empty() && !second.Empty());
  CV_Assert(first.Depth() == CV_8U && second.Depth() == CV_8U);
  CV_Assert(first.Channels() == 1 || first.Channels() == 3);
  CV_Assert(second.Channels() == first.Channels());
  CV_Assert(second.Width() == first.Width() && second.Height() == first.Height());

  const int width = first.Width();
  const int height = first.Height();

  params.brightnessEps = brightnessEps;
  params.gradientEps = gradientEps;
  params.smoothnessEps = smoothnessEps;
  params.useBrightness = 1;
  params.useGradient = 1;
  params.anisotropic = anisotropic;

  workspace.channels = 0;
  workspace.damped.Release();
  workspace.damping = 1.0f;
  workspace.hx = 1.0;
  workspace.hy = 1.0;

  if (params.useBrightness) workspace.channels = first.Channels();
  // the fast relaxation reads the data terms' factors (the reference sweeps read products)
  workspace.factored = params.solver == morvi::Solver::kFast && params.anisotropic;
  AllocateWorkspaceImages(params, width, height, workspace);

  if (params.anisotropic) {
    ComputeStructureTensor(first.Mat(), workspace, params.threads);
    // the fast relaxation forms the diffusion tensor from the structure tensor as it reads it
    if (params.solver != morvi::Solver::kFast) ComputeDiffusionTensor(workspace, params.threads);
  }
}

void AllocateWorkspaceImages(const SolverParams& params, int width, int height, LevelWorkspace& workspace) {
  if (params.useBrightness) {
    for (int c = 0; c < workspace.channels; ++c) {
      if (workspace.factored) {
        for (auto* array : {&workspace.bx, &workspace.by, &workspace.bz}) EnsureFloat((*array)[c], width, height, 1);
        continue;
      }
      for (auto* array : {&workspace.b11, &workspace.b12, &workspace.b22, &workspace.b13, &workspace.b23,
                          &workspace.b33}) {
        EnsureFloat((*array)[c], width, height, 1);
      }
    }
  }
  if (params.useGradient) {
    for (int k = 0; k < 2; ++k) {
      if (workspace.factored) {
        for (auto* array : {&workspace.gx, &workspace.gy, &workspace.gz}) EnsureFloat((*array)[k], width, height, 1);
        continue;
      }
      for (auto* array : {&workspace.g11, &workspace.g12, &workspace.g22, &workspace.g13, &workspace.g23,
                          &workspace.g33}) {
        EnsureFloat((*array)[k], width, height, 1);
      }
    }
  }
  if (params.anisotropic) {
    EnsureFloat(workspace.s11, width, height, 1);
    EnsureFloat(workspace.s22, width, height, 1);
    EnsureFloat(workspace.s12, width, height, 1);
  }
}

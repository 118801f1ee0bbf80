#include "pipeline/image_pyramid.h"

#include <opencv2/imgproc.hpp>

namespace {

constexpr float kKernelSigmas = 5.0f;  // the Gaussian kernel spans about five sigmas
constexpr int kMinKernelSize = 3;

}  // namespace

int PyramidKernelSize(float sigma) {
  int k = static_cast<int>(kKernelSigmas * sigma + 0.5f) | 1;
  if (k <= kMinKernelSize) k = kMinKernelSize;
  return k;
}

void ImagePyramid::Build(const ImageRef& image, float factor, int minWidth, int minHeight) {
  levels.assign(1, image);
  const float inv = 1.0f / factor;
  float scale = 1.0f;
  for (;;) {
    const ImageRef& last = levels.back();
    const int width = static_cast<int>(static_cast<float>(last.Width()) * inv);
    const int height = static_cast<int>(inv * static_cast<float>(last.Height()));
    scale *= factor;
    if (width < minWidth || height < minHeight) break;

    // Every level is blurred from the full-resolution frame with its total scale, not from the
    // previous level, so no blur is applied twice.
    const int k = PyramidKernelSize(scale);
    ImageRef blurred = CreateByte(image.Width(), image.Height(), image.Channels());
    cv::GaussianBlur(image.Mat(), blurred.Mat(), cv::Size(k, k), scale, scale);
    ImageRef level = CreateByte(width, height, image.Channels());
    cv::resize(blurred.Mat(), level.Mat(), level.Mat().size(), 0.0, 0.0, cv::INTER_LINEAR);
    levels.push_back(level);
  }
  levelCount = static_cast<int32_t>(levels.size());
}

#include "pipeline/image_pyramid.h"

#include <cmath>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "image/parallel.h"

namespace {

constexpr float kKernelSigmas = 5.0f;  // the Gaussian kernel spans about five sigmas
constexpr int kMinKernelSize = 3;

}  // namespace

int PyramidKernelSize(float sigma) {
  int k = static_cast<int>(kKernelSigmas * sigma + 0.5f) | 1;
  if (k <= kMinKernelSize) k = kMinKernelSize;
  return k;
}

void ImagePyramid::Build(const ImageRef& image, float factor, int minWidth, int minHeight, int threads,
                         PyramidBlur blur) {
  // The sizes and blur scales first: each level's size is truncated from the previous one's.
  struct Level {
    int width;
    int height;
    float scale;
  };
  std::vector<Level> sizes;
  const float inv = 1.0f / factor;
  float scale = 1.0f;
  int lastWidth = image.Width();
  int lastHeight = image.Height();
  for (;;) {
    const int width = static_cast<int>(static_cast<float>(lastWidth) * inv);
    const int height = static_cast<int>(inv * static_cast<float>(lastHeight));
    scale *= factor;
    if (width < minWidth || height < minHeight) break;
    sizes.push_back({width, height, scale});
    lastWidth = width;
    lastHeight = height;
  }

  levels.assign(sizes.size() + 1, ImageRef());
  levels[0] = image;
  const int count = static_cast<int>(sizes.size());
  if (blur == PyramidBlur::kCascade) {
    // Level i + 1 from level i (float). Level i has blur sizes[i - 1].scale in full-resolution
    // pixels, which is sigma 1 in its own pixels (the frame: none), and level i + 1 needs
    // sizes[i].scale, so the blur to add there is sqrt(factor^2 - 1) of level i's pixels (factor for
    // the frame).
    cv::Mat previous;
    image.Mat().convertTo(previous, CV_32F);
    for (int i = 0; i < count; ++i) {
      const float previousScale = i == 0 ? 1.0f : sizes[i - 1].scale;  // full-resolution pixels per pixel
      const float previousSigma = i == 0 ? 0.0f : previousScale;        // its blur, full-resolution pixels
      const float sigma = std::sqrt(sizes[i].scale * sizes[i].scale - previousSigma * previousSigma) / previousScale;
      const int k = PyramidKernelSize(sigma);
      cv::Mat blurred;
      cv::GaussianBlur(previous, blurred, cv::Size(k, k), sigma, sigma);
      cv::Mat next;
      cv::resize(blurred, next, cv::Size(sizes[i].width, sizes[i].height), 0.0, 0.0, cv::INTER_LINEAR);
      ImageRef level = CreateByte(sizes[i].width, sizes[i].height, image.Channels());
      next.convertTo(level.Mat(), level.Mat().type());
      levels[i + 1] = level;
      previous = next;
    }
    levelCount = static_cast<int32_t>(levels.size());
    return;
  }

  // Every level is blurred from the full-resolution frame with its total scale, not from the
  // previous level, so no blur is applied twice.
  ParallelTasks(count, threads, [&](int task) {
    const int i = count - 1 - task;  // the coarsest first
    const int k = PyramidKernelSize(sizes[i].scale);
    ImageRef blurred = CreateByte(image.Width(), image.Height(), image.Channels());
    cv::GaussianBlur(image.Mat(), blurred.Mat(), cv::Size(k, k), sizes[i].scale, sizes[i].scale);
    ImageRef level = CreateByte(sizes[i].width, sizes[i].height, image.Channels());
    cv::resize(blurred.Mat(), level.Mat(), level.Mat().size(), 0.0, 0.0, cv::INTER_LINEAR);
    levels[i + 1] = level;
  });
  levelCount = static_cast<int32_t>(levels.size());
}

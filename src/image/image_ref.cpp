#include "image/image_ref.h"

#include <opencv2/imgcodecs.hpp>

void ImageRef::Reset(cv::Mat image) {
  record_.reset();
  if (!image.empty()) record_ = std::make_shared<cv::Mat>(std::move(image));
}

void EnsureSize(ImageRef& image, int width, int height, int depth, int channels) {
  if (width == 0 || height == 0) return;
  if (image.Empty() || image.Width() != width || image.Height() != height) {
    image.Reset(cv::Mat::zeros(height, width, CV_MAKETYPE(depth, channels)));
  }
}

void EnsureFloat(ImageRef& image, int width, int height, int channels) {
  EnsureSize(image, width, height, CV_32F, channels);
}

void EnsureByte(ImageRef& image, int width, int height, int channels) {
  EnsureSize(image, width, height, CV_8U, channels);
}

namespace {

ImageRef Create(int width, int height, int depth, int channels) {
  ImageRef image;
  EnsureSize(image, width, height, depth, channels);
  return image;
}

ImageRef Clone(const ImageRef& source, int depth) {
  CV_Assert(!source.Empty() && source.Depth() == depth);
  ImageRef image = Create(source.Width(), source.Height(), depth, source.Channels());
  source.Mat().copyTo(image.Mat());
  return image;
}

}  // namespace

ImageRef CreateFloat(int width, int height, int channels) { return Create(width, height, CV_32F, channels); }
ImageRef CreateByte(int width, int height, int channels) { return Create(width, height, CV_8U, channels); }
ImageRef CreateInt(int width, int height, int channels) { return Create(width, height, CV_32S, channels); }

ImageRef CloneFloat(const ImageRef& source) { return Clone(source, CV_32F); }
ImageRef CloneByte(const ImageRef& source) { return Clone(source, CV_8U); }
ImageRef CloneInt(const ImageRef& source) { return Clone(source, CV_32S); }

ImageRef LoadImage(const std::string& fileName, int flags) {
  return ImageRef(cv::imread(fileName, flags));
}

bool SaveImage(const ImageRef& image, const std::string& fileName) {
  if (image.Empty()) return false;
  try {
    return cv::imwrite(fileName, image.Mat());
  } catch (const cv::Exception&) {
    return false;
  }
}

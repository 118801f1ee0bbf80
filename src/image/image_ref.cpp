#include "image/image_ref.h"

#include <filesystem>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "image/atomic_file.h"
#include "image/image_codec.h"

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
  return ImageRef(ReadImageFile(fileName, flags));
}

bool SaveImage(const ImageRef& image, const std::string& fileName) {
  std::string ignored;
  return SaveImage(image, fileName, ignored);
}

bool SaveImage(const ImageRef& image, const std::string& fileName, std::string& error) {
  if (image.Empty()) {
    error = "could not write " + fileName + ": the image is empty";
    return false;
  }
  // Encoded in memory and written by us: the encoder's own file writing does not report a full
  // disk, and would leave a truncated file behind.
  const std::string extension = std::filesystem::path(fileName).extension().string();
  std::vector<unsigned char> bytes;
  bool encoded = false;
  try {
    encoded = !extension.empty() && EncodeImage(extension, image.Mat(), bytes);
  } catch (const cv::Exception&) {
    encoded = false;
  }
  if (!encoded) {
    error = "could not write " + fileName + ": no image format for the extension '" + extension + "'";
    return false;
  }
  return WriteFileAtomically(fileName, bytes.data(), bytes.size(), error);
}

cv::Mat ToFrameLayout(const cv::Mat& image, std::string& reason) {
  if (image.empty()) {
    reason = "is empty";
    return cv::Mat();
  }
  cv::Mat eightBit = image;
  if (image.depth() == CV_16U) {
    image.convertTo(eightBit, CV_8U, 1.0 / 257.0);
  } else if (image.depth() != CV_8U) {
    reason = "has an unsupported pixel depth (8 or 16 bits per channel are read)";
    return cv::Mat();
  }
  cv::Mat reduced;
  switch (eightBit.channels()) {
    case 1:
    case 3:
      reduced = eightBit;
      break;
    case 2:  // grey + alpha
      cv::extractChannel(eightBit, reduced, 0);
      break;
    case 4:
      cv::cvtColor(eightBit, reduced, cv::COLOR_BGRA2BGR);
      break;
    default:
      reason = "has " + std::to_string(eightBit.channels()) + " channels (1 to 4 are read)";
      return cv::Mat();
  }
  return reduced;
}

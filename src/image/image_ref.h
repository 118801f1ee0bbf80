// Shared, reference-counted handle on one image, and the small set of image utilities the
// whole system builds on.
//
// A handle is either empty or shares one record that owns a cv::Mat. Copies share the record
// (and so the pixels); assigning or resetting a handle only drops its own share. Images are never
// resized in place: a new size always means a new image and a new record, so other handles keep
// seeing the old pixels.
#pragma once

#include <memory>
#include <string>

#include <opencv2/core.hpp>

class ImageRef {
 public:
  ImageRef() = default;
  // Takes sole ownership of the matrix; an empty matrix gives an empty handle.
  explicit ImageRef(cv::Mat image) { Reset(std::move(image)); }

  // Drops the current share, then owns `image` alone (or stays empty for an empty matrix).
  void Reset(cv::Mat image);
  // Drops the current share and leaves the handle empty.
  void Release() { record_.reset(); }

  // The image, or null for an empty handle.
  cv::Mat* Get() const { return record_.get(); }
  cv::Mat& Mat() const { return *record_; }
  bool Empty() const { return record_ == nullptr; }

  // Neutral values for an empty handle: callers read sizes through the handle and rely on zeros.
  int Width() const { return record_ ? record_->cols : 0; }
  int Height() const { return record_ ? record_->rows : 0; }
  int Channels() const { return record_ ? record_->channels() : 0; }
  // OpenCV depth code (CV_8U, CV_32F, CV_32S), or -1 for an empty handle.
  int Depth() const { return record_ ? record_->depth() : -1; }
  // Number of handles sharing the record (0 for an empty handle).
  long UseCount() const { return record_.use_count(); }

  template <typename T>
  T* Row(int y) const {
    return record_->ptr<T>(y);
  }

 private:
  std::shared_ptr<cv::Mat> record_;
};

// Zeroed images of the requested size; a width or height of 0 gives an empty handle.
ImageRef CreateFloat(int width, int height, int channels);
ImageRef CreateByte(int width, int height, int channels);
ImageRef CreateInt(int width, int height, int channels);

// A new image with the source's size and channel count holding a copy of its pixels. The source
// must already have the named depth (no conversion happens).
ImageRef CloneFloat(const ImageRef& source);
ImageRef CloneByte(const ImageRef& source);
ImageRef CloneInt(const ImageRef& source);

// Lazy allocation for workspaces. Nothing happens when width or height is 0. When the handle is
// empty or its image differs in width or height, it is reset to a new zeroed image of the requested
// size, depth and channels; an image of the requested size is left untouched, contents included
// (depth and channel count are not compared).
void EnsureSize(ImageRef& image, int width, int height, int depth, int channels);
void EnsureFloat(ImageRef& image, int width, int height, int channels);
void EnsureByte(ImageRef& image, int width, int height, int channels);

// Reads an image file with the given cv::imread flags (-1: the file's own depth and channels,
// colour in BGR order). An unreadable file gives an empty handle.
ImageRef LoadImage(const std::string& fileName, int flags);
// Writes the image; the format follows from the extension. The file is encoded in memory and
// written under a temporary name, then renamed into place (image/atomic_file.h): it appears
// complete or not at all, and a failure leaves a file already under the name as it was. Returns
// false on failure, with `error` saying which file and why ("could not write <name>: <cause>").
bool SaveImage(const ImageRef& image, const std::string& fileName, std::string& error);
bool SaveImage(const ImageRef& image, const std::string& fileName);

// Brings an image to the frame layout the estimate takes: 8-bit, 1 channel (grey) or 3 channels
// (BGR). 16-bit images are scaled to 8 bits (v / 257), an alpha channel is dropped. Returns the
// input itself when it already has that layout; an empty Mat and a reason otherwise.
cv::Mat ToFrameLayout(const cv::Mat& image, std::string& reason);

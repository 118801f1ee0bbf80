// OpenCV's image-file, video and edge-aware interpolation modules, loaded on first use.
//
// Linked in, these three modules bring about 220 shared libraries (image format and codec
// libraries of every kind), whose loading and symbol binding take about 0.09 s before main, on
// every run: a sixth of a whole estimate of a 640 x 480 pair at two threads. Most runs need none
// of them: frames are 8- or 16-bit PNG files, which image_codec.h decodes itself, and outputs are
// .flo and binary PNM files. So the modules are opened with dlopen when a call first needs them,
// and their entry points are taken by their (C++) symbol names. The handles live until the
// process ends; opening is thread-safe.
//
// A module that cannot be opened or lacks an entry point raises std::runtime_error naming the
// library and the cause.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>
#include <opencv2/ximgproc/sparse_match_interpolator.hpp>

namespace opencv_modules {

// cv::imread, cv::imdecode, cv::imencode and cv::haveImageReader, from the image-file module.
cv::Mat ImRead(const std::string& fileName, int flags);
cv::Mat ImDecode(const cv::Mat& bytes, int flags);
bool ImEncode(const std::string& extension, const cv::Mat& image, std::vector<unsigned char>& bytes);
bool HaveImageReader(const std::string& fileName);

// A video capture or writer constructed by the video module (closed); every member called on it is
// virtual, so its calls go to the module. Destroying the pointer releases it.
struct VideoCaptureDeleter {
  void operator()(cv::VideoCapture* capture) const;
};
struct VideoWriterDeleter {
  void operator()(cv::VideoWriter* writer) const;
};
using VideoCapturePtr = std::unique_ptr<cv::VideoCapture, VideoCaptureDeleter>;
using VideoWriterPtr = std::unique_ptr<cv::VideoWriter, VideoWriterDeleter>;
VideoCapturePtr NewVideoCapture();
VideoWriterPtr NewVideoWriter();
// writer.open(fileName, apiPreference, fourcc, fps, frameSize, isColor), a member that is not
// virtual.
bool OpenVideoWriter(cv::VideoWriter& writer, const std::string& fileName, int apiPreference, int fourcc, double fps,
                     cv::Size frameSize, bool isColor);

// cv::ximgproc::createEdgeAwareInterpolator, from the extended image processing module.
cv::Ptr<cv::ximgproc::EdgeAwareInterpolator> CreateEdgeAwareInterpolator();
// Opens that module ahead of the first call, on a thread that has time for it; a failure is left
// for CreateEdgeAwareInterpolator to report.
void PreloadEdgeAwareInterpolator();

}  // namespace opencv_modules

// The flow video of a run: for every pair in order, one frame holding the pair's first frame and
// its flow picture side by side, written through OpenCV's FFmpeg writer.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "image/image_ref.h"
#include "image/opencv_modules.h"

// The fourcc code of the codec for a video file named `fileName`, from its extension: .avi MJPG,
// .mp4 mp4v, .mkv FFV1 (lower case). 0 for any other extension.
int FlowVideoCodec(const std::string& fileName);

// The frame rate a flow video takes: the source's own when it declares one (> 0), else 25.
double FlowVideoFrameRate(double sourceRate);
constexpr double kFlowVideoDefaultRate = 25.0;

// Removes the temporaries that writers of the video `finalName` left in its folder (a killed
// run); returns how many were removed.
size_t RemoveLeftoverVideoTemporaries(const std::string& finalName);

// One flow video being written. It is written under a temporary name in the target folder
// (image/atomic_file.h) and renamed to its final name by Commit: a video that is not committed
// (a failure, or destruction before Commit) has its temporary removed, and the final name is left
// as it was. Errors read "could not write <final name>: <cause>".
class FlowVideo {
 public:
  // Opens the writer for frames of 2 * width x height at `frameRate`; the codec follows the
  // extension (FlowVideoCodec). A failure shows in Ok() and Error().
  FlowVideo(std::string finalName, int width, int height, double frameRate);
  ~FlowVideo();
  FlowVideo(const FlowVideo&) = delete;
  FlowVideo& operator=(const FlowVideo&) = delete;

  // Appends the frame of one pair: `first` (8-bit, 1 or 3 channels) on the left, `picture`
  // (8-bit BGR) on the right, both of the size given at opening. False once anything has failed.
  bool Add(const ImageRef& first, const ImageRef& picture);
  // Closes the writer and renames the temporary to the final name; false with the error set (and
  // the temporary removed) when any step fails or an earlier one did.
  bool Commit();

  bool Ok() const { return error_.empty(); }
  const std::string& Error() const { return error_; }
  // Frames added so far.
  long Frames() const { return frames_; }

 private:
  void Fail(const std::string& cause);
  void Discard();

  std::string finalName_;
  std::string temporaryName_;
  cv::Size frameSize_;
  opencv_modules::VideoWriterPtr writer_;  // made when the video opens
  cv::Mat canvas_;  // the side-by-side frame, reused from pair to pair
  long frames_ = 0;
  bool committed_ = false;
  std::string error_;
};

#include "driver/flow_video.h"

#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "image/atomic_file.h"

namespace {

// The four characters of a codec name packed into an int, the first in the lowest byte.
int FourCc(char c1, char c2, char c3, char c4) {
  return (c1 & 255) | ((c2 & 255) << 8) | ((c3 & 255) << 16) | ((c4 & 255) << 24);
}

}  // namespace

int FlowVideoCodec(const std::string& fileName) {
  const std::string extension = std::filesystem::path(fileName).extension().string();
  if (extension == ".avi") return FourCc('M', 'J', 'P', 'G');
  if (extension == ".mp4") return FourCc('m', 'p', '4', 'v');
  if (extension == ".mkv") return FourCc('F', 'F', 'V', '1');
  return 0;
}

double FlowVideoFrameRate(double sourceRate) { return sourceRate > 0.0 ? sourceRate : kFlowVideoDefaultRate; }

size_t RemoveLeftoverVideoTemporaries(const std::string& finalName) {
  const std::filesystem::path path(finalName);
  const std::string stem = path.stem().string();
  const std::string extension = path.extension().string();
  const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
  std::error_code error;
  std::vector<std::filesystem::path> leftovers;
  std::filesystem::directory_iterator it(folder, error);
  for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    if (IsTemporaryNameOf(it->path().filename().string(), stem, extension)) leftovers.push_back(it->path());
  }
  size_t removed = 0;
  for (const std::filesystem::path& leftover : leftovers) removed += std::filesystem::remove(leftover, error) ? 1 : 0;
  return removed;
}

FlowVideo::FlowVideo(std::string finalName, int width, int height, double frameRate)
    : finalName_(std::move(finalName)), frameSize_(2 * width, height) {
  const int codec = FlowVideoCodec(finalName_);
  if (codec == 0) {
    Fail("the extension names no video format (.avi, .mp4 or .mkv)");
    return;
  }
  std::error_code error;
  const std::filesystem::path folder = std::filesystem::path(finalName_).parent_path();
  if (!folder.empty() && !std::filesystem::is_directory(folder, error)) {
    Fail("the folder " + folder.string() + " does not exist");
    return;
  }
  if (std::filesystem::is_directory(finalName_, error)) {
    Fail("it is a directory");
    return;
  }
  temporaryName_ = TemporaryNameFor(finalName_);
  writer_ = opencv_modules::NewVideoWriter();
  if (!opencv_modules::OpenVideoWriter(*writer_, temporaryName_, cv::CAP_FFMPEG, codec, frameRate, frameSize_, true) || !writer_->isOpened()) {
    Fail("the video writer does not open for " + std::to_string(frameSize_.width) + "x" +
         std::to_string(frameSize_.height) + " frames");
    return;
  }
  canvas_.create(frameSize_, CV_8UC3);
}

FlowVideo::~FlowVideo() {
  if (!committed_) Discard();
}

bool FlowVideo::Add(const ImageRef& first, const ImageRef& picture) {
  if (!Ok()) return false;
  const int width = frameSize_.width / 2;
  if (first.Width() != width || first.Height() != frameSize_.height || picture.Width() != width ||
      picture.Height() != frameSize_.height || picture.Channels() != 3) {
    Fail("a pair's frame or picture is not " + std::to_string(width) + "x" + std::to_string(frameSize_.height));
    return false;
  }
  // A grey first frame is shown in colour, as the video writer takes BGR frames.
  cv::Mat left = canvas_(cv::Rect(0, 0, width, frameSize_.height));
  if (first.Channels() == 1) {
    cv::cvtColor(first.Mat(), left, cv::COLOR_GRAY2BGR);
  } else {
    first.Mat().copyTo(left);
  }
  picture.Mat().copyTo(canvas_(cv::Rect(width, 0, width, frameSize_.height)));
  writer_->write(canvas_);
  ++frames_;
  return true;
}

bool FlowVideo::Commit() {
  if (!Ok()) {
    Discard();
    return false;
  }
  writer_->release();
  std::error_code error;
  if (!std::filesystem::is_regular_file(temporaryName_, error) || std::filesystem::file_size(temporaryName_, error) == 0) {
    Fail("the video writer wrote nothing");
    Discard();
    return false;
  }
  std::filesystem::rename(temporaryName_, finalName_, error);
  if (error) {
    Fail(error.message());
    Discard();
    return false;
  }
  committed_ = true;
  return true;
}

void FlowVideo::Fail(const std::string& cause) {
  if (error_.empty()) error_ = "could not write " + finalName_ + ": " + cause;
}

void FlowVideo::Discard() {
  if (writer_ && writer_->isOpened()) writer_->release();
  if (!temporaryName_.empty()) {
    std::error_code ignored;
    std::filesystem::remove(temporaryName_, ignored);
  }
}

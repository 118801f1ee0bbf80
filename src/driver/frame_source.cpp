#include "driver/frame_source.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "driver/directory_scan.h"
#include "driver/pair_plan.h"
#include "image/opencv_modules.h"

namespace {

std::string StemOfName(const std::string& name) {
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

class DirectoryFrames : public FrameSource {
 public:
  DirectoryFrames(std::string directory, std::vector<std::string> names, size_t skippedOutputs)
      : directory_(std::move(directory)), names_(std::move(names)), skippedOutputs_(skippedOutputs) {}

  size_t FrameCount() const override { return names_.size(); }
  std::string Stem(size_t index) const override { return StemOfName(names_[index]); }
  std::string Folder() const override { return directory_; }
  std::string Describe(size_t index) const override { return "frame " + directory_ + "/" + names_[index]; }
  ImageRef Load(size_t index, std::string& reason) override {
    return LoadFrame(directory_ + "/" + names_[index], reason);
  }
  const std::string& Damage() const override { return damage_; }
  size_t SkippedOutputs() const override { return skippedOutputs_; }

 private:
  std::string directory_;
  std::vector<std::string> names_;
  size_t skippedOutputs_;
  std::string damage_;  // a directory is never damaged as a whole
};

// A video read forward with FFmpeg, one frame at a time.
class VideoFrames : public FrameSource {
 public:
  VideoFrames(std::string path, size_t frameCount, size_t lostFrames, std::string damage, double frameRate)
      : path_(std::move(path)),
        name_(std::filesystem::path(path_).filename().string()),
        frameCount_(frameCount),
        lostFrames_(lostFrames),
        damage_(std::move(damage)),
        frameRate_(frameRate) {}

  size_t FrameCount() const override { return frameCount_; }
  std::string Stem(size_t index) const override { return VideoFrameStem(name_, index); }
  double FrameRate() const override { return frameRate_; }
  std::string Folder() const override {
    const std::string folder = std::filesystem::path(path_).parent_path().string();
    return folder.empty() ? "." : folder;
  }
  std::string Describe(size_t index) const override {
    return "frame " + std::to_string(index) + " of video " + path_;
  }
  ImageRef Load(size_t index, std::string& reason) override {
    if (!capture_) capture_ = opencv_modules::NewVideoCapture();
    if (!capture_->isOpened() || index < next_) {
      capture_->open(path_, cv::CAP_FFMPEG);
      next_ = 0;
      if (!capture_->isOpened()) {
        reason = "cannot be decoded (the video no longer opens)";
        return ImageRef();
      }
    }
    for (; next_ < index; ++next_) {
      if (!capture_->grab()) {
        reason = "cannot be decoded";
        return ImageRef();
      }
    }
    cv::Mat decoded;
    ++next_;
    if (!capture_->read(decoded) || decoded.empty()) {
      reason = "cannot be decoded";
      return ImageRef();
    }
    const cv::Mat frame = ToFrameLayout(decoded, reason);
    if (frame.empty()) return ImageRef();
    return ImageRef(frame.data == decoded.data ? frame.clone() : frame);
  }
  const std::string& Damage() const override { return damage_; }
  size_t LostFrames() const override { return lostFrames_; }

 private:
  std::string path_;
  std::string name_;
  size_t frameCount_;
  size_t lostFrames_;
  std::string damage_;
  double frameRate_;
  opencv_modules::VideoCapturePtr capture_;  // opened at the first frame asked for
  size_t next_ = 0;  // index of the frame the capture delivers next
};

std::unique_ptr<FrameSource> OpenVideo(const std::string& path, std::string& error) {
  // Count the frames that decode: a container's own count may be an estimate, and shards must
  // agree on the number of pairs. A declared count above the decodable one means the file is cut.
  const opencv_modules::VideoCapturePtr capture = opencv_modules::NewVideoCapture();
  if (!capture->open(path, cv::CAP_FFMPEG) || !capture->isOpened()) {
    error = path + " is neither a directory nor a video that can be read";
    return nullptr;
  }
  const double declared = capture->get(cv::CAP_PROP_FRAME_COUNT);
  const double frameRate = capture->get(cv::CAP_PROP_FPS);
  size_t decodable = 0;
  while (capture->grab()) ++decodable;
  capture->release();
  std::string damage;
  size_t lost = 0;
  if (decodable == 0) {
    error = "frame 0 of video " + path + " cannot be decoded";
    return nullptr;
  }
  if (declared > static_cast<double>(decodable)) {
    lost = static_cast<size_t>(declared) - decodable;
    damage = "frame " + std::to_string(decodable) + " of video " + path + " cannot be decoded (the video holds " +
             std::to_string(static_cast<long long>(declared)) + " frames)";
  }
  return std::make_unique<VideoFrames>(path, decodable, lost, damage,
                                       std::isfinite(frameRate) && frameRate > 0.0 ? frameRate : 0.0);
}

}  // namespace

std::string VideoFrameStem(const std::string& videoName, size_t index) {
  char digits[32];
  std::snprintf(digits, sizeof digits, "_%06zu", index);
  return StemOfName(videoName) + digits;
}

ImageRef LoadFrame(const std::string& path, std::string& reason) {
  ImageRef frame = LoadImage(path, cv::IMREAD_UNCHANGED);
  if (frame.Empty()) {
    reason = "cannot be read as an image";
    return ImageRef();
  }
  const cv::Mat reduced = ToFrameLayout(frame.Mat(), reason);
  if (reduced.empty()) return ImageRef();
  if (reduced.data == frame.Mat().data) return frame;
  return ImageRef(reduced.clone());
}

std::unique_ptr<FrameSource> OpenFrameSource(const std::string& source, const std::string& imageType,
                                             std::string& error) {
  std::error_code status;
  if (std::filesystem::is_regular_file(source, status)) return OpenVideo(source, error);
  std::optional<std::vector<std::string>> listed = TryListImageFiles(source, imageType);
  if (!listed) {
    error = "cannot open the frame directory " + source + ": " + std::strerror(errno);
    return nullptr;
  }
  // A second run over the same folder would otherwise take the first run's pictures as frames.
  std::vector<std::string> names;
  size_t skipped = 0;
  for (std::string& name : *listed) {
    if (IsOutputName(name)) {
      ++skipped;
    } else {
      names.push_back(std::move(name));
    }
  }
  return std::make_unique<DirectoryFrames>(source, std::move(names), skipped);
}

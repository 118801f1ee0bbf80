// Pieces the peer comparisons share: a timed run of the morvi program on one pair, the bilinear
// sample of a two-channel flow, and the peers whose forward-backward tests they compare with.
#pragma once

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/optflow.hpp>
#include <opencv2/video/tracking.hpp>

struct Timed {
  double seconds = 0.0;
  bool ok = false;
};

// Runs `morvi --seed 1 OPTIONS` on the pair copied into `work` (results there too); wall seconds
// from /usr/bin/time.
inline Timed RunMorvi(const std::string& morvi, const std::filesystem::path& first,
                      const std::filesystem::path& second, const std::filesystem::path& work,
                      const std::string& options) {
  namespace fs = std::filesystem;
  Timed timed;
  fs::remove_all(work);
  fs::create_directories(work / "frames");
  fs::copy_file(first, work / "frames" / "a.png");
  fs::copy_file(second, work / "frames" / "b.png");
  const fs::path timing = work / "time.txt";
  const std::string command = "/usr/bin/time -f '%e' -o '" + timing.string() + "' '" + morvi + "' --seed 1 " +
                              options + " --out '" + work.string() + "' '" + (work / "frames").string() +
                              "' > /dev/null 2>&1";
  const int status = std::system(command.c_str());
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return timed;
  std::ifstream(timing) >> timed.seconds;
  timed.ok = true;
  return timed;
}

// Bilinear sample of a CV_32FC2 flow at (x, y), clamped into the frame.
inline cv::Vec2f SampleFlow(const cv::Mat& flow, float x, float y) {
  x = std::min(std::max(x, 0.0f), static_cast<float>(flow.cols - 1));
  y = std::min(std::max(y, 0.0f), static_cast<float>(flow.rows - 1));
  const int x0 = static_cast<int>(x);
  const int y0 = static_cast<int>(y);
  const int x1 = std::min(x0 + 1, flow.cols - 1);
  const int y1 = std::min(y0 + 1, flow.rows - 1);
  const float ax = x - static_cast<float>(x0);
  const float ay = y - static_cast<float>(y0);
  return (flow.at<cv::Vec2f>(y0, x0) * (1 - ax) + flow.at<cv::Vec2f>(y0, x1) * ax) * (1 - ay) +
         (flow.at<cv::Vec2f>(y1, x0) * (1 - ax) + flow.at<cv::Vec2f>(y1, x1) * ax) * ay;
}

// DeepFlow and DIS (medium preset), by name, each giving the flow of a grey pair.
using PeerMethod = std::function<cv::Mat(const cv::Mat&, const cv::Mat&)>;
inline std::vector<std::pair<std::string, PeerMethod>> ForwardBackwardPeers() {
  return {{"DeepFlow",
           [](const cv::Mat& a, const cv::Mat& b) {
             cv::Mat flow;
             cv::optflow::createOptFlow_DeepFlow()->calc(a, b, flow);
             return flow;
           }},
          {"DIS medium", [](const cv::Mat& a, const cv::Mat& b) {
             cv::Mat flow;
             cv::DISOpticalFlow::create(cv::DISOpticalFlow::PRESET_MEDIUM)->calc(a, b, flow);
             return flow;
           }}};
}

// Occlusion masks on the Sintel pairs with occlusion ground truth: morvi's --occlusions mask
// beside the usual forward-backward masks of DeepFlow and DIS (medium preset), and morvi's time
// per pair with and without the option.
//
//   occlusion_peers [--morvi PATH] [--data DIR] [--work DIR] [--threads N]
//
// The peers' masks: occluded where |w_f + w_b(x + w_f)|^2 > 0.01 (|w_f|^2 + |w_b|^2) + 0.5 or where
// x + w_f leaves the frame, w_b sampled bilinearly, the backward flow from the same method. Scores
// are precision, recall and F1 of the occluded class (morvi-eval --occlusions).

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "image/occlusion_score.h"
#include "peer_runs.h"

namespace fs = std::filesystem;

namespace {

cv::Mat ForwardBackwardMask(const cv::Mat& forward, const cv::Mat& backward) {
  cv::Mat mask(forward.size(), CV_8U);
  for (int y = 0; y < forward.rows; ++y) {
    for (int x = 0; x < forward.cols; ++x) {
      const cv::Vec2f w = forward.at<cv::Vec2f>(y, x);
      const float tx = static_cast<float>(x) + w[0];
      const float ty = static_cast<float>(y) + w[1];
      const bool outside = tx < 0 || ty < 0 || tx > static_cast<float>(forward.cols - 1) ||
                           ty > static_cast<float>(forward.rows - 1);
      const cv::Vec2f b = SampleFlow(backward, tx, ty);
      const cv::Vec2f d = w + b;
      const bool inconsistent = d.dot(d) > 0.01f * (w.dot(w) + b.dot(b)) + 0.5f;
      mask.at<uint8_t>(y, x) = outside || inconsistent ? 255 : 0;
    }
  }
  return mask;
}

void PrintScore(const std::string& pair, const std::string& method, const OcclusionScore& score, double seconds) {
  std::cout << "| " << pair << " | " << method << " | " << std::fixed << std::setprecision(3) << score.precision
            << " | " << score.recall << " | " << score.f1 << " | " << std::setprecision(2) << seconds << " |"
            << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
  std::string morvi = "build-bench/morvi";
  fs::path data = MORVI_DATA_DIR;
  fs::path work = fs::temp_directory_path() / "morvi-occlusion-bench";
  int threads = 2;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--morvi" && i + 1 < argc) morvi = argv[++i];
    else if (arg == "--data" && i + 1 < argc) data = argv[++i];
    else if (arg == "--work" && i + 1 < argc) work = argv[++i];
    else if (arg == "--threads" && i + 1 < argc) threads = std::max(1, std::atoi(argv[++i]));
    else {
      std::cerr << "usage: occlusion_peers [--morvi PATH] [--data DIR] [--work DIR] [--threads N]\n";
      return 2;
    }
  }
  cv::setNumThreads(threads);
  const auto peers = ForwardBackwardPeers();

  std::cout << "Occlusion masks, " << threads << " threads (seconds: morvi per pair with the option; peers: both flows)\n\n"
            << "| pair | method | precision | recall | F1 | s / pair |\n|---|---|---|---|---|---|" << std::endl;
  double f1Sum[3] = {0, 0, 0};
  double plainSeconds = 0.0;
  double occlusionSeconds = 0.0;
  for (const char* name : {"alley_1", "cave_2", "market_5"}) {
    const fs::path dir = data / "sintel" / name;
    const cv::Mat truth = cv::imread((dir / "occlusions" / "frame_0002.png").string(), cv::IMREAD_GRAYSCALE);
    if (truth.empty()) {
      std::cerr << "no occlusion ground truth under " << dir << std::endl;
      return 1;
    }
    const fs::path first = dir / "frame_0002.png";
    const fs::path second = dir / "frame_0003.png";
    const Timed plain = RunMorvi(morvi, first, second, work / "plain", "--threads " + std::to_string(threads));
    const Timed withMask = RunMorvi(morvi, first, second, work / "occlusions", "--threads " + std::to_string(threads) + " --occlusions");
    const cv::Mat mask = cv::imread((work / "occlusions" / "a_morviocc.pgm").string(), cv::IMREAD_GRAYSCALE);
    if (!plain.ok || !withMask.ok || mask.empty()) {
      std::cerr << "morvi failed on " << name << std::endl;
      return 1;
    }
    plainSeconds += plain.seconds;
    occlusionSeconds += withMask.seconds;
    const OcclusionScore morviScore = ScoreOcclusionMask(truth, mask);
    f1Sum[0] += morviScore.f1;
    PrintScore(name, "morvi --occlusions", morviScore, withMask.seconds);

    const cv::Mat a = cv::imread(first.string(), cv::IMREAD_GRAYSCALE);
    const cv::Mat b = cv::imread(second.string(), cv::IMREAD_GRAYSCALE);
    for (size_t p = 0; p < peers.size(); ++p) {
      const auto start = std::chrono::steady_clock::now();
      const cv::Mat forward = peers[p].second(a, b);
      const cv::Mat backward = peers[p].second(b, a);
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      const OcclusionScore score = ScoreOcclusionMask(truth, ForwardBackwardMask(forward, backward));
      f1Sum[p + 1] += score.f1;
      PrintScore(name, peers[p].first + " forward-backward", score, seconds);
    }
  }
  std::cout << std::setprecision(3) << "\nMean F1: morvi " << f1Sum[0] / 3 << ", DeepFlow " << f1Sum[1] / 3
            << ", DIS medium " << f1Sum[2] / 3 << std::endl;
  std::cout << std::setprecision(2) << "morvi seconds per pair: " << plainSeconds / 3 << " without, "
            << occlusionSeconds / 3 << " with --occlusions (x" << occlusionSeconds / plainSeconds << ")" << std::endl;
  fs::remove_all(work);
  return 0;
}

// Confidence maps on the shared Middlebury and Sintel pairs: AUSE (image/sparsification.h, the
// areas morvi-eval --confidence reports) of morvi's --confidence map with both initial flows, beside
// the best peer baseline of the same run: DeepFlow and DIS (medium preset) ranked by their own
// forward-backward distance |w(x) + w_b(x + w(x))|, w_b sampled bilinearly. Then morvi's time per
// pair without and with --confidence, and with --occlusions --confidence together: the fastest of
// --repeat runs of each (default 3), taken in turn, so that a moment's load on the machine does not
// decide a ratio.
//
//   confidence_peers [--morvi PATH] [--data DIR] [--work DIR] [--threads N] [--solver reference|fast]
//                    [--only NAME] [--repeat N]

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cmath>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "image/confidence_file.h"
#include "image/flow_reader.h"
#include "image/sparsification.h"
#include "peer_runs.h"

namespace fs = std::filesystem;

namespace {

// The peers' confidence: minus the forward-backward distance.
cv::Mat ForwardBackwardConfidence(const cv::Mat& forward, const cv::Mat& backward) {
  cv::Mat confidence(forward.size(), CV_32F);
  for (int y = 0; y < forward.rows; ++y) {
    for (int x = 0; x < forward.cols; ++x) {
      const cv::Vec2f w = forward.at<cv::Vec2f>(y, x);
      const cv::Vec2f d = w + SampleFlow(backward, static_cast<float>(x) + w[0], static_cast<float>(y) + w[1]);
      confidence.at<float>(y, x) = -std::sqrt(d.dot(d));
    }
  }
  return confidence;
}

double Ause(const ImageRef& uGt, const ImageRef& vGt, const cv::Mat& flow, const cv::Mat& confidence) {
  std::vector<cv::Mat> planes;
  cv::split(flow, planes);
  SparsificationScore score;
  std::string error;
  if (!ScoreConfidenceMap(uGt, vGt, ImageRef(planes[0]), ImageRef(planes[1]), confidence, score, error)) return NAN;
  return score.ause;
}

}  // namespace

int main(int argc, char** argv) {
  std::string morvi = "build-bench/morvi";
  fs::path data = MORVI_DATA_DIR;
  fs::path work = fs::temp_directory_path() / "morvi-confidence-bench";
  int threads = 2;
  std::string solver = "reference";
  std::string only;
  int repeat = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--morvi" && i + 1 < argc) morvi = argv[++i];
    else if (arg == "--data" && i + 1 < argc) data = argv[++i];
    else if (arg == "--work" && i + 1 < argc) work = argv[++i];
    else if (arg == "--threads" && i + 1 < argc) threads = std::max(1, std::atoi(argv[++i]));
    else if (arg == "--solver" && i + 1 < argc) solver = argv[++i];
    else if (arg == "--only" && i + 1 < argc) only = argv[++i];
    else if (arg == "--repeat" && i + 1 < argc) repeat = std::max(1, std::atoi(argv[++i]));
    else {
      std::cerr << "usage: confidence_peers [--morvi PATH] [--data DIR] [--work DIR] [--threads N]"
                   " [--solver reference|fast] [--only NAME] [--repeat N]\n";
      return 2;
    }
  }
  cv::setNumThreads(threads);
  const auto peers = ForwardBackwardPeers();
  struct PairFiles {
    std::string set, name, first, second, truth;
  };
  std::vector<PairFiles> pairs;
  for (const char* name : {"Dimetrodon", "Grove2", "RubberWhale", "Urban2", "Venus"}) {
    pairs.push_back({"middlebury", name, "frame10.png", "frame11.png", "flow10.flo"});
  }
  for (const char* name : {"alley_1", "cave_2", "market_5"}) {
    pairs.push_back({"sintel", name, "frame_0002.png", "frame_0003.png", "frame_0002.flo"});
  }

  const std::string common = "--threads " + std::to_string(threads) + " --solver " + solver;
  std::cout << "Confidence maps, AUSE (curves divided by the mean EPE; lower is better), --solver " << solver
            << ", " << threads << " threads\n\n"
            << "| pair | morvi pyramid | morvi matches | DeepFlow fb | DIS fb | best peer | morvi / best peer "
               "(pyramid, matches) | s plain | s --confidence | s --occlusions --confidence |\n"
            << "|---|---|---|---|---|---|---|---|---|---|" << std::endl;
  struct Sums {
    double morvi[2] = {0, 0};
    double peer = 0;
    double peers[2] = {0, 0};
    double plain = 0, confidence = 0, both = 0;
    int count = 0;
  } sums[2];
  for (const PairFiles& pair : pairs) {
    if (!only.empty() && only != pair.name) continue;
    const fs::path dir = data / pair.set / pair.name;
    const fs::path first = dir / pair.first;
    const fs::path second = dir / pair.second;
    ImageRef uGt, vGt;
    std::string error;
    if (!ReadFlowFile((dir / pair.truth).string(), uGt, vGt, error)) {
      std::cerr << error << std::endl;
      return 1;
    }
    double morviAuse[2];
    Timed timedConfidence;
    for (int m = 0; m < 2; ++m) {
      const std::string init = m == 0 ? "pyramid" : "matches";
      const Timed timed = RunMorvi(morvi, first, second, work / init, common + " --init " + init + " --confidence");
      cv::Mat flow;
      cv::Mat confidence;
      ImageRef estimate;
      if (!timed.ok || !ReadFlowFile((work / init / "a_morvi.flo").string(), estimate, error) ||
          !ReadConfidenceFile((work / init / "a_morviconf.png").string(), confidence, error)) {
        std::cerr << "morvi failed on " << pair.name << " " << error << std::endl;
        return 1;
      }
      if (m == 0) timedConfidence = timed;
      morviAuse[m] = Ause(uGt, vGt, estimate.Mat(), confidence);
    }
    // keeps the faster of `best` and a new run
    const auto fastest = [&](Timed& best, const std::string& folder, const std::string& options) {
      const Timed timed = RunMorvi(morvi, first, second, work / folder, options);
      if (!timed.ok) {
        std::cerr << "morvi failed on " << pair.name << " with " << options << std::endl;
        std::exit(1);
      }
      if (!best.ok || timed.seconds < best.seconds) best = timed;
    };
    Timed plain;
    Timed both;
    for (int run = 0; run < repeat; ++run) {
      fastest(plain, "plain", common);
      if (run > 0) fastest(timedConfidence, "again", common + " --init pyramid --confidence");
      fastest(both, "both", common + " --occlusions --confidence");
    }
    const cv::Mat a = cv::imread(first.string(), cv::IMREAD_GRAYSCALE);
    const cv::Mat b = cv::imread(second.string(), cv::IMREAD_GRAYSCALE);
    double peerAuse[2];
    for (size_t p = 0; p < peers.size(); ++p) {
      const cv::Mat forward = peers[p].second(a, b);
      const cv::Mat backward = peers[p].second(b, a);
      peerAuse[p] = Ause(uGt, vGt, forward, ForwardBackwardConfidence(forward, backward));
    }
    const double bestPeer = std::min(peerAuse[0], peerAuse[1]);
    Sums& s = sums[pair.set == "sintel" ? 1 : 0];
    s.morvi[0] += morviAuse[0];
    s.morvi[1] += morviAuse[1];
    s.peer += bestPeer;
    s.peers[0] += peerAuse[0];
    s.peers[1] += peerAuse[1];
    s.plain += plain.seconds;
    s.confidence += timedConfidence.seconds;
    s.both += both.seconds;
    ++s.count;
    std::cout << std::fixed << std::setprecision(4) << "| " << pair.name << " | " << morviAuse[0] << " | "
              << morviAuse[1] << " | " << peerAuse[0] << " | " << peerAuse[1] << " | " << bestPeer << " | "
              << std::setprecision(2) << morviAuse[0] / bestPeer << ", " << morviAuse[1] / bestPeer << " | "
              << plain.seconds << " | " << timedConfidence.seconds << " | " << both.seconds << " |" << std::endl;
  }
  std::cout << std::endl;
  for (int set = 0; set < 2; ++set) {
    const Sums& s = sums[set];
    if (s.count == 0) continue;
    const double n = s.count;
    std::cout << std::fixed << std::setprecision(4) << (set == 0 ? "Middlebury" : "Sintel") << " mean AUSE: morvi "
              << "pyramid " << s.morvi[0] / n << ", matches " << s.morvi[1] / n << ", best peer per pair " << s.peer / n
              << " (DeepFlow " << s.peers[0] / n << ", DIS " << s.peers[1] / n << ")"
              << std::setprecision(2) << " (ratios " << s.morvi[0] / s.peer << ", " << s.morvi[1] / s.peer
              << "); seconds per pair " << s.plain / n << " plain, " << s.confidence / n << " --confidence (x"
              << s.confidence / s.plain << "), " << s.both / n << " --occlusions --confidence (x" << s.both / s.plain
              << ")" << std::endl;
  }
  fs::remove_all(work);
  return 0;
}

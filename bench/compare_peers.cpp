// Accuracy and speed of morvi against OpenCV's dense flow methods on the ground-truth pairs.
//
//   compare_peers [--morvi PATH] [--data DIR] [--work DIR] [--only NAME] [--skip-peers] [--threads N]
//
// For every pair it runs the morvi program, with the default and with the matched initial flow
// (--init matches), at one thread and at N threads (default 2; one process
// per run, timed with /usr/bin/time for the peak resident memory) and, in this process, DeepFlow
// with one and with N OpenCV threads, then Dual TV-L1, DIS (medium preset) and Farneback with one;
// every result is written as a .flo file and scored against the ground truth with the same error
// measures morvi-eval prints. The morvi runs must give the same .flo bytes at both thread counts.
// Means are given over the Middlebury and over the Sintel pairs.
// "x DeepFlow" compares with DeepFlow at the same thread count. The table goes to standard output.
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iterator>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iomanip>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/optflow.hpp>
#include <opencv2/video/tracking.hpp>

#include "image/flow_evaluation.h"
#include "image/flow_file.h"
#include "image/flow_reader.h"

namespace fs = std::filesystem;

namespace {

struct Pair {
  std::string name;
  fs::path first, second, truth;
};

struct Score {
  FlowErrorStats stats;
  double seconds = 0.0;
  double peakMb = 0.0;
  bool ok = false;
};

std::vector<Pair> Pairs(const fs::path& data) {
  std::vector<Pair> pairs;
  for (const char* name : {"Dimetrodon", "Grove2", "RubberWhale", "Urban2", "Venus"}) {
    const fs::path dir = data / "middlebury" / name;
    pairs.push_back({name, dir / "frame10.png", dir / "frame11.png", dir / "flow10.flo"});
  }
  for (const char* name : {"alley_1", "cave_2", "market_5"}) {
    const fs::path dir = data / "sintel" / name;
    pairs.push_back({std::string("sintel/") + name, dir / "frame_0002.png", dir / "frame_0003.png",
                     dir / "frame_0002.flo"});
  }
  return pairs;
}

bool ScoreFile(const fs::path& truth, const fs::path& estimate, FlowErrorStats& stats) {
  ImageRef uGt, vGt, u, v;
  std::string error;
  if (!ReadFlowFile(truth.string(), uGt, vGt, error) || !ReadFlowFile(estimate.string(), u, v, error) ||
      !EvaluateFlow(uGt, vGt, u, v, stats, error)) {
    std::cerr << error << std::endl;
    return false;
  }
  return true;
}

bool WriteFlow(const cv::Mat& flow, const fs::path& file) {
  cv::Mat owned = flow.clone();
  return WriteFlowFile(ImageRef(owned), file.string());
}

Score RunMorvi(const std::string& morvi, const Pair& pair, const fs::path& work, int threads,
               const std::string& options = "") {
  Score score;
  const fs::path frames = work / "frames";
  fs::remove_all(frames);
  fs::create_directories(frames);
  fs::copy_file(pair.first, frames / "a.png");
  fs::copy_file(pair.second, frames / "b.png");
  const fs::path timing = work / "time.txt";
  const std::string command = "/usr/bin/time -f '%e %M' -o '" + timing.string() + "' '" + morvi + "' --seed 1 --threads " +
                              std::to_string(threads) + " " + options + " '" +
                              frames.string() + "' .png 8 '" + work.string() + "' > '" +
                              (work / "morvi.log").string() + "' 2>&1";
  const int status = std::system(command.c_str());
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::cerr << "morvi failed on " << pair.name << std::endl;
    return score;
  }
  std::ifstream(timing) >> score.seconds >> score.peakMb;
  score.peakMb /= 1024.0;
  score.ok = ScoreFile(pair.truth, work / "a_morvi.flo", score.stats);
  return score;
}

using PeerMethod = std::function<cv::Mat(const cv::Mat& first, const cv::Mat& second)>;

std::vector<unsigned char> FileBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::pair<std::string, PeerMethod>> Peers() {
  std::vector<std::pair<std::string, PeerMethod>> peers;
  peers.emplace_back("DeepFlow", [](const cv::Mat& a, const cv::Mat& b) {
    cv::Mat flow;
    cv::optflow::createOptFlow_DeepFlow()->calc(a, b, flow);
    return flow;
  });
  peers.emplace_back("DualTVL1", [](const cv::Mat& a, const cv::Mat& b) {
    cv::Mat flow;
    cv::optflow::DualTVL1OpticalFlow::create()->calc(a, b, flow);
    return flow;
  });
  peers.emplace_back("DIS-medium", [](const cv::Mat& a, const cv::Mat& b) {
    cv::Mat flow;
    cv::DISOpticalFlow::create(cv::DISOpticalFlow::PRESET_MEDIUM)->calc(a, b, flow);
    return flow;
  });
  peers.emplace_back("Farneback", [](const cv::Mat& a, const cv::Mat& b) {
    cv::Mat flow;
    cv::calcOpticalFlowFarneback(a, b, flow, 0.5, 3, 15, 3, 5, 1.2, 0);
    return flow;
  });
  return peers;
}

Score RunPeer(const PeerMethod& method, const Pair& pair, const fs::path& out) {
  Score score;
  cv::Mat first = cv::imread(pair.first.string(), cv::IMREAD_GRAYSCALE);
  cv::Mat second = cv::imread(pair.second.string(), cv::IMREAD_GRAYSCALE);
  const auto start = std::chrono::steady_clock::now();
  const cv::Mat flow = method(first, second);
  score.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  score.ok = WriteFlow(flow, out) && ScoreFile(pair.truth, out, score.stats);
  return score;
}

}  // namespace

int main(int argc, char** argv) {
  std::string morvi = "build/morvi";
  fs::path data = MORVI_DATA_DIR;
  fs::path work = fs::temp_directory_path() / "morvi-compare";
  std::string only;
  bool skipPeers = false;
  int threads = 2;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--morvi" && i + 1 < argc) morvi = argv[++i];
    else if (arg == "--data" && i + 1 < argc) data = argv[++i];
    else if (arg == "--work" && i + 1 < argc) work = argv[++i];
    else if (arg == "--only" && i + 1 < argc) only = argv[++i];
    else if (arg == "--skip-peers") skipPeers = true;
    else if (arg == "--threads" && i + 1 < argc) threads = std::max(2, std::atoi(argv[++i]));
    else {
      std::cerr << "usage: compare_peers [--morvi PATH] [--data DIR] [--work DIR] [--only NAME] [--skip-peers] [--threads N]\n";
      return 2;
    }
  }
  morvi = fs::absolute(morvi).string();
  cv::setNumThreads(1);

  const std::string many = " t" + std::to_string(threads);
  const std::string morviMany = "morvi" + many;
  const std::string deepMany = "DeepFlow" + many;
  const std::string matchesMany = "morvi matches" + many;
  std::vector<std::string> methods = {"morvi t1", morviMany, "morvi matches t1", matchesMany};
  if (!skipPeers) {
    methods.push_back("DeepFlow t1");
    methods.push_back(deepMany);
    for (const auto& peer : Peers()) {
      if (peer.first != "DeepFlow") methods.push_back(peer.first);
    }
  }
  std::map<std::string, std::vector<Score>> middlebury;  // per method, for the means
  std::map<std::string, std::vector<Score>> sintel;
  std::cout << "| pair | method | EPE | AAE | R1 % | R3 % | s/pair | x DeepFlow | peak MB |\n"
            << "|---|---|---|---|---|---|---|---|---|\n";
  for (const Pair& pair : Pairs(data)) {
    if (!only.empty() && pair.name.find(only) == std::string::npos) continue;
    if (!fs::exists(pair.truth)) continue;
    const fs::path dir = work / pair.name;
    fs::create_directories(dir / "t1");
    fs::create_directories(dir / "tN");
    fs::create_directories(dir / "m1");
    fs::create_directories(dir / "mN");
    std::map<std::string, Score> scores;
    scores["morvi t1"] = RunMorvi(morvi, pair, dir / "t1", 1);
    scores[morviMany] = RunMorvi(morvi, pair, dir / "tN", threads);
    if (FileBytes(dir / "t1" / "a_morvi.flo") != FileBytes(dir / "tN" / "a_morvi.flo")) {
      std::cerr << "morvi's flow on " << pair.name << " differs between 1 and " << threads << " threads" << std::endl;
      return 1;
    }
    scores["morvi matches t1"] = RunMorvi(morvi, pair, dir / "m1", 1, "--init matches");
    scores[matchesMany] = RunMorvi(morvi, pair, dir / "mN", threads, "--init matches");
    if (FileBytes(dir / "m1" / "a_morvi.flo") != FileBytes(dir / "mN" / "a_morvi.flo")) {
      std::cerr << "morvi --init matches on " << pair.name << " differs between 1 and " << threads << " threads"
                << std::endl;
      return 1;
    }
    if (!skipPeers) {
      for (const auto& [name, method] : Peers()) {
        cv::setNumThreads(1);
        const std::string key = name == "DeepFlow" ? "DeepFlow t1" : name;
        scores[key] = RunPeer(method, pair, dir / (name + ".flo"));
        if (name == "DeepFlow") {
          cv::setNumThreads(threads);
          scores[deepMany] = RunPeer(method, pair, dir / (name + "-tN.flo"));
          cv::setNumThreads(1);
        }
      }
    }
    for (const std::string& name : methods) {
      const Score& s = scores[name];
      std::cout << "| " << pair.name << " | " << name << " | ";
      if (!s.ok) {
        std::cout << "failed | | | | | | |\n";
        continue;
      }
      std::cout << std::fixed << std::setprecision(3) << s.stats.epe << " | " << std::setprecision(2)
                << s.stats.aae << " | " << s.stats.r1 << " | " << s.stats.r3 << " | " << s.seconds << " | ";
      // against DeepFlow at the same thread count
      const bool manyThreads = name.size() > many.size() && name.compare(name.size() - many.size(), many.size(), many) == 0;
      const double deepSeconds = scores.count(manyThreads ? deepMany : "DeepFlow t1")
                                     ? scores[manyThreads ? deepMany : "DeepFlow t1"].seconds
                                     : 0.0;
      if (deepSeconds > 0.0) std::cout << std::setprecision(1) << s.seconds / deepSeconds;
      std::cout << " | ";
      if (s.peakMb > 0.0) std::cout << std::setprecision(0) << s.peakMb;
      std::cout << " |" << std::endl;
      (pair.name.find('/') == std::string::npos ? middlebury : sintel)[name].push_back(s);
    }
  }
  for (const auto& [title, group] : {std::pair<const char*, const std::map<std::string, std::vector<Score>>*>{
                                         "Middlebury", &middlebury},
                                     {"Sintel", &sintel}}) {
    std::cout << "\nMean over the " << title
              << " pairs:\n\n| method | EPE | AAE | R1 % | s/pair | peak MB |\n|---|---|---|---|---|---|\n";
    for (const std::string& name : methods) {
      if (!group->count(name)) continue;
      const auto& list = group->at(name);
      double epe = 0, aae = 0, r1 = 0, seconds = 0, peak = 0;
      for (const Score& s : list) {
        epe += s.stats.epe;
        aae += s.stats.aae;
        r1 += s.stats.r1;
        seconds += s.seconds;
        peak = std::max(peak, s.peakMb);
      }
      const double n = static_cast<double>(list.size());
      std::cout << "| " << name << " | " << std::fixed << std::setprecision(3) << epe / n << " | "
                << std::setprecision(2) << aae / n << " | " << r1 / n << " | " << seconds / n << " | ";
      if (peak > 0.0) std::cout << std::setprecision(0) << peak;
      std::cout << " |\n";
    }
  }
  return 0;
}

// Accuracy, speed and memory of morvi against OpenCV's dense flow methods on the ground-truth pairs.
//
//   compare_peers [--morvi PATH] [--data DIR] [--work DIR] [--only NAME] [--skip-peers] [--threads N]
//                 [--solver reference|fast]
//
// For every pair it runs the morvi program with each solver (--solver reference and fast, or the
// one given) and each initial flow (--init pyramid, matches and fused), at one thread and at N threads
// (default 2; one process per run, timed with /usr/bin/time for the peak resident memory) and, in
// this process, DeepFlow with one and with N OpenCV threads, then Dual TV-L1, DIS (medium preset)
// and Farneback with one; every result is written as a .flo file and scored against the ground
// truth with the same error measures morvi-eval prints. Each morvi form must give the same .flo
// bytes at both thread counts. Means are given over the Middlebury and over the Sintel pairs;
// "x DeepFlow" compares with DeepFlow at the same thread count.
//
// Then time and peak memory by frame size at N threads: Urban2 as it is (640 x 480) and upscaled
// to 1920 x 1080 (bicubic), morvi with each solver beside DeepFlow, which runs in a process of its
// own here (this program with --deepflow) so that /usr/bin/time measures its memory too. The tables
// go to standard output.
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

#include "driver/run_options.h"
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

// Runs the morvi program on `first`, `second` (copied into `work`, results there too); seconds and
// peak memory from /usr/bin/time. The flow is scored when the pair has ground truth.
Score RunMorvi(const std::string& morvi, const fs::path& first, const fs::path& second, const fs::path& truth,
               const fs::path& work, int threads, const std::string& options) {
  Score score;
  const fs::path frames = work / "frames";
  fs::remove_all(frames);
  fs::create_directories(frames);
  fs::copy_file(first, frames / "a.png");
  fs::copy_file(second, frames / "b.png");
  const fs::path timing = work / "time.txt";
  const std::string command = "/usr/bin/time -f '%e %M' -o '" + timing.string() + "' '" + morvi + "' --seed 1 --threads " +
                              std::to_string(threads) + " " + options + " --out '" + work.string() + "' '" +
                              frames.string() + "' > '" + (work / "morvi.log").string() + "' 2>&1";
  const int status = std::system(command.c_str());
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::cerr << "morvi " << options << " failed on " << first << std::endl;
    return score;
  }
  std::ifstream(timing) >> score.seconds >> score.peakMb;
  score.peakMb /= 1024.0;
  score.ok = truth.empty() ? fs::exists(work / "a_morvi.flo") : ScoreFile(truth, work / "a_morvi.flo", score.stats);
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

// DeepFlow in a process of its own: this program with --deepflow FIRST SECOND THREADS under
// /usr/bin/time, which prints the seconds of the estimate alone. Seconds and peak memory.
Score RunDeepFlowProcess(const std::string& self, const fs::path& first, const fs::path& second, const fs::path& work,
                         int threads) {
  Score score;
  fs::create_directories(work);
  const fs::path timing = work / "time.txt";
  const fs::path seconds = work / "seconds.txt";
  const std::string command = "/usr/bin/time -f '%e %M' -o '" + timing.string() + "' '" + self + "' --deepflow '" +
                              first.string() + "' '" + second.string() + "' " + std::to_string(threads) + " > '" +
                              seconds.string() + "'";
  const int status = std::system(command.c_str());
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::cerr << "DeepFlow failed on " << first << std::endl;
    return score;
  }
  double wall = 0.0;
  std::ifstream(timing) >> wall >> score.peakMb;
  score.peakMb /= 1024.0;
  std::ifstream(seconds) >> score.seconds;
  score.ok = score.seconds > 0.0;
  return score;
}

// The --deepflow mode: prints the seconds DeepFlow takes on the pair (grey, as RunPeer reads it).
int DeepFlowOnly(const std::string& first, const std::string& second, int threads) {
  cv::setNumThreads(threads);
  const cv::Mat a = cv::imread(first, cv::IMREAD_GRAYSCALE);
  const cv::Mat b = cv::imread(second, cv::IMREAD_GRAYSCALE);
  if (a.empty() || b.empty()) return 1;
  const auto start = std::chrono::steady_clock::now();
  cv::Mat flow;
  cv::optflow::createOptFlow_DeepFlow()->calc(a, b, flow);
  std::cout << std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() << std::endl;
  return flow.empty() ? 1 : 0;
}

// A word the program's --solver takes.
bool IsSolverWord(const std::string& word) {
  morvi::Solver solver = morvi::Solver::kReference;
  return ParseSolver(word, solver);
}

// A morvi form: the label in the tables and the options that choose it.
struct MorviForm {
  std::string label;
  std::string options;
};

std::string Key(const std::string& label, int threads) { return label + " t" + std::to_string(threads); }

void PrintRatio(double seconds, double deepSeconds) {
  if (seconds > 0.0 && deepSeconds > 0.0) std::cout << std::fixed << std::setprecision(1) << seconds / deepSeconds;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "--deepflow") return DeepFlowOnly(argv[2], argv[3], std::atoi(argv[4]));
  std::string morvi = "build/morvi";
  fs::path data = MORVI_DATA_DIR;
  fs::path work = fs::temp_directory_path() / "morvi-compare";
  std::string only;
  std::vector<std::string> solvers = {"reference", "fast"};
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
    else if (arg == "--solver" && i + 1 < argc && IsSolverWord(argv[i + 1])) solvers = {argv[++i]};
    else {
      std::cerr << "usage: compare_peers [--morvi PATH] [--data DIR] [--work DIR] [--only NAME] [--skip-peers]"
                   " [--threads N] [--solver reference|fast]\n";
      return 2;
    }
  }
  morvi = fs::absolute(morvi).string();
  const std::string self = fs::canonical("/proc/self/exe").string();
  cv::setNumThreads(1);

  std::vector<MorviForm> forms;
  for (const std::string& solver : solvers) {
    forms.push_back({"morvi " + solver, "--solver " + solver + " --init pyramid"});
    forms.push_back({"morvi " + solver + " matches", "--solver " + solver + " --init matches"});
    forms.push_back({"morvi " + solver + " fused", "--solver " + solver + " --init fused"});
  }
  const std::string deepOne = Key("DeepFlow", 1);
  const std::string deepMany = Key("DeepFlow", threads);
  std::vector<std::string> methods;
  for (const MorviForm& form : forms) {
    methods.push_back(Key(form.label, 1));
    methods.push_back(Key(form.label, threads));
  }
  if (!skipPeers) {
    methods.push_back(deepOne);
    methods.push_back(deepMany);
    for (const auto& peer : Peers()) {
      if (peer.first != "DeepFlow") methods.push_back(peer.first);
    }
  }
  const auto deepFor = [&](const std::string& method) {
    const std::string many = " t" + std::to_string(threads);
    const bool manyThreads =
        method.size() > many.size() && method.compare(method.size() - many.size(), many.size(), many) == 0;
    return manyThreads ? deepMany : deepOne;
  };

  std::map<std::string, std::vector<Score>> middlebury;  // per method, for the means
  std::map<std::string, std::vector<Score>> sintel;
  bool headerPrinted = false;
  for (const Pair& pair : Pairs(data)) {
    if (!only.empty() && pair.name.find(only) == std::string::npos) continue;
    if (!fs::exists(pair.truth)) continue;
    if (!headerPrinted) {
      std::cout << "| pair | method | EPE | AAE | R1 % | R3 % | s/pair | x DeepFlow | peak MB |\n"
                << "|---|---|---|---|---|---|---|---|---|\n";
      headerPrinted = true;
    }
    const fs::path dir = work / pair.name;
    std::map<std::string, Score> scores;
    for (size_t f = 0; f < forms.size(); ++f) {
      const fs::path one = dir / ("f" + std::to_string(f) + "-t1");
      const fs::path many = dir / ("f" + std::to_string(f) + "-tN");
      scores[Key(forms[f].label, 1)] = RunMorvi(morvi, pair.first, pair.second, pair.truth, one, 1, forms[f].options);
      scores[Key(forms[f].label, threads)] =
          RunMorvi(morvi, pair.first, pair.second, pair.truth, many, threads, forms[f].options);
      if (FileBytes(one / "a_morvi.flo") != FileBytes(many / "a_morvi.flo")) {
        std::cerr << "morvi " << forms[f].options << " on " << pair.name << " differs between 1 and " << threads
                  << " threads" << std::endl;
        return 1;
      }
    }
    if (!skipPeers) {
      for (const auto& [name, method] : Peers()) {
        cv::setNumThreads(1);
        const std::string key = name == "DeepFlow" ? deepOne : name;
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
      if (scores.count(deepFor(name))) PrintRatio(s.seconds, scores[deepFor(name)].seconds);
      std::cout << " | ";
      if (s.peakMb > 0.0) std::cout << std::setprecision(0) << s.peakMb;
      std::cout << " |" << std::endl;
      (pair.name.find('/') == std::string::npos ? middlebury : sintel)[name].push_back(s);
    }
  }
  for (const auto& [title, group] : {std::pair<const char*, const std::map<std::string, std::vector<Score>>*>{
                                         "Middlebury", &middlebury},
                                     {"Sintel", &sintel}}) {
    if (group->empty()) continue;
    std::cout << "\nMean over the " << title
              << " pairs:\n\n| method | EPE | AAE | R1 % | s/pair | x DeepFlow | peak MB |\n"
                 "|---|---|---|---|---|---|---|\n";
    std::map<std::string, double> meanSeconds;
    for (const std::string& name : methods) {
      if (!group->count(name)) continue;
      double seconds = 0.0;
      for (const Score& s : group->at(name)) seconds += s.seconds;
      meanSeconds[name] = seconds / static_cast<double>(group->at(name).size());
    }
    for (const std::string& name : methods) {
      if (!group->count(name)) continue;
      const auto& list = group->at(name);
      double epe = 0, aae = 0, r1 = 0, peak = 0;
      for (const Score& s : list) {
        epe += s.stats.epe;
        aae += s.stats.aae;
        r1 += s.stats.r1;
        peak = std::max(peak, s.peakMb);
      }
      const double n = static_cast<double>(list.size());
      std::cout << "| " << name << " | " << std::fixed << std::setprecision(3) << epe / n << " | "
                << std::setprecision(2) << aae / n << " | " << r1 / n << " | " << meanSeconds[name] << " | ";
      if (meanSeconds.count(deepFor(name))) PrintRatio(meanSeconds[name], meanSeconds[deepFor(name)]);
      std::cout << " | ";
      if (peak > 0.0) std::cout << std::setprecision(0) << peak;
      std::cout << " |\n";
    }
  }

  // Time and memory by frame size: Urban2 as it is and upscaled to 1920 x 1080.
  const fs::path urban = data / "middlebury" / "Urban2";
  const fs::path large = work / "urban2-1920x1080";
  struct SizedPair {
    std::string name;
    fs::path first, second;
  };
  std::vector<SizedPair> sized = {{"Urban2 640x480", urban / "frame10.png", urban / "frame11.png"},
                                  {"Urban2 1920x1080", large / "frame10.png", large / "frame11.png"}};
  bool sizeHeaderPrinted = false;
  for (const SizedPair& pair : sized) {
    if (!only.empty() && pair.name.find(only) == std::string::npos) continue;
    if (pair.first.parent_path() == large) {
      fs::create_directories(large);
      for (const char* frame : {"frame10.png", "frame11.png"}) {
        const cv::Mat image = cv::imread((urban / frame).string(), cv::IMREAD_UNCHANGED);
        cv::Mat upscaled;
        if (!image.empty()) cv::resize(image, upscaled, cv::Size(1920, 1080), 0.0, 0.0, cv::INTER_CUBIC);
        if (upscaled.empty() || !cv::imwrite((large / frame).string(), upscaled)) {
          std::cerr << "cannot make the 1920x1080 pair from " << urban << std::endl;
          return 1;
        }
      }
    }
    if (!sizeHeaderPrinted) {
      std::cout << "\nTime and peak memory by frame size, " << threads
                << " threads (one run each):\n\n| pair | method | s/pair | x DeepFlow | peak MB |\n"
                   "|---|---|---|---|---|\n";
      sizeHeaderPrinted = true;
    }
    const fs::path dir = work / "sizes" / pair.name;
    std::vector<std::pair<std::string, Score>> rows;
    for (const std::string& solver : solvers) {
      rows.emplace_back(Key("morvi " + solver, threads),
                        RunMorvi(morvi, pair.first, pair.second, "", dir / solver, threads, "--solver " + solver));
    }
    if (!skipPeers) rows.emplace_back(deepMany, RunDeepFlowProcess(self, pair.first, pair.second, dir / "deep", threads));
    const double deepSeconds = skipPeers ? 0.0 : rows.back().second.seconds;
    for (const auto& [name, score] : rows) {
      std::cout << "| " << pair.name << " | " << name << " | ";
      if (!score.ok) {
        std::cout << "failed | | |\n";
        continue;
      }
      std::cout << std::fixed << std::setprecision(2) << score.seconds << " | ";
      PrintRatio(score.seconds, deepSeconds);
      std::cout << " | " << std::setprecision(0) << score.peakMb << " |" << std::endl;
    }
  }
  return 0;
}

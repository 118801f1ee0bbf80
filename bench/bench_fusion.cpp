// The choices of --init fused on the shared Middlebury and Sintel pairs, scored on the initial flow
// (and with --final on the final flow after the segment motions and the final pass): the pyramid's
// and the matches' flows (wrong repetitions resolved and matches confirmed by their neighbours, as
// the program); their fusion per segment with the matches as the default (the pyramid must cost
// below half: the program), with margins 0.3 and 0.7, and by 15 x 15 windows of the data cost
// instead of segments; the raw matches' flow alone, and the same fusion over the raw matches, over
// those their neighbours confirm (no repetition test), and over the raw matches filtered against
// the pyramid (dropped where they differ by more than 16 pixels from a pyramid flow costing below
// 4: the fused start before the tests); and the best choice per segment that the ground truth
// would make (a bound no rule without it can pass). With the time of each candidate and of the
// fusion.
//   bench_fusion [--data DIR] [--only NAME] [--threads N] [--solver reference|fast] [--final]
// With --final each variant also runs the rest of the estimate (segment motions, final pass) and
// the final flow's EPE follows the initial one.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "driver/run_options.h"
#include "image/flow_evaluation.h"
#include "image/flow_file.h"
#include "image/flow_reader.h"
#include "pipeline/estimate_flow.h"
#include "pipeline/estimate_options.h"
#include "pipeline/fused_initial_flow.h"
#include "pipeline/initial_flow.h"
#include "pipeline/matched_initial_flow.h"
#include "segmentation/segment_image.h"

namespace {


double Epe(const ImageRef& uGt, const ImageRef& vGt, const ImageRef& u, const ImageRef& v) {
  FlowErrorStats stats;
  std::string error;
  return EvaluateFlow(uGt, vGt, u, v, stats, error) ? stats.epe : -1.0;
}

double Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Per-pixel end-point error of a flow against the truth (unknown truth counts 0).
ImageRef ErrorMap(const ImageRef& uGt, const ImageRef& vGt, const ImageRef& u, const ImageRef& v) {
  ImageRef error = CreateFloat(u.Width(), u.Height(), 1);
  for (int y = 0; y < u.Height(); ++y) {
    for (int x = 0; x < u.Width(); ++x) {
      const float du = u.Row<float>(y)[x] - uGt.Row<float>(y)[x];
      const float dv = v.Row<float>(y)[x] - vGt.Row<float>(y)[x];
      const float e = std::sqrt(du * du + dv * dv);
      error.Row<float>(y)[x] = std::isfinite(e) && std::abs(uGt.Row<float>(y)[x]) < 1e9f ? e : 0.0f;
    }
  }
  return error;
}

// Each pixel from the candidate chosen for its label.
void Compose(const ImageRef& labels, const std::vector<int>& chosen, const std::vector<FlowCandidate>& candidates,
             ImageRef& u, ImageRef& v) {
  u = CreateFloat(labels.Width(), labels.Height(), 1);
  v = CreateFloat(labels.Width(), labels.Height(), 1);
  for (int y = 0; y < labels.Height(); ++y) {
    for (int x = 0; x < labels.Width(); ++x) {
      const auto k = static_cast<size_t>(chosen[static_cast<size_t>(labels.Row<int>(y)[x])]);
      u.Row<float>(y)[x] = candidates[k].u.Row<float>(y)[x];
      v.Row<float>(y)[x] = candidates[k].v.Row<float>(y)[x];
    }
  }
}

// Per pixel: the matches where the window's summed cost is below (1 - margin) times the pyramid's.
void ComposeByWindows(const std::vector<ImageRef>& costs, int window, double margin,
                      const std::vector<FlowCandidate>& candidates, ImageRef& u, ImageRef& v) {
  cv::Mat sumP;
  cv::Mat sumM;
  cv::boxFilter(costs[0].Mat(), sumP, CV_32F, cv::Size(window, window), cv::Point(-1, -1), false);
  cv::boxFilter(costs[1].Mat(), sumM, CV_32F, cv::Size(window, window), cv::Point(-1, -1), false);
  u = CreateFloat(sumP.cols, sumP.rows, 1);
  v = CreateFloat(sumP.cols, sumP.rows, 1);
  for (int y = 0; y < sumP.rows; ++y) {
    for (int x = 0; x < sumP.cols; ++x) {
      const size_t k = sumM.at<float>(y, x) < (1.0 - margin) * sumP.at<float>(y, x) ? 1 : 0;
      u.Row<float>(y)[x] = candidates[k].u.Row<float>(y)[x];
      v.Row<float>(y)[x] = candidates[k].v.Row<float>(y)[x];
    }
  }
}

// The matches that do not contradict a pyramid flow which already explains the frames: a match is
// dropped where it differs from the pyramid's vector at its first-frame pixel by more than
// `contradiction` pixels while the pyramid's data cost there is below `explainedCost`.
std::vector<SparseMatch> MatchesThePyramidLeavesOpen(const std::vector<SparseMatch>& matches,
                                                     const FlowCandidate& pyramid, const ImageRef& pyramidCost,
                                                     float contradiction, float explainedCost) {
  std::vector<SparseMatch> kept;
  for (const SparseMatch& match : matches) {
    const int x = std::clamp(cvRound(match.from.x), 0, pyramidCost.Width() - 1);
    const int y = std::clamp(cvRound(match.from.y), 0, pyramidCost.Height() - 1);
    const float du = match.to.x - match.from.x - pyramid.u.Row<float>(y)[x];
    const float dv = match.to.y - match.from.y - pyramid.v.Row<float>(y)[x];
    const bool contradicts = du * du + dv * dv > contradiction * contradiction;
    if (!(contradicts && pyramidCost.Row<float>(y)[x] < explainedCost)) kept.push_back(match);
  }
  return kept;
}

// The rest of the estimate from an initial flow: segment motions, then the final pass, as
// EstimateOneWay runs them; returns the final flow's EPE.
double FinalEpe(const ImageRef& first, const ImageRef& second, const EstimateOptions& options, const ImageRef& uGt,
                const ImageRef& vGt, const ImageRef& initialU, const ImageRef& initialV) {
  const int w = first.Width();
  const int h = first.Height();
  ImageRef labels = CreateInt(w, h, 1);
  SegPatchList segments;
  SegmentImage(CloneByte(first), labels, segments, options.minRegion, options.sigmaS, options.sigmaR,
               options.threads, SegmentationSpeedUp(options));
  ImageRef u;
  ImageRef v;
  RefineInitialFlow(first, second, segments, initialU, initialV, options, nullptr, u, v);
  return Epe(uGt, vGt, u, v);
}

struct PairFiles {
  std::string name;
  std::filesystem::path first, second, truth;
};

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path data = MORVI_DATA_DIR;
  std::string only;
  EstimateOptions options;
  options.seed = 1;
  bool final = false;
  std::filesystem::path cache;  // initial flows read from here when present, else written here
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--final") {
      final = true;
      continue;
    }
    bool ok = i + 1 < argc;
    const std::string value = ok ? argv[++i] : "";
    if (arg == "--data") data = value;
    else if (arg == "--only") only = value;
    else if (arg == "--cache") cache = value;
    else if (arg == "--threads" && ok) options.threads = std::max(1, std::stoi(value));
    else if (arg == "--solver") ok = ok && ParseSolver(value, options.solver);
    else ok = false;
    if (!ok) {
      std::cerr << "usage: bench_fusion [--data DIR] [--only NAME] [--threads N] [--solver reference|fast] [--final] [--cache DIR]\n";
      return 2;
    }
  }
  cv::setNumThreads(1);
  std::vector<PairFiles> pairs;
  for (const char* name : {"Dimetrodon", "Grove2", "RubberWhale", "Urban2", "Venus"}) {
    const std::filesystem::path dir = data / "middlebury" / name;
    pairs.push_back({name, dir / "frame10.png", dir / "frame11.png", dir / "flow10.flo"});
  }
  for (const char* name : {"alley_1", "cave_2", "market_5"}) {
    const std::filesystem::path dir = data / "sintel" / name;
    pairs.push_back({std::string("sintel/") + name, dir / "frame_0002.png", dir / "frame_0003.png",
                     dir / "frame_0002.flo"});
  }

  const std::vector<std::string> columns = {
      "pyramid", "matches", "fused (seg. M m0.5)", "seg. M m0.3", "seg. M m0.7", "window 15 M m0.5",
      "raw matches", "fused raw", "fused neighbour test only", "fused raw kept 16/4", "seg. by truth"};
  std::cout << "| pair |";
  for (const std::string& column : columns) std::cout << " " << column << " |";
  std::cout << " s pyramid | s matches | s fusion |\n|---|";
  for (size_t c = 0; c < columns.size() + 3; ++c) std::cout << "---|";
  std::cout << "\n";

  std::map<std::string, std::vector<double>> middlebury, sintel;
  for (const PairFiles& pair : pairs) {
    if (!only.empty() && pair.name.find(only) == std::string::npos) continue;
    const ImageRef first = LoadImage(pair.first.string(), -1);
    const ImageRef second = LoadImage(pair.second.string(), -1);
    ImageRef uGt, vGt;
    std::string error;
    if (first.Empty() || second.Empty() || !ReadFlowFile(pair.truth.string(), uGt, vGt, error)) {
      std::cerr << pair.name << ": cannot read the pair or its ground truth " << error << std::endl;
      return 1;
    }
    auto start = std::chrono::steady_clock::now();
    FlowCandidate pyramid;
    FlowCandidate matches;
    std::string stem = pair.name;
    std::replace(stem.begin(), stem.end(), '/', '-');
    const std::string pyramidFile = (cache / (stem + "-pyramid.flo")).string();
    const std::string matchesFile = (cache / (stem + "-matches.flo")).string();
    double tPyramid = 0.0;
    double tMatches = 0.0;
    if (cache.empty() || !ReadFlowFile(pyramidFile, pyramid.u, pyramid.v, error) ||
        !ReadFlowFile(matchesFile, matches.u, matches.v, error)) {
      EstimateInitialFlow(first, second, pyramid.u, pyramid.v, options, nullptr);
      tPyramid = Since(start);
      start = std::chrono::steady_clock::now();
      std::string reason;
      if (!EstimateMatchedInitialFlow(first, second, matches.u, matches.v, reason)) matches = pyramid;
      tMatches = Since(start);
      if (!cache.empty()) {
        std::vector<cv::Mat> planes = {pyramid.u.Mat(), pyramid.v.Mat()};
        cv::Mat flow;
        cv::merge(planes, flow);
        WriteFlowFile(ImageRef(flow.clone()), pyramidFile);
        planes = {matches.u.Mat(), matches.v.Mat()};
        cv::merge(planes, flow);
        WriteFlowFile(ImageRef(flow.clone()), matchesFile);
      }
    }
    ImageRef labels;
    SegPatchList segments;
    SegmentImage(CloneByte(first), labels, segments, options.minRegion, options.sigmaS, options.sigmaR,
                 options.threads, SegmentationSpeedUp(options));
    std::vector<FlowCandidate> candidates;
    candidates.push_back(pyramid);
    candidates.push_back(matches);
    std::vector<FlowCandidate> reversed;
    reversed.push_back(matches);
    reversed.push_back(pyramid);
    start = std::chrono::steady_clock::now();
    const FusionFrames frames = PrepareFusionFrames(first, second);
    const std::vector<ImageRef> costs = {FlowDataCost(frames, matches.u, matches.v, options),
                                         FlowDataCost(frames, pyramid.u, pyramid.v, options)};
    FlowCandidate fused;
    FuseInitialFlows(labels, reversed, costs, options.fusionMargin, fused.u, fused.v);
    const double tFusion = Since(start);
    const std::vector<ImageRef> errors = {ErrorMap(uGt, vGt, pyramid.u, pyramid.v),
                                          ErrorMap(uGt, vGt, matches.u, matches.v)};

    std::vector<FlowCandidate> variants = candidates;
    variants.push_back(fused);
    FlowCandidate f;
    for (const double margin : {0.3, 0.7}) {
      FuseInitialFlows(labels, reversed, costs, margin, f.u, f.v);
      variants.push_back(f);
    }
    ComposeByWindows(costs, 15, 0.5, reversed, f.u, f.v);
    variants.push_back(f);
    // The matches' flow from other selections of the matches, fused with the pyramid's as above.
    const std::vector<SparseMatch> found = FindMatches(first, second);
    const std::vector<std::vector<SparseMatch>> selections = {
        found, MatchesTheirNeighboursConfirm(found), MatchesThePyramidLeavesOpen(found, pyramid, costs[1], 16.0f, 4.0f)};
    for (size_t k = 0; k < selections.size(); ++k) {
      FlowCandidate kept;
      std::string reason;
      if (!InterpolateMatches(first, second, selections[k], kept.u, kept.v, reason)) kept = pyramid;
      if (k == 0) variants.push_back(kept);
      const std::vector<FlowCandidate> pairOf = {kept, pyramid};
      const std::vector<ImageRef> pairCosts = {FlowDataCost(frames, kept.u, kept.v, options), costs[1]};
      FuseInitialFlows(labels, pairOf, pairCosts, options.fusionMargin, f.u, f.v);
      variants.push_back(f);
    }
    Compose(labels, ChooseBySegments(errors, labels, 0.0), candidates, f.u, f.v);
    variants.push_back(f);

    std::cout << "| " << pair.name << " |" << std::fixed << std::setprecision(3);
    for (size_t c = 0; c < variants.size(); ++c) {
      const double initial = Epe(uGt, vGt, variants[c].u, variants[c].v);
      std::cout << " " << initial;
      (pair.name.find('/') == std::string::npos ? middlebury : sintel)[columns[c]].push_back(initial);
      if (final) {
        const double end = FinalEpe(first, second, options, uGt, vGt, variants[c].u, variants[c].v);
        std::cout << " / " << end;
        (pair.name.find('/') == std::string::npos ? middlebury : sintel)[columns[c] + " final"].push_back(end);
      }
      std::cout << " |" << std::flush;
    }
    std::cout << std::setprecision(2) << " " << tPyramid << " | " << tMatches << " | " << tFusion << " |"
              << std::endl;
  }
  for (const auto& [title, group] : {std::pair<const char*, std::map<std::string, std::vector<double>>*>{
                                         "Middlebury", &middlebury},
                                     {"Sintel", &sintel}}) {
    if (group->empty()) continue;
    std::cout << "| mean " << title << " |" << std::setprecision(3);
    for (const std::string& column : columns) {
      for (const std::string& key : {column, column + " final"}) {
        if (group->count(key) == 0) continue;
        double sum = 0.0;
        for (double value : (*group)[key]) sum += value;
        std::cout << (key == column ? " " : " / ") << sum / static_cast<double>((*group)[key].size());
      }
      std::cout << " |";
    }
    std::cout << " | | |\n";
  }
  return 0;
}

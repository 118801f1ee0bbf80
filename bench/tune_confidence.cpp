// Chooses the confidence map's parameters by measurement: on the shared Middlebury and Sintel
// pairs, with both initial flows or the one --init names, the forward, backward and initial flows
// of the estimate (cached in the work folder, so a rerun only searches) and the matched start,
// then a coordinate search over the signal weights, the smoothing and the structure tensor's
// parameters that minimises the mean of the Middlebury and the Sintel mean AUSE
// (image/sparsification.h). Prints each signal alone, the search's path, the chosen parameters and
// the program's (ConfidenceParamsFor, one set per initial flow, each chosen by a run with --init).
//
//   tune_confidence [--data DIR] [--work DIR] [--threads N] [--solver reference|fast] [--stride S]
//                   [--peers 0|1] [--log 0|1] [--init pyramid|matches]
//
// --stride S scores every S-th pixel in both directions (2 by default) to keep the search quick;
// the maps themselves are computed at full resolution. --peers 1 (the default) also scores
// DeepFlow's and DIS's forward-backward distances on the same pixels, for scale. --log 1 (the
// default) searches the weights of the signals' logarithms (ConfidenceParams::logarithmic), --log 0
// those of the plain sum.
#include <algorithm>
#include <array>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/optflow.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include "driver/run_options.h"
#include "image/flow_evaluation.h"
#include "image/flow_file.h"
#include "image/flow_reader.h"
#include "image/sparsification.h"
#include "pipeline/confidence_map.h"
#include "pipeline/estimate_flow.h"
#include "pipeline/matched_initial_flow.h"

namespace fs = std::filesystem;

namespace {

const char* const kSignalNames[kSignalCount] = {"forward-backward", "outside",   "residual",    "variation",
                                                "texturelessness",  "revision",  "magnitude", "disagreement", "regional forward-backward",
                                                "matched start"};
// Where the search starts the structure tensor's window and texture scale.
constexpr float kSearchTensorSigma = 2.0f;
constexpr float kSearchTextureScale = 25.0f;
// The size of a signal that typically matters, from which the search starts a weight.
constexpr float kSignalUnits[kSignalCount] = {1.0f, 1.0f, 0.02f, 1.0f, 1.0f, 1.0f, 0.05f, 1.0f, 1.0f, 1.0f};

struct Case {
  std::string name;     // pair and initial flow
  bool sintel = false;  // which mean it counts in
  morvi::InitialFlow init = morvi::InitialFlow::kPyramid;
  ImageRef first, second, u, v, backU, backV, initialU, initialV, matchedU, matchedV, uGt, vGt;
  std::array<cv::Mat, kSignalCount> signals;
};

bool LoadOrEstimate(const fs::path& work, Case& c, const EstimateOptions& options) {
  const fs::path forward = work / (c.name + "_forward.flo");
  const fs::path backward = work / (c.name + "_backward.flo");
  const fs::path initial = work / (c.name + "_initial.flo");
  std::string error;
  if (ReadFlowFile(forward.string(), c.u, c.v, error) && ReadFlowFile(backward.string(), c.backU, c.backV, error) &&
      ReadFlowFile(initial.string(), c.initialU, c.initialV, error)) {
    return true;
  }
  std::cerr << "estimating " << c.name << " ..." << std::endl;
  EstimateOptions withBackward = options;
  withBackward.confidence = true;
  PairFlow flow = EstimatePair(c.first, c.second, withBackward, nullptr);
  c.u = flow.u;
  c.v = flow.v;
  c.backU = flow.backU;
  c.backV = flow.backV;
  c.initialU = flow.initialU;
  c.initialV = flow.initialV;
  const auto write = [&](const fs::path& name, const ImageRef& a, const ImageRef& b) {
    cv::Mat merged;
    cv::merge(std::vector<cv::Mat>{a.Mat(), b.Mat()}, merged);
    return WriteFlowFile(ImageRef(merged), name.string(), error);
  };
  return write(forward, c.u, c.v) && write(backward, c.backU, c.backV) && write(initial, c.initialU, c.initialV);
}

// The subsampled errors of a case, and a function scoring a confidence map on the same pixels.
struct Scorer {
  int stride = 2;
  double Ause(const Case& c, const cv::Mat& confidence) const {
    std::vector<float> errors;
    std::vector<float> confidences;
    for (int y = 0; y < confidence.rows; y += stride) {
      for (int x = 0; x < confidence.cols; x += stride) {
        const float ug = c.uGt.Row<float>(y)[x];
        const float vg = c.vGt.Row<float>(y)[x];
        const float ue = c.u.Row<float>(y)[x];
        const float ve = c.v.Row<float>(y)[x];
        if (IsUnknownFlow(ug, vg)) continue;
        errors.push_back(static_cast<float>(EndpointError(ue, ve, ug, vg)));
        confidences.push_back(confidence.ptr<float>(y)[x]);
      }
    }
    return ScoreSparsification(errors, confidences).ause;
  }
};

struct Objective {
  double middlebury = 0.0;
  double sintel = 0.0;
  double Value() const { return 0.5 * (middlebury + sintel); }
};

Objective Evaluate(std::vector<Case>& cases, const ConfidenceParams& params, const Scorer& scorer,
                   std::vector<double>* perCase = nullptr) {
  Objective objective;
  int middlebury = 0;
  int sintel = 0;
  for (Case& c : cases) {
    const double ause = scorer.Ause(c, CombineConfidenceSignals(c.signals, params));
    if (perCase != nullptr) perCase->push_back(ause);
    (c.sintel ? objective.sintel : objective.middlebury) += ause;
    (c.sintel ? sintel : middlebury) += 1;
  }
  objective.middlebury /= std::max(1, middlebury);
  objective.sintel /= std::max(1, sintel);
  return objective;
}

// One signal again after its parameters changed (the others stay): the texturelessness after the
// structure tensor's, the regional forward-backward distance after its window's.
void RecomputeSignal(std::vector<Case>& cases, ConfidenceParams params, ConfidenceSignal signal) {
  params.computeAll = false;
  params.weights = {};  // no estimate of its own for the signals that need one
  for (Case& c : cases) {
    c.signals[signal] = ComputeConfidenceSignals(c.first, c.second, c.u, c.v, c.backU, c.backV, c.initialU, c.initialV,
                                                 c.matchedU, c.matchedV, params)[signal];
  }
}

// The peers' ranking for scale: DeepFlow's and DIS's (medium preset) forward-backward distance,
// as bench/confidence_peers.cpp scores it.
double PeerAuse(const Case& c, bool deepFlow, const Scorer& scorer) {
  cv::Mat a, b;
  cv::cvtColor(c.first.Mat(), a, cv::COLOR_BGR2GRAY);
  cv::cvtColor(c.second.Mat(), b, cv::COLOR_BGR2GRAY);
  cv::Mat forward, backward;
  if (deepFlow) {
    cv::optflow::createOptFlow_DeepFlow()->calc(a, b, forward);
    cv::optflow::createOptFlow_DeepFlow()->calc(b, a, backward);
  } else {
    cv::DISOpticalFlow::create(cv::DISOpticalFlow::PRESET_MEDIUM)->calc(a, b, forward);
    cv::DISOpticalFlow::create(cv::DISOpticalFlow::PRESET_MEDIUM)->calc(b, a, backward);
  }
  std::vector<cv::Mat> f, w;
  cv::split(forward, f);
  cv::split(backward, w);
  Case peer;
  peer.uGt = c.uGt;
  peer.vGt = c.vGt;
  peer.u = ImageRef(f[0]);
  peer.v = ImageRef(f[1]);
  ConfidenceParams fbOnly;
  fbOnly.weights = {};
  fbOnly.weights[kForwardBackward] = 1.0f;
  fbOnly.smoothingSigma = 0.0f;
  fbOnly.logarithmic = false;
  const ImageRef none(cv::Mat::zeros(a.size(), CV_32F));
  return scorer.Ause(peer, CombineConfidenceSignals(ComputeConfidenceSignals(c.first, c.second, peer.u, peer.v,
                                                                             ImageRef(w[0]), ImageRef(w[1]), none,
                                                                             none, ImageRef(), ImageRef(), fbOnly),
                                                    fbOnly));
}

void PrintParams(const ConfidenceParams& params) {
  std::cout << (params.logarithmic ? "  weights of log(1 + signal):" : "  weights:");
  for (int s = 0; s < kSignalCount; ++s) std::cout << " " << kSignalNames[s] << " " << params.weights[s];
  std::cout << "; smoothing sigma " << params.smoothingSigma << ", region sigma " << params.regionSigma
            << ", tensor sigma " << params.tensorSigma
            << ", texture scale " << params.textureScale << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
  fs::path data = MORVI_DATA_DIR;
  fs::path work = fs::temp_directory_path() / "morvi-confidence-tune";
  EstimateOptions options;
  options.seed = 1;
  options.threads = 2;
  Scorer scorer;
  bool withPeers = true;
  bool logarithmic = true;
  std::optional<morvi::InitialFlow> onlyInit;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    const std::string value = argv[i + 1];
    bool ok = true;
    if (arg == "--data") data = value;
    else if (arg == "--work") work = value;
    else if (arg == "--threads") options.threads = std::max(1, std::stoi(value));
    else if (arg == "--solver") ok = ParseSolver(value, options.solver);
    else if (arg == "--stride") scorer.stride = std::max(1, std::stoi(value));
    else if (arg == "--peers") withPeers = value == "1";
    else if (arg == "--log") logarithmic = value == "1";
    else if (arg == "--init") {
      morvi::InitialFlow init;
      ok = ParseInitialFlow(value, init) && init != morvi::InitialFlow::kFused;
      onlyInit = init;
    }
    else ok = false;
    if (!ok) {
      std::cerr << "usage: tune_confidence [--data DIR] [--work DIR] [--threads N] [--solver reference|fast]"
                   " [--stride S] [--peers 0|1] [--log 0|1] [--init pyramid|matches]\n";
      return 2;
    }
  }
  fs::create_directories(work);
  cv::setNumThreads(1);

  // The cases: every pair with both initial flows.
  struct PairFiles {
    const char* set;
    const char* name;
    const char* first;
    const char* second;
    const char* truth;
  };
  std::vector<PairFiles> pairs;
  for (const char* name : {"Dimetrodon", "Grove2", "RubberWhale", "Urban2", "Venus"}) {
    pairs.push_back({"middlebury", name, "frame10.png", "frame11.png", "flow10.flo"});
  }
  for (const char* name : {"alley_1", "cave_2", "market_5"}) {
    pairs.push_back({"sintel", name, "frame_0002.png", "frame_0003.png", "frame_0002.flo"});
  }
  std::vector<Case> cases;
  ConfidenceParams every;
  every.computeAll = true;
  for (const PairFiles& pair : pairs) {
    for (const morvi::InitialFlow init : {morvi::InitialFlow::kPyramid, morvi::InitialFlow::kMatches}) {
      if (onlyInit && *onlyInit != init) continue;
      Case c;
      c.name = std::string(pair.name) + (init == morvi::InitialFlow::kPyramid ? "_pyramid" : "_matches");
      c.sintel = std::string(pair.set) == "sintel";
      c.init = init;
      const fs::path dir = data / pair.set / pair.name;
      c.first = LoadImage((dir / pair.first).string(), -1);
      c.second = LoadImage((dir / pair.second).string(), -1);
      std::string error;
      if (c.first.Empty() || c.second.Empty() || !ReadFlowFile((dir / pair.truth).string(), c.uGt, c.vGt, error)) {
        std::cerr << dir << ": cannot read the pair or its ground truth " << error << std::endl;
        return 1;
      }
      EstimateOptions caseOptions = options;
      caseOptions.initialFlow = init;
      if (!LoadOrEstimate(work, c, caseOptions)) {
        std::cerr << c.name << ": cannot write the cached flows to " << work << std::endl;
        return 1;
      }
      // the matched start as the program takes it: its own after the pyramid's start, else the
      // initial flow
      MatchedStart matched;
      if (init == morvi::InitialFlow::kPyramid) {
        matched = EstimateMatchedStart(c.first, c.second);
      } else {
        matched.matched = true;
        matched.u = c.initialU;
        matched.v = c.initialV;
      }
      c.matchedU = matched.u;
      c.matchedV = matched.v;
      c.signals = ComputeConfidenceSignals(c.first, c.second, c.u, c.v, c.backU, c.backV, c.initialU, c.initialV,
                                           c.matchedU, c.matchedV, every, 1, matched.quickFlow);
      cases.push_back(std::move(c));
    }
  }

  std::cout << std::fixed << std::setprecision(4);
  std::cout << "Each signal alone (mean AUSE Middlebury / Sintel / objective):" << std::endl;
  for (int s = 0; s < kSignalCount; ++s) {
    ConfidenceParams alone;
    alone.logarithmic = logarithmic;
    alone.weights = {};
    alone.weights[s] = 1.0f;
    alone.smoothingSigma = 0.0f;
    const Objective o = Evaluate(cases, alone, scorer);
    std::cout << "  " << std::setw(18) << kSignalNames[s] << "  " << o.middlebury << " / " << o.sintel << " / "
              << o.Value() << std::endl;
  }

  // Coordinate search from the forward-backward distance alone; its weight stays 1 (only ratios
  // matter to a ranking).
  ConfidenceParams best;
  best.logarithmic = logarithmic;
  best.weights = {};
  best.weights[kForwardBackward] = 1.0f;
  best.smoothingSigma = 0.0f;
  best.tensorSigma = kSearchTensorSigma;
  best.textureScale = kSearchTextureScale;
  RecomputeSignal(cases, best, kTexturelessness);  // the texture signal of the search's tensor, not of the program's
  double bestValue = Evaluate(cases, best, scorer).Value();
  std::cout << "\nSearch, from the forward-backward distance alone: " << bestValue << std::endl;
  for (int round = 0; round < 4; ++round) {
    const double before = bestValue;
    for (int s = 1; s < kSignalCount; ++s) {
      float& weight = best.weights[s];
      std::vector<float> candidates;
      if (weight == 0.0f) {
        for (const float f : {0.1f, 0.3f, 1.0f, 3.0f}) candidates.push_back((logarithmic ? 1.0f : kSignalUnits[s]) * f);
      } else {
        for (const float f : {0.0f, 0.25f, 0.5f, 0.7f, 1.4f, 2.0f, 4.0f}) candidates.push_back(weight * f);
      }
      const float kept = weight;
      float chosen = kept;
      for (const float candidate : candidates) {
        weight = candidate;
        const double value = Evaluate(cases, best, scorer).Value();
        if (value < bestValue - 1e-5) {
          bestValue = value;
          chosen = candidate;
        }
      }
      weight = chosen;
      if (chosen != kept) std::cout << "  " << kSignalNames[s] << " " << chosen << ": " << bestValue << std::endl;
    }
    {
      const float kept = best.smoothingSigma;
      float chosen = kept;
      for (const float candidate : {0.0f, 0.5f, 1.0f, 1.5f, 2.0f, 3.0f, 4.0f, 6.0f, 8.0f}) {
        best.smoothingSigma = candidate;
        const double value = Evaluate(cases, best, scorer).Value();
        if (value < bestValue - 1e-5) {
          bestValue = value;
          chosen = candidate;
        }
      }
      best.smoothingSigma = chosen;
      if (chosen != kept) std::cout << "  smoothing sigma " << chosen << ": " << bestValue << std::endl;
    }
    if (best.weights[kRegionalForwardBackward] > 0.0f) {
      const float kept = best.regionSigma;
      float chosen = kept;
      for (const float f : {0.25f, 0.5f, 2.0f, 4.0f}) {
        best.regionSigma = kept * f;
        RecomputeSignal(cases, best, kRegionalForwardBackward);
        const double value = Evaluate(cases, best, scorer).Value();
        if (value < bestValue - 1e-5) {
          bestValue = value;
          chosen = kept * f;
        }
      }
      best.regionSigma = chosen;
      RecomputeSignal(cases, best, kRegionalForwardBackward);
      if (chosen != kept) std::cout << "  region sigma " << chosen << ": " << bestValue << std::endl;
    }
    if (best.weights[kTexturelessness] > 0.0f) {
      for (float ConfidenceParams::*field : {&ConfidenceParams::tensorSigma, &ConfidenceParams::textureScale}) {
        const float kept = best.*field;
        float chosen = kept;
        for (const float f : {0.25f, 0.5f, 2.0f, 4.0f}) {
          best.*field = kept * f;
          RecomputeSignal(cases, best, kTexturelessness);
          const double value = Evaluate(cases, best, scorer).Value();
          if (value < bestValue - 1e-5) {
            bestValue = value;
            chosen = kept * f;
          }
        }
        best.*field = chosen;
        RecomputeSignal(cases, best, kTexturelessness);
        if (chosen != kept) {
          std::cout << "  " << (field == &ConfidenceParams::tensorSigma ? "tensor sigma " : "texture scale ")
                    << chosen << ": " << bestValue << std::endl;
        }
      }
    }
    if (bestValue > before - 1e-5) break;
  }

  std::cout << "\nChosen:" << std::endl;
  PrintParams(best);
  std::vector<double> perCase;
  const Objective chosen = Evaluate(cases, best, scorer, &perCase);
  for (size_t i = 0; i < cases.size(); ++i) std::cout << "  " << cases[i].name << " AUSE " << perCase[i] << std::endl;
  std::cout << "  mean AUSE Middlebury " << chosen.middlebury << ", Sintel " << chosen.sintel << std::endl;
  if (withPeers) {
    double peerSums[2][2] = {{0, 0}, {0, 0}};
    int counts[2] = {0, 0};
    for (const Case& c : cases) {
      if (c.init != cases.front().init) continue;  // the peers do not depend on our start
      const double deep = PeerAuse(c, true, scorer);
      const double dis = PeerAuse(c, false, scorer);
      std::cout << "  peers on " << c.name.substr(0, c.name.rfind('_')) << ": DeepFlow " << deep << ", DIS " << dis
                << std::endl;
      peerSums[c.sintel][0] += deep;
      peerSums[c.sintel][1] += dis;
      counts[c.sintel] += 1;
    }
    for (int set = 0; set < 2; ++set) {
      std::cout << "  peers' mean AUSE " << (set ? "Sintel" : "Middlebury") << ": DeepFlow "
                << peerSums[set][0] / std::max(1, counts[set]) << ", DIS " << peerSums[set][1] / std::max(1, counts[set])
                << std::endl;
    }
  }
  std::cout << "\nThe program's parameters (ConfidenceParamsFor each initial flow):" << std::endl;
  for (const morvi::InitialFlow init : {morvi::InitialFlow::kPyramid, morvi::InitialFlow::kMatches}) {
    std::vector<Case> ofInit;
    for (const Case& c : cases) {
      if (c.init == init) ofInit.push_back(c);
    }
    if (ofInit.empty()) continue;
    const ConfidenceParams program = ConfidenceParamsFor(init);
    PrintParams(program);
    RecomputeSignal(ofInit, program, kTexturelessness);
    const Objective current = Evaluate(ofInit, program, scorer);
    std::cout << "  from the " << (init == morvi::InitialFlow::kPyramid ? "pyramid" : "matches")
              << ": mean AUSE Middlebury " << current.middlebury << ", Sintel " << current.sintel << std::endl;
  }
  return 0;
}

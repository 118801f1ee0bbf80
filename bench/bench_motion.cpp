// Time of the segment motion fitting on a 640 x 480 flow with about 300 segments, for the three
// inlier scans (early stop, complete count, reference) and for the fast solver's exact hypothesis
// fits, and a check that they write the same flow.
//
//   bench_motion [repetitions]      best wall time of each scan over the repetitions (default 1)

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <random>
#include <vector>

#include "image/image_ref.h"
#include "motion/segment_motion.h"
#include "segmentation/seg_patch.h"

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr int kCells = 300;            // Voronoi cells, denser towards the left: sizes vary widely
constexpr uint32_t kSceneSeed = 7;     // partition and flow
constexpr uint32_t kFitSeed = 42;      // the sampling of the fit
constexpr float kNoise = 0.08f;        // pixels, Gaussian, on every vector
constexpr float kOutlierShare = 0.05f; // vectors replaced by gross errors

struct Scene {
  SegPatchList segments;
  ImageRef u, v, mask;
};

Scene MakeScene() {
  Scene scene;
  std::mt19937 rng(kSceneSeed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);

  // partition: nearest of kCells seeds
  std::vector<cv::Point2f> seeds(kCells);
  for (auto& s : seeds) s = {kWidth * std::pow(unit(rng), 1.6f), kHeight * unit(rng)};
  ImageRef labels = CreateInt(kWidth, kHeight, 1);
  for (int y = 0; y < kHeight; ++y) {
    int32_t* row = labels.Row<int32_t>(y);
    for (int x = 0; x < kWidth; ++x) {
      float best = std::numeric_limits<float>::max();
      for (int i = 0; i < kCells; ++i) {
        const float dx = seeds[i].x - x, dy = seeds[i].y - y;
        const float d = dx * dx + dy * dy;
        if (d < best) {
          best = d;
          row[x] = i;
        }
      }
    }
  }
  BuildSegPatches(labels, scene.segments);

  // smooth non-affine flow, noise and gross outliers
  scene.u = CreateFloat(kWidth, kHeight, 1);
  scene.v = CreateFloat(kWidth, kHeight, 1);
  scene.mask = CreateFloat(kWidth, kHeight, 1);
  scene.mask.Mat().setTo(-2.0f);
  std::normal_distribution<float> noise(0.0f, kNoise);
  std::uniform_real_distribution<float> gross(-15.0f, 15.0f);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      float u = 1.5f + 2.0f * std::sin(x / 90.0f) + 0.004f * y;
      float v = -0.8f + 1.5f * std::cos(y / 70.0f) + 0.002f * x;
      if (unit(rng) < kOutlierShare) {
        u += gross(rng);
        v += gross(rng);
      } else {
        u += noise(rng);
        v += noise(rng);
      }
      scene.u.Row<float>(y)[x] = u;
      scene.v.Row<float>(y)[x] = v;
    }
  }
  return scene;
}

bool SameBytes(const ImageRef& a, const ImageRef& b) {
  return std::memcmp(a.Mat().data, b.Mat().data, a.Mat().total() * a.Mat().elemSize()) == 0;
}

struct Run {
  const char* name;
  InlierScan scan;
  HypothesisFit fit;
  double seconds = std::numeric_limits<double>::max();
  ImageRef u, v;
};

}  // namespace

int main(int argc, char** argv) {
  const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1;
  const Scene scene = MakeScene();

  size_t large = 0, smallest = std::numeric_limits<size_t>::max(), biggest = 0;
  for (const auto& s : scene.segments) {
    large += s->pixels.size() >= 200 ? 1 : 0;
    smallest = std::min(smallest, s->pixels.size());
    biggest = std::max(biggest, s->pixels.size());
  }
  std::printf("%dx%d flow, %zu segments (%zu of >= 200 pixels, sizes %zu..%zu), seed %u, %d repetition(s)\n",
              kWidth, kHeight, scene.segments.size(), large, smallest, biggest, kFitSeed, repetitions);

  std::vector<Run> runs = {{"early stop (default)", InlierScan::kEarlyStop, HypothesisFit::kOptimizer, 0, {}, {}},
                           {"complete count", InlierScan::kComplete, HypothesisFit::kOptimizer, 0, {}, {}},
                           {"reference (sqrt per pixel)", InlierScan::kReference, HypothesisFit::kOptimizer, 0, {}, {}},
                           {"early stop, exact fits (fast)", InlierScan::kEarlyStop, HypothesisFit::kExact, 0, {}, {}}};
  for (Run& run : runs) {
    run.seconds = std::numeric_limits<double>::max();
    for (int r = 0; r < repetitions; ++r) {
      ImageRef u = CloneFloat(scene.u), v = CloneFloat(scene.v);
      const auto start = std::chrono::steady_clock::now();
      FitSegmentMotions(scene.segments, u, v, scene.mask, false, kFitSeed, run.scan, 1, &std::cout, run.fit);
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      std::cout << std::endl;
      run.seconds = std::min(run.seconds, seconds);
      run.u = u;
      run.v = v;
    }
  }

  size_t accepted = 0;
  for (const auto& s : scene.segments) {
    for (const cv::Point& p : s->pixels) {
      if (runs[0].u.Row<float>(p.y)[p.x] != scene.u.Row<float>(p.y)[p.x]) {
        ++accepted;
        break;
      }
    }
  }
  std::printf("accepted segments: %zu\n", accepted);
  bool identical = true;
  for (const Run& run : runs) {
    const bool same = SameBytes(run.u, runs[2].u) && SameBytes(run.v, runs[2].v);
    identical = identical && same;
    std::printf("%-28s %8.3f s   %s\n", run.name, run.seconds, same ? "identical to reference" : "DIFFERS from reference");
  }
  std::printf("speed-up of early stop over complete count: %.2fx, over reference: %.2fx; of exact fits: %.2fx\n",
              runs[1].seconds / runs[0].seconds, runs[2].seconds / runs[0].seconds, runs[0].seconds / runs[3].seconds);
  return identical ? 0 : 1;
}

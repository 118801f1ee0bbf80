// Region steps of the mean-shift processor: connection of equal filtered colours, region adjacency,
// the union-find merges of the transitive closure and of the pruning, and their driver FuseRegions.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>

#include "segmentation/ms_image_processor.h"

namespace {

// Lightness above which lightness differences count twice (squared distance times 4).
constexpr float kHeavyLightness = 80.0f;
constexpr float kHeavyFactor = 4.0f;
// Regions merge in the transitive closure when their squared normalised distance is below this,
// that is when their colours are closer than half the range bandwidth.
constexpr float kClosureWindow = 0.25f;
// Further transitive-closure runs after the first one, at most.
constexpr int kMaxClosureRepetitions = 10;

int64_t PairKey(int a, int b) { return (static_cast<int64_t>(a) << 32) | static_cast<uint32_t>(b); }

}  // namespace

void msImageProcessor::ConnectRegions() {
  std::fill(labels_.begin(), labels_.end(), -1);
  std::fill(pointCounts_.begin(), pointCounts_.end(), 0);
  int label = -1;
  for (int i = 0; i < L_; ++i) {
    if (labels_[i] >= 0) continue;
    labels_[i] = ++label;
    for (int t = 0; t < N_; ++t)
      modes_[static_cast<size_t>(label) * N_ + t] = rangeData_[static_cast<size_t>(i) * N_ + t];
    Fill(i, label);
  }
  regionCount_ = label + 1;
}

// Depth-first flood fill from seed. A neighbour joins when each of its colour components lies within
// the colour threshold of the pixel it is reached from; neighbours are the eight pixels around in the
// image plane (a pixel at a row end has none in the next or previous row's other end).
void msImageProcessor::Fill(int seed, int label) {
  int index = 0;  // top of the work stack
  workStack_[0] = seed;
  ++pointCounts_[label];
  int a = seed;
  while (true) {
    bool joined = false;
    const int ax = a % width_;
    const int ay = a / width_;
    const float* colourA = &rangeData_[static_cast<size_t>(a) * N_];
    for (int k = 0; k < 8; ++k) {
      const int nx = ax + neighbourDx_[k];
      const int ny = ay + neighbourDy_[k];
      if (nx < 0 || nx >= width_ || ny < 0 || ny >= height_) continue;
      const int d = ny * width_ + nx;
      if (labels_[d] >= 0) continue;
      const float* colourD = &rangeData_[static_cast<size_t>(d) * N_];
      bool similar = true;
      for (int t = 0; t < N_ && similar; ++t) similar = std::abs(colourA[t] - colourD[t]) < colourThreshold_;
      if (!similar) continue;
      labels_[d] = label;
      ++pointCounts_[label];
      workStack_[++index] = d;
      joined = true;
    }
    if (joined) {
      a = workStack_[index];
    } else if (index > 1) {
      // the top entry is done; the one below it has unvisited neighbours possibly
      a = workStack_[--index];
    } else {
      break;
    }
  }
}

void msImageProcessor::BuildAdjacency() {
  try {
    // every touching pair in both directions; runs along an edge repeat a pair, so skip repeats
    pairScratch_.clear();
    int64_t lastRight = -1;
    int64_t lastBelow = -1;
    auto insert = [this](int a, int b, int64_t& last) {
      const int64_t key = PairKey(a, b);
      if (key == last) return;
      last = key;
      pairScratch_.push_back(key);
      pairScratch_.push_back(PairKey(b, a));
    };
    for (int y = 0; y < height_; ++y) {
      const int* row = &labels_[static_cast<size_t>(y) * width_];
      const int* below = y + 1 < height_ ? row + width_ : nullptr;
      for (int x = 0; x < width_; ++x) {
        const int a = row[x];
        if (x + 1 < width_ && a != row[x + 1]) insert(a, row[x + 1], lastRight);
        if (below != nullptr && a != below[x]) insert(a, below[x], lastBelow);
      }
    }
    // heads: every region its own parent, no edge data
    parent_.resize(static_cast<size_t>(regionCount_));
    for (int r = 0; r < regionCount_; ++r) parent_[r] = r;
    headEdgeStrength_.assign(static_cast<size_t>(regionCount_), 0.0f);
    headEdgePixelCount_.assign(static_cast<size_t>(regionCount_), 0);

    // each region's neighbours together (a counting sort on the region), then in increasing label
    // order without repeats: the order of the sorted, unique pair keys, without sorting them all
    std::vector<int> listStart(static_cast<size_t>(regionCount_) + 1, 0);
    for (const int64_t key : pairScratch_) ++listStart[static_cast<size_t>(key >> 32) + 1];
    for (int r = 0; r < regionCount_; ++r) listStart[r + 1] += listStart[r];
    std::vector<int> neighbours(pairScratch_.size());
    std::vector<int> next(listStart.begin(), listStart.end() - 1);
    for (const int64_t key : pairScratch_) {
      neighbours[static_cast<size_t>(next[static_cast<size_t>(key >> 32)]++)] = static_cast<int>(key & 0xffffffff);
    }
    adjacencyStart_.assign(static_cast<size_t>(regionCount_) + 1, 0);
    adjacency_.clear();
    adjacency_.reserve(neighbours.size());
    for (int r = 0; r < regionCount_; ++r) {
      const auto begin = neighbours.begin() + listStart[r];
      const auto end = neighbours.begin() + listStart[r + 1];
      std::sort(begin, end);
      const auto last = std::unique(begin, end);
      for (auto b = begin; b != last; ++b) adjacency_.push_back(AdjacencyEntry{*b, 0.0f, 0});
      adjacencyStart_[r + 1] = static_cast<int>(adjacency_.size());
    }
  } catch (const std::bad_alloc&) {
    FreeAdjacency();
    ErrorHandler("msImageProcessor", "Allocate", "Not enough memory.");
  }
}

void msImageProcessor::FreeAdjacency() {
  parent_ = {};
  headEdgeStrength_ = {};
  headEdgePixelCount_ = {};
  adjacencyStart_ = {};
  adjacency_ = {};
  pairScratch_ = {};
}

int msImageProcessor::FindRoot(int region) {
  // path halving changes the shape of the forest but never which label is a set's root
  while (parent_[region] != region) {
    parent_[region] = parent_[parent_[region]];
    region = parent_[region];
  }
  return region;
}

void msImageProcessor::Unite(int j, int k) {
  const int rootJ = FindRoot(j);
  const int rootK = FindRoot(k);
  // the smaller label is the root, so a merged region keeps the label of its first pixel
  if (rootJ < rootK) {
    parent_[rootK] = rootJ;
  } else {
    parent_[rootJ] = rootK;
  }
}

void msImageProcessor::RelabelRegions() {
  for (int r = 0; r < regionCount_; ++r) parent_[r] = FindRoot(r);

  // pixel-weighted mean colour and total size of every root's set
  std::vector<float> sumModes(static_cast<size_t>(regionCount_) * N_, 0.0f);
  std::vector<int> sumCounts(static_cast<size_t>(regionCount_), 0);
  for (int r = 0; r < regionCount_; ++r) {
    const int root = parent_[r];
    sumCounts[root] += pointCounts_[r];
    for (int t = 0; t < N_; ++t) {
      sumModes[static_cast<size_t>(root) * N_ + t] +=
          pointCounts_[r] * modes_[static_cast<size_t>(r) * N_ + t];
    }
  }

  // new labels in the order the regions reach their roots
  std::vector<int> newLabel(static_cast<size_t>(regionCount_), -1);
  int next = 0;
  for (int r = 0; r < regionCount_; ++r) {
    const int root = parent_[r];
    if (newLabel[root] >= 0) continue;
    newLabel[root] = next;
    for (int t = 0; t < N_; ++t) {
      modes_[static_cast<size_t>(next) * N_ + t] =
          sumModes[static_cast<size_t>(root) * N_ + t] / sumCounts[root];
    }
    pointCounts_[next] = sumCounts[root];
    ++next;
  }
  regionCount_ = next;
  for (int i = 0; i < L_; ++i) labels_[i] = newLabel[parent_[labels_[i]]];
}

bool msImageProcessor::InWindow(int j, int k) const {
  const float* modeJ = &modes_[static_cast<size_t>(j) * N_];
  const float* modeK = &modes_[static_cast<size_t>(k) * N_];
  float D = 0.0f;
  for (int t = 0; t < N_; ++t) {
    const float diff = (modeJ[t] - modeK[t]) / h_[1];
    float term = diff * diff;
    if (t == 0 && modeJ[0] > kHeavyLightness) term *= kHeavyFactor;
    D += term;
  }
  return D < kClosureWindow;
}

float msImageProcessor::SqDistance(int j, int k) const {
  const float* modeJ = &modes_[static_cast<size_t>(j) * N_];
  const float* modeK = &modes_[static_cast<size_t>(k) * N_];
  float D = 0.0f;
  for (int t = 0; t < N_; ++t) {
    const float diff = (modeJ[t] - modeK[t]) / h_[1];
    D += diff * diff;
  }
  return D;
}

void msImageProcessor::ApplyTransitiveClosure() {
  BuildAdjacency();
  if (errorLevel_ != 0) return;
  for (int j = 0; j < regionCount_; ++j) {
    for (int e = adjacencyStart_[j]; e < adjacencyStart_[j + 1]; ++e) {
      const AdjacencyEntry& entry = adjacency_[e];
      if (InWindow(j, entry.label) && edgeThreshold_ > entry.edgeStrength) Unite(j, entry.label);
    }
  }
  RelabelRegions();
}

void msImageProcessor::PruneSpuriousRegions(int minRegion) {
  int merges = 0;
  do {
    merges = 0;
    BuildAdjacency();
    if (errorLevel_ != 0) return;
    for (int k = 0; k < regionCount_; ++k) {
      if (pointCounts_[k] >= minRegion) continue;
      // closest neighbour; a tie keeps the lower label met first
      int closest = -1;
      float closestD = 0.0f;
      for (int e = adjacencyStart_[k]; e < adjacencyStart_[k + 1]; ++e) {
        const int n = adjacency_[e].label;
        const float D = SqDistance(k, n);
        if (closest < 0 || D < closestD) {
          closest = n;
          closestD = D;
        }
      }
      if (closest < 0) continue;  // the whole image is this one region
      Unite(k, closest);
      ++merges;
    }
    RelabelRegions();
  } while (merges > 0);
}

void msImageProcessor::FuseRegions(float sigmaR, int minRegion) {
  if (errorLevel_ != 0) return;
  CheckKernel();
  if (errorLevel_ != 0) return;

  h_[1] = sigmaR;
  if (sigmaR <= 0.0f) {
    ErrorHandler("msImageProcessor", "FuseRegions",
                 "The feature radius must be greater than or equal to zero.");
    return;
  }

  if (!outputsAllocated_) {
    // no filter has run: the regions come from the input colours
    Allocate();
    if (errorLevel_ != 0) return;
    rangeData_ = data_;
    ConnectRegions();
  }

  // The closure is repeated while a repetition leaves the region count unchanged, and stops at the
  // first repetition that lowers it.
  ApplyTransitiveClosure();
  if (errorLevel_ != 0) return;
  for (int repetition = 0; repetition < kMaxClosureRepetitions; ++repetition) {
    const int before = regionCount_;
    ApplyTransitiveClosure();
    if (errorLevel_ != 0) return;
    if (regionCount_ < before) break;
  }

  PruneSpuriousRegions(minRegion);
  if (errorLevel_ != 0) return;
  FreeAdjacency();

  for (int i = 0; i < L_; ++i) {
    const float* mode = &modes_[static_cast<size_t>(labels_[i]) * N_];
    for (int t = 0; t < N_; ++t) filtered_[static_cast<size_t>(i) * N_ + t] = mode[t];
  }
}

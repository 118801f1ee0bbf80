// Mean-shift image processor: converts 8-bit pixels to L*u*v*, moves every pixel to the mode of the
// joint spatial-range density (the filter), connects equal filtered colours into regions, merges
// regions closer than half the range bandwidth and absorbs regions below a minimum area.
//
// Usage: SetImageData, FilterImage, FuseRegions, then read GetLabels / RegionCount. Errors are
// recorded as described in mean_shift.h; after an error the outputs must not be used.
#pragma once

#include <cstdint>
#include <vector>

#include "segmentation/mean_shift.h"

enum ImageType : int {
  kGreyImage = 0,
  kColourImage = 1,
};

// L*u*v* of one RGB pixel, computed in double precision and stored as float. Black (where
// X + 15Y + 3Z = 0) maps to (0, 0, 0).
void ConvertRgbToLuv(const uint8_t rgb[3], float luv[3]);

class msImageProcessor : public MeanShift {
 public:
  msImageProcessor();

  // pixels: height*width*N bytes, row-major, RGB order for colour (N = 3), one byte per pixel for
  // grey (N = 1). Discards the outputs of any earlier image. The colour conversion, and later the
  // filter, run in bands of rows on `threads` threads; the values are the same for every count.
  void SetImageData(const uint8_t* pixels, ImageType type, int height, int width, int threads = 1);

  // Mean-shift filter with spatial bandwidth sigmaS (pixels) and range bandwidth sigmaR, then
  // connection of the filtered colours into regions. Speed-up level 1 hands a trajectory's mode to
  // every pixel it passed close to and stops a trajectory at an already assigned pixel of similar
  // colour; level 2 also hands it to the unassigned pixels of similar colour up to two rows and
  // columns around each of its positions (about 3.4 times quicker); level 0 follows every pixel's
  // own trajectory to its end. Other levels filter nothing. The shortcuts act within bands of 64
  // rows, which the threads share.
  void FilterImage(int sigmaS, float sigmaR, int speedUpLevel);

  // Merges touching regions whose colours lie within sigmaR / 2, then absorbs every region of fewer
  // than minRegion pixels into its closest neighbour. Without a preceding filter the regions are
  // built from the input colours.
  void FuseRegions(float sigmaR, int minRegion);

  // Test hook: run the filter's window sums with the plain reference scan. The results are the same
  // bit for bit; only the speed differs.
  void UseReferenceWindowSums(bool on) { referenceSums_ = on; }
  // Test hook: false tests the window one point at a time even where the processor could take four
  // (the default). The same bits either way.
  void UseVectorWindowTest(bool on) { vectorWindowTest_ = on; }

  int RangeDimension() const { return N_; }
  int RegionCount() const { return regionCount_; }
  // Per pixel (L values): the region label. Empty before any filter or fusion has allocated it.
  const std::vector<int>& GetLabels() const { return labels_; }
  // Per pixel (L*N values): the mode colour after filtering, the region colour after fusion.
  const std::vector<float>& GetFilteredData() const { return filtered_; }
  // Per region (regionCount*N values and regionCount values): colour and pixel count.
  const std::vector<float>& GetRegionModes() const { return modes_; }
  const std::vector<int>& GetRegionPointCounts() const { return pointCounts_; }

 private:
  // One entry of a region's adjacency list.
  struct AdjacencyEntry {
    int label;
    float edgeStrength;
    int edgePixelCount;
  };

  // The consistency check, and a kernel of exactly two subspaces: space (dimension 2), then range.
  void CheckKernel();
  void Allocate();
  void FreeOutputs();
  void LFilter(float sigmaS, float sigmaR, int speedUpLevel);
  // Labels 0 .. regionCount - 1 of the regions of equal range-data colour (8-connected in the
  // image plane); a region's mode is the colour of its first pixel.
  void ConnectRegions();
  void Fill(int seed, int label);

  void BuildAdjacency();
  void FreeAdjacency();
  int FindRoot(int region);
  void Unite(int j, int k);
  void RelabelRegions();
  bool InWindow(int j, int k) const;
  float SqDistance(int j, int k) const;
  void ApplyTransitiveClosure();
  void PruneSpuriousRegions(int minRegion);

  // filter output and region data
  std::vector<float> filtered_;   // L*N
  std::vector<float> rangeData_;  // L*N, the colours the regions are connected on
  std::vector<int> labels_;       // L
  std::vector<float> modes_;      // regionCount*N used, room for L regions
  std::vector<int> pointCounts_;  // regionCount used, room for L regions
  std::vector<int> workStack_;    // L pixel indices for the flood fill
  int regionCount_ = 0;
  bool outputsAllocated_ = false;
  bool referenceSums_ = false;
  bool vectorWindowTest_ = true;
  int threads_ = 1;  // for the colour conversion and the filter's bands of rows

  // eight neighbours, in the order right, upper right, up, upper left, left, lower left, down, lower right
  int neighbourDx_[8];
  int neighbourDy_[8];
  float colourThreshold_ = 1.0f;  // connection: every component closer than this
  float edgeThreshold_ = 1.0f;    // transitive closure: merge only across edges weaker than this

  // adjacency lists: parent label (union-find forest) per region, sorted duplicate-free neighbour
  // lists stored one after the other (region r's list at adjacencyStart_[r] .. adjacencyStart_[r+1])
  std::vector<int> parent_;
  std::vector<float> headEdgeStrength_;
  std::vector<int> headEdgePixelCount_;
  std::vector<int> adjacencyStart_;
  std::vector<AdjacencyEntry> adjacency_;
  std::vector<int64_t> pairScratch_;
};

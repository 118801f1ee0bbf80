// General mean-shift state: the input data defined on a pixel lattice, the product kernel over its
// subspaces (space, range), and the error record that every operation reports into.
//
// Errors never throw and never print. An operation that fails writes
// "<class>::<method> Error: <text>" into the error message, sets the error level to 1 and returns;
// every later operation returns at once while the error level is 1.
#pragma once

#include <string>
#include <vector>

// Profile of one kernel subspace.
enum KernelType : int {
  kUniformKernel = 0,
  kGaussianKernel = 1,
  kUserDefinedKernel = 2,
};

// One subspace of the product kernel: its profile, bandwidth and number of coordinates.
struct KernelSubspace {
  int type = kUniformKernel;
  float bandwidth = 1.0f;
  int dimension = 1;
};

class MeanShift {
 public:
  MeanShift() = default;
  virtual ~MeanShift() = default;
  MeanShift(const MeanShift&) = delete;
  MeanShift& operator=(const MeanShift&) = delete;

  // 0 while no error has occurred, 1 after the first error.
  int ErrorLevel() const { return errorLevel_; }
  const std::string& ErrorMessage() const { return errorMessage_; }

  // Defines the input as `height` x `width` points of `N` floats each (point i at i*N ... i*N+N-1,
  // point i on the lattice at x = i mod width, y = i div width). Any earlier input is discarded and
  // the weight map is reset to zero.
  void DefineLInput(const float* x, int height, int width, int N);

  // Replaces the kernel by one with the given subspaces (kp = subspaces.size()).
  void CreateKernel(const std::vector<KernelSubspace>& subspaces);

  bool KernelCreated() const { return kernelCreated_; }
  bool LatticeDefined() const { return latticeDefined_; }
  int SubspaceCount() const { return kp_; }
  const std::vector<float>& Bandwidths() const { return h_; }
  const std::vector<int>& SubspaceDimensions() const { return P_; }
  const std::vector<float>& OffsetFactors() const { return offset_; }
  const std::vector<double>& Increments() const { return increment_; }

 protected:
  // Records an error; see the header note for the message layout.
  void ErrorHandler(const char* className, const char* methodName, const char* message);

  // Copies the L*N input floats.
  void InitializeInput(const float* x);
  // Fails when no kernel exists, when no lattice is defined (usingLattice), or when the kernel's
  // subspace dimensions do not add up to P.
  void classConsistencyCheck(int P, bool usingLattice);
  // Offset factor and increment of every subspace, by kernel type.
  void generateLookupTable();

  // error state
  int errorLevel_ = 0;
  std::string errorMessage_;

  // lattice and input
  int height_ = 0;
  int width_ = 0;
  int L_ = 0;                     // point count, height * width
  int N_ = 0;                     // range dimension
  std::vector<float> data_;       // L*N input values
  std::vector<float> weightMap_;  // L values; a point weighs 1 - weightMap_[i] in a window sum

  // kernel
  int kp_ = 0;
  std::vector<int> kernelType_;
  std::vector<float> h_;  // bandwidth per subspace
  std::vector<int> P_;    // dimension per subspace
  std::vector<float> offset_;
  std::vector<double> increment_;
  std::vector<std::vector<double>> kernelTable_;  // Gaussian profile samples, per subspace

  bool kernelCreated_ = false;
  bool latticeDefined_ = false;
};

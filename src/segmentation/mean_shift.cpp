#include "segmentation/mean_shift.h"

#include <cmath>
#include <string>
#include <new>

namespace {

// The uniform profile is flat over the unit ball: no table, unit offset and increment.
constexpr float kUniformOffset = 1.0f;
constexpr double kUniformIncrement = 1.0;
// The Gaussian profile exp(-u/2) is sampled at kGaussianSamples points over u in [0, kGaussianOffset];
// beyond that the weight is below 1.5 % and treated as zero.
constexpr int kGaussianSamples = 17;
constexpr float kGaussianOffset = 8.41f;

}  // namespace

void MeanShift::ErrorHandler(const char* className, const char* methodName, const char* message) {
  errorMessage_ = std::string(className) + "::" + methodName + " Error: " + message;
  errorLevel_ = 1;
}

void MeanShift::DefineLInput(const float* x, int height, int width, int N) {
  if (errorLevel_ != 0) return;

  // discard any earlier input
  data_.clear();
  weightMap_.clear();
  latticeDefined_ = false;
  height_ = width_ = L_ = N_ = 0;

  if (height <= 0 || width <= 0) {
    ErrorHandler("MeanShift", "DefineLInput", "Lattice defined using zero or negative height and/or width.");
    return;
  }
  if (N <= 0) {
    ErrorHandler("MeanShift", "DefineInput", "Input defined using zero or negative dimension.");
    return;
  }

  height_ = height;
  width_ = width;
  L_ = height * width;
  N_ = N;
  InitializeInput(x);
  if (errorLevel_ != 0) return;

  try {
    weightMap_.assign(static_cast<size_t>(L_), 0.0f);
  } catch (const std::bad_alloc&) {
    ErrorHandler("MeanShift", "InitializeInput", "Not enough memory.");
    return;
  }
  latticeDefined_ = true;
}

void MeanShift::InitializeInput(const float* x) {
  try {
    data_.assign(x, x + static_cast<size_t>(L_) * N_);
  } catch (const std::bad_alloc&) {
    ErrorHandler("MeanShift", "InitializeInput", "Not enough memory.");
  }
}

void MeanShift::CreateKernel(const std::vector<KernelSubspace>& subspaces) {
  if (errorLevel_ != 0) return;

  // drop any previous kernel
  kernelCreated_ = false;
  kp_ = 0;
  kernelType_.clear();
  h_.clear();
  P_.clear();
  offset_.clear();
  increment_.clear();
  kernelTable_.clear();

  const int kp = static_cast<int>(subspaces.size());
  if (kp <= 0) {
    ErrorHandler("MeanShift", "CreateKernel", "Subspace count (kp) is zero or negative.");
    return;
  }
  for (const KernelSubspace& subspace : subspaces) {
    if (subspace.bandwidth <= 0.0f) {
      ErrorHandler("MeanShift", "CreateKernel", "Negative or zero valued bandwidths are prohibited.");
      return;
    }
    if (subspace.dimension < 1) {
      ErrorHandler("MeanShift", "CreateKernel",
                   "Negative or zero valued subspace dimensions are prohibited.");
      return;
    }
  }

  try {
    kp_ = kp;
    for (const KernelSubspace& subspace : subspaces) {
      kernelType_.push_back(subspace.type);
      h_.push_back(subspace.bandwidth);
      P_.push_back(subspace.dimension);
    }
    offset_.assign(static_cast<size_t>(kp), 0.0f);
    increment_.assign(static_cast<size_t>(kp), 0.0);
    kernelTable_.assign(static_cast<size_t>(kp), {});
  } catch (const std::bad_alloc&) {
    ErrorHandler("MeanShift", "CreateKernel", "Not enough memory available to create kernel.");
    return;
  }

  generateLookupTable();
  if (errorLevel_ != 0) return;
  kernelCreated_ = true;
}

void MeanShift::generateLookupTable() {
  for (int s = 0; s < kp_; ++s) {
    switch (kernelType_[s]) {
      case kUniformKernel:
        offset_[s] = kUniformOffset;
        increment_[s] = kUniformIncrement;
        break;
      case kGaussianKernel: {
        offset_[s] = kGaussianOffset;
        increment_[s] = static_cast<double>(kGaussianOffset) / (kGaussianSamples - 1);
        std::vector<double>& table = kernelTable_[s];
        table.resize(kGaussianSamples);
        for (int n = 0; n < kGaussianSamples; ++n) table[n] = std::exp(-0.5 * n * increment_[s]);
        break;
      }
      case kUserDefinedKernel:
        // No table can be supplied for a user-defined profile, so such a kernel is unusable.
        ErrorHandler("MeanShift", "generateLookupTable",
                     ("User defined kernel for subspace " + std::to_string(s) + " undefined.").c_str());
        return;
      default:
        ErrorHandler("MeanShift", "generateLookupTable", "Unknown kernel type.");
        return;
    }
  }
}

void MeanShift::classConsistencyCheck(int P, bool usingLattice) {
  if (!kernelCreated_) {
    ErrorHandler("MeanShift", "classConsistencyCheck", "Kernel not created.");
    return;
  }
  if (usingLattice && !latticeDefined_) {
    ErrorHandler("MeanShift", "classConsistencyCheck", "Latice not created.");
    return;
  }
  int dimensionSum = 0;
  for (int s = 0; s < kp_; ++s) dimensionSum += P_[s];
  if (dimensionSum != P) {
    ErrorHandler("MeanShift", "classConsitencyCheck",
                 "Kernel dimension does not match defined input data dimension.");
  }
}

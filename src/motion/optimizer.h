// A small, general Levenberg-Marquardt optimizer for cost functions that supply their value,
// gradient and Hessian, with a pluggable termination criterion and an LDL^T solver.
#pragma once

#include <cstddef>
#include <vector>

// Parameter vector of doubles, zero-filled at construction. Copying reallocates only when the
// lengths differ.
class ParamVector {
 public:
  ParamVector() = default;
  explicit ParamVector(int length) : values_(length > 0 ? static_cast<std::size_t>(length) : 0, 0.0) {}

  int Length() const { return static_cast<int>(values_.size()); }
  // Makes the vector `length` long; a new length gives zero-filled storage, the same length keeps
  // the values.
  void Resize(int length);

  double& operator[](int i) { return values_[static_cast<std::size_t>(i)]; }
  double operator[](int i) const { return values_[static_cast<std::size_t>(i)]; }

  ParamVector& operator+=(const ParamVector& other);
  ParamVector operator-() const;

 private:
  std::vector<double> values_;
};

// out = a + b (out is resized to the common length).
void Sum(const ParamVector& a, const ParamVector& b, ParamVector& out);
// out = -in (out is resized to in's length).
void Negate(const ParamVector& in, ParamVector& out);

// Dense row-major matrix reached through row pointers; element (i, j) is m[i][j]. The optimizer
// uses it n x n. A non-positive row or column count leaves it empty.
class SquareMatrix {
 public:
  SquareMatrix() = default;
  SquareMatrix(int rows, int cols) { Resize(rows, cols); }
  SquareMatrix(const SquareMatrix& other);
  SquareMatrix& operator=(const SquareMatrix& other);
  SquareMatrix(SquareMatrix&& other) noexcept;
  SquareMatrix& operator=(SquareMatrix&& other) noexcept;
  ~SquareMatrix() = default;

  // New dimensions give zero-filled storage; the same dimensions keep the elements.
  void Resize(int rows, int cols);
  void SetZero();

  int Rows() const { return rows_; }
  int Cols() const { return cols_; }
  int Size() const { return size_; }

  double* operator[](int i) { return rowPtr_[static_cast<std::size_t>(i)]; }
  const double* operator[](int i) const { return rowPtr_[static_cast<std::size_t>(i)]; }

 private:
  void LinkRows();

  int rows_ = 0;
  int cols_ = 0;
  int size_ = 0;
  std::vector<double> elements_;
  std::vector<double*> rowPtr_;
};

// Cost function of a parameter vector. Evaluations may cache the parameters in the object, so
// none of them is const.
class ZAnyScaleFunction {
 public:
  virtual ~ZAnyScaleFunction() = default;
  virtual double Value(const ParamVector& x) = 0;
  // Fills g, resized to the parameter count.
  virtual void Gradient(const ParamVector& x, ParamVector& g) = 0;
  // Fills h, resized to n x n.
  virtual void Hessian(const ParamVector& x, SquareMatrix& h) = 0;
};

// Decides when the optimizer stops iterating. The optimizer binds it to the costs, parameters and
// negative gradient of the running minimisation; the bindings are cleared when it returns.
class ZOptimizerTerminator {
 public:
  virtual ~ZOptimizerTerminator() = default;
  // True means stop.
  virtual bool Check() = 0;

  void Bind(const double* currentCost, const double* trialCost, const ParamVector* params,
            const ParamVector* negGradient) {
    currentCost_ = currentCost;
    trialCost_ = trialCost;
    params_ = params;
    negGradient_ = negGradient;
  }

 protected:
  const double* currentCost_ = nullptr;
  const double* trialCost_ = nullptr;
  const ParamVector* params_ = nullptr;
  const ParamVector* negGradient_ = nullptr;
};

// Stops as soon as a trial cost differs from the current cost by less than the tolerance, which
// includes a trial that reproduces the current cost exactly.
class ZDefOptimizerTerminator : public ZOptimizerTerminator {
 public:
  static constexpr double kDefaultTolerance = 1e-20;  // below any meaningful change of a squared-pixel cost

  bool Check() override;
  virtual void SetTolerance(double tolerance) { tolerance_ = tolerance; }
  double Tolerance() const { return tolerance_; }

 private:
  double tolerance_ = kDefaultTolerance;
};

// Levenberg-Marquardt with a multiplicative damping of the Hessian's diagonal: (1 + lambda) d.
// A failed solve of the damped system falls back to a diagonally scaled gradient step. After at
// most maxIterations damped iterations one undamped Newton step is tried.
class ZOptimizerLM {
 public:
  static constexpr int kDefaultMaxIterations = 20;
  static constexpr double kDefaultLambda0 = 0.001;  // start close to Gauss-Newton

  ZOptimizerLM() = default;
  virtual ~ZOptimizerLM() = default;
  // The criterion may point into the object itself: no copies.
  ZOptimizerLM(const ZOptimizerLM&) = delete;
  ZOptimizerLM& operator=(const ZOptimizerLM&) = delete;

  // Minimises f from x (start value in, optimum out); cost receives the final cost. Always true.
  bool Minimize(ZAnyScaleFunction& f, ParamVector& x, double& cost);

  // The criterion in use; null until the first minimisation, which installs the embedded default
  // when nothing else was set. Passing null goes back to that rule.
  void SetTerminator(ZOptimizerTerminator* terminator) { terminator_ = terminator; }
  ZOptimizerTerminator* Terminator() const { return terminator_; }
  ZDefOptimizerTerminator& DefaultTerminator() { return defTerminator_; }

  int MaxIterations() const { return maxIterations_; }
  double InitialLambda() const { return lambda0_; }

 private:
  int maxIterations_ = kDefaultMaxIterations;
  double lambda0_ = kDefaultLambda0;
  ZOptimizerTerminator* terminator_ = nullptr;
  ZDefOptimizerTerminator defTerminator_;
};

// Solves A x = b for a symmetric A through A = L D L^T (L unit lower triangular, D diagonal),
// reading A's lower triangle. Returns false when a pivot of D has magnitude at most the machine
// epsilon of doubles; x is then left unchanged. A is not modified.
bool SolveLdlt(const SquareMatrix& A, const ParamVector& b, ParamVector& x);

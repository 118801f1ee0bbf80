#include "motion/optimizer.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

namespace {

// Pivots and diagonal entries at or below the machine epsilon of doubles count as zero.
constexpr double kPivotEpsilon = std::numeric_limits<double>::epsilon();
constexpr double kLambdaGrowth = 10.0;   // damping after a rejected step or a failed solve
constexpr double kLambdaShrink = 0.1;    // damping after an accepted step
constexpr int kStackOrder = 8;           // systems up to this order are factorised without allocation
constexpr int kAffineOrder = 6;          // the affine fits' order, unrolled at compile time

// Fallback step when the damped system cannot be solved: a gradient step scaled by the damped
// diagonal, or by lambda alone where the diagonal vanishes.
void DiagonalStep(const ParamVector& negG, const ParamVector& d, double lambda, ParamVector& s) {
  for (int i = 0; i < negG.Length(); ++i) {
    s[i] = d[i] < kPivotEpsilon ? negG[i] / lambda : negG[i] / ((lambda + 1.0) * d[i]);
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// ParamVector

void ParamVector::Resize(int length) {
  const size_t wanted = length > 0 ? static_cast<size_t>(length) : 0;
  if (wanted != values_.size()) values_.assign(wanted, 0.0);
}

ParamVector& ParamVector::operator+=(const ParamVector& other) {
  for (int i = 0; i < Length(); ++i) (*this)[i] += other[i];
  return *this;
}

ParamVector ParamVector::operator-() const {
  ParamVector out;
  Negate(*this, out);
  return out;
}

void Sum(const ParamVector& a, const ParamVector& b, ParamVector& out) {
  out.Resize(a.Length());
  for (int i = 0; i < a.Length(); ++i) out[i] = a[i] + b[i];
}

void Negate(const ParamVector& in, ParamVector& out) {
  out.Resize(in.Length());
  for (int i = 0; i < in.Length(); ++i) out[i] = -in[i];
}

// ---------------------------------------------------------------------------------------------
// SquareMatrix

SquareMatrix::SquareMatrix(const SquareMatrix& other)
    : rows_(other.rows_), cols_(other.cols_), size_(other.size_), elements_(other.elements_) {
  LinkRows();
}

SquareMatrix& SquareMatrix::operator=(const SquareMatrix& other) {
  if (this != &other) {
    rows_ = other.rows_;
    cols_ = other.cols_;
    size_ = other.size_;
    elements_ = other.elements_;
    LinkRows();
  }
  return *this;
}

SquareMatrix::SquareMatrix(SquareMatrix&& other) noexcept
    : rows_(other.rows_),
      cols_(other.cols_),
      size_(other.size_),
      elements_(std::move(other.elements_)),
      rowPtr_(std::move(other.rowPtr_)) {
  other.rows_ = other.cols_ = other.size_ = 0;
  other.elements_.clear();
  other.rowPtr_.clear();
}

SquareMatrix& SquareMatrix::operator=(SquareMatrix&& other) noexcept {
  if (this != &other) {
    rows_ = other.rows_;
    cols_ = other.cols_;
    size_ = other.size_;
    elements_ = std::move(other.elements_);
    rowPtr_ = std::move(other.rowPtr_);
    other.rows_ = other.cols_ = other.size_ = 0;
    other.elements_.clear();
    other.rowPtr_.clear();
  }
  return *this;
}

void SquareMatrix::Resize(int rows, int cols) {
  if (rows <= 0 || cols <= 0) {
    rows_ = cols_ = size_ = 0;
    elements_.clear();
    rowPtr_.clear();
    return;
  }
  if (rows == rows_ && cols == cols_) return;
  rows_ = rows;
  cols_ = cols;
  size_ = rows * cols;
  elements_.assign(static_cast<size_t>(size_), 0.0);
  LinkRows();
}

void SquareMatrix::SetZero() { std::fill(elements_.begin(), elements_.end(), 0.0); }

void SquareMatrix::LinkRows() {
  rowPtr_.resize(static_cast<size_t>(rows_));
  for (int i = 0; i < rows_; ++i) rowPtr_[static_cast<size_t>(i)] = elements_.data() + static_cast<size_t>(i) * cols_;
}

// ---------------------------------------------------------------------------------------------
// Termination criterion

bool ZDefOptimizerTerminator::Check() { return std::fabs(*currentCost_ - *trialCost_) < tolerance_; }

// ---------------------------------------------------------------------------------------------
// Levenberg-Marquardt

bool ZOptimizerLM::Minimize(ZAnyScaleFunction& f, ParamVector& x, double& cost) {
  const int n = x.Length();
  ParamVector g(n);
  ParamVector negG(n);
  ParamVector s(n);
  ParamVector d(n);
  ParamVector trial(n);
  SquareMatrix H(n, n);

  if (terminator_ == nullptr) terminator_ = &defTerminator_;
  double fc = 0.0;  // cost at x
  double ft = 0.0;  // cost at the trial point x + s
  terminator_->Bind(&fc, &ft, &x, &negG);

  fc = f.Value(x);
  double lambda = lambda0_;
  bool recompute = true;

  for (int iteration = 0; iteration < maxIterations_; ++iteration) {
    if (recompute) {
      f.Gradient(x, g);
      f.Hessian(x, H);
    }

    // damp the diagonal, keeping the undamped values for a rejected step
    Negate(g, negG);
    for (int i = 0; i < n; ++i) {
      d[i] = H[i][i];
      H[i][i] = (1.0 + lambda) * d[i];
    }

    // solve (H + lambda diag H) s = -g
    if (!SolveLdlt(H, negG, s)) {
      lambda *= kLambdaGrowth;
      DiagonalStep(negG, d, lambda, s);
    }

    Sum(x, s, trial);
    ft = f.Value(trial);
    if (terminator_->Check()) break;

    if (ft < fc) {
      lambda *= kLambdaShrink;
      fc = ft;
      x += s;
      recompute = true;
    } else {
      recompute = false;
      lambda *= kLambdaGrowth;
      ft = fc;
      for (int i = 0; i < n; ++i) H[i][i] = d[i];
    }
  }

  // one undamped Newton step from wherever the loop ended
  f.Gradient(x, g);
  f.Hessian(x, H);
  Negate(g, negG);
  if (!SolveLdlt(H, negG, s)) {
    lambda *= kLambdaGrowth;
    for (int i = 0; i < n; ++i) d[i] = H[i][i];
    DiagonalStep(negG, d, lambda, s);
  }
  Sum(x, s, trial);
  ft = f.Value(trial);
  if (ft < fc) {
    fc = ft;
    x += s;
  }

  terminator_->Bind(nullptr, nullptr, nullptr, nullptr);
  cost = fc;
  return true;
}

// ---------------------------------------------------------------------------------------------
// LDL^T solve

namespace {

// The factorisation and the two triangular solves. kOrder > 0 fixes the order at compile time (the
// loops unroll; the arithmetic and its order are the same), kOrder == 0 takes it from n.
// `buffer` holds n * (n + 2) doubles.
template <int kOrder>
bool LdltSolve(const SquareMatrix& A, const ParamVector& b, ParamVector& x, int order, double* buffer) {
  const int n = kOrder > 0 ? kOrder : order;
  double* L = buffer;  // strictly lower part used
  double* D = buffer + static_cast<size_t>(n) * n;
  double* z = D + n;
  auto l = [&](int i, int j) -> double& { return L[static_cast<size_t>(i) * n + j]; };

  // factorise column by column
  for (int m = 0; m < n; ++m) {
    double dm = A[m][m];
    for (int k = 0; k < m; ++k) dm -= l(m, k) * l(m, k) * D[k];
    if (std::fabs(dm) <= kPivotEpsilon) return false;
    D[m] = dm;
    for (int i = m + 1; i < n; ++i) {
      double a = A[i][m];
      for (int k = 0; k < m; ++k) a -= l(i, k) * l(m, k) * D[k];
      l(i, m) = a / dm;
    }
  }

  // L z = b forward, then z / D
  for (int i = 0; i < n; ++i) {
    double zi = b[i];
    for (int k = 0; k < i; ++k) zi -= l(i, k) * z[k];
    z[i] = zi;
  }
  for (int i = 0; i < n; ++i) {
    if (std::fabs(D[i]) <= kPivotEpsilon) return false;
    z[i] /= D[i];
  }

  // L^T x = z backward
  x.Resize(n);
  for (int i = n - 1; i >= 0; --i) {
    double xi = z[i];
    for (int k = i + 1; k < n; ++k) xi -= l(k, i) * x[k];
    x[i] = xi;
  }
  return true;
}

}  // namespace

bool SolveLdlt(const SquareMatrix& A, const ParamVector& b, ParamVector& x) {
  const int n = A.Rows();
  if (A.Cols() != n || b.Length() != n) throw std::invalid_argument("SolveLdlt: A must be n x n and b n long");

  // Small systems (one per optimizer iteration of the affine fits) work on the stack.
  if (n <= kStackOrder) {
    double buffer[kStackOrder * (kStackOrder + 2)];
    if (n == kAffineOrder) return LdltSolve<kAffineOrder>(A, b, x, n, buffer);
    return LdltSolve<0>(A, b, x, n, buffer);
  }
  std::vector<double> buffer(static_cast<size_t>(n) * (n + 2), 0.0);
  return LdltSolve<0>(A, b, x, n, buffer.data());
}

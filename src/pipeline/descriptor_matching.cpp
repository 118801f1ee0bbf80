#include "pipeline/descriptor_matching.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include <opencv2/core/hal/hal.hpp>
#include <opencv2/features2d.hpp>

#include "image/parallel.h"

namespace {

constexpr int kRowGroup = 4;       // rows of `first` per pass of the dot-product kernel
constexpr int kColumnStep = 16;    // columns of `second` per pass (two vectors of eight lanes)
constexpr int kRowBlock = 64;      // rows of `first` whose dot products are formed together, ...
constexpr int kColumnBlock = 256;  // ... a block of columns at a time (128 descriptor floats each: 128 KB)
constexpr double kUnitRoundoff = 0x1p-24;
// The tolerance's factor over the bound of one distance's rounding error (see Tolerance): two
// bounded distances on each side of a comparison take 4, the rest keeps two distances that
// differ apart after the square root.
constexpr double kToleranceFactor = 8.0;

using Lanes8 = float __attribute__((vector_size(32)));

// dots[r][j] = sum_k a[r][k] * bt[k * stride + j] for four rows a[r] and the columns j in
// [jBegin, jEnd) (multiples of kColumnStep) of the transposed second set bt.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
void DotFourRows(const float* const a[kRowGroup], const float* bt, int dims, int stride, int jBegin, int jEnd,
                 float* const dots[kRowGroup]) {
  for (int j = jBegin; j < jEnd; j += kColumnStep) {
    Lanes8 sum[kRowGroup][2] = {};
    for (int k = 0; k < dims; ++k) {
      Lanes8 b0;
      Lanes8 b1;
      std::memcpy(&b0, bt + static_cast<size_t>(k) * stride + j, sizeof(b0));
      std::memcpy(&b1, bt + static_cast<size_t>(k) * stride + j + 8, sizeof(b1));
      for (int r = 0; r < kRowGroup; ++r) {
        const float x = a[r][k];
        sum[r][0] += x * b0;
        sum[r][1] += x * b1;
      }
    }
    for (int r = 0; r < kRowGroup; ++r) {
      std::memcpy(dots[r] + j, &sum[r][0], sizeof(sum[r][0]));
      std::memcpy(dots[r] + j + 8, &sum[r][1], sizeof(sum[r][1]));
    }
  }
}

// The matcher's distance between two descriptors: the root of its own single-precision kernel.
float MatcherDistance(const float* query, const float* train, int dims) {
  return std::sqrt(cv::hal::normL2Sqr_(query, train, dims));
}

std::vector<double> SquaredNorms(const cv::Mat& set) {
  std::vector<double> norms(static_cast<size_t>(set.rows));
  for (int i = 0; i < set.rows; ++i) {
    const float* row = set.ptr<float>(i);
    double sum = 0.0;
    for (int k = 0; k < set.cols; ++k) sum += static_cast<double>(row[k]) * row[k];
    norms[static_cast<size_t>(i)] = sum;
  }
  return norms;
}

// How far a bounded squared distance may lie from the matcher's. With n = dims + 3 and
// gamma = n u / (1 - n u), a float dot product in any order errs by at most gamma |a| |b|, and
// the matcher's float sum of squared differences by gamma |a - b|^2; both are below
// gamma (|a| + |b|)^2. A pair whose bound exceeds the k-th smallest bound by the tolerance is
// farther than k others even in the matcher's own rounding, and stays so after the square root.
double Tolerance(const std::vector<double>& firstNorms, const std::vector<double>& secondNorms, int dims) {
  const double largestFirst = std::sqrt(*std::max_element(firstNorms.begin(), firstNorms.end()));
  const double largestSecond = std::sqrt(*std::max_element(secondNorms.begin(), secondNorms.end()));
  const double n = static_cast<double>(dims) + 3.0;
  const double gamma = n * kUnitRoundoff / (1.0 - n * kUnitRoundoff);
  const double sumOfNorms = largestFirst + largestSecond;
  return kToleranceFactor * gamma * sumOfNorms * sumOfNorms;
}

// Inserts (distance, index) into the k nearest so far, kept nearest first; candidates arrive in
// index order, so a later index never passes an equal distance.
void KeepNearest(int k, float distance, int index, std::vector<std::pair<float, int>>& nearest) {
  if (static_cast<int>(nearest.size()) == k && !(distance < nearest.back().first)) return;
  auto place = nearest.end();
  while (place != nearest.begin() && (place - 1)->first > distance) --place;
  nearest.insert(place, {distance, index});
  if (static_cast<int>(nearest.size()) > k) nearest.pop_back();
}

// The rows of `first` one thread handles, and for every column of `second` the smallest bound it
// met with the rows whose bounds lie within the tolerance of it, in row order.
struct ColumnShortlists {
  std::vector<double> smallest;
  std::vector<std::vector<std::pair<double, int>>> rows;
};

void MatchRowRange(const cv::Mat& first, const cv::Mat& second, const cv::Mat& secondT,
                   const std::vector<double>& firstNorms, const std::vector<double>& secondNorms,
                   double tolerance, int begin, int end, std::vector<std::vector<cv::DMatch>>& forward,
                   ColumnShortlists& columns) {
  const int dims = first.cols;
  const int columnCount = second.rows;
  const int stride = secondT.cols;
  const int k = std::min(2, columnCount);
  columns.smallest.assign(static_cast<size_t>(columnCount), std::numeric_limits<double>::infinity());
  columns.rows.assign(static_cast<size_t>(columnCount), {});
  std::vector<float> dotBuffer(static_cast<size_t>(kRowBlock) * stride);
  std::vector<double> bounds(static_cast<size_t>(columnCount));
  std::vector<std::pair<float, int>> nearest;
  for (int block = begin; block < end; block += kRowBlock) {
    const int blockEnd = std::min(block + kRowBlock, end);
    // the block's dot products, a block of columns at a time so that it stays in the cache
    for (int column = 0; column < stride; column += kColumnBlock) {
      for (int group = block; group < blockEnd; group += kRowGroup) {
        const float* a[kRowGroup];
        float* dots[kRowGroup];
        for (int r = 0; r < kRowGroup; ++r) {
          const int row = std::min(group + r, blockEnd - 1);  // past the end: the last row again
          a[r] = first.ptr<float>(row);
          dots[r] = dotBuffer.data() + static_cast<size_t>(row - block) * stride;
        }
        DotFourRows(a, secondT.ptr<float>(), dims, stride, column, std::min(column + kColumnBlock, stride), dots);
      }
    }
    for (int i = block; i < blockEnd; ++i) {
      const float* dotsOfRow = dotBuffer.data() + static_cast<size_t>(i - block) * stride;
      // bounds of the squared distances, the two smallest, and the columns' shortlists
      double least = std::numeric_limits<double>::infinity();
      double nextLeast = least;
      for (int j = 0; j < columnCount; ++j) {
        const double bound = firstNorms[i] + secondNorms[j] - 2.0 * static_cast<double>(dotsOfRow[j]);
        bounds[j] = bound;
        if (bound < nextLeast) {
          nextLeast = bound < least ? least : bound;
          least = std::min(least, bound);
        }
        double& columnLeast = columns.smallest[j];
        if (bound <= columnLeast + tolerance) {
          std::vector<std::pair<double, int>>& shortlist = columns.rows[j];
          if (bound < columnLeast) {
            columnLeast = bound;
            shortlist.erase(std::remove_if(shortlist.begin(), shortlist.end(),
                                           [&](const std::pair<double, int>& entry) {
                                             return entry.first > bound + tolerance;
                                           }),
                            shortlist.end());
          }
          shortlist.emplace_back(bound, i);
        }
      }
      // the k nearest columns by the matcher's distance among those the bounds leave in play
      const double limit = (k == 2 ? nextLeast : least) + tolerance;
      nearest.clear();
      for (int j = 0; j < columnCount; ++j) {
        if (bounds[j] <= limit) {
          KeepNearest(k, MatcherDistance(first.ptr<float>(i), second.ptr<float>(j), dims), j, nearest);
        }
      }
      std::vector<cv::DMatch>& matches = forward[static_cast<size_t>(i)];
      for (const auto& [distance, j] : nearest) matches.emplace_back(i, j, 0, distance);
    }
  }
}

void BruteForceBothWays(const cv::Mat& first, const cv::Mat& second, std::vector<std::vector<cv::DMatch>>& forward,
                        std::vector<std::vector<cv::DMatch>>& backward) {
  cv::BFMatcher matcher(cv::NORM_L2);
  matcher.knnMatch(first, second, forward, 2);
  matcher.knnMatch(second, first, backward, 1);
}

}  // namespace

void MatchDescriptorsBothWays(const cv::Mat& first, const cv::Mat& second, int threads,
                              std::vector<std::vector<cv::DMatch>>& forward,
                              std::vector<std::vector<cv::DMatch>>& backward) {
  CV_Assert(first.type() == CV_32FC1 && second.type() == CV_32FC1 && first.cols == second.cols &&
            first.cols > 0 && first.rows > 0 && second.rows > 0);
  if (!cv::checkRange(first) || !cv::checkRange(second)) {
    BruteForceBothWays(first, second, forward, backward);
    return;
  }
  const int dims = first.cols;
  const std::vector<double> firstNorms = SquaredNorms(first);
  const std::vector<double> secondNorms = SquaredNorms(second);
  const double tolerance = Tolerance(firstNorms, secondNorms, dims);

  // the second set transposed, its rows padded with zeros to whole kernel steps
  const int stride = (second.rows + kColumnStep - 1) / kColumnStep * kColumnStep;
  cv::Mat secondT = cv::Mat::zeros(dims, stride, CV_32FC1);
  cv::transpose(second, secondT.colRange(0, second.rows));

  // forward matches and column shortlists over contiguous row ranges, one per thread
  const int ranges = std::max(1, std::min(threads, (first.rows + kRowGroup - 1) / kRowGroup));
  forward.assign(static_cast<size_t>(first.rows), {});
  std::vector<ColumnShortlists> shortlists(static_cast<size_t>(ranges));
  ParallelTasks(ranges, ranges, [&](int range) {
    const int begin = static_cast<int>(static_cast<int64_t>(first.rows) * range / ranges);
    const int end = static_cast<int>(static_cast<int64_t>(first.rows) * (range + 1) / ranges);
    MatchRowRange(first, second, secondT, firstNorms, secondNorms, tolerance, begin, end, forward,
                  shortlists[static_cast<size_t>(range)]);
  });

  // backward: each column's nearest row among the shortlisted ones of every range, in row order
  backward.assign(static_cast<size_t>(second.rows), {});
  ParallelFor(second.rows, threads, [&](int columnBegin, int columnEnd) {
    std::vector<std::pair<float, int>> nearest;
    for (int j = columnBegin; j < columnEnd; ++j) {
      double least = std::numeric_limits<double>::infinity();
      for (const ColumnShortlists& part : shortlists) least = std::min(least, part.smallest[j]);
      nearest.clear();
      for (const ColumnShortlists& part : shortlists) {
        for (const auto& [bound, i] : part.rows[j]) {
          if (bound <= least + tolerance) {
            KeepNearest(1, MatcherDistance(second.ptr<float>(j), first.ptr<float>(i), dims), i, nearest);
          }
        }
      }
      backward[static_cast<size_t>(j)].emplace_back(j, nearest.front().second, 0, nearest.front().first);
    }
  });
}

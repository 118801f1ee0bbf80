#include "image/parallel.h"

#include <algorithm>
#include <exception>
#include <thread>
#include <vector>

#include <opencv2/core/utility.hpp>

int DefaultThreadCount() {
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : static_cast<int>(cores);
}

void ParallelFor(int count, int threads, const std::function<void(int, int)>& body, int minPerRange) {
  if (count <= 0) return;
  const int byWork = std::max(1, count / std::max(1, minPerRange));
  const int ranges = std::max(1, std::min({threads, byWork, count}));
  if (ranges == 1) {
    body(0, count);
    return;
  }
  // Range r covers [count * r / ranges, count * (r + 1) / ranges). The ranges run on OpenCV's
  // worker threads, whose number the program sets once; an exception is carried back here.
  auto bound = [&](int r) { return static_cast<int>(static_cast<long long>(count) * r / ranges); };
  std::vector<std::exception_ptr> errors(ranges);
  cv::parallel_for_(
      cv::Range(0, ranges),
      [&](const cv::Range& stripes) {
        for (int r = stripes.start; r < stripes.end; ++r) {
          try {
            body(bound(r), bound(r + 1));
          } catch (...) {
            errors[r] = std::current_exception();
          }
        }
      },
      ranges);
  for (const std::exception_ptr& error : errors) {
    if (error) std::rethrow_exception(error);
  }
}

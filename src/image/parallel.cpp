#include "image/parallel.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>
#include <vector>

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
  // Range r covers [count * r / ranges, count * (r + 1) / ranges). Threads of their own rather
  // than a pool: a pool's idle workers spin for a while after each job and would take the core
  // from the relaxation sweep's threads, which run between these calls.
  auto bound = [&](int r) { return static_cast<int>(static_cast<long long>(count) * r / ranges); };
  std::vector<std::exception_ptr> errors(ranges);
  std::vector<std::thread> workers;
  workers.reserve(ranges - 1);
  for (int r = 1; r < ranges; ++r) {
    workers.emplace_back([&, r] {
      try {
        body(bound(r), bound(r + 1));
      } catch (...) {
        errors[r] = std::current_exception();
      }
    });
  }
  try {
    body(bound(0), bound(1));
  } catch (...) {
    errors[0] = std::current_exception();
  }
  for (std::thread& worker : workers) worker.join();
  for (const std::exception_ptr& error : errors) {
    if (error) std::rethrow_exception(error);
  }
}

void ParallelTasks(int count, int threads, const std::function<void(int)>& task) {
  if (count <= 0) return;
  std::atomic<int> next{0};
  const int workers = std::clamp(threads, 1, count);
  ParallelFor(workers, workers, [&](int, int) {
    for (int i = next.fetch_add(1); i < count; i = next.fetch_add(1)) task(i);
  });
}

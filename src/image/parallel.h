// Splitting independent per-row (or per-item) work over threads.
#pragma once

#include <atomic>
#include <functional>

// Number of threads to use when the user gives none: every core the machine reports (at least 1).
int DefaultThreadCount();

// Threads that other work has handed over so far through `lent` (0 when there is no lender). A
// stage running beside other work counts them to its own as they come; its result must not depend
// on the count.
inline int LentThreads(const std::atomic<int>* lent) {
  return lent != nullptr ? lent->load(std::memory_order_acquire) : 0;
}

// Runs body(begin, end) over [0, count), split into at most `threads` contiguous ranges of at least
// `minPerRange` items, one per thread; the calling thread takes the first range. Every index is
// visited exactly once. The body must write only outputs of its own indices, so the result is the
// same for every thread count. An exception thrown by a range is rethrown here after all ranges end.
void ParallelFor(int count, int threads, const std::function<void(int, int)>& body, int minPerRange = 1);

// Runs task(i) for every i in [0, count) on up to `threads` threads, each taking the next index as
// it comes free (put the longest tasks first). The calling thread takes part. As above, a task must
// write only outputs of its own; an exception is rethrown after all tasks end.
void ParallelTasks(int count, int threads, const std::function<void(int)>& task);

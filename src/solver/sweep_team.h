// Helper threads kept for the relaxation sweeps of one solve. A pipelined sweep needs all its
// threads running at once (each waits on the progress of the others), so it cannot go through a
// task pool; starting threads for every sweep costs more than a sweep of a small level takes.
// The helpers spin briefly between jobs, then sleep until the next one.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class SweepTeam {
 public:
  // A team of `threads` members: the calling thread and threads - 1 helpers (none for 1 or less).
  // With `lentThreads`, the team grows by a helper for every thread lent beyond the `lentCounted`
  // that `threads` already includes, from the first Size() after the lending.
  explicit SweepTeam(int threads, const std::atomic<int>* lentThreads = nullptr, int lentCounted = 0);
  ~SweepTeam();
  SweepTeam(const SweepTeam&) = delete;
  SweepTeam& operator=(const SweepTeam&) = delete;

  // The members a job may use now; called by the thread that calls Run, before it (a job sized
  // by an earlier call leaves the members it does not know idle).
  int Size();
  // Whether lent threads may still make the team larger.
  bool MayGrow() const { return lentThreads_ != nullptr; }

  // Runs job(member) for every member at once, member 0 on the calling thread, and returns when
  // all have finished. The job must not throw.
  void Run(const std::function<void(int)>& job);

 private:
  void HelperLoop(int member, unsigned seen);

  std::vector<std::thread> helpers_;
  std::mutex mutex_;
  std::condition_variable wake_;
  const std::function<void(int)>* job_ = nullptr;
  std::atomic<unsigned> generation_{0};
  std::atomic<int> running_{0};
  bool stop_ = false;
  const std::atomic<int>* lentThreads_;
  int lentCounted_;
};

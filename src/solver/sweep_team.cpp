#include "solver/sweep_team.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "image/parallel.h"

namespace {

// Polls before a helper goes to sleep: consecutive sweeps of a level follow each other within a
// few microseconds, a sleeping thread takes tens of microseconds to wake.
constexpr int kSpinPolls = 20000;

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#else
  std::this_thread::yield();
#endif
}

}  // namespace

SweepTeam::SweepTeam(int threads, const std::atomic<int>* lentThreads, int lentCounted)
    : lentThreads_(lentThreads), lentCounted_(lentCounted) {
  for (int member = 1; member < threads; ++member) helpers_.emplace_back(&SweepTeam::HelperLoop, this, member, 0u);
}

int SweepTeam::Size() {
  // a new helper starts at the current generation, so it takes only the jobs that follow
  for (const int lent = LentThreads(lentThreads_); lentCounted_ < lent; ++lentCounted_) {
    helpers_.emplace_back(&SweepTeam::HelperLoop, this, static_cast<int>(helpers_.size()) + 1,
                          generation_.load(std::memory_order_acquire));
  }
  return static_cast<int>(helpers_.size()) + 1;
}

SweepTeam::~SweepTeam() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    generation_.fetch_add(1, std::memory_order_release);
  }
  wake_.notify_all();
  for (std::thread& helper : helpers_) helper.join();
}

void SweepTeam::Run(const std::function<void(int)>& job) {
  if (helpers_.empty()) {
    job(0);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    job_ = &job;
    running_.store(static_cast<int>(helpers_.size()), std::memory_order_relaxed);
    generation_.fetch_add(1, std::memory_order_release);
  }
  wake_.notify_all();
  job(0);
  for (int polls = 0; running_.load(std::memory_order_acquire) != 0; ++polls) {
    if (polls < kSpinPolls) {
      CpuRelax();
    } else {
      std::this_thread::yield();
    }
  }
}

void SweepTeam::HelperLoop(int member, unsigned seen) {
  for (;;) {
    // wait for a new generation: spin first, then sleep
    unsigned now = generation_.load(std::memory_order_acquire);
    for (int polls = 0; now == seen && polls < kSpinPolls; ++polls) {
      CpuRelax();
      now = generation_.load(std::memory_order_acquire);
    }
    const std::function<void(int)>* job = nullptr;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return generation_.load(std::memory_order_relaxed) != seen; });
      seen = generation_.load(std::memory_order_relaxed);
      if (stop_) return;
      job = job_;
    }
    (*job)(member);
    running_.fetch_sub(1, std::memory_order_acq_rel);
  }
}

#include "solver/sweep_team.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

// Waits until `count` reaches `target`, for at most a few seconds; false on time-out.
bool AwaitCount(const std::atomic<int>& count, int target) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (count.load() < target) {
    if (std::chrono::steady_clock::now() > limit) return false;
    std::this_thread::yield();
  }
  return true;
}

}  // namespace

// A pipelined sweep needs every member running at the same time: each member here waits for all
// the others to arrive, which only returns when they run at once. Jobs follow each other quickly
// (helpers still polling) and after a pause (helpers asleep); each member runs each job once.
TEST(SweepTeam, EveryMemberRunsEachJobOnceAndAllAtOnce) {
  for (int size : {1, 2, 3, 8}) {
    SweepTeam team(size);
    ASSERT_EQ(team.Size(), size);
    for (int job = 0; job < 40; ++job) {
      std::atomic<int> arrived{0};
      std::vector<std::atomic<int>> runs(size);
      std::atomic<bool> allMet{true};
      team.Run([&](int member) {
        runs[member].fetch_add(1);
        arrived.fetch_add(1);
        if (!AwaitCount(arrived, size)) allMet.store(false);
      });
      EXPECT_TRUE(allMet.load()) << "team of " << size << ", job " << job;
      for (int member = 0; member < size; ++member) EXPECT_EQ(runs[member].load(), 1) << member;
      if (job % 10 == 9) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
}

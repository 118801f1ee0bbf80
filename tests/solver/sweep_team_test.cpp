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

// A team that lent threads join: it grows at the first Size() after the lending, the new helper
// takes only the jobs that follow (never one that ran before it came), and every member then runs
// each job once, all at once.
TEST(SweepTeam, LentThreadsJoinAtTheNextSize) {
  std::atomic<int> lent{0};
  SweepTeam team(1, &lent, 0);
  EXPECT_TRUE(team.MayGrow());
  ASSERT_EQ(team.Size(), 1);
  std::atomic<int> before{0};
  team.Run([&](int member) { before.fetch_add(member + 1); });
  EXPECT_EQ(before.load(), 1);
  lent.store(2);
  ASSERT_EQ(team.Size(), 3);
  EXPECT_EQ(team.Size(), 3);  // each lent thread joins once
  for (int job = 0; job < 20; ++job) {
    std::atomic<int> arrived{0};
    std::vector<std::atomic<int>> runs(3);
    std::atomic<bool> allMet{true};
    team.Run([&](int member) {
      runs[member].fetch_add(1);
      arrived.fetch_add(1);
      if (!AwaitCount(arrived, 3)) allMet.store(false);
    });
    EXPECT_TRUE(allMet.load()) << "job " << job;
    for (int member = 0; member < 3; ++member) EXPECT_EQ(runs[member].load(), 1) << member << ", job " << job;
  }
  EXPECT_EQ(before.load(), 1);
  // a team that already counts the lent threads does not grow by them again
  SweepTeam counted(3, &lent, 2);
  EXPECT_EQ(counted.Size(), 3);
}

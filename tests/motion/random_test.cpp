#include "motion/random.h"

#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

TEST(RandomGenerator, StaysIn15BitsAndReachesBothEnds) {
  RandomGenerator random(2024);
  int lowest = RandomGenerator::kMax, highest = 0;
  long long sum = 0;
  constexpr int kDraws = 200000;
  for (int i = 0; i < kDraws; ++i) {
    const int r = random.Next();
    ASSERT_GE(r, 0);
    ASSERT_LE(r, RandomGenerator::kMax);
    lowest = std::min(lowest, r);
    highest = std::max(highest, r);
    sum += r;
  }
  EXPECT_LT(lowest, 10);
  EXPECT_GT(highest, RandomGenerator::kMax - 10);
  EXPECT_NEAR(static_cast<double>(sum) / kDraws, RandomGenerator::kMax / 2.0, 200.0);
}

TEST(RandomGenerator, SameSeedReplaysAndObjectsAreIndependent) {
  RandomGenerator a(5), b(5), c(6);
  std::vector<int> first, second, other;
  for (int i = 0; i < 100; ++i) {
    first.push_back(a.Next());
    other.push_back(c.Next());
  }
  for (int i = 0; i < 100; ++i) second.push_back(b.Next());
  EXPECT_EQ(first, second);
  EXPECT_NE(first, other);
}

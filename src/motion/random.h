// Pseudo-random integers for the sampling of pixel triples.
#pragma once

#include <cstdint>
#include <random>

// Uniform integers in 0..kMax (15 bits). Each object carries its own state, so a fit seeded with a
// given value replays exactly.
class RandomGenerator {
 public:
  static constexpr int kMax = 32767;

  explicit RandomGenerator(uint32_t seed) : engine_(seed) {}

  // The top 15 of the engine's 32 bits.
  int Next() { return static_cast<int>(static_cast<uint32_t>(engine_()) >> kDroppedBits); }

 private:
  static constexpr int kDroppedBits = 17;  // 32-bit engine output reduced to 0..32767

  std::mt19937 engine_;
};

// The current calendar time in seconds, truncated to 32 bits: the seed of an unseeded fit.
uint32_t CalendarSeed();

#pragma once
// A small deterministic pseudo-random stream for generated images.

#include <cstdint>

namespace datagen {

// xorshift64*: a small deterministic stream. Every generated image must come out byte-identical
// on every build and machine, so nothing here may depend on std::random_device or on the
// standard library's distribution implementations.
class PseudoRandom {
 public:
  explicit PseudoRandom(uint64_t seed) : state_(seed == 0 ? 0x9E3779B97F4A7C15ULL : seed) {}

  uint64_t next() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 0x2545F4914F6CDD1DULL;
  }

  // A value in [0, bound); bound must be above 0.
  uint32_t below(uint32_t bound) { return static_cast<uint32_t>((next() >> 32) % bound); }

 private:
  uint64_t state_;
};

}  // namespace datagen

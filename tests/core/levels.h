// The vector levels a test runs its kernels at: every level the machine
// supports, so each vector kernel is checked against the scalar one on the same
// inputs.
#pragma once

#include <vector>

#include "scan/simd.h"

namespace tesserine::vector_levels {

inline std::vector<simd::Level> levels() {
  std::vector<simd::Level> out{simd::Level::Scalar};
  if (simd::best_level() >= simd::Level::SSE2) out.push_back(simd::Level::SSE2);
  if (simd::best_level() >= simd::Level::AVX2) out.push_back(simd::Level::AVX2);
  return out;
}

// Puts the best level back when a test that forced others ends.
struct LevelGuard {
  ~LevelGuard() { simd::force_level(simd::best_level()); }
};

}  // namespace tesserine::vector_levels

#include "scan/vector.h"

namespace tesserine::simd {
namespace {

Level detect() noexcept {
#if TESSERINE_VECTOR_X86
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return Level::AVX2;
  return Level::SSE2;
#else
  return Level::Scalar;
#endif
}

}  // namespace

// Until this is initialised, a kernel called from another static initialiser
// runs at the scalar level, which is always there.
std::atomic<Level> detail::level_in_force{best_level()};

Level best_level() noexcept {
  static const Level best = detect();
  return best;
}

void force_level(Level level) noexcept {
  detail::level_in_force.store(level > best_level() ? best_level() : level,
                               std::memory_order_relaxed);
}

}  // namespace tesserine::simd

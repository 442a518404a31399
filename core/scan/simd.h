// Vectorised byte-level kernels behind the scanning routines.
//
// Each kernel has a portable scalar version, an SSE2 version and an AVX2
// version; one dispatch point picks the widest the processor supports, once.
// The scalar versions are the test oracle of the vector ones, and tests may
// force any level that the machine supports.
//
// All kernels read only inside [hay, hay + n): vector loops stop where a full
// load would cross the end and finish with scalar code.
#pragma once

#include <cstddef>

namespace tesserine::simd {

enum class Level { Scalar = 0, SSE2 = 1, AVX2 = 2 };

// The level in use, and the best the processor supports.
Level active_level() noexcept;
Level best_level() noexcept;
// Forces a level (clamped to best_level()); for tests and benchmarks.
void force_level(Level level) noexcept;

// First byte of hay[0..n) equal to one of set[0..k) (1 <= k <= 4), or nullptr.
const char* find_any(const char* hay, size_t n, const char* set, size_t k) noexcept;

// First / last occurrence of needle[0..m) (m >= 2) in hay[0..n), or nullptr.
// Candidates are filtered on two of the needle's bytes chosen for rarity in
// markup and verified with memcmp; when verification stops paying for itself
// the search finishes with an algorithm linear in n, so the cost is O(n) for
// any needle.
const char* find_substring(const char* hay, size_t n, const char* needle, size_t m) noexcept;
const char* rfind_substring(const char* hay, size_t n, const char* needle, size_t m) noexcept;

}  // namespace tesserine::simd

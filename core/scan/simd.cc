#include "scan/simd.h"

#include <immintrin.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <string.h>

#include "fault.h"

namespace tesserine::simd {
namespace {

// How common a byte is in WordprocessingML, higher is more common; bytes not
// listed count as rare. The filter bytes of a needle are its two rarest.
constexpr const char kCommonBytes[] = "<>/w:\"= rtpPaeolsnRicdu0123456789F";

constexpr std::array<uint8_t, 256> kRank = [] {
  std::array<uint8_t, 256> rank{};
  for (size_t i = 0; i + 1 < sizeof kCommonBytes; ++i)
    rank[static_cast<unsigned char>(kCommonBytes[i])] = static_cast<uint8_t>(64 - i);
  return rank;
}();

uint8_t rank_of(char c) { return kRank[static_cast<unsigned char>(c)]; }

struct Pair {
  size_t i1, i2;  // offsets in the needle, i1 != i2
  char b1, b2;
};

Pair choose_pair(const char* needle, size_t m) {
  size_t best = 0;
  for (size_t i = 1; i < m; ++i)
    if (rank_of(needle[i]) < rank_of(needle[best])) best = i;
  size_t second = best == 0 ? 1 : 0;
  for (size_t i = 0; i < m; ++i)
    if (i != best && rank_of(needle[i]) < rank_of(needle[second])) second = i;
  return {best, second, needle[best], needle[second]};
}

// Verification budget: once candidate checks have compared more bytes than the
// haystack is long (plus slack), the filter is not selective for this needle
// and the search switches to its linear fallback.
struct Budget {
  size_t left;
  bool spend(size_t bytes) {
    if (bytes > left) return true;
    left -= bytes;
    return false;
  }
};

constexpr size_t kNotFound = SIZE_MAX;

// The kernels return the offset of a match, kNotFound, or (through *resume) the
// start position from which the fallback must continue.
struct Outcome {
  size_t match = kNotFound;
  bool exhausted = false;
  size_t resume = 0;
};

// ---- scalar ---------------------------------------------------------------

const char* find_any_scalar(const char* hay, size_t n, const char* set, size_t k) {
  for (size_t i = 0; i < n; ++i)
    for (size_t j = 0; j < k; ++j)
      if (hay[i] == set[j]) return hay + i;
  return nullptr;
}

Outcome scan_forward_scalar(const char* hay, size_t n, const char* nd, size_t m, const Pair& pr,
                            size_t s, Budget& budget) {
  for (; s + m <= n; ++s) {
    if (hay[s + pr.i1] != pr.b1 || hay[s + pr.i2] != pr.b2) continue;
    if (std::memcmp(hay + s, nd, m) == 0) return {s, false, 0};
    if (budget.spend(m)) return {kNotFound, true, s + 1};
  }
  return {};
}

// Starts in [0, top) from the highest down.
Outcome scan_backward_scalar(const char* hay, const char* nd, size_t m, const Pair& pr,
                             size_t top, Budget& budget) {
  for (size_t s = top; s-- > 0;) {
    if (hay[s + pr.i1] != pr.b1 || hay[s + pr.i2] != pr.b2) continue;
    if (std::memcmp(hay + s, nd, m) == 0) return {s, false, 0};
    if (budget.spend(m)) return {kNotFound, true, s};
  }
  return {};
}

// ---- SSE2 -----------------------------------------------------------------

__attribute__((target("sse2"))) const char* find_any_sse2(const char* hay, size_t n,
                                                           const char* set, size_t k) {
  const __m128i s0 = _mm_set1_epi8(set[0]), s1 = _mm_set1_epi8(set[k > 1 ? 1 : 0]),
                s2 = _mm_set1_epi8(set[k > 2 ? 2 : 0]), s3 = _mm_set1_epi8(set[k > 3 ? 3 : 0]);
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hay + i));
    const __m128i eq = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, s0), _mm_cmpeq_epi8(v, s1)),
                                    _mm_or_si128(_mm_cmpeq_epi8(v, s2), _mm_cmpeq_epi8(v, s3)));
    if (const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(eq)))
      return hay + i + __builtin_ctz(mask);
  }
  return find_any_scalar(hay + i, n - i, set, k);
}

__attribute__((target("sse2"))) Outcome scan_forward_sse2(const char* hay, size_t n,
                                                          const char* nd, size_t m,
                                                          const Pair& pr, Budget& budget) {
  const __m128i v1 = _mm_set1_epi8(pr.b1), v2 = _mm_set1_epi8(pr.b2);
  size_t s = 0;
  // Loads reach s + max(i1, i2) + 16 <= s + m + 15 <= n.
  for (; s + m + 15 <= n; s += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hay + s + pr.i1));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hay + s + pr.i2));
    unsigned mask = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, v1), _mm_cmpeq_epi8(b, v2))));
    while (mask) {
      const size_t c = s + __builtin_ctz(mask);
      if (std::memcmp(hay + c, nd, m) == 0) return {c, false, 0};
      if (budget.spend(m)) return {kNotFound, true, c + 1};
      mask &= mask - 1;
    }
  }
  return scan_forward_scalar(hay, n, nd, m, pr, s, budget);
}

__attribute__((target("sse2"))) Outcome scan_backward_sse2(const char* hay, size_t n,
                                                           const char* nd, size_t m,
                                                           const Pair& pr, Budget& budget) {
  const __m128i v1 = _mm_set1_epi8(pr.b1), v2 = _mm_set1_epi8(pr.b2);
  size_t top = n - m + 1;  // candidate starts are [0, top)
  for (; top >= 16; top -= 16) {
    const size_t base = top - 16;
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hay + base + pr.i1));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hay + base + pr.i2));
    unsigned mask = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, v1), _mm_cmpeq_epi8(b, v2))));
    while (mask) {
      const unsigned bit = 31u - static_cast<unsigned>(__builtin_clz(mask));
      const size_t c = base + bit;
      if (std::memcmp(hay + c, nd, m) == 0) return {c, false, 0};
      if (budget.spend(m)) return {kNotFound, true, c};
      mask &= ~(1u << bit);
    }
  }
  return scan_backward_scalar(hay, nd, m, pr, top, budget);
}

// ---- AVX2 -----------------------------------------------------------------

__attribute__((target("avx2"))) const char* find_any_avx2(const char* hay, size_t n,
                                                          const char* set, size_t k) {
  const __m256i s0 = _mm256_set1_epi8(set[0]), s1 = _mm256_set1_epi8(set[k > 1 ? 1 : 0]),
                s2 = _mm256_set1_epi8(set[k > 2 ? 2 : 0]), s3 = _mm256_set1_epi8(set[k > 3 ? 3 : 0]);
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(hay + i));
    const __m256i eq =
        _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v, s0), _mm256_cmpeq_epi8(v, s1)),
                        _mm256_or_si256(_mm256_cmpeq_epi8(v, s2), _mm256_cmpeq_epi8(v, s3)));
    if (const unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(eq)))
      return hay + i + __builtin_ctz(mask);
  }
  return find_any_sse2(hay + i, n - i, set, k);
}

__attribute__((target("avx2"))) Outcome scan_forward_avx2(const char* hay, size_t n,
                                                          const char* nd, size_t m,
                                                          const Pair& pr, Budget& budget) {
  const __m256i v1 = _mm256_set1_epi8(pr.b1), v2 = _mm256_set1_epi8(pr.b2);
  size_t s = 0;
  for (; s + m + 31 <= n; s += 32) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(hay + s + pr.i1));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(hay + s + pr.i2));
    unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(
        _mm256_and_si256(_mm256_cmpeq_epi8(a, v1), _mm256_cmpeq_epi8(b, v2))));
    while (mask) {
      const size_t c = s + __builtin_ctz(mask);
      if (std::memcmp(hay + c, nd, m) == 0) return {c, false, 0};
      if (budget.spend(m)) return {kNotFound, true, c + 1};
      mask &= mask - 1;
    }
  }
  return scan_forward_scalar(hay, n, nd, m, pr, s, budget);
}

__attribute__((target("avx2"))) Outcome scan_backward_avx2(const char* hay, size_t n,
                                                           const char* nd, size_t m,
                                                           const Pair& pr, Budget& budget) {
  const __m256i v1 = _mm256_set1_epi8(pr.b1), v2 = _mm256_set1_epi8(pr.b2);
  size_t top = n - m + 1;
  for (; top >= 32; top -= 32) {
    const size_t base = top - 32;
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(hay + base + pr.i1));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(hay + base + pr.i2));
    unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(
        _mm256_and_si256(_mm256_cmpeq_epi8(a, v1), _mm256_cmpeq_epi8(b, v2))));
    while (mask) {
      const unsigned bit = 31u - static_cast<unsigned>(__builtin_clz(mask));
      const size_t c = base + bit;
      if (std::memcmp(hay + c, nd, m) == 0) return {c, false, 0};
      if (budget.spend(m)) return {kNotFound, true, c};
      mask &= ~(1u << bit);
    }
  }
  return scan_backward_scalar(hay, nd, m, pr, top, budget);
}

// ---- linear fallbacks -----------------------------------------------------

// Reverse Knuth-Morris-Pratt: the last occurrence with its start in [0, top).
size_t rfind_kmp(const char* hay, const char* nd, size_t m, size_t top) {
  constexpr size_t kStackTable = 256;
  size_t stack_table[kStackTable];
  size_t* fail = stack_table;
  if (m > kStackTable) {  // no needle in use is this long
    fail = static_cast<size_t*>(std::malloc(m * sizeof(size_t)));
    if (fail == nullptr) out_of_memory(m * sizeof(size_t));
  }
  auto rn = [&](size_t i) { return nd[m - 1 - i]; };  // the needle reversed
  fail[0] = 0;
  for (size_t i = 1, k = 0; i < m; ++i) {
    while (k > 0 && rn(i) != rn(k)) k = fail[k - 1];
    if (rn(i) == rn(k)) ++k;
    fail[i] = k;
  }
  size_t matched = 0;
  for (size_t i = top + m - 1; i > 0; --i) {
    const char c = hay[i - 1];
    while (matched > 0 && c != rn(matched)) matched = fail[matched - 1];
    if (c == rn(matched)) ++matched;
    if (matched == m) {
      if (fail != stack_table) std::free(fail);
      return i - 1;
    }
  }
  if (fail != stack_table) std::free(fail);
  return kNotFound;
}

// ---- dispatch -------------------------------------------------------------

Level detect() noexcept {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return Level::AVX2;
  if (__builtin_cpu_supports("sse2")) return Level::SSE2;
  return Level::Scalar;
}

std::atomic<Level> current{detect()};

}  // namespace

Level best_level() noexcept {
  static const Level best = detect();
  return best;
}

Level active_level() noexcept { return current.load(std::memory_order_relaxed); }

void force_level(Level level) noexcept {
  current.store(level > best_level() ? best_level() : level, std::memory_order_relaxed);
}

const char* find_any(const char* hay, size_t n, const char* set, size_t k) noexcept {
  switch (active_level()) {
    case Level::AVX2:
      return find_any_avx2(hay, n, set, k);
    case Level::SSE2:
      return find_any_sse2(hay, n, set, k);
    default:
      return find_any_scalar(hay, n, set, k);
  }
}

const char* find_substring(const char* hay, size_t n, const char* needle, size_t m) noexcept {
  if (m > n) return nullptr;
  const Pair pr = choose_pair(needle, m);
  Budget budget{n + 64};
  Outcome out;
  switch (active_level()) {
    case Level::AVX2:
      out = scan_forward_avx2(hay, n, needle, m, pr, budget);
      break;
    case Level::SSE2:
      out = scan_forward_sse2(hay, n, needle, m, pr, budget);
      break;
    default:
      out = scan_forward_scalar(hay, n, needle, m, pr, 0, budget);
  }
  if (out.exhausted) {
    // glibc's memmem is Two-Way: linear in the rest of the haystack.
    return static_cast<const char*>(memmem(hay + out.resume, n - out.resume, needle, m));
  }
  return out.match == kNotFound ? nullptr : hay + out.match;
}

const char* rfind_substring(const char* hay, size_t n, const char* needle, size_t m) noexcept {
  if (m > n) return nullptr;
  const Pair pr = choose_pair(needle, m);
  Budget budget{n + 64};
  Outcome out;
  switch (active_level()) {
    case Level::AVX2:
      out = scan_backward_avx2(hay, n, needle, m, pr, budget);
      break;
    case Level::SSE2:
      out = scan_backward_sse2(hay, n, needle, m, pr, budget);
      break;
    default:
      out = scan_backward_scalar(hay, needle, m, pr, n - m + 1, budget);
  }
  if (out.exhausted) out.match = rfind_kmp(hay, needle, m, out.resume);
  return out.match == kNotFound ? nullptr : hay + out.match;
}

}  // namespace tesserine::simd

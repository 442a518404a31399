#include "scan/simd.h"

#include <string.h>
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>

#include "scan/vector.h"

namespace tesserine::simd {
namespace {

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

// The kernels return the offset of a match, kNotFound, or (through `resume`)
// the start position from which the fallback must continue.
struct Outcome {
  size_t match = kNotFound;
  bool exhausted = false;
  size_t resume = 0;
};

// A substring search in progress: the needle, its filter pair and the budget.
struct Search {
  const char* hay;
  const char* nd;
  size_t m;
  PairFilter pr;
  Budget budget;

  bool filter(size_t s) const {
    return hay[s + pr.first] == nd[pr.first] && hay[s + pr.second] == nd[pr.second];
  }
  bool matches(size_t s) const {
    // The needles in use are short: a call to memcmp would cost more than the loop.
    if (m > 16) return std::memcmp(hay + s, nd, m) == 0;
    for (size_t i = 0; i < m; ++i)
      if (hay[s + i] != nd[i]) return false;
    return true;
  }

  // Checks the candidates base + bit of `mask`, lowest first. True when the
  // search is decided (match or budget exhausted), with `out` set.
  template <class Mask>
  bool verify_up(Mask mask, size_t base, Outcome& out) {
    for (; mask; mask &= mask - 1) {
      const size_t c = base + static_cast<size_t>(__builtin_ctzll(mask));
      if (matches(c)) {
        out = {c, false, 0};
        return true;
      }
      if (budget.spend(m)) {
        out = {kNotFound, true, c + 1};
        return true;
      }
    }
    return false;
  }

  // The same, highest first; the fallback then covers the starts below c.
  template <class Mask>
  bool verify_down(Mask mask, size_t base, Outcome& out) {
    while (mask) {
      const unsigned bit = 63u - static_cast<unsigned>(__builtin_clzll(mask));
      const size_t c = base + bit;
      if (matches(c)) {
        out = {c, false, 0};
        return true;
      }
      if (budget.spend(m)) {
        out = {kNotFound, true, c};
        return true;
      }
      mask &= ~(Mask{1} << bit);
    }
    return false;
  }
};

// The kernels of one level; find_any and find_any_followed for sets of 1 to 4 bytes.
struct Kernels {
  void (*copy)(char* dst, const char* src, size_t n);
  const char* (*find_any[4])(const char* hay, size_t n, const char* set);
  const char* (*find_any_followed[4])(const char* hay, size_t n, const char* set, char follow,
                                      size_t gap);
  size_t (*find_all_any_followed)(const char* hay, size_t n, size_t from, const char* set, size_t k,
                                  char follow, size_t gap, size_t* out, size_t cap);
  size_t (*copy_to_followed)(char* dst, const char* src, size_t n, size_t avail, char byte,
                             char follow, size_t gap);
  const char* (*find_byte_unfollowed)(const char* hay, size_t n, char byte, char next);
  Outcome (*scan_forward)(Search& q, size_t n);
  Outcome (*scan_backward)(Search& q, size_t n);
};

// The scalar versions, one position at a time: the reference of the vector
// versions, and their tails.
namespace scalar {

void copy(char* dst, const char* src, size_t n) { std::memcpy(dst, src, n); }

template <size_t K>
const char* find_any(const char* hay, size_t n, const char* set) {
  for (size_t i = 0; i < n; ++i)
    for (size_t j = 0; j < K; ++j)
      if (hay[i] == set[j]) return hay + i;
  return nullptr;
}

const char* find_any_followed(const char* hay, size_t n, const char* set, size_t k, char follow,
                              size_t gap) {
  for (size_t s = 0; s + gap < n; ++s) {
    if (hay[s + gap] != follow) continue;
    for (size_t j = 0; j < k; ++j)
      if (hay[s] == set[j]) return hay + s;
  }
  return nullptr;
}

template <size_t K>
const char* find_any_followed(const char* hay, size_t n, const char* set, char follow, size_t gap) {
  return find_any_followed(hay, n, set, K, follow, gap);
}

// One search per match.
size_t find_all_any_followed(const char* hay, size_t n, size_t from, const char* set, size_t k,
                             char follow, size_t gap, size_t* out, size_t cap) {
  size_t count = 0;
  while (count < cap && from < n) {
    const char* hit = find_any_followed(hay + from, n - from, set, k, follow, gap);
    if (hit == nullptr) break;
    out[count++] = static_cast<size_t>(hit - hay);
    from = out[count - 1] + 1;
  }
  return count;
}

size_t copy_to_followed(char* dst, const char* src, size_t n, size_t avail, char byte, char follow,
                        size_t gap) {
  for (size_t i = 0; i < n; ++i) {
    if (src[i] == byte && i + gap < avail && src[i + gap] == follow) return i;
    dst[i] = src[i];
  }
  return n;
}

const char* find_byte_unfollowed(const char* hay, size_t n, char byte, char next) {
  for (size_t s = 0; s < n; ++s)
    if (hay[s] == byte && (s + 1 == n || hay[s + 1] != next)) return hay + s;
  return nullptr;
}

// Candidate starts [0, n - m], from the lowest up.
Outcome scan_forward(Search& q, size_t n) {
  for (size_t s = 0; s + q.m <= n; ++s) {
    if (!q.filter(s)) continue;
    if (q.matches(s)) return {s, false, 0};
    if (q.budget.spend(q.m)) return {kNotFound, true, s + 1};
  }
  return {};
}

// The same from the highest down.
Outcome scan_backward(Search& q, size_t n) {
  for (size_t s = n - q.m + 1; s-- > 0;) {
    if (!q.filter(s)) continue;
    if (q.matches(s)) return {s, false, 0};
    if (q.budget.spend(q.m)) return {kNotFound, true, s};
  }
  return {};
}

constexpr Kernels kKernels = {
    copy,
    {find_any<1>, find_any<2>, find_any<3>, find_any<4>},
    {find_any_followed<1>, find_any_followed<2>, find_any_followed<3>, find_any_followed<4>},
    find_all_any_followed,
    copy_to_followed,
    find_byte_unfollowed,
    scan_forward,
    scan_backward};

}  // namespace scalar

#if TESSERINE_VECTOR_X86
namespace sse2 {
#include "scan/simd_kernels.inc"
constexpr Kernels kKernels = kernels_over<Sse2>();
}  // namespace sse2

TESSERINE_AVX2_BEGIN
namespace avx2 {
#include "scan/simd_kernels.inc"
constexpr Kernels kKernels = kernels_over<Avx2>();
}  // namespace avx2
TESSERINE_AVX2_END

constexpr PerLevel<Kernels> kLevels{scalar::kKernels, sse2::kKernels, avx2::kKernels};
#else
constexpr PerLevel<Kernels> kLevels{scalar::kKernels};
#endif

const Kernels& kernels() noexcept { return kLevels.active(); }

// ---- linear fallbacks -----------------------------------------------------

// Reverse Knuth-Morris-Pratt: the last occurrence with its start in [0, top).
size_t rfind_kmp(const char* hay, const char* nd, size_t m, size_t top) {
  constexpr size_t kStackTable = 256;
  size_t stack_table[kStackTable];
  std::unique_ptr<size_t[]> heap_table;  // no needle in use is this long
  if (m > kStackTable) heap_table.reset(new size_t[m]);
  size_t* fail = heap_table ? heap_table.get() : stack_table;
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
    if (matched == m) return i - 1;
  }
  return kNotFound;
}

}  // namespace

void copy_bytes(char* dst, const char* src, size_t n) noexcept {
  // A vector loop from a few hundred bytes on; past about a MiB the library's
  // copy wins: it streams around the caches.
  constexpr size_t kVectorLoopFrom = 256, kVectorLoopTo = size_t{1} << 20;
  if (n >= kVectorLoopFrom && n < kVectorLoopTo) return kernels().copy(dst, src, n);
  if (n != 0) std::memcpy(dst, src, n);
}

const char* find_any(const char* hay, size_t n, const char* set, size_t k) noexcept {
  return kernels().find_any[k - 1](hay, n, set);
}

const char* find_any_followed(const char* hay, size_t n, const char* set, size_t k, char follow,
                              size_t gap) noexcept {
  return kernels().find_any_followed[k - 1](hay, n, set, follow, gap);
}

size_t copy_to_followed(char* dst, const char* src, size_t n, size_t avail, char byte, char follow,
                        size_t gap) noexcept {
  return kernels().copy_to_followed(dst, src, n, avail, byte, follow, gap);
}

size_t find_all_any_followed(const char* hay, size_t n, size_t from, const char* set, size_t k,
                             char follow, size_t gap, size_t* out, size_t cap) noexcept {
  return kernels().find_all_any_followed(hay, n, from, set, k, follow, gap, out, cap);
}

const char* find_byte_unfollowed(const char* hay, size_t n, char byte, char next) noexcept {
  return kernels().find_byte_unfollowed(hay, n, byte, next);
}

const char* find_substring(const char* hay, size_t n, const char* needle, size_t m,
                           PairFilter pair) noexcept {
  if (m > n) return nullptr;
  Search q{hay, needle, m, pair, Budget{n + 64}};
  const Outcome out = kernels().scan_forward(q, n);
  if (out.exhausted) {
    // glibc's memmem is Two-Way: linear in the rest of the haystack.
    return static_cast<const char*>(memmem(hay + out.resume, n - out.resume, needle, m));
  }
  return out.match == kNotFound ? nullptr : hay + out.match;
}

const char* rfind_substring(const char* hay, size_t n, const char* needle, size_t m,
                            PairFilter pair) {
  if (m > n) return nullptr;
  Search q{hay, needle, m, pair, Budget{n + 64}};
  Outcome out = kernels().scan_backward(q, n);
  if (out.exhausted) out.match = rfind_kmp(hay, needle, m, out.resume);
  return out.match == kNotFound ? nullptr : hay + out.match;
}

const char* find_substring(const char* hay, size_t n, const char* needle, size_t m) noexcept {
  return find_substring(hay, n, needle, m, choose_pair(needle, m));
}

const char* rfind_substring(const char* hay, size_t n, const char* needle, size_t m) {
  return rfind_substring(hay, n, needle, m, choose_pair(needle, m));
}

}  // namespace tesserine::simd

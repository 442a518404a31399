#include "scan/simd.h"

#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string.h>

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

// ---- scalar ---------------------------------------------------------------

const char* find_any_scalar(const char* hay, size_t n, const char* set, size_t k) {
  for (size_t i = 0; i < n; ++i)
    for (size_t j = 0; j < k; ++j)
      if (hay[i] == set[j]) return hay + i;
  return nullptr;
}

const char* find_any_followed_scalar(const char* hay, size_t n, const char* set, size_t k,
                                     char follow, size_t gap) {
  for (size_t s = 0; s + gap < n; ++s) {
    if (hay[s + gap] != follow) continue;
    for (size_t j = 0; j < k; ++j)
      if (hay[s] == set[j]) return hay + s;
  }
  return nullptr;
}

using FindFollowed = const char* (*)(const char* hay, size_t n, const char* set, size_t k,
                                     char follow, size_t gap);

// The batch form of a level that has no batch kernel of its own: one search per
// match.
template <FindFollowed find>
size_t find_all_any_followed_each(const char* hay, size_t n, size_t from, const char* set,
                                  size_t k, char follow, size_t gap, size_t* out, size_t cap) {
  size_t count = 0;
  while (count < cap && from < n) {
    const char* hit = find(hay + from, n - from, set, k, follow, gap);
    if (hit == nullptr) break;
    out[count++] = static_cast<size_t>(hit - hay);
    from = out[count - 1] + 1;
  }
  return count;
}

// Copies byte by byte up to the first match; the twin of copy_to_followed_avx2.
size_t copy_to_followed_scalar(char* dst, const char* src, size_t n, size_t avail, char byte,
                               char follow, size_t gap) {
  for (size_t i = 0; i < n; ++i) {
    if (src[i] == byte && i + gap < avail && src[i + gap] == follow) return i;
    dst[i] = src[i];
  }
  return n;
}

const char* find_byte_unfollowed_scalar(const char* hay, size_t n, char byte, char next) {
  for (size_t s = 0; s < n; ++s)
    if (hay[s] == byte && (s + 1 == n || hay[s + 1] != next)) return hay + s;
  return nullptr;
}

// Candidate starts [s, n - m].
Outcome scan_forward_scalar(Search& q, size_t n, size_t s) {
  for (; s + q.m <= n; ++s) {
    if (!q.filter(s)) continue;
    if (q.matches(s)) return {s, false, 0};
    if (q.budget.spend(q.m)) return {kNotFound, true, s + 1};
  }
  return {};
}

// Candidate starts [0, top), from the highest down.
Outcome scan_backward_scalar(Search& q, size_t top) {
  for (size_t s = top; s-- > 0;) {
    if (!q.filter(s)) continue;
    if (q.matches(s)) return {s, false, 0};
    if (q.budget.spend(q.m)) return {kNotFound, true, s};
  }
  return {};
}

// ---- SSE2 -----------------------------------------------------------------
//
// The loops below (and their AVX2 counterparts) walk two vectors at a time, then
// one; a last vector that would cross the end is moved back so that it ends
// where the range ends, and the positions it shares with the vector before are
// masked off.

__m128i load16(const char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
uint32_t mask16(__m128i v) { return static_cast<uint32_t>(_mm_movemask_epi8(v)); }

struct AnySet16 {
  __m128i s0, s1, s2, s3;
  AnySet16(const char* set, size_t k)
      : s0(_mm_set1_epi8(set[0])),
        s1(_mm_set1_epi8(set[k > 1 ? 1 : 0])),
        s2(_mm_set1_epi8(set[k > 2 ? 2 : 0])),
        s3(_mm_set1_epi8(set[k > 3 ? 3 : 0])) {}
  __m128i eq(__m128i v) const {
    return _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, s0), _mm_cmpeq_epi8(v, s1)),
                        _mm_or_si128(_mm_cmpeq_epi8(v, s2), _mm_cmpeq_epi8(v, s3)));
  }
};

const char* find_any_sse2(const char* hay, size_t n, const char* set, size_t k) {
  if (n < 16) return find_any_scalar(hay, n, set, k);
  const AnySet16 any(set, k);
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const uint32_t mask =
        mask16(any.eq(load16(hay + i))) | mask16(any.eq(load16(hay + i + 16))) << 16;
    if (mask) return hay + i + __builtin_ctz(mask);
  }
  while (i < n) {
    const size_t base = i + 16 <= n ? i : n - 16;
    const uint32_t mask = mask16(any.eq(load16(hay + base))) & (~0u << (i - base));
    if (mask) return hay + base + __builtin_ctz(mask);
    i = base + 16;
  }
  return nullptr;
}

const char* find_any_followed_sse2(const char* hay, size_t n, const char* set, size_t k,
                                   char follow, size_t gap) {
  if (n <= gap || n - gap < 16) return find_any_followed_scalar(hay, n, set, k, follow, gap);
  const size_t top = n - gap;  // candidate starts are [0, top)
  const AnySet16 any(set, k);
  const __m128i vf = _mm_set1_epi8(follow);
  auto block = [&](size_t base) {
    return mask16(_mm_and_si128(any.eq(load16(hay + base)),
                                _mm_cmpeq_epi8(load16(hay + base + gap), vf)));
  };
  size_t s = 0;
  for (; s + 32 <= top; s += 32) {
    const uint32_t mask = block(s) | block(s + 16) << 16;
    if (mask) return hay + s + __builtin_ctz(mask);
  }
  while (s < top) {
    const size_t base = s + 16 <= top ? s : top - 16;
    const uint32_t mask = block(base) & (~0u << (s - base));
    if (mask) return hay + base + __builtin_ctz(mask);
    s = base + 16;
  }
  return nullptr;
}

const char* find_byte_unfollowed_sse2(const char* hay, size_t n, char byte, char next) {
  const __m128i vb = _mm_set1_epi8(byte), vn = _mm_set1_epi8(next);
  size_t s = 0;
  for (; s + 17 <= n; s += 16) {
    const __m128i e =
        _mm_andnot_si128(_mm_cmpeq_epi8(load16(hay + s + 1), vn),
                         _mm_cmpeq_epi8(load16(hay + s), vb));
    if (const uint32_t mask = mask16(e)) return hay + s + __builtin_ctz(mask);
  }
  return find_byte_unfollowed_scalar(hay + s, n - s, byte, next);
}

uint32_t pair_block_sse2(const Search& q, size_t base, __m128i v1, __m128i v2) {
  const __m128i a = load16(q.hay + base + q.pr.first);
  const __m128i b = load16(q.hay + base + q.pr.second);
  return mask16(_mm_and_si128(_mm_cmpeq_epi8(a, v1), _mm_cmpeq_epi8(b, v2)));
}

// Loads reach base + max(first, second) + 16 <= base + m + 15, and base never
// exceeds n - m - 15.
Outcome scan_forward_sse2(Search& q, size_t n) {
  const size_t top = n - q.m + 1;  // candidate starts are [0, top)
  if (top < 16) return scan_forward_scalar(q, n, 0);
  const __m128i v1 = _mm_set1_epi8(q.nd[q.pr.first]), v2 = _mm_set1_epi8(q.nd[q.pr.second]);
  Outcome out;
  size_t s = 0;
  for (; s + 32 <= top; s += 32) {
    const uint32_t mask = pair_block_sse2(q, s, v1, v2) | pair_block_sse2(q, s + 16, v1, v2) << 16;
    if (mask && q.verify_up(mask, s, out)) return out;
  }
  while (s < top) {
    const size_t base = s + 16 <= top ? s : top - 16;
    const uint32_t mask = pair_block_sse2(q, base, v1, v2) & (~0u << (s - base));
    if (mask && q.verify_up(mask, base, out)) return out;
    s = base + 16;
  }
  return out;
}

Outcome scan_backward_sse2(Search& q, size_t n) {
  size_t top = n - q.m + 1;
  if (top < 16) return scan_backward_scalar(q, top);
  const __m128i v1 = _mm_set1_epi8(q.nd[q.pr.first]), v2 = _mm_set1_epi8(q.nd[q.pr.second]);
  Outcome out;
  for (; top >= 32; top -= 32) {
    const size_t base = top - 32;
    const uint32_t mask =
        pair_block_sse2(q, base, v1, v2) | pair_block_sse2(q, base + 16, v1, v2) << 16;
    if (mask && q.verify_down(mask, base, out)) return out;
  }
  if (top >= 16) {
    const uint32_t mask = pair_block_sse2(q, top - 16, v1, v2);
    if (mask && q.verify_down(mask, top - 16, out)) return out;
    top -= 16;
  }
  if (top > 0) {
    const uint32_t mask = pair_block_sse2(q, 0, v1, v2) & ((1u << top) - 1);
    if (mask && q.verify_down(mask, 0, out)) return out;
  }
  return out;
}

// ---- AVX2 -----------------------------------------------------------------

__attribute__((target("avx2"))) __m256i load32(const char* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
__attribute__((target("avx2"))) uint32_t mask32(__m256i v) {
  return static_cast<uint32_t>(_mm256_movemask_epi8(v));
}
template <size_t K>
__attribute__((target("avx2"))) __m256i eq_any32(__m256i v, const __m256i* set) {
  __m256i e = _mm256_cmpeq_epi8(v, set[0]);
  if constexpr (K > 1) e = _mm256_or_si256(e, _mm256_cmpeq_epi8(v, set[1]));
  if constexpr (K > 2) e = _mm256_or_si256(e, _mm256_cmpeq_epi8(v, set[2]));
  if constexpr (K > 3) e = _mm256_or_si256(e, _mm256_cmpeq_epi8(v, set[3]));
  return e;
}

// Membership in a set of ASCII bytes whose low nibbles differ, in two
// instructions instead of one comparison per member: a byte shuffle looks up, at
// each byte's low nibble, the one member with that nibble, and the byte is a
// member when it equals what it looked up. Nibbles no member has look up 0x80,
// which no ASCII byte equals; a byte with its top bit set looks up 0, which it
// does not equal either.
bool nibble_set_usable(const char* set, size_t k) noexcept {
  for (size_t i = 0; i < k; ++i) {
    if (static_cast<unsigned char>(set[i]) >= 0x80) return false;
    for (size_t j = 0; j < i; ++j)
      if (set[i] != set[j] && ((set[i] ^ set[j]) & 0x0F) == 0) return false;
  }
  return true;
}

struct NibbleMembers {
  __m256i table;

  // The table is put together in two general registers: one stored byte by
  // byte and loaded whole would wait for the stores to drain, which costs more
  // than a short search.
  __attribute__((target("avx2"))) NibbleMembers(const char* set, size_t k) {
    uint64_t half[2] = {~uint64_t{0} / 0xFF * 0x80, ~uint64_t{0} / 0xFF * 0x80};
    for (size_t i = 0; i < k; ++i) {
      const unsigned nibble = static_cast<unsigned char>(set[i]) & 0x0F;
      const unsigned shift = (nibble & 7) * 8;
      uint64_t& word = half[nibble >> 3];
      word = (word & ~(uint64_t{0xFF} << shift)) |
             uint64_t{static_cast<unsigned char>(set[i])} << shift;
    }
    table = _mm256_set_epi64x(static_cast<long long>(half[1]), static_cast<long long>(half[0]),
                              static_cast<long long>(half[1]), static_cast<long long>(half[0]));
  }
  __attribute__((target("avx2"))) __m256i operator()(__m256i v) const {
    return _mm256_cmpeq_epi8(_mm256_shuffle_epi8(table, v), v);
  }
};

// One comparison per member: for one byte, for sets the table cannot hold, and
// for the first block of a search, where the table would cost more to build
// than it saves.
template <size_t K>
struct ComparedMembers {
  __m256i set[K];

  __attribute__((target("avx2"))) explicit ComparedMembers(const char* bytes) {
    for (size_t j = 0; j < K; ++j) set[j] = _mm256_set1_epi8(bytes[j]);
  }
  __attribute__((target("avx2"))) __m256i operator()(__m256i v) const {
    return eq_any32<K>(v, set);
  }
};

// Calls `run` with the members of set[0..k) in the cheapest form.
template <class Run>
__attribute__((target("avx2"))) auto with_members(const char* set, size_t k, Run run) {
  if (k > 1 && nibble_set_usable(set, k)) return run(NibbleMembers(set, k));
  switch (k) {
    case 1:
      return run(ComparedMembers<1>(set));
    case 2:
      return run(ComparedMembers<2>(set));
    case 3:
      return run(ComparedMembers<3>(set));
    default:
      return run(ComparedMembers<4>(set));
  }
}

// Set bytes are rare in the texts searched, so blocks of 128 bytes are passed
// over after one test: this one, which marks the set bytes of the block at `p`
// in e[0..4) and tells whether there is any.
template <class Members>
__attribute__((target("avx2"))) bool members128(const char* p, const Members& members,
                                                __m256i (&e)[4]) {
  for (size_t k = 0; k < 4; ++k) e[k] = members(load32(p + 32 * k));
  const __m256i any = _mm256_or_si256(_mm256_or_si256(e[0], e[1]), _mm256_or_si256(e[2], e[3]));
  return !_mm256_testz_si256(any, any);
}

// A block with a hit is looked at in halves. From `i` on, with n >= 32.
template <class Members>
__attribute__((target("avx2"))) const char* find_any_avx2(const char* hay, size_t n, size_t i,
                                                          const Members& members) {
  for (; i + 128 <= n; i += 128) {
    __m256i e[4];
    if (!members128(hay + i, members, e)) continue;
    const uint64_t low = mask32(e[0]) | uint64_t{mask32(e[1])} << 32;
    if (low) return hay + i + __builtin_ctzll(low);
    const uint64_t high = mask32(e[2]) | uint64_t{mask32(e[3])} << 32;
    return hay + i + 64 + __builtin_ctzll(high);
  }
  while (i < n) {
    const size_t base = i + 32 <= n ? i : n - 32;
    const uint32_t mask = mask32(members(load32(hay + base))) & (~0u << (i - base));
    if (mask) return hay + base + __builtin_ctz(mask);
    i = base + 32;
  }
  return nullptr;
}

// The starts among the 64 from `s` whose set bytes `e0` and `e1` mark and
// whose byte at `gap` further on is the follow byte.
__attribute__((target("avx2"))) uint64_t followed_mask64(const char* hay, size_t s, __m256i e0,
                                                         __m256i e1, __m256i vf, size_t gap) {
  const __m256i f0 = _mm256_and_si256(e0, _mm256_cmpeq_epi8(load32(hay + s + gap), vf));
  const __m256i f1 = _mm256_and_si256(e1, _mm256_cmpeq_epi8(load32(hay + s + 32 + gap), vf));
  return mask32(f0) | uint64_t{mask32(f1)} << 32;
}

// The set bytes are rarer than the follow byte (delimiters against the "<" of
// markup), so a block without one is passed over before the follow byte is
// looked at.
// From start `s` on, with n - gap >= 32.
template <class Members>
__attribute__((target("avx2"))) const char* find_any_followed_avx2(const char* hay, size_t n,
                                                                   size_t s,
                                                                   const Members& members,
                                                                   char follow, size_t gap) {
  const size_t top = n - gap;  // candidate starts are [0, top)
  const __m256i vf = _mm256_set1_epi8(follow);
  // Loads reach s + 127 + gap < n.
  for (; s + 128 <= top; s += 128) {
    __m256i e[4];
    if (!members128(hay + s, members, e)) continue;
    if (const uint64_t low = followed_mask64(hay, s, e[0], e[1], vf, gap))
      return hay + s + __builtin_ctzll(low);
    if (const uint64_t high = followed_mask64(hay, s + 64, e[2], e[3], vf, gap))
      return hay + s + 64 + __builtin_ctzll(high);
  }
  while (s < top) {
    const size_t base = s + 32 <= top ? s : top - 32;
    const __m256i e = _mm256_and_si256(members(load32(hay + base)),
                                       _mm256_cmpeq_epi8(load32(hay + base + gap), vf));
    const uint32_t mask = mask32(e) & (~0u << (s - base));
    if (mask) return hay + base + __builtin_ctz(mask);
    s = base + 32;
  }
  return nullptr;
}

// Writes the matches among the 64 starts from `s`, whose set bytes `e0` and
// `e1` mark; true when `out` is full.
__attribute__((target("avx2"))) bool write_followed64(const char* hay, size_t s, __m256i e0,
                                                      __m256i e1, __m256i vf, size_t gap,
                                                      size_t* out, size_t& count, size_t cap) {
  for (uint64_t mask = followed_mask64(hay, s, e0, e1, vf, gap); mask; mask &= mask - 1) {
    out[count++] = s + static_cast<size_t>(__builtin_ctzll(mask));
    if (count == cap) return true;
  }
  return false;
}

// As find_any_followed_avx2, but every match is written out and the scan goes
// on: the set-up is paid once per batch.
template <class Members>
__attribute__((target("avx2"))) size_t find_all_any_followed_avx2(
    const char* hay, size_t n, size_t from, const Members& members, const char* set, size_t k,
    char follow, size_t gap, size_t* out, size_t cap) {
  if (cap == 0 || n <= gap) return 0;
  const size_t top = n - gap;  // candidate starts are [from, top)
  const __m256i vf = _mm256_set1_epi8(follow);
  size_t count = 0;
  size_t s = from;
  // Loads reach s + 127 + gap < n.
  for (; s < top && top - s >= 128; s += 128) {
    __m256i e[4];
    if (!members128(hay + s, members, e)) continue;
    if (write_followed64(hay, s, e[0], e[1], vf, gap, out, count, cap) ||
        write_followed64(hay, s + 64, e[2], e[3], vf, gap, out, count, cap))
      return count;
  }
  if (s < top && top - s >= 64) {
    const __m256i e0 = members(load32(hay + s));
    const __m256i e1 = members(load32(hay + s + 32));
    if (write_followed64(hay, s, e0, e1, vf, gap, out, count, cap)) return count;
    s += 64;
  }
  for (; s < top; ++s) {
    if (hay[s + gap] != follow) continue;
    for (size_t j = 0; j < k; ++j) {
      if (hay[s] != set[j]) continue;
      out[count++] = s;
      if (count == cap) return count;
      break;
    }
  }
  return count;
}

// Most searches for the first match end within a few bytes of where they
// start: the first block is tested by comparison, which costs next to nothing
// to set up, and only a search that goes on past it builds the table, where the
// set allows one.
template <size_t K>
__attribute__((target("avx2"))) const char* find_any_avx2(const char* hay, size_t n,
                                                          const char* set) {
  if (n < 32) return find_any_sse2(hay, n, set, K);
  const ComparedMembers<K> compared(set);
  if (const uint32_t mask = mask32(compared(load32(hay)))) return hay + __builtin_ctz(mask);
  if (K > 1 && nibble_set_usable(set, K))
    return find_any_avx2(hay, n, 32, NibbleMembers(set, K));
  return find_any_avx2(hay, n, 32, compared);
}

template <size_t K>
__attribute__((target("avx2"))) const char* find_any_followed_avx2(const char* hay, size_t n,
                                                                   const char* set, char follow,
                                                                   size_t gap) {
  if (n <= gap || n - gap < 32) return find_any_followed_sse2(hay, n, set, K, follow, gap);
  const ComparedMembers<K> compared(set);
  const __m256i first = _mm256_and_si256(
      compared(load32(hay)), _mm256_cmpeq_epi8(load32(hay + gap), _mm256_set1_epi8(follow)));
  if (const uint32_t mask = mask32(first)) return hay + __builtin_ctz(mask);
  if (K > 1 && nibble_set_usable(set, K))
    return find_any_followed_avx2(hay, n, 32, NibbleMembers(set, K), follow, gap);
  return find_any_followed_avx2(hay, n, 32, compared, follow, gap);
}

__attribute__((target("avx2"))) size_t find_all_any_followed_avx2(const char* hay, size_t n,
                                                                  size_t from, const char* set,
                                                                  size_t k, char follow,
                                                                  size_t gap, size_t* out,
                                                                  size_t cap) {
  return with_members(set, k, [&](const auto& members) {
    return find_all_any_followed_avx2(hay, n, from, members, set, k, follow, gap, out, cap);
  });
}

// The first s with hay[s] == byte and hay[s + 1] != next, or hay[s] == byte as
// the last byte.
__attribute__((target("avx2"))) const char* find_byte_unfollowed_avx2(const char* hay, size_t n,
                                                                      char byte, char next) {
  const __m256i vb = _mm256_set1_epi8(byte), vn = _mm256_set1_epi8(next);
  size_t s = 0;
  // Loads reach s + 33 <= n.
  for (; s + 33 <= n; s += 32) {
    const __m256i e = _mm256_andnot_si256(_mm256_cmpeq_epi8(load32(hay + s + 1), vn),
                                          _mm256_cmpeq_epi8(load32(hay + s), vb));
    if (const uint32_t mask = mask32(e)) return hay + s + __builtin_ctz(mask);
  }
  return find_byte_unfollowed_sse2(hay + s, n - s, byte, next);
}

__attribute__((target("avx2"))) __m256i pair_eq_avx2(const Search& q, size_t base, __m256i v1,
                                                     __m256i v2) {
  const __m256i a = load32(q.hay + base + q.pr.first);
  const __m256i b = load32(q.hay + base + q.pr.second);
  return _mm256_and_si256(_mm256_cmpeq_epi8(a, v1), _mm256_cmpeq_epi8(b, v2));
}

// The 64 candidates from `base` on. With `RareFirst` the first filter byte is
// one that markup seldom holds, so most blocks are passed over after comparing
// it alone.
template <bool RareFirst>
__attribute__((target("avx2"))) uint64_t pair_block64_avx2(const Search& q, size_t base,
                                                           __m256i v1, __m256i v2) {
  const char* a = q.hay + base + q.pr.first;
  const char* b = q.hay + base + q.pr.second;
  __m256i e0 = _mm256_cmpeq_epi8(load32(a), v1);
  __m256i e1 = _mm256_cmpeq_epi8(load32(a + 32), v1);
  if constexpr (RareFirst) {
    const __m256i e = _mm256_or_si256(e0, e1);
    if (_mm256_testz_si256(e, e)) return 0;
  }
  e0 = _mm256_and_si256(e0, _mm256_cmpeq_epi8(load32(b), v2));
  e1 = _mm256_and_si256(e1, _mm256_cmpeq_epi8(load32(b + 32), v2));
  if constexpr (!RareFirst) {
    const __m256i e = _mm256_or_si256(e0, e1);
    if (_mm256_testz_si256(e, e)) return 0;
  }
  return mask32(e0) | uint64_t{mask32(e1)} << 32;
}

template <bool RareFirst>
__attribute__((target("avx2"))) Outcome scan_forward_avx2(Search& q, size_t n) {
  const size_t top = n - q.m + 1;
  const __m256i v1 = _mm256_set1_epi8(q.nd[q.pr.first]);
  const __m256i v2 = _mm256_set1_epi8(q.nd[q.pr.second]);
  Outcome out;
  // The first block alone: many searches end near where they start.
  const uint32_t first = mask32(pair_eq_avx2(q, 0, v1, v2));
  if (first && q.verify_up(first, 0, out)) return out;
  size_t s = 32;
  if constexpr (RareFirst) {
    // Over long stretches without the rare byte, 128 starts cost one test.
    // Loads reach s + first + 127 <= s + m + 126 < n.
    for (; s + 128 <= top; s += 128) {
      const char* a = q.hay + s + q.pr.first;
      const __m256i e = _mm256_or_si256(
          _mm256_or_si256(_mm256_cmpeq_epi8(load32(a), v1), _mm256_cmpeq_epi8(load32(a + 32), v1)),
          _mm256_or_si256(_mm256_cmpeq_epi8(load32(a + 64), v1),
                          _mm256_cmpeq_epi8(load32(a + 96), v1)));
      if (_mm256_testz_si256(e, e)) continue;
      const uint64_t low = pair_block64_avx2<true>(q, s, v1, v2);
      if (low && q.verify_up(low, s, out)) return out;
      const uint64_t high = pair_block64_avx2<true>(q, s + 64, v1, v2);
      if (high && q.verify_up(high, s + 64, out)) return out;
    }
  }
  for (; s + 64 <= top; s += 64) {
    const uint64_t mask = pair_block64_avx2<RareFirst>(q, s, v1, v2);
    if (mask && q.verify_up(mask, s, out)) return out;
  }
  while (s < top) {
    const size_t base = s + 32 <= top ? s : top - 32;
    const uint32_t mask = mask32(pair_eq_avx2(q, base, v1, v2)) & (~0u << (s - base));
    if (mask && q.verify_up(mask, base, out)) return out;
    s = base + 32;
  }
  return out;
}

template <bool RareFirst>
__attribute__((target("avx2"))) Outcome scan_backward_avx2(Search& q, size_t n) {
  size_t top = n - q.m + 1;
  const __m256i v1 = _mm256_set1_epi8(q.nd[q.pr.first]);
  const __m256i v2 = _mm256_set1_epi8(q.nd[q.pr.second]);
  Outcome out;
  for (; top >= 64; top -= 64) {
    const uint64_t mask = pair_block64_avx2<RareFirst>(q, top - 64, v1, v2);
    if (mask && q.verify_down(mask, top - 64, out)) return out;
  }
  if (top >= 32) {
    const uint32_t mask = mask32(pair_eq_avx2(q, top - 32, v1, v2));
    if (mask && q.verify_down(mask, top - 32, out)) return out;
    top -= 32;
  }
  if (top > 0) {
    const uint32_t mask = mask32(pair_eq_avx2(q, 0, v1, v2)) & ((1u << top) - 1);
    if (mask && q.verify_down(mask, 0, out)) return out;
  }
  return out;
}

Outcome scan_forward_avx2(Search& q, size_t n) {
  if (n - q.m + 1 < 32) return scan_forward_sse2(q, n);
  if (detail::rank_of(q.nd[q.pr.first]) == 0) return scan_forward_avx2<true>(q, n);
  return scan_forward_avx2<false>(q, n);
}

Outcome scan_backward_avx2(Search& q, size_t n) {
  if (n - q.m + 1 < 32) return scan_backward_sse2(q, n);
  if (detail::rank_of(q.nd[q.pr.first]) == 0) return scan_backward_avx2<true>(q, n);
  return scan_backward_avx2<false>(q, n);
}

// Four vectors a step, then single vectors, then one vector ending at n that
// may rewrite bytes already copied; n >= 32.
__attribute__((target("avx2"))) void copy_avx2(char* dst, const char* src, size_t n) {
  size_t i = 0;
  for (; i + 128 <= n; i += 128) {
    const __m256i a = load32(src + i), b = load32(src + i + 32);
    const __m256i c = load32(src + i + 64), d = load32(src + i + 96);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), a);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i + 32), b);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i + 64), c);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i + 96), d);
  }
  for (; i + 32 <= n; i += 32)
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), load32(src + i));
  if (i < n) _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + n - 32), load32(src + n - 32));
}

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

// ---- dispatch -------------------------------------------------------------

Level detect() noexcept {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return Level::AVX2;
  if (__builtin_cpu_supports("sse2")) return Level::SSE2;
  return Level::Scalar;
}

std::atomic<Level> current{detect()};

// Stores every block it loads, so one pass over the source both finds the
// match and copies what lies before it.
__attribute__((target("avx2"))) size_t copy_to_followed_avx2(char* dst, const char* src, size_t n,
                                                             size_t avail, char byte, char follow,
                                                             size_t gap) {
  const __m256i wanted = _mm256_set1_epi8(byte);
  const __m256i then = _mm256_set1_epi8(follow);
  auto load = [src](size_t at) __attribute__((target("avx2"))) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + at));
  };
  auto store = [dst](size_t at, __m256i v) __attribute__((target("avx2"))) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + at), v);
  };
  // The first 32 starts at `at` whose byte and follow byte match.
  auto hits = [&](size_t at, __m256i v) __attribute__((target("avx2"))) {
    const __m256i both =
        _mm256_and_si256(_mm256_cmpeq_epi8(v, wanted), _mm256_cmpeq_epi8(load(at + gap), then));
    return static_cast<uint32_t>(_mm256_movemask_epi8(both));
  };
  // Blocks end at `stop`, so that their follow bytes lie before avail.
  const size_t stop = std::min(n, avail >= gap ? avail - gap : 0);
  size_t i = 0;
  for (; i + 128 <= stop; i += 128) {
    const __m256i a = load(i), b = load(i + 32), c = load(i + 64), d = load(i + 96);
    store(i, a);
    store(i + 32, b);
    store(i + 64, c);
    store(i + 96, d);
    const __m256i ab = _mm256_or_si256(_mm256_cmpeq_epi8(a, wanted), _mm256_cmpeq_epi8(b, wanted));
    const __m256i cd = _mm256_or_si256(_mm256_cmpeq_epi8(c, wanted), _mm256_cmpeq_epi8(d, wanted));
    const __m256i any = _mm256_or_si256(ab, cd);
    if (_mm256_testz_si256(any, any)) continue;
    const __m256i quarters[] = {a, b, c, d};
    for (size_t q = 0; q < 4; ++q)
      if (const uint32_t mask = hits(i + 32 * q, quarters[q]))
        return i + 32 * q + static_cast<size_t>(__builtin_ctz(mask));
  }
  for (; i + 32 <= stop; i += 32) {
    const __m256i a = load(i);
    store(i, a);
    if (const uint32_t mask = hits(i, a)) return i + static_cast<size_t>(__builtin_ctz(mask));
  }
  return i + copy_to_followed_scalar(dst + i, src + i, n - i, avail - i, byte, follow, gap);
}

}  // namespace

Level best_level() noexcept {
  static const Level best = detect();
  return best;
}

Level active_level() noexcept { return current.load(std::memory_order_relaxed); }

void force_level(Level level) noexcept {
  current.store(level > best_level() ? best_level() : level, std::memory_order_relaxed);
}

void copy_bytes(char* dst, const char* src, size_t n) noexcept {
  // Past about a MiB the library's copy wins: it streams around the caches.
  constexpr size_t kVectorLoopFrom = 256, kVectorLoopTo = size_t{1} << 20;
  if (n >= kVectorLoopFrom && n < kVectorLoopTo && active_level() == Level::AVX2)
    return copy_avx2(dst, src, n);
  if (n != 0) std::memcpy(dst, src, n);
}

const char* find_any(const char* hay, size_t n, const char* set, size_t k) noexcept {
  switch (active_level()) {
    case Level::AVX2:
      switch (k) {
        case 1:
          return find_any_avx2<1>(hay, n, set);
        case 2:
          return find_any_avx2<2>(hay, n, set);
        case 3:
          return find_any_avx2<3>(hay, n, set);
        default:
          return find_any_avx2<4>(hay, n, set);
      }
    case Level::SSE2:
      return find_any_sse2(hay, n, set, k);
    default:
      return find_any_scalar(hay, n, set, k);
  }
}

const char* find_any_followed(const char* hay, size_t n, const char* set, size_t k, char follow,
                              size_t gap) noexcept {
  switch (active_level()) {
    case Level::AVX2:
      switch (k) {
        case 1:
          return find_any_followed_avx2<1>(hay, n, set, follow, gap);
        case 2:
          return find_any_followed_avx2<2>(hay, n, set, follow, gap);
        case 3:
          return find_any_followed_avx2<3>(hay, n, set, follow, gap);
        default:
          return find_any_followed_avx2<4>(hay, n, set, follow, gap);
      }
    case Level::SSE2:
      return find_any_followed_sse2(hay, n, set, k, follow, gap);
    default:
      return find_any_followed_scalar(hay, n, set, k, follow, gap);
  }
}

size_t copy_to_followed(char* dst, const char* src, size_t n, size_t avail, char byte,
                        char follow, size_t gap) noexcept {
  switch (active_level()) {
    case Level::AVX2:
      return copy_to_followed_avx2(dst, src, n, avail, byte, follow, gap);
    case Level::SSE2: {
      // Found first, then copied: without wide stores the copy gains nothing
      // from riding along with the search.
      const char* hit =
          find_any_followed_sse2(src, std::min(avail, n + gap), &byte, 1, follow, gap);
      const size_t k = hit == nullptr ? n : static_cast<size_t>(hit - src);
      copy_bytes(dst, src, k);
      return k;
    }
    default:
      return copy_to_followed_scalar(dst, src, n, avail, byte, follow, gap);
  }
}

size_t find_all_any_followed(const char* hay, size_t n, size_t from, const char* set, size_t k,
                             char follow, size_t gap, size_t* out, size_t cap) noexcept {
  switch (active_level()) {
    case Level::AVX2:
      return find_all_any_followed_avx2(hay, n, from, set, k, follow, gap, out, cap);
    case Level::SSE2:
      return find_all_any_followed_each<find_any_followed_sse2>(hay, n, from, set, k, follow,
                                                               gap, out, cap);
    default:
      return find_all_any_followed_each<find_any_followed_scalar>(hay, n, from, set, k, follow, gap,
                                                                 out, cap);
  }
}

const char* find_byte_unfollowed(const char* hay, size_t n, char byte, char next) noexcept {
  switch (active_level()) {
    case Level::AVX2:
      return find_byte_unfollowed_avx2(hay, n, byte, next);
    case Level::SSE2:
      return find_byte_unfollowed_sse2(hay, n, byte, next);
    default:
      return find_byte_unfollowed_scalar(hay, n, byte, next);
  }
}

const char* find_substring(const char* hay, size_t n, const char* needle, size_t m,
                           PairFilter pair) noexcept {
  if (m > n) return nullptr;
  Search q{hay, needle, m, pair, Budget{n + 64}};
  Outcome out;
  switch (active_level()) {
    case Level::AVX2:
      out = scan_forward_avx2(q, n);
      break;
    case Level::SSE2:
      out = scan_forward_sse2(q, n);
      break;
    default:
      out = scan_forward_scalar(q, n, 0);
  }
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
  Outcome out;
  switch (active_level()) {
    case Level::AVX2:
      out = scan_backward_avx2(q, n);
      break;
    case Level::SSE2:
      out = scan_backward_sse2(q, n);
      break;
    default:
      out = scan_backward_scalar(q, n - m + 1);
  }
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

// The byte kernels behind the scanning routines.
//
// Each has a scalar version and one written over the vector types of
// scan/vector.h; the level in force picks which runs. All of them read only inside
// [hay, hay + n): vector loops stop where a full load would cross the end and
// finish with one load that ends exactly at the end (ignoring the positions
// already examined), or with the narrower version when the range is shorter
// than one load.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "scan/vector.h"

namespace tesserine::simd {

// Copies src[0..n) to dst[0..n); the two do not overlap. A rewrite copies the
// stretches between its edits, mostly a few hundred bytes to a few KiB long, and
// at those lengths the C library's copy spends a good part of its time choosing
// a strategy; a plain vector loop does not.
void copy_bytes(char* dst, const char* src, size_t n) noexcept;

// First byte of hay[0..n) equal to one of set[0..k) (1 <= k <= 4), or nullptr.
const char* find_any(const char* hay, size_t n, const char* set, size_t k) noexcept;

// First s with s + gap < n, hay[s] one of set[0..k) (1 <= k <= 4) and
// hay[s + gap] == follow, or nullptr; with gap 0 the byte itself must also be
// `follow`. Filters a delimiter by the byte
// that must come after it, so that the many delimiters that fail that test cost
// the caller nothing.
const char* find_any_followed(const char* hay, size_t n, const char* set, size_t k, char follow,
                              size_t gap) noexcept;

// Copies src[0..n) to dst up to the first s with src[s] == byte and, when
// s + gap < avail, src[s + gap] == follow; returns s, or n when there is none.
// Bytes of src up to avail (>= n) may be read. Whole blocks are stored, so
// bytes after s may be written too, but nothing at or past dst + n. For a
// rewrite that copies the text it searches: one pass over it instead of two.
size_t copy_to_followed(char* dst, const char* src, size_t n, size_t avail, char byte, char follow,
                        size_t gap) noexcept;

// The matches of find_any_followed in hay[0..n) that start at or after `from`,
// left to right, at most `cap` of them, written to `out`; returns how many. For
// a caller that visits many matches in order: one pass keeps its set-up from
// one match to the next instead of starting again at each.
size_t find_all_any_followed(const char* hay, size_t n, size_t from, const char* set, size_t k,
                             char follow, size_t gap, size_t* out, size_t cap) noexcept;

// First s < n with hay[s] == byte that is the last byte or is not followed by
// `next`, or nullptr.
const char* find_byte_unfollowed(const char* hay, size_t n, char byte, char next) noexcept;

// The two bytes of a needle whose positions filter candidates: its two rarest
// in markup. Computed once per needle, at compile time for constant needles.
struct PairFilter {
  uint32_t first;  // offsets in the needle, different
  uint32_t second;
};

namespace detail {
// How common a byte is in WordprocessingML, higher is more common; bytes not
// listed (punctuation such as the template delimiters, control and non-ASCII
// bytes) count as rare.
constexpr char kCommonBytes[] =
    "<>/w:\"= rtpPaeolsnRicdu0123456789FmvybhAfCgSkTzxqWNjBEDGHIJKLMOQUVXYZ";
constexpr std::array<uint8_t, 256> kRank = [] {
  std::array<uint8_t, 256> rank{};
  for (size_t i = 0; i + 1 < sizeof kCommonBytes; ++i)
    rank[static_cast<unsigned char>(kCommonBytes[i])] =
        static_cast<uint8_t>(sizeof kCommonBytes - i);
  return rank;
}();
constexpr unsigned rank_of(char c) noexcept { return kRank[static_cast<unsigned char>(c)]; }
}  // namespace detail

// For m >= 2.
constexpr PairFilter choose_pair(const char* needle, size_t m) noexcept {
  size_t best = 0;
  for (size_t i = 1; i < m; ++i)
    if (detail::rank_of(needle[i]) < detail::rank_of(needle[best])) best = i;
  size_t second = best == 0 ? 1 : 0;
  for (size_t i = 0; i < m; ++i)
    if (i != best && detail::rank_of(needle[i]) < detail::rank_of(needle[second])) second = i;
  return {static_cast<uint32_t>(best), static_cast<uint32_t>(second)};
}

// First / last occurrence of needle[0..m) (m >= 2) in hay[0..n), or nullptr.
// Candidates are filtered on the two needle bytes that `pair` names and verified
// with memcmp; when verification stops paying for itself the search finishes
// with an algorithm linear in n, so the cost is O(n) for any needle. The reverse
// search of a needle over 256 bytes allocates a table, and so may throw
// std::bad_alloc.
const char* find_substring(const char* hay, size_t n, const char* needle, size_t m,
                           PairFilter pair) noexcept;
const char* rfind_substring(const char* hay, size_t n, const char* needle, size_t m,
                            PairFilter pair);
// The same with the pair chosen by choose_pair.
const char* find_substring(const char* hay, size_t n, const char* needle, size_t m) noexcept;

const char* rfind_substring(const char* hay, size_t n, const char* needle, size_t m);

}  // namespace tesserine::simd

#include "render/paragraph_breaks.h"

#include <immintrin.h>

#include <bit>
#include <cstring>

#include "scan/simd.h"

namespace tesserine {
namespace {

constexpr size_t kTagLength = 5;  // "<w:p" and the byte after it

template <class Unit>
bool tag_at(const Unit* t) {
  return t[0] == '<' && t[1] == 'w' && t[2] == ':' && t[3] == 'p' && (t[4] == '>' || t[4] == ' ');
}

template <class Unit>
bool is_surrogate(Unit u) {
  return sizeof(Unit) > 1 && (static_cast<uint32_t>(u) & 0xFFFFF800u) == 0xD800;
}

// One bit per byte of a vector's mask; a unit's lowest bit stands for the unit.
template <class Unit>
constexpr uint32_t kUnitBits = sizeof(Unit) == 1   ? 0xFFFFFFFFu
                               : sizeof(Unit) == 2 ? 0x55555555u
                                                   : 0x11111111u;

template <class Unit>
size_t lowest_unit(uint32_t bits) {
  return static_cast<size_t>(std::countr_zero(bits)) / sizeof(Unit);
}

// The walks go from `i` to the end one unit at a time, for what the vector
// loops leave over and on processors without them.

template <class Unit>
BreakScan first_scalar(const Unit* t, size_t n, size_t i, bool seen) {
  for (; i < n; ++i) {
    seen |= is_surrogate(t[i]);
    if (i + kTagLength <= n && tag_at(t + i)) return {i, 0, seen};
  }
  return {n, 0, seen};
}

// `found` holds the first tag and what a vector loop found before i.
template <class Unit>
BreakScan insert_scalar(const Unit* t, size_t n, size_t i, Unit* out, BreakScan found) {
  for (; i < n; ++i) {
    found.more |= is_surrogate(t[i]);
    if (i + kTagLength <= n && tag_at(t + i)) out[i + found.count++] = '\n';
    out[i + found.count] = t[i];
  }
  return found;
}

template <class Unit>
bool is_control(Unit u) {
  return u == '\a' || u == '\t' || u == '\n' || u == '\f';
}

template <class Unit>
bool is_delimiter(Unit u) {
  return u == '{' || u == '}' || u == '%';
}

// An LF directly before a tag.
template <class Unit>
bool break_at(const Unit* t, size_t i, size_t n) {
  return t[i] == '\n' && i + 1 + kTagLength <= n && tag_at(t + i + 1);
}

// A surrogate, or an underscore that restore_delimiters may turn into part of a
// delimiter: either one keeps post_render from being a removal of LFs alone.
template <class Unit>
bool odd_at(const Unit* t, size_t i, size_t n) {
  if (is_surrogate(t[i])) return true;
  return t[i] == '_' && i > 0 && i + 1 < n && is_delimiter(t[i - 1]) && is_delimiter(t[i + 1]);
}

// The same for a listing control character other than an LF before a tag; one
// that comes before the first tag is the exception, as resolve_listing only
// looks inside paragraphs (an LF after the XML declaration is the usual case),
// and is not asked about here.
template <class Unit>
bool needs_more(const Unit* t, size_t i, size_t n) {
  return odd_at(t, i, n) || (is_control(t[i]) && !break_at(t, i, n));
}

// Up to the first tag: its offset, or n; sets `more` instead when an odd unit
// comes first.
template <class Unit>
size_t rendered_prefix_scalar(const Unit* t, size_t n, size_t i, bool& more) {
  for (; i < n; ++i) {
    if (odd_at(t, i, n)) {
      more = true;
      return n;
    }
    if (i + kTagLength <= n && tag_at(t + i)) return i;
  }
  return n;
}

// From the first tag or the LF before it, on; `found` holds what a vector loop
// found before i. Without kWrite the removal is only counted.
template <bool kWrite, class Unit>
BreakScan remove_scalar(const Unit* t, size_t n, size_t i, Unit* out, BreakScan found) {
  for (; i < n; ++i) {
    if (needs_more(t, i, n)) {
      found.more = true;
      return found;
    }
    if (break_at(t, i, n)) {
      if (found.count++ == 0) found.first = i;
      continue;
    }
    if (kWrite) out[i - found.count] = t[i];
  }
  return found;
}

template <class Unit>
bool any_odd(const Unit* t, size_t n, size_t i, uint32_t odd) {
  for (; odd != 0; odd &= odd - 1)
    if (odd_at(t, i + lowest_unit<Unit>(odd), n)) return true;
  return false;
}

// The per-tag stores of a vector loop, kBlock bytes wide (see below).

// Puts an LF before each tag of `tags` in the block at i.
template <size_t kBlock, class Unit>
void put_breaks(const Unit* t, size_t i, uint32_t tags, Unit* out, BreakScan& found) {
  for (; tags != 0; tags &= tags - 1) {
    const size_t r = lowest_unit<Unit>(tags);
    out[i + found.count++ + r] = '\n';
    std::memcpy(out + i + found.count + r, t + i + r, kBlock);
  }
}

// Blocks that hold none of the four control characters, no underscore and no
// surrogate (nearly all of them) cost removal a few compares; the others are
// looked at unit by unit where it matters. Takes out the LFs of `breaks` in
// the block at i, or returns false when post_render needs more than that.
template <bool kWrite, size_t kBlock, class Unit>
bool take_out_breaks(const Unit* t, size_t n, size_t i, uint32_t breaks, uint32_t controls,
                     uint32_t odd, Unit* out, BreakScan& found) {
  if ((controls & ~breaks) != 0 || any_odd(t, n, i, odd)) return false;
  for (; breaks != 0; breaks &= breaks - 1) {
    const size_t r = lowest_unit<Unit>(breaks);
    if (found.count == 0) found.first = i + r;
    if constexpr (kWrite) std::memcpy(out + (i + r - found.count), t + i + r + 1, kBlock);
    ++found.count;
  }
  return true;
}

// The vector loops test every position in full: a cheaper filter that turns
// most blocks away first costs more in mispredicted branches than it saves.
//
// insert copies block by block, each with one store at its shifted place. For a
// tag at r in the block, the LF overwrites the unit that would have gone there
// and one more store puts the units from r on one place further; stores later
// in the text only ever land after the units already placed, so nothing placed
// is overwritten with anything but the same value. That store reads up to a
// block past the current one, hence the loops stop two blocks before the end.
// remove works the same way round: for an LF at r, one store puts the units
// after it one place back, over the LF.

// ---- SSE2 -----------------------------------------------------------------

template <class Unit>
__m128i load_sse2(const Unit* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

template <class Unit>
__m128i eq_sse2(__m128i v, char c) {
  if constexpr (sizeof(Unit) == 1) return _mm_cmpeq_epi8(v, _mm_set1_epi8(c));
  else if constexpr (sizeof(Unit) == 2) return _mm_cmpeq_epi16(v, _mm_set1_epi16(c));
  else return _mm_cmpeq_epi32(v, _mm_set1_epi32(c));
}

template <class Unit>
__m128i surrogates_sse2(__m128i v) {
  if constexpr (sizeof(Unit) == 1) return _mm_setzero_si128();
  else if constexpr (sizeof(Unit) == 2)
    return _mm_cmpeq_epi16(_mm_and_si128(v, _mm_set1_epi16(-0x800)), _mm_set1_epi16(-0x2800));
  else return _mm_cmpeq_epi32(_mm_and_si128(v, _mm_set1_epi32(-0x800)), _mm_set1_epi32(0xD800));
}

// One bit per unit of the lanes set in v.
template <class Unit>
uint32_t unit_mask_sse2(__m128i v) {
  return static_cast<uint32_t>(_mm_movemask_epi8(v)) & kUnitBits<Unit>;
}

// The tags starting in the block of t[0..16 bytes), one bit per byte.
template <class Unit>
uint32_t tags_sse2(const Unit* t, __m128i block) {
  const __m128i four = load_sse2(t + 4);
  const __m128i tag = _mm_and_si128(
      _mm_and_si128(_mm_and_si128(eq_sse2<Unit>(block, '<'), eq_sse2<Unit>(load_sse2(t + 3), 'p')),
                    _mm_and_si128(eq_sse2<Unit>(load_sse2(t + 1), 'w'),
                                  eq_sse2<Unit>(load_sse2(t + 2), ':'))),
      _mm_or_si128(eq_sse2<Unit>(four, '>'), eq_sse2<Unit>(four, ' ')));
  return unit_mask_sse2<Unit>(tag);
}

template <class Unit>
BreakScan first_sse2(const Unit* t, size_t n) {
  constexpr size_t kLanes = 16 / sizeof(Unit);
  __m128i seen = _mm_setzero_si128();
  size_t i = 0;
  for (; i + 2 * kLanes <= n; i += kLanes) {
    const __m128i block = load_sse2(t + i);
    seen = _mm_or_si128(seen, surrogates_sse2<Unit>(block));
    if (const uint32_t bits = tags_sse2(t + i, block))
      return {i + lowest_unit<Unit>(bits), 0, _mm_movemask_epi8(seen) != 0};
  }
  return first_scalar(t, n, i, _mm_movemask_epi8(seen) != 0);
}

template <class Unit>
BreakScan insert_sse2(const Unit* t, size_t n, size_t i, Unit* out) {
  constexpr size_t kLanes = 16 / sizeof(Unit);
  __m128i seen = _mm_setzero_si128();
  BreakScan found{i, 0, false};
  for (; i + 2 * kLanes <= n; i += kLanes) {
    const __m128i block = load_sse2(t + i);
    seen = _mm_or_si128(seen, surrogates_sse2<Unit>(block));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + found.count), block);
    put_breaks<16>(t, i, tags_sse2(t + i, block), out, found);
  }
  found.more = _mm_movemask_epi8(seen) != 0;
  return insert_scalar(t, n, i, out, found);
}


template <class Unit>
size_t rendered_prefix_sse2(const Unit* t, size_t n, bool& more) {
  constexpr size_t kLanes = 16 / sizeof(Unit);
  size_t i = 0;
  for (; i + 2 * kLanes <= n; i += kLanes) {
    const __m128i block = load_sse2(t + i);
    const __m128i odd = _mm_or_si128(surrogates_sse2<Unit>(block), eq_sse2<Unit>(block, '_'));
    if (!(_mm_movemask_epi8(odd) == 0) &&
        any_odd(t, n, i, unit_mask_sse2<Unit>(odd))) {
      more = true;
      return n;
    }
    if (const uint32_t bits = tags_sse2(t + i, block)) return i + lowest_unit<Unit>(bits);
  }
  return rendered_prefix_scalar(t, n, i, more);
}

template <bool kWrite, class Unit>
BreakScan remove_sse2(const Unit* t, size_t n, size_t i, Unit* out) {
  constexpr size_t kLanes = 16 / sizeof(Unit);
  BreakScan found{n, 0, false};
  for (; i + 2 * kLanes + kTagLength <= n; i += kLanes) {
    const __m128i block = load_sse2(t + i);
    if (kWrite) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + (i - found.count)), block);
    const __m128i lf = eq_sse2<Unit>(block, '\n');
    const __m128i bel_or_ff = _mm_or_si128(eq_sse2<Unit>(block, '\a'), eq_sse2<Unit>(block, '\f'));
    const __m128i controls = _mm_or_si128(_mm_or_si128(lf, eq_sse2<Unit>(block, '\t')), bel_or_ff);
    const __m128i odd = _mm_or_si128(surrogates_sse2<Unit>(block), eq_sse2<Unit>(block, '_'));
    const __m128i any = _mm_or_si128(controls, odd);
    if (_mm_movemask_epi8(any) == 0) continue;
    const uint32_t breaks = unit_mask_sse2<Unit>(lf) & tags_sse2(t + i + 1, load_sse2(t + i + 1));
    if (!take_out_breaks<kWrite, 16>(t, n, i, breaks, unit_mask_sse2<Unit>(controls),
                                     unit_mask_sse2<Unit>(odd), out, found)) {
      found.more = true;
      return found;
    }
  }
  return remove_scalar<kWrite>(t, n, i, out, found);
}

// ---- AVX2 -----------------------------------------------------------------

template <class Unit>
__attribute__((target("avx2"))) __m256i load_avx2(const Unit* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

template <class Unit>
__attribute__((target("avx2"))) __m256i eq_avx2(__m256i v, char c) {
  if constexpr (sizeof(Unit) == 1) return _mm256_cmpeq_epi8(v, _mm256_set1_epi8(c));
  else if constexpr (sizeof(Unit) == 2) return _mm256_cmpeq_epi16(v, _mm256_set1_epi16(c));
  else return _mm256_cmpeq_epi32(v, _mm256_set1_epi32(c));
}

template <class Unit>
__attribute__((target("avx2"))) __m256i surrogates_avx2(__m256i v) {
  if constexpr (sizeof(Unit) == 1) return _mm256_setzero_si256();
  else if constexpr (sizeof(Unit) == 2)
    return _mm256_cmpeq_epi16(_mm256_and_si256(v, _mm256_set1_epi16(-0x800)),
                              _mm256_set1_epi16(-0x2800));
  else
    return _mm256_cmpeq_epi32(_mm256_and_si256(v, _mm256_set1_epi32(-0x800)),
                              _mm256_set1_epi32(0xD800));
}

// One bit per unit of the lanes set in v.
template <class Unit>
__attribute__((target("avx2"))) uint32_t unit_mask_avx2(__m256i v) {
  return static_cast<uint32_t>(_mm256_movemask_epi8(v)) & kUnitBits<Unit>;
}

template <class Unit>
__attribute__((target("avx2"))) uint32_t tags_avx2(const Unit* t, __m256i block) {
  const __m256i four = load_avx2(t + 4);
  const __m256i tag = _mm256_and_si256(
      _mm256_and_si256(
          _mm256_and_si256(eq_avx2<Unit>(block, '<'), eq_avx2<Unit>(load_avx2(t + 3), 'p')),
          _mm256_and_si256(eq_avx2<Unit>(load_avx2(t + 1), 'w'),
                           eq_avx2<Unit>(load_avx2(t + 2), ':'))),
      _mm256_or_si256(eq_avx2<Unit>(four, '>'), eq_avx2<Unit>(four, ' ')));
  return unit_mask_avx2<Unit>(tag);
}

template <class Unit>
__attribute__((target("avx2"))) BreakScan first_avx2(const Unit* t, size_t n) {
  constexpr size_t kLanes = 32 / sizeof(Unit);
  __m256i seen = _mm256_setzero_si256();
  size_t i = 0;
  for (; i + 2 * kLanes <= n; i += kLanes) {
    const __m256i block = load_avx2(t + i);
    seen = _mm256_or_si256(seen, surrogates_avx2<Unit>(block));
    if (const uint32_t bits = tags_avx2(t + i, block))
      return {i + lowest_unit<Unit>(bits), 0, !_mm256_testz_si256(seen, seen)};
  }
  return first_scalar(t, n, i, !_mm256_testz_si256(seen, seen));
}

template <class Unit>
__attribute__((target("avx2"))) BreakScan insert_avx2(const Unit* t, size_t n, size_t i,
                                                       Unit* out) {
  constexpr size_t kLanes = 32 / sizeof(Unit);
  __m256i seen = _mm256_setzero_si256();
  BreakScan found{i, 0, false};
  for (; i + 2 * kLanes <= n; i += kLanes) {
    const __m256i block = load_avx2(t + i);
    seen = _mm256_or_si256(seen, surrogates_avx2<Unit>(block));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i + found.count), block);
    put_breaks<32>(t, i, tags_avx2(t + i, block), out, found);
  }
  found.more = !_mm256_testz_si256(seen, seen);
  return insert_scalar(t, n, i, out, found);
}


template <class Unit>
__attribute__((target("avx2"))) size_t rendered_prefix_avx2(const Unit* t, size_t n, bool& more) {
  constexpr size_t kLanes = 32 / sizeof(Unit);
  size_t i = 0;
  for (; i + 2 * kLanes <= n; i += kLanes) {
    const __m256i block = load_avx2(t + i);
    const __m256i odd = _mm256_or_si256(surrogates_avx2<Unit>(block), eq_avx2<Unit>(block, '_'));
    if (!(_mm256_testz_si256(odd, odd)) &&
        any_odd(t, n, i, unit_mask_avx2<Unit>(odd))) {
      more = true;
      return n;
    }
    if (const uint32_t bits = tags_avx2(t + i, block)) return i + lowest_unit<Unit>(bits);
  }
  return rendered_prefix_scalar(t, n, i, more);
}

template <bool kWrite, class Unit>
__attribute__((target("avx2"))) BreakScan remove_avx2(const Unit* t, size_t n, size_t i,
                                                       Unit* out) {
  constexpr size_t kLanes = 32 / sizeof(Unit);
  BreakScan found{n, 0, false};
  for (; i + 2 * kLanes + kTagLength <= n; i += kLanes) {
    const __m256i block = load_avx2(t + i);
    if (kWrite) _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + (i - found.count)), block);
    const __m256i lf = eq_avx2<Unit>(block, '\n');
    const __m256i bel_or_ff =
        _mm256_or_si256(eq_avx2<Unit>(block, '\a'), eq_avx2<Unit>(block, '\f'));
    const __m256i controls =
        _mm256_or_si256(_mm256_or_si256(lf, eq_avx2<Unit>(block, '\t')), bel_or_ff);
    const __m256i odd = _mm256_or_si256(surrogates_avx2<Unit>(block), eq_avx2<Unit>(block, '_'));
    const __m256i any = _mm256_or_si256(controls, odd);
    if (_mm256_testz_si256(any, any)) continue;
    const uint32_t breaks = unit_mask_avx2<Unit>(lf) & tags_avx2(t + i + 1, load_avx2(t + i + 1));
    if (!take_out_breaks<kWrite, 32>(t, n, i, breaks, unit_mask_avx2<Unit>(controls),
                                     unit_mask_avx2<Unit>(odd), out, found)) {
      found.more = true;
      return found;
    }
  }
  return remove_scalar<kWrite>(t, n, i, out, found);
}

}  // namespace

template <class Unit>
BreakScan first_paragraph_start(std::span<const Unit> text) noexcept {
  switch (simd::active_level()) {
    case simd::Level::AVX2:
      return first_avx2(text.data(), text.size());
    case simd::Level::SSE2:
      return first_sse2(text.data(), text.size());
    default:
      return first_scalar(text.data(), text.size(), 0, false);
  }
}

template <class Unit>
BreakScan insert_paragraph_breaks(std::span<const Unit> text, size_t first, Unit* out) noexcept {
  // Nothing before the first tag needs looking at again.
  simd::copy_bytes(reinterpret_cast<char*>(out), reinterpret_cast<const char*>(text.data()),
                   first * sizeof(Unit));
  switch (simd::active_level()) {
    case simd::Level::AVX2:
      return insert_avx2(text.data(), text.size(), first, out);
    case simd::Level::SSE2:
      return insert_sse2(text.data(), text.size(), first, out);
    default:
      return insert_scalar(text.data(), text.size(), first, out, {first, 0, false});
  }
}

template <class Unit>
BreakScan first_rendered_break(std::span<const Unit> text) noexcept {
  const Unit* t = text.data();
  const size_t n = text.size();
  bool more = false;
  const size_t first_tag = [&] {
    switch (simd::active_level()) {
      case simd::Level::AVX2:
        return rendered_prefix_avx2(t, n, more);
      case simd::Level::SSE2:
        return rendered_prefix_sse2(t, n, more);
      default:
        return rendered_prefix_scalar(t, n, 0, more);
    }
  }();
  // Without a tag there is no LF to take out, and no paragraph for a control
  // character to be resolved in.
  if (more || first_tag == n) return {n, 0, more};
  return {first_tag > 0 && t[first_tag - 1] == '\n' ? first_tag - 1 : first_tag, 0, false};
}

namespace {

template <bool kWrite, class Unit>
BreakScan remove_breaks(std::span<const Unit> text, size_t from, Unit* out) {
  switch (simd::active_level()) {
    case simd::Level::AVX2:
      return remove_avx2<kWrite>(text.data(), text.size(), from, out);
    case simd::Level::SSE2:
      return remove_sse2<kWrite>(text.data(), text.size(), from, out);
    default:
      return remove_scalar<kWrite>(text.data(), text.size(), from, out, {text.size(), 0, false});
  }
}

}  // namespace

template <class Unit>
BreakScan remove_rendered_breaks(std::span<const Unit> text, size_t from, Unit* out) noexcept {
  if (out == nullptr) return remove_breaks<false>(text, from, out);
  simd::copy_bytes(reinterpret_cast<char*>(out), reinterpret_cast<const char*>(text.data()),
                   from * sizeof(Unit));
  return remove_breaks<true>(text, from, out);
}

#define TESSERINE_PARAGRAPH_BREAKS(Unit)                                                  \
  template BreakScan first_paragraph_start<Unit>(std::span<const Unit>) noexcept;   \
  template BreakScan insert_paragraph_breaks<Unit>(std::span<const Unit>, size_t, Unit*) noexcept; \
  template BreakScan first_rendered_break<Unit>(std::span<const Unit>) noexcept;     \
  template BreakScan remove_rendered_breaks<Unit>(std::span<const Unit>, size_t, Unit*) noexcept;
TESSERINE_PARAGRAPH_BREAKS(char)
TESSERINE_PARAGRAPH_BREAKS(uint8_t)
TESSERINE_PARAGRAPH_BREAKS(uint16_t)
TESSERINE_PARAGRAPH_BREAKS(uint32_t)
#undef TESSERINE_PARAGRAPH_BREAKS

}  // namespace tesserine

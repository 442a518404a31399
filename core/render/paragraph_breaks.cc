#include "render/paragraph_breaks.h"

#include <bit>
#include <cstring>

#include "scan/simd.h"
#include "scan/vector.h"

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

template <class Unit>
struct Kernels {
  BreakScan (*first)(const Unit* t, size_t n);
  BreakScan (*insert)(const Unit* t, size_t n, size_t i, Unit* out);
  size_t (*rendered_prefix)(const Unit* t, size_t n, bool& more);
  BreakScan (*remove)(const Unit* t, size_t n, size_t i, Unit* out);
  BreakScan (*count)(const Unit* t, size_t n, size_t i, Unit* out);
};

// The scalar versions: the walks above from the start.
namespace scalar {

template <class Unit>
BreakScan first(const Unit* t, size_t n) {
  return first_scalar(t, n, 0, false);
}

template <class Unit>
BreakScan insert(const Unit* t, size_t n, size_t i, Unit* out) {
  return insert_scalar(t, n, i, out, {i, 0, false});
}

template <class Unit>
size_t rendered_prefix(const Unit* t, size_t n, bool& more) {
  return rendered_prefix_scalar(t, n, 0, more);
}

template <bool kWrite, class Unit>
BreakScan remove(const Unit* t, size_t n, size_t i, Unit* out) {
  return remove_scalar<kWrite>(t, n, i, out, {n, 0, false});
}

template <class Unit>
constexpr Kernels<Unit> kKernels{first<Unit>, insert<Unit>, rendered_prefix<Unit>,
                                 remove<true, Unit>, remove<false, Unit>};

}  // namespace scalar

#if TESSERINE_VECTOR_X86
namespace sse2 {
#include "render/paragraph_breaks_kernels.inc"
template <class Unit>
constexpr Kernels<Unit> kKernels = kernels_over<simd::Sse2, Unit>();
}  // namespace sse2

TESSERINE_AVX2_BEGIN
namespace avx2 {
#include "render/paragraph_breaks_kernels.inc"
template <class Unit>
constexpr Kernels<Unit> kKernels = kernels_over<simd::Avx2, Unit>();
}  // namespace avx2
TESSERINE_AVX2_END

template <class Unit>
constexpr simd::PerLevel<Kernels<Unit>> kLevels{scalar::kKernels<Unit>, sse2::kKernels<Unit>,
                                                avx2::kKernels<Unit>};
#else
template <class Unit>
constexpr simd::PerLevel<Kernels<Unit>> kLevels{scalar::kKernels<Unit>};
#endif

template <class Unit>
const Kernels<Unit>& kernels() noexcept {
  return kLevels<Unit>.active();
}

}  // namespace

template <class Unit>
BreakScan first_paragraph_start(std::span<const Unit> text) noexcept {
  return kernels<Unit>().first(text.data(), text.size());
}

template <class Unit>
BreakScan insert_paragraph_breaks(std::span<const Unit> text, size_t first, Unit* out) noexcept {
  // Nothing before the first tag needs looking at again.
  simd::copy_bytes(reinterpret_cast<char*>(out), reinterpret_cast<const char*>(text.data()),
                   first * sizeof(Unit));
  return kernels<Unit>().insert(text.data(), text.size(), first, out);
}

template <class Unit>
BreakScan first_rendered_break(std::span<const Unit> text) noexcept {
  const Unit* t = text.data();
  const size_t n = text.size();
  bool more = false;
  const size_t first_tag = kernels<Unit>().rendered_prefix(t, n, more);
  // Without a tag there is no LF to take out, and no paragraph for a control
  // character to be resolved in.
  if (more || first_tag == n) return {n, 0, more};
  return {first_tag > 0 && t[first_tag - 1] == '\n' ? first_tag - 1 : first_tag, 0, false};
}

template <class Unit>
BreakScan remove_rendered_breaks(std::span<const Unit> text, size_t from, Unit* out) noexcept {
  if (out == nullptr) return kernels<Unit>().count(text.data(), text.size(), from, out);
  simd::copy_bytes(reinterpret_cast<char*>(out), reinterpret_cast<const char*>(text.data()),
                   from * sizeof(Unit));
  return kernels<Unit>().remove(text.data(), text.size(), from, out);
}

#define TESSERINE_PARAGRAPH_BREAKS(Unit)                                                           \
  template BreakScan first_paragraph_start<Unit>(std::span<const Unit>) noexcept;                  \
  template BreakScan insert_paragraph_breaks<Unit>(std::span<const Unit>, size_t, Unit*) noexcept; \
  template BreakScan first_rendered_break<Unit>(std::span<const Unit>) noexcept;                   \
  template BreakScan remove_rendered_breaks<Unit>(std::span<const Unit>, size_t, Unit*) noexcept;
TESSERINE_PARAGRAPH_BREAKS(char)
TESSERINE_PARAGRAPH_BREAKS(uint8_t)
TESSERINE_PARAGRAPH_BREAKS(uint16_t)
TESSERINE_PARAGRAPH_BREAKS(uint32_t)
#undef TESSERINE_PARAGRAPH_BREAKS

}  // namespace tesserine

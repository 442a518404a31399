#include "scan/utf8.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <type_traits>
#include <utility>

#include "scan/vector.h"

namespace tesserine::utf8 {
namespace {

// The kernels handle the ASCII runs. Each returns how many leading units of its
// input are ASCII (code point < 0x80) and have been written to the output.

// Leading ASCII bytes of s[0..n).
using SkipFn = size_t (*)(const uint8_t* s, size_t n);
// Widens the leading ASCII bytes of s[0..n) into out[0..room).
template <class Unit>
using WidenFn = size_t (*)(const uint8_t* s, size_t n, Unit* out, size_t room);
// Narrows the leading ASCII units of u[0..n) into out[0..n).
template <class Unit>
using NarrowFn = size_t (*)(const Unit* u, size_t n, char* out);

struct Kernels {
  SkipFn skip;
  WidenFn<uint8_t> widen1;
  WidenFn<uint16_t> widen2;
  WidenFn<uint32_t> widen4;
  NarrowFn<uint8_t> narrow1;
  NarrowFn<uint16_t> narrow2;
  NarrowFn<uint32_t> narrow4;

  template <class Unit>
  WidenFn<Unit> widen() const {
    if constexpr (sizeof(Unit) == 1)
      return widen1;
    else if constexpr (sizeof(Unit) == 2)
      return widen2;
    else
      return widen4;
  }
  template <class Unit>
  NarrowFn<Unit> narrow() const {
    if constexpr (sizeof(Unit) == 1)
      return narrow1;
    else if constexpr (sizeof(Unit) == 2)
      return narrow2;
    else
      return narrow4;
  }
};

// The scalar versions: the reference of the vector versions, and their tails.
namespace scalar {

size_t skip(const uint8_t* s, size_t n) {
  size_t i = 0;
  while (i < n && s[i] < 0x80) ++i;
  return i;
}

template <class Unit>
size_t widen(const uint8_t* s, size_t n, Unit* out, size_t room) {
  const size_t end = std::min(n, room);
  size_t i = 0;
  for (; i < end && s[i] < 0x80; ++i) out[i] = s[i];
  return i;
}

template <class Unit>
size_t narrow(const Unit* u, size_t n, char* out) {
  size_t i = 0;
  for (; i < n && u[i] < 0x80; ++i) out[i] = static_cast<char>(u[i]);
  return i;
}

constexpr Kernels kKernels{skip,
                           widen<uint8_t>,
                           widen<uint16_t>,
                           widen<uint32_t>,
                           narrow<uint8_t>,
                           narrow<uint16_t>,
                           narrow<uint32_t>};

}  // namespace scalar

#if TESSERINE_VECTOR_X86
namespace sse2 {
#include "scan/utf8_kernels.inc"
constexpr Kernels kKernels = kernels_over<simd::Sse2>();
}  // namespace sse2

TESSERINE_AVX2_BEGIN
namespace avx2 {
#include "scan/utf8_kernels.inc"
constexpr Kernels kKernels = kernels_over<simd::Avx2>();
}  // namespace avx2
TESSERINE_AVX2_END

constexpr simd::PerLevel<Kernels> kLevels{scalar::kKernels, sse2::kKernels, avx2::kKernels};
#else
constexpr simd::PerLevel<Kernels> kLevels{scalar::kKernels};
#endif

const Kernels& kernels() noexcept { return kLevels.active(); }

// ---- one character --------------------------------------------------------

bool continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

// Decodes the multi-byte sequence at s[0..left) (s[0] >= 0x80) into *cp and
// returns its length, or 0 when it is not well-formed. The second byte's range
// depends on the lead byte; that is what rules out overlongs, surrogates and
// code points above U+10FFFF.
size_t sequence(const uint8_t* s, size_t left, uint32_t* cp) {
  const uint8_t b0 = s[0];
  if (b0 < 0xC2 || b0 > 0xF4) return 0;
  if (b0 < 0xE0) {
    if (left < 2 || !continuation(s[1])) return 0;
    *cp = (uint32_t{b0} & 0x1F) << 6 | (s[1] & 0x3F);
    return 2;
  }
  const uint8_t lo = b0 == 0xE0 ? 0xA0 : b0 == 0xF0 ? 0x90 : 0x80;
  const uint8_t hi = b0 == 0xED ? 0x9F : b0 == 0xF4 ? 0x8F : 0xBF;
  if (left < 3 || s[1] < lo || s[1] > hi || !continuation(s[2])) return 0;
  if (b0 < 0xF0) {
    *cp = (uint32_t{b0} & 0x0F) << 12 | (s[1] & 0x3F) << 6 | (s[2] & 0x3F);
    return 3;
  }
  if (left < 4 || !continuation(s[3])) return 0;
  *cp = (uint32_t{b0} & 0x07) << 18 | (s[1] & 0x3F) << 12 | (s[2] & 0x3F) << 6 | (s[3] & 0x3F);
  return 4;
}

// Writes the UTF-8 form of the non-ASCII code point c (< 0x110000, no
// surrogate) and returns its length.
size_t put(uint32_t c, char* out) {
  auto byte = [](uint32_t v) { return static_cast<char>(v); };
  if (c < 0x800) {
    out[0] = byte(0xC0 | c >> 6);
    out[1] = byte(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = byte(0xE0 | c >> 12);
    out[1] = byte(0x80 | (c >> 6 & 0x3F));
    out[2] = byte(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = byte(0xF0 | c >> 18);
  out[1] = byte(0x80 | (c >> 12 & 0x3F));
  out[2] = byte(0x80 | (c >> 6 & 0x3F));
  out[3] = byte(0x80 | (c & 0x3F));
  return 4;
}

const uint8_t* bytes_of(std::string_view text) {
  return reinterpret_cast<const uint8_t*>(text.data());
}

// ---- drivers --------------------------------------------------------------

template <class Unit>
bool decode_units(std::string_view text, std::span<Unit> out) {
  const WidenFn<Unit> widen = kernels().widen<Unit>();
  const uint8_t* s = bytes_of(text);
  const size_t n = text.size(), room = out.size();
  size_t i = 0, o = 0;
  while (i < n) {
    if (o == room) return false;
    if (s[i] < 0x80) {
      const size_t k = widen(s + i, n - i, out.data() + o, room - o);
      i += k;
      o += k;
      continue;
    }
    uint32_t c = 0;
    const size_t len = sequence(s + i, n - i, &c);
    if (len == 0 || c > std::numeric_limits<Unit>::max()) return false;
    out[o++] = static_cast<Unit>(c);
    i += len;
  }
  return o == room;
}

// Makes room for at least `extra` more bytes in `out`. The caller's lower bound
// plus a quarter covers text with a few non-ASCII characters; denser text grows
// the buffer as usual.
void reserve(Buffer& out, size_t extra) {
  if (out.capacity() - out.size() >= extra) return;
  Buffer grown(checked_add(out.size(), checked_add(extra, extra / 4)));
  grown.append(out.view());
  out = std::move(grown);
}

template <class Unit>
std::optional<size_t> encode_units(std::span<const Unit> units, Buffer& out) {
  const NarrowFn<Unit> narrow = kernels().narrow<Unit>();
  const Unit* u = units.data();
  const size_t n = units.size();
  reserve(out, n);
  size_t i = 0;
  while (i < n) {
    // Written in place, as far as the room lets every unit take four bytes.
    size_t room = out.capacity() - out.size();
    if (room < 4) {
      reserve(out, n - i + 4);
      room = out.capacity() - out.size();
    }
    char* dst = out.reserve_tail(room);
    size_t used = 0;
    while (i < n && used + 4 <= room) {
      const uint32_t c = u[i];
      if (c < 0x80) {
        const size_t k = narrow(u + i, std::min(n - i, room - used), dst + used);
        i += k;
        used += k;
        continue;
      }
      if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) return i;
      used += put(c, dst + used);
      ++i;
    }
    out.commit(used);
  }
  return std::nullopt;
}

}  // namespace

Measure measure(std::string_view text) noexcept {
  const SkipFn skip = kernels().skip;
  const uint8_t* s = bytes_of(text);
  const size_t n = text.size();
  // Every byte past the first of a sequence is one code point fewer than bytes.
  size_t trailing = 0;
  uint8_t top_lead = 0;
  size_t i = 0;
  while (i < n) {
    if (s[i] < 0x80) {
      i += skip(s + i, n - i);
      continue;
    }
    uint32_t c;
    const size_t len = sequence(s + i, n - i, &c);
    if (len == 0) return {0, Width::Ascii, false};
    top_lead = std::max(top_lead, s[i]);
    trailing += len - 1;
    i += len;
  }
  // The lead byte alone tells the width: C2..C3 start U+0080..U+00FF, up to EF
  // the rest of the basic plane, F0..F4 the supplementary planes.
  const Width width = top_lead == 0      ? Width::Ascii
                      : top_lead <= 0xC3 ? Width::Latin1
                      : top_lead <= 0xEF ? Width::Ucs2
                                         : Width::Ucs4;
  return {n - trailing, width, true};
}

bool decode(std::string_view text, std::span<uint8_t> out) noexcept {
  return decode_units(text, out);
}
bool decode(std::string_view text, std::span<uint16_t> out) noexcept {
  return decode_units(text, out);
}
bool decode(std::string_view text, std::span<uint32_t> out) noexcept {
  return decode_units(text, out);
}

std::optional<size_t> encode(std::span<const uint8_t> units, Buffer& out) {
  return encode_units(units, out);
}
std::optional<size_t> encode(std::span<const uint16_t> units, Buffer& out) {
  return encode_units(units, out);
}
std::optional<size_t> encode(std::span<const uint32_t> units, Buffer& out) {
  return encode_units(units, out);
}

}  // namespace tesserine::utf8

#include "scan/utf8.h"

#include <immintrin.h>

#include <algorithm>
#include <limits>
#include <utility>

#include "scan/simd.h"

namespace tesserine::utf8 {
namespace {

// The kernels handle the ASCII runs. Each returns how many leading units of its
// input are ASCII (code point < 0x80) and have been written to the output. A
// vector kernel stores whole blocks, so it may also overwrite the output past
// that count, but never past the room it is given.

// Leading ASCII bytes of s[0..n).
using SkipFn = size_t (*)(const uint8_t* s, size_t n);
// Widens the leading ASCII bytes of s[0..n) into out[0..room).
template <class Unit>
using WidenFn = size_t (*)(const uint8_t* s, size_t n, Unit* out, size_t room);
// Narrows the leading ASCII units of u[0..n) into out[0..n).
template <class Unit>
using NarrowFn = size_t (*)(const Unit* u, size_t n, char* out);

// ---- scalar ---------------------------------------------------------------

size_t skip_scalar(const uint8_t* s, size_t n) {
  size_t i = 0;
  while (i < n && s[i] < 0x80) ++i;
  return i;
}

template <class Unit>
size_t widen_scalar(const uint8_t* s, size_t n, Unit* out, size_t room) {
  const size_t end = std::min(n, room);
  size_t i = 0;
  for (; i < end && s[i] < 0x80; ++i) out[i] = s[i];
  return i;
}

template <class Unit>
size_t narrow_scalar(const Unit* u, size_t n, char* out) {
  size_t i = 0;
  for (; i < n && u[i] < 0x80; ++i) out[i] = static_cast<char>(u[i]);
  return i;
}

// ---- SSE2 -----------------------------------------------------------------

__attribute__((target("sse2"))) __m128i load16(const void* p) {
  return _mm_loadu_si128(static_cast<const __m128i*>(p));
}
__attribute__((target("sse2"))) void store16(void* p, __m128i v) {
  _mm_storeu_si128(static_cast<__m128i*>(p), v);
}

__attribute__((target("sse2"))) size_t skip_sse2(const uint8_t* s, size_t n) {
  size_t i = 0;
  for (; i + 16 <= n; i += 16)
    if (const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(load16(s + i))))
      return i + __builtin_ctz(high);
  return i + skip_scalar(s + i, n - i);
}

template <class Unit>
__attribute__((target("sse2"))) size_t widen_sse2(const uint8_t* s, size_t n, Unit* out,
                                                   size_t room) {
  const __m128i zero = _mm_setzero_si128();
  size_t i = 0;
  for (; i + 16 <= n && i + 16 <= room; i += 16) {
    const __m128i v = load16(s + i);
    if constexpr (sizeof(Unit) == 1) {
      store16(out + i, v);
    } else {
      const __m128i lo = _mm_unpacklo_epi8(v, zero), hi = _mm_unpackhi_epi8(v, zero);
      if constexpr (sizeof(Unit) == 2) {
        store16(out + i, lo);
        store16(out + i + 8, hi);
      } else {
        store16(out + i, _mm_unpacklo_epi16(lo, zero));
        store16(out + i + 4, _mm_unpackhi_epi16(lo, zero));
        store16(out + i + 8, _mm_unpacklo_epi16(hi, zero));
        store16(out + i + 12, _mm_unpackhi_epi16(hi, zero));
      }
    }
    if (const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(v)))
      return i + __builtin_ctz(high);
  }
  return i + widen_scalar(s + i, n - i, out + i, room - i);
}

// All ones in each 4-byte lane below 0x80.
__attribute__((target("sse2"))) __m128i ascii_lanes_sse2(__m128i x) {
  return _mm_cmpeq_epi32(_mm_and_si128(x, _mm_set1_epi32(static_cast<int32_t>(0xFFFFFF80))),
                         _mm_setzero_si128());
}

// 16 units per step: the narrowed bytes, and a mask with bit k set when unit k
// is ASCII. Signed packing is exact for ASCII lanes; the others are garbage
// that the mask excludes.
template <class Unit>
__attribute__((target("sse2"))) size_t narrow_sse2(const Unit* u, size_t n, char* out) {
  if constexpr (sizeof(Unit) == 1) {
    return widen_sse2<uint8_t>(u, n, reinterpret_cast<uint8_t*>(out), n);
  } else {
    const __m128i zero = _mm_setzero_si128();
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
      __m128i bytes, ascii;
      if constexpr (sizeof(Unit) == 2) {
        const __m128i high = _mm_set1_epi16(static_cast<int16_t>(0xFF80));
        const __m128i a = load16(u + i), b = load16(u + i + 8);
        bytes = _mm_packus_epi16(a, b);
        ascii = _mm_packs_epi16(_mm_cmpeq_epi16(_mm_and_si128(a, high), zero),
                                _mm_cmpeq_epi16(_mm_and_si128(b, high), zero));
      } else {
        const __m128i a = load16(u + i), b = load16(u + i + 4), c = load16(u + i + 8),
                      d = load16(u + i + 12);
        bytes = _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
        ascii = _mm_packs_epi16(_mm_packs_epi32(ascii_lanes_sse2(a), ascii_lanes_sse2(b)),
                                _mm_packs_epi32(ascii_lanes_sse2(c), ascii_lanes_sse2(d)));
      }
      store16(out + i, bytes);
      const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(ascii));
      if (mask != 0xFFFF) return i + __builtin_ctz(~mask);
    }
    return i + narrow_scalar(u + i, n - i, out + i);
  }
}

// ---- AVX2 -----------------------------------------------------------------

__attribute__((target("avx2"))) __m256i load32(const void* p) {
  return _mm256_loadu_si256(static_cast<const __m256i*>(p));
}
__attribute__((target("avx2"))) void store32(void* p, __m256i v) {
  _mm256_storeu_si256(static_cast<__m256i*>(p), v);
}

__attribute__((target("avx2"))) size_t skip_avx2(const uint8_t* s, size_t n) {
  size_t i = 0;
  // Two blocks per step: long ASCII runs are the norm, and one test for both
  // halves keeps the loop on the load ports.
  for (; i + 64 <= n; i += 64) {
    const __m256i a = load32(s + i), b = load32(s + i + 32);
    if (_mm256_movemask_epi8(_mm256_or_si256(a, b)) != 0) break;
  }
  for (; i + 32 <= n; i += 32)
    if (const unsigned high = static_cast<unsigned>(_mm256_movemask_epi8(load32(s + i))))
      return i + __builtin_ctz(high);
  return i + skip_sse2(s + i, n - i);
}

template <class Unit>
__attribute__((target("avx2"))) size_t widen_avx2(const uint8_t* s, size_t n, Unit* out,
                                                   size_t room) {
  size_t i = 0;
  for (; i + 32 <= n && i + 32 <= room; i += 32) {
    const __m256i v = load32(s + i);
    if constexpr (sizeof(Unit) == 1) {
      store32(out + i, v);
    } else {
      const __m128i lo = _mm256_castsi256_si128(v), hi = _mm256_extracti128_si256(v, 1);
      if constexpr (sizeof(Unit) == 2) {
        store32(out + i, _mm256_cvtepu8_epi16(lo));
        store32(out + i + 16, _mm256_cvtepu8_epi16(hi));
      } else {
        store32(out + i, _mm256_cvtepu8_epi32(lo));
        store32(out + i + 8, _mm256_cvtepu8_epi32(_mm_srli_si128(lo, 8)));
        store32(out + i + 16, _mm256_cvtepu8_epi32(hi));
        store32(out + i + 24, _mm256_cvtepu8_epi32(_mm_srli_si128(hi, 8)));
      }
    }
    if (const unsigned high = static_cast<unsigned>(_mm256_movemask_epi8(v)))
      return i + __builtin_ctz(high);
  }
  return i + widen_sse2(s + i, n - i, out + i, room - i);
}

__attribute__((target("avx2"))) __m256i ascii_lanes_avx2(__m256i x) {
  return _mm256_cmpeq_epi32(
      _mm256_and_si256(x, _mm256_set1_epi32(static_cast<int32_t>(0xFFFFFF80))),
      _mm256_setzero_si256());
}

// As narrow_sse2, 32 units per step. The packs work within 128-bit lanes, so a
// cross-lane permutation puts the bytes back in order.
template <class Unit>
__attribute__((target("avx2"))) size_t narrow_avx2(const Unit* u, size_t n, char* out) {
  if constexpr (sizeof(Unit) == 1) {
    return widen_avx2<uint8_t>(u, n, reinterpret_cast<uint8_t*>(out), n);
  } else {
    const __m256i zero = _mm256_setzero_si256();
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
      __m256i bytes, ascii;
      if constexpr (sizeof(Unit) == 2) {
        const __m256i high = _mm256_set1_epi16(static_cast<int16_t>(0xFF80));
        const __m256i a = load32(u + i), b = load32(u + i + 16);
        bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(a, b), 0xD8);
        if (_mm256_testz_si256(_mm256_or_si256(a, b), high)) {
          store32(out + i, bytes);
          continue;
        }
        ascii = _mm256_permute4x64_epi64(
            _mm256_packs_epi16(_mm256_cmpeq_epi16(_mm256_and_si256(a, high), zero),
                               _mm256_cmpeq_epi16(_mm256_and_si256(b, high), zero)),
            0xD8);
      } else {
        const __m256i high = _mm256_set1_epi32(static_cast<int32_t>(0xFFFFFF80));
        const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
        const __m256i a = load32(u + i), b = load32(u + i + 8), c = load32(u + i + 16),
                      d = load32(u + i + 24);
        bytes = _mm256_permutevar8x32_epi32(
            _mm256_packus_epi16(_mm256_packs_epi32(a, b), _mm256_packs_epi32(c, d)), order);
        if (_mm256_testz_si256(_mm256_or_si256(_mm256_or_si256(a, b), _mm256_or_si256(c, d)),
                               high)) {
          store32(out + i, bytes);
          continue;
        }
        ascii = _mm256_permutevar8x32_epi32(
            _mm256_packs_epi16(_mm256_packs_epi32(ascii_lanes_avx2(a), ascii_lanes_avx2(b)),
                               _mm256_packs_epi32(ascii_lanes_avx2(c), ascii_lanes_avx2(d))),
            order);
      }
      store32(out + i, bytes);
      return i + __builtin_ctz(~static_cast<unsigned>(_mm256_movemask_epi8(ascii)));
    }
    return i + narrow_sse2(u + i, n - i, out + i);
  }
}

// ---- dispatch -------------------------------------------------------------

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
    if constexpr (sizeof(Unit) == 1) return widen1;
    else if constexpr (sizeof(Unit) == 2) return widen2;
    else return widen4;
  }
  template <class Unit>
  NarrowFn<Unit> narrow() const {
    if constexpr (sizeof(Unit) == 1) return narrow1;
    else if constexpr (sizeof(Unit) == 2) return narrow2;
    else return narrow4;
  }
};

constexpr Kernels kScalar{skip_scalar,
                          widen_scalar<uint8_t>,
                          widen_scalar<uint16_t>,
                          widen_scalar<uint32_t>,
                          narrow_scalar<uint8_t>,
                          narrow_scalar<uint16_t>,
                          narrow_scalar<uint32_t>};
constexpr Kernels kSse2{skip_sse2,
                        widen_sse2<uint8_t>,
                        widen_sse2<uint16_t>,
                        widen_sse2<uint32_t>,
                        narrow_sse2<uint8_t>,
                        narrow_sse2<uint16_t>,
                        narrow_sse2<uint32_t>};
constexpr Kernels kAvx2{skip_avx2,
                        widen_avx2<uint8_t>,
                        widen_avx2<uint16_t>,
                        widen_avx2<uint32_t>,
                        narrow_avx2<uint8_t>,
                        narrow_avx2<uint16_t>,
                        narrow_avx2<uint32_t>};

const Kernels& kernels() noexcept {
  switch (simd::active_level()) {
    case simd::Level::AVX2:
      return kAvx2;
    case simd::Level::SSE2:
      return kSse2;
    default:
      return kScalar;
  }
}

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

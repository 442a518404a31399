// The vector layer: the one place in the core that names instruction sets.
//
// Every kernel has a scalar version, the reference that tests compare the others
// with and the one used where this build has no vectors, and one version written
// over a vector type V: Sse2 (16 bytes, which every x86-64 processor has) or Avx2
// (32 bytes, used when the processor has it). The level in force, chosen once per
// process, picks which of them every kernel and every inline short search runs;
// tests force each level in turn.
//
// A kernel over Avx2 must itself be compiled for AVX2, or the type's operations
// could not be inlined into it (and would be called with the wrong calling
// convention when not inlined). So each family of kernels keeps its vector
// version in a file of its own, X_kernels.inc, which its .cc includes once per
// vector type, each time in a namespace of its own and, for Avx2, between
// TESSERINE_AVX2_BEGIN and TESSERINE_AVX2_END. Such a file includes nothing: the
// headers it needs come first, outside the region.
//
// A build for another processor, or one with TESSERINE_SCALAR_ONLY defined (the
// way to check such a build on x86), has the scalar level alone.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#if defined(__SSE2__) && (defined(__x86_64__) || defined(__i386__)) && \
    !defined(TESSERINE_SCALAR_ONLY)
#define TESSERINE_VECTOR_X86 1
#include <immintrin.h>
#else
#define TESSERINE_VECTOR_X86 0
#endif

#if defined(__clang__)
#define TESSERINE_AVX2_BEGIN \
  _Pragma("clang attribute push(__attribute__((target(\"avx2\"))), apply_to = function)")
#define TESSERINE_AVX2_END _Pragma("clang attribute pop")
#else
#define TESSERINE_AVX2_BEGIN _Pragma("GCC push_options") _Pragma("GCC target(\"avx2\")")
#define TESSERINE_AVX2_END _Pragma("GCC pop_options")
#endif

namespace tesserine::simd {

enum class Level : uint8_t { Scalar = 0, SSE2 = 1, AVX2 = 2 };

namespace detail {
extern std::atomic<Level> level_in_force;
}

// The level in force: the best the processor supports unless a test forced another.
inline Level active_level() noexcept {
  return detail::level_in_force.load(std::memory_order_relaxed);
}
Level best_level() noexcept;
// Forces a level (clamped to best_level()); for tests and benchmarks.
void force_level(Level level) noexcept;

// The levels this build has.
inline constexpr size_t LEVELS = TESSERINE_VECTOR_X86 ? 3 : 1;

// A family's table of kernels at each level this build has, scalar first; the
// table of the level in force is one load away.
template <class Table>
class PerLevel {
 public:
  template <class... Vectors>
  constexpr explicit PerLevel(const Table& scalar, const Vectors&... vectors) noexcept
      : tables_{scalar, vectors...} {
    static_assert(sizeof...(Vectors) + 1 == LEVELS, "one table per level");
  }

  const Table& active() const noexcept { return tables_[static_cast<size_t>(active_level())]; }

 private:
  Table tables_[LEVELS];
};

#if TESSERINE_VECTOR_X86

// Operations common to both types: load and store anywhere (no alignment
// needed); splat: every lane of the argument's width holds it; `==`, eq16, eq32:
// all ones in the lanes of 8, 16 or 32 bits that are equal; bits: the top bit of
// each byte, byte i at bit i; any: whether any bit is set; and_not: this & ~other.
// Narrowing and widening move between bytes and units of 2 or 4 bytes, one
// vector's worth of units at a time (held in 2 or 4 vectors); narrowing is exact
// for units below 0x80, which `ascii` marks, one bit per unit.

struct Sse2 {
  static constexpr size_t kBytes = 16;
  // No byte shuffle before SSSE3.
  static constexpr bool kShuffle = false;
  // What a kernel hands the tail of its range to, when less than a vector is
  // left: void for the scalar version.
  using Narrower = void;

  __m128i v;

  static Sse2 load(const void* p) noexcept {
    return {_mm_loadu_si128(static_cast<const __m128i*>(p))};
  }
  void store(void* p) const noexcept { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
  static Sse2 zero() noexcept { return {_mm_setzero_si128()}; }
  static Sse2 splat(char c) noexcept { return {_mm_set1_epi8(c)}; }
  static Sse2 splat(uint8_t c) noexcept { return {_mm_set1_epi8(static_cast<char>(c))}; }
  static Sse2 splat(uint16_t u) noexcept { return {_mm_set1_epi16(static_cast<short>(u))}; }
  static Sse2 splat(uint32_t u) noexcept { return {_mm_set1_epi32(static_cast<int>(u))}; }

  Sse2 operator==(Sse2 o) const noexcept { return {_mm_cmpeq_epi8(v, o.v)}; }
  Sse2 eq16(Sse2 o) const noexcept { return {_mm_cmpeq_epi16(v, o.v)}; }
  Sse2 eq32(Sse2 o) const noexcept { return {_mm_cmpeq_epi32(v, o.v)}; }
  Sse2 operator&(Sse2 o) const noexcept { return {_mm_and_si128(v, o.v)}; }
  Sse2 operator|(Sse2 o) const noexcept { return {_mm_or_si128(v, o.v)}; }
  Sse2 and_not(Sse2 o) const noexcept { return {_mm_andnot_si128(o.v, v)}; }
  uint32_t bits() const noexcept { return static_cast<uint32_t>(_mm_movemask_epi8(v)); }
  bool any() const noexcept { return bits() != 0; }

  void widen(uint16_t* out) const noexcept {
    const __m128i zero = _mm_setzero_si128();
    Sse2{_mm_unpacklo_epi8(v, zero)}.store(out);
    Sse2{_mm_unpackhi_epi8(v, zero)}.store(out + 8);
  }
  void widen(uint32_t* out) const noexcept {
    const __m128i zero = _mm_setzero_si128();
    const __m128i lo = _mm_unpacklo_epi8(v, zero), hi = _mm_unpackhi_epi8(v, zero);
    Sse2{_mm_unpacklo_epi16(lo, zero)}.store(out);
    Sse2{_mm_unpackhi_epi16(lo, zero)}.store(out + 4);
    Sse2{_mm_unpacklo_epi16(hi, zero)}.store(out + 8);
    Sse2{_mm_unpackhi_epi16(hi, zero)}.store(out + 12);
  }

  // Signed packing keeps the all-ones lanes of a comparison; unsigned packing
  // keeps bytes up to 0xFF; either is exact below 0x80.
  static Sse2 narrow(const Sse2 (&u)[2]) noexcept { return {_mm_packus_epi16(u[0].v, u[1].v)}; }
  static Sse2 narrow(const Sse2 (&u)[4]) noexcept {
    return {_mm_packus_epi16(_mm_packs_epi32(u[0].v, u[1].v), _mm_packs_epi32(u[2].v, u[3].v))};
  }
  static uint32_t ascii(const Sse2 (&u)[2]) noexcept {
    const __m128i high = _mm_set1_epi16(static_cast<short>(0xFF80)), zero = _mm_setzero_si128();
    return Sse2{_mm_packs_epi16(_mm_cmpeq_epi16(_mm_and_si128(u[0].v, high), zero),
                                _mm_cmpeq_epi16(_mm_and_si128(u[1].v, high), zero))}
        .bits();
  }
  static uint32_t ascii(const Sse2 (&u)[4]) noexcept {
    const __m128i a = ascii_lanes(u[0].v), b = ascii_lanes(u[1].v);
    const __m128i c = ascii_lanes(u[2].v), d = ascii_lanes(u[3].v);
    return Sse2{_mm_packs_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d))}.bits();
  }
  template <size_t N>
  static bool all_ascii(const Sse2 (&u)[N]) noexcept {
    return ascii(u) == 0xFFFF;
  }

 private:
  // All ones in each 32-bit lane below 0x80.
  static __m128i ascii_lanes(__m128i x) noexcept {
    return _mm_cmpeq_epi32(_mm_and_si128(x, _mm_set1_epi32(static_cast<int>(0xFFFFFF80))),
                           _mm_setzero_si128());
  }
};

TESSERINE_AVX2_BEGIN

struct Avx2 {
  static constexpr size_t kBytes = 32;
  static constexpr bool kShuffle = true;
  using Narrower = Sse2;

  __m256i v;

  static Avx2 load(const void* p) noexcept {
    return {_mm256_loadu_si256(static_cast<const __m256i*>(p))};
  }
  void store(void* p) const noexcept { _mm256_storeu_si256(static_cast<__m256i*>(p), v); }
  static Avx2 zero() noexcept { return {_mm256_setzero_si256()}; }
  static Avx2 splat(char c) noexcept { return {_mm256_set1_epi8(c)}; }
  static Avx2 splat(uint8_t c) noexcept { return {_mm256_set1_epi8(static_cast<char>(c))}; }
  static Avx2 splat(uint16_t u) noexcept { return {_mm256_set1_epi16(static_cast<short>(u))}; }
  static Avx2 splat(uint32_t u) noexcept { return {_mm256_set1_epi32(static_cast<int>(u))}; }
  // Both 16-byte halves hold the bytes of lo (first) and hi.
  static Avx2 repeat16(uint64_t lo, uint64_t hi) noexcept {
    return {_mm256_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo),
                              static_cast<long long>(hi), static_cast<long long>(lo))};
  }

  Avx2 operator==(Avx2 o) const noexcept { return {_mm256_cmpeq_epi8(v, o.v)}; }
  Avx2 eq16(Avx2 o) const noexcept { return {_mm256_cmpeq_epi16(v, o.v)}; }
  Avx2 eq32(Avx2 o) const noexcept { return {_mm256_cmpeq_epi32(v, o.v)}; }
  Avx2 operator&(Avx2 o) const noexcept { return {_mm256_and_si256(v, o.v)}; }
  Avx2 operator|(Avx2 o) const noexcept { return {_mm256_or_si256(v, o.v)}; }
  Avx2 and_not(Avx2 o) const noexcept { return {_mm256_andnot_si256(o.v, v)}; }
  uint32_t bits() const noexcept { return static_cast<uint32_t>(_mm256_movemask_epi8(v)); }
  bool any() const noexcept { return !_mm256_testz_si256(v, v); }
  // Byte i of each half: the byte of this half at the low nibble of index's byte
  // i, or 0 when that byte has its top bit set.
  Avx2 shuffle(Avx2 index) const noexcept { return {_mm256_shuffle_epi8(v, index.v)}; }

  void widen(uint16_t* out) const noexcept {
    Avx2{_mm256_cvtepu8_epi16(_mm256_castsi256_si128(v))}.store(out);
    Avx2{_mm256_cvtepu8_epi16(_mm256_extracti128_si256(v, 1))}.store(out + 16);
  }
  void widen(uint32_t* out) const noexcept {
    const __m128i lo = _mm256_castsi256_si128(v), hi = _mm256_extracti128_si256(v, 1);
    Avx2{_mm256_cvtepu8_epi32(lo)}.store(out);
    Avx2{_mm256_cvtepu8_epi32(_mm_srli_si128(lo, 8))}.store(out + 8);
    Avx2{_mm256_cvtepu8_epi32(hi)}.store(out + 16);
    Avx2{_mm256_cvtepu8_epi32(_mm_srli_si128(hi, 8))}.store(out + 24);
  }

  // The packs work within 128-bit lanes, so a cross-lane permutation puts the
  // bytes back in order.
  static Avx2 narrow(const Avx2 (&u)[2]) noexcept {
    return {_mm256_permute4x64_epi64(_mm256_packus_epi16(u[0].v, u[1].v), 0xD8)};
  }
  static Avx2 narrow(const Avx2 (&u)[4]) noexcept {
    return {_mm256_permutevar8x32_epi32(
        _mm256_packus_epi16(_mm256_packs_epi32(u[0].v, u[1].v), _mm256_packs_epi32(u[2].v, u[3].v)),
        unit_order())};
  }
  static uint32_t ascii(const Avx2 (&u)[2]) noexcept {
    const __m256i high = _mm256_set1_epi16(static_cast<short>(0xFF80));
    const __m256i zero = _mm256_setzero_si256();
    return Avx2{_mm256_permute4x64_epi64(
                    _mm256_packs_epi16(_mm256_cmpeq_epi16(_mm256_and_si256(u[0].v, high), zero),
                                       _mm256_cmpeq_epi16(_mm256_and_si256(u[1].v, high), zero)),
                    0xD8)}
        .bits();
  }
  static uint32_t ascii(const Avx2 (&u)[4]) noexcept {
    const __m256i a = ascii_lanes(u[0].v), b = ascii_lanes(u[1].v);
    const __m256i c = ascii_lanes(u[2].v), d = ascii_lanes(u[3].v);
    return Avx2{
        _mm256_permutevar8x32_epi32(
            _mm256_packs_epi16(_mm256_packs_epi32(a, b), _mm256_packs_epi32(c, d)), unit_order())}
        .bits();
  }
  static bool all_ascii(const Avx2 (&u)[2]) noexcept {
    return _mm256_testz_si256(_mm256_or_si256(u[0].v, u[1].v),
                              _mm256_set1_epi16(static_cast<short>(0xFF80)));
  }
  static bool all_ascii(const Avx2 (&u)[4]) noexcept {
    return _mm256_testz_si256(
        _mm256_or_si256(_mm256_or_si256(u[0].v, u[1].v), _mm256_or_si256(u[2].v, u[3].v)),
        _mm256_set1_epi32(static_cast<int>(0xFFFFFF80)));
  }

 private:
  static __m256i ascii_lanes(__m256i x) noexcept {
    return _mm256_cmpeq_epi32(_mm256_and_si256(x, _mm256_set1_epi32(static_cast<int>(0xFFFFFF80))),
                              _mm256_setzero_si256());
  }
  static __m256i unit_order() noexcept { return _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7); }
};

TESSERINE_AVX2_END

#endif  // TESSERINE_VECTOR_X86

// Short searches made inline, before a call to a kernel: many hops through
// markup end within a few bytes. Each looks at the PROBE_BYTES bytes at `p`, or
// at the starts p[0..PROBE_BYTES) of a pair filter, when the level in force has
// vectors and `readable` bytes from `p` on suffice for the load; it gives one bit
// per position, position i at bit i. Otherwise none, and the caller looks byte
// by byte.
inline constexpr size_t PROBE_BYTES = 16;

// p[i] == byte.
inline std::optional<uint32_t> probe_byte(const char* p, size_t readable, char byte) noexcept {
#if TESSERINE_VECTOR_X86
  if (active_level() != Level::Scalar && readable >= PROBE_BYTES)
    return (Sse2::load(p) == Sse2::splat(byte)).bits();
#endif
  (void)p, (void)readable, (void)byte;
  return std::nullopt;
}

// p[i] is one of `set`.
inline std::optional<uint32_t> probe_any(const char* p, size_t readable,
                                         std::string_view set) noexcept {
#if TESSERINE_VECTOR_X86
  if (active_level() != Level::Scalar && readable >= PROBE_BYTES) {
    const Sse2 v = Sse2::load(p);
    Sse2 hits = Sse2::zero();
    for (const char c : set) hits = hits | (v == Sse2::splat(c));
    return hits.bits();
  }
#endif
  (void)p, (void)readable, (void)set;
  return std::nullopt;
}

// p[i + first] == a and p[i + second] == b.
inline std::optional<uint32_t> probe_pair(const char* p, size_t readable, uint32_t first, char a,
                                          uint32_t second, char b) noexcept {
#if TESSERINE_VECTOR_X86
  if (active_level() != Level::Scalar &&
      readable >= PROBE_BYTES + (first > second ? first : second))
    return ((Sse2::load(p + first) == Sse2::splat(a)) & (Sse2::load(p + second) == Sse2::splat(b)))
        .bits();
#endif
  (void)p, (void)readable, (void)first, (void)a, (void)second, (void)b;
  return std::nullopt;
}

}  // namespace tesserine::simd

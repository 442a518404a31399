// Helpers shared by the core tests.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pass_result.h"
#include "scan/simd.h"

namespace tesserine::test {

// Every vector level the machine supports, so that each vector kernel is
// checked against the scalar one on the same inputs.
inline std::vector<simd::Level> levels() {
  std::vector<simd::Level> out{simd::Level::Scalar};
  if (simd::best_level() >= simd::Level::SSE2) out.push_back(simd::Level::SSE2);
  if (simd::best_level() >= simd::Level::AVX2) out.push_back(simd::Level::AVX2);
  return out;
}

// Puts the best level back when a test that forced others ends.
struct LevelGuard {
  ~LevelGuard() { simd::force_level(simd::best_level()); }
};

// UTF-8 written straight from the bit layout, independent of the library's.
inline std::string utf8_of(std::u32string_view cps) {
  std::string out;
  for (char32_t c : cps) {
    const int n = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    if (n == 1) {
      out += static_cast<char>(c);
      continue;
    }
    out += static_cast<char>((0xF00 >> n) | (c >> (6 * (n - 1))));
    for (int k = n - 2; k >= 0; --k) out += static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F));
  }
  return out;
}

inline std::string repeat(std::string_view unit, size_t n) {
  std::string out;
  out.reserve(unit.size() * n);
  for (size_t i = 0; i < n; ++i) out += unit;
  return out;
}

// The new text of a pass, or none when it reports Unchanged; a Fallback fails the test.
inline std::optional<std::string> outcome(const PassResult& result) {
  EXPECT_FALSE(result.is_fallback()) << result.reason();
  if (!result.is_rewritten()) return std::nullopt;
  return std::string(result.text().view());
}

}  // namespace tesserine::test

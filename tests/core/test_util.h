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

// Runs `fn` at every vector level the machine supports, so that each vector
// kernel is checked against the scalar one on the same inputs; the best level
// is back in force afterwards.
template <class Fn>
void at_every_level(Fn fn) {
  for (simd::Level level : {simd::Level::Scalar, simd::Level::SSE2, simd::Level::AVX2}) {
    if (level > simd::best_level()) break;
    SCOPED_TRACE(::testing::Message() << "level " << static_cast<int>(level));
    simd::force_level(level);
    fn();
  }
  simd::force_level(simd::best_level());
}

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

// The new text of a pass, or none when it reports Unchanged; a Fallback fails the test.
inline std::optional<std::string> outcome(const PassResult& result) {
  EXPECT_FALSE(result.is_fallback()) << result.reason();
  if (!result.is_rewritten()) return std::nullopt;
  return std::string(result.text().view());
}

}  // namespace tesserine::test

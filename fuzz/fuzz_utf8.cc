// The str conversion kernels on arbitrary bytes: the verdict on validity agrees
// with a plain byte-by-byte validator at every dispatch level, a valid text
// decodes to the code points it holds and encodes back to the same bytes, and
// the same bytes read as 16-bit units encode to UTF-8 that measures and decodes
// back to them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "scan/simd.h"
#include "scan/utf8.h"

namespace {

using tesserine::Buffer;
namespace simd = tesserine::simd;
namespace utf8 = tesserine::utf8;

template <class Unit>
void round_trip(std::string_view text, size_t code_points) {
  std::vector<Unit> units(code_points);
  FUZZ_CHECK(utf8::decode(text, std::span<Unit>(units)));
  Buffer back;
  FUZZ_CHECK(!utf8::encode(std::span<const Unit>(units), back).has_value());
  FUZZ_CHECK(back.view() == text);
}

void check_text(std::string_view text) {
  const utf8::Measure m = utf8::measure(text);
  FUZZ_CHECK(m.valid == fuzz::valid_utf8(text));
  if (!m.valid) return;
  if (m.width <= utf8::Width::Latin1) round_trip<uint8_t>(text, m.code_points);
  if (m.width <= utf8::Width::Ucs2) round_trip<uint16_t>(text, m.code_points);
  round_trip<uint32_t>(text, m.code_points);
}

void check_units(const uint8_t* data, size_t size) {
  std::vector<uint16_t> units(size / 2);
  if (!units.empty()) std::memcpy(units.data(), data, units.size() * 2);
  Buffer encoded;
  const auto stop = utf8::encode(std::span<const uint16_t>(units), encoded);
  const auto surrogate = std::find_if(units.begin(), units.end(),
                                      [](uint16_t u) { return u >= 0xD800 && u <= 0xDFFF; });
  if (surrogate != units.end()) {
    FUZZ_CHECK(stop && *stop == static_cast<size_t>(surrogate - units.begin()));
    return;
  }
  FUZZ_CHECK(!stop);
  const utf8::Measure m = utf8::measure(encoded.view());
  FUZZ_CHECK(m.valid && m.code_points == units.size());
  std::vector<uint16_t> back(units.size());
  FUZZ_CHECK(utf8::decode(encoded.view(), std::span<uint16_t>(back)));
  FUZZ_CHECK(back == units);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (simd::Level level : {simd::Level::Scalar, simd::Level::SSE2, simd::Level::AVX2}) {
    simd::force_level(level);
    check_text(text);
    check_units(data, size);
  }
  simd::force_level(simd::best_level());
  return 0;
}

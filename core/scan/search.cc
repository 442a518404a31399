#include "scan/search.h"

#include <cstring>

#include "fault.h"
#include "scan/rewriter.h"
#include "scan/simd.h"

namespace tesserine {
namespace detail {

Offset find_in_far(std::string_view text, const Literal& pat, size_t from, size_t to) {
  if (from > to) return std::nullopt;
  if (to > text.size()) fault("find_in: range end %zu beyond text of %zu bytes", to, text.size());
  const size_t m = pat.size();
  if (m == 0) return from;
  if (m > to - from) return std::nullopt;
  if (m == 1) return find_byte(text, pat.view()[0], from, to);
  const char* hit =
      simd::find_substring(text.data() + from, to - from, pat.view().data(), m, pat.pair());
  if (hit == nullptr) return std::nullopt;
  return static_cast<size_t>(hit - text.data());
}

Offset rfind_in_far(std::string_view text, const Literal& pat, size_t from, size_t to) {
  if (from > to) return std::nullopt;
  if (to > text.size()) fault("rfind_in: range end %zu beyond text of %zu bytes", to, text.size());
  const size_t m = pat.size();
  if (m == 0) return to;
  if (m > to - from) return std::nullopt;
  if (m == 1) return rfind_byte(text, pat.view()[0], from, to);
  const char* hit =
      simd::rfind_substring(text.data() + from, to - from, pat.view().data(), m, pat.pair());
  if (hit == nullptr) return std::nullopt;
  return static_cast<size_t>(hit - text.data());
}

Offset find_byte_far(std::string_view text, char byte, size_t from, size_t to) noexcept {
  if (from >= to) return std::nullopt;
  const void* hit = std::memchr(text.data() + from, static_cast<unsigned char>(byte), to - from);
  if (hit == nullptr) return std::nullopt;
  return static_cast<size_t>(static_cast<const char*>(hit) - text.data());
}

Offset find_any_byte_far(std::string_view text, std::string_view set, size_t from,
                         size_t to) noexcept {
  if (from >= to) return std::nullopt;
  if (set.size() == 1) return find_byte_far(text, set[0], from, to);
  const char* hit = simd::find_any(text.data() + from, to - from, set.data(), set.size());
  if (hit == nullptr) return std::nullopt;
  return static_cast<size_t>(hit - text.data());
}

}  // namespace detail

Offset rfind_byte(std::string_view text, char byte, size_t from, size_t to) {
  if (to > text.size()) to = text.size();
  if (from >= to) return std::nullopt;
  const void* hit = memrchr(text.data() + from, static_cast<unsigned char>(byte), to - from);
  if (hit == nullptr) return std::nullopt;
  return static_cast<size_t>(static_cast<const char*>(hit) - text.data());
}

Offset find_any_followed(std::string_view text, std::string_view set, char follow, size_t gap,
                         size_t from) {
  if (from >= text.size()) return std::nullopt;
  const char* hit = simd::find_any_followed(text.data() + from, text.size() - from, set.data(),
                                            set.size(), follow, gap);
  if (hit == nullptr) return std::nullopt;
  return static_cast<size_t>(hit - text.data());
}

size_t find_all_any_followed(std::string_view text, std::string_view set, char follow, size_t gap,
                             size_t from, std::span<size_t> out) {
  if (from >= text.size()) return 0;
  return simd::find_all_any_followed(text.data(), text.size(), from, set.data(), set.size(), follow,
                                     gap, out.data(), out.size());
}

Offset find_byte_unfollowed(std::string_view text, char byte, char next, size_t from) {
  if (from >= text.size()) return std::nullopt;
  const char* hit = simd::find_byte_unfollowed(text.data() + from, text.size() - from, byte, next);
  if (hit == nullptr) return std::nullopt;
  return static_cast<size_t>(hit - text.data());
}

size_t space_length(std::string_view text, size_t pos) noexcept {
  const size_t n = text.size();
  if (pos >= n) return 0;
  const auto at = [&](size_t i) { return static_cast<unsigned char>(text[pos + i]); };
  const unsigned char b0 = at(0);
  if ((b0 >= 0x09 && b0 <= 0x0D) || (b0 >= 0x1C && b0 <= 0x20)) return 1;
  if (b0 == 0xC2 && pos + 1 < n) return (at(1) == 0x85 || at(1) == 0xA0) ? 2 : 0;
  if (pos + 2 >= n) return 0;
  const unsigned char b1 = at(1), b2 = at(2);
  switch (b0) {
    case 0xE1:  // U+1680
      return (b1 == 0x9A && b2 == 0x80) ? 3 : 0;
    case 0xE2:
      if (b1 == 0x80)  // U+2000..U+200A, U+2028, U+2029, U+202F
        return (b2 <= 0x8A || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF) && b2 >= 0x80 ? 3 : 0;
      return (b1 == 0x81 && b2 == 0x9F) ? 3 : 0;  // U+205F
    case 0xE3:                                    // U+3000
      return (b1 == 0x80 && b2 == 0x80) ? 3 : 0;
    default:
      return 0;
  }
}

size_t skip_space(std::string_view text, size_t pos) {
  if (pos >= text.size()) return pos;
  if (!is_char_boundary(text, pos)) fault("skip_space: offset %zu is inside a character", pos);
  while (size_t len = space_length(text, pos)) pos += len;
  return pos;
}

Offset find_start_tag(std::string_view text, const StartTagPattern& pattern, size_t from) {
  if (from > text.size()) return std::nullopt;
  for (size_t i = from;;) {
    Offset q = find_from(text, pattern.literal, i);
    if (!q || is_start_tag(text, pattern, *q)) return q;
    i = *q + 1;
  }
}

Offset rfind_start_tag(std::string_view text, const StartTagPattern& pattern, size_t from,
                       size_t to) {
  for (size_t t = to;;) {
    Offset q = rfind_in(text, pattern.literal, from, t);
    if (!q || is_start_tag(text, pattern, *q)) return q;
    // Next, only occurrences that start before q.
    t = *q + pattern.prefix.size() - 1;
  }
}

}  // namespace tesserine

// Scanning routines shared by every pass and step.
//
// All offsets are absolute byte offsets into `text`; "none" is an empty optional.
// Matching is exact and case-sensitive. Every search answers from the range it
// is given alone (a start-tag test also looks at the one byte after the prefix)
// and runs in time linear in that range; a search over a few bytes may read a
// vector's worth further into the text, never past its end. Nothing here
// allocates.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "scan/simd.h"
#include "scan/vector.h"

namespace tesserine {

using Offset = std::optional<size_t>;

// A literal prepared for repeated searches: the two bytes that filter the
// candidates of a substring search are chosen once, at compile time for a
// constant, instead of on every call.
class Literal {
 public:
  constexpr explicit Literal(std::string_view text) noexcept
      : text_(text),
        pair_(text.size() >= 2 ? simd::choose_pair(text.data(), text.size())
                               : simd::PairFilter{0, 0}) {}

  constexpr std::string_view view() const noexcept { return text_; }
  constexpr size_t size() const noexcept { return text_.size(); }
  constexpr simd::PairFilter pair() const noexcept { return pair_; }

 private:
  std::string_view text_;
  simd::PairFilter pair_;
};

namespace detail {

Offset find_in_far(std::string_view text, const Literal& pat, size_t from, size_t to);
Offset rfind_in_far(std::string_view text, const Literal& pat, size_t from, size_t to);
Offset find_byte_far(std::string_view text, char byte, size_t from, size_t to) noexcept;
Offset find_any_byte_far(std::string_view text, std::string_view set, size_t from,
                         size_t to) noexcept;

inline bool equal_at(const char* p, std::string_view lit) noexcept {
  for (size_t i = 0; i < lit.size(); ++i)
    if (p[i] != lit[i]) return false;
  return true;
}

// Bit i set when the filter pair of `pat` matches at start p + i, for the
// PROBE_BYTES starts from p; none as simd::probe_pair says.
inline std::optional<uint32_t> probe_starts(const char* p, size_t readable,
                                            const Literal& pat) noexcept {
  const simd::PairFilter pr = pat.pair();
  const char* nd = pat.view().data();
  return simd::probe_pair(p, readable, pr.first, nd[pr.first], pr.second, nd[pr.second]);
}

}  // namespace detail

// First occurrence of `pat` lying wholly inside text[from..to); an empty `pat`
// gives `from`. from > to gives none; to > text.size() is an internal fault.
// Many searches end within a few bytes (the closer of a short tag, the end tag
// of a text element) or cover only a few bytes (the inside of a short tag), so
// the first starting positions are tried here, without a call.
inline Offset find_in(std::string_view text, const Literal& pat, size_t from, size_t to) {
  constexpr size_t kNear = simd::PROBE_BYTES;
  const size_t m = pat.size();
  if (m >= 2 && from <= to && to <= text.size()) {
    const char* p = text.data();
    if (to - from < m + kNear - 1) {
      if (to - from < m) return std::nullopt;
      // A short range inside a longer text takes one probe that may read past
      // `to` (never past the text); the starts beyond are masked off.
      if (std::optional<uint32_t> mask = detail::probe_starts(p + from, text.size() - from, pat)) {
        for (*mask &= (1u << (to - from - m + 1)) - 1; *mask; *mask &= *mask - 1) {
          const size_t c = from + static_cast<size_t>(__builtin_ctz(*mask));
          if (detail::equal_at(p + c, pat.view())) return c;
        }
        return std::nullopt;
      }
      for (size_t c = from; c + m <= to; ++c)
        if (detail::equal_at(p + c, pat.view())) return c;
      return std::nullopt;
    }
    if (std::optional<uint32_t> mask = detail::probe_starts(p + from, text.size() - from, pat)) {
      for (; *mask; *mask &= *mask - 1) {
        const size_t c = from + static_cast<size_t>(__builtin_ctz(*mask));
        if (detail::equal_at(p + c, pat.view())) return c;
      }
      from += kNear;
    }
  }
  return detail::find_in_far(text, pat, from, to);
}
inline Offset find_in(std::string_view text, std::string_view pat, size_t from, size_t to) {
  return find_in(text, Literal(pat), from, to);
}
// find_in(text, pat, from, text.size()); none when from > text.size().
inline Offset find_from(std::string_view text, const Literal& pat, size_t from) {
  if (from > text.size()) return std::nullopt;
  return find_in(text, pat, from, text.size());
}
inline Offset find_from(std::string_view text, std::string_view pat, size_t from) {
  return find_from(text, Literal(pat), from);
}

// Last occurrence of `pat` lying wholly inside text[from..to); an empty `pat` gives `to`.
// As with find_in, the starting positions nearest `to` are tried here.
inline Offset rfind_in(std::string_view text, const Literal& pat, size_t from, size_t to) {
  constexpr size_t kNear = simd::PROBE_BYTES;
  const size_t m = pat.size();
  if (m >= 2 && from <= to && to <= text.size()) {
    const char* p = text.data();
    if (to - from < m + kNear - 1) {
      for (size_t c = to - from >= m ? to - m + 1 : from; c-- > from;)
        if (detail::equal_at(p + c, pat.view())) return c;
      return std::nullopt;
    }
    const size_t base = to - m - (kNear - 1);  // the lowest of the starts tried
    if (std::optional<uint32_t> mask = detail::probe_starts(p + base, text.size() - base, pat)) {
      while (*mask) {
        const unsigned bit = 31u - static_cast<unsigned>(__builtin_clz(*mask));
        if (detail::equal_at(p + base + bit, pat.view())) return base + bit;
        *mask &= ~(1u << bit);
      }
      to -= kNear;
    }
  }
  return detail::rfind_in_far(text, pat, from, to);
}
inline Offset rfind_in(std::string_view text, std::string_view pat, size_t from, size_t to) {
  return rfind_in(text, Literal(pat), from, to);
}

// True when text[pos..pos + lit.size()) exists and equals `lit`. The literals
// tested are a few bytes long, so the bytes are compared here.
inline bool starts_at(std::string_view text, size_t pos, std::string_view lit) noexcept {
  if (pos > text.size() || lit.size() > text.size() - pos) return false;
  return detail::equal_at(text.data() + pos, lit);
}

// Byte searches in text[from..to); none when from >= to. `to` is clamped to the text.
// Most hops through markup are short (the second byte of a delimiter, the ">"
// that ends a tag), so the first bytes are looked at here, without a call.
inline Offset find_byte(std::string_view text, char byte, size_t from, size_t to) {
  constexpr size_t kNear = simd::PROBE_BYTES;
  if (to > text.size()) to = text.size();
  if (from >= to) return std::nullopt;
  const char* p = text.data();
  // A short range inside a longer text takes one probe that may read past `to`
  // (never past the text), with the bytes beyond masked off.
  if (std::optional<uint32_t> mask = simd::probe_byte(p + from, text.size() - from, byte)) {
    if (to - from < kNear) *mask &= (1u << (to - from)) - 1;
    if (*mask) return from + static_cast<size_t>(__builtin_ctz(*mask));
    if (to - from <= kNear) return std::nullopt;
    return detail::find_byte_far(text, byte, from + kNear, to);
  }
  for (size_t i = from; i < to; ++i)
    if (p[i] == byte) return i;
  return std::nullopt;
}
inline Offset find_byte(std::string_view text, char byte, size_t from) {
  return find_byte(text, byte, from, text.size());
}
Offset rfind_byte(std::string_view text, char byte, size_t from, size_t to);
// First byte in text[from..to) equal to any byte of `set` (1 to 4 bytes); like
// find_byte, it looks at the first bytes here.
inline Offset find_any_byte(std::string_view text, std::string_view set, size_t from, size_t to) {
  constexpr size_t kNear = simd::PROBE_BYTES;
  if (to > text.size()) to = text.size();
  if (from >= to) return std::nullopt;
  const char* p = text.data();
  // As in find_byte, a short range takes one masked probe.
  if (std::optional<uint32_t> mask = simd::probe_any(p + from, text.size() - from, set)) {
    if (to - from < kNear) *mask &= (1u << (to - from)) - 1;
    if (*mask) return from + static_cast<size_t>(__builtin_ctz(*mask));
    if (to - from <= kNear) return std::nullopt;
    return detail::find_any_byte_far(text, set, from + kNear, to);
  }
  for (size_t i = from; i < to; ++i)
    for (const char c : set)
      if (p[i] == c) return i;
  return std::nullopt;
}
inline Offset find_any_byte(std::string_view text, std::string_view set, size_t from) {
  return find_any_byte(text, set, from, text.size());
}
// First offset s >= from with s + gap < text.size(), text[s] one of `set` (1 to 4
// bytes) and text[s + gap] == `follow`; with gap 0 the byte itself must also be
// `follow`.
Offset find_any_followed(std::string_view text, std::string_view set, char follow, size_t gap,
                         size_t from);
// The offsets that find_any_followed gives from `from` on, left to right: fills
// `out` from the front and returns how many it wrote; fewer than out.size()
// means there are no more.
size_t find_all_any_followed(std::string_view text, std::string_view set, char follow, size_t gap,
                             size_t from, std::span<size_t> out);
// First offset s >= from with text[s] == `byte` that is the last byte of the text
// or is not followed by `next`.
Offset find_byte_unfollowed(std::string_view text, char byte, char next, size_t from);

// White space is exactly Python's str.isspace(): U+0009..U+000D, U+001C..U+0020,
// U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
// Encoded length (1 to 3) of the white-space character at `pos`, or 0 when the
// character there is not white space or pos >= text.size().
size_t space_length(std::string_view text, size_t pos) noexcept;
// First offset at or after `pos` whose character is not white space. `pos` must be
// a character boundary (internal fault otherwise) unless pos >= text.size().
size_t skip_space(std::string_view text, size_t pos);
// skip_space for pos <= text.size(), with its common cases (no white space, or
// plain spaces before an ASCII character) handled here without a call: ASCII
// from 0x21 on is never white space.
inline size_t skip_space_quickly(std::string_view text, size_t pos) {
  size_t i = pos;
  while (i < text.size() && text[i] == ' ') ++i;
  if (i == text.size()) return i;
  const auto c = static_cast<unsigned char>(text[i]);
  if (c > 0x20 && c < 0x80) return i;
  return skip_space(text, i);
}

// The start tag of an element kind: with `exact` false an occurrence of `prefix`
// counts only when the byte after it exists and is a space or ">".
struct StartTagPattern {
  constexpr StartTagPattern(std::string_view prefix, bool exact) noexcept
      : prefix(prefix), exact(exact), literal(prefix) {}

  std::string_view prefix;
  bool exact;
  Literal literal;  // the prefix, prepared for searching
};

// True when `pattern` matches a start tag at `pos` (prefix there and, unless
// exact, followed by a space or ">").
inline bool is_start_tag(std::string_view text, const StartTagPattern& pattern,
                         size_t pos) noexcept {
  if (!starts_at(text, pos, pattern.prefix)) return false;
  if (pattern.exact) return true;
  const size_t e = pos + pattern.prefix.size();
  return e < text.size() && (text[e] == ' ' || text[e] == '>');
}
// First start tag at or after `from`.
Offset find_start_tag(std::string_view text, const StartTagPattern& pattern, size_t from);
// Last start tag whose prefix lies wholly inside text[from..to); the follow byte
// may lie at or beyond `to`.
Offset rfind_start_tag(std::string_view text, const StartTagPattern& pattern, size_t from,
                       size_t to);

// The answer of a forward search for "the first match at or after `from`", kept:
// it is also the answer for every later `from` up to the match found (for every
// later `from` at all when there was none), so asking again from nearby does not
// scan the same stretch twice. The text searched must not change meanwhile.
class RememberedSearch {
 public:
  template <typename Search>
  Offset first_from(size_t from, Search&& search) {
    if (!known_ || from < from_ || (answer_ && from > *answer_)) {
      known_ = true;
      from_ = from;
      answer_ = search(from);
    }
    return answer_;
  }

 private:
  bool known_ = false;
  size_t from_ = 0;
  Offset answer_;
};

// A RememberedSearch for one literal in one text: the closer of a kind of tag,
// searched for by its openers in turn.
class RememberedLiteralSearch {
 public:
  RememberedLiteralSearch(std::string_view text, const Literal& literal) noexcept
      : text_(text), literal_(literal) {}

  Offset first_from(size_t from) {
    return found_.first_from(from, [&](size_t f) { return find_from(text_, literal_, f); });
  }
  const Literal& literal() const noexcept { return literal_; }

 private:
  std::string_view text_;
  Literal literal_;
  RememberedSearch found_;
};

}  // namespace tesserine

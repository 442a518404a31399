// Scanning routines shared by every pass and step.
//
// All offsets are absolute byte offsets into `text`; "none" is an empty optional.
// Matching is exact and case-sensitive. Every search looks only inside the range
// it is given (a start-tag test also reads the one byte after the prefix) and
// runs in time linear in that range. Nothing here allocates.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace tesserine {

using Offset = std::optional<size_t>;

// First occurrence of `pat` lying wholly inside text[from..to); an empty `pat`
// gives `from`. from > to gives none; to > text.size() is an internal fault.
Offset find_in(std::string_view text, std::string_view pat, size_t from, size_t to);
// find_in(text, pat, from, text.size()); none when from > text.size().
Offset find_from(std::string_view text, std::string_view pat, size_t from);
// Last occurrence of `pat` lying wholly inside text[from..to); an empty `pat` gives `to`.
Offset rfind_in(std::string_view text, std::string_view pat, size_t from, size_t to);
// True when text[pos..pos + lit.size()) exists and equals `lit`.
bool starts_at(std::string_view text, size_t pos, std::string_view lit) noexcept;

// Byte searches in text[from..to); none when from >= to. `to` is clamped to the text.
Offset find_byte(std::string_view text, char byte, size_t from, size_t to);
Offset find_byte(std::string_view text, char byte, size_t from);
Offset rfind_byte(std::string_view text, char byte, size_t from, size_t to);
// First byte in text[from..to) equal to any byte of `set` (1 to 4 bytes).
Offset find_any_byte(std::string_view text, std::string_view set, size_t from, size_t to);
Offset find_any_byte(std::string_view text, std::string_view set, size_t from);

// White space is exactly Python's str.isspace(): U+0009..U+000D, U+001C..U+0020,
// U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
// Encoded length (1 to 3) of the white-space character at `pos`, or 0 when the
// character there is not white space or pos >= text.size().
size_t space_length(std::string_view text, size_t pos) noexcept;
// First offset at or after `pos` whose character is not white space. `pos` must be
// a character boundary (internal fault otherwise) unless pos >= text.size().
size_t skip_space(std::string_view text, size_t pos);

// The start tag of an element kind: with `exact` false an occurrence of `prefix`
// counts only when the byte after it exists and is a space or ">".
struct StartTagPattern {
  std::string_view prefix;
  bool exact;
};

// True when `pattern` matches a start tag at `pos` (prefix there and, unless
// exact, followed by a space or ">").
bool is_start_tag(std::string_view text, const StartTagPattern& pattern, size_t pos) noexcept;
// First start tag at or after `from`.
Offset find_start_tag(std::string_view text, const StartTagPattern& pattern, size_t from);
// Last start tag whose prefix lies wholly inside text[from..to); the follow byte
// may lie at or beyond `to`.
Offset rfind_start_tag(std::string_view text, const StartTagPattern& pattern, size_t from,
                       size_t to);

// A statement tag "{%" kw "%}" with optional white space around the two-byte `kw`.
struct StmtTag {
  size_t start;  // the "{"
  size_t end;    // just past the "}"
};
// The first such tag whose "{%" starts at or after `from`.
std::optional<StmtTag> find_stmt_tag(std::string_view text, std::string_view kw, size_t from);

}  // namespace tesserine

// The LFs that pre_render puts before paragraph start tags ("<w:p" then ">" or a
// space) and post_render takes out again, in text of any code-unit width: UTF-8
// bytes, or the one-, two- and four-byte units a str keeps.
//
// The tag is ASCII, and no unit of another character equals an ASCII one in any
// of these forms, so the tags sit at the same characters in every form and an
// LF is one unit wide. Both steps can therefore work on a str's own units and
// skip the conversion to UTF-8 and back; post_render only while nothing but
// those LFs needs changing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tesserine {

struct ParagraphStarts {
  // The first tag's offset, or the text's length when there is none.
  size_t first = 0;
  // How many tags there are; count_paragraph_starts only.
  size_t count = 0;
  // A unit in D800..DFFF occurs in what was scanned (a str's two- or four-byte
  // units): the text has no UTF-8 form, and callers must report that rather
  // than work on it.
  bool surrogate = false;
};

// Scans up to the first tag.
template <class Unit>
ParagraphStarts first_paragraph_start(std::span<const Unit> text) noexcept;

// Scans the whole text.
template <class Unit>
ParagraphStarts count_paragraph_starts(std::span<const Unit> text) noexcept;

// Writes `text` with an LF before each of its tags to `out`, given the offset of
// the first one, and returns the number of units written. `out` needs room for
// the text and one unit per tag; paragraph_breaks_bound(text.size()) is always
// enough, as a tag is five units long.
template <class Unit>
size_t insert_paragraph_breaks(std::span<const Unit> text, size_t first, Unit* out) noexcept;

struct RenderedBreaks {
  // The first LF directly before a tag, or the text's length when there is none.
  size_t first = 0;
  // How many such LFs there are.
  size_t count = 0;
  // Taking out those LFs is not all post_render would do, or the text has no
  // UTF-8 form: a listing control character (BEL, TAB, FF, another LF) occurs
  // at or after the first tag, an underscore between two of "{", "}" and "%"
  // or a surrogate unit anywhere. The scan stops there, and first and count
  // are then incomplete.
  bool more = false;
};

// Scans rendered text for what post_render would change.
template <class Unit>
RenderedBreaks scan_rendered_breaks(std::span<const Unit> text) noexcept;

// Writes `text` without the LFs directly before tags to `out`, given the offset
// of the first one, and returns the number of units written.
template <class Unit>
size_t remove_paragraph_breaks(std::span<const Unit> text, size_t first, Unit* out) noexcept;

constexpr size_t paragraph_breaks_bound(size_t length) noexcept { return length + length / 5; }

}  // namespace tesserine

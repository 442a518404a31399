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

// What a scan found: the places where a step would insert or remove an LF.
struct BreakScan {
  // The first one, or the text's length when there is none.
  size_t first = 0;
  // How many there are; not filled in by the scans up to the first tag.
  size_t count = 0;
  // The step needs more than these LFs, or the text has no UTF-8 form, so the
  // units alone will not do. Set for a unit in D800..DFFF (a surrogate in a
  // str's two- or four-byte units), and for post_render as said below.
  bool more = false;
};

// Scans up to the first tag.
template <class Unit>
BreakScan first_paragraph_start(std::span<const Unit> text) noexcept;

// Writes `text` with an LF before each of its tags to `out`, given the offset of
// the first one; text.size() + count units are written, and `more` tells of a
// surrogate from `first` on (first_paragraph_start tells of those before it).
// `out` needs room for the text and one unit per tag, which is not known before
// the copy: paragraph_breaks_bound(text.size()) is always enough, as a tag is
// five units long.
template <class Unit>
BreakScan insert_paragraph_breaks(std::span<const Unit> text, size_t first, Unit* out) noexcept;

// post_render takes out the LFs directly before tags, and nothing else unless a
// listing control character (BEL, TAB, FF, another LF) occurs at or after the
// first tag, or an underscore between two of "{", "}" and "%", or a surrogate,
// anywhere. Then `more` is set, and the scan stops there.

// Scans rendered text up to its first tag. `first` is where an LF before a tag
// can first occur: at that tag, or at the LF directly before it; the text's
// length when there is no tag, and so nothing to take out.
template <class Unit>
BreakScan first_rendered_break(std::span<const Unit> text) noexcept;

// Writes `text` without the LFs directly before tags to `out`, given `from` as
// first_rendered_break found it: text.size() - count units are written, the
// first LF taken out was at `first`. Unless `more` is set; `out` then holds
// nothing of use. `out` needs room for the whole text, as the count is not known
// before the copy. With `out` null, it only counts.
template <class Unit>
BreakScan remove_rendered_breaks(std::span<const Unit> text, size_t from, Unit* out) noexcept;

constexpr size_t paragraph_breaks_bound(size_t length) noexcept { return length + length / 5; }

}  // namespace tesserine

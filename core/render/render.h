// The render steps around the template engine: pre_render before it, post_render
// (with resolve_listing) after it. None falls back.
#pragma once

#include <string_view>
#include <utility>

#include "pass_result.h"

namespace tesserine {

// The bytes that stand for layout in rendered text: BEL (paragraph break), TAB,
// LF (line break) and FF (page break).
inline constexpr std::string_view LISTING_CONTROLS = "\a\t\n\f";

// A line feed before every paragraph start tag ("<w:p" then ">" or a space).
PassResult pre_render(std::string_view text);

// strip_paragraph_breaks, restore_delimiters, then resolve_listing when the text
// holds a listing control character (BEL, TAB, LF, FF).
PassResult post_render(std::string_view text);

// Drops the LF directly in front of each paragraph start tag.
PassResult strip_paragraph_breaks(std::string_view text);

// Turns control characters in text elements into WordprocessingML markup.
PassResult resolve_listing(std::string_view text);

// The first properties element open..close in `region` with no LF or FF between
// its tags, both tags included; empty when there is none.
std::string_view find_properties(std::string_view region, std::string_view open,
                                 std::string_view close);

// Replaces every occurrence of the non-empty `needle`, left to right, without overlap.
PassResult replace_all(std::string_view text, std::string_view needle,
                       std::string_view replacement);

// The text a sequence of steps works on: borrowed until a step rewrites it, then
// owned. Taking over a new text releases the one it replaces, so at most the
// current text and the result of the running step exist at a time.
class CurrentText {
 public:
  explicit CurrentText(std::string_view source) noexcept : view_(source) {}

  std::string_view view() const noexcept { return view_; }

  void take(PassResult result) noexcept {
    if (!result.is_rewritten()) return;
    owned_ = std::move(result.text());
    view_ = owned_.view();
    changed_ = true;
  }

  // Unchanged when no step rewrote the text.
  PassResult finish() noexcept {
    return changed_ ? PassResult::rewritten(std::move(owned_)) : PassResult::unchanged();
  }

 private:
  Buffer owned_;
  std::string_view view_;
  bool changed_ = false;
};

}  // namespace tesserine

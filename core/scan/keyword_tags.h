// Statement tags that a keyword names: «{%», white space, the keyword, then
// either
// - nothing but white space up to "%}" (KeywordTagForm::Bare, as «{% vm %}»), or
// - at least one white-space character and an expression that runs to the first
//   "%" after it, which must be followed by "}" (KeywordTagForm::WithExpression,
//   as «{% colspan n %}»).
//
// Tags are looked for from their «{%», through a CopyingSearch, so that a
// rewriting pass copies the text it passes over on the way. Each «{%» is
// examined once; the search is linear in the text it passes over, plus the
// white space and expression of each candidate.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "scan/copying_search.h"
#include "scan/search.h"

namespace tesserine {

enum class KeywordTagForm { Bare, WithExpression };

struct KeywordTag {
  size_t start;       // the "{"
  size_t end;         // just past the "}"
  size_t body_start;  // the expression, after the white space that follows the keyword
  size_t body_end;    // the "%" of the closer; body_start for a bare keyword
};

// The first such tag whose «{%» starts in [from, to); it may be looked for past
// `to`, and a tag that starts there may then be given.
std::optional<KeywordTag> find_keyword_tag(CopyingSearch& search, const Literal& keyword,
                                           KeywordTagForm form, size_t from, size_t to);

// The first such tag of `text` whose «{%» starts at or after `from`, in a text
// that nothing copies.
std::optional<KeywordTag> find_keyword_tag(std::string_view text, const Literal& keyword,
                                           KeywordTagForm form, size_t from);

}  // namespace tesserine

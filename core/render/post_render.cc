#include <string_view>

#include "markup.h"
#include "render/render.h"
#include "scan/rewriter.h"
#include "scan/search.h"

namespace tesserine {
namespace {

struct DelimiterRestoration {
  std::string_view sequence;
  std::string_view delimiter;
};

// Applied in this order, each to the text the one before left, so a sequence that
// an earlier entry creates is matched by a later one.
constexpr DelimiterRestoration DELIMITER_RESTORATIONS[] = {
    {"{_{", EXPRESSION_OPENER.view()},
    {"}_}", EXPRESSION_CLOSER.view()},
    {"{_%", STATEMENT_OPENER.view()},
    {"%_}", STATEMENT_CLOSER.view()},
};

bool is_delimiter_byte(char c) { return c == '{' || c == '}' || c == '%'; }

// False only when none of the sequences occurs: each is an underscore between two
// of "{", "}" and "%", so one byte search for underscores rules out all four at
// once, where the replacements would each scan the whole text to find nothing.
// Text dense with underscores would make that a call per byte; past a budget the
// answer is a plain "maybe".
bool may_hold_delimiter_sequence(std::string_view text) {
  size_t budget = text.size() / 256 + 16;
  size_t pos = 1;
  while (Offset u = find_byte(text, '_', pos)) {
    if (*u + 1 < text.size() && is_delimiter_byte(text[*u - 1]) && is_delimiter_byte(text[*u + 1]))
      return true;
    if (budget-- == 0) return true;
    pos = *u + 1;
  }
  return false;
}

void restore_delimiters(CurrentText& current) {
  if (!may_hold_delimiter_sequence(current.view())) return;
  for (const DelimiterRestoration& entry : DELIMITER_RESTORATIONS)
    current.take(replace_all(current.view(), entry.sequence, entry.delimiter));
}

}  // namespace

PassResult strip_paragraph_breaks(std::string_view text) {
  constexpr std::string_view marked = "\n<w:p";
  Rewriter out(text);
  size_t pos = 0;
  while (Offset p = find_from(text, marked, pos)) {
    pos = *p + marked.size();
    if (pos < text.size() && (text[pos] == '>' || text[pos] == ' ')) out.copy_until(*p, *p + 1);
  }
  return out.finish();
}

PassResult post_render(std::string_view text) {
  ScratchScope scratch;
  CurrentText current(text);
  current.take(strip_paragraph_breaks(current.view()));
  restore_delimiters(current);
  if (find_any_byte(current.view(), LISTING_CONTROLS, 0))
    current.take(resolve_listing(current.view()));
  return current.finish();
}

}  // namespace tesserine

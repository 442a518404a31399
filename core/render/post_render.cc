#include <string_view>

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
    {"{_{", "{{"},
    {"}_}", "}}"},
    {"{_%", "{%"},
    {"%_}", "%}"},
};

void restore_delimiters(CurrentText& current) {
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

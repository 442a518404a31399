// Run tag isolation: every «{{r …}}» and «{%r …%}» tag gets a run of its own,
// so that replace_run_tags can later replace exactly that run.
#include <string_view>

#include "markup.h"
#include "patch/passes.h"
#include "scan/copying_search.h"
#include "scan/rewriter.h"
#include "scan/search.h"

namespace tesserine {

namespace {

// Ends the text element and run before (or after) the tag and opens fresh ones
// without run properties.
constexpr std::string_view kRunBreak = "</w:t></w:r><w:r><w:t xml:space=\"preserve\">";

}  // namespace

PassResult isolate_run_tags(std::string_view text) {
  Rewriter out(text);
  // Once a closer is missing from some offset on, it is missing from every later
  // offset too; remembering that keeps unclosed openers from rescanning the rest.
  bool no_more_braces = false;
  bool no_more_percents = false;
  const size_t n = text.size();
  CopyingSearch search(out);
  size_t pos = 0;
  // Only a "{" with an "r" two bytes on can open a run tag.
  while (const Offset open = search.find_followed('{', 'r', 2, pos, n)) {
    const size_t s = *open;
    pos = s + 1;
    bool* exhausted;
    const Literal* closer;
    if (text[s + 1] == '{') {
      closer = &EXPRESSION_CLOSER;
      exhausted = &no_more_braces;
    } else if (text[s + 1] == '%') {
      closer = &STATEMENT_CLOSER;
      exhausted = &no_more_percents;
    } else {
      continue;
    }
    const size_t space = space_length(text, s + 3);
    if (space == 0 || *exhausted) continue;
    const Offset close = find_from(text, *closer, s + 3 + space);
    if (!close) {
      *exhausted = true;
      continue;
    }
    const size_t end = *close + closer->size();
    search.copy_until(s, end);
    out.push_str(kRunBreak);
    out.push_str(text.substr(s, end - s));
    out.push_str(kRunBreak);
    pos = end;
  }
  return out.finish();
}

}  // namespace tesserine

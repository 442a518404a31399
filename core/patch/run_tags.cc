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
  // The closer searches, one per kind of tag, remembered: once a closer is
  // missing from some offset on, unclosed openers do not rescan the rest.
  RememberedLiteralSearch expression_closer(text, EXPRESSION_CLOSER);
  RememberedLiteralSearch statement_closer(text, STATEMENT_CLOSER);
  const size_t n = text.size();
  CopyingSearch search(out);
  size_t pos = 0;
  // Only a "{" with an "r" two bytes on can open a run tag.
  while (const Offset open = search.find_followed('{', 'r', 2, pos, n)) {
    const size_t s = *open;
    pos = s + 1;
    RememberedLiteralSearch* closer;
    if (text[s + 1] == '{') {
      closer = &expression_closer;
    } else if (text[s + 1] == '%') {
      closer = &statement_closer;
    } else {
      continue;
    }
    const size_t space = space_length(text, s + 3);
    if (space == 0) continue;
    const Offset close = closer->first_from(s + 3 + space);
    if (!close) continue;
    const size_t end = *close + closer->literal().size();
    search.copy_until(s, end);
    out.push_str(kRunBreak);
    out.push_str(text.substr(s, end - s));
    out.push_str(kRunBreak);
    pos = end;
  }
  return out.finish();
}

}  // namespace tesserine

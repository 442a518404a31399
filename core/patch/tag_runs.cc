#include "patch/passes.h"

#include "markup.h"
#include "scan/copying_search.h"
#include "scan/rewriter.h"
#include "scan/search.h"

namespace tesserine {

namespace {

struct Span {
  size_t start;
  size_t end;
};

// The closer that ends a tag opened by "{" and `second`, or none when the pair
// opens no tag.
const Literal* closer_for(char second) noexcept {
  switch (second) {
    case '{':
      return &EXPRESSION_CLOSER;
    case '%':
      return &STATEMENT_CLOSER;
    case '#':
      return &COMMENT_CLOSER;
    default:
      return nullptr;
  }
}

// The first opening text-element tag, "<w:t>" or "<w:t" and a space up to the
// next ">", lying wholly inside text[from..to). Look-alikes such as "<w:tab/>"
// or "<w:tbl>" are passed over.
std::optional<Span> find_text_start(std::string_view text, size_t from, size_t to) {
  for (size_t w = from;;) {
    const Offset t = find_in(text, TEXT_START.literal, w, to);
    if (!t) return std::nullopt;
    w = *t + 1;
    const size_t follow = *t + 4;
    if (follow >= text.size()) continue;
    if (text[follow] == '>') {
      if (follow + 1 <= to) return Span{*t, follow + 1};
      continue;
    }
    if (text[follow] == ' ') {
      // A ">" at or past `to` would put the tag outside the region.
      const Offset gt = find_byte(text, '>', follow + 1, to);
      if (!gt) return std::nullopt;
      return Span{*t, *gt + 1};
    }
  }
}

}  // namespace

PassResult merge_tag_text_runs(std::string_view text) {
  const size_t n = text.size();
  Rewriter rewriter(text);
  // Every edit lies inside a tag, after its "{", so the search for openers
  // copies the text in front of them.
  CopyingSearch search(rewriter);
  size_t pos = 0;
  while (Offset open = search.find_byte('{', pos, n)) {
    const size_t s = *open;
    if (s + 1 == n) break;
    const Literal* closer = closer_for(text[s + 1]);
    if (closer == nullptr) {
      pos = s + 1;
      continue;
    }
    // An unclosed tag reaches to the end of the text.
    const size_t e = find_in(text, *closer, s + 2, n).value_or(n);
    size_t w = s;
    while (Offset close = find_in(text, TEXT_END, w, e)) {
      w = *close + 6;
      const std::optional<Span> next = find_text_start(text, w, e);
      if (!next) break;
      search.copy_until(*close, next->end);
      w = next->end;
    }
    pos = e;
  }
  return rewriter.finish();
}

}  // namespace tesserine

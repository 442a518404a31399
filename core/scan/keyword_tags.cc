#include "scan/keyword_tags.h"

#include "markup.h"
#include "scan/rewriter.h"

namespace tesserine {

std::optional<KeywordTag> find_keyword_tag(CopyingSearch& search, const Literal& keyword,
                                           KeywordTagForm form, size_t from, size_t to) {
  const std::string_view text = search.source();
  const size_t n = text.size();
  for (size_t i = from; const Offset brace = search.find_followed('{', '%', 1, i, to);) {
    const size_t k = *brace;
    i = k + 1;
    const size_t j = skip_space_quickly(text, k + 2);
    if (!starts_at(text, j, keyword.view())) continue;
    const size_t after = j + keyword.size();
    const size_t b = skip_space_quickly(text, after);
    if (form == KeywordTagForm::Bare) {
      if (starts_at(text, b, STATEMENT_CLOSER.view())) return KeywordTag{k, b + 2, b, b};
      continue;
    }
    if (b == after || b == n) continue;
    const Offset m = find_byte(text, '%', b);
    // Every later candidate's expression starts further on, so none can close either.
    if (!m) return std::nullopt;
    if (*m + 1 < n && text[*m + 1] == '}') return KeywordTag{k, *m + 2, b, *m};
  }
  return std::nullopt;
}

std::optional<KeywordTag> find_keyword_tag(std::string_view text, const Literal& keyword,
                                           KeywordTagForm form, size_t from) {
  // A rewriter that never writes: the search copies nothing.
  Rewriter reading(text);
  CopyingSearch search(reading);
  return find_keyword_tag(search, keyword, form, from, text.size());
}

}  // namespace tesserine

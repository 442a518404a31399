// Tag body cleaning: inside expression and statement tags, typographic quotes
// and the escapes "&lt;", "&gt;", "&#8216;" become the plain characters that the
// template engine reads.
#include "patch/passes.h"

#include "scan/copying_search.h"
#include "scan/rewriter.h"
#include "scan/search.h"

namespace tesserine {

namespace {

struct TagBodyReplacement {
  std::string_view pattern;
  std::string_view replacement;
};

// Tried in this order at each "&" or 0xE2 byte of a body.
constexpr TagBodyReplacement TAG_BODY_REPLACEMENTS[] = {
    {"&#8216;", "'"},       {"&lt;", "<"}, {"&gt;", ">"}, {"\xE2\x80\x9C", "\""},  // U+201C
    {"\xE2\x80\x9D", "\""},                                                        // U+201D
    {"\xE2\x80\x98", "'"},                                                         // U+2018
    {"\xE2\x80\x99", "'"},                                                         // U+2019
};

constexpr std::string_view kPatternStarts = "&\xE2";

// The search that ends a body, with a starting point that never moves
// backwards, so a text full of unclosed openers is still scanned only once.
class BodyScanner {
 public:
  explicit BodyScanner(std::string_view text) noexcept : text_(text) {}

  // First offset at or after `from` where a line feed, "%}" or "}}" stands: a
  // body from `from` ends at a closer there, or fails at a line feed (or at
  // the end of the text, none). One search answers both questions.
  Offset stop(size_t from) {
    return stop_.first_from(from, [&](size_t f) { return find_stop(f); });
  }

  bool is_line_feed(size_t at) const noexcept { return text_[at] == '\n'; }

 private:
  Offset find_stop(size_t from) const {
    while (Offset hit = find_any_byte(text_, "%}\n", from)) {
      if (text_[*hit] == '\n') return hit;
      if (*hit + 1 < text_.size() && text_[*hit + 1] == '}') return hit;
      from = *hit + 1;
    }
    return std::nullopt;
  }

  std::string_view text_;
  RememberedSearch stop_;
};

// Writes the cleaned form of the body text[b..e) through `search`. Each
// replacement goes straight into the pass's output: the bytes come out as if the
// whole cleaned body replaced the body, without building it apart, and a body
// without patterns costs only the scan.
void clean_body(std::string_view text, size_t b, size_t e, CopyingSearch& search, Rewriter& out) {
  size_t pos = b;
  while (Offset at = find_any_byte(text, kPatternStarts, pos, e)) {
    pos = *at + 1;
    for (const TagBodyReplacement& row : TAG_BODY_REPLACEMENTS) {
      if (row.pattern.size() <= e - *at && starts_at(text, *at, row.pattern)) {
        pos = *at + row.pattern.size();
        search.copy_until(*at, pos);
        out.push_str(row.replacement);
        break;
      }
    }
  }
}

}  // namespace

PassResult clean_tag_bodies(std::string_view text) {
  const size_t n = text.size();
  Rewriter rewriter(text);
  // Every edit lies inside a body, after the "{" that opens it, so the search
  // for openers copies the text in front of them.
  CopyingSearch search(rewriter);
  BodyScanner scanner(text);
  size_t last_end = 0;
  std::optional<size_t> last_empty;
  for (size_t j = 0;;) {
    const Offset open = search.find_byte('{', j, n);
    if (!open) break;
    j = *open;
    const size_t b = j + 2;
    if (j + 1 == n || (text[j + 1] != '{' && text[j + 1] != '%') || b < last_end) {
      ++j;
      continue;
    }
    Offset e = scanner.stop(b);
    // An empty body may not stand where the previous empty body stood.
    if (e && *e == b && last_empty == b) e = scanner.stop(b + 1);
    if (!e || scanner.is_line_feed(*e)) {
      ++j;
      continue;
    }
    if (*e == b) {
      // Try the same opener again for a body that runs to a later closer.
      last_empty = b;
      last_end = b;
      continue;
    }
    clean_body(text, b, *e, search, rewriter);
    last_end = *e;
    ++j;
  }
  return rewriter.finish();
}

}  // namespace tesserine

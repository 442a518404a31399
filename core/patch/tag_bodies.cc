#include "patch/passes.h"

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
    {"&#8216;", "'"},
    {"&lt;", "<"},
    {"&gt;", ">"},
    {"\xE2\x80\x9C", "\""},  // U+201C
    {"\xE2\x80\x9D", "\""},  // U+201D
    {"\xE2\x80\x98", "'"},   // U+2018
    {"\xE2\x80\x99", "'"},   // U+2019
};

constexpr std::string_view kPatternStarts = "&\xE2";

// The last answer of a forward search: valid for any later starting point up
// to the offset found (or beyond, when nothing was found).
struct LastHit {
  bool known = false;
  size_t from = 0;
  size_t hit = std::string_view::npos;

  bool covers(size_t start) const noexcept { return known && start >= from && start <= hit; }
};

// Searches whose starting points never move backwards, so a text full of
// unclosed openers is still scanned only once.
class BodyScanner {
 public:
  explicit BodyScanner(std::string_view text) noexcept : text_(text) {}

  // First offset at or after `from` where "%}" or "}}" stands.
  Offset closer(size_t from) {
    if (!closer_.covers(from)) closer_ = {true, from, find_closer(from)};
    return as_offset(closer_.hit);
  }

  // Whether a line feed stands in text[b..e). Only the body is searched, as
  // most texts hold few line feeds and a search to the next one would cross the
  // whole text. The last answer is reused while it decides: openers nested in
  // one body share its search, and since a body's end only grows with its
  // start, any other body that needs a search lies past the range searched.
  bool line_feed_in(size_t b, size_t e) {
    const bool found = line_feed_ != std::string_view::npos;
    const bool reusable = line_feed_known_ && b >= line_feed_from_ &&
                          (found ? line_feed_ >= b : e <= line_feed_to_);
    if (!reusable) {
      line_feed_known_ = true;
      line_feed_from_ = b;
      line_feed_to_ = e;
      line_feed_ = find_byte(text_, '\n', b, e).value_or(std::string_view::npos);
    }
    return line_feed_ < e;
  }

 private:
  static Offset as_offset(size_t hit) noexcept {
    if (hit == std::string_view::npos) return std::nullopt;
    return hit;
  }

  size_t find_closer(size_t from) const {
    while (Offset hit = find_any_byte(text_, "%}", from)) {
      if (*hit + 1 < text_.size() && text_[*hit + 1] == '}') return *hit;
      from = *hit + 1;
    }
    return std::string_view::npos;
  }

  std::string_view text_;
  LastHit closer_;
  // The first line feed in text[line_feed_from_..line_feed_to_), or npos; once
  // known.
  bool line_feed_known_ = false;
  size_t line_feed_from_ = 0;
  size_t line_feed_to_ = 0;
  size_t line_feed_ = std::string_view::npos;
};

// Replaces text[b..e) in `out` by its cleaned form when a pattern occurs in it.
// The body gets its own rewriter, so a body without patterns costs no copy.
void clean_body(std::string_view text, size_t b, size_t e, Rewriter& out) {
  const std::string_view body = text.substr(b, e - b);
  Rewriter cleaned(body);
  size_t pos = 0;
  while (Offset at = find_any_byte(body, kPatternStarts, pos)) {
    pos = *at + 1;
    for (const TagBodyReplacement& row : TAG_BODY_REPLACEMENTS) {
      if (starts_at(body, *at, row.pattern)) {
        pos = *at + row.pattern.size();
        cleaned.copy_until(*at, pos);
        cleaned.push_str(row.replacement);
        break;
      }
    }
  }
  PassResult result = cleaned.finish();
  if (!result.is_rewritten()) return;
  out.copy_until(b, e);
  out.push_str(result.text().view());
}

}  // namespace

PassResult clean_tag_bodies(std::string_view text) {
  const size_t n = text.size();
  Rewriter rewriter(text);
  BodyScanner scanner(text);
  size_t last_end = 0;
  std::optional<size_t> last_empty;
  for (size_t j = 0;;) {
    const Offset open = find_byte(text, '{', j);
    if (!open) break;
    j = *open;
    const size_t b = j + 2;
    if (j + 1 == n || (text[j + 1] != '{' && text[j + 1] != '%') || b < last_end) {
      ++j;
      continue;
    }
    Offset e = scanner.closer(b);
    // An empty body may not stand where the previous empty body stood.
    if (e && *e == b && last_empty == b) e = scanner.closer(b + 1);
    if (!e || scanner.line_feed_in(b, *e)) {
      ++j;
      continue;
    }
    if (*e == b) {
      // Try the same opener again for a body that runs to a later closer.
      last_empty = b;
      last_end = b;
      continue;
    }
    clean_body(text, b, *e, rewriter);
    last_end = *e;
    ++j;
  }
  return rewriter.finish();
}

}  // namespace tesserine

// Trim markers: "{%-" and "-%}" swallow the markup between a
// statement and the neighbouring text element. Only markup and white space are
// ever deleted; a stretch that holds document text leaves its tag as written.
#include <optional>
#include <string_view>

#include "markup.h"
#include "patch/passes.h"
#include "scan/copying_search.h"
#include "scan/rewriter.h"
#include "scan/search.h"

namespace tesserine {

namespace {

constexpr Literal kTrimOpener("{%-");
constexpr Literal kTrimCloser("-%}");

// Offset of the first character of text[from..to) that stands outside markup tags
// and is not white space, or `to` when there is none. A tag runs from "<" to the
// next ">"; a "<" whose ">" lies at or beyond `to` makes the rest markup. `from`
// and `to` are character boundaries.
size_t first_text(std::string_view text, size_t from, size_t to) {
  size_t i = from;
  while (i < to) {
    if (text[i] == '<') {
      const Offset close = find_byte(text, '>', i + 1, to);
      if (!close) return to;
      i = *close + 1;
    } else if (const size_t space = space_length(text, i)) {
      i += space;
    } else {
      return i;
    }
  }
  return to;
}

// Answers "does this stretch hold document text?" for both passes while reusing
// the previous answer where the stretches overlap, so that a run of rejected
// markers never rescans the same bytes.
class StretchText {
 public:
  explicit StretchText(std::string_view text) noexcept : text_(text) {}

  bool holds_text(size_t from, size_t to) {
    if (!valid_ || !reuse(from, to)) found_ = first_text(text_, from, to);
    valid_ = true;
    from_ = from;
    to_ = to;
    return found_ < to;
  }

 private:
  // Sets found_ from the previous stretch when that is exact; false otherwise.
  bool reuse(size_t from, size_t to) {
    // Same start, longer stretch: tags before the old find closed before it, so
    // the parse up to it is the same.
    if (from == from_ && to >= to_ && found_ < to_) return true;
    if (to != to_ || from <= from_ || from > found_) return false;
    // A later start inside the old stretch: after white space, either a
    // character that is text for this parse, or a "<" whose tag ends at the same
    // ">" that ends the old parse's tag there, after which both parses agree.
    size_t w = from;
    while (w < to) {
      const size_t space = space_length(text_, w);
      if (space == 0) break;
      w += space;
    }
    if (!(w < found_ && text_[w] == '<')) found_ = w;
    return true;
  }

  std::string_view text_;
  bool valid_ = false;
  size_t from_ = 0;
  size_t to_ = 0;
  size_t found_ = 0;
};

// What the scan after a "-%}" meets first.
struct AfterCloser {
  size_t at;       // the "<" or "{"
  bool tag_opens;  // an expression or statement tag begins at `at`
  size_t tag_end;  // just past the ">" of the text-element start tag
};

// Scans from an offset for the next tag opener or text-element start tag.
class CloserScan {
 public:
  explicit CloserScan(std::string_view text) noexcept : text_(text) {}

  // None when the pass can rewrite nothing more from `from` on.
  std::optional<AfterCloser> operator()(size_t from) {
    const size_t n = text_.size();
    size_t x = from;
    while (auto hit = find_any_byte(text_, "<{", x)) {
      x = *hit;
      if (text_[x] == '{') {
        if (x + 1 < n && (text_[x + 1] == '{' || text_[x + 1] == '%'))
          return AfterCloser{x, true, 0};
      } else if (is_start_tag(text_, TEXT_START, x)) {
        const Offset close = first_gt(x + TEXT_START.prefix.size());
        if (!close) return std::nullopt;
        return AfterCloser{x, false, *close + 1};
      }
      ++x;
    }
    return std::nullopt;
  }

 private:
  // The first ">" at or after `from`. Closers that stand inside one long start
  // tag each meet a later "<w:t" inside it, and all of these end at that tag's
  // ">", so the last answer is kept for every later start up to it.
  Offset first_gt(size_t from) {
    return gt_.first_from(from, [&](size_t f) { return find_byte(text_, '>', f); });
  }

  std::string_view text_;
  RememberedSearch gt_;
};

// The first `marker` at or after `from`: each of its first byte with its byte at
// `gap` on is found through the copying search, and then checked whole.
Offset find_marker(CopyingSearch& search, const Literal& marker, size_t gap, size_t from) {
  const std::string_view text = search.source();
  const std::string_view m = marker.view();
  Offset at;
  for (size_t i = from; (at = search.find_followed(m[0], m[gap], gap, i, text.size()));) {
    if (starts_at(text, *at, m)) break;
    i = *at + 1;
  }
  return at;
}

}  // namespace

PassResult trim_markup_before_tags(std::string_view text) {
  Rewriter out(text);
  CopyingSearch search(out);
  StretchText stretch(text);
  size_t q = 0;
  // The "</w:t>" nearest before each opener: `end_tag` is the last one inside
  // [bound, seen), where bound is the end of the last rewritten opener, so each
  // opener searches back only over the text since the previous one.
  size_t seen = 0;
  size_t end_tag = 0;
  bool have_end_tag = false;
  for (;;) {
    const Offset open = find_marker(search, kTrimOpener, 2, q);
    if (!open) break;
    const size_t k = *open;
    if (auto found = rfind_in(text, TEXT_END, seen, k)) {
      end_tag = *found;
      have_end_tag = true;
    }
    // No "</w:t>" can straddle k, since "{" is none of its bytes.
    seen = k;
    if (!have_end_tag || stretch.holds_text(end_tag, k)) {
      q = k + 1;
      continue;
    }
    search.copy_until(end_tag, k + 3);
    out.push_str(STATEMENT_OPENER.view());
    q = k + 3;
    seen = q;
    have_end_tag = false;
  }
  return out.finish();
}

PassResult trim_markup_after_tags(std::string_view text) {
  Rewriter out(text);
  CopyingSearch search(out);
  StretchText stretch(text);
  CloserScan scan_after_closer(text);
  size_t q = 0;
  // What the scan met is a property of that position alone, so a closer that
  // lies before it meets the same thing.
  std::optional<AfterCloser> next;
  for (;;) {
    const Offset close = find_marker(search, kTrimCloser, 1, q);
    if (!close) break;
    const size_t k = *close;
    const size_t from = k + 3;
    if (!next || from > next->at) {
      next = scan_after_closer(from);
      if (!next) break;
    }
    if (next->tag_opens || stretch.holds_text(from, next->at)) {
      q = k + 1;
      continue;
    }
    search.copy_until(k, next->tag_end);
    out.push_str(STATEMENT_CLOSER.view());
    q = next->tag_end;
  }
  return out.finish();
}

}  // namespace tesserine

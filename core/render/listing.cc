#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "fault.h"
#include "render/render.h"
#include "scan/rewriter.h"
#include "scan/search.h"

namespace tesserine {
namespace {

constexpr StartTagPattern PARAGRAPH_START{"<w:p", false};
constexpr StartTagPattern RUN_START{"<w:r", false};
constexpr StartTagPattern TEXT_START{"<w:t", false};
constexpr std::string_view PARAGRAPH_END = "</w:p>";
constexpr std::string_view RUN_END = "</w:r>";
constexpr std::string_view TEXT_END = "</w:t>";

// One piece of a replacement markup: a literal, or the properties looked up for
// the paragraph or the run being split.
struct MarkupPiece {
  enum Kind { kLiteral, kRunProperties, kParagraphProperties };
  Kind kind;
  std::string_view literal;
};

constexpr MarkupPiece lit(std::string_view text) { return {MarkupPiece::kLiteral, text}; }
constexpr MarkupPiece RPR{MarkupPiece::kRunProperties, {}};
constexpr MarkupPiece PPR{MarkupPiece::kParagraphProperties, {}};
constexpr std::string_view PRESERVED_TEXT = "<w:t xml:space=\"preserve\">";

constexpr MarkupPiece TAB_MARKUP[] = {
    lit("</w:t></w:r><w:r>"), RPR, lit("<w:tab/></w:r><w:r>"), RPR, lit(PRESERVED_TEXT)};
constexpr MarkupPiece PARAGRAPH_MARKUP[] = {
    lit("</w:t></w:r></w:p><w:p>"), PPR, lit("<w:r>"), RPR, lit(PRESERVED_TEXT)};
constexpr MarkupPiece LINE_MARKUP[] = {lit("</w:t><w:br/>"), lit(PRESERVED_TEXT)};
constexpr MarkupPiece PAGE_MARKUP[] = {
    lit("</w:t></w:r></w:p><w:p><w:r><w:br w:type=\"page\"/></w:r></w:p><w:p>"), PPR,
    lit("<w:r>"), RPR, lit(PRESERVED_TEXT)};

struct ListingReplacement {
  std::string_view control;
  std::span<const MarkupPiece> markup;
};

// Applied in this order to a copy of the text element; markup that an earlier
// entry inserts is searched by the later ones.
constexpr ListingReplacement LISTING_REPLACEMENTS[] = {
    {"\t", TAB_MARKUP},
    {"\a", PARAGRAPH_MARKUP},
    {"\n", LINE_MARKUP},
    {"\f", PAGE_MARKUP},
};

// The markup that replaces one control character, with the looked-up properties
// in place.
Buffer build_markup(std::span<const MarkupPiece> pieces, std::string_view paragraph_properties,
                    std::string_view run_properties) {
  auto text_of = [&](const MarkupPiece& piece) {
    switch (piece.kind) {
      case MarkupPiece::kRunProperties: return run_properties;
      case MarkupPiece::kParagraphProperties: return paragraph_properties;
      case MarkupPiece::kLiteral: break;
    }
    return piece.literal;
  };
  size_t total = 0;
  for (const MarkupPiece& piece : pieces) total = checked_add(total, text_of(piece).size());
  Buffer markup(total);
  for (const MarkupPiece& piece : pieces) markup.append(text_of(piece));
  return markup;
}

// Where a start tag found by its four-byte prefix ends.
struct TagEnd {
  enum Kind { kNotTag, kTag, kUnclosed };
  Kind kind;
  size_t end;
};

TagEnd start_tag_end(std::string_view text, const StartTagPattern& pattern, size_t s) {
  if (!is_start_tag(text, pattern, s)) return {TagEnd::kNotTag, 0};
  size_t after = s + pattern.prefix.size();
  if (text[after] == '>') return {TagEnd::kTag, after + 1};
  // Attributes follow; the tag's own ">" is searched to the end of the whole text.
  Offset close = find_byte(text, '>', after + 1);
  if (!close) return {TagEnd::kUnclosed, 0};
  return {TagEnd::kTag, *close + 1};
}

// The control characters of the text, looked up in increasing order: regions are
// visited left to right, so one forward search serves every region up to the
// next control character, and the text is scanned for them once in all.
class ControlCursor {
 public:
  explicit ControlCursor(std::string_view text) noexcept : text_(text) {}

  bool within(size_t from, size_t to) {
    if (!searched_ || (next_ && *next_ < from)) {
      searched_ = true;
      next_ = find_any_byte(text_, LISTING_CONTROLS, from);
    }
    return next_ && *next_ < to;
  }

  // No control character at or after the last search.
  bool exhausted() const noexcept { return searched_ && !next_; }

 private:
  std::string_view text_;
  bool searched_ = false;
  Offset next_;
};

// The next element of a kind inside [pos, limit): from its start tag to just
// past the first closing tag after it. None when the level is done: no further
// start tag, a start tag whose ">" is missing or lies past `limit`, or no
// closing tag.
struct Region {
  size_t start, end;
};

std::optional<Region> next_region(std::string_view text, const StartTagPattern& pattern,
                                  std::string_view closing, size_t pos, size_t limit) {
  while (pos <= limit) {
    Offset s = find_in(text, pattern.prefix, pos, limit);
    if (!s) return std::nullopt;
    TagEnd tag = start_tag_end(text, pattern, *s);
    if (tag.kind == TagEnd::kNotTag) {
      pos = *s + 1;
      continue;
    }
    if (tag.kind == TagEnd::kUnclosed || tag.end > limit) return std::nullopt;
    Offset close = find_in(text, closing, tag.end, limit);
    if (!close) return std::nullopt;
    return Region{*s, *close + closing.size()};
  }
  return std::nullopt;
}

class ListingResolver {
 public:
  explicit ListingResolver(std::string_view text) noexcept
      : text_(text), out_(text), controls_(text) {}

  PassResult run() {
    size_t pos = 0;
    while (auto para = next_region(text_, PARAGRAPH_START, PARAGRAPH_END, pos, text_.size())) {
      if (controls_.within(para->start, para->end)) {
        paragraph_properties_.reset();
        resolve_runs(*para);
      }
      pos = para->end;
      if (controls_.exhausted()) break;  // nothing left to rewrite
    }
    return out_.finish();
  }

 private:
  void resolve_runs(const Region& para) {
    size_t rpos = para.start;
    while (auto run = next_region(text_, RUN_START, RUN_END, rpos, para.end)) {
      run_properties_.reset();
      resolve_elements(para, *run);
      rpos = run->end;
    }
  }

  void resolve_elements(const Region& para, const Region& run) {
    size_t tpos = run.start;
    while (auto element = next_region(text_, TEXT_START, TEXT_END, tpos, run.end)) {
      if (controls_.within(element->start, element->end)) {
        if (!paragraph_properties_)
          paragraph_properties_ = find_properties(
              text_.substr(para.start, para.end - para.start), "<w:pPr>", "</w:pPr>");
        if (!run_properties_)
          run_properties_ = find_properties(text_.substr(run.start, run.end - run.start),
                                            "<w:rPr>", "</w:rPr>");
        out_.copy_until(element->start, element->end);
        replace_controls(text_.substr(element->start, element->end - element->start));
      }
      tpos = element->end;
    }
  }

  // A markup is built only when its character occurs (in the element, or in
  // properties an earlier replacement inserted), so the cost of the properties is
  // always paid for by output that holds them.
  void replace_controls(std::string_view element) {
    CurrentText current(element);
    for (const ListingReplacement& entry : LISTING_REPLACEMENTS) {
      if (!find_byte(current.view(), entry.control[0], 0)) continue;
      Buffer markup = build_markup(entry.markup, *paragraph_properties_, *run_properties_);
      current.take(replace_all(current.view(), entry.control, markup.view()));
    }
    out_.push_str(current.view());
  }

  std::string_view text_;
  Rewriter out_;
  ControlCursor controls_;
  // Looked up at most once per paragraph and per run, and only for those that hold
  // a rewritten text element; they borrow from text_.
  std::optional<std::string_view> paragraph_properties_;
  std::optional<std::string_view> run_properties_;
};

}  // namespace

PassResult resolve_listing(std::string_view text) { return ListingResolver(text).run(); }

std::string_view find_properties(std::string_view region, std::string_view open,
                                 std::string_view close) {
  // Every open tag between one close and the next shares that next close, so the
  // close and the last LF or FF before it are found once for all of them: each
  // stretch of the region is scanned a bounded number of times.
  std::optional<size_t> end;      // the close found for the latest open
  std::optional<size_t> last_bad;  // the last LF or FF in [first body, end)
  size_t from = 0;
  while (Offset start = find_in(region, open, from, region.size())) {
    const size_t body = *start + open.size();
    if (!end || *end < body) {
      end = find_from(region, close, body);
      if (!end) return {};
      Offset lf = rfind_byte(region, '\n', body, *end);
      Offset ff = rfind_byte(region, '\f', lf ? *lf : body, *end);
      last_bad = ff ? ff : lf;
    }
    // The markup repeats the properties, and the later line and page replacements
    // would expand an LF or FF inside them again; for FF, into markup that repeats
    // them once more, so the output would grow with the square of the input.
    if (!last_bad || *last_bad < body) return region.substr(*start, *end + close.size() - *start);
    from = *start + 1;
  }
  return {};
}

PassResult replace_all(std::string_view text, std::string_view needle,
                       std::string_view replacement) {
  if (needle.empty()) fault("replace_all: empty needle");
  Rewriter out(text);
  size_t pos = 0;
  while (Offset k = find_from(text, needle, pos)) {
    pos = *k + needle.size();
    out.copy_until(*k, pos);
    out.push_str(replacement);
  }
  return out.finish();
}

}  // namespace tesserine

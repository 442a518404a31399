#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "fault.h"
#include "markup.h"
#include "render/render.h"
#include "scan/rewriter.h"
#include "scan/search.h"

namespace tesserine {
namespace {

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

constexpr MarkupPiece TAB_MARKUP[] = {lit("</w:t></w:r><w:r>"), RPR, lit("<w:tab/></w:r><w:r>"),
                                      RPR, lit(PRESERVED_TEXT_START)};
constexpr MarkupPiece PARAGRAPH_MARKUP[] = {lit("</w:t></w:r></w:p><w:p>"), PPR, lit("<w:r>"), RPR,
                                            lit(PRESERVED_TEXT_START)};
constexpr MarkupPiece LINE_MARKUP[] = {lit("</w:t><w:br/>"), lit(PRESERVED_TEXT_START)};
constexpr MarkupPiece PAGE_MARKUP[] = {
    lit("</w:t></w:r></w:p><w:p><w:r><w:br w:type=\"page\"/></w:r></w:p><w:p>"), PPR, lit("<w:r>"),
    RPR, lit(PRESERVED_TEXT_START)};

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

std::string_view piece_text(const MarkupPiece& piece, std::string_view paragraph_properties,
                            std::string_view run_properties) {
  switch (piece.kind) {
    case MarkupPiece::kRunProperties:
      return run_properties;
    case MarkupPiece::kParagraphProperties:
      return paragraph_properties;
    case MarkupPiece::kLiteral:
      break;
  }
  return piece.literal;
}

// The markup that replaces one control character, with the looked-up properties
// in place.
Buffer build_markup(std::span<const MarkupPiece> pieces, std::string_view paragraph_properties,
                    std::string_view run_properties) {
  size_t total = 0;
  for (const MarkupPiece& piece : pieces)
    total = checked_add(total, piece_text(piece, paragraph_properties, run_properties).size());
  Buffer markup(total);
  for (const MarkupPiece& piece : pieces)
    markup.append(piece_text(piece, paragraph_properties, run_properties));
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

  // The first control character at or after `from`.
  Offset next(size_t from) {
    return next_.first_from(from,
                            [&](size_t f) { return find_any_byte(text_, LISTING_CONTROLS, f); });
  }

  bool within(size_t from, size_t to) {
    Offset c = next(from);
    return c && *c < to;
  }

 private:
  std::string_view text_;
  RememberedSearch next_;
};

// The next element of a kind inside [pos, limit): from its start tag to just
// past the first closing tag after it. None when the level is done: no further
// start tag, a start tag whose ">" is missing or lies past `limit`, or no
// closing tag.
struct Region {
  size_t start, end;
};

std::optional<Region> next_region(std::string_view text, const StartTagPattern& pattern,
                                  const Literal& closing, size_t pos, size_t limit) {
  while (pos <= limit) {
    Offset s = find_in(text, pattern.literal, pos, limit);
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
    Offset aimed;  // the control character of the latest jump
    // Paragraphs after the last control character hold nothing to rewrite.
    for (Offset control; (control = controls_.next(pos));) {
      if (control != aimed) {
        pos = jump_towards(PARAGRAPH_END, pos, *control);
        aimed = control;
      }
      auto para = next_region(text_, PARAGRAPH_START, PARAGRAPH_END, pos, text_.size());
      if (!para) break;
      if (controls_.within(para->start, para->end)) {
        paragraph_properties_.reset();
        resolve_runs(*para);
      }
      pos = para->end;
    }
    return out_.finish();
  }

 private:
  // Where a walk over paragraphs or over the runs of a paragraph, standing at
  // `pos`, can resume without passing over an element that holds `control`, the
  // next control character: just past the last `closing` tag ("</w:p>" or
  // "</w:r>") before `control` whose preceding byte is ">". No region of the walk
  // reaches across such a point (its start tag would have to hold that ">"), so
  // every region the walk would visit before it ends there, holds no control
  // character, and leaves the walk at the same next start tag. The search runs
  // once per control character and level, backwards over [pos, control), which
  // the walk then leaves behind: it stays linear in all. Closing tags after text
  // are not expected in WordprocessingML, so after a few the walk simply goes on
  // from `pos`, rather than paying a search per closing tag of such text.
  size_t jump_towards(const Literal& closing, size_t pos, size_t control) const {
    size_t to = control;
    for (int tries = 0; tries < 4; ++tries) {
      Offset close = rfind_in(text_, closing, pos, to);
      if (!close) break;
      if (*close > 0 && text_[*close - 1] == '>') return *close + closing.size();
      to = *close + closing.size() - 1;
    }
    return pos;
  }

  // Runs after the paragraph's last control character hold nothing to rewrite.
  void resolve_runs(const Region& para) {
    size_t rpos = para.start;
    Offset aimed;
    for (Offset control; (control = controls_.next(rpos)) && *control < para.end;) {
      if (control != aimed) {
        rpos = jump_towards(RUN_END, rpos, *control);
        aimed = control;
      }
      auto run = next_region(text_, RUN_START, RUN_END, rpos, para.end);
      if (!run) break;
      run_properties_.reset();
      resolve_elements(para, *run);
      rpos = run->end;
    }
  }

  void resolve_elements(const Region& para, const Region& run) {
    size_t tpos = run.start;
    while (controls_.within(tpos, run.end)) {
      auto element = next_region(text_, TEXT_START, TEXT_END, tpos, run.end);
      if (!element) break;
      if (controls_.within(element->start, element->end)) {
        if (!paragraph_properties_) {
          paragraph_properties_ = find_properties(text_.substr(para.start, para.end - para.start),
                                                  "<w:pPr>", "</w:pPr>");
          paragraph_properties_plain_ = !find_any_byte(*paragraph_properties_, LISTING_CONTROLS, 0);
        }
        if (!run_properties_) {
          run_properties_ =
              find_properties(text_.substr(run.start, run.end - run.start), "<w:rPr>", "</w:rPr>");
          run_properties_plain_ = !find_any_byte(*run_properties_, LISTING_CONTROLS, 0);
        }
        if (paragraph_properties_plain_ && run_properties_plain_) {
          replace_controls_in_place(*element);
        } else {
          out_.copy_until(element->start, element->end);
          replace_controls(text_.substr(element->start, element->end - element->start));
        }
      }
      tpos = element->end;
    }
  }

  // Each replacement maps single bytes to markup, so the four in a row map every
  // byte of the element on its own; when the properties hold no control character
  // the markup of one kind holds none either, nothing a replacement inserts is
  // changed by a later one, and each control character of the element becomes
  // exactly its own markup. The markup is then written straight into the
  // document, with the text between control characters copied from the source.
  void replace_controls_in_place(const Region& element) {
    for (Offset c = controls_.next(element.start); c && *c < element.end;
         c = controls_.next(*c + 1)) {
      out_.copy_until(*c, *c + 1);
      for (const ListingReplacement& entry : LISTING_REPLACEMENTS) {
        if (entry.control[0] != text_[*c]) continue;
        for (const MarkupPiece& piece : entry.markup)
          out_.push_str(piece_text(piece, *paragraph_properties_, *run_properties_));
        break;
      }
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
  // Whether the looked-up properties are free of control characters.
  bool paragraph_properties_plain_ = false;
  bool run_properties_plain_ = false;
};

}  // namespace

PassResult resolve_listing(std::string_view text) { return ListingResolver(text).run(); }

std::string_view find_properties(std::string_view region, std::string_view open,
                                 std::string_view close) {
  // Every open tag between one close and the next shares that next close, so the
  // close and the last LF or FF before it are found once for all of them: each
  // stretch of the region is scanned a bounded number of times.
  std::optional<size_t> end;       // the close found for the latest open
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

// Element-scoped tags: a tag whose opener is followed by an element keyword, such as
// «{%tr for r in rows %}», replaces the whole enclosing row, cell, paragraph or
// run, with the keyword taken out, so the template engine repeats or drops that
// element as a unit.
#include <array>
#include <optional>
#include <string_view>

#include "markup.h"
#include "patch/engine.h"
#include "patch/passes.h"
#include "scan/search.h"

namespace tesserine {

namespace {

struct ElementKind {
  std::string_view keyword;
  std::string_view closing;
  StartTagPattern start;
};

constexpr std::array<ElementKind, 4> ELEMENT_KINDS{{
    {"tr", ROW_END.view(), ROW_START},
    {"tc", CELL_END.view(), CELL_START},
    {"p", PARAGRAPH_END.view(), PARAGRAPH_START},
    {"r", RUN_END.view(), RUN_START},
}};

enum Kind : size_t { kRow = 0, kCell = 1, kParagraph = 2, kRun = 3 };

// Finds the first tag at or after an offset that opens with "{{" or "{%" (with
// `comment`, "{#"), then `keyword` and exactly one space, and closes at the first
// "}" or close character after that space, or none when no such tag starts
// before a bound. A rejected candidate is retried one byte after its "{".
class ScopedTagFinder {
 public:
  ScopedTagFinder(std::string_view text, std::string_view keyword, bool comment) noexcept
      : text_(text), keyword_(keyword), comment_(comment), stops_{'}', comment ? '#' : '%'} {}

  std::optional<TagSpan> operator()(CopyingSearch& search, size_t from, size_t to) {
    const size_t n = text_.size();
    size_t i = from;
    while (i < n) {
      // Only a "{" with the keyword's first byte two bytes on can open a tag.
      Offset brace = search.find_followed('{', keyword_[0], 2, i, to);
      if (!brace) return std::nullopt;
      const size_t j = *brace;
      i = j + 1;

      const char opener = text_[j + 1];
      if (comment_ ? opener != '#' : opener != '{' && opener != '%') continue;

      const size_t k = j + 2;
      if (!starts_at(text_, k, keyword_)) continue;
      const size_t space = k + keyword_.size();
      if (space >= n || text_[space] != ' ') continue;

      const size_t body = space + 1;
      if (body == n) continue;
      Offset stop = first_stop(body);
      // Every later candidate's body starts further on, so none can close either.
      if (!stop) return std::nullopt;
      const size_t m = *stop;
      if (m + 1 >= n || text_[m + 1] != '}') continue;
      if (text_[m] == '}' && comment_) continue;
      return TagSpan{j, m + 2, body, m + 2};
    }
    return std::nullopt;
  }

 private:
  // The first "}" or close character at or after `body`. The last answer holds
  // for every body between its start and the stop it found: openers nested in one
  // tag, or piled up in front of one far "}", share one search.
  Offset first_stop(size_t body) {
    return stop_.first_from(
        body, [&](size_t from) { return find_any_byte(text_, std::string_view(stops_, 2), from); });
  }

  std::string_view text_;
  std::string_view keyword_;
  bool comment_;
  char stops_[2];
  RememberedSearch stop_;
};

// Writes the tag back without its keyword: the opener, one space, the body and
// the closer.
EmitResult emit_unscoped_tag(std::string_view text, Buffer& output, size_t, const TagSpan& tag,
                             size_t) {
  output.append(text.substr(tag.start, 2));
  output.push_back(' ');
  output.append(text.substr(tag.body_start, tag.body_end - tag.body_start));
  return EmitResult::ok();
}

PassResult replace_scoped_elements(std::string_view text, Kind kind, bool comment) {
  const ElementKind& row = ELEMENT_KINDS[kind];
  ScopedTagFinder find_scoped_tag(text, row.keyword, comment);
  auto finder = [&](CopyingSearch& search, size_t from, size_t to) {
    return find_scoped_tag(search, from, to);
  };
  auto emitter = [&](Buffer& output, size_t element_start, const TagSpan& tag, size_t region_end) {
    return emit_unscoped_tag(text, output, element_start, tag, region_end);
  };
  return replace_enclosing_elements_copying(text, row.start, finder, row.closing, emitter);
}

}  // namespace

PassResult replace_row_tags(std::string_view text) {
  return replace_scoped_elements(text, kRow, false);
}
PassResult replace_cell_tags(std::string_view text) {
  return replace_scoped_elements(text, kCell, false);
}
PassResult replace_paragraph_tags(std::string_view text) {
  return replace_scoped_elements(text, kParagraph, false);
}
PassResult replace_run_tags(std::string_view text) {
  return replace_scoped_elements(text, kRun, false);
}
PassResult replace_row_comments(std::string_view text) {
  return replace_scoped_elements(text, kRow, true);
}
PassResult replace_cell_comments(std::string_view text) {
  return replace_scoped_elements(text, kCell, true);
}
PassResult replace_paragraph_comments(std::string_view text) {
  return replace_scoped_elements(text, kParagraph, true);
}

}  // namespace tesserine

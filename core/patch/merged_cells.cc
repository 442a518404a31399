// Merged cells: «{% vm %}» and «{% hm %}» turn the table cell that holds them
// into template code driven by the enclosing loop. The cell is kept and
// written back changed; nothing outside the rewritten cells is touched.
#include <optional>
#include <string_view>

#include "markup.h"
#include "patch/passes.h"
#include "scan/buffer.h"
#include "scan/copying_search.h"
#include "scan/keyword_tags.h"
#include "scan/rewriter.h"
#include "scan/search.h"

namespace tesserine {
namespace {

enum class MergeMode { Vertical, Horizontal };

constexpr std::string_view VMERGE_PROPERTY =
    "<w:vMerge w:val=\"{% if loop.first %}restart{% else %}continue{% endif %}\"/>";
constexpr std::string_view FIRST_ITERATION_OPENER = "{% if loop.first %}";
constexpr std::string_view TEXT_CLOSE = "{% endif %}</w:t>";
constexpr std::string_view HSPAN_PROPERTY = "<w:gridSpan w:val=\"{{ loop.length }}\"/>";
constexpr std::string_view SPAN_MULTIPLIER_OPEN = "{{ ";
constexpr std::string_view SPAN_MULTIPLIER_CLOSE = " * loop.length }}";
constexpr std::string_view CELL_CLOSE = "{% endif %}";

constexpr Literal VMERGE_KEYWORD("vm");
constexpr Literal HMERGE_KEYWORD("hm");
// A cell's end tag, written with or without attributes.
constexpr StartTagPattern CELL_END_TAG{"</w:tc", false};
constexpr StartTagPattern CELL_PROPERTIES_END{"</w:tcPr", false};
constexpr Literal GRID_SPAN("w:gridSpan");
constexpr Literal GRID_SPAN_VALUE("w:gridSpan w:val=\"");

constexpr const char* NON_ASCII_SPAN = "non-ASCII gridSpan value";

// One link of the chain inside a cell: the end of the cell properties, the end
// of the text element's start tag after them, the keyword tag in that element
// and the element's end tag. Offsets are into the cell text.
struct ChainLink {
  size_t properties_end;  // the "</w:tcPr"
  size_t text_open_end;   // the ">" of the text element's start tag
  KeywordTag tag;
  size_t text_close;  // the "</w:t>" after the tag
};

std::optional<ChainLink> find_chain(std::string_view cell, const Literal& keyword, size_t from) {
  Offset a = find_start_tag(cell, CELL_PROPERTIES_END, from);
  if (!a) return std::nullopt;
  // Only a real text element counts: "<w:tab/>", "<w:tbl>" and the like share
  // the four-byte prefix but hold no text.
  Offset b = find_start_tag(cell, TEXT_START, *a + CELL_PROPERTIES_END.prefix.size() + 1);
  if (!b) return std::nullopt;
  // find_byte gives none when b + 4 is already at the cell's end.
  Offset g = find_byte(cell, '>', *b + TEXT_START.prefix.size(), cell.size());
  if (!g) return std::nullopt;
  std::optional<KeywordTag> u = find_keyword_tag(cell, keyword, KeywordTagForm::Bare, *g + 1);
  if (!u) return std::nullopt;
  Offset r = find_from(cell, TEXT_END, u->end);
  if (!r) return std::nullopt;
  return ChainLink{*a, *g, *u, *r};
}

std::string_view slice(std::string_view s, size_t from, size_t to) {
  return s.substr(from, to - from);
}

// The merge property goes last into the cell properties; the text element's
// content is kept for the first iteration only and the tag is dropped.
void write_vertical(Buffer& out, std::string_view cell) {
  size_t d = 0;
  while (std::optional<ChainLink> link = find_chain(cell, VMERGE_KEYWORD, d)) {
    out.append(slice(cell, d, link->properties_end));
    out.append(VMERGE_PROPERTY);
    out.append(slice(cell, link->properties_end, link->text_open_end + 1));
    out.append(FIRST_ITERATION_OPENER);
    out.append(slice(cell, link->text_open_end + 1, link->tag.start));
    out.append(slice(cell, link->tag.end, link->text_close));
    out.append(TEXT_CLOSE);
    d = link->text_close + TEXT_END.size();
  }
  out.append(cell.substr(d));
}

// Multiplies every numeric span value of the cell by the loop's length, then
// drops the keyword tags. Returns false for a value that is not plain ASCII,
// which this pass leaves to the reference implementation.
bool write_multiplied_spans(Buffer& out, std::string_view cell) {
  Buffer copy(cell.size() + 32);
  size_t d = 0;
  size_t i = 0;
  while (Offset m = find_from(cell, GRID_SPAN_VALUE, i)) {
    size_t v = *m + GRID_SPAN_VALUE.size();
    size_t e = v;
    while (e < cell.size() && cell[e] >= '0' && cell[e] <= '9') ++e;
    if (e >= cell.size()) {
      i = *m + 1;
    } else if (e > v && cell[e] == '"') {
      copy.append(slice(cell, d, v));
      copy.append(SPAN_MULTIPLIER_OPEN);
      copy.append(slice(cell, v, e));
      copy.append(SPAN_MULTIPLIER_CLOSE);
      d = e;
      i = e + 1;
    } else if (static_cast<unsigned char>(cell[e]) >= 0x80) {
      return false;
    } else {
      i = *m + 1;
    }
  }
  copy.append(cell.substr(d));

  std::string_view spans = copy.view();
  size_t j = 0;
  while (std::optional<KeywordTag> u =
             find_keyword_tag(spans, HMERGE_KEYWORD, KeywordTagForm::Bare, j)) {
    out.append(slice(spans, j, u->start));
    j = u->end;
  }
  out.append(spans.substr(j));
  return true;
}

// A cell without a span gets one of the loop's length, last in its properties.
void write_added_span(Buffer& out, std::string_view cell) {
  size_t d = 0;
  while (std::optional<ChainLink> link = find_chain(cell, HMERGE_KEYWORD, d)) {
    out.append(slice(cell, d, link->properties_end));
    out.append(HSPAN_PROPERTY);
    out.append(slice(cell, link->properties_end, link->tag.start));
    d = link->text_close + TEXT_END.size();
    out.append(slice(cell, link->tag.end, d));
  }
  out.append(cell.substr(d));
}

// The whole cell is written in the loop's first iteration only.
bool write_horizontal(Buffer& out, std::string_view cell) {
  out.append(FIRST_ITERATION_OPENER);
  if (find_from(cell, GRID_SPAN, 0)) {
    if (!write_multiplied_spans(out, cell)) return false;
  } else {
    write_added_span(out, cell);
  }
  out.append(CELL_CLOSE);
  return true;
}

// The end of the cell that closes at or after `from`: just past the ">" of the
// first "</w:tc" end tag there. None when there is no such end tag.
Offset find_cell_end(std::string_view text, size_t from) {
  Offset close = find_start_tag(text, CELL_END_TAG, from);
  if (!close) return std::nullopt;
  Offset gt = find_byte(text, '>', *close + CELL_END_TAG.prefix.size());
  if (!gt) return std::nullopt;
  return *gt + 1;
}

PassResult expand_merged_cells(std::string_view text, MergeMode mode) {
  const Literal& keyword = mode == MergeMode::Vertical ? VMERGE_KEYWORD : HMERGE_KEYWORD;
  if (!find_from(text, keyword, 0)) return PassResult::unchanged();

  Rewriter rw(text);
  CopyingSearch search(rw);
  size_t pos = 0;
  size_t lo = 0;
  while (const std::optional<KeywordTag> t =
             find_keyword_tag(search, keyword, KeywordTagForm::Bare, pos, text.size())) {
    // Cells are found by position alone: the last cell start before the tag
    // and the first cell end after it, never reaching back into a cell
    // already written.
    Offset p = rfind_start_tag(text, CELL_START, lo, t->start);
    if (!p) {
      // No cell start lies wholly before this tag, so later searches need not
      // look there again: only one that reaches past the tag's start can count.
      const size_t overlap = CELL_START.prefix.size() - 1;
      if (t->start > lo + overlap) lo = t->start - overlap;
      pos = t->start + 1;
      continue;
    }
    Offset c = find_cell_end(text, t->end);
    if (!c) break;

    search.copy_until(*p, *c);
    std::string_view cell = slice(text, *p, *c);
    if (mode == MergeMode::Vertical) {
      write_vertical(rw.output(), cell);
    } else if (!write_horizontal(rw.output(), cell)) {
      return PassResult::fallback(NON_ASCII_SPAN);
    }
    pos = lo = *c;
  }
  return rw.finish();
}

}  // namespace

PassResult apply_vmerge_tags(std::string_view text) {
  return expand_merged_cells(text, MergeMode::Vertical);
}

PassResult apply_hmerge_tags(std::string_view text) {
  return expand_merged_cells(text, MergeMode::Horizontal);
}

}  // namespace tesserine

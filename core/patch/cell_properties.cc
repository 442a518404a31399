// Cell span and shading: «{% colspan EXPR %}» or «{% cellbg EXPR %}» anywhere in a
// table cell's text becomes a span or shading property of that cell whose value
// is «{{EXPR}}», so the template engine decides the cell's width or colour.
#include <optional>
#include <string_view>
#include <utility>

#include "markup.h"
#include "patch/engine.h"
#include "patch/passes.h"
#include "scan/buffer.h"
#include "scan/keyword_tags.h"
#include "scan/search.h"

namespace tesserine {

namespace {

struct CellPropertyTag {
  Literal keyword;
  std::string_view property_name;
  std::string_view property_open;
  std::string_view property_close;
};

constexpr CellPropertyTag COLSPAN_TAG{Literal("colspan"), "<w:gridSpan", "<w:gridSpan w:val=\"{{",
                                      "}}\"/>"};
constexpr CellPropertyTag CELLBG_TAG{
    Literal("cellbg"), "<w:shd", "<w:shd w:val=\"clear\" w:color=\"auto\" w:fill=\"{{", "}}\"/>"};

constexpr Literal EMPTY_TEXT("<w:t></w:t>");
constexpr Literal CELL_PROPERTIES("<w:tcPr");

// Taking the tag out leaves its run with an empty text element; such runs are
// dropped whole, from the run's start tag to its "</w:r>".
Buffer remove_emptied_runs(Buffer cell) {
  const std::string_view view = cell.view();
  auto find_empty_text = [view](size_t from) -> std::optional<TagSpan> {
    Offset o = find_from(view, EMPTY_TEXT, from);
    if (!o) return std::nullopt;
    return TagSpan{*o, *o + EMPTY_TEXT.size(), *o, *o};
  };
  auto write_nothing = [](Buffer&, size_t, const TagSpan&, size_t) { return EmitResult::ok(); };
  PassResult runs =
      replace_enclosing_elements(view, RUN_START, find_empty_text, RUN_END.view(), write_nothing);
  if (!runs.is_rewritten()) return cell;
  return std::move(runs.text());
}

// Drops the first element named `name` whose first "/" after the name closes it
// with "/>"; the new property replaces it.
Buffer remove_old_property(Buffer cell, std::string_view name) {
  const std::string_view view = cell.view();
  // The first "/" after one occurrence is also the first after every later
  // occurrence that ends before it, so it is searched for once for all of them.
  Offset slash;
  for (Offset n = find_from(view, name, 0); n; n = find_from(view, name, *n + 1)) {
    const size_t after = *n + name.size();
    if (!slash || *slash < after) slash = find_byte(view, '/', after);
    if (!slash) break;
    if (!starts_at(view, *slash + 1, ">")) continue;
    const size_t end = *slash + 2;
    Buffer rest(view.size() - (end - *n));
    rest.append(view.substr(0, *n));
    rest.append(view.substr(end));
    return rest;
  }
  return cell;
}

// The new property goes in as the first child of every "<w:tcPr" in the cell.
void write_cell(Buffer& output, std::string_view cell, const CellPropertyTag& config,
                std::string_view expression) {
  size_t q = 0;
  while (Offset props = find_from(cell, CELL_PROPERTIES, q)) {
    Offset close = find_byte(cell, '>', *props + CELL_PROPERTIES.size());
    if (!close) break;
    output.append(cell.substr(q, *close + 1 - q));
    output.append(config.property_open);
    output.append(expression);
    output.append(config.property_close);
    q = *close + 1;
  }
  output.append(cell.substr(q));
}

EmitResult emit_cell_property(const CellPropertyTag& config, std::string_view text, Buffer& output,
                              size_t element_start, const TagSpan& tag, size_t region_end) {
  // Backslashes in these expressions are left to the host's own implementation.
  if (find_byte(text, '\\', tag.body_start, tag.body_end))
    return EmitResult::abort("backslash in colspan/cellbg expression");
  const std::string_view expression = text.substr(tag.body_start, tag.body_end - tag.body_start);

  Buffer cell(region_end - element_start);
  cell.append(text.substr(element_start, tag.start - element_start));
  cell.append(text.substr(tag.end, region_end - tag.end));
  cell = remove_emptied_runs(std::move(cell));
  cell = remove_old_property(std::move(cell), config.property_name);
  write_cell(output, cell.view(), config, expression);
  return EmitResult::ok();
}

PassResult apply_cell_property_tags(std::string_view text, const CellPropertyTag& config) {
  // Most parts have no such tag: one search, and the engine never runs.
  if (!find_from(text, config.keyword, 0)) return PassResult::unchanged();
  auto finder = [&](CopyingSearch& search, size_t from, size_t to) -> std::optional<TagSpan> {
    const std::optional<KeywordTag> tag =
        find_keyword_tag(search, config.keyword, KeywordTagForm::WithExpression, from, to);
    if (!tag) return std::nullopt;
    return TagSpan{tag->start, tag->end, tag->body_start, tag->body_end};
  };
  auto emitter = [&](Buffer& output, size_t element_start, const TagSpan& tag, size_t region_end) {
    return emit_cell_property(config, text, output, element_start, tag, region_end);
  };
  return replace_enclosing_elements_copying(text, CELL_START, finder, CELL_END.view(), emitter);
}

}  // namespace

PassResult apply_colspan_tags(std::string_view text) {
  return apply_cell_property_tags(text, COLSPAN_TAG);
}

PassResult apply_cellbg_tags(std::string_view text) {
  return apply_cell_property_tags(text, CELLBG_TAG);
}

}  // namespace tesserine

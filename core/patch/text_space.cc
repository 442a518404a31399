// Pass 4: the bare "<w:t>" in front of expression and statement tags becomes
// «<w:t xml:space="preserve">», so the spaces that rendered values bring along
// survive in the document.
#include <optional>
#include <string_view>

#include "patch/engine.h"
#include "patch/passes.h"
#include "scan/buffer.h"
#include "scan/search.h"

namespace tesserine {

namespace {

constexpr StartTagPattern BARE_TEXT_START{"<w:t>", true};
constexpr std::string_view PRESERVED_TEXT_START = "<w:t xml:space=\"preserve\">";
constexpr Literal EXPRESSION_CLOSER("}}");
constexpr Literal STATEMENT_CLOSER("%}");

// The first occurrence of one closer ("}}" or "%}") at or after an offset. An
// answer holds for every offset from where it was searched up to the occurrence
// found, or for every later offset when there was none: openers piled up in
// front of one closer share one search, and once a closer is missing no later
// opener of its kind searches at all. No search runs before an opener needs it.
class CloserSearch {
 public:
  CloserSearch(std::string_view text, Literal closer) noexcept : text_(text), closer_(closer) {}

  Offset first_from(size_t from) {
    return found_.first_from(from, [&](size_t f) { return find_from(text_, closer_, f); });
  }

 private:
  std::string_view text_;
  Literal closer_;
  RememberedSearch found_;
};

// The first "{{" or "{%" at or after `from` whose closer follows it without
// overlapping it; the tag ends just past the first such closer. Comment tags
// carry no rendered text and are not considered.
std::optional<TagSpan> find_template_tag(std::string_view text, CloserSearch& expression_closer,
                                         CloserSearch& statement_closer, size_t from) {
  const size_t n = text.size();
  if (from > n) return std::nullopt;
  size_t i = from;
  while (Offset s = find_byte(text, '{', i)) {
    i = *s + 1;
    if (*s + 1 == n) return std::nullopt;
    CloserSearch* closer = nullptr;
    if (text[*s + 1] == '{') closer = &expression_closer;
    if (text[*s + 1] == '%') closer = &statement_closer;
    if (closer == nullptr) continue;
    const Offset e = closer->first_from(*s + 2);
    if (!e) continue;
    return TagSpan{*s, *e + 2, *s, *s};
  }
  return std::nullopt;
}

// Rewrites the region's leading "<w:t>" and copies the rest of it verbatim.
EmitResult emit_preserved_text_start(std::string_view text, Buffer& output,
                                     size_t element_start, const TagSpan&, size_t region_end) {
  const size_t rest = element_start + BARE_TEXT_START.prefix.size();
  output.append(PRESERVED_TEXT_START);
  output.append(text.substr(rest, region_end - rest));
  return EmitResult::ok();
}

}  // namespace

PassResult preserve_tag_text_space(std::string_view text) {
  CloserSearch expression_closer(text, EXPRESSION_CLOSER);
  CloserSearch statement_closer(text, STATEMENT_CLOSER);
  auto finder = [&](size_t from) {
    return find_template_tag(text, expression_closer, statement_closer, from);
  };
  auto emitter = [&](Buffer& output, size_t element_start, const TagSpan& tag,
                     size_t region_end) {
    return emit_preserved_text_start(text, output, element_start, tag, region_end);
  };
  // An empty closing text ends each region at its element's last tag.
  return replace_enclosing_elements(text, BARE_TEXT_START, finder, "", emitter);
}

}  // namespace tesserine

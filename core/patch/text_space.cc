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

// One closer ("}}" or "%}") and what is known about where it occurs.
class TagCloser {
 public:
  TagCloser(std::string_view text, std::string_view closer)
      : closer_(closer), last_(rfind_in(text, closer, 0, text.size())) {}

  // Whether the closer occurs somewhere at or after `from`: one comparison, so an
  // opener with nothing to close it costs no search through the rest of the text.
  bool occurs_from(size_t from) const { return last_ && *last_ >= from; }

  // The first occurrence at or after `from`; occurs_from(from) must hold. The
  // last answer is reused while `from` stays before it, so a long run of openers
  // in front of one closer does not rescan the same stretch for each opener.
  size_t first_from(std::string_view text, size_t from) {
    if (!found_ || from < searched_from_ || from > *found_) {
      searched_from_ = from;
      found_ = find_from(text, closer_, from);
    }
    return *found_;
  }

 private:
  std::string_view closer_;
  Offset last_;
  size_t searched_from_ = 0;
  Offset found_;
};

// The first "{{" or "{%" at or after `from` whose closer follows it without
// overlapping it; the tag ends just past the first such closer. Comment tags
// carry no rendered text and are not considered.
std::optional<TagSpan> find_template_tag(std::string_view text, TagCloser& expression_closer,
                                         TagCloser& statement_closer, size_t from) {
  const size_t n = text.size();
  if (from > n) return std::nullopt;
  size_t i = from;
  while (Offset s = find_byte(text, '{', i)) {
    i = *s + 1;
    if (*s + 1 == n) return std::nullopt;
    TagCloser* closer = nullptr;
    if (text[*s + 1] == '{') closer = &expression_closer;
    if (text[*s + 1] == '%') closer = &statement_closer;
    if (closer == nullptr || !closer->occurs_from(*s + 2)) continue;
    const size_t e = closer->first_from(text, *s + 2);
    return TagSpan{*s, e + 2, *s, *s};
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
  TagCloser expression_closer(text, "}}");
  TagCloser statement_closer(text, "%}");
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

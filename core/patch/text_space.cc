// Tag text space: the bare "<w:t>" in front of expression and statement tags becomes
// «<w:t xml:space="preserve">», so the spaces that rendered values bring along
// survive in the document.
//
// The pass is the element-scoped rewrite with the text element as the element
// and an empty closing text: each group of tags that no bare "<w:t>" separates
// rewrites the last bare "<w:t>" before its first tag (after the end of the
// previous group), and the scan goes on after the group's last tag. It is
// written out here rather than run on replace_enclosing_elements: one backward
// search between two neighbouring tags both decides whether the second joins
// the group and, when it does not, finds its element start, where the engine
// needs a forward and a backward search per group and a callback per tag.
#include <optional>
#include <string_view>

#include "markup.h"
#include "patch/passes.h"
#include "scan/rewriter.h"
#include "scan/search.h"

namespace tesserine {

namespace {

struct Tag {
  size_t start;
  size_t end;
};

// The first "{{" or "{%" at or after `from` whose closer follows it without
// overlapping it; the tag ends just past the first such closer. Comment tags
// carry no rendered text and are not considered.
class TemplateTags {
 public:
  explicit TemplateTags(std::string_view text) noexcept
      : text_(text), expression_(text, EXPRESSION_CLOSER), statement_(text, STATEMENT_CLOSER) {}

  std::optional<Tag> first_from(size_t from) {
    const size_t n = text_.size();
    size_t i = from;
    while (Offset s = find_byte(text_, '{', i)) {
      i = *s + 1;
      if (i == n) return std::nullopt;
      RememberedLiteralSearch* closer = nullptr;
      if (text_[i] == '{') closer = &expression_;
      if (text_[i] == '%') closer = &statement_;
      if (closer == nullptr) continue;
      const Offset e = closer->first_from(*s + 2);
      if (!e) continue;
      return Tag{*s, *e + 2};
    }
    return std::nullopt;
  }

 private:
  std::string_view text_;
  // Openers piled up in front of one closer share one search, and once a closer
  // is missing no later opener of its kind searches at all.
  RememberedLiteralSearch expression_;
  RememberedLiteralSearch statement_;
};

// The last bare "<w:t>" lying wholly inside text[from..to), or none.
Offset last_bare_start(std::string_view text, size_t from, size_t to) {
  return rfind_in(text, BARE_TEXT_START, from, to);
}

}  // namespace

PassResult preserve_tag_text_space(std::string_view text) {
  TemplateTags tags(text);
  Rewriter rewriter(text);
  size_t pos = 0;
  std::optional<Tag> tag = tags.first_from(0);
  // The last bare "<w:t>" between the previous group's last tag and `tag`,
  // when the search that closed that group already found it.
  Offset separator;
  while (tag) {
    // A separator before `pos` lies inside the previous group's last tag; as the
    // last bare "<w:t>" before `tag`, it leaves none between `pos` and `tag`.
    const Offset element = separator ? (*separator >= pos ? separator : std::nullopt)
                                     : last_bare_start(text, pos, tag->start);
    separator.reset();
    if (!element) {
      pos = tag->start + 1;
      tag = tags.first_from(pos);
      continue;
    }
    // The group: the tags after `tag` up to the next bare "<w:t>". Such a start
    // tag cannot overlap a "{", so a tag is in the group exactly when none
    // starts between it and the member before it.
    Tag last = *tag;
    std::optional<Tag> next;
    while ((next = tags.first_from(last.start + 1))) {
      separator = last_bare_start(text, last.start + 1, next->start);
      if (separator) break;
      last = *next;
    }
    rewriter.copy_until(*element, *element + BARE_TEXT_START.size());
    rewriter.push_str(PRESERVED_TEXT_START);
    pos = last.end;
    // The next group starts at the first tag at or after `pos`: the tag that
    // closed this group, unless it starts inside this group's last tag.
    if (!next || next->start >= pos) {
      tag = next;
    } else {
      separator.reset();
      tag = tags.first_from(pos);
    }
  }
  return rewriter.finish();
}

}  // namespace tesserine

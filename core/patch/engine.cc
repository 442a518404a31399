#include "patch/engine.h"

#include "fault.h"
#include "scan/rewriter.h"

namespace tesserine {

namespace {

// The finder's answers, checked against its contract: a tag that starts before
// `from` would let the scan position move backwards and loop for ever.
//
// An answer is the first tag whose start is at or after `from`, so it is also
// the answer for every later `from` up to that start; an answer of none holds
// for every `from` below the `to` it was given, and a later search need only
// begin there. The last answer is kept: the look-ahead that ends one group is
// then the next group's first tag without a second search.
class CheckedFinder {
 public:
  CheckedFinder(CopyingTagFinder finder, CopyingSearch& search) noexcept
      : finder_(finder), search_(search) {}

  std::optional<TagSpan> operator()(size_t from, size_t to) {
    size_t search_from = from;
    if (known_ && from >= from_) {
      if (tag_ && from <= tag_->start) return tag_;
      if (!tag_ && from < clear_) {
        if (to <= clear_) return std::nullopt;
        search_from = clear_;
      }
    }
    tag_ = finder_(search_, search_from, to);
    if (tag_ && (tag_->start < search_from || tag_->end < tag_->start))
      fault("tag finder returned [%zu, %zu) for a search from %zu", tag_->start, tag_->end,
            search_from);
    if (!known_ || search_from == from) from_ = from;
    known_ = true;
    clear_ = to;
    return tag_;
  }

 private:
  CopyingTagFinder finder_;
  CopyingSearch& search_;
  bool known_ = false;
  size_t from_ = 0;
  // With no tag kept: no tag starts in [from_, clear_).
  size_t clear_ = 0;
  std::optional<TagSpan> tag_;
};

PassResult run_engine(std::string_view text, const StartTagPattern& pattern,
                      CopyingTagFinder finder, std::string_view closing, Emitter emitter) {
  const size_t n = text.size();
  Rewriter rewriter(text);
  CopyingSearch search(rewriter);
  CheckedFinder find_tag(finder, search);
  const Literal closing_text(closing);
  // A closing text follows a tag's end exactly when the last closing text of the
  // whole text starts at or after it, as the text does not change while the pass
  // scans it. So each group member is tested with one comparison, and only the
  // chosen member's closing text is searched for; the group itself need not be
  // kept, only its last member and the last member that has a closing text.
  // Found on first need, so a pass whose finder finds nothing never looks.
  bool last_closing_known = false;
  Offset last_closing;
  auto has_closing_after = [&](const TagSpan& tag) {
    if (!last_closing_known) {
      last_closing = rfind_in(text, closing_text, 0, n);
      last_closing_known = true;
    }
    return last_closing && *last_closing >= tag.end;
  };
  size_t pos = 0;

  for (;;) {
    std::optional<TagSpan> first = find_tag(pos, n);
    if (!first) return rewriter.finish();
    const size_t tag_start = first->start;

    Offset element_start = rfind_start_tag(text, pattern, pos, tag_start);
    if (!element_start) {
      pos = tag_start + 1;
      continue;
    }
    const size_t bound = find_start_tag(text, pattern, tag_start + 1).value_or(n);

    // The group: the tags that start before the bound. With an empty closing
    // text its last member is chosen; otherwise its last member that has a
    // closing text after it. The look-ahead stops at the bound, so the text
    // after it is left for the next search, which copies it on the way.
    std::optional<TagSpan> chosen;
    for (TagSpan member = *first;;) {
      if (closing.empty() || has_closing_after(member)) chosen = member;
      if (member.start + 1 >= bound) break;
      std::optional<TagSpan> next = find_tag(member.start + 1, bound);
      if (!next || next->start >= bound) break;
      member = *next;
    }
    if (!chosen) {
      pos = bound;
      continue;
    }
    size_t region_end = chosen->end;
    if (!closing.empty()) {
      Offset found = find_from(text, closing_text, chosen->end);
      if (!found) fault("no closing text after [%zu, %zu)", chosen->start, chosen->end);
      region_end = *found + closing.size();
    }

    search.copy_until(*element_start, region_end);
    EmitResult emitted = emitter(rewriter.output(), *element_start, *chosen, region_end);
    if (emitted.aborted()) return PassResult::fallback(emitted.abort_reason);
    pos = region_end;
  }
}

}  // namespace

PassResult replace_enclosing_elements(std::string_view text, const StartTagPattern& pattern,
                                      TagFinder finder, std::string_view closing, Emitter emitter) {
  // A finder that searches by itself copies nothing on the way.
  auto whole = [&](CopyingSearch&, size_t from, size_t) { return finder(from); };
  return run_engine(text, pattern, whole, closing, emitter);
}

PassResult replace_enclosing_elements_copying(std::string_view text, const StartTagPattern& pattern,
                                              CopyingTagFinder finder, std::string_view closing,
                                              Emitter emitter) {
  return run_engine(text, pattern, finder, closing, emitter);
}

}  // namespace tesserine

#include "patch/engine.h"

#include <algorithm>
#include <vector>

#include "fault.h"
#include "scan/rewriter.h"

namespace tesserine {

namespace {

// The finder's answer, checked against its contract: a tag that starts before
// `from` would let the scan position move backwards and loop for ever.
std::optional<TagSpan> find_tag(TagFinder finder, size_t from) {
  std::optional<TagSpan> tag = finder(from);
  if (tag && (tag->start < from || tag->end < tag->start))
    fault("tag finder returned [%zu, %zu) for a search from %zu", tag->start, tag->end, from);
  return tag;
}

}  // namespace

PassResult replace_enclosing_elements(std::string_view text, const StartTagPattern& pattern,
                                      TagFinder finder, std::string_view closing,
                                      Emitter emitter) {
  const size_t n = text.size();
  Rewriter rewriter(text);
  std::vector<TagSpan> group;
  // Smallest offset from which a closing-text search found nothing: a search
  // from there or later cannot succeed either, as the text does not change.
  std::optional<size_t> closing_missing_from;
  size_t pos = 0;

  for (;;) {
    std::optional<TagSpan> first = find_tag(finder, pos);
    if (!first) return rewriter.finish();
    const size_t tag_start = first->start;

    Offset element_start = rfind_start_tag(text, pattern, pos, tag_start);
    if (!element_start) {
      pos = tag_start + 1;
      continue;
    }
    const size_t bound = find_start_tag(text, pattern, tag_start + 1).value_or(n);

    group.clear();
    group.push_back(*first);
    for (;;) {
      std::optional<TagSpan> next = find_tag(finder, group.back().start + 1);
      if (!next || next->start >= bound) break;
      group.push_back(*next);
    }

    const TagSpan* chosen = nullptr;
    size_t region_end = 0;
    if (closing.empty()) {
      chosen = &group.back();
      region_end = chosen->end;
    } else {
      for (auto member = group.rbegin(); member != group.rend(); ++member) {
        size_t search_end = n;
        if (closing_missing_from) {
          if (member->end >= *closing_missing_from) continue;
          // No occurrence starts at or after the memo, so none ends past this.
          search_end = std::min(n, *closing_missing_from + closing.size() - 1);
        }
        Offset found = find_in(text, closing, member->end, search_end);
        if (found) {
          chosen = &*member;
          region_end = *found + closing.size();
          break;
        }
        closing_missing_from = member->end;
      }
      if (chosen == nullptr) {
        pos = bound;
        continue;
      }
    }

    rewriter.copy_until(*element_start, region_end);
    EmitResult emitted = emitter(rewriter.output(), *element_start, *chosen, region_end);
    if (emitted.aborted()) return PassResult::fallback(emitted.abort_reason);
    pos = region_end;
  }
}

}  // namespace tesserine

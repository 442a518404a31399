#include "patch/engine.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "fault.h"
#include "scan/rewriter.h"
#include "scan/simd.h"

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

bool CopyingSearch::in_place() const noexcept {
  return data_ != nullptr && out_.writing() && out_.copied() == copied_ &&
         out_.output().size() == size_ && out_.output().data() == data_;
}

Offset CopyingSearch::find_followed_far(char byte, char follow, size_t gap, size_t from,
                                        size_t to) {
  const std::string_view src = out_.source();
  const size_t n = src.size();
  to = std::min(to, n);
  // A hit s must have s + gap inside the view searched, so s < end.
  auto search = [&](size_t begin, size_t end) {
    const std::string_view view = src.substr(0, end + gap < n ? end + gap : n);
    return find_any_followed(view, std::string_view(&byte, 1), follow, gap, begin);
  };
  if (!out_.writing() || from >= to) return search(from, to);
  const size_t copied = out_.copied();
  // The stretch before the copied offset, and what was placed before, are
  // searched without writing.
  const size_t placed = in_place() ? placed_ : copied;
  if (from < placed) {
    if (Offset hit = search(from, std::min(to, placed))) return hit;
    from = std::min(to, placed);
    if (from >= to) return std::nullopt;
  }
  Buffer& output = out_.output();
  // tail[i] stands for source[copied + i]. The room reserved last time is
  // usually enough: searches run to the end of the text.
  char* tail;
  size_t start = placed;
  if (placed > copied && to <= reserved_) {
    tail = output.reserve_tail(0);
  } else {
    const char* before = output.data();
    tail = output.reserve_tail(to - copied);
    reserved_ = to;
    // A buffer that had to grow lost what lay behind its output.
    if (output.data() != before) start = copied;
  }
  // The stretch between, searched already: mostly the byte found last time.
  if (from - start <= 16) {
    for (size_t i = start; i < from; ++i) tail[i - copied] = src[i];
  } else {
    simd::copy_bytes(tail + (start - copied), src.data() + start, from - start);
  }
  const size_t k = simd::copy_to_followed(tail + (from - copied), src.data() + from, to - from,
                                          n - from, byte, follow, gap);
  placed_ = from + k;
  copied_ = copied;
  size_ = output.size();
  data_ = output.data();
  if (k == to - from) return std::nullopt;
  return from + k;
}

void CopyingSearch::copy_until(size_t end, size_t resume) {
  if (in_place()) {
    const std::string_view src = out_.source();
    size_t keep = std::min(end, placed_);
    while (keep > copied_ && !is_char_boundary(src, keep)) --keep;
    if (keep > copied_) {
      out_.output().commit(keep - copied_);
      out_.copy_until(copied_, keep);
    }
  }
  out_.copy_until(end, resume);
}

PassResult replace_enclosing_elements(std::string_view text, const StartTagPattern& pattern,
                                      TagFinder finder, std::string_view closing,
                                      Emitter emitter) {
  // A finder that searches by itself copies nothing on the way.
  auto whole = [&](CopyingSearch&, size_t from, size_t) { return finder(from); };
  return run_engine(text, pattern, whole, closing, emitter);
}

PassResult replace_enclosing_elements_copying(std::string_view text,
                                              const StartTagPattern& pattern,
                                              CopyingTagFinder finder, std::string_view closing,
                                              Emitter emitter) {
  return run_engine(text, pattern, finder, closing, emitter);
}

}  // namespace tesserine

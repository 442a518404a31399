#include "patch/passes.h"

#include <algorithm>
#include <iterator>

#include "scan/rewriter.h"
#include "scan/search.h"

namespace tesserine {

namespace {

// The bytes that may complete a delimiter whose first byte is `first`, or an
// empty set when `first` cannot start one.
std::string_view second_bytes(char first) noexcept {
  switch (first) {
    case '{':
      return "{%#";
    case '}':
    case '%':
    case '#':
      return "}";
    default:
      return {};
  }
}

// Candidate "<"s come in increasing order, so the answers below only move
// forward, and remembering the last one keeps the pass linear even when many
// candidates share one long tag or one long run of tags.
class RunScanner {
 public:
  explicit RunScanner(std::string_view text) noexcept : text_(text) {}

  // The end of the markup run that starts with the "<" at `lt`, or none when
  // the run is unclosed or reaches the end of the text.
  Offset run_end(size_t lt) {
    const Offset gt = first_gt(lt + 1);
    if (!gt) return std::nullopt;
    // Every ">" that a walk passes over closes one of its tags, so a walk from
    // any of them ends where that walk ended.
    if (!walked_ || *gt < walk_first_gt_ || *gt > walk_last_gt_) walk(*gt);
    return walk_end_;
  }

 private:
  Offset first_gt(size_t from) {
    return gt_.first_from(from, [&](size_t f) { return find_byte(text_, '>', f); });
  }

  // Follows the tags that stand directly after the ">" at `gt`. Each step
  // finds the first ">" after the "<" that follows the last one, which is the
  // first ">" after the last one; so the walk ends at the first ">" from `gt` on
  // that is not followed by "<", and one search finds it.
  void walk(size_t gt) {
    walked_ = true;
    walk_first_gt_ = gt;
    const Offset last = find_byte_unfollowed(text_, '>', '<', gt);
    // Without such a ">" the walk meets a "<" whose tag never closes.
    walk_last_gt_ = last.value_or(text_.size());
    if (!last || *last + 1 == text_.size()) {
      walk_end_ = std::nullopt;
      return;
    }
    walk_end_ = *last + 1;
  }

  std::string_view text_;
  RememberedSearch gt_;
  bool walked_ = false;
  size_t walk_first_gt_ = 0;
  size_t walk_last_gt_ = 0;
  Offset walk_end_;
};

// Candidates are searched a window at a time, and once the pass is writing
// the window is copied to the output straight after, while the search has it in
// the nearest cache: the text is then read once from memory, not twice.
constexpr size_t kWindow = 8192;

}  // namespace

// Only a "<" right after a delimiter byte can be joined, and delimiter bytes are
// rare in markup, so the scan looks for those pairs rather than for every "<".
PassResult join_split_delimiters(std::string_view text) {
  const size_t n = text.size();
  Rewriter rewriter(text);
  RunScanner runs(text);
  // They lie a few hundred bytes apart: one scan that goes on from match to
  // match costs less than a search started again at each.
  size_t batch[64];
  // Examines each "<" at or after `pos`; a "<" at offset 0 has no byte before it.
  size_t pos = 1;
  // The delimiter bytes followed by "<" before `from` have been examined.
  for (size_t from = 0; from + 1 < n;) {
    // Candidates before to - 1, whose "<" lies inside the window.
    const size_t to = std::min(n, from + kWindow);
    const size_t count = find_all_any_followed(text.substr(0, to), "{}%#", '<', 1, from, batch);
    for (size_t i = 0; i < count; ++i) {
      const size_t l = batch[i] + 1;
      if (l < pos) continue;
      pos = l + 1;
      const std::string_view expected = second_bytes(text[l - 1]);
      const Offset end = runs.run_end(l);
      if (!end || expected.find(text[*end]) == std::string_view::npos) continue;
      rewriter.copy_until(l, *end);
      pos = *end;
    }
    from = count == std::size(batch) ? batch[count - 1] + 1 : to - 1;
    from = std::max(from, pos - 1);
    // Every later edit starts after `from`, so the text before it is copied
    // as it stands.
    if (!rewriter.writing()) continue;
    size_t keep = from;
    while (keep > rewriter.copied() && !is_char_boundary(text, keep)) --keep;
    if (keep > rewriter.copied()) rewriter.copy_until(keep, keep);
  }
  return rewriter.finish();
}

}  // namespace tesserine

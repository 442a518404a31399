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

// The delimiter bytes followed by "<", in order, found a batch at a time:
// they lie a few hundred bytes apart, and one scan that goes on from match to
// match costs less than a search started again at each.
class Candidates {
 public:
  explicit Candidates(std::string_view text) noexcept : text_(text) {}

  // The first candidate at or after `from`; `from` never decreases.
  Offset first_from(size_t from) {
    for (;;) {
      while (next_ < count_) {
        if (batch_[next_] >= from) return batch_[next_];
        ++next_;
      }
      if (done_) return std::nullopt;
      const size_t resume = count_ == 0 ? from : std::max(from, batch_[count_ - 1] + 1);
      count_ = find_all_any_followed(text_, "{}%#", '<', 1, resume, batch_);
      next_ = 0;
      done_ = count_ < std::size(batch_);
    }
  }

 private:
  std::string_view text_;
  size_t batch_[64];
  size_t count_ = 0;
  size_t next_ = 0;
  bool done_ = false;
};

}  // namespace

// Only a "<" right after a delimiter byte can be joined, and delimiter bytes are
// rare in markup, so the scan looks for those pairs rather than for every "<".
PassResult join_split_delimiters(std::string_view text) {
  if (text.empty()) return PassResult::unchanged();
  Rewriter rewriter(text);
  RunScanner runs(text);
  Candidates candidates(text);
  // Examines each "<" at or after `pos`; a "<" at offset 0 has no byte before it.
  size_t pos = 1;
  while (Offset first = candidates.first_from(pos - 1)) {
    const size_t l = *first + 1;
    pos = l + 1;
    const std::string_view expected = second_bytes(text[l - 1]);
    const Offset end = runs.run_end(l);
    if (!end || expected.find(text[*end]) == std::string_view::npos) continue;
    rewriter.copy_until(l, *end);
    pos = *end;
  }
  return rewriter.finish();
}

}  // namespace tesserine

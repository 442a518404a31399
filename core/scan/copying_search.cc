#include "scan/copying_search.h"

#include <algorithm>

#include "scan/buffer.h"
#include "scan/simd.h"

namespace tesserine {

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

}  // namespace tesserine

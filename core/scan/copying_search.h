// CopyingSearch: the byte search through which rewriting passes copy the text
// they pass over while they search it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "scan/rewriter.h"
#include "scan/search.h"
#include "scan/vector.h"

namespace tesserine {

// A forward byte search that copies the text it passes over. A rewriting pass
// reads each stretch of its text twice, once to find the next edit and once to
// copy the stretch in front of it; done in one go, the copy reads the bytes the
// search has just loaded. Once the rewriter is writing, find_followed places the
// source from the rewriter's copied offset up to the byte it finds (or up to
// its bound) right behind the output, uncounted; copy_until, through which the
// pass makes its edits, then counts the bytes in place instead of copying
// them. Anything else appended to the output meanwhile overwrites them, and
// then they are simply copied again.
class CopyingSearch {
 public:
  explicit CopyingSearch(Rewriter& out) noexcept : out_(out) {}

  // The first `byte` in source[from..to) with `follow` `gap` bytes after it,
  // as find_any_followed over the source. Tags often stand close together, so
  // the first bytes are looked at here, without a call and without copying.
  Offset find_followed(char byte, char follow, size_t gap, size_t from, size_t to) {
    const std::string_view src = out_.source();
    const size_t n = src.size();
    if (to > n) to = n;
    if (from >= to) return std::nullopt;
    const char* p = src.data();
    const size_t end = to - from > simd::PROBE_BYTES ? from + simd::PROBE_BYTES : to;
    if (std::optional<uint32_t> mask = simd::probe_byte(p + from, n - from, byte)) {
      for (*mask &= (1u << (end - from)) - 1; *mask; *mask &= *mask - 1) {
        const size_t i = from + static_cast<size_t>(__builtin_ctz(*mask));
        if (i + gap < n && p[i + gap] == follow) return i;
      }
    } else {
      for (size_t i = from; i < end; ++i)
        if (p[i] == byte && i + gap < n && p[i + gap] == follow) return i;
    }
    if (end == to) return std::nullopt;
    return find_followed_far(byte, follow, gap, end, to);
  }
  // The first `byte` in source[from..to): a follow byte at no distance is the
  // byte itself.
  Offset find_byte(char byte, size_t from, size_t to) {
    return find_followed(byte, byte, 0, from, to);
  }
  // The rewriter's copy_until; what lies in place before `end` (up to a
  // character boundary) is counted rather than copied.
  void copy_until(size_t end, size_t resume);

  std::string_view source() const noexcept { return out_.source(); }

 private:
  Offset find_followed_far(char byte, char follow, size_t gap, size_t from, size_t to);
  // Whether the bytes placed last still lie right behind the output.
  bool in_place() const noexcept;

  Rewriter& out_;
  // Behind the output lies source[copied_..placed_), with room up to
  // source offset reserved_; the output had size_ bytes at data_, and the
  // rewriter had copied up to copied_.
  size_t placed_ = 0;
  size_t reserved_ = 0;
  size_t copied_ = 0;
  size_t size_ = 0;
  const char* data_ = nullptr;
};

}  // namespace tesserine

// replace_enclosing_elements: the element-scoped rewrite engine.
//
// Finds template tags with a pass's TagFinder, and for each one replaces the
// enclosing element (from the nearest start tag of the element kind before the
// tag, never before the scan position, to the end of the first closing text after
// the last tag of that element that has one) by whatever the pass's Emitter
// writes. With an empty closing text a region ends at the end of the element's
// last tag. Regions never overlap; tags inside a replaced region are not seen
// again. Closing-text searches known to fail are not repeated.
//
// CopyingSearch: the byte search through which rewriting passes, the engine's
// among them, copy the text they pass over while they search it.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "function_ref.h"
#include "pass_result.h"
#include "scan/buffer.h"
#include "scan/rewriter.h"
#include "scan/search.h"
#include "scan/vector.h"

namespace tesserine {

// One template tag: [start, end) is the whole tag; [body_start, body_end) is
// the part the emitter keeps (the engine passes them through untouched).
struct TagSpan {
  size_t start;
  size_t end;
  size_t body_start;
  size_t body_end;
};

// What an emitter reports: ok, or an abort with a short constant reason.
struct EmitResult {
  const char* abort_reason = nullptr;

  static EmitResult ok() noexcept { return {}; }
  static EmitResult abort(const char* reason) noexcept { return {reason}; }
  bool aborted() const noexcept { return abort_reason != nullptr; }
};

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

// skip_space, with its common cases (no white space, or plain spaces before an
// ASCII character) handled here without a call: ASCII from 0x21 on is never
// white space.
inline size_t skip_space_quickly(std::string_view text, size_t pos) {
  size_t i = pos;
  while (i < text.size() && text[i] == ' ') ++i;
  if (i == text.size()) return i;
  const auto c = static_cast<unsigned char>(text[i]);
  if (c > 0x20 && c < 0x80) return i;
  return skip_space(text, i);
}

// The first tag of the pass's form whose start is at or after `from` (which may
// be at or past the end of the text: then none).
using TagFinder = FunctionRef<std::optional<TagSpan>(size_t from)>;
// The same search, allowed to stop early: it returns the first tag whose start
// is at or after `from`, or none when no tag starts in [from, to). It may look
// past `to`, and may then return a tag that starts there. Its search for the
// first byte of a tag goes through `search`.
using CopyingTagFinder =
    FunctionRef<std::optional<TagSpan>(CopyingSearch& search, size_t from, size_t to)>;
// Appends the replacement of text[element_start..region_end) to `output`.
using Emitter =
    FunctionRef<EmitResult(Buffer& output, size_t element_start, const TagSpan& tag,
                           size_t region_end)>;

PassResult replace_enclosing_elements(std::string_view text, const StartTagPattern& pattern,
                                      TagFinder finder, std::string_view closing,
                                      Emitter emitter);
// The same outcome, found with a finder that copies the text it passes over.
PassResult replace_enclosing_elements_copying(std::string_view text,
                                              const StartTagPattern& pattern,
                                              CopyingTagFinder finder, std::string_view closing,
                                              Emitter emitter);

}  // namespace tesserine

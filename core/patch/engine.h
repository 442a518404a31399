// replace_enclosing_elements: the element-scoped rewrite engine.
//
// Finds template tags with a pass's TagFinder, and for each one replaces the
// enclosing element (from the nearest start tag of the element kind before the
// tag, never before the scan position, to the end of the first closing text after
// the last tag of that element that has one) by whatever the pass's Emitter
// writes. With an empty closing text a region ends at the end of the element's
// last tag. Regions never overlap; tags inside a replaced region are not seen
// again. Closing-text searches known to fail are not repeated.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "function_ref.h"
#include "pass_result.h"
#include "scan/buffer.h"
#include "scan/copying_search.h"
#include "scan/search.h"

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
using Emitter = FunctionRef<EmitResult(Buffer& output, size_t element_start, const TagSpan& tag,
                                       size_t region_end)>;

PassResult replace_enclosing_elements(std::string_view text, const StartTagPattern& pattern,
                                      TagFinder finder, std::string_view closing, Emitter emitter);
// The same outcome, found with a finder that copies the text it passes over.
PassResult replace_enclosing_elements_copying(std::string_view text, const StartTagPattern& pattern,
                                              CopyingTagFinder finder, std::string_view closing,
                                              Emitter emitter);

}  // namespace tesserine

#include "scan/rewriter.h"

#include <utility>

#include "fault.h"

namespace tesserine {

void Rewriter::copy_until(size_t end, size_t resume) {
  if (!writing_) {
    size_t n = source_.size();
    output_ = Buffer(checked_add(checked_add(n, n / 16), 64));
    writing_ = true;
  }
  if (copied_ > end || end > source_.size())
    fault("copy_until: end %zu outside [%zu, %zu]", end, copied_, source_.size());
  if (!is_char_boundary(source_, copied_) || !is_char_boundary(source_, end))
    fault("copy_until: offset %zu or %zu is not a character boundary", copied_, end);
  output_.append(source_.substr(copied_, end - copied_));
  copied_ = resume;
}

PassResult Rewriter::finish() {
  if (!writing_) return PassResult::unchanged();
  if (copied_ > source_.size() || !is_char_boundary(source_, copied_))
    fault("finish: offset %zu is not a character boundary of a %zu-byte text", copied_,
          source_.size());
  output_.append(source_.substr(copied_));
  writing_ = false;
  return PassResult::rewritten(std::move(output_));
}

}  // namespace tesserine

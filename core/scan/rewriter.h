// Rewriter: the copy-on-write output builder of every pass and step.
//
// Until the first copy_until nothing is allocated; finish() then reports
// Unchanged. The first copy_until allocates n + n/16 + 64 bytes (n = source
// length), so small insertions never reallocate. Calls come in order of
// increasing position. Offsets that are out of order, beyond the source or off a
// UTF-8 character boundary are internal faults.
//
//   replace [a, b) with t:  copy_until(a, b); push_str(t);
//   delete [a, b):          copy_until(a, b);
//   insert t before a:      copy_until(a, a); push_str(t);
#pragma once

#include <cstddef>
#include <string_view>

#include "pass_result.h"
#include "scan/buffer.h"

namespace tesserine {

class Rewriter {
 public:
  explicit Rewriter(std::string_view source) noexcept : source_(source) {}

  // Copies source[copied..end) to the output, then continues from `resume`.
  void copy_until(size_t end, size_t resume);
  // Appends literal bytes; only after a copy_until.
  void push_str(std::string_view text) { output_.append(text); }
  // The output, for emitters that append to it; only after a copy_until.
  Buffer& output() noexcept { return output_; }

  bool writing() const noexcept { return writing_; }
  size_t copied() const noexcept { return copied_; }
  std::string_view source() const noexcept { return source_; }

  // Unchanged if copy_until was never called, else Rewritten(output + source[copied..]).
  PassResult finish();

 private:
  Buffer output_;
  std::string_view source_;
  size_t copied_ = 0;
  bool writing_ = false;
};

// True when `pos` may cut `text`: 0, the end, or the first byte of a UTF-8 character.
inline bool is_char_boundary(std::string_view text, size_t pos) noexcept {
  if (pos == 0 || pos == text.size()) return true;
  if (pos > text.size()) return false;
  return (static_cast<unsigned char>(text[pos]) & 0xC0) != 0x80;
}

}  // namespace tesserine

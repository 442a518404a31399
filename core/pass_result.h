// PassResult: the outcome of a patch pass, a render step or Rewriter::finish.
#pragma once

#include <utility>

#include "scan/buffer.h"

namespace tesserine {

class PassResult {
 public:
  enum class Kind { Unchanged, Rewritten, Fallback };

  static PassResult unchanged() noexcept { return PassResult(Kind::Unchanged); }
  static PassResult rewritten(Buffer text) noexcept {
    PassResult r(Kind::Rewritten);
    r.text_ = std::move(text);
    return r;
  }
  // `reason` is a short constant description with static storage.
  static PassResult fallback(const char* reason) noexcept {
    PassResult r(Kind::Fallback);
    r.reason_ = reason;
    return r;
  }

  Kind kind() const noexcept { return kind_; }
  bool is_unchanged() const noexcept { return kind_ == Kind::Unchanged; }
  bool is_rewritten() const noexcept { return kind_ == Kind::Rewritten; }
  bool is_fallback() const noexcept { return kind_ == Kind::Fallback; }

  // The new text of a Rewritten result.
  Buffer& text() noexcept { return text_; }
  const Buffer& text() const noexcept { return text_; }
  // The reason of a Fallback result.
  const char* reason() const noexcept { return reason_; }

 private:
  explicit PassResult(Kind kind) noexcept : kind_(kind) {}

  Kind kind_;
  Buffer text_;
  const char* reason_ = nullptr;
};

}  // namespace tesserine

// Internal faults.
//
// An internal fault is a violated invariant of the text core (an offset outside
// the text or off a character boundary, a size that overflows). Valid input never
// causes one. The core throws `Fault`; the extension module catches it at its
// boundary and raises PanicException, so no C++ exception reaches the interpreter.
// Memory exhaustion is not a fault: a failed allocation throws std::bad_alloc,
// every owner releases its memory on the way out, and the module raises
// MemoryError.
#pragma once

#include <cstddef>
#include <exception>

namespace tesserine {

class Fault : public std::exception {
 public:
  // The description is copied into a fixed buffer: raising a fault allocates nothing.
  explicit Fault(const char* description) noexcept;
  const char* what() const noexcept override { return text_; }

 private:
  char text_[160];
};

// Throws Fault with a printf-style description.
[[noreturn]] void fault(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tesserine

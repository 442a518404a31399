// Conversion between str objects and the UTF-8 text the core works on, with the
// interpreter lock released for the bulk of the bytes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <string_view>

#include "scan/buffer.h"
#include "scan/utf8.h"

namespace tesserine::module {

// The text of a str argument. read() runs with the lock held; text() and
// release() may run without it, since the str is immutable and the caller keeps
// it alive for the call.
class StrText {
 public:
  // False with the interpreter's error set when the str cannot be read.
  bool read(PyObject* str);
  // Uses `utf8` as the text from now on.
  void borrow(std::string_view utf8) noexcept;
  // The UTF-8 bytes: borrowed when the str already has them (an ASCII str, or
  // one whose UTF-8 form the interpreter has cached), otherwise encoded from its
  // code units into an owned copy. None when the str holds a surrogate.
  std::optional<std::string_view> text();
  // Frees the encoded copy, if any.
  void release() noexcept { encoded_ = Buffer(); }

 private:
  std::string_view borrowed_;
  const void* units_ = nullptr;  // when not borrowed
  size_t length_ = 0;
  int kind_ = 0;
  Buffer encoded_;
};

// Releases the interpreter lock for its lifetime when the work ahead touches at
// least `bytes` bytes; for less, handing the lock over costs more than it frees.
class ReleasedFor {
 public:
  explicit ReleasedFor(size_t bytes) noexcept;
  ~ReleasedFor();
  ReleasedFor(const ReleasedFor&) = delete;
  ReleasedFor& operator=(const ReleasedFor&) = delete;

  // Runs `work` with the lock held: for the calls into the interpreter that the
  // work makes on the way.
  template <class Work>
  auto holding(Work work) {
    if (thread_ == nullptr) return work();
    PyEval_RestoreThread(thread_);
    auto result = work();
    thread_ = PyEval_SaveThread();
    return result;
  }

 private:
  PyThreadState* thread_;
};

// PyUnicode_New, with a large str's memory advised into huge pages, since it is
// written from end to end right away, and tried once more without the blocks
// the core keeps when there is no room. nullptr with the error set on failure.
PyObject* new_str(size_t length, Py_UCS4 maxchar);

// A new str holding the UTF-8 `text`, measured beforehand with the lock
// released; `text` is freed once the str holds it, or on failure. Called with
// the lock held. nullptr with the interpreter's error set on failure
// (MemoryError when there is no room for the str); bytes that are not UTF-8
// fail with the interpreter's own UnicodeDecodeError.
PyObject* build_str(Buffer& text, const utf8::Measure& measure);

}  // namespace tesserine::module

#include "panic.h"

#include <cstdio>

namespace tesserine::module {
namespace {

// Created on first use and kept for the life of the process; always touched
// with the interpreter lock held.
PyObject* panic_type() {
  static PyObject* type = nullptr;
  if (type == nullptr)
    type = PyErr_NewExceptionWithDoc(
        "tesserine._native.PanicException",
        "An internal fault of tesserine's native core: a violated invariant, never "
        "caused by valid input. Derived from BaseException so that `except Exception` "
        "does not swallow it.",
        PyExc_BaseException, nullptr);
  return type;
}

}  // namespace

void raise_panic(const char* message) {
  if (message == nullptr || *message == '\0') message = "internal fault in tesserine's native core";
  std::fprintf(stderr, "tesserine: internal fault: %s\n", message);
  std::fflush(stderr);
  PyObject* type = panic_type();
  if (type == nullptr) return;  // creating the type failed; its error is set
  PyErr_SetString(type, message);
}

}  // namespace tesserine::module

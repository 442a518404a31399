// PanicException and the boundary between C++ failures and Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tesserine::module {

// Sets PanicException (a direct subclass of BaseException, created once per
// process) with `message`, after writing a diagnostic to standard error.
void raise_panic(const char* message);

}  // namespace tesserine::module

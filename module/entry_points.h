// The three functions of tesserine._native.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tesserine::module {

extern PyMethodDef patch_xml_def;
extern PyMethodDef pre_render_def;
extern PyMethodDef post_render_def;

}  // namespace tesserine::module

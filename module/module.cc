// Module definition of tesserine._native: multi-phase initialisation with one
// execution slot, which adds __version__ and the three functions, each listed in
// __all__.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>

#include "entry_points.h"
#include "panic.h"

namespace tesserine::module {
namespace {

// Appends `name` to the module's __all__ (creating the list if absent) and sets
// the attribute. Returns -1 with an exception set on failure.
int add_public(PyObject* module, PyObject* name, PyObject* value) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr) return -1;
    if (PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_DECREF(all);
      return -1;
    }
  } else if (!PyList_Check(all)) {
    PyObject* qualname = PyType_GetQualName(Py_TYPE(all));
    if (qualname != nullptr) {
      PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'list'", qualname);
      Py_DECREF(qualname);
    }
    Py_DECREF(all);
    return -1;
  }
  if (PyList_Append(all, name) < 0) {
    Py_DECREF(all);
    PyErr_Clear();
    raise_panic("could not append __name__ to __all__");
    return -1;
  }
  Py_DECREF(all);
  return PyObject_SetAttr(module, name, value);
}

int add_version(PyObject* module) {
  PyObject* name = PyUnicode_FromString("__version__");
  PyObject* version = name == nullptr ? nullptr : PyUnicode_FromString(TESSERINE_VERSION);
  int status = version == nullptr ? -1 : add_public(module, name, version);
  Py_XDECREF(version);
  Py_XDECREF(name);
  return status;
}

int add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
  PyObject* function = PyCMethod_New(def, module, module_name, nullptr);
  if (function == nullptr) return -1;
  PyObject* name = PyObject_GetAttrString(function, "__name__");
  int status = -1;
  if (name != nullptr && !PyUnicode_Check(name)) {
    PyErr_SetString(PyExc_TypeError, "function __name__ is not a str");
  } else if (name != nullptr) {
    status = add_public(module, name, function);
  }
  Py_XDECREF(name);
  Py_DECREF(function);
  return status;
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyObject* qualname = PyType_GetQualName(Py_TYPE(module));
    if (qualname != nullptr) {
      PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'module'", qualname);
      Py_DECREF(qualname);
    }
    return -1;
  }
  if (add_version(module) < 0) return -1;
  PyObject* module_name = PyModule_GetNameObject(module);
  if (module_name == nullptr) return -1;
  int status = 0;
  for (PyMethodDef* def : {&patch_xml_def, &pre_render_def, &post_render_def}) {
    if (add_function(module, module_name, def) < 0) {
      status = -1;
      break;
    }
  }
  Py_DECREF(module_name);
  return status;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "_native",  // m_name
    "",         // m_doc
    0,          // m_size
    nullptr,    // m_methods: the execution slot adds the functions
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tesserine::module

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&tesserine::module::definition); }

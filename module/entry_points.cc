#include "entry_points.h"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string_view>

#include "fault.h"
#include "panic.h"
#include "pass_result.h"
#include "patch/pipeline.h"
#include "render/render.h"

namespace tesserine::module {
namespace {

struct Signature {
  const char* name;       // "patch_xml"
  const char* parameter;  // "src"
};

// Adds «while processing '<parameter>'» to the pending exception; a failure to
// add it is dropped and the original exception stays.
void add_processing_note(const char* parameter) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr) {
    char note[64];
    std::snprintf(note, sizeof note, "while processing '%s'", parameter);
    PyObject* result = PyObject_CallMethod(value, "add_note", "s", note);
    if (result == nullptr) PyErr_Clear();
    Py_XDECREF(result);
  }
  PyErr_Restore(type, value, traceback);
}

// Binds the single required argument, by position or keyword; nullptr with
// TypeError set on failure. The result is borrowed.
PyObject* bind_argument(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs > 1) {
    PyErr_Format(PyExc_TypeError, "%s() takes 1 positional arguments but %zd were given",
                 sig.name, nargs);
    return nullptr;
  }
  PyObject* value = nargs == 1 ? args[0] : nullptr;
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, i);
    if (PyUnicode_CompareWithASCIIString(key, sig.parameter) != 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name,
                   key);
      return nullptr;
    }
    if (value != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.name,
                   sig.parameter);
      return nullptr;
    }
    value = args[nargs + i];
  }
  if (value == nullptr) {
    PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'",
                 sig.name, sig.parameter);
    return nullptr;
  }
  return value;
}

// The argument's UTF-8 bytes, borrowed from the str's cache; false with the
// error (and its note) set when it is not a str or cannot be encoded.
bool borrow_utf8(const Signature& sig, PyObject* value, std::string_view* text) {
  if (!PyUnicode_Check(value)) {
    if (value == Py_None) {
      PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'str'");
    } else {
      PyObject* qualname = PyType_GetQualName(Py_TYPE(value));
      if (qualname == nullptr) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError,
                        "'<failed to extract type name>' object is not an instance of 'str'");
      } else {
        PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'str'", qualname);
        Py_DECREF(qualname);
      }
    }
    add_processing_note(sig.parameter);
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value, &size);
  if (data == nullptr) {
    add_processing_note(sig.parameter);
    return false;
  }
  *text = std::string_view(data, static_cast<size_t>(size));
  return true;
}

using Work = PassResult (*)(std::string_view text);

// Runs `work` with the interpreter lock released. Faults come back as a
// message; nothing thrown in the core passes this function.
PassResult run_released(Work work, std::string_view text, const char** fault_message,
                        char (&message_storage)[160]) {
  PassResult result = PassResult::unchanged();
  PyThreadState* thread = PyEval_SaveThread();
  try {
    result = work(text);
  } catch (const Fault& fault) {
    std::snprintf(message_storage, sizeof message_storage, "%s", fault.what());
    *fault_message = message_storage;
  } catch (const std::bad_alloc&) {
    out_of_memory(0);
  } catch (const std::exception& error) {
    std::snprintf(message_storage, sizeof message_storage, "%s", error.what());
    *fault_message = message_storage;
  } catch (...) {
    *fault_message = "";
  }
  PyEval_RestoreThread(thread);
  return result;
}

PyObject* call(const Signature& sig, Work work, bool unchanged_is_none, PyObject* const* args,
               Py_ssize_t nargsf, PyObject* kwnames) {
  PyObject* value = bind_argument(sig, args, nargsf, kwnames);
  if (value == nullptr) return nullptr;
  std::string_view text;
  if (!borrow_utf8(sig, value, &text)) return nullptr;

  const char* fault_message = nullptr;
  char message_storage[160];
  PassResult result = run_released(work, text, &fault_message, message_storage);
  if (fault_message != nullptr) {
    raise_panic(fault_message);
    return nullptr;
  }
  if (result.is_fallback() || (unchanged_is_none && result.is_unchanged())) Py_RETURN_NONE;
  const std::string_view out = result.text().view();
  PyObject* str =
      PyUnicode_FromStringAndSize(out.empty() ? "" : out.data(), static_cast<Py_ssize_t>(out.size()));
  if (str == nullptr) {
    PyErr_WriteUnraisable(nullptr);
    raise_panic("could not build the result str");
  }
  return str;
}

PassResult patch_work(std::string_view text) { return run_patch_pipeline(text); }

constexpr Signature kPatchXml{"patch_xml", "src"};
constexpr Signature kPreRender{"pre_render", "src"};
constexpr Signature kPostRender{"post_render", "dst"};

PyObject* patch_xml(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return call(kPatchXml, patch_work, false, args, nargsf, kwnames);
}

PyObject* pre_render_fn(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return call(kPreRender, pre_render, true, args, nargsf, kwnames);
}

PyObject* post_render_fn(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return call(kPostRender, post_render, true, args, nargsf, kwnames);
}

// Fast call with keywords, static: the flag word 0xA2.
constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
static_assert(kFlags == 0xA2);

}  // namespace

PyMethodDef patch_xml_def = {
    "patch_xml", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(patch_xml)), kFlags,
    "patch_xml(src)\n--\n\nNative `Scrivelle.patch_xml`; `None` means \"use the Python reference\"."};
PyMethodDef pre_render_def = {
    "pre_render", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pre_render_fn)),
    kFlags, "pre_render(src)\n--\n\nNative prefix of `render_xml_part`; `None` means unchanged."};
PyMethodDef post_render_def = {
    "post_render", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(post_render_fn)),
    kFlags,
    "post_render(dst)\n--\n\nNative suffix of `render_xml_part` incl. `resolve_listing`; `None` "
    "means unchanged."};

}  // namespace tesserine::module

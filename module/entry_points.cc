#include "entry_points.h"

#include <cstdio>
#include <new>
#include <optional>
#include <span>
#include <string_view>

#include "convert.h"
#include "fault.h"
#include "panic.h"
#include "pass_result.h"
#include "patch/pipeline.h"
#include "render/code_units.h"
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
    PyErr_Format(PyExc_TypeError, "%s() takes 1 positional arguments but %zd were given", sig.name,
                 nargs);
    return nullptr;
  }
  PyObject* value = nargs == 1 ? args[0] : nullptr;
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, i);
    if (PyUnicode_CompareWithASCIIString(key, sig.parameter) != 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
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
    PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'", sig.name,
                 sig.parameter);
    return nullptr;
  }
  return value;
}

// False with TypeError (and its note) set when `value` is not a str.
bool check_str(const Signature& sig, PyObject* value) {
  if (PyUnicode_Check(value)) return true;
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

using Work = PassResult (*)(std::string_view text);

struct Outcome {
  PassResult result = PassResult::unchanged();
  utf8::Measure measure;       // of a rewritten result's text
  bool unencodable = false;    // the argument holds a surrogate; no work was done
  bool out_of_memory = false;  // an allocation failed; what the work held is released
  const char* fault_message = nullptr;
  char message_storage[160];
};

// Runs `work` with the interpreter lock released, together with the argument's
// conversion to UTF-8 and the measuring of the result. Faults come back as a
// message and a failed allocation as a flag, once every buffer of the work has
// been released on the way out; nothing thrown in the core passes this function.
void run_released(Work work, StrText& source, Outcome& out) {
  PyThreadState* thread = PyEval_SaveThread();
  try {
    if (const std::optional<std::string_view> text = source.text()) {
      out.result = work(*text);
      source.release();
      if (out.result.is_rewritten()) out.measure = utf8::measure(out.result.text().view());
    } else {
      source.release();
      out.unencodable = true;
    }
  } catch (const Fault& fault) {
    std::snprintf(out.message_storage, sizeof out.message_storage, "%s", fault.what());
    out.fault_message = out.message_storage;
  } catch (const std::bad_alloc&) {
    source.release();
    out.out_of_memory = true;
  } catch (const std::exception& error) {
    std::snprintf(out.message_storage, sizeof out.message_storage, "%s", error.what());
    out.fault_message = out.message_storage;
  } catch (...) {
    out.fault_message = "";
  }
  PyEval_RestoreThread(thread);
}

// The MemoryError of an allocation that failed in the core, with the note.
PyObject* no_memory(const Signature& sig) {
  PyErr_NoMemory();
  add_processing_note(sig.parameter);
  return nullptr;
}

// The error of a result str that could not be made: a MemoryError as it is,
// with the note; anything else means that the core broke an invariant of its
// text, a PanicException.
PyObject* unbuildable_result(const Signature& sig) {
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
    add_processing_note(sig.parameter);
    return nullptr;
  }
  PyErr_WriteUnraisable(nullptr);
  raise_panic("could not build the result str");
  return nullptr;
}

PyObject* call(const Signature& sig, Work work, bool unchanged_is_none, PyObject* const* args,
               Py_ssize_t nargsf, PyObject* kwnames) {
  PyObject* value = bind_argument(sig, args, nargsf, kwnames);
  if (value == nullptr || !check_str(sig, value)) return nullptr;
  StrText source;
  if (!source.read(value)) {
    add_processing_note(sig.parameter);
    return nullptr;
  }

  Outcome out;
  run_released(work, source, out);
  if (out.unencodable) {
    // The interpreter's own encoder raises the UnicodeEncodeError that callers
    // know; should it accept the str after all, its bytes are the text.
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) {
      add_processing_note(sig.parameter);
      return nullptr;
    }
    source.borrow(std::string_view(data, static_cast<size_t>(size)));
    out.unencodable = false;
    run_released(work, source, out);
  }
  if (out.fault_message != nullptr) {
    raise_panic(out.fault_message);
    return nullptr;
  }
  if (out.out_of_memory) return no_memory(sig);
  if (out.result.is_fallback() || (unchanged_is_none && out.result.is_unchanged())) Py_RETURN_NONE;
  PyObject* str = build_str(out.result.text(), out.measure);
  return str != nullptr ? str : unbuildable_result(sig);
}

PassResult patch_work(std::string_view text) { return run_patch_pipeline(text); }

constexpr Signature kPatchXml{"patch_xml", "src"};
constexpr Signature kPreRender{"pre_render", "src"};
constexpr Signature kPostRender{"post_render", "dst"};

PyObject* patch_xml(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return call(kPatchXml, patch_work, false, args, nargsf, kwnames);
}

// pre_render (kInsert) or post_render on the str's own code units. Sets
// `route` and returns nullptr, with no error set, when the UTF-8 route must run
// instead. The result str is made when the core asks for room, with the lock
// held for that moment.
template <class Unit, bool kInsert>
PyObject* on_code_units(const Signature& sig, PyObject* str, bool& route) {
  const std::span<const Unit> units(static_cast<const Unit*>(PyUnicode_DATA(str)),
                                    static_cast<size_t>(PyUnicode_GET_LENGTH(str)));
  PyObject* out = nullptr;
  UnitsResult result;
  {
    ReleasedFor released(units.size_bytes());
    auto allocate = [&](size_t room) -> Unit* {
      // Only LFs come or go, so the widest character stays and with it the width.
      out = released.holding([&] { return new_str(room, PyUnicode_MAX_CHAR_VALUE(str)); });
      return out == nullptr ? nullptr : static_cast<Unit*>(PyUnicode_DATA(out));
    };
    result = kInsert ? pre_render_units<Unit>(units, allocate)
                     : post_render_units<Unit>(units, allocate);
  }
  switch (result.kind) {
    case UnitsResult::Kind::NoRoom:
      return unbuildable_result(sig);
    case UnitsResult::Kind::Rewritten:
      if (PyUnicode_Resize(&out, static_cast<Py_ssize_t>(result.length)) < 0) {
        Py_DECREF(out);
        return unbuildable_result(sig);
      }
      return out;
    case UnitsResult::Kind::NeedsUtf8:
      Py_XDECREF(out);
      route = true;
      return nullptr;
    case UnitsResult::Kind::Unchanged:
      break;
  }
  Py_XDECREF(out);
  Py_RETURN_NONE;
}

// pre_render (kInsert) or post_render on the str's own units, or by the UTF-8
// route when those will not do.
template <bool kInsert>
PyObject* call_on_units(const Signature& sig, Work work, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames) {
  PyObject* value = bind_argument(sig, args, nargsf, kwnames);
  if (value == nullptr || !check_str(sig, value)) return nullptr;
  if (PyUnicode_READY(value) < 0) {
    add_processing_note(sig.parameter);
    return nullptr;
  }
  bool route = false;
  PyObject* result;
  switch (PyUnicode_KIND(value)) {
    case PyUnicode_1BYTE_KIND:
      result = on_code_units<uint8_t, kInsert>(sig, value, route);
      break;
    case PyUnicode_2BYTE_KIND:
      result = on_code_units<uint16_t, kInsert>(sig, value, route);
      break;
    default:
      result = on_code_units<uint32_t, kInsert>(sig, value, route);
  }
  if (!route) return result;
  return call(sig, work, true, args, nargsf, kwnames);
}

PyObject* pre_render_fn(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return call_on_units<true>(kPreRender, pre_render, args, nargsf, kwnames);
}

PyObject* post_render_fn(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return call_on_units<false>(kPostRender, post_render, args, nargsf, kwnames);
}

// Fast call with keywords, static: the flag word 0xA2.
constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
static_assert(kFlags == 0xA2);

}  // namespace

PyMethodDef patch_xml_def = {
    "patch_xml", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(patch_xml)), kFlags,
    "patch_xml(src)\n--\n\nNative `Scrivelle.patch_xml`; `None` means \"use the Python "
    "reference\"."};
PyMethodDef pre_render_def = {
    "pre_render", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pre_render_fn)),
    kFlags, "pre_render(src)\n--\n\nNative prefix of `render_xml_part`; `None` means unchanged."};
PyMethodDef post_render_def = {
    "post_render", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(post_render_fn)),
    kFlags,
    "post_render(dst)\n--\n\nNative suffix of `render_xml_part` incl. `resolve_listing`; `None` "
    "means unchanged."};

}  // namespace tesserine::module

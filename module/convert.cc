#include "convert.h"

#include <cstdint>
#include <span>

namespace tesserine::module {
namespace {

constexpr size_t kReleaseAbove = size_t{1} << 16;
constexpr size_t kHugePagesAbove = size_t{4} << 20;

template <class Unit>
std::span<Unit> units_of(void* data, size_t length) {
  return {static_cast<Unit*>(data), length};
}

bool decode_into(PyObject* str, std::string_view text, size_t length) {
  void* data = PyUnicode_DATA(str);
  switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND:
      return utf8::decode(text, units_of<uint8_t>(data, length));
    case PyUnicode_2BYTE_KIND:
      return utf8::decode(text, units_of<uint16_t>(data, length));
    default:
      return utf8::decode(text, units_of<uint32_t>(data, length));
  }
}

}  // namespace

ReleasedFor::ReleasedFor(size_t bytes) noexcept
    : thread_(bytes >= kReleaseAbove ? PyEval_SaveThread() : nullptr) {}

ReleasedFor::~ReleasedFor() {
  if (thread_ != nullptr) PyEval_RestoreThread(thread_);
}

PyObject* new_str(size_t length, Py_UCS4 maxchar) {
  PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(length), maxchar);
  if (str == nullptr && PyErr_ExceptionMatches(PyExc_MemoryError)) {
    // The blocks the core keeps for its next call may be what stands in the way.
    PyErr_Clear();
    release_kept_blocks();
    str = PyUnicode_New(static_cast<Py_ssize_t>(length), maxchar);
  }
  if (str == nullptr) return nullptr;
  const size_t bytes = length * static_cast<size_t>(PyUnicode_KIND(str));
  // In huge pages, a large str faults in 512 times less often.
  if (bytes >= kHugePagesAbove) advise_huge_pages(PyUnicode_DATA(str), bytes);
  return str;
}

bool StrText::read(PyObject* str) {
  if (PyUnicode_READY(str) < 0) return false;
  const size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(str));
  if (PyUnicode_IS_ASCII(str)) {
    borrow(std::string_view(static_cast<const char*>(PyUnicode_DATA(str)), length));
    return true;
  }
  const auto* compact = reinterpret_cast<const PyCompactUnicodeObject*>(str);
  if (compact->utf8 != nullptr) {
    borrow(std::string_view(compact->utf8, static_cast<size_t>(compact->utf8_length)));
    return true;
  }
  // Encoded later, without the lock, and without giving the str a cached UTF-8
  // copy that would live as long as the str does.
  units_ = PyUnicode_DATA(str);
  length_ = length;
  kind_ = PyUnicode_KIND(str);
  return true;
}

void StrText::borrow(std::string_view utf8) noexcept {
  borrowed_ = utf8;
  units_ = nullptr;
}

std::optional<std::string_view> StrText::text() {
  if (units_ == nullptr) return borrowed_;
  std::optional<size_t> surrogate;
  switch (kind_) {
    case PyUnicode_1BYTE_KIND:
      surrogate = utf8::encode(std::span(static_cast<const uint8_t*>(units_), length_), encoded_);
      break;
    case PyUnicode_2BYTE_KIND:
      surrogate = utf8::encode(std::span(static_cast<const uint16_t*>(units_), length_), encoded_);
      break;
    default:
      surrogate = utf8::encode(std::span(static_cast<const uint32_t*>(units_), length_), encoded_);
  }
  if (surrogate) return std::nullopt;
  return encoded_.view();
}

PyObject* build_str(Buffer& text, const utf8::Measure& measure) {
  if (measure.valid) {
    PyObject* str = new_str(measure.code_points, static_cast<Py_UCS4>(measure.width));
    if (str == nullptr) {
      text = Buffer();  // the memory goes back before the error is raised further
      return nullptr;
    }
    bool decoded;
    {
      ReleasedFor released(text.size());
      decoded = decode_into(str, text.view(), measure.code_points);
      if (decoded) text = Buffer();
    }
    if (decoded) return str;
    Py_DECREF(str);
  }
  const std::string_view bytes = text.view();
  PyObject* str = PyUnicode_FromStringAndSize(bytes.empty() ? "" : bytes.data(),
                                              static_cast<Py_ssize_t>(bytes.size()));
  text = Buffer();
  return str;
}

}  // namespace tesserine::module

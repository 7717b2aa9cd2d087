// The texts of a pandas string column read from Arrow's buffers.
//
// The column's ArrowExtensionArray hands out its pyarrow ChunkedArray
// (__arrow_array__); each chunk exports itself through the Arrow C data
// interface (__arrow_c_array__: two capsules, the schema and the array). The
// capsules are kept for as long as the texts are read: they own the exported
// structs, and the structs hold the buffers. Arrow buffers are immutable, so
// nothing the interpreter runs meanwhile can change a text under the reader.
#include "fast/arrow.hpp"

#include "fast/fastpath.hpp"
#include "fast/readers.hpp"

#include <algorithm>
#include <cstring>

namespace qx::fast {
namespace {

// The Arrow C data interface's two structs, as the interface fixes them.
struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  ArrowSchema** children;
  ArrowSchema* dictionary;
  void (*release)(ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  ArrowArray** children;
  ArrowArray* dictionary;
  void (*release)(ArrowArray*);
  void* private_data;
};

// The pointer a capsule of this name holds, or null (error cleared).
void* capsule_pointer(PyObject* capsule, const char* name) {
  if (!PyCapsule_IsValid(capsule, name)) return nullptr;
  void* p = PyCapsule_GetPointer(capsule, name);
  if (!p) PyErr_Clear();
  return p;
}

// getattr(o, name), or an empty Ref (error cleared) when `o` has no such
// attribute or fails to give it with an ordinary exception.
Ref optional_attr(PyObject* o, const char* name) {
  PyObject* v = PyObject_GetAttrString(o, name);
  if (!v) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_error();
    PyErr_Clear();
  }
  return Ref::steal(v);
}

// The length of a Python object, or -1 (error cleared) when it has none.
Py_ssize_t optional_length(PyObject* o) {
  const Py_ssize_t n = PyObject_Length(o);
  if (n < 0) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_error();
    PyErr_Clear();
  }
  return n;
}

}  // namespace

bool ArrowTexts::open(PyObject* column, bool any_marker) {
  if (!is_exact_series(column)) return false;
  Ref dtype = attr(column, "dtype");
  if (!is_instance(dtype.get(), import_attr("pandas", "StringDtype").get())) return false;
  if (!any_marker && arrow_string_with_na(dtype.get())) return false;  // NA as missing value: map gives Arrow types
  Ref storage = attr(dtype, "storage");
  if (!PyUnicode_Check(storage.get()) || PyUnicode_CompareWithASCIIString(storage.get(), "python") == 0) return false;
  Ref array = attr(column, "array");
  Ref exported = optional_attr(array.get(), "__arrow_array__");
  if (!exported) return false;
  Ref chunked = call(exported);
  Ref chunk_list = optional_attr(chunked.get(), "chunks");
  if (!chunk_list) return false;
  Ref chunks = check(PySequence_Tuple(chunk_list.get()));
  const Py_ssize_t rows = optional_length(column);
  if (rows < 0) return false;
  int64_t start = 0;
  for (Py_ssize_t c = 0; c < PyTuple_GET_SIZE(chunks.get()); ++c) {
    Ref to_c = optional_attr(PyTuple_GET_ITEM(chunks.get(), c), "__arrow_c_array__");
    if (!to_c) return false;
    Ref pair = call(to_c);
    if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) return false;
    PyObject* schema_capsule = PyTuple_GET_ITEM(pair.get(), 0);
    PyObject* array_capsule = PyTuple_GET_ITEM(pair.get(), 1);
    auto* schema = static_cast<ArrowSchema*>(capsule_pointer(schema_capsule, "arrow_schema"));
    auto* a = static_cast<ArrowArray*>(capsule_pointer(array_capsule, "arrow_array"));
    if (!schema || !a || !schema->release || !a->release || !schema->format) return false;
    const bool large = std::strcmp(schema->format, "U") == 0;
    if (!large && std::strcmp(schema->format, "u") != 0) return false;
    if (a->n_buffers != 3 || !a->buffers || a->length < 0 || a->offset < 0) return false;
    held_.push_back(std::move(pair));
    if (a->length == 0) continue;
    if (!a->buffers[1] || !a->buffers[2]) return false;
    const auto* validity = static_cast<const uint8_t*>(a->null_count == 0 ? nullptr : a->buffers[0]);
    chunks_.push_back({start, a->offset, validity, a->buffers[1], static_cast<const char*>(a->buffers[2]), large});
    start += a->length;
    if (validity) {
      for (int64_t i = 0; i < a->length && !missing_; ++i) {
        const int64_t bit = a->offset + i;
        missing_ = !((validity[bit >> 3] >> (bit & 7)) & 1);
      }
    }
  }
  if (start != rows || rows == 0) return false;
  size_ = rows;
  return true;
}

const ArrowTexts::Chunk& ArrowTexts::chunk_of(Py_ssize_t i) const {
  if (chunks_.size() == 1) return chunks_[0];
  // the last chunk that starts at or before row i
  auto after = std::upper_bound(chunks_.begin(), chunks_.end(), static_cast<int64_t>(i),
                                [](int64_t row, const Chunk& c) { return row < c.start; });
  return *(after - 1);
}

Ref ArrowTexts::value(Py_ssize_t i) const {
  const char* p;
  Py_ssize_t n;
  if (!bytes(i, p, n)) return check(PyFloat_FromDouble(Py_NAN));
  return check(PyUnicode_DecodeUTF8(p, n, "strict"));
}

}  // namespace qx::fast

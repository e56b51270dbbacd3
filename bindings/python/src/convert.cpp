#include "convert.h"

#include <datetime.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

#include "numpy_api.h"
#include "representation_convert.h"

namespace quillmark::py {

namespace {

bool native_array_of(PyObject* obj, int type_num, int ndim) {
  if (!PyArray_Check(obj)) return false;
  auto* a = reinterpret_cast<PyArrayObject*>(obj);
  return PyArray_TYPE(a) == type_num && PyArray_ISNOTSWAPPED(a) && PyArray_NDIM(a) == ndim;
}

// PyArray_FromAny with the dtype given and only NPY_ARRAY_FORCECAST.
Ref force_cast(PyObject* obj, int type_num) {
  return Ref::steal(PyArray_FromAny(obj, PyArray_DescrFromType(type_num), 0, 0, NPY_ARRAY_FORCECAST, nullptr));
}

PyObject* type_error(const char* format, PyObject* obj) {
  return PyErr_Format(PyExc_TypeError, format, Py_TYPE(obj)->tp_name);
}

constexpr const char* kNotOneAxis = "document lengths must convert to a one-dimensional int64 array";

PyObject* not_positive(std::size_t position) {
  return PyErr_Format(PyExc_ValueError, "document length at position %zu must be positive", position);
}

bool is_integer(PyObject* item) {
  return PyLong_Check(item) || PyArray_IsScalar(item, Bool) || PyIndex_Check(item);
}

bool is_inexact(PyObject* item) {
  return PyFloat_Check(item) || PyComplex_Check(item) || PyArray_IsScalar(item, Inexact);
}

// One length from an integer object (is_integer) at `position`: a negative
// value fails with the "must be positive" ValueError, one above 2**64 - 1
// with a ValueError naming `what`.
bool integer_length(PyObject* item, std::size_t position, const char* what, std::size_t& out) {
  if (PyArray_IsScalar(item, Bool)) {
    const int truth = PyObject_IsTrue(item);
    if (truth < 0) return false;
    out = static_cast<std::size_t>(truth);
    return true;
  }
  Ref value = Ref::steal(PyNumber_Index(item));
  if (!value) return false;
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && v < 0)) return not_positive(position) != nullptr;
  if (overflow == 0) {
    out = static_cast<std::size_t>(v);
    return true;
  }
  const unsigned long long u = PyLong_AsUnsignedLongLong(value.get());
  if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "%s: document length at position %zu exceeds 2**64 - 1", what, position);
    return false;
  }
  out = static_cast<std::size_t>(u);
  return true;
}

PyObject* not_integers(const char* what, PyObject* type_name) {
  return PyErr_Format(PyExc_TypeError, "%s must hold integers, not %S", what, type_name);
}

enum class Items { Converted, Failed, NotNumbers };

// The items of a sequence as lengths, in order. A float item fails with the
// TypeError naming `what`; another item that is not an integer gives
// NotNumbers (no exception set) when `others_fall_back`, else that TypeError.
Items integer_items(PyObject* sequence, const char* what, bool others_fall_back, std::vector<std::size_t>& out) {
  Ref fast = Ref::steal(PySequence_Fast(sequence, ""));
  if (!fast) return Items::Failed;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
  PyObject** items = PySequence_Fast_ITEMS(fast.get());
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = items[i];
    if (!is_integer(item)) {
      if (others_fall_back && !is_inexact(item)) return Items::NotNumbers;
      Ref name = Ref::steal(PyUnicode_FromString(Py_TYPE(item)->tp_name));
      if (name) not_integers(what, name.get());
      return Items::Failed;
    }
    std::size_t length = 0;
    if (!integer_length(item, static_cast<std::size_t>(i), what, length)) return Items::Failed;
    out.push_back(length);
  }
  return Items::Converted;
}

// Copies a one-axis array of a 64-bit integer type `T` (any stride).
template <class T>
void copy_values(PyArrayObject* a, std::vector<T>& out) {
  const npy_intp n = PyArray_DIM(a, 0);
  const npy_intp stride = PyArray_STRIDE(a, 0);
  const char* base = static_cast<const char*>(PyArray_DATA(a));
  out.resize(static_cast<std::size_t>(n));
  for (npy_intp i = 0; i < n; ++i) std::memcpy(&out[static_cast<std::size_t>(i)], base + i * stride, sizeof(T));
}

// The lengths of a NumPy array: one axis, of a boolean, integer or object
// dtype. Booleans and integers are cast safely to 64 bits (signed ones must
// not be negative); the items of an object array must be integers.
bool array_lengths(PyObject* obj, const char* what, std::vector<std::size_t>& out) {
  auto* a = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(a) != 1) {
    PyErr_SetString(PyExc_TypeError, kNotOneAxis);
    return false;
  }
  switch (PyArray_DESCR(a)->kind) {
    case 'b':
    case 'i': {
      Ref cast = Ref::steal(PyArray_FromAny(obj, PyArray_DescrFromType(NPY_INT64), 0, 0, 0, nullptr));
      if (!cast) return false;
      std::vector<std::int64_t> raw;
      copy_values(reinterpret_cast<PyArrayObject*>(cast.get()), raw);
      out.reserve(raw.size());
      for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] < 0) return not_positive(i) != nullptr;
        out.push_back(static_cast<std::size_t>(raw[i]));
      }
      return true;
    }
    case 'u': {
      Ref cast = Ref::steal(PyArray_FromAny(obj, PyArray_DescrFromType(NPY_UINT64), 0, 0, 0, nullptr));
      if (!cast) return false;
      std::vector<std::uint64_t> raw;
      copy_values(reinterpret_cast<PyArrayObject*>(cast.get()), raw);
      out.assign(raw.begin(), raw.end());
      return true;
    }
    case 'O': return integer_items(obj, what, false, out) == Items::Converted;
    default: {
      not_integers(what, reinterpret_cast<PyObject*>(PyArray_DESCR(a)));
      return false;
    }
  }
}

bool datetime_ready() {
  if (PyDateTimeAPI == nullptr) PyDateTime_IMPORT;
  return PyDateTimeAPI != nullptr;
}

Ref utc_epoch() {
  return Ref::steal(PyDateTimeAPI->DateTime_FromDateAndTime(1970, 1, 1, 0, 0, 0, 0, PyDateTime_TimeZone_UTC,
                                                            PyDateTimeAPI->DateTimeType));
}

}  // namespace

std::optional<std::vector<SharedText>> document_ids(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "expected an iterable of document IDs, not a single string");
    return std::nullopt;
  }
  Ref it = Ref::steal(PyObject_GetIter(obj));
  if (!it) return std::nullopt;
  std::vector<SharedText> ids;
  while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
    auto id = text(item.get());
    if (!id) return std::nullopt;
    ids.emplace_back(std::move(*id));
  }
  if (PyErr_Occurred()) return std::nullopt;
  return ids;
}

Ref ids_to_py(std::span<const SharedText> ids) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  if (!list) return {};
  for (std::size_t i = 0; i < ids.size(); ++i) {
    PyObject* text = text_to_py(ids[i].view()).release();
    if (!text) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
  }
  return list;
}

std::optional<std::vector<std::int64_t>> int64_values(PyObject* obj, const char* name) {
  if (PyUnicode_Check(obj) || PyBytes_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must hold integers, not %s", name, Py_TYPE(obj)->tp_name);
    return std::nullopt;
  }
  Ref array = PyArray_Check(obj) ? Ref::borrow(obj) : Ref::steal(PyArray_FromAny(obj, nullptr, 0, 0, 0, nullptr));
  if (!array) return std::nullopt;
  auto* a = reinterpret_cast<PyArrayObject*>(array.get());
  if (PyArray_NDIM(a) != 1) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must have one axis, not %d", name, PyArray_NDIM(a));
    return std::nullopt;
  }
  std::vector<std::int64_t> out;
  if (PyArray_DIM(a, 0) == 0) return out;  // [] reads as float64
  const char kind = PyArray_DESCR(a)->kind;
  if (kind != 'i' && kind != 'u') {
    PyErr_Format(PyExc_TypeError, "argument '%s' must hold integers, not %S", name,
                 reinterpret_cast<PyObject*>(PyArray_DESCR(a)));
    return std::nullopt;
  }
  Ref cast = Ref::steal(
      PyArray_FromAny(array.get(), PyArray_DescrFromType(kind == 'i' ? NPY_INT64 : NPY_UINT64), 0, 0, 0, nullptr));
  if (!cast) return std::nullopt;
  if (kind == 'i') {
    copy_values(reinterpret_cast<PyArrayObject*>(cast.get()), out);
    return out;
  }
  std::vector<std::uint64_t> raw;
  copy_values(reinterpret_cast<PyArrayObject*>(cast.get()), raw);
  out.reserve(raw.size());
  for (std::uint64_t v : raw) {
    if (v > static_cast<std::uint64_t>(INT64_MAX)) {
      PyErr_Format(PyExc_ValueError, "argument '%s' holds %llu, beyond int64", name,
                   static_cast<unsigned long long>(v));
      return std::nullopt;
    }
    out.push_back(static_cast<std::int64_t>(v));
  }
  return out;
}

std::optional<std::vector<std::size_t>> lengths(PyObject* obj, const char* what) {
  std::vector<std::size_t> out;
  Ref array = Ref::borrow(obj);
  if (!PyArray_Check(obj)) {
    if (PySequence_Check(obj) && !PyUnicode_Check(obj)) {
      const Items items = integer_items(obj, what, true, out);
      if (items == Items::Converted) return out;
      if (items == Items::Failed) return std::nullopt;
      out.clear();
    }
    // Anything else is read as NumPy reads it (no dtype asked, so nothing is
    // cast): nested sequences then fail for their number of axes, strings
    // and other items for their dtype.
    array = Ref::steal(PyArray_FromAny(obj, nullptr, 0, 0, 0, nullptr));
    if (!array) return std::nullopt;
  }
  if (!array_lengths(array.get(), what, out)) return std::nullopt;
  return out;
}

PyObject* strict_f32_matrix(PyObject* obj, const char* name) {
  if (!native_array_of(obj, NPY_FLOAT32, 2)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be a two-dimensional float32 NumPy array", name);
    return nullptr;
  }
  return obj;
}

PyObject* strict_i64_vector(PyObject* obj, const char* name) {
  if (!native_array_of(obj, NPY_INT64, 1)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be a one-dimensional int64 NumPy array", name);
    return nullptr;
  }
  return obj;
}

std::optional<std::span<const float>> flat_f32(PyObject* array, const char* name) {
  auto* a = reinterpret_cast<PyArrayObject*>(array);
  const npy_intp size = PyArray_SIZE(a);
  if (size == 0) return std::span<const float>{};
  if (!PyArray_IS_C_CONTIGUOUS(a) || !PyArray_ISALIGNED(a)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be a C-contiguous, aligned array", name);
    return std::nullopt;
  }
  return std::span<const float>(static_cast<const float*>(PyArray_DATA(a)), static_cast<std::size_t>(size));
}

std::optional<PackedMatrix> array_f32_matrix(PyObject* obj) {
  Ref array;
  if (native_array_of(obj, NPY_FLOAT32, 2)) {
    array = Ref::borrow(obj);
  } else {
    array = force_cast(obj, NPY_FLOAT32);
    if (!array) return std::nullopt;
    if (PyArray_NDIM(reinterpret_cast<PyArrayObject*>(array.get())) != 2) {
      PyErr_SetString(PyExc_TypeError, "expected a two-dimensional float32 array");
      return std::nullopt;
    }
  }
  auto* a = reinterpret_cast<PyArrayObject*>(array.get());
  PackedMatrix m;
  m.rows = static_cast<std::size_t>(PyArray_DIM(a, 0));
  m.columns = static_cast<std::size_t>(PyArray_DIM(a, 1));
  if (m.rows == 0 || m.columns == 0) return PackedMatrix{{}, m.rows, m.columns};
  m.values.resize(m.rows * m.columns);
  const npy_intp row_stride = PyArray_STRIDE(a, 0), col_stride = PyArray_STRIDE(a, 1);
  const char* base = static_cast<const char*>(PyArray_DATA(a));
  const bool columns_packed = col_stride == sizeof(float) || m.columns == 1;
  const bool rows_packed = row_stride == static_cast<npy_intp>(m.columns * sizeof(float)) || m.rows == 1;
  if (columns_packed && rows_packed) {
    std::memcpy(m.values.data(), base, m.values.size() * sizeof(float));
  } else {  // Fortran order, transposed views, negative or arbitrary strides
    float* out = m.values.data();
    for (std::size_t r = 0; r < m.rows; ++r)
      for (std::size_t c = 0; c < m.columns; ++c)
        std::memcpy(out++, base + static_cast<npy_intp>(r) * row_stride + static_cast<npy_intp>(c) * col_stride,
                    sizeof(float));
  }
  return m;
}

Ref text_to_py(std::string_view text) {
  return Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

std::optional<std::string> text(PyObject* obj) {
  if (!PyUnicode_Check(obj)) {
    type_error("expected str, not %s", obj);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (!utf8) return std::nullopt;
  return std::string(utf8, static_cast<std::size_t>(size));
}

std::optional<std::string> attribute(PyObject* obj, const char* name) {
  Ref value = Ref::steal(PyObject_GetAttrString(obj, name));
  if (!value) return std::nullopt;
  return text(value.get());
}

std::optional<std::map<std::string, Representation>> requirements(PyObject* items) {
  Ref it = Ref::steal(PyObject_GetIter(items));
  if (!it) return std::nullopt;
  std::map<std::string, Representation> out;
  while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
    if (!PyTuple_Check(item.get()) || PyTuple_GET_SIZE(item.get()) != 2) {
      PyErr_Format(PyExc_TypeError, "expected a (name, representation) pair, not %s", Py_TYPE(item.get())->tp_name);
      return std::nullopt;
    }
    PyObject* key = PyTuple_GET_ITEM(item.get(), 0);
    auto name = text(key);
    if (!name) return std::nullopt;
    auto representation = representation_from_py(PyTuple_GET_ITEM(item.get(), 1));
    if (!representation) return std::nullopt;
    if (out.contains(*name)) {
      PyErr_Format(PyExc_ValueError, "feature '%U' is required twice", key);
      return std::nullopt;
    }
    out.emplace(std::move(*name), std::move(*representation));
  }
  if (PyErr_Occurred()) return std::nullopt;
  return out;
}

bool count(PyObject* obj, const char* name, std::size_t& out) {
  Ref index = Ref::steal(PyNumber_Index(obj));
  if (!index) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "argument '%s' must be an integer, not %s", name, Py_TYPE(obj)->tp_name);
    return false;
  }
  int overflow = 0;
  const long long signed_value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (signed_value == -1 && overflow == 0 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && signed_value < 0)) {
    PyErr_Format(PyExc_OverflowError, "argument '%s' must not be negative", name);
    return false;
  }
  const std::size_t value = PyLong_AsSize_t(index.get());
  if (value == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    PyErr_Format(PyExc_OverflowError, "argument '%s' is too large", name);
    return false;
  }
  out = value;
  return true;
}

bool optional_count(PyObject* obj, const char* name, std::optional<std::size_t>& out) {
  if (obj == nullptr || obj == Py_None) {
    out.reset();
    return true;
  }
  std::size_t value = 0;
  if (!count(obj, name, value)) return false;
  out = value;
  return true;
}

std::optional<TimeValue> time_from_py(PyObject* obj) {
  if (!datetime_ready()) return std::nullopt;
  Ref epoch = utc_epoch();
  if (!epoch) return std::nullopt;
  Ref delta = Ref::steal(PyNumber_Subtract(obj, epoch.get()));
  if (!delta) return std::nullopt;
  if (!PyDelta_Check(delta.get())) {
    PyErr_SetString(PyExc_TypeError, "expected a timezone-aware datetime");
    return std::nullopt;
  }
  const long long days = PyDateTime_DELTA_GET_DAYS(delta.get());
  if (days < 0) {
    PyErr_SetString(PyExc_ValueError, "time value is before the Unix epoch");
    return std::nullopt;
  }
  TimeValue t;
  t.seconds = static_cast<std::uint64_t>(days) * 86400u +
              static_cast<std::uint64_t>(PyDateTime_DELTA_GET_SECONDS(delta.get()));
  t.nanoseconds = static_cast<std::uint32_t>(PyDateTime_DELTA_GET_MICROSECONDS(delta.get())) * 1000u;
  return t;
}

Ref time_to_py(TimeValue value) {
  if (!datetime_ready()) return {};
  Ref epoch = utc_epoch();
  if (!epoch) return {};
  // 9999-12-31T23:59:59 UTC, the last second datetime can hold.
  constexpr std::uint64_t kLastSecond = 253402300799u;
  if (value.seconds > kLastSecond) {
    PyErr_Format(PyExc_ValueError, "time value of %llu seconds after the Unix epoch is beyond the range of datetime",
                 static_cast<unsigned long long>(value.seconds));
    return {};
  }
  const std::uint64_t days = value.seconds / 86400u;
  Ref delta = Ref::steal(PyDelta_FromDSU(static_cast<int>(days), static_cast<int>(value.seconds % 86400u),
                                         static_cast<int>(value.nanoseconds / 1000u)));
  if (!delta) return {};
  return Ref::steal(PyNumber_Add(epoch.get(), delta.get()));
}

Ref owned_floats_to_py(std::vector<float>&& values, std::span<const std::size_t> shape) {
  std::vector<npy_intp> dims(shape.begin(), shape.end());
  const int ndim = static_cast<int>(dims.size());
  if (values.empty()) return Ref::steal(PyArray_SimpleNew(ndim, dims.data(), NPY_FLOAT32));
  auto* owned = new std::vector<float>(std::move(values));
  Ref capsule = Ref::steal(PyCapsule_New(owned, nullptr, [](PyObject* c) {
    delete static_cast<std::vector<float>*>(PyCapsule_GetPointer(c, nullptr));
  }));
  if (!capsule) {
    delete owned;
    return {};
  }
  Ref array = Ref::steal(PyArray_SimpleNewFromData(ndim, dims.data(), NPY_FLOAT32, owned->data()));
  if (!array) return {};
  // The array owns the buffer from here on, through the capsule.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) != 0) return {};
  return array;
}

Ref scores_to_py(std::vector<float>&& scores) {
  const std::size_t shape[1] = {scores.size()};
  return owned_floats_to_py(std::move(scores), shape);
}

std::optional<std::filesystem::path> path_argument(PyObject* obj) {
  PyObject* encoded = nullptr;
  if (!PyUnicode_FSConverter(obj, &encoded)) return std::nullopt;
  Ref bytes = Ref::steal(encoded);
  return std::filesystem::path(
      std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))));
}

std::string float_text(float value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  // The shortest round-trip digits come from scientific to_chars
  // ("-d.ddde+XX"); they are then laid out positionally. (Fixed to_chars
  // would print every exact digit of large values: 1e20f as
  // 100000002004087734272.)
  char buffer[64];
  const auto written = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string_view s(buffer, static_cast<std::size_t>(written.ptr - buffer));
  std::string out;
  if (s.front() == '-') {
    out = "-";
    s.remove_prefix(1);
  }
  const std::size_t e = s.find('e');
  std::string digits;
  for (char c : s.substr(0, e))
    if (c != '.') digits += c;
  std::string_view exponent_text = s.substr(e + 1);
  if (exponent_text.front() == '+') exponent_text.remove_prefix(1);
  int exponent = 0;
  std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
  // The value is 0.digits times 10^point.
  const long point = exponent + 1;
  const long count = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= count) {
    out += digits;
    out.append(static_cast<std::size_t>(point - count), '0');
  } else {
    out += digits.substr(0, static_cast<std::size_t>(point));
    out += '.';
    out += digits.substr(static_cast<std::size_t>(point));
  }
  return out;
}

}  // namespace quillmark::py

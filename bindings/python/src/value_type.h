#pragma once
// Pieces shared by the module's heap types whose instances each hold one C++
// value in a field of their object struct.

#include "py_ref.h"

#include <type_traits>
#include <utility>

namespace quillmark::py {

// tp_dealloc of such a type: destroys the held value, frees the object and
// drops the instance's reference to its heap type.
template <class Object, auto Field>
void dealloc_value_object(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto& value = reinterpret_cast<Object*>(self)->*Field;
  using Value = std::remove_reference_t<decltype(value)>;
  value.~Value();
  type->tp_free(self);
  Py_DECREF(type);
}

// tp_dealloc of such a type with garbage-collector support: untracks the
// object first, so no collection sees it half destroyed.
template <class Object, auto Field>
void dealloc_gc_value_object(PyObject* self) {
  PyObject_GC_UnTrack(self);
  dealloc_value_object<Object, Field>(self);
}

// The flags of the module's value types: immutable heap types (3.10+).
constexpr unsigned long kValueTypeFlags = Py_TPFLAGS_DEFAULT
#ifdef Py_TPFLAGS_IMMUTABLETYPE
                                          | Py_TPFLAGS_IMMUTABLETYPE
#endif
    ;

// The `value` field of an object struct holding one C++ value.
template <class Object>
auto& value_of(PyObject* self) {
  return reinterpret_cast<Object*>(self)->value;
}

// A new instance of `type` (a cached type, or null with its exception set)
// whose `value` field holds a copy or move of `value`.
template <class Object, class Value>
Ref wrap_value(PyObject* type, Value&& value) {
  if (!type) return {};
  auto* t = reinterpret_cast<PyTypeObject*>(type);
  PyObject* self = t->tp_alloc(t, 0);
  if (!self) return {};
  using Held = std::remove_reference_t<decltype(value_of<Object>(self))>;
  new (&value_of<Object>(self)) Held(std::forward<Value>(value));
  return Ref::steal(self);
}

// True when `obj` is an instance of `type`; otherwise false with TypeError
// "expected a NAME, not TYPE". `type` may be null (its exception is set).
inline bool check_instance(PyObject* obj, PyObject* type, const char* name) {
  if (!type) return false;
  if (PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type))) return true;
  PyErr_Format(PyExc_TypeError, "expected a %s, not %s", name, Py_TYPE(obj)->tp_name);
  return false;
}

}  // namespace quillmark::py

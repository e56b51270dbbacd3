// The module's only exported symbol: PyInit__native.

#include "registry.h"

namespace {

int exec_native(PyObject* module) { return quillmark::py::exec_module(module); }

// No Py_mod_gil slot: the module does not declare itself free-thread safe.
// Its conversions read items of callers' lists and dicts as borrowed
// references without critical sections, so on a free-threaded interpreter it
// keeps the interpreter lock enabled until they are protected.
// Not for subinterpreters: the module keeps process-wide state (the cached
// exception and class objects, the thread pools and the set-once cells), so
// an interpreter other than the main one refuses to import it.
PyModuleDef_Slot native_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_native)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef native_module = {
    PyModuleDef_HEAD_INIT, "_native", "", 0, nullptr, native_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&native_module); }

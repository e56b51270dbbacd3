#include "errors.h"

#include <new>
#include <string>

#include "once.h"
#include "pending_release.h"

namespace quillmark::py {

namespace {

PyObject* make_incompatible_index_error() {
  return PyErr_NewExceptionWithDoc(
      "quillmark.IncompatibleIndexError",
      "Stages or sources that cannot be composed: another representation, another score scale, or a corpus the "
      "reranker has no source for.",
      PyExc_ValueError, nullptr);
}

PyObject* make_incompatible_query_error() {
  return PyErr_NewExceptionWithDoc("quillmark.IncompatibleQueryError",
                                   "A query lacks a feature a stage needs, or supplies it from another encoder.",
                                   PyExc_ValueError, nullptr);
}

PyObject* make_commit_not_durable_error() {
  return PyErr_NewExceptionWithDoc(
      "quillmark.CommitNotDurableError",
      "A commit was published, and readers see it, but the store directory could not be flushed afterwards, so "
      "the commit may not survive a power loss. The writer already holds the commit: do not stage its changes "
      "again. Calling commit() again, or reopening the writer, flushes the directory and makes it durable.",
      PyExc_ValueError, nullptr);
}

// Not registered in the module: callers are not expected to handle it.
PyObject* make_invariant_error() {
  return PyErr_NewExceptionWithDoc("quillmark._native.InvariantViolation",
                                   "A broken internal invariant of the native core.", PyExc_BaseException, nullptr);
}

Once incompatible_index_type(make_incompatible_index_error);
Once incompatible_query_type(make_incompatible_query_error);
Once commit_not_durable_type(make_commit_not_durable_error);
Once invariant_type(make_invariant_error);

// A Python exception carried through the core. The reference is dropped with
// the interpreter lock held, whatever thread destroys the carrier, without
// waiting for the lock (release_reference).
class PythonException final : public ExternalError {
 public:
  explicit PythonException(PyObject* value) : value_(value) {}
  ~PythonException() override { release_reference(value_); }
  std::string text() const override {
    Attach lock;
    Ref s = Ref::steal(PyObject_Str(value_));
    if (!s) {
      PyErr_Clear();
      return "<unprintable exception>";
    }
    const char* utf8 = PyUnicode_AsUTF8(s.get());
    if (!utf8) {
      PyErr_Clear();
      return "<unprintable exception>";
    }
    return utf8;
  }
  std::string debug() const override {
    Attach lock;
    Ref r = Ref::steal(PyObject_Repr(value_));
    const char* utf8 = r ? PyUnicode_AsUTF8(r.get()) : nullptr;
    if (!utf8) {
      PyErr_Clear();
      return "PyErr";
    }
    return std::string("PyErr { ") + utf8 + " }";
  }
  PyObject* value() const { return value_; }

 private:
  PyObject* value_;  // owned; an exception instance
};

PyObject* os_error_type(IoErrorKind kind) {
  switch (kind) {
    case IoErrorKind::NotFound: return PyExc_FileNotFoundError;
    case IoErrorKind::PermissionDenied: return PyExc_PermissionError;
    case IoErrorKind::ConnectionRefused: return PyExc_ConnectionRefusedError;
    case IoErrorKind::ConnectionReset: return PyExc_ConnectionResetError;
    case IoErrorKind::ConnectionAborted: return PyExc_ConnectionAbortedError;
    case IoErrorKind::BrokenPipe: return PyExc_BrokenPipeError;
    case IoErrorKind::AlreadyExists: return PyExc_FileExistsError;
    case IoErrorKind::WouldBlock: return PyExc_BlockingIOError;
    case IoErrorKind::NotADirectory: return PyExc_NotADirectoryError;
    case IoErrorKind::IsADirectory: return PyExc_IsADirectoryError;
    case IoErrorKind::TimedOut: return PyExc_TimeoutError;
    case IoErrorKind::Interrupted: return PyExc_InterruptedError;
    case IoErrorKind::OutOfMemory: return PyExc_MemoryError;
    default: return PyExc_OSError;
  }
}

// Re-raises a carried exception unchanged: same object, same traceback.
PyObject* reraise(PyObject* value) {
  PyObject* tb = PyException_GetTraceback(value);  // new reference or null
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), Py_NewRef(value), tb);
  return nullptr;
}

PyObject* raise_text(PyObject* type, const std::string& text) {
  if (!type) return nullptr;  // making the type failed; its exception is set
  Ref message = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(type, message.get());
  return nullptr;
}

// An OSError subclass raised with the text alone as its argument, so that
// str() is the text, and `errno` set afterwards (a second constructor
// argument would make str() "[Errno N] ..." and let OSError pick the
// subclass by number instead of by kind).
PyObject* raise_os_error(PyObject* type, const std::string& text, int code) {
  Ref message = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!message) return nullptr;
  Ref value = Ref::steal(PyObject_CallOneArg(type, message.get()));
  if (!value) return nullptr;
  Ref number = Ref::steal(PyLong_FromLong(code));
  if (!number || PyObject_SetAttrString(value.get(), "errno", number.get()) != 0) return nullptr;
  PyErr_SetObject(type, value.get());
  return nullptr;
}

PyObject* raise_external(const ExternalError& e) {
  if (PyObject* value = carried_exception(e)) return reraise(value);
  return raise_text(PyExc_RuntimeError, e.text());
}

}  // namespace

PyObject* incompatible_index_error() {
  PyObject* t = incompatible_index_type.get();
  if (!t && !PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "cannot create IncompatibleIndexError");
  return t;
}

PyObject* incompatible_query_error() {
  PyObject* t = incompatible_query_type.get();
  if (!t && !PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "cannot create IncompatibleQueryError");
  return t;
}

PyObject* commit_not_durable_error() {
  PyObject* t = commit_not_durable_type.get();
  if (!t && !PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "cannot create CommitNotDurableError");
  return t;
}

PyObject* carried_exception(const ExternalError& error) {
  auto* p = dynamic_cast<const PythonException*>(&error);
  return p ? p->value() : nullptr;
}

Error take_python_error() {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  QM_INVARIANT(type != nullptr, "a Python error is set when one is taken");
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return Error::external(std::make_shared<const PythonException>(value));
}

PyObject* raise(const Error& error) {
  switch (error.kind()) {
    case Error::Kind::IncompatibleIndex: return raise_text(incompatible_index_error(), error.message());
    case Error::Kind::IncompatibleQuery: return raise_text(incompatible_query_error(), error.message());
    case Error::Kind::Storage:
      if (error.unsynced_publication()) return raise_text(commit_not_durable_error(), error.text());
      return raise_text(PyExc_ValueError, error.text());
    case Error::Kind::InvalidInput:
    case Error::Kind::Ranking: return raise_text(PyExc_ValueError, error.text());
    case Error::Kind::Io: {
      const IoError& io = *error.io();
      if (io.inner()) return raise_external(*io.inner());
      PyObject* type = os_error_type(io.kind());
      if (type == PyExc_MemoryError) return raise_text(type, io.text());  // not an OSError: no errno
      return raise_os_error(type, io.text(), errno_of(io));
    }
    case Error::Kind::External: {
      const auto& carried = *error.external();
      if (!carried) return raise_text(PyExc_RuntimeError, "");
      return raise_external(*carried);
    }
  }
  return raise_text(PyExc_SystemError, "unknown error kind");
}

PyObject* raise_cpp_exception(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Clear();
    raise_text(invariant_type.get(), e.what());
  } catch (...) {
    PyErr_Clear();
    raise_text(invariant_type.get(), "unknown C++ exception in the native core");
  }
  return nullptr;
}

PyObject* add_note_to_raised(const char* note) {
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* raised = PyErr_GetRaisedException();
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  PyObject* raised = value;
#endif
  if (PyObject* added = PyObject_CallMethod(raised, "add_note", "s", note)) {
    Py_DECREF(added);
  } else {
    PyErr_Clear();  // the hint is optional; the original error is what matters
  }
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(raised);
#else
  PyErr_Restore(reinterpret_cast<PyObject*>(Py_TYPE(raised)), raised, PyException_GetTraceback(raised));
  Py_INCREF(Py_TYPE(raised));
#endif
  return nullptr;
}

}  // namespace quillmark::py

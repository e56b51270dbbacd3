// VectorStoreWriter(path) and VectorStoreWriter.create(...): staging and
// committing changes to a vector store from Python. Arguments are converted
// with the interpreter lock held; the core work runs without it, under the
// instance's writer mutex.

#include "writer_type.h"

#include <atomic>
#include <memory>
#include <optional>
#include <unistd.h>
#include <mutex>
#include <new>
#include <string>
#include <type_traits>

#include "append_arguments.h"
#include "convert.h"
#include "errors.h"
#include "numpy_api.h"
#include "once.h"
#include "registry.h"
#include "representation_convert.h"
#include "storage/writer.h"
#include "value_type.h"

namespace quillmark::py {

namespace {

static_assert(std::is_same_v<std::size_t, std::uint64_t>, "lengths convert to the writer's uint64 lengths");

// The core writer and the mutex that serialises its operations. Lives as
// long as the instance; closing it, or destroying it, releases the store's
// writer lock.
struct WriterState {
  explicit WriterState(VectorStoreWriter w)
      : path(w.path().string()), corpus(w.manifest().corpus), owner(::getpid()), writer(std::move(w)) {}
  // Constant after construction.
  const std::string path;
  const std::string corpus;
  const pid_t owner;
  // Set under mutex; read without it to refuse early, with the interpreter
  // lock held.
  std::atomic<bool> closed{false};
  std::mutex mutex;
  std::optional<VectorStoreWriter> writer;  // guarded by mutex; empty once closed
};

struct WriterObject {
  PyObject_HEAD
  std::unique_ptr<WriterState> state;  // never null
};

WriterObject* as_writer(PyObject* self) { return reinterpret_cast<WriterObject*>(self); }

constexpr unsigned long kTypeFlags = kValueTypeFlags;

constexpr const char kWriterDoc[] =
    "VectorStoreWriter(path)\n--\n\n"
    "Stages appends, deletes, and compactions of one vector store, and\n"
    "publishes them together on ``commit()``.\n"
    "\n"
    "Appending a document that is already present replaces it; deleting one\n"
    "that is not present does nothing. A commit with nothing staged still\n"
    "advances the time readers report as fresh.";

// A new instance owning `writer`.
PyObject* wrap(PyTypeObject* type, VectorStoreWriter writer) {
  auto state = std::make_unique<WriterState>(std::move(writer));
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  new (&as_writer(self)->state) std::unique_ptr<WriterState>(std::move(state));
  return self;
}

PyObject* raise_closed(const WriterState& state) {
  PyErr_Format(PyExc_ValueError, "the vector store writer of %s is closed", state.path.c_str());
  return nullptr;
}

// Raises (and returns false) unless the writer may be used here: RuntimeError
// in a process that inherited it through fork(), ValueError once closed.
bool check_usable(PyObject* self) {
  const WriterState& state = *as_writer(self)->state;
  if (::getpid() != state.owner) {
    PyErr_Format(PyExc_RuntimeError,
                 "vector store writer of %s was opened in process %ld; a writer inherited across a fork cannot be "
                 "used",
                 state.path.c_str(), static_cast<long>(state.owner));
    return false;
  }
  if (state.closed.load()) {
    raise_closed(state);
    return false;
  }
  return true;
}

// Runs `operation` on the instance's writer with the interpreter lock
// released and the writer mutex held; nothing when the writer was closed
// meanwhile. REQUIRES: check_usable(self) passed.
template <class Operation>
auto with_writer(PyObject* self, Operation&& operation)
    -> std::optional<decltype(operation(std::declval<VectorStoreWriter&>()))> {
  WriterState* state = as_writer(self)->state.get();
  return detached([&]() -> std::optional<decltype(operation(std::declval<VectorStoreWriter&>()))> {
    std::lock_guard lock(state->mutex);
    if (!state->writer) return std::nullopt;
    return operation(*state->writer);
  });
}

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"path", nullptr};
    PyObject* path_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:VectorStoreWriter", const_cast<char**>(keywords), &path_obj))
      return nullptr;
    auto path = path_argument(path_obj);
    if (!path) return nullptr;
    auto writer = detached([&] { return VectorStoreWriter::open(*path); });
    if (!writer) return raise(writer.error());
    return wrap(type, std::move(*writer));
  });
}

PyObject* writer_create(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"path", "corpus", "representation", "encoding", nullptr};
    PyObject *path_obj = nullptr, *corpus_obj = nullptr, *representation_obj = nullptr, *encoding_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$O:create", const_cast<char**>(keywords), &path_obj,
                                     &corpus_obj, &representation_obj, &encoding_obj))
      return nullptr;
    auto path = path_argument(path_obj);
    if (!path) return nullptr;
    auto corpus = text(corpus_obj);
    if (!corpus) return nullptr;
    std::string encoding_name = "float32";
    if (encoding_obj) {
      auto given = text(encoding_obj);
      if (!given) return nullptr;
      encoding_name = std::move(*given);
    }
    auto encoding = Encoding::parse(encoding_name);
    if (!encoding) return raise(encoding.error());
    auto representation = representation_from_py(representation_obj);
    if (!representation) return nullptr;
    auto writer = detached([&] {
      return VectorStoreWriter::create(*path, std::move(*corpus), std::move(*representation), *encoding);
    });
    if (!writer) return raise(writer.error());
    PyObject* type = vector_store_writer_type();
    if (!type) return nullptr;
    return wrap(reinterpret_cast<PyTypeObject*>(type), std::move(*writer));
  });
}

PyObject* writer_append(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"document_ids", "embeddings", "document_lengths", "threads", nullptr};
    PyObject *ids_obj = nullptr, *embeddings_obj = nullptr, *lengths_obj = nullptr, *threads_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$O:append", const_cast<char**>(keywords), &ids_obj,
                                     &embeddings_obj, &lengths_obj, &threads_obj))
      return nullptr;
    if (!check_usable(self)) return nullptr;
    auto arguments = append_arguments(ids_obj, embeddings_obj, lengths_obj, threads_obj);
    if (!arguments) return nullptr;
    auto appended = with_writer(self, [&](VectorStoreWriter& writer) {
      return writer.append(arguments->ids, arguments->values, arguments->columns, arguments->lengths,
                           arguments->threads);
    });
    if (!appended) return raise_closed(*as_writer(self)->state);
    if (!*appended) return raise(appended->error());
    Py_RETURN_NONE;
  });
}

PyObject* writer_delete(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"document_ids", nullptr};
    PyObject* ids_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:delete", const_cast<char**>(keywords), &ids_obj)) return nullptr;
    if (!check_usable(self)) return nullptr;
    auto ids = document_ids(ids_obj);
    if (!ids) return nullptr;
    auto marked = with_writer(self, [&](VectorStoreWriter& writer) { return writer.delete_documents(*ids); });
    if (!marked) return raise_closed(*as_writer(self)->state);
    return PyLong_FromUnsignedLongLong(*marked);
  });
}

PyObject* writer_compact(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    if (!check_usable(self)) return nullptr;
    auto compacted = with_writer(self, [](VectorStoreWriter& writer) { return writer.compact(); });
    if (!compacted) return raise_closed(*as_writer(self)->state);
    if (!*compacted) return raise(compacted->error());
    Py_RETURN_NONE;
  });
}

PyObject* writer_merge(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    if (!check_usable(self)) return nullptr;
    auto merged = with_writer(self, [](VectorStoreWriter& writer) { return writer.merge(); });
    if (!merged) return raise_closed(*as_writer(self)->state);
    if (!*merged) return raise(merged->error());
    return PyLong_FromUnsignedLongLong(**merged);
  });
}

PyObject* writer_commit(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    if (!check_usable(self)) return nullptr;
    auto committed = with_writer(self, [](VectorStoreWriter& writer) { return writer.commit(); });
    if (!committed) return raise_closed(*as_writer(self)->state);
    if (!*committed) return raise(committed->error());
    return time_to_py(**committed).release();
  });
}

PyObject* writer_close(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    WriterState* state = as_writer(self)->state.get();
    // In a forked child the descriptor was released at the fork, and the
    // mutex may have been copied while held by a thread that does not exist
    // here: marking it closed is all there is to do.
    if (::getpid() != state->owner) {
      state->closed.store(true);
      Py_RETURN_NONE;
    }
    // Discards the staged work and releases the lock without the
    // interpreter lock: waiting for the mutex, and removing staged files,
    // may take a while.
    detached([&] {
      std::lock_guard lock(state->mutex);
      state->writer.reset();
      state->closed.store(true);
      return 0;
    });
    Py_RETURN_NONE;
  });
}

PyObject* writer_enter(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    if (!check_usable(self)) return nullptr;
    return Py_NewRef(self);
  });
}

PyObject* writer_exit(PyObject* self, PyObject*) {
  PyObject* closed = writer_close(self, nullptr);
  if (!closed) return nullptr;
  Py_DECREF(closed);
  Py_RETURN_FALSE;
}

PyObject* writer_corpus(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    return text_to_py(as_writer(self)->state->corpus).release();
  });
}

PyObject* writer_get_merge_at_commit(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    if (!check_usable(self)) return nullptr;
    auto on = with_writer(self, [](VectorStoreWriter& writer) { return writer.merge_at_commit(); });
    if (!on) return raise_closed(*as_writer(self)->state);
    return PyBool_FromLong(*on);
  });
}

int writer_set_merge_at_commit(PyObject* self, PyObject* value, void*) {
  return guarded([&]() -> int {
    if (value == nullptr) {
      PyErr_SetString(PyExc_TypeError, "cannot delete merge_at_commit");
      return -1;
    }
    if (!PyBool_Check(value)) {
      PyErr_Format(PyExc_TypeError, "merge_at_commit must be a bool, not %s", Py_TYPE(value)->tp_name);
      return -1;
    }
    if (!check_usable(self)) return -1;
    const bool on = value == Py_True;
    auto set = with_writer(self, [on](VectorStoreWriter& writer) {
      writer.set_merge_at_commit(on);
      return true;
    });
    if (!set) {
      raise_closed(*as_writer(self)->state);
      return -1;
    }
    return 0;
  });
}

PyGetSetDef writer_getset[] = {
    {"corpus", writer_corpus, nullptr, "The name of the corpus the store holds.", nullptr},
    {"merge_at_commit", writer_get_merge_at_commit, writer_set_merge_at_commit,
     "Whether ``commit()`` runs ``merge()`` before it publishes; False when\n"
     "the writer is opened.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <class F>
PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef writer_methods[] = {
    {"create", as_cfunction(writer_create), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "create(path, corpus, representation, *, encoding=\"float32\")\n--\n\n"
     "Writes an empty store at ``path``, which must not exist."},
    {"append", as_cfunction(writer_append), METH_VARARGS | METH_KEYWORDS,
     "append($self, document_ids, embeddings, document_lengths, *, threads=None)\n--\n\n"
     "Stages documents; ``embeddings`` is a float32 ``[tokens, dimension]``\n"
     "matrix packed by document in the order of ``document_ids``."},
    {"delete", as_cfunction(writer_delete), METH_VARARGS | METH_KEYWORDS,
     "delete($self, document_ids)\n--\n\n"
     "Stages the deletion of the documents present among ``document_ids``\n"
     "and returns how many there were."},
    {"compact", writer_compact, METH_NOARGS, "compact($self)\n--\n\nStages the present documents as one segment."},
    {"merge", writer_merge, METH_NOARGS,
     "merge($self)\n--\n\n"
     "Stages merges of small segments, tier by tier, so that the segment\n"
     "count stays logarithmic in the documents, and returns how many\n"
     "segments were replaced. Documents and their vectors are unchanged."},
    {"commit", writer_commit, METH_NOARGS,
     "commit($self)\n--\n\n"
     "Publishes everything staged and returns the commit time readers\n"
     "report for it."},
    {"close", writer_close, METH_NOARGS,
     "close($self)\n--\n\n"
     "Releases the store's writer lock and discards everything staged and\n"
     "not committed. Closing again does nothing; any other operation on a\n"
     "closed writer raises ValueError."},
    {"__enter__", writer_enter, METH_NOARGS, "__enter__($self)\n--\n\nReturns the writer."},
    {"__exit__", writer_exit, METH_VARARGS,
     "__exit__($self, exc_type, exc_value, traceback, /)\n--\n\n"
     "Closes the writer; never commits."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot writer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(writer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_value_object<WriterObject, &WriterObject::state>)},
    {Py_tp_getset, writer_getset},
    {Py_tp_methods, writer_methods},
    {Py_tp_doc, const_cast<char*>(kWriterDoc)},
    {0, nullptr},
};

PyType_Spec writer_spec = {"quillmark._native.VectorStoreWriter", sizeof(WriterObject), 0, kTypeFlags,
                           writer_slots};

PyObject* make_writer_type_object() { return PyType_FromSpec(&writer_spec); }
Once writer_type_once(make_writer_type_object);

}  // namespace

PyObject* vector_store_writer_type() { return writer_type_once.get(); }

PyObject* make_vector_store_writer_type() { return Py_XNewRef(vector_store_writer_type()); }

}  // namespace quillmark::py

// VectorStoreWriter(path) and VectorStoreWriter.create(...): staging and
// committing changes to a vector store from Python. Arguments are converted
// with the interpreter lock held; the core work runs without it, under the
// instance's writer mutex.

#include "writer_type.h"

#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <type_traits>

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
// long as the instance; destroying it releases the store's writer lock.
struct WriterState {
  explicit WriterState(VectorStoreWriter w) : writer(std::move(w)) {}
  std::mutex mutex;
  VectorStoreWriter writer;  // guarded by mutex
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

// A str or os.PathLike, encoded with the file-system encoding (TypeError
// otherwise).
std::optional<std::filesystem::path> path_argument(PyObject* obj) {
  PyObject* encoded = nullptr;
  if (!PyUnicode_FSConverter(obj, &encoded)) return std::nullopt;
  Ref bytes = Ref::steal(encoded);
  return std::filesystem::path(
      std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))));
}

// A new instance owning `writer`.
PyObject* wrap(PyTypeObject* type, VectorStoreWriter writer) {
  auto state = std::make_unique<WriterState>(std::move(writer));
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  new (&as_writer(self)->state) std::unique_ptr<WriterState>(std::move(state));
  return self;
}

// Runs `operation` on the instance's writer with the interpreter lock
// released and the writer mutex held.
template <class Operation>
auto with_writer(PyObject* self, Operation&& operation) {
  WriterState* state = as_writer(self)->state.get();
  return detached([&] {
    std::lock_guard lock(state->mutex);
    return operation(state->writer);
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
    if (!strict_f32_matrix(embeddings_obj, "embeddings")) return nullptr;
    // Read in place when C-contiguous and aligned, else copied in row order.
    Ref array = Ref::borrow(embeddings_obj);
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    if (PyArray_SIZE(a) > 0 && !(PyArray_IS_C_CONTIGUOUS(a) && PyArray_ISALIGNED(a))) {
      array = Ref::steal(PyArray_NewCopy(a, NPY_CORDER));
      if (!array) return nullptr;
    }
    const std::size_t columns = static_cast<std::size_t>(PyArray_DIM(reinterpret_cast<PyArrayObject*>(array.get()), 1));
    auto values = flat_f32(array.get(), "embeddings");
    if (!values) return nullptr;
    std::optional<std::size_t> threads;
    if (!optional_count(threads_obj, "threads", threads)) return nullptr;
    auto ids = document_ids(ids_obj);
    if (!ids) return nullptr;
    auto lengths = py::lengths(lengths_obj);
    if (!lengths) return nullptr;
    auto appended = with_writer(self, [&](VectorStoreWriter& writer) {
      return writer.append(*ids, *values, columns, *lengths, threads);
    });
    if (!appended) return raise(appended.error());
    Py_RETURN_NONE;
  });
}

PyObject* writer_delete(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"document_ids", nullptr};
    PyObject* ids_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:delete", const_cast<char**>(keywords), &ids_obj)) return nullptr;
    auto ids = document_ids(ids_obj);
    if (!ids) return nullptr;
    const std::uint64_t marked = with_writer(self, [&](VectorStoreWriter& writer) { return writer.delete_documents(*ids); });
    return PyLong_FromUnsignedLongLong(marked);
  });
}

PyObject* writer_compact(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto compacted = with_writer(self, [](VectorStoreWriter& writer) { return writer.compact(); });
    if (!compacted) return raise(compacted.error());
    Py_RETURN_NONE;
  });
}

PyObject* writer_commit(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto committed = with_writer(self, [](VectorStoreWriter& writer) { return writer.commit(); });
    if (!committed) return raise(committed.error());
    return time_to_py(*committed).release();
  });
}

PyObject* writer_corpus(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    WriterState& state = *as_writer(self)->state;
    std::string corpus;
    {
      // Waits, with the interpreter lock held, for an operation of another
      // thread; none calls into Python while holding the mutex.
      std::lock_guard lock(state.mutex);
      corpus = state.writer.manifest().corpus;
    }
    return text_to_py(corpus).release();
  });
}

PyGetSetDef writer_getset[] = {
    {"corpus", writer_corpus, nullptr, "The name of the corpus the store holds.", nullptr},
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
    {"commit", writer_commit, METH_NOARGS,
     "commit($self)\n--\n\n"
     "Publishes everything staged and returns the commit time readers\n"
     "report for it."},
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

// VectorStore(path) and StoreView: the store reader for Python. Opening,
// view(), fetch() and the reads by segment (pool, segment_document_ids,
// locations, present) run their core work with the interpreter lock
// released; the other members are light and keep it.

#include "storage_types.h"
#include "value_type.h"

#include <cstring>
#include <new>
#include <string>
#include <unordered_set>

#include "base/text.h"
#include "convert.h"
#include "errors.h"
#include "numpy_api.h"
#include "once.h"
#include "registry.h"
#include "representation_convert.h"
#include "view_operations.h"

namespace quillmark::py {

namespace {

struct StoreObject {
  PyObject_HEAD
  std::shared_ptr<const VectorStore> store;  // never null
};

struct ViewObject {
  PyObject_HEAD
  std::shared_ptr<const StoreView> view;  // never null
};

StoreObject* as_store(PyObject* self) { return reinterpret_cast<StoreObject*>(self); }
ViewObject* as_view(PyObject* self) { return reinterpret_cast<ViewObject*>(self); }


// Neither class may be subclassed: their instances wrap core objects whose
// invariants a subclass could not keep.
constexpr unsigned long kTypeFlags = kValueTypeFlags;

// --- VectorStore ---

constexpr const char kStoreDoc[] =
    "VectorStore(path)\n--\n\n"
    "Reads a quillmark vector store, following what its writer commits.\n"
    "\n"
    "``view()`` rereads ``manifest.json`` and loads only what it has not seen;\n"
    "passed to ``MaxSimReranker`` the store hands every rerank its latest view.";

PyObject* store_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"path", nullptr};
    PyObject* path_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:VectorStore", const_cast<char**>(keywords), &path_obj))
      return nullptr;
    const auto path = path_argument(path_obj);
    if (!path) return nullptr;
    auto store = detached([&] { return VectorStore::open(*path); });
    if (!store) return raise(store.error());
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    new (&as_store(self)->store) std::shared_ptr<const VectorStore>(std::move(*store));
    return self;
  });
}

PyObject* store_path(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const std::string& native = as_store(self)->store->path().native();
    Ref text = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(native.data(), static_cast<Py_ssize_t>(native.size())));
    if (!text) return nullptr;
    Ref pathlib = Ref::steal(PyImport_ImportModule("pathlib"));
    if (!pathlib) return nullptr;
    Ref path_type = Ref::steal(PyObject_GetAttrString(pathlib.get(), "Path"));
    if (!path_type) return nullptr;
    return PyObject_CallOneArg(path_type.get(), text.get());
  });
}

PyObject* store_corpus(PyObject* self, void*) { return text_to_py(as_store(self)->store->corpus()).release(); }

PyObject* store_encoding(PyObject* self, void*) { return text_to_py(as_store(self)->store->encoding().name()).release(); }

PyObject* store_dimension(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(as_store(self)->store->representation().dimension());
}

PyObject* store_representation(PyObject* self, void*) {
  return guarded([&]() -> PyObject* { return representation_to_py(as_store(self)->store->representation()).release(); });
}

PyObject* store_score_semantics(PyObject* self, void*) { return text_to_py(as_store(self)->store->score_semantics()).release(); }

PyObject* store_view(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    std::shared_ptr<const VectorStore> store = as_store(self)->store;
    auto view = detached([&] { return store->store_view(); });
    if (!view) return raise(view.error());
    return store_view_to_py(std::move(*view)).release();
  });
}

// The file is read with the interpreter lock released; the array is made
// with it held, filled, and handed out read-only, as the file it mirrors is.
PyObject* store_segment_sources(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"segment_id", nullptr};
    PyObject* id_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:segment_sources", const_cast<char**>(keywords), &id_obj))
      return nullptr;
    std::size_t segment_id = 0;
    if (!count(id_obj, "segment_id", segment_id)) return nullptr;
    std::shared_ptr<const VectorStore> store = as_store(self)->store;
    auto sources = detached([&] { return store->segment_sources(segment_id); });
    if (!sources) return raise(sources.error());
    if (!*sources) Py_RETURN_NONE;
    const std::vector<SegmentSource>& rows = **sources;
    npy_intp dims[2] = {static_cast<npy_intp>(rows.size()), 3};
    Ref array = Ref::steal(PyArray_SimpleNew(2, dims, NPY_UINT64));
    if (!array) return nullptr;
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    auto* out = static_cast<std::uint64_t*>(PyArray_DATA(a));
    for (const SegmentSource& row : rows) {
      *out++ = row.segment;
      *out++ = row.row;
      *out++ = row.fingerprint;
    }
    PyArray_CLEARFLAGS(a, NPY_ARRAY_WRITEABLE);
    return array.release();
  });
}

PyGetSetDef store_getset[] = {
    {"path", store_path, nullptr, "The store directory, as given at opening.", nullptr},
    {"corpus", store_corpus, nullptr, "The name of the corpus the store holds.", nullptr},
    {"encoding", store_encoding, nullptr, "How the vectors are kept: \"float32\" or \"int8\".", nullptr},
    {"dimension", store_dimension, nullptr, "Values per token vector.", nullptr},
    {"representation", store_representation, nullptr, "The representation of the stored vectors.", nullptr},
    {"score_semantics", store_score_semantics, nullptr, "The scale of MaxSim scores computed from the store.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef store_methods[] = {
    {"view", store_view, METH_NOARGS,
     "view($self)\n--\n\nThe latest commit as a StoreView; the same view while nothing was committed."},
    {"segment_sources", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(store_segment_sources)),
     METH_VARARGS | METH_KEYWORDS,
     "segment_sources($self, segment_id)\n--\n\n"
     "Where each row of segment ``segment_id`` of the current commit was\n"
     "copied from, as a read-only uint64 ``[documents, 3]`` array of (source\n"
     "segment, source row, source fingerprint); None for a segment written\n"
     "by ``append``. Copied rows hold the same bytes as their sources."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot store_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(store_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_value_object<StoreObject, &StoreObject::store>)},
    {Py_tp_getset, store_getset},
    {Py_tp_methods, store_methods},
    {Py_tp_doc, const_cast<char*>(kStoreDoc)},
    {0, nullptr},
};

PyType_Spec store_spec = {"quillmark._native.VectorStore", sizeof(StoreObject), 0, kTypeFlags, store_slots};

PyObject* make_store_type_object() { return PyType_FromSpec(&store_spec); }
Once store_type_once(make_store_type_object);

// --- StoreView ---

constexpr const char kViewDoc[] = "One commit of a vector store. It stays readable after later commits.";

PyObject* view_as_of(PyObject* self, void*) {
  return guarded([&]() -> PyObject* { return time_to_py(as_view(self)->view->as_of()).release(); });
}

PyObject* view_commit(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(as_view(self)->view->commit()); }

PyObject* view_document_ids(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const std::vector<SharedText> ids = as_view(self)->view->document_ids();
    return ids_to_py(ids).release();
  });
}

// fetch(): the documents are located with the lock released, the output
// array is allocated with it held (NumPy's allocator, untouched so far), and
// the rows are written into it with the lock released again, in parallel for
// large fetches: the first touch of the fresh pages, which costs about as much
// as the copy itself, is then shared by the pool's workers too. Nothing but
// this call sees the array before it is returned.
PyObject* view_fetch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"document_ids", "threads", nullptr};
    PyObject* ids_obj = nullptr;
    PyObject* threads_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:fetch", const_cast<char**>(keywords), &ids_obj,
                                     &threads_obj))
      return nullptr;
    std::optional<std::size_t> threads;
    if (!optional_count(threads_obj, "threads", threads)) return nullptr;
    auto ids = document_ids(ids_obj);
    if (!ids) return nullptr;
    std::shared_ptr<const StoreView> view = as_view(self)->view;
    auto plan = detached([&] { return view->plan_fetch(*ids); });
    if (!plan) return raise(plan.error());
    // The store's dimension comes from its manifest: refuse, in the store's
    // terms, a shape NumPy could not describe (even with no rows).
    const std::size_t dimension = static_cast<std::size_t>(view->representation().dimension());
    if (dimension > static_cast<std::size_t>(NPY_MAX_INTP) / sizeof(float))
      return raise(Error::storage("dimension " + std::to_string(dimension) + " is too large for an array"));
    npy_intp dims[2] = {static_cast<npy_intp>(plan->rows), static_cast<npy_intp>(dimension)};
    Ref vectors = Ref::steal(PyArray_SimpleNew(2, dims, NPY_FLOAT32));
    if (!vectors) return nullptr;
    auto* values = static_cast<float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(vectors.get())));
    auto filled = detached([&] { return view->fetch_into(*plan, {values, plan->rows * dimension}, threads); });
    if (!filled) return raise(filled.error());

    npy_intp length_dims[1] = {static_cast<npy_intp>(plan->lengths.size())};
    Ref lengths = Ref::steal(PyArray_SimpleNew(1, length_dims, NPY_INT64));
    if (!lengths) return nullptr;
    auto* out = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(lengths.get())));
    for (std::size_t i = 0; i < plan->lengths.size(); ++i) out[i] = static_cast<std::int64_t>(plan->lengths[i]);
    return PyTuple_Pack(2, vectors.get(), lengths.get());
  });
}

PyObject* view_document_lengths(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"document_ids", nullptr};
    PyObject* ids_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:document_lengths", const_cast<char**>(keywords), &ids_obj))
      return nullptr;
    auto ids = document_ids(ids_obj);
    if (!ids) return nullptr;
    const auto lengths = as_view(self)->view->lengths(*ids);
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (std::size_t i = 0; i < ids->size(); ++i) {
      if (!lengths[i]) continue;
      Ref key = text_to_py((*ids)[i].view());
      Ref value = Ref::steal(PyLong_FromSize_t(*lengths[i]));
      if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) != 0) return nullptr;
    }
    return dict.release();
  });
}

// --- Reading by segment ---

PyObject* view_store_id(PyObject* self, void*) { return text_to_py(as_view(self)->view->manifest().store_id).release(); }

PyObject* view_segments(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const std::vector<LiveSegment>& segments = as_view(self)->view->segments();
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(segments.size())));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < segments.size(); ++i) {
      const SegmentEntry& entry = segments[i].entry;
      Ref item = Ref::steal(Py_BuildValue("(KKKK)", static_cast<unsigned long long>(entry.id),
                                          static_cast<unsigned long long>(entry.documents),
                                          static_cast<unsigned long long>(entry.tokens),
                                          static_cast<unsigned long long>(segments[i].data->fingerprint())));
      if (!item) return nullptr;
      PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return tuple.release();
  });
}

// A segment ID argument (an integer): nothing, with ValueError "segment N is
// not in this view" set, for a negative one or one beyond 64 bits (no
// segment has such an ID), or with the TypeError of __index__.
std::optional<std::uint64_t> segment_id_argument(PyObject* obj) {
  Ref value = Ref::steal(PyNumber_Index(obj));
  if (!value) return std::nullopt;
  const unsigned long long id = PyLong_AsUnsignedLongLong(value.get());
  if (id == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return std::nullopt;
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "segment %S is not in this view", value.get());
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(id);
}

// pool(): the segment is found with the lock released, the output array is
// allocated with it held, and filled with it released again, in parallel.
PyObject* view_pool(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"segment_id", "threads", nullptr};
    PyObject* segment_obj = nullptr;
    PyObject* threads_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:pool", const_cast<char**>(keywords), &segment_obj,
                                     &threads_obj))
      return nullptr;
    const auto segment_id = segment_id_argument(segment_obj);
    if (!segment_id) return nullptr;
    std::optional<std::size_t> threads;
    if (!optional_count(threads_obj, "threads", threads)) return nullptr;
    std::shared_ptr<const StoreView> view = as_view(self)->view;
    auto index = detached([&] { return view->find_segment(*segment_id); });
    if (!index) return raise(index.error());
    const std::uint64_t documents = view->segments()[*index].entry.documents;
    const std::uint64_t dimension = view->representation().dimension();
    if (dimension != 0 && documents > static_cast<std::uint64_t>(NPY_MAX_INTP) / sizeof(float) / dimension)
      return raise(Error::storage("segment " + std::to_string(*segment_id) + " is too large for an array"));
    npy_intp dims[2] = {static_cast<npy_intp>(documents), static_cast<npy_intp>(dimension)};
    Ref pooled = Ref::steal(PyArray_SimpleNew(2, dims, NPY_FLOAT32));
    if (!pooled) return nullptr;
    auto* values = static_cast<float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(pooled.get())));
    auto filled = detached([&] {
      return view->pool_into(*index, {values, static_cast<std::size_t>(documents * dimension)}, threads);
    });
    if (!filled) return raise(filled.error());
    return pooled.release();
  });
}

PyObject* view_segment_document_ids(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"segment_id", "rows", nullptr};
    PyObject* segment_obj = nullptr;
    PyObject* rows_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:segment_document_ids", const_cast<char**>(keywords),
                                     &segment_obj, &rows_obj))
      return nullptr;
    const auto segment_id = segment_id_argument(segment_obj);
    if (!segment_id) return nullptr;
    std::optional<std::vector<std::int64_t>> rows;
    if (rows_obj != Py_None) {
      rows = int64_values(rows_obj, "rows");
      if (!rows) return nullptr;
    }
    std::shared_ptr<const StoreView> view = as_view(self)->view;
    auto ids = detached([&]() -> Result<std::vector<SharedText>> {
      const std::size_t index = QM_TRY(view->find_segment(*segment_id));
      if (!rows) return view->segment_document_ids(index, std::nullopt);
      return view->segment_document_ids(index, std::span<const std::int64_t>(*rows));
    });
    if (!ids) return raise(ids.error());
    return ids_to_py(*ids).release();
  });
}

// A new one-axis int64 array of `size` items, and its data.
Ref new_int64_array(std::size_t size, std::int64_t*& data) {
  npy_intp dims[1] = {static_cast<npy_intp>(size)};
  Ref array = Ref::steal(PyArray_SimpleNew(1, dims, NPY_INT64));
  if (array) data = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
  return array;
}

PyObject* view_locations(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"document_ids", nullptr};
    PyObject* ids_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:locations", const_cast<char**>(keywords), &ids_obj))
      return nullptr;
    auto ids = document_ids(ids_obj);
    if (!ids) return nullptr;
    std::shared_ptr<const StoreView> view = as_view(self)->view;
    const auto located = detached([&] { return view->locate_each(*ids); });
    std::int64_t* segment_ids = nullptr;
    std::int64_t* rows = nullptr;
    Ref segments_array = new_int64_array(located.size(), segment_ids);
    if (!segments_array) return nullptr;
    Ref rows_array = new_int64_array(located.size(), rows);
    if (!rows_array) return nullptr;
    for (std::size_t i = 0; i < located.size(); ++i) {
      if (!located[i]) {
        segment_ids[i] = rows[i] = -1;
        continue;
      }
      const std::uint64_t id = view->segments()[located[i]->segment].entry.id;
      if (id > static_cast<std::uint64_t>(INT64_MAX))
        return raise(Error::invalid_input("segment ID " + std::to_string(id) + " does not fit int64"));
      segment_ids[i] = static_cast<std::int64_t>(id);
      rows[i] = static_cast<std::int64_t>(located[i]->row);
    }
    return PyTuple_Pack(2, segments_array.get(), rows_array.get());
  });
}

PyObject* view_present(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"segment_ids", "rows", nullptr};
    PyObject* segments_obj = nullptr;
    PyObject* rows_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:present", const_cast<char**>(keywords), &segments_obj,
                                     &rows_obj))
      return nullptr;
    const auto segment_ids = int64_values(segments_obj, "segment_ids");
    if (!segment_ids) return nullptr;
    const auto rows = int64_values(rows_obj, "rows");
    if (!rows) return nullptr;
    npy_intp dims[1] = {static_cast<npy_intp>(segment_ids->size())};
    Ref answers = Ref::steal(PyArray_SimpleNew(1, dims, NPY_BOOL));
    if (!answers) return nullptr;
    static_assert(sizeof(bool) == sizeof(npy_bool), "a bool array holds one byte per item");
    auto* out = static_cast<bool*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(answers.get())));
    std::shared_ptr<const StoreView> view = as_view(self)->view;
    auto done = detached([&] { return view->present(*segment_ids, *rows, {out, segment_ids->size()}); });
    if (!done) return raise(done.error());
    return answers.release();
  });
}

int view_contains(PyObject* self, PyObject* key) {
  return guarded([&]() -> int {
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "a document ID must be a str, not %s", Py_TYPE(key)->tp_name);
      return -1;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
    if (!utf8) return -1;
    return as_view(self)->view->contains(std::string_view(utf8, static_cast<std::size_t>(size))) ? 1 : 0;
  });
}

PyObject* view_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const StoreView& view = *as_view(self)->view;
    const std::string text = "StoreView(corpus=" + debug_form(view.corpus()) + ", commit=" +
                             std::to_string(view.commit()) + ", encoding=" + debug_form(view.encoding().name()) +
                             ")";
    return text_to_py(text).release();
  });
}

PyGetSetDef view_getset[] = {
    {"as_of", view_as_of, nullptr, "When the writer committed this view.", nullptr},
    {"commit", view_commit, nullptr, "The number of this commit.", nullptr},
    {"document_ids", view_document_ids, nullptr, "The IDs of every document present, sorted.", nullptr},
    {"store_id", view_store_id, nullptr, "The identifier the store was given when it was created.", nullptr},
    {"segments", view_segments, nullptr,
     "The segments of this view in manifest order, as ``(segment_id,\n"
     "documents, tokens, fingerprint)``: ``documents`` counts every row, deleted\n"
     "ones included; ``fingerprint`` changes when the segment's files are\n"
     "replaced, so an index built from a segment can tell whether it is stale.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* view_stats_method(PyObject* self, PyObject*) { return view_stats(as_view(self)->view); }

PyObject* view_snapshot_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return view_snapshot(as_view(self)->view, args, kwargs);
}

PyMethodDef view_methods[] = {
    {"stats", view_stats_method, METH_NOARGS,
     "stats($self)\n--\n\n"
     "Counts and sizes of this commit, from what the view holds (no vector is\n"
     "read): a dict, see the type stubs."},
    {"snapshot", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(view_snapshot_method)),
     METH_VARARGS | METH_KEYWORDS,
     "snapshot($self, destination, *, link=True)\n--\n\n"
     "Writes a complete store holding exactly this commit at ``destination``\n"
     "(absent, or an empty directory), hard-linking the view's files where\n"
     "possible (``link=False``: copies only); atomic: a failure or a crash\n"
     "leaves nothing at ``destination``."},
    {"fetch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(view_fetch)), METH_VARARGS | METH_KEYWORDS,
     "fetch($self, document_ids, *, threads=None)\n--\n\n"
     "Packed float32 ``[tokens, dimension]`` vectors of ``document_ids``,\n"
     "which must be present, in order, plus their int64 lengths."},
    {"document_lengths", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(view_document_lengths)),
     METH_VARARGS | METH_KEYWORDS,
     "document_lengths($self, document_ids)\n--\n\nToken counts of the documents present among ``document_ids``."},
    {"pool", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(view_pool)), METH_VARARGS | METH_KEYWORDS,
     "pool($self, segment_id, *, threads=None)\n--\n\n"
     "The mean token vector of every row of segment ``segment_id`` (deleted\n"
     "and hidden rows included), as ``fetch`` returns the tokens, scaled to\n"
     "unit length: a new float32 ``[documents, dimension]`` array, the same\n"
     "for every ``threads``."},
    {"segment_document_ids", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(view_segment_document_ids)),
     METH_VARARGS | METH_KEYWORDS,
     "segment_document_ids($self, segment_id, rows=None)\n--\n\n"
     "The document IDs of rows ``rows`` of segment ``segment_id``, in order,\n"
     "or of all its rows when ``rows`` is None."},
    {"locations", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(view_locations)),
     METH_VARARGS | METH_KEYWORDS,
     "locations($self, document_ids)\n--\n\n"
     "Where each document is present: int64 arrays of segment IDs and rows,\n"
     "-1 in both for a document that is not."},
    {"present", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(view_present)),
     METH_VARARGS | METH_KEYWORDS,
     "present($self, segment_ids, rows)\n--\n\n"
     "Whether row ``rows[i]`` of segment ``segment_ids[i]`` is where its\n"
     "document is present in this view (not deleted, not replaced by a newer\n"
     "segment): a bool array; False for a segment not in this view."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot view_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_value_object<ViewObject, &ViewObject::view>)},
    {Py_tp_getset, view_getset},
    {Py_tp_methods, view_methods},
    {Py_tp_repr, reinterpret_cast<void*>(view_repr)},
    {Py_sq_contains, reinterpret_cast<void*>(view_contains)},
    {Py_tp_doc, const_cast<char*>(kViewDoc)},
    {0, nullptr},
};

// Instances come only from VectorStore.view().
PyType_Spec view_spec = {"quillmark._native.StoreView", sizeof(ViewObject), 0,
                         kTypeFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION, view_slots};

PyObject* make_view_type_object() { return PyType_FromSpec(&view_spec); }
Once view_type_once(make_view_type_object);

}  // namespace

PyObject* vector_store_type() { return store_type_once.get(); }
PyObject* store_view_type() { return view_type_once.get(); }

std::shared_ptr<const VectorStore> native_vector_store(PyObject* obj) {
  PyObject* type = vector_store_type();
  if (!type) {
    PyErr_Clear();
    return nullptr;
  }
  if (!PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type))) return nullptr;
  return as_store(obj)->store;
}

Ref store_view_to_py(std::shared_ptr<const StoreView> view) {
  PyObject* type = store_view_type();
  if (!type) return {};
  PyObject* self = reinterpret_cast<PyTypeObject*>(type)->tp_alloc(reinterpret_cast<PyTypeObject*>(type), 0);
  if (!self) return {};
  new (&as_view(self)->view) std::shared_ptr<const StoreView>(std::move(view));
  return Ref::steal(self);
}

PyObject* make_vector_store_type() { return Py_XNewRef(vector_store_type()); }
PyObject* make_store_view_type() { return Py_XNewRef(store_view_type()); }

}  // namespace quillmark::py

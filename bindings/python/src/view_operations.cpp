#include "view_operations.h"

#include <string>

#include "convert.h"
#include "errors.h"
#include "storage/io/file_system.h"
#include "storage/store_snapshot.h"
#include "storage/store_stats.h"

namespace quillmark::py {

namespace {

// Sets `dict[key] = value`, stealing `value`; false with an exception set.
bool put(PyObject* dict, const char* key, PyObject* value) {
  Ref owned = Ref::steal(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* count(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }

}  // namespace

PyObject* view_stats(std::shared_ptr<const StoreView> view) {
  return guarded([&]() -> PyObject* {
    // One ID lookup per row of an older segment: a large store's worth of
    // them runs without the interpreter lock.
    const StoreStats stats = detached([&] { return store_stats(*view); });
    Ref bytes = Ref::steal(PyDict_New());
    Ref files = Ref::steal(PyDict_New());
    if (!bytes || !files) return nullptr;
    for (const auto& [kind, usage] : stats.on_disk)
      if (!put(bytes.get(), kind.c_str(), count(usage.bytes)) || !put(files.get(), kind.c_str(), count(usage.files)))
        return nullptr;
    Ref out = Ref::steal(PyDict_New());
    if (!out) return nullptr;
    const std::string_view encoding = stats.encoding.name();
    if (!put(out.get(), "segments", count(stats.segments)) ||
        !put(out.get(), "documents", count(stats.live_documents)) ||
        !put(out.get(), "superseded_documents", count(stats.superseded_documents)) ||
        !put(out.get(), "tokens", count(stats.live_tokens)) ||
        !put(out.get(), "stored_tokens", count(stats.stored_tokens)) ||
        !put(out.get(), "encoding", PyUnicode_FromStringAndSize(encoding.data(), static_cast<Py_ssize_t>(encoding.size()))) ||
        !put(out.get(), "dimension", count(stats.dimension)) || !put(out.get(), "commit", count(stats.commit)) ||
        !put(out.get(), "committed_at", time_to_py(stats.committed_at).release()) ||
        !put(out.get(), "bytes", bytes.release()) || !put(out.get(), "files", files.release()) ||
        !put(out.get(), "compaction_removes", count(stats.compaction_removes)))
      return nullptr;
    return out.release();
  });
}

PyObject* view_snapshot(std::shared_ptr<const StoreView> view, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"destination", "link", nullptr};
    PyObject* destination_obj = nullptr;
    int link = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$p:snapshot", const_cast<char**>(keywords), &destination_obj,
                                     &link))
      return nullptr;
    const auto destination = path_argument(destination_obj);
    if (!destination) return nullptr;
    SnapshotOptions options;
    options.link = link != 0;
    auto done = detached([&] { return snapshot_view(os_file_system(), *view, *destination, options); });
    if (!done) return raise(done.error());
    Py_RETURN_NONE;
  });
}

}  // namespace quillmark::py

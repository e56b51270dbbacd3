// Writer operations on a file system that fails one chosen call, so that
// Python tests see the exceptions that real storage failures raise.

#include <string>

#include "convert.h"
#include "errors.h"
#include "py_ref.h"
#include "storage/file_system.h"
#include "storage/writer.h"

namespace quillmark::py {

namespace {

// Passes every call to the operating system's file system, except the first
// manifest rename ("manifest_rename") or the first flush of the store
// directory after it ("published_manifest_flush"), which fails with `code`.
class FailOnce final : public FileSystem {
 public:
  FailOnce(std::string call, int code) : call_(std::move(call)), code_(code) {}

  Result<FileDescriptor> create_exclusive(const std::filesystem::path& p) override {
    return os().create_exclusive(p);
  }
  Result<void> write(const FileDescriptor& f, std::span<const std::byte> b) override { return os().write(f, b); }
  Result<void> sync(const FileDescriptor& f, FlushSite site) override { return os().sync(f, site); }
  Result<void> close(FileDescriptor& f) override { return os().close(f); }
  Result<void> link(const std::filesystem::path& from, const std::filesystem::path& to) override {
    return os().link(from, to);
  }
  Result<void> rename(const std::filesystem::path& from, const std::filesystem::path& to) override {
    if (fails("manifest_rename")) return std::unexpected(IoError::from_errno(code_));
    return os().rename(from, to);
  }
  Result<void> remove_file(const std::filesystem::path& p) override { return os().remove_file(p); }
  Result<void> create_directory(const std::filesystem::path& p) override { return os().create_directory(p); }
  Result<void> create_directories(const std::filesystem::path& p) override { return os().create_directories(p); }
  Result<void> remove_all(const std::filesystem::path& p) override { return os().remove_all(p); }
  Result<bool> exists(const std::filesystem::path& p) override { return os().exists(p); }
  Result<std::vector<DirectoryEntry>> list(const std::filesystem::path& p) override { return os().list(p); }
  Result<void> sync_directory(const std::filesystem::path& p, FlushSite site) override {
    if (site == FlushSite::PublishedManifest && fails("published_manifest_flush"))
      return std::unexpected(IoError::from_errno(code_));
    return os().sync_directory(p, site);
  }
  Result<DirectoryLock> lock_directory(const std::filesystem::path& p) override { return os().lock_directory(p); }

 private:
  static FileSystem& os() { return os_file_system(); }
  bool fails(const char* call) {
    if (done_ || call_ != call) return false;
    done_ = true;
    return true;
  }

  const std::string call_;
  const int code_;
  bool done_ = false;
};

}  // namespace

// commit_failing(path, call, code) -> datetime: opens a writer on the store
// at `path` whose file system fails `call` (see FailOnce) with errno `code`,
// commits, and returns the commit time or raises the commit's error.
PyObject* t_commit_failing(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* path_bytes = nullptr;
    const char* call = nullptr;
    int code = 0;
    if (!PyArg_ParseTuple(args, "O&si", PyUnicode_FSConverter, &path_bytes, &call, &code)) return nullptr;
    Ref owned = Ref::steal(path_bytes);
    const std::filesystem::path path(PyBytes_AS_STRING(path_bytes));
    FailOnce file_system(call, code);  // outlives the writer, which refers to it
    auto committed = detached([&]() -> Result<TimeValue> {
      VectorStoreWriter writer = QM_TRY(VectorStoreWriter::open(path, file_system));
      return writer.commit();
    });
    if (!committed) return raise(committed.error());
    return time_to_py(*committed).release();
  });
}

}  // namespace quillmark::py

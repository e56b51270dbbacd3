// Writer operations on a file system that fails one chosen call, so that
// Python tests see the exceptions that real storage failures raise.

#include <string>

#include "convert.h"
#include "errors.h"
#include "py_ref.h"
#include "storage/io/file_system.h"
#include "storage/writer.h"

namespace quillmark::py {

namespace {

// Passes every call to the operating system's file system, except the first
// manifest rename ("manifest_rename") or the first flush of the store
// directory after it ("published_manifest_flush"), which fails with `code`.
class FailOnce final : public FileSystem {
 public:
  FailOnce(std::string call, int code) : call_(std::move(call)), code_(code) {}

  using D = const Directory&;
  using N = const std::string&;
  Result<Directory> open_directory(const std::filesystem::path& p) override { return os().open_directory(p); }
  Result<Directory> open_directory(D d, N n) override { return os().open_directory(d, n); }
  Result<FileDescriptor> create_exclusive(D d, N n) override { return os().create_exclusive(d, n); }
  Result<void> write(const FileDescriptor& f, std::span<const std::byte> b) override { return os().write(f, b); }
  Result<void> sync(const FileDescriptor& f, FlushSite site) override { return os().sync(f, site); }
  Result<void> close(FileDescriptor& f) override { return os().close(f); }
  Result<void> link(D d, N from, D e, N to) override { return os().link(d, from, e, to); }
  Result<void> rename(D d, N from, N to) override {
    if (fails("manifest_rename")) return std::unexpected(IoError::from_errno(code_));
    return os().rename(d, from, to);
  }
  Result<void> remove_file(D d, N n) override { return os().remove_file(d, n); }
  Result<void> create_directory(D d, N n) override { return os().create_directory(d, n); }
  Result<void> remove_directory(D d, N n) override { return os().remove_directory(d, n); }
  Result<void> create_directories(const std::filesystem::path& p) override { return os().create_directories(p); }
  Result<void> remove_all(D d, N n) override { return os().remove_all(d, n); }
  Result<std::vector<DirectoryEntry>> list(D d) override { return os().list(d); }
  Result<void> sync_directory(D d, FlushSite site) override {
    if (site == FlushSite::PublishedManifest && fails("published_manifest_flush"))
      return std::unexpected(IoError::from_errno(code_));
    return os().sync_directory(d, site);
  }
  Result<FileIdentity> identity(D d, N n) override { return os().identity(d, n); }
  Result<OpenedFile> open_read(D d, N n) override { return os().open_read(d, n); }
  Result<void> copy(const FileDescriptor& f, const FileDescriptor& t, std::uint64_t n) override {
    return os().copy(f, t, n);
  }
  Result<void> lock_directory(D d) override { return os().lock_directory(d); }

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

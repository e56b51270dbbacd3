#include "storage/publication.h"

#include <gtest/gtest.h>

#include "failing_file_system.h"
#include "temp_dir.h"
#include "writer_test_support.h"

namespace quillmark {
namespace {

using testing::FailingFileSystem;
using testing::read_bytes;
using testing::TempDir;
using testing::write_bytes;
namespace fs = std::filesystem;

std::vector<std::string> names(const fs::path& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

TEST(ImmutableFiles, InstallRetainOrRollBack) {
  TempDir dir;
  FileSystem& os = os_file_system();
  const Directory store = Directory::open(dir.path()).value();
  for (bool keep : {false, true}) {
    fs::path staging;
    {
      auto files = ImmutableFiles::create(os, store).value();
      staging = files.staging_directory().path();
      EXPECT_EQ(staging.parent_path(), dir.path());
      EXPECT_TRUE(staging.filename().string().starts_with(".staging-"));
      EXPECT_EQ(staging.filename().string().size(), 15u);
      write_bytes(staging / "x.bin", "x");
      write_bytes(staging / "y.bin", "y");
      ASSERT_TRUE(files.install().has_value());
      EXPECT_EQ(read_bytes(dir / "y.bin"), "y");
      if (keep) files.retain();
    }
    EXPECT_FALSE(fs::exists(staging));
    EXPECT_EQ(fs::exists(dir / "x.bin"), keep);
    EXPECT_EQ(fs::exists(dir / "y.bin"), keep);
  }
  // A staged name that exists already: refused, the existing file untouched,
  // the other links removed on discard.
  write_bytes(dir / "x.bin", "old");
  fs::remove(dir / "y.bin");
  {
    auto files = ImmutableFiles::create(os, store).value();
    write_bytes(files.staging_directory().file("x.bin"), "new");
    write_bytes(files.staging_directory().file("y.bin"), "new");
    auto installed = files.install();
    ASSERT_FALSE(installed.has_value());
    EXPECT_EQ(installed.error().io()->kind(), IoErrorKind::AlreadyExists);
  }
  EXPECT_EQ(names(dir.path()), std::vector<std::string>{"x.bin"});
  EXPECT_EQ(read_bytes(dir / "x.bin"), "old");

  // An empty staging directory links nothing and still flushes the
  // destination.
  FailingFileSystem counting;
  {
    auto files = ImmutableFiles::create(counting, store).value();
    ASSERT_TRUE(files.install().has_value());
  }
  EXPECT_EQ(counting.calls(), (std::vector<std::string>{"create_directory", "open_directory", "list",
                                                        "sync_directory", "remove_all"}));
}

Manifest manifest_with_commit(std::uint64_t commit) {
  return Manifest{"quillmark-vectors-2", "0123456789abcdef0123456789abcdef", "float32", "docs",
                  testing::test_representation(), commit, 0, 12.5, {}};
}

// Fails each call of write_manifest in turn: before the rename the old
// manifest stays byte for byte and the flag false; the failed directory
// flush after it is the published Storage error.
TEST(WriteManifest, EveryFailurePointLeavesOldOrNewManifest) {
  TempDir dir;
  const Directory store = Directory::open(dir.path()).value();
  ASSERT_TRUE([&] {
    bool published = false;
    return write_manifest(os_file_system(), store, manifest_with_commit(1), published).has_value();
  }());
  const std::string old_text = read_bytes(dir / "manifest.json");
  EXPECT_EQ(old_text, manifest_with_commit(1).to_json());
  EXPECT_EQ(old_text.back(), '\n');
  const std::vector<std::string> expected_calls{"create_exclusive", "write", "sync", "close", "rename",
                                                "sync_directory"};
  for (std::size_t n = 1; n <= expected_calls.size(); ++n) {
    SCOPED_TRACE(expected_calls[n - 1]);
    FailingFileSystem failing;
    failing.fail_call(n, n % 2 ? EIO : ENOSPC);
    bool published = false;
    const Manifest next = manifest_with_commit(n + 1);
    auto written = write_manifest(failing, store, next, published);
    // The temporary file is removed when it was created and not renamed.
    std::vector<std::string> calls(expected_calls.begin(), expected_calls.begin() + n);
    if (n >= 2 && n <= 5) calls.push_back("remove_file");
    EXPECT_EQ(failing.calls(), calls);
    ASSERT_FALSE(written.has_value());
    if (expected_calls[n - 1] == "sync_directory") {
      EXPECT_TRUE(published);
      EXPECT_EQ(written.error().kind(), Error::Kind::Storage);
      EXPECT_TRUE(written.error().text().starts_with(
          "manifest published but directory synchronization failed; retry commit or reopen the writer: "));
      EXPECT_EQ(read_bytes(dir / "manifest.json"), next.to_json());
    } else {
      EXPECT_FALSE(published);
      EXPECT_EQ(written.error().kind(), Error::Kind::Io);
      EXPECT_EQ(read_bytes(dir / "manifest.json"), old_text);
    }
    EXPECT_EQ(names(dir.path()), std::vector<std::string>{"manifest.json"});
    write_bytes(dir / "manifest.json", old_text);
  }
}

}  // namespace
}  // namespace quillmark

#include "storage/publication.h"

#include <new>
#include <random>

namespace quillmark {

namespace {

// Random names collide only when one exists already; a few hundred draws of
// 62^6 names cannot all be taken in practice.
constexpr int kMaxNameAttempts = 256;

bool already_exists(const Error& error) {
  return error.io() != nullptr && error.io()->kind() == IoErrorKind::AlreadyExists;
}

}  // namespace

std::string random_name(std::string_view prefix) {
  static constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937_64 generator{std::random_device{}()};
  std::uniform_int_distribution<std::size_t> pick(0, kAlphabet.size() - 1);
  std::string name(prefix);
  for (int i = 0; i < 6; ++i) name += kAlphabet[pick(generator)];
  return name;
}

Result<ImmutableFiles> ImmutableFiles::create(FileSystem& file_system, const Directory& store) {
  for (int attempt = 1;; ++attempt) {
    std::string name = random_name(kStagingPrefix);
    auto made = file_system.create_directory(store, name);
    if (made) {
      auto staging = file_system.open_directory(store, name);
      if (!staging) {
        (void)file_system.remove_all(store, name);
        return std::unexpected(staging.error());
      }
      return ImmutableFiles(file_system, store, std::move(name), std::move(*staging));
    }
    if (!already_exists(made.error()) || attempt == kMaxNameAttempts) return std::unexpected(made.error());
  }
}

ImmutableFiles::ImmutableFiles(ImmutableFiles&& other) noexcept
    : file_system_(std::exchange(other.file_system_, nullptr)),
      store_(other.store_),
      staging_name_(std::move(other.staging_name_)),
      staging_(std::move(other.staging_)),
      installed_(std::move(other.installed_)) {}

ImmutableFiles::~ImmutableFiles() {
  if (file_system_ == nullptr) return;
  // Running out of memory here (a recursive removal allocates) is one more
  // removal failure, not a reason to end the process: the next clean-up
  // removes what stays.
  try {
    for (const auto& name : installed_) (void)file_system_->remove_file(*store_, name);
    staging_.close();
    (void)file_system_->remove_all(*store_, staging_name_);
  } catch (const std::bad_alloc&) {
  }
}

Result<void> ImmutableFiles::install() {
  std::vector<DirectoryEntry> entries = QM_TRY(file_system_->list(staging_));
  // Room for every name first: recording a link just made must not fail,
  // or the name would stay in the store unrecorded and block a retry.
  installed_.reserve(installed_.size() + entries.size());
  for (DirectoryEntry& entry : entries) {
    QM_TRY(file_system_->link(staging_, entry.name, *store_, entry.name));
    installed_.push_back(std::move(entry.name));  // moved: allocates nothing
  }
  return file_system_->sync_directory(*store_, FlushSite::InstalledNames);
}

Result<void> write_manifest(FileSystem& file_system, const Directory& store, const Manifest& manifest,
                            bool& published) {
  const std::string text = manifest.to_json();
  std::string temporary;
  FileDescriptor file;
  for (int attempt = 1;; ++attempt) {
    temporary = random_name(kTemporaryManifestPrefix);
    auto created = file_system.create_exclusive(store, temporary);
    if (created) {
      file = std::move(*created);
      break;
    }
    if (!already_exists(created.error()) || attempt == kMaxNameAttempts) return std::unexpected(created.error());
  }
  auto written = [&]() -> Result<void> {
    QM_TRY(file_system.write(file, std::as_bytes(std::span(text.data(), text.size()))));
    QM_TRY(file_system.sync(file, FlushSite::ManifestFile));
    QM_TRY(file_system.close(file));
    return file_system.rename(store, temporary, std::string(kManifestFileName));
  }();
  if (!written) {
    file = FileDescriptor();  // closed before the name goes, whatever the step
    (void)file_system.remove_file(store, temporary);
    return std::unexpected(written.error());
  }
  published = true;
  if (auto synced = file_system.sync_directory(store, FlushSite::PublishedManifest); !synced)
    return std::unexpected(Error::unsynced_publication(
        "manifest published but directory synchronization failed; retry commit or reopen the writer: " +
        synced.error().text()));
  return {};
}

}  // namespace quillmark

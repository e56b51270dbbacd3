#include "publication.h"

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

Result<ImmutableFiles> ImmutableFiles::create(FileSystem& file_system, const std::filesystem::path& store) {
  std::error_code ec;
  const std::filesystem::path directory = std::filesystem::absolute(store, ec);
  if (ec) return std::unexpected(IoError::from_errno(ec.value()));
  for (int attempt = 1;; ++attempt) {
    std::filesystem::path staging = directory / random_name(kStagingPrefix);
    auto made = file_system.create_directory(staging);
    if (made) return ImmutableFiles(file_system, std::move(staging));
    if (!already_exists(made.error()) || attempt == kMaxNameAttempts) return std::unexpected(made.error());
  }
}

ImmutableFiles::ImmutableFiles(ImmutableFiles&& other) noexcept
    : file_system_(std::exchange(other.file_system_, nullptr)),
      staging_(std::move(other.staging_)),
      installed_(std::move(other.installed_)) {}

ImmutableFiles::~ImmutableFiles() {
  if (file_system_ == nullptr) return;
  // Running out of memory here (a recursive removal allocates) is one more
  // removal failure, not a reason to end the process: the next clean-up
  // removes what stays.
  try {
    for (const auto& path : installed_) (void)file_system_->remove_file(path);
    (void)file_system_->remove_all(staging_);
  } catch (const std::bad_alloc&) {
  }
}

Result<void> ImmutableFiles::install(const std::filesystem::path& destination) {
  const std::vector<DirectoryEntry> entries = QM_TRY(file_system_->list(staging_));
  // Room for every name first: recording a link just made must not fail,
  // or the name would stay in the store unrecorded and block a retry.
  installed_.reserve(installed_.size() + entries.size());
  for (const DirectoryEntry& entry : entries) {
    std::filesystem::path target = destination / entry.name;
    QM_TRY(file_system_->link(staging_ / entry.name, target));
    installed_.push_back(std::move(target));
  }
  return sync_directory(*file_system_, destination, FlushSite::InstalledNames);
}

Result<void> sync_directory(FileSystem& file_system, const std::filesystem::path& directory, FlushSite site) {
  return file_system.sync_directory(directory, site);
}

Result<void> write_manifest(FileSystem& file_system, const std::filesystem::path& store, const Manifest& manifest,
                            bool& published) {
  const std::string text = manifest.to_json();
  std::error_code ec;
  const std::filesystem::path directory = std::filesystem::absolute(store, ec);
  if (ec) return std::unexpected(IoError::from_errno(ec.value()));
  std::filesystem::path temporary;
  FileDescriptor file;
  for (int attempt = 1;; ++attempt) {
    temporary = directory / random_name(kTemporaryManifestPrefix);
    auto created = file_system.create_exclusive(temporary);
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
    return file_system.rename(temporary, directory / kManifestFileName);
  }();
  if (!written) {
    file = FileDescriptor();  // closed before the name goes, whatever the step
    (void)file_system.remove_file(temporary);
    return std::unexpected(written.error());
  }
  published = true;
  if (auto synced = sync_directory(file_system, directory, FlushSite::PublishedManifest); !synced)
    return std::unexpected(Error::unsynced_publication(
        "manifest published but directory synchronization failed; retry commit or reopen the writer: " +
        synced.error().text()));
  return {};
}

}  // namespace quillmark

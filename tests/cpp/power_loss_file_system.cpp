#include "power_loss_file_system.h"

#include <cerrno>
#include <algorithm>
#include <fstream>
#include <iterator>
#include <numeric>
#include <set>
#include <stdexcept>

#include <unistd.h>

namespace quillmark::testing {

namespace fs = std::filesystem;

namespace {

FileSystem& os() { return os_file_system(); }

fs::path normal(const fs::path& path) {
  fs::path p = fs::absolute(path).lexically_normal();
  if (p.filename().empty()) p = p.parent_path();
  return p;
}

std::optional<std::size_t> entry(const std::map<std::string, std::size_t>& entries, const std::string& name) {
  auto it = entries.find(name);
  if (it == entries.end()) return std::nullopt;
  return it->second;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

const char* flush_site_name(FlushSite site) {
  switch (site) {
    case FlushSite::NpyFile: return "NpyFile";
    case FlushSite::IdsFile: return "IdsFile";
    case FlushSite::ManifestFile: return "ManifestFile";
    case FlushSite::InstalledNames: return "InstalledNames";
    case FlushSite::PublishedManifest: return "PublishedManifest";
    case FlushSite::NewStoreParent: return "NewStoreParent";
    case FlushSite::OpenedStore: return "OpenedStore";
    case FlushSite::SnapshotFile: return "SnapshotFile";
    case FlushSite::SnapshotParent: return "SnapshotParent";
  }
  return "?";
}

PowerLossFileSystem::PowerLossFileSystem(fs::path root) : root_(normal(root)) {
  add_node(true, ".");
  adopt(0, root_);
}

PowerLossFileSystem::NodeId PowerLossFileSystem::add_node(bool directory, std::string label) {
  nodes_.push_back(Node{directory, std::move(label), {}, {}, {}, {}});
  return nodes_.size() - 1;
}

void PowerLossFileSystem::adopt(NodeId directory, const fs::path& real) {
  for (const auto& item : fs::directory_iterator(real)) {
    const std::string name = item.path().filename().string();
    const std::string label = (fs::path(nodes_[directory].label) / name).lexically_normal().string();
    NodeId id;
    if (item.is_directory()) {
      id = add_node(true, label);
      adopt(id, item.path());
    } else {
      id = add_node(false, label);
      nodes_[id].live = nodes_[id].durable = read_file(item.path());
    }
    nodes_[directory].live_entries[name] = id;
    nodes_[directory].durable_entries[name] = id;
  }
}

void PowerLossFileSystem::crash_at(std::size_t n) { crash_at_ = n == 0 ? 0 : calls_ + n; }
bool PowerLossFileSystem::crashed() const { return crashed_; }
void PowerLossFileSystem::revive() {
  crashed_ = false;
  crash_at_ = 0;
}
std::size_t PowerLossFileSystem::call_count() const { return calls_; }

void PowerLossFileSystem::skip_flushes(FlushSite site, std::string file_part) {
  skip_.emplace(site, std::move(file_part));
}

bool PowerLossFileSystem::skipped(FlushSite site, const std::string& name) const {
  return skip_ && skip_->first == site && name.find(skip_->second) != std::string::npos;
}

Result<void> PowerLossFileSystem::enter() {
  ++calls_;
  if (crash_at_ != 0 && calls_ >= crash_at_) crashed_ = true;
  if (crashed_) return std::unexpected(IoError::from_errno(EIO));
  return {};
}

std::optional<PowerLossFileSystem::Key> PowerLossFileSystem::locate_parent(const fs::path& path) const {
  const fs::path relative = normal(path).lexically_relative(root_);
  if (relative.empty() || relative == "." || *relative.begin() == "..") return std::nullopt;
  NodeId at = 0;
  for (auto it = relative.begin(); it != relative.end(); ++it) {
    if (std::next(it) == relative.end()) return Key{at, it->string()};
    auto next = entry(nodes_[at].live_entries, it->string());
    if (!next || !nodes_[*next].directory) return std::nullopt;
    at = *next;
  }
  return std::nullopt;
}

std::optional<PowerLossFileSystem::NodeId> PowerLossFileSystem::locate(const fs::path& path) const {
  if (normal(path) == root_) return 0;
  auto parent = locate_parent(path);
  if (!parent) return std::nullopt;
  return entry(nodes_[parent->first].live_entries, parent->second);
}

Result<Directory> PowerLossFileSystem::open_directory(const fs::path& path) {
  QM_TRY(enter());
  return os().open_directory(path);
}

Result<Directory> PowerLossFileSystem::open_directory(const Directory& parent, const std::string& name) {
  QM_TRY(enter());
  return os().open_directory(parent, name);
}

// The model follows paths: a Directory's path is where the tree under the
// root had it when it was opened (tests never move directories under the
// writer of a power-loss case).
Result<FileDescriptor> PowerLossFileSystem::create_exclusive(const Directory& directory, const std::string& name) {
  QM_TRY(enter());
  FileDescriptor fd = QM_TRY(os().create_exclusive(directory, name));
  const fs::path path = directory.file(name);
  if (auto parent = locate_parent(path)) {
    const NodeId id = add_node(false, normal(path).lexically_relative(root_).string());
    nodes_[parent->first].live_entries[parent->second] = id;
    open_files_[fd.get()] = {id, parent->second};
  }
  return fd;
}

Result<void> PowerLossFileSystem::write(const FileDescriptor& file, std::span<const std::byte> bytes) {
  QM_TRY(enter());
  QM_TRY(os().write(file, bytes));
  if (auto it = open_files_.find(file.get()); it != open_files_.end())
    nodes_[it->second.first].live.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return {};
}

Result<void> PowerLossFileSystem::sync(const FileDescriptor& file, FlushSite site) {
  QM_TRY(enter());
  auto it = open_files_.find(file.get());
  // The model, not the disk, decides what survives: no real flush.
  if (it != open_files_.end() && skipped(site, it->second.second)) return {};
  if (it != open_files_.end()) nodes_[it->second.first].durable = nodes_[it->second.first].live;
  return {};
}

Result<void> PowerLossFileSystem::close(FileDescriptor& file) {
  QM_TRY(enter());
  open_files_.erase(file.get());
  return os().close(file);
}

Result<void> PowerLossFileSystem::link(const Directory& from_dir, const std::string& from, const Directory& to_dir,
                                       const std::string& to) {
  QM_TRY(enter());
  QM_TRY(os().link(from_dir, from, to_dir, to));
  auto node = locate(from_dir.file(from));
  auto parent = locate_parent(to_dir.file(to));
  if (node && parent) nodes_[parent->first].live_entries[parent->second] = *node;
  return {};
}

Result<void> PowerLossFileSystem::rename(const Directory& directory, const std::string& from, const std::string& to) {
  QM_TRY(enter());
  QM_TRY(os().rename(directory, from, to));
  auto source = locate_parent(directory.file(from));
  auto destination = locate_parent(directory.file(to));
  if (source && destination) {
    auto node = entry(nodes_[source->first].live_entries, source->second);
    nodes_[source->first].live_entries.erase(source->second);
    if (node) nodes_[destination->first].live_entries[destination->second] = *node;
    renames_.emplace_back(*source, *destination);
  }
  return {};
}

Result<void> PowerLossFileSystem::remove_file(const Directory& directory, const std::string& name) {
  QM_TRY(enter());
  QM_TRY(os().remove_file(directory, name));
  if (auto parent = locate_parent(directory.file(name))) nodes_[parent->first].live_entries.erase(parent->second);
  return {};
}

Result<void> PowerLossFileSystem::create_directory(const Directory& directory, const std::string& name) {
  QM_TRY(enter());
  QM_TRY(os().create_directory(directory, name));
  const fs::path path = directory.file(name);
  if (auto parent = locate_parent(path)) {
    const NodeId id = add_node(true, normal(path).lexically_relative(root_).string());
    nodes_[parent->first].live_entries[parent->second] = id;
  }
  return {};
}

Result<void> PowerLossFileSystem::remove_directory(const Directory& directory, const std::string& name) {
  QM_TRY(enter());
  QM_TRY(os().remove_directory(directory, name));
  if (auto parent = locate_parent(directory.file(name))) nodes_[parent->first].live_entries.erase(parent->second);
  return {};
}

Result<void> PowerLossFileSystem::create_directories(const fs::path& path) {
  QM_TRY(enter());
  QM_TRY(os().create_directories(path));
  const fs::path relative = normal(path).lexically_relative(root_);
  if (relative.empty() || relative == "." || *relative.begin() == "..") return {};
  NodeId at = 0;
  fs::path label;
  for (const fs::path& part : relative) {
    label /= part;
    auto next = entry(nodes_[at].live_entries, part.string());
    if (!next) {
      next = add_node(true, label.string());
      nodes_[at].live_entries[part.string()] = *next;
    }
    at = *next;
  }
  return {};
}

void PowerLossFileSystem::forget_live(NodeId directory) {
  Entries entries = std::move(nodes_[directory].live_entries);
  nodes_[directory].live_entries.clear();
  for (const auto& [name, id] : entries)
    if (nodes_[id].directory) forget_live(id);
}

Result<void> PowerLossFileSystem::remove_all(const Directory& directory, const std::string& name) {
  QM_TRY(enter());
  QM_TRY(os().remove_all(directory, name));
  if (auto parent = locate_parent(directory.file(name))) {
    if (auto id = entry(nodes_[parent->first].live_entries, parent->second)) {
      nodes_[parent->first].live_entries.erase(parent->second);
      if (nodes_[*id].directory) forget_live(*id);
    }
  }
  return {};
}

Result<std::vector<DirectoryEntry>> PowerLossFileSystem::list(const Directory& directory) {
  QM_TRY(enter());
  return os().list(directory);
}

Result<void> PowerLossFileSystem::sync_directory(const Directory& directory, FlushSite site) {
  QM_TRY(enter());
  if (skipped(site, {})) return {};
  if (auto id = locate(directory.path())) nodes_[*id].durable_entries = nodes_[*id].live_entries;
  return {};
}

Result<FileIdentity> PowerLossFileSystem::identity(const Directory& directory, const std::string& name) {
  QM_TRY(enter());
  return os().identity(directory, name);
}

Result<OpenedFile> PowerLossFileSystem::open_read(const Directory& directory, const std::string& name) {
  QM_TRY(enter());
  return os().open_read(directory, name);
}

// The copied bytes are read back from the source, so the model's data is
// what the copy wrote whatever way the kernel took.
Result<void> PowerLossFileSystem::copy(const FileDescriptor& from, const FileDescriptor& to, std::uint64_t length) {
  QM_TRY(enter());
  QM_TRY(os().copy(from, to, length));
  if (auto it = open_files_.find(to.get()); it != open_files_.end()) {
    std::string bytes(static_cast<std::size_t>(length), '\0');
    if (::pread(from.get(), bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
      throw std::runtime_error("cannot read back a copied file");
    nodes_[it->second.first].live += bytes;
  }
  return {};
}

Result<void> PowerLossFileSystem::lock_directory(const Directory& directory) {
  QM_TRY(enter());
  return os().lock_directory(directory);
}

std::vector<PowerLossFileSystem::Change> PowerLossFileSystem::changes() const {
  // Every node reachable from the root through live or durable entries.
  std::vector<NodeId> reachable{0};
  std::set<NodeId> seen{0};
  for (std::size_t i = 0; i < reachable.size(); ++i) {
    const Node& node = nodes_[reachable[i]];
    if (!node.directory) continue;
    for (const Entries* entries : {&node.live_entries, &node.durable_entries})
      for (const auto& [name, id] : *entries)
        if (seen.insert(id).second) reachable.push_back(id);
  }
  std::sort(reachable.begin(), reachable.end());
  // Directory entries whose live and durable values differ; the two names
  // of a rename form one change.
  std::vector<Key> keys;
  for (NodeId id : reachable) {
    const Node& node = nodes_[id];
    if (!node.directory) continue;
    std::set<std::string> names;
    for (const auto& [name, child] : node.live_entries) names.insert(name);
    for (const auto& [name, child] : node.durable_entries) names.insert(name);
    for (const std::string& name : names)
      if (entry(node.live_entries, name) != entry(node.durable_entries, name)) keys.emplace_back(id, name);
  }
  std::vector<std::size_t> group(keys.size());
  std::iota(group.begin(), group.end(), 0);
  auto find = [&](std::size_t k) {
    while (group[k] != k) k = group[k] = group[group[k]];
    return k;
  };
  auto index = [&](const Key& key) -> std::optional<std::size_t> {
    auto it = std::find(keys.begin(), keys.end(), key);
    if (it == keys.end()) return std::nullopt;
    return static_cast<std::size_t>(it - keys.begin());
  };
  for (const auto& [from, to] : renames_) {
    auto a = index(from), b = index(to);
    if (a && b) group[find(*a)] = find(*b);
  }
  std::vector<Change> out;
  std::map<std::size_t, std::size_t> change_of_group;
  for (std::size_t k = 0; k < keys.size(); ++k) {
    auto [it, fresh] = change_of_group.emplace(find(k), out.size());
    if (fresh) out.emplace_back();
    out[it->second].entries.push_back(keys[k]);
  }
  for (NodeId id : reachable)
    if (!nodes_[id].directory && nodes_[id].live != nodes_[id].durable) out.push_back(Change{id, {}});
  return out;
}

std::vector<std::string> PowerLossFileSystem::pending_changes() const {
  std::vector<std::string> out;
  for (const Change& change : changes()) {
    if (change.data) {
      const Node& node = nodes_[*change.data];
      out.push_back("data of " + node.label + " (" + std::to_string(node.durable.size()) + " of " +
                    std::to_string(node.live.size()) + " bytes flushed)");
      continue;
    }
    std::string text;
    for (const auto& [directory, name] : change.entries) {
      const Node& node = nodes_[directory];
      const bool live = node.live_entries.contains(name), durable = node.durable_entries.contains(name);
      if (!text.empty()) text += " with ";
      text += (fs::path(node.label) / name).lexically_normal().string();
      text += live && durable ? " replaced" : live ? " added" : " removed";
    }
    out.push_back(text);
  }
  return out;
}

void PowerLossFileSystem::power_loss(const std::vector<bool>& keep) const {
  const std::vector<Change> pending = changes();
  if (keep.size() != pending.size()) throw std::logic_error("one choice per pending change");
  std::map<Key, bool> entry_kept;
  std::map<NodeId, bool> data_kept;
  for (std::size_t i = 0; i < pending.size(); ++i) {
    if (pending[i].data) data_kept[*pending[i].data] = keep[i];
    for (const Key& key : pending[i].entries) entry_kept[key] = keep[i];
  }
  for (const auto& item : fs::directory_iterator(root_)) fs::remove_all(item.path());
  rebuild(0, root_, entry_kept, data_kept);
}

void PowerLossFileSystem::rebuild(NodeId directory, const fs::path& real, const std::map<Key, bool>& entry_kept,
                                  const std::map<NodeId, bool>& data_kept) const {
  const Node& node = nodes_[directory];
  std::set<std::string> names;
  for (const auto& [name, child] : node.live_entries) names.insert(name);
  for (const auto& [name, child] : node.durable_entries) names.insert(name);
  for (const std::string& name : names) {
    auto kept = entry_kept.find(Key{directory, name});
    const bool live = kept == entry_kept.end() || kept->second;
    auto chosen = entry(live ? node.live_entries : node.durable_entries, name);
    if (!chosen) continue;
    const Node& child = nodes_[*chosen];
    if (child.directory) {
      fs::create_directory(real / name);
      rebuild(*chosen, real / name, entry_kept, data_kept);
      continue;
    }
    auto data = data_kept.find(*chosen);
    const std::string& bytes = data == data_kept.end() || data->second ? child.live : child.durable;
    std::ofstream out(real / name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + (real / name).string());
  }
}

}  // namespace quillmark::testing

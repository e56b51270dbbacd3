#include "snapshot_cases.h"

#include <algorithm>
#include <random>
#include <unistd.h>

#include "no_flush_file_system.h"
#include "power_loss_file_system.h"
#include "storage/format/npy.h"
#include "storage/store_snapshot.h"
#include "storage/writer.h"
#include "temp_dir.h"
#include "writer_test_support.h"

namespace quillmark::testing {

namespace fs = std::filesystem;

namespace {

#define SNAPSHOT_OK(expression)                                                                   \
  do {                                                                                            \
    if (auto ok_ = (expression); !ok_) throw std::runtime_error(#expression ": " + ok_.error().text()); \
  } while (0)

Representation representation() { return test_representation(4, false); }

std::string as_string(std::span<const std::byte> bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::string npy_text(std::span<const std::uint64_t> values) {
  const std::uint64_t shape[] = {values.size()};
  return npy_file_prefix(Dtype::Uint64, shape).value() + as_string(std::as_bytes(values));
}

// The bytes the view holds for every file of its commit, by name; the
// sources files, which the view does not read, are left out.
std::map<std::string, std::string> view_files(const StoreView& view) {
  std::map<std::string, std::string> out;
  out[std::string(kManifestFileName)] = view.manifest().to_json();
  for (const LiveSegment& segment : view.segments()) {
    const SegmentData& data = *segment.data;
    const auto& files = data.files();
    out[files[0].first] = ids_file_text(data.ids());
    out[files[1].first] = npy_text(data.offsets());
    for (std::size_t a = 0; a < data.arrays().size(); ++a)
      out[files[2 + a].first] = as_string(data.arrays()[a].file_bytes());
    if (segment.entry.tombstones)
      out[tombstones_file_name(segment.entry.id, *segment.entry.tombstones)] = npy_text(*segment.tombstones);
  }
  return out;
}

// Every combination of `count` choices, or all kept, none kept and
// `samples` seeded random ones.
std::vector<std::vector<bool>> choices(std::size_t count, const PowerLossOptions& options, std::uint64_t seed) {
  std::vector<std::vector<bool>> out;
  if (count <= options.exhaustive_changes) {
    for (std::uint64_t bits = 0; bits < (std::uint64_t{1} << count); ++bits) {
      std::vector<bool> keep(count);
      for (std::size_t i = 0; i < count; ++i) keep[i] = (bits >> i) & 1;
      out.push_back(std::move(keep));
    }
    return out;
  }
  out.emplace_back(count, true);
  out.emplace_back(count, false);
  std::mt19937_64 random(seed);
  for (std::size_t s = 0; s < options.samples; ++s) {
    std::vector<bool> keep(count);
    for (std::size_t i = 0; i < count; ++i) keep[i] = random() & 1;
    out.push_back(std::move(keep));
  }
  return out;
}

// A fresh directory in memory when the system has one: the cases rebuild
// whole trees thousands of times.
fs::path scratch_directory() {
  fs::path base = "/dev/shm";
  std::error_code ec;
  if (!fs::is_directory(base, ec) || ::access(base.c_str(), W_OK) != 0) base = fs::temp_directory_path();
  std::string pattern = (base / "quillmark-snapshot-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

struct RemovedOnExit {
  fs::path path;
  ~RemovedOnExit() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

}  // namespace

std::vector<SnapshotCase> snapshot_cases() {
  return {
      {"float32_links", Encoding::Float32, true, SnapshotCase::Kept},
      {"int8_links", Encoding::Int8, true, SnapshotCase::Kept},
      {"float32_copies", Encoding::Float32, false, SnapshotCase::Kept},
      {"int8_links_after_compaction", Encoding::Int8, true, SnapshotCase::Compacted},
      {"float32_links_store_removed", Encoding::Float32, true, SnapshotCase::StoreRemoved},
  };
}

std::shared_ptr<const StoreView> prepare_snapshot_source(const fs::path& store, Encoding encoding,
                                                         SnapshotCase::Names names) {
  static NoFlushFileSystem no_flush;
  VectorStoreWriter w = VectorStoreWriter::create(store, "docs", representation(), encoding, no_flush).value();
  SNAPSHOT_OK(append(w, make_batch("a", 6, 4, 1)));
  SNAPSHOT_OK(w.commit());
  SNAPSHOT_OK(append(w, make_batch("b", 3, 4, 2)));
  SNAPSHOT_OK(w.commit());
  SNAPSHOT_OK(w.compact());  // a segment with a sources file
  SNAPSHOT_OK(w.commit());
  SNAPSHOT_OK(append(w, make_batch("a", 2, 4, 3)));  // a0, a1 replaced
  w.delete_documents(std::vector<SharedText>{"b0", "a4"});
  SNAPSHOT_OK(w.commit());
  std::shared_ptr<const StoreView> view = VectorStore::open(store).value()->store_view().value();
  if (names == SnapshotCase::Compacted) {
    SNAPSHOT_OK(w.compact());
    SNAPSHOT_OK(w.commit());
  }
  if (names == SnapshotCase::StoreRemoved) fs::remove_all(store);
  return view;
}

DestinationCheck check_destination(const fs::path& destination, const StoreView& view) {
  std::error_code ec;
  if (!fs::exists(destination, ec) || (fs::is_directory(destination, ec) && fs::is_empty(destination, ec)))
    return {DestinationCheck::Absent, "nothing there"};
  auto store = VectorStore::open(destination);
  if (!store) return {DestinationCheck::Unopenable, store.error().text()};
  auto opened = (*store)->store_view();
  if (!opened) return {DestinationCheck::Unopenable, opened.error().text()};
  const StoreView& copy = **opened;
  if (copy.manifest() != view.manifest()) return {DestinationCheck::Different, "another manifest"};
  const std::vector<SharedText> ids = view.document_ids();
  if (copy.document_ids() != ids) return {DestinationCheck::Different, "other document IDs"};
  const PackedDocuments mine = view.fetch(ids, 1).value();
  auto theirs = copy.fetch(ids, 1);
  if (!theirs) return {DestinationCheck::Unopenable, theirs.error().text()};
  if (theirs->vectors() != mine.vectors() || !std::ranges::equal(theirs->lengths(), mine.lengths()))
    return {DestinationCheck::Different, "other vectors"};
  const std::map<std::string, std::string> expected = view_files(view);
  for (const auto& entry : fs::directory_iterator(destination)) {
    const std::string name = entry.path().filename().string();
    auto it = expected.find(name);
    if (it == expected.end()) {
      if (name.ends_with(".sources.npy")) continue;
      return {DestinationCheck::Different, "an extra entry " + name};
    }
    if (read_bytes(entry.path()) != it->second) return {DestinationCheck::Different, "other bytes in " + name};
  }
  for (const auto& [name, bytes] : expected)
    if (!fs::exists(destination / name)) return {DestinationCheck::Different, "no " + name};
  return {DestinationCheck::Equal, {}};
}

std::vector<std::string> other_entries(const fs::path& parent, const std::string& keep) {
  std::vector<std::string> out;
  for (const auto& entry : fs::directory_iterator(parent))
    if (entry.path().filename() != keep) out.push_back(entry.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

PowerLossReport run_snapshot_power_loss(const SnapshotCase& snapshot_case, const PowerLossOptions& options) {
  PowerLossReport report;
  auto fail = [&](std::string what) { report.failures.push_back(snapshot_case.name + ": " + std::move(what)); };
  // Crash at call n (0: after the last call, the snapshot having returned).
  auto run = [&](std::size_t n) -> std::size_t {
    const RemovedOnExit root{scratch_directory()};
    const fs::path store = root.path / "store", out = root.path / "out", destination = out / "snap";
    std::shared_ptr<const StoreView> view = prepare_snapshot_source(store, snapshot_case.encoding, snapshot_case.names);
    fs::create_directory(out);
    std::optional<Manifest> source_manifest;
    if (snapshot_case.names != SnapshotCase::StoreRemoved) source_manifest = Manifest::read(store).value();
    PowerLossFileSystem file_system(root.path);
    if (options.skipped) file_system.skip_flushes(options.skipped->site, options.skipped->file_part);
    file_system.crash_at(n);
    SnapshotOptions snapshot_options;
    snapshot_options.link = snapshot_case.link;
    const bool returned = snapshot_view(file_system, *view, destination, snapshot_options).has_value();
    const std::size_t calls = file_system.call_count();
    if (n == 0 && !returned) fail("the snapshot failed without a crash");
    const std::vector<std::string> pending = file_system.pending_changes();
    report.max_changes = std::max(report.max_changes, pending.size());
    const std::string at = n == 0 ? "after the snapshot returned" : "at call " + std::to_string(n);
    for (const std::vector<bool>& keep : choices(pending.size(), options, n)) {
      ++report.cases;
      file_system.power_loss(keep);
      const DestinationCheck check = check_destination(destination, *view);
      if (check.kind == DestinationCheck::Different)
        fail("power lost " + at + ": the destination differs from the view: " + check.detail);
      if (returned && check.kind != DestinationCheck::Equal)
        fail("power lost " + at + ": the destination is not the view (" + check.detail + ")");
      if (source_manifest) {
        auto manifest = Manifest::read(store);
        if (!manifest || *manifest != *source_manifest || !VectorStore::open(store))
          fail("power lost " + at + ": the source store changed");
      }
      if (options.stop_at_first_failure && !report.failures.empty()) break;
    }
    return calls;
  };
  const std::size_t calls = run(0);
  ++report.crash_points;
  for (std::size_t n = 1; n <= calls; ++n) {
    if (options.stop_at_first_failure && !report.failures.empty()) break;
    run(n);
    ++report.crash_points;
  }
  return report;
}

}  // namespace quillmark::testing

#pragma once
// Power-loss cases of the store writer: a sequence of writer steps is run on
// a PowerLossFileSystem that crashes at call N, for every N; then every
// combination of the changes not yet flushed (or a seeded random sample of
// them when there are many) is applied to the disk, and the store is opened
// with the reader and the writer. The store must be valid and hold exactly
// the last acknowledged commit, or the one in progress at the crash, and
// the writer must open it and leave nothing behind.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "power_loss_file_system.h"
#include "storage/writer.h"

namespace quillmark::testing {

struct WriterStep {
  enum Kind { Create, Stage, Commit, Reopen };
  std::string name;
  Kind kind;
  std::function<Result<void>(VectorStoreWriter&)> stage;  // for Stage
};

struct WriterSequence {
  std::string name;
  Encoding encoding;
  std::vector<WriterStep> steps;
  std::string create_suffix = {};  // appended to the store's path when creating it ("/": a trailing separator)
};

// The sequences the cases run: create, appends, deletions, compactions,
// commits and a reopen, on a float32 and on an int8 store; a short one that
// names the new store with a trailing separator; a merge then a commit (int8),
// and a commit with merge_at_commit on (float32).
std::vector<WriterSequence> writer_sequences();

// A flush site made a no-op, for files whose name contains `file_part`.
struct SkippedFlush {
  FlushSite site;
  std::string file_part;
};

struct PowerLossOptions {
  // Every combination up to this many pending changes; beyond, `samples`
  // random ones plus all kept and none kept.
  std::size_t exhaustive_changes = 5;
  std::size_t samples = 8;
  std::optional<SkippedFlush> skipped;
  bool stop_at_first_failure = false;
};

struct PowerLossReport {
  std::size_t crash_points = 0;  // crashes simulated (each a fresh run)
  std::size_t cases = 0;         // power-loss states checked
  std::size_t max_changes = 0;   // most pending changes at one crash
  std::vector<std::string> failures;
};

// Single crashes: power lost at every call of the sequence, and after it.
PowerLossReport run_power_loss(const WriterSequence& sequence, const PowerLossOptions& options);

// A process crash at every call of the sequence's commits, then a new
// writer opening the store, and the power lost at every call of that open
// and after it.
PowerLossReport run_crash_then_reopen(const WriterSequence& sequence, const PowerLossOptions& options);

}  // namespace quillmark::testing

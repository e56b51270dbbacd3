#include "power_loss_cases.h"

#include <map>
#include <random>
#include <unistd.h>

#include "writer_test_support.h"

namespace quillmark::testing {

namespace fs = std::filesystem;

namespace {

// A fresh directory in memory when the system has one (/dev/shm): the cases
// rewrite whole stores thousands of times, and nothing they check depends on
// a real disk, since the simulation decides what a power loss keeps.
class ScratchDir {
 public:
  ScratchDir() {
    std::error_code ec;
    fs::path base = "/dev/shm";
    if (!fs::is_directory(base, ec) || ::access(base.c_str(), W_OK) != 0) base = fs::temp_directory_path();
    std::string pattern = (base / "quillmark-power-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const fs::path& path() const { return path_; }
  fs::path operator/(std::string_view name) const { return path_ / name; }

 private:
  fs::path path_;
};

WriterStep stage(std::string name, std::function<Result<void>(VectorStoreWriter&)> run) {
  return WriterStep{std::move(name), WriterStep::Stage, std::move(run)};
}

WriterStep commit() { return WriterStep{"commit", WriterStep::Commit, nullptr}; }

std::vector<WriterStep> steps(std::optional<std::size_t> threads) {
  auto add = [threads](std::string prefix, std::size_t count, float seed) {
    return [=](VectorStoreWriter& w) { return append(w, make_batch(prefix, count, 4, seed), threads); };
  };
  auto remove = [](std::vector<SharedText> ids) {
    return [ids](VectorStoreWriter& w) -> Result<void> {
      w.delete_documents(ids);
      return {};
    };
  };
  return {
      {"create", WriterStep::Create, nullptr},
      stage("append a0-a5", add("a", 6, 1)),
      stage("append b0-b2", add("b", 3, 2)),
      commit(),
      stage("delete a1 b0 a4", remove({"a1", "b0", "a4"})),
      commit(),
      stage("compact", [](VectorStoreWriter& w) { return w.compact(); }),
      stage("append a0-a1 again", add("a", 2, 3)),
      commit(),
      stage("delete a2", remove({"a2"})),
      {"reopen (the deletion is dropped)", WriterStep::Reopen, nullptr},
      stage("delete a0 b1", remove({"a0", "b1"})),
      commit(),
      stage("compact", [](VectorStoreWriter& w) { return w.compact(); }),
      commit(),
  };
}

// Ten one-document segments (level 0) after a0..a11 (level 1): the first
// holds a1 again, the others s0..s8, of which `count` are appended.
std::function<Result<void>(VectorStoreWriter&)> small_segments(std::size_t count) {
  return [count](VectorStoreWriter& w) -> Result<void> {
    Batch again = make_batch("a", 2, 4, 5);
    again.ids.erase(again.ids.begin());
    again.values.erase(again.values.begin(), again.values.begin() + 4);
    again.lengths.erase(again.lengths.begin());
    QM_TRY(append(w, again));
    for (std::size_t i = 0; i + 1 < count; ++i) {
      std::string prefix = "s";
      prefix += std::to_string(i);
      prefix += '-';
      QM_TRY(append(w, make_batch(prefix, 1, 4, 6)));
    }
    return {};
  };
}

// A merge, then a commit: a1 deleted where it decides (the small segment),
// so the merge marks the older a1 deleted; a4 deleted in the large segment.
std::vector<WriterStep> merge_steps(std::optional<std::size_t> threads) {
  std::vector<WriterStep> out{{"create", WriterStep::Create, nullptr}};
  out.push_back(stage("append a0-a11", [threads](VectorStoreWriter& w) {
    return append(w, make_batch("a", 12, 4, 1), threads);
  }));
  out.push_back(stage("append a1 again and s0-s8, a segment each", small_segments(10)));
  out.push_back(commit());
  out.push_back(stage("delete a1 a4", [](VectorStoreWriter& w) -> Result<void> {
    w.delete_documents(std::vector<SharedText>{"a1", "a4"});
    return {};
  }));
  out.push_back(stage("merge", [](VectorStoreWriter& w) -> Result<void> {
    QM_TRY(w.merge());
    return {};
  }));
  out.push_back(commit());
  return out;
}

// The same store merged by a commit with merge_at_commit on: nine small
// segments committed, the tenth staged with the deletions.
std::vector<WriterStep> merge_at_commit_steps() {
  std::vector<WriterStep> out{{"create", WriterStep::Create, nullptr}};
  out.push_back(stage("append a0-a11", [](VectorStoreWriter& w) { return append(w, make_batch("a", 12, 4, 1)); }));
  out.push_back(stage("append a1 again and s0-s7, a segment each", small_segments(9)));
  out.push_back(commit());
  out.push_back(stage("merge at commit; delete a1 a4; append t0", [](VectorStoreWriter& w) -> Result<void> {
    w.set_merge_at_commit(true);
    w.delete_documents(std::vector<SharedText>{"a1", "a4"});
    return append(w, make_batch("t", 1, 4, 7));
  }));
  out.push_back(commit());
  return out;
}

// What one run up to a crash left.
struct Outcome {
  std::optional<std::uint64_t> acknowledged;  // the last commit returned (0: the creation)
  bool in_progress = false;                   // a commit or the creation was cut short
  std::string step = "after the last step";
};

// Runs `sequence` on `file_system` until it crashes; records each commit's
// snapshot into `expected` when given. The writer is gone on return, as the
// process would be.
Outcome run(const WriterSequence& sequence, const fs::path& path, PowerLossFileSystem& file_system,
            std::map<std::uint64_t, Snapshot>* expected) {
  Outcome out;
  std::optional<VectorStoreWriter> writer;
  auto acknowledge = [&] {
    out.acknowledged = writer->manifest().commit;
    if (expected) (*expected)[*out.acknowledged] = snapshot(path).value();
  };
  for (std::size_t i = 0; i < sequence.steps.size(); ++i) {
    const WriterStep& step = sequence.steps[i];
    Result<void> result;
    switch (step.kind) {
      case WriterStep::Create: {
        auto created = VectorStoreWriter::create(path.string() + sequence.create_suffix, "docs", test_representation(),
                                                 sequence.encoding, file_system);
        if (created) writer.emplace(std::move(*created));
        else result = std::unexpected(created.error());
        if (created) acknowledge();
        break;
      }
      case WriterStep::Stage: result = step.stage(*writer); break;
      case WriterStep::Commit: {
        auto committed = writer->commit();
        if (committed) acknowledge();
        else result = std::unexpected(committed.error());
        break;
      }
      case WriterStep::Reopen: {
        writer.reset();
        auto opened = VectorStoreWriter::open(path, file_system);
        if (opened) writer.emplace(std::move(*opened));
        else result = std::unexpected(opened.error());
        break;
      }
    }
    if (file_system.crashed()) {
      out.step = "step " + std::to_string(i + 1) + " (" + step.name + ")";
      out.in_progress = !result && (step.kind == WriterStep::Create || step.kind == WriterStep::Commit);
      return out;
    }
    if (!result) throw std::runtime_error(step.name + " failed without a crash: " + result.error().text());
  }
  return out;
}

// Whether the store at `path` is what a power loss after `outcome` may leave;
// the failure otherwise.
std::optional<std::string> check(const fs::path& path, const std::map<std::uint64_t, Snapshot>& expected,
                                 const Outcome& outcome) {
  // A store whose creation was never acknowledged may not exist.
  if (!outcome.acknowledged && !fs::exists(path / "manifest.json")) return std::nullopt;
  auto seen = snapshot(path);
  if (!seen) return "the reader fails: " + seen.error().text();
  const std::uint64_t last = outcome.acknowledged.value_or(0);
  const bool allowed = seen->commit == last || (outcome.in_progress && outcome.acknowledged && seen->commit == last + 1);
  if (!allowed)
    return "commit " + std::to_string(seen->commit) + " where " + std::to_string(last) +
           (outcome.in_progress ? " or the next" : "") + " was acknowledged";
  auto want = expected.find(seen->commit);
  if (want == expected.end() || !want->second.same_documents(*seen))
    return "commit " + std::to_string(seen->commit) + " holds other documents";
  if (want->second.sources != seen->sources)
    return "commit " + std::to_string(seen->commit) + " has other sources files";
  // Opened without real flushes, which only cost time here.
  PowerLossFileSystem no_flush(path.parent_path());
  auto writer = VectorStoreWriter::open(path, no_flush);
  if (!writer) return "the writer fails to open: " + writer.error().text();
  for (const std::string& name : leftovers(path)) return "left behind after open: " + name;
  return std::nullopt;
}

// Calls `each` with choices over `count` pending changes: all of them when
// few, else all kept, none kept, and seeded random ones. Stops when `each`
// returns false.
void for_each_choice(std::size_t count, std::uint64_t seed, const PowerLossOptions& options,
                     const std::function<bool(const std::vector<bool>&)>& each) {
  std::vector<bool> keep(count);
  if (count <= options.exhaustive_changes) {
    for (std::uint64_t mask = 0; mask < (std::uint64_t{1} << count); ++mask) {
      for (std::size_t i = 0; i < count; ++i) keep[i] = (mask >> i) & 1;
      if (!each(keep)) return;
    }
    return;
  }
  keep.assign(count, true);
  if (!each(keep)) return;
  keep.assign(count, false);
  if (!each(keep)) return;
  std::mt19937_64 random(seed);
  for (std::size_t s = 0; s < options.samples; ++s) {
    for (std::size_t i = 0; i < count; ++i) keep[i] = random() & 1;
    if (!each(keep)) return;
  }
}

// Checks every power loss `file_system` may now suffer; false once a
// failure is recorded and the options say to stop there.
bool check_power_losses(const PowerLossFileSystem& file_system, const fs::path& path,
                        const std::map<std::uint64_t, Snapshot>& expected, const Outcome& outcome,
                        const std::string& where, std::uint64_t seed, const PowerLossOptions& options,
                        PowerLossReport& report) {
  const std::vector<std::string> pending = file_system.pending_changes();
  report.max_changes = std::max(report.max_changes, pending.size());
  bool go_on = true;
  for_each_choice(pending.size(), seed, options, [&](const std::vector<bool>& keep) {
    file_system.power_loss(keep);
    ++report.cases;
    auto failure = check(path, expected, outcome);
    if (!failure) return true;
    std::string lost;
    for (std::size_t i = 0; i < keep.size(); ++i)
      if (!keep[i]) lost += (lost.empty() ? "" : "; ") + pending[i];
    report.failures.push_back(where + ", " + outcome.step + ", losing {" + lost + "}: " + *failure);
    go_on = !options.stop_at_first_failure;
    return go_on;
  });
  return go_on;
}

struct CleanRun {
  std::map<std::uint64_t, Snapshot> expected;
  std::size_t calls = 0;
  std::vector<std::size_t> commit_calls;  // the calls (1-based) made inside commits
};

CleanRun clean_run(const WriterSequence& sequence) {
  CleanRun out;
  ScratchDir dir;
  PowerLossFileSystem file_system(dir.path());
  // A crash point past the end: the run records the calls of each step.
  WriterSequence counted = sequence;
  std::size_t before = 0;
  for (WriterStep& step : counted.steps) {
    if (step.kind != WriterStep::Commit) continue;
    step.kind = WriterStep::Stage;
    step.stage = [&](VectorStoreWriter& w) -> Result<void> {
      before = file_system.call_count();
      QM_TRY(w.commit());
      out.expected[w.manifest().commit] = snapshot(dir / "s").value();
      for (std::size_t c = before + 1; c <= file_system.call_count(); ++c) out.commit_calls.push_back(c);
      return {};
    };
  }
  run(counted, dir / "s", file_system, &out.expected);
  out.calls = file_system.call_count();
  return out;
}

}  // namespace

std::vector<WriterSequence> writer_sequences() {
  std::vector<WriterStep> short_steps = steps(std::nullopt);
  short_steps.resize(4);  // create, two appends, commit
  return {{"float32", Encoding::Float32, steps(std::nullopt)},
          {"int8", Encoding::Int8, steps(2)},
          {"trailing_separator", Encoding::Float32, std::move(short_steps), "/"},
          {"merge_int8", Encoding::Int8, merge_steps(2)},
          {"merge_at_commit", Encoding::Float32, merge_at_commit_steps()}};
}

PowerLossReport run_power_loss(const WriterSequence& sequence, const PowerLossOptions& options) {
  const CleanRun clean = clean_run(sequence);
  PowerLossReport report;
  for (std::size_t n = 1; n <= clean.calls + 1; ++n) {
    ScratchDir dir;
    PowerLossFileSystem file_system(dir.path());
    if (options.skipped) file_system.skip_flushes(options.skipped->site, options.skipped->file_part);
    file_system.crash_at(n);
    const Outcome outcome = run(sequence, dir / "s", file_system, nullptr);
    ++report.crash_points;
    if (!check_power_losses(file_system, dir / "s", clean.expected, outcome,
                            sequence.name + ": power lost at call " + std::to_string(n), n, options, report))
      break;
  }
  return report;
}

PowerLossReport run_crash_then_reopen(const WriterSequence& sequence, const PowerLossOptions& options) {
  const CleanRun clean = clean_run(sequence);
  PowerLossReport report;
  for (std::size_t n : clean.commit_calls) {
    for (std::size_t m = 1;; ++m) {
      ScratchDir dir;
      const fs::path path = dir / "s";
      PowerLossFileSystem file_system(dir.path());
      if (options.skipped) file_system.skip_flushes(options.skipped->site, options.skipped->file_part);
      file_system.crash_at(n);
      const Outcome outcome = run(sequence, path, file_system, nullptr);
      file_system.revive();
      file_system.crash_at(m);
      {
        auto reopened = VectorStoreWriter::open(path, file_system);
        if (!file_system.crashed() && !reopened)
          throw std::runtime_error("reopening failed without a crash: " + reopened.error().text());
      }
      const bool last = !file_system.crashed();  // the open completed: power lost after it
      ++report.crash_points;
      const std::string where = sequence.name + ": process killed at call " + std::to_string(n) +
                                ", power lost at call " + std::to_string(m) + " of the next open";
      if (!check_power_losses(file_system, path, clean.expected, outcome, where, n * 1000 + m, options, report))
        return report;
      if (last) break;
    }
  }
  return report;
}

}  // namespace quillmark::testing

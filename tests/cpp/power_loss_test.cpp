// Simulated power loss at every call of writer sequences, with every
// combination of unflushed changes lost or kept (seeded samples when there
// are many). QUILLMARK_POWER_LOSS_EXHAUSTIVE (pending changes enumerated
// exhaustively) and QUILLMARK_POWER_LOSS_SAMPLES (random choices beyond)
// raise the defaults; make crash does.

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>

#include "power_loss_cases.h"
#include "temp_dir.h"
#include "writer_test_support.h"

namespace quillmark {
namespace {

using testing::PowerLossFileSystem;
using testing::PowerLossOptions;
using testing::PowerLossReport;
using testing::TempDir;
namespace fs = std::filesystem;

PowerLossOptions options_from_environment() {
  PowerLossOptions options;
  if (const char* samples = std::getenv("QUILLMARK_POWER_LOSS_SAMPLES")) options.samples = std::stoul(samples);
  if (const char* exhaustive = std::getenv("QUILLMARK_POWER_LOSS_EXHAUSTIVE"))
    options.exhaustive_changes = std::stoul(exhaustive);
  return options;
}

void expect_no_failures(const PowerLossReport& report) {
  EXPECT_GT(report.cases, report.crash_points);
  EXPECT_TRUE(report.failures.empty()) << report.failures.size() << " failures, the first: " << report.failures[0];
}

class PowerLoss : public ::testing::TestWithParam<testing::WriterSequence> {};

TEST_P(PowerLoss, EveryCrashPointKeepsTheLastDurableCommit) {
  const PowerLossReport report = testing::run_power_loss(GetParam(), options_from_environment());
  std::cout << "[ power    ] " << GetParam().name << ": " << report.crash_points << " crash points, "
            << report.cases << " power-loss states (at most " << report.max_changes << " pending changes)\n";
  expect_no_failures(report);
}

TEST_P(PowerLoss, ProcessCrashThenPowerLossDuringTheNextOpen) {
  const PowerLossReport report = testing::run_crash_then_reopen(GetParam(), options_from_environment());
  std::cout << "[ power    ] " << GetParam().name << ": " << report.crash_points << " kill+open crash points, "
            << report.cases << " power-loss states (at most " << report.max_changes << " pending changes)\n";
  expect_no_failures(report);
}

INSTANTIATE_TEST_SUITE_P(Sequences, PowerLoss, ::testing::ValuesIn(testing::writer_sequences()),
                         [](const auto& info) { return info.param.name; });

// The simulation itself: what a power loss keeps and undoes.
TEST(PowerLossFileSystem, UndoesExactlyWhatWasNotFlushed) {
  TempDir dir;
  testing::write_bytes(dir / "old", "old");
  testing::write_bytes(dir / "gone", "gone");
  PowerLossFileSystem file_system(dir.path());
  const Directory root = Directory::open(dir.path()).value();
  auto bytes = [](std::string_view text) { return std::as_bytes(std::span(text.data(), text.size())); };
  {
    FileDescriptor file = file_system.create_exclusive(root, "new").value();
    ASSERT_TRUE(file_system.write(file, bytes("flushed")).has_value());
    ASSERT_TRUE(file_system.sync(file, FlushSite::NpyFile).has_value());
    ASSERT_TRUE(file_system.write(file, bytes("+lost")).has_value());
    ASSERT_TRUE(file_system.close(file).has_value());
  }
  ASSERT_TRUE(file_system.create_directory(root, "d").has_value());
  ASSERT_TRUE(file_system.sync_directory(root, FlushSite::InstalledNames).has_value());
  const Directory d = root.open_child("d").value();
  ASSERT_TRUE(file_system.link(root, "new", d, "linked").has_value());
  ASSERT_TRUE(file_system.rename(root, "new", "old").has_value());
  ASSERT_TRUE(file_system.remove_file(root, "gone").has_value());
  EXPECT_EQ(file_system.pending_changes(),
            (std::vector<std::string>{"gone removed", "new removed with old replaced", "d/linked added",
                                      "data of new (7 of 12 bytes flushed)"}));
  auto names = [&](const fs::path& where) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(where)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
  };
  // Everything lost: the directory flush had made "d" and "new" durable.
  file_system.power_loss({false, false, false, false});
  EXPECT_EQ(names(dir.path()), (std::vector<std::string>{"d", "gone", "new", "old"}));
  EXPECT_EQ(testing::read_bytes(dir / "new"), "flushed");
  EXPECT_EQ(testing::read_bytes(dir / "old"), "old");
  EXPECT_EQ(names(dir / "d"), std::vector<std::string>{});
  // Everything kept: the state the process saw.
  file_system.power_loss({true, true, true, true});
  EXPECT_EQ(names(dir.path()), (std::vector<std::string>{"d", "old"}));
  EXPECT_EQ(testing::read_bytes(dir / "old"), "flushed+lost");
  EXPECT_EQ(testing::read_bytes(dir / "d" / "linked"), "flushed+lost");
  // A crash stops every later call.
  file_system.crash_at(1);
  EXPECT_FALSE(file_system.remove_file(root, "old").has_value());
  EXPECT_FALSE(file_system.create_directory(root, "e").has_value());
  EXPECT_TRUE(fs::exists(dir / "old"));
  EXPECT_FALSE(fs::exists(dir / "e"));
}

}  // namespace
}  // namespace quillmark

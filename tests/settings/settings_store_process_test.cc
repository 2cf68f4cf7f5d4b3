// Two processes running store cycles on one device at the same time. Each worker is this test
// program started again with ORVANTA_SETTINGS_WORKER="<worker> <cycles> <log>"; it records the
// start and end of each of its cycles in the shared log, where the two workers' entries must
// never interleave, and puts its own records over and over. At the end both sets must be there.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "settings/settings_store.h"
#include "settings_device.h"
#include "tests/test_emulator.h"
#include "testsupport/factory_settings.h"

namespace {

constexpr DWORD kRecordsPerWorker = 12;
constexpr DWORD kPartition = kSerialSettingsType;

DWORD WorkerRecordId(int worker, DWORD index) {
  return 1000 * static_cast<DWORD>(worker + 1) + index;
}

void AppendLine(const std::string& path, const std::string& line) {
  const int file = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
  if (file < 0) return;
  const std::string text = line + "\n";
  // One write per line: appends of a few bytes land whole.
  if (write(file, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    std::perror("log");
  }
  close(file);
}

DWORD ReadValue(DWORD id) {
  BYTE bytes[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  if (!SettingsStore::GetRecord(id, kPartition, bytes, 4)) return 0xFFFFFFFFu;
  return static_cast<DWORD>(bytes[0]) | static_cast<DWORD>(bytes[1]) << 8 |
         static_cast<DWORD>(bytes[2]) << 16 | static_cast<DWORD>(bytes[3]) << 24;
}

}  // namespace

int RunStoreWorker(const char* arguments) {
  std::istringstream input(arguments);
  int worker = 0;
  int cycles = 0;
  std::string log;
  input >> worker >> cycles >> log;
  // The value each of this worker's records must hold, once written.
  std::vector<DWORD> expected(kRecordsPerWorker, 0xFFFFFFFFu);
  for (int cycle = 0; cycle < cycles; ++cycle) {
    SettingsStore::Open();
    SettingsStore::Lock();
    AppendLine(log, "begin " + std::to_string(worker));
    if (!SettingsStore::Load()) {
      std::fprintf(stderr, "worker %d: load failed in cycle %d\n", worker, cycle);
      return 1;
    }
    for (DWORD index = 0; index < kRecordsPerWorker; ++index) {
      if (ReadValue(WorkerRecordId(worker, index)) != expected[index]) {
        std::fprintf(stderr, "worker %d: record %u lost before cycle %d\n", worker,
                     WorkerRecordId(worker, index), cycle);
        return 1;
      }
    }
    const DWORD index = static_cast<DWORD>(cycle) % kRecordsPerWorker;
    const DWORD value = static_cast<DWORD>(cycle);
    const BYTE bytes[4] = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8),
                           static_cast<BYTE>(value >> 16), static_cast<BYTE>(value >> 24)};
    if (!SettingsStore::PutRecord(WorkerRecordId(worker, index), kPartition, bytes, 4, 0) ||
        !SettingsStore::Flush()) {
      std::fprintf(stderr, "worker %d: put or flush failed in cycle %d\n", worker, cycle);
      return 1;
    }
    expected[index] = value;
    AppendLine(log, "end " + std::to_string(worker));
    SettingsStore::Unlock();
    SettingsStore::Close();
  }
  return 0;
}

namespace {

pid_t StartWorker(int worker, int cycles, const std::string& log) {
  const std::string arguments = std::to_string(worker) + " " + std::to_string(cycles) + " " + log;
  // This very program, started afresh (under an emulator /proc/self/exe names the program it
  // runs, which the emulator then starts).
  std::error_code error;
  std::vector<std::string> command =
      test_emulator::Command({std::filesystem::read_symlink("/proc/self/exe", error).string()});
  const std::vector<char*> argv = test_emulator::Arguments(command);
  const pid_t child = fork();
  if (child == 0) {
    setenv("ORVANTA_SETTINGS_WORKER", arguments.c_str(), 1);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return child;
}

TEST(SettingsStoreProcesses, ConcurrentCyclesNeverInterleaveAndLoseNoRecord) {
  ASSERT_EQ(testsupport::FormatSettings(std::nullopt), "");
  if (HasFatalFailure()) return;
  const std::string log = (settings_test::Device().Paths().root / "cycles.log").string();
  constexpr int kCycles = 40;
  const pid_t first = StartWorker(0, kCycles, log);
  const pid_t second = StartWorker(1, kCycles, log);
  ASSERT_GT(first, 0);
  ASSERT_GT(second, 0);
  for (pid_t child : {first, second}) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "worker status " << status;
  }

  // Every cycle is a begin immediately followed by the same worker's end.
  std::ifstream lines(log);
  std::string word;
  int worker = 0;
  int cycles[2] = {0, 0};
  int open = -1;
  while (lines >> word >> worker) {
    ASSERT_TRUE(worker == 0 || worker == 1);
    if (word == "begin") {
      ASSERT_EQ(open, -1) << "worker " << worker << " began inside a cycle of " << open;
      open = worker;
    } else {
      ASSERT_EQ(open, worker) << "an end without its begin";
      open = -1;
      ++cycles[worker];
    }
  }
  EXPECT_EQ(open, -1);
  EXPECT_EQ(cycles[0], kCycles);
  EXPECT_EQ(cycles[1], kCycles);

  SettingsStore::Open();
  SettingsStore::Lock();
  ASSERT_TRUE(SettingsStore::Load());
  for (int each = 0; each < 2; ++each) {
    for (DWORD index = 0; index < kRecordsPerWorker; ++index) {
      // The last cycle that wrote record `index`.
      const DWORD last = index + kRecordsPerWorker * ((kCycles - 1 - index) / kRecordsPerWorker);
      EXPECT_EQ(ReadValue(WorkerRecordId(each, index)), last) << each << " " << index;
    }
  }
  SettingsStore::Unlock();
  SettingsStore::Close();
}

}  // namespace

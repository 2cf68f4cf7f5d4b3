// The headless front end of a run on the simulated device holds each real message box on screen
// while the file ORVANTA_HOLD_BOXES names exists. StartRun takes over the process's boxes once:
// each test runs in a process of its own (as CTest runs them).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "platform/dialog_framework.h"
#include "testsupport/files.h"
#include "windows/handheld/handheld.h"

namespace {

// A fresh directory, and the headless run started with its variables set (in the C runtime's
// environment, which the front end reads).
std::filesystem::path StartHeadlessRun(const std::string& holdFile) {
  const std::filesystem::path directory =
      std::filesystem::temp_directory_path() /
      ("held-box-test-" + std::to_string(std::random_device{}()));
  std::filesystem::create_directories(directory);
  _putenv("ORVANTA_UI=headless");
  _putenv("ORVANTA_ANSWERS=cancel");
  _putenv("ORVANTA_TRANSCRIPT=");  // standard output
  _putenv(("ORVANTA_HOLD_BOXES=" + (directory / holdFile).string()).c_str());
  std::string error;
  EXPECT_TRUE(windows::StartRun(&error)) << error;
  return directory;
}

bool Exists(const std::filesystem::path& path, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!std::filesystem::exists(path) && std::chrono::steady_clock::now() < until) Sleep(10);
  return std::filesystem::exists(path);
}

TEST(HeldBoxTest, ABoxStaysShownWithItsTextInTheFileUntilTheFileIsRemoved) {
  const std::filesystem::path directory = StartHeadlessRun("box");
  std::atomic<int> answer{0};
  std::thread shower([&] { answer = MessageBoxW(nullptr, L"Continue?", L"Test", MB_OKCANCEL); });
  ASSERT_TRUE(Exists(directory / "box", std::chrono::seconds(10)));
  const testsupport::Bytes text = testsupport::ReadFile(directory / "box");
  EXPECT_EQ(std::string(text.begin(), text.end()), "Continue?\n");
  Sleep(300);
  EXPECT_EQ(answer.load(), 0) << "answered while held";
  std::filesystem::remove(directory / "box");
  shower.join();
  EXPECT_EQ(answer.load(), IDCANCEL);
  EXPECT_FALSE(std::filesystem::exists(directory / "box.new"));
  std::filesystem::remove_all(directory);
}

TEST(HeldBoxTest, AFileThatCannotBeWrittenHoldsNothing) {
  const std::filesystem::path directory = StartHeadlessRun("missing/box");
  std::atomic<int> answer{0};
  std::thread shower([&] { answer = MessageBoxW(nullptr, L"Continue?", L"Test", MB_OKCANCEL); });
  shower.join();
  EXPECT_EQ(answer.load(), IDCANCEL);
  std::filesystem::remove_all(directory);
}

}  // namespace

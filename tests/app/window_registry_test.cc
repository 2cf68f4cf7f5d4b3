// The device's registry of top-level windows that the single-instance check searches, and the
// search giving up when the running instance shows no window.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "host/dialog_framework/front_end.h"
#include "platform/core_library.h"
#include "platform/dialog_framework.h"
#include "process_runner.h"
#include "sim/device.h"

namespace {

class WindowRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(sim::CreateDevice({device_}, sim::DeviceConfig{}, &error)) << error;
    setenv("ORVANTA_DEVICE", device_.c_str(), 1);
    std::filesystem::create_directories(Registry());
  }
  std::filesystem::path Registry() const { return device_ / ".kernel" / "windows"; }
  void Publish(long pid, const nlohmann::json& properties) {
    nlohmann::json entry = properties;
    entry["pid"] = pid;
    std::ofstream(Registry() / std::to_string(pid)) << entry.dump() << '\n';
  }

  apptest::TemporaryDirectory directory_;
  std::filesystem::path device_ = directory_.Path() / "device";
};

BOOL Collect(HWND window, LPARAM data) {
  reinterpret_cast<std::vector<HWND>*>(data)->push_back(window);
  return TRUE;
}

BOOL StopAtFirst(HWND window, LPARAM data) {
  reinterpret_cast<std::vector<HWND>*>(data)->push_back(window);
  return FALSE;
}

}  // namespace

TEST_F(WindowRegistryTest, ListsLiveWindowsWithTheirPropertiesAndDropsDeadOnes) {
  Publish(getpid(), {{"class", "Dialog"},
                     {"style", WS_POPUP | WS_VISIBLE | WS_CAPTION},
                     {"ex_style", WS_EX_TOOLWINDOW},
                     {"visible", true}});
  // A process that has ended: fork one and reap it, so its pid is known not to run.
  const pid_t ended = fork();
  if (ended == 0) _exit(0);
  apptest::WaitForProgram(ended);
  Publish(ended, {{"class", "Dialog"}, {"visible", true}});
  std::ofstream(Registry() / "garbage") << "not json";

  std::vector<HWND> windows;
  ASSERT_TRUE(EnumWindows(Collect, reinterpret_cast<LPARAM>(&windows)));
  ASSERT_EQ(windows.size(), 1u);
  DWORD processId = 0;
  GetWindowThreadProcessId(windows[0], &processId);
  EXPECT_EQ(processId, static_cast<DWORD>(getpid()));
  EXPECT_TRUE(IsWindowVisible(windows[0]));
  EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(windows[0], GWL_STYLE)),
            WS_POPUP | WS_VISIBLE | WS_CAPTION);
  EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(windows[0], GWL_EXSTYLE)), WS_EX_TOOLWINDOW);
  EXPECT_EQ(GetWindow(windows[0], GW_OWNER), nullptr);
  WCHAR name[4];
  EXPECT_EQ(GetClassNameW(windows[0], name, 4), 3);  // cut to the buffer
  EXPECT_EQ(std::u16string(name), u"Dia");
  EXPECT_FALSE(std::filesystem::exists(Registry() / std::to_string(ended)));
}

TEST_F(WindowRegistryTest, EnumerationStopsWhenTheCallbackSaysSo) {
  Publish(getpid(), {{"class", "Dialog"}, {"visible", true}});
  Publish(getppid(), {{"class", "Dialog"}, {"visible", true}});
  std::vector<HWND> windows;
  EXPECT_TRUE(EnumWindows(StopAtFirst, reinterpret_cast<LPARAM>(&windows)));
  EXPECT_EQ(windows.size(), 1u);
  EXPECT_FALSE(EnumWindows(nullptr, 0));
}

// Another holder of the instance mutex that shows no window (still starting, or hung): after 40
// searches 250 ms apart the new instance starts as if it were alone.
TEST_F(WindowRegistryTest, AnInstanceWithoutAWindowIsGivenUpOnAfterTheSearch) {
  std::u16string name = host::DialogTextFromUtf8(SCRIPTED_PROGRAM);
  HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
  ASSERT_NE(mutex, nullptr);
  // A window of this process does not count: it does not run the program.
  Publish(getpid(), {{"class", "Dialog"}, {"visible", true}});
  const auto transcript = directory_.Path() / "transcript.jsonl";
  EXPECT_EQ(apptest::RunProgram(SCRIPTED_PROGRAM, {{"ORVANTA_DEVICE", device_.string()},
                                                   {"ORVANTA_UI", "headless"},
                                                   {"ORVANTA_TRANSCRIPT", transcript.string()},
                                                   {"ORVANTA_TEST_SCRIPT", ""}}),
            1);
  const std::vector<std::string> lines = apptest::ReadLines(transcript);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front().rfind(R"({"event":"dialog")", 0), 0u);
  CloseHandle(mutex);
}

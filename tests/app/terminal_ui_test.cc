// The terminal front end driven through tmux the way a tester would: read the screen, press
// Enter, Escape and the power key.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "process_runner.h"
#include "sim/device.h"
#include "tests/test_emulator.h"

namespace {

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char character : text) {
    if (character == '\'') {
      quoted += "'\\''";
    } else {
      quoted += character;
    }
  }
  return quoted + "'";
}

// The scripted program as shell words, behind the emulator when the build runs under one.
std::string ScriptedProgram() {
  std::string words;
  for (const std::string& word : test_emulator::Command({SCRIPTED_PROGRAM}))
    words += (words.empty() ? "" : " ") + Quote(word);
  return words;
}

std::string Capture(const std::string& command) {
  std::string output;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    std::size_t read;
    while ((read = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, read);
    pclose(pipe);
  }
  return output;
}

class TerminalUiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v tmux >/dev/null 2>&1") != 0) GTEST_SKIP() << "tmux is missing";
    std::string error;
    ASSERT_TRUE(sim::CreateDevice({device_}, sim::DeviceConfig{}, &error)) << error;
    socket_ = "orvanta-app-test-" + std::to_string(getpid());
  }
  void TearDown() override {
    if (!socket_.empty()) Tmux("kill-server 2>/dev/null");
  }

  int Tmux(const std::string& arguments) {
    return std::system(("tmux -L " + socket_ + " " + arguments).c_str());
  }
  std::string Screen() { return Capture("tmux -L " + socket_ + " capture-pane -p -t updater"); }
  bool WaitForScreen(const std::string& text) {
    return apptest::WaitUntil([&] { return Screen().find(text) != std::string::npos; });
  }
  bool WaitForScreenWithout(const std::string& text) {
    return apptest::WaitUntil([&] { return Screen().find(text) == std::string::npos; });
  }

  apptest::TemporaryDirectory directory_;
  std::filesystem::path device_ = directory_.Path() / "device";
  std::string socket_;
};

}  // namespace

TEST_F(TerminalUiTest, DrawsTheDialogAnswersBoxesWithEnterAndEscapeAndTogglesPower) {
  const auto log = directory_.Path() / "answers.log";
  const auto status = directory_.Path() / "status";
  const std::string command =
      "env ORVANTA_UI=tui ORVANTA_DEVICE=" + Quote(device_.string()) +
      " ORVANTA_TEST_SCRIPT=advance,box:132:1,box:129:1 ORVANTA_TEST_LOG=" + Quote(log.string()) +
      " " + ScriptedProgram() + "; echo $? > " + Quote(status.string());
  ASSERT_EQ(Tmux("new-session -d -s updater -x 90 -y 30 " + Quote(command)), 0);

  // The dialog and the confirmation box over it.
  ASSERT_TRUE(WaitForScreen("Performing this upgrade")) << Screen();
  std::string screen = Screen();
  EXPECT_NE(screen.find("OrvantaUpdate"), std::string::npos) << screen;
  EXPECT_NE(screen.find("[OK]"), std::string::npos) << screen;
  EXPECT_NE(screen.find("Do not turn off the Orvanta"), std::string::npos) << screen;
  EXPECT_NE(screen.find("Operation 1 of 6:"), std::string::npos) << screen;
  EXPECT_NE(screen.find("[---"), std::string::npos) << screen;  // the bar at 0
  EXPECT_NE(screen.find("/!\\"), std::string::npos) << screen;
  EXPECT_NE(screen.find("[ OK ]"), std::string::npos) << screen;
  EXPECT_NE(screen.find("[ Cancel ]"), std::string::npos) << screen;
  EXPECT_NE(screen.find("AC line: online"), std::string::npos) << screen;

  ASSERT_EQ(Tmux("send-keys -t updater Enter"), 0);
  ASSERT_TRUE(WaitForScreen("must be connected to external")) << Screen();

  // The power key changes the status line while the power box is shown.
  ASSERT_EQ(Tmux("send-keys -t updater p"), 0);
  EXPECT_TRUE(WaitForScreen("AC line: offline")) << Screen();
  ASSERT_EQ(Tmux("send-keys -t updater p"), 0);
  EXPECT_TRUE(WaitForScreen("AC line: online")) << Screen();

  ASSERT_EQ(Tmux("send-keys -t updater Escape"), 0);
  ASSERT_TRUE(WaitForScreen("Failed to complete upgrade.")) << Screen();
  // The failure box has only OK.
  EXPECT_EQ(Screen().find("[ Cancel ]"), std::string::npos) << Screen();

  // A resized terminal is redrawn with the same texts.
  Tmux("resize-window -t updater -x 70 -y 26");
  EXPECT_TRUE(WaitForScreen("Failed to complete upgrade.")) << Screen();

  ASSERT_EQ(Tmux("send-keys -t updater Enter"), 0);
  ASSERT_TRUE(apptest::WaitUntil([&] { return apptest::ReadFile(status) == "1\n"; }))
      << apptest::ReadFile(status);
  EXPECT_EQ(apptest::ReadLines(log), (std::vector<std::string>{"132=1", "129=2"}));
}

TEST_F(TerminalUiTest, TabMovesTheFocusToCancel) {
  const auto log = directory_.Path() / "answers.log";
  const auto status = directory_.Path() / "status";
  const std::string command =
      "env ORVANTA_UI=tui ORVANTA_DEVICE=" + Quote(device_.string()) +
      " ORVANTA_TEST_SCRIPT=box:132:1 ORVANTA_TEST_LOG=" + Quote(log.string()) + " " +
      ScriptedProgram() + "; echo $? > " + Quote(status.string());
  ASSERT_EQ(Tmux("new-session -d -s updater -x 90 -y 30 " + Quote(command)), 0);
  ASSERT_TRUE(WaitForScreen("Performing this upgrade")) << Screen();
  ASSERT_EQ(Tmux("send-keys -t updater Tab Enter"), 0);
  ASSERT_TRUE(WaitForScreen("Failed to complete upgrade.")) << Screen();
  ASSERT_EQ(Tmux("send-keys -t updater Enter"), 0);
  ASSERT_TRUE(apptest::WaitUntil([&] { return apptest::ReadFile(status) == "1\n"; }));
  EXPECT_EQ(apptest::ReadLines(log), (std::vector<std::string>{"132=2"}));
}

TEST_F(TerminalUiTest, OtherShellsShowTheDialogAtTheTemplateSizeThroughAResize) {
  sim::DeviceConfig config;
  config.shell = sim::Shell::Other;
  std::string error;
  ASSERT_TRUE(sim::SaveDeviceConfig({device_}, config, &error)) << error;
  const auto release = directory_.Path() / "release";
  const std::string command =
      "env ORVANTA_UI=tui ORVANTA_DEVICE=" + Quote(device_.string()) +
      " ORVANTA_TEST_SCRIPT=advance,progress:50,wait:" + Quote(release.string()) + " " +
      ScriptedProgram();
  ASSERT_EQ(Tmux("new-session -d -s updater -x 90 -y 30 " + Quote(command)), 0);
  ASSERT_TRUE(WaitForScreen("Operation 1 of 6:")) << Screen();
  // 156 x 129 dialog units: 39 columns and a caption over 16 rows, inside a frame.
  const std::string top = "+" + std::string(39, '-') + "+";
  auto lines = [&] {
    std::vector<std::string> result;
    std::stringstream screen(Screen());
    for (std::string line; std::getline(screen, line);) result.push_back(line);
    return result;
  };
  std::vector<std::string> before = lines();
  ASSERT_GT(before.size(), 18u);
  EXPECT_EQ(before[0].substr(0, top.size()), top);
  EXPECT_EQ(before[18].substr(0, top.size()), top);
  Tmux("resize-window -t updater -x 60 -y 24");
  // Redrawn with the same layout: the first 19 rows are as before (the old screen, cut by the
  // resize, shows until the program has redrawn).
  auto layoutKept = [&] {
    const std::vector<std::string> after = lines();
    if (after.size() != 24) return false;
    for (std::size_t row = 0; row < 19; ++row) {
      if (after[row].substr(0, top.size()) != before[row].substr(0, top.size())) return false;
    }
    return true;
  };
  EXPECT_TRUE(apptest::WaitUntil(layoutKept)) << Screen();
  std::ofstream(release).put('x');
}

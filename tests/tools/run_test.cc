// run and demo: the updater on a device the tool made.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <thread>

#include "tests/test_emulator.h"
#include "tests/tools/tool_runner.h"

namespace orvanta_test {
namespace {

using json = nlohmann::json;

std::vector<json> Transcript(const std::filesystem::path& path) {
  std::vector<json> events;
  std::ifstream input(path);
  std::string line;
  while (std::getline(input, line)) events.push_back(json::parse(line));
  return events;
}

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(seed ^ (i * 13));
  return bytes;
}

class Run : public ToolTest {
 protected:
  // A formatted device with a signed package on its card.
  std::filesystem::path PackagedDevice() {
    const auto device = MakeDevice("device");
    for (const char* name : {"boot", "sdisk", "ea1", "ea2", "eb"})
      WriteBytes(Path(name), Pattern(name[0] == 'b' ? 100000 : 300000, name[1]));
    const ToolResult result =
        RunTool({"package", "--keys", KeyDirectory().string(), "--card",
                 (device / "SD Card").string(), "--bootloader", Path("boot").string(), "--sdisk",
                 Path("sdisk").string(), "--image-ea1", Path("ea1").string(), "--image-ea2",
                 Path("ea2").string(), "--image-eb", Path("eb").string()});
    EXPECT_EQ(result.status, 0) << result.err;
    return device;
  }
};

TEST_F(Run, PackageThenHeadlessOkEndsInARestart) {
  const auto device = PackagedDevice();
  const ToolResult result = RunTool({"run", device.string(), "--headless", "--answers", "ok",
                                     "--transcript", Path("transcript.jsonl").string()});
  EXPECT_EQ(result.status, 0) << result.err;
  const std::vector<json> events = Transcript(Path("transcript.jsonl"));
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[events.size() - 2]["event"], "restart");
  EXPECT_EQ(events.back(), json({{"event", "exit"}, {"status", 0}}));
  const json report = Show(device);
  EXPECT_EQ(report["update_request"], 1);
  // The bootloader is in flash from block 0.
  const auto nor = ReadBytes(device / "nor.bin");
  const auto boot = ReadBytes(Path("boot"));
  EXPECT_TRUE(std::equal(boot.begin(), boot.end(), nor.begin()));
}

TEST_F(Run, CancelledConfirmationIsACancelNotAFailure) {
  const auto device = PackagedDevice();
  const ToolResult result = RunTool({"run", device.string(), "--headless", "--answers", "cancel",
                                     "--transcript", Path("transcript.jsonl").string()});
  EXPECT_EQ(result.status, 4);
  EXPECT_EQ(Transcript(Path("transcript.jsonl")).back(), json({{"event", "exit"}, {"status", 1}}));
  EXPECT_TRUE(Show(device)["update_request"].is_null());
}

TEST_F(Run, TranscriptDefaultsToStandardOutputAndEndsWithTheSummary) {
  const auto device = PackagedDevice();
  const ToolResult result = RunTool({"run", device.string(), "--headless", "--answers", "ok"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.out.find("{\"event\":\"restart\"}"), std::string::npos) << result.out;
  const std::string last =
      "The device restarted, with the update request stored (record 37 = "
      "1); exit status 0\n";
  ASSERT_GE(result.out.size(), last.size());
  EXPECT_EQ(result.out.substr(result.out.size() - last.size()), last) << result.out;
}

TEST_F(Run, PowerCutIsExitStatus137AndSaysSo) {
  const auto device = PackagedDevice();
  ASSERT_EQ(RunTool({"device", "fault", device.string(), "--power-cut-after", "40"}).status, 0);
  const ToolResult result =
      RunTool({"run", device.string(), "--headless", "--answers", "ok", "--json"});
  EXPECT_EQ(result.status, 137) << result.err;
  const std::string last = result.out.substr(result.out.rfind('\n', result.out.size() - 2) + 1);
  EXPECT_EQ(json::parse(last)["outcome"], "power_cut") << result.out;
}

TEST_F(Run, BadArguments) {
  ToolResult result = RunTool({"run", Path("nowhere").string(), "--headless"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(LineCount(result.err), 1) << result.err;
  EXPECT_NE(result.err.find("nowhere"), std::string::npos) << result.err;
  const auto device = MakeDevice("device");
  // A bad answer token is the updater's to refuse: the platform cannot start (status 2).
  result = RunTool({"run", device.string(), "--headless", "--answers", "maybe"});
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("maybe"), std::string::npos) << result.err;
}

// A write of the Semi-Permanent Settings block cut at its trailer magic leaves a block that no
// longer reads, whatever its chunk codes say: the part number is lost with it (the single copy's
// known limit). The run stops with message 134 and changes nothing; once a technician stores the
// part number again, the next run completes the update.
TEST_F(Run, WriteCutAtTheTrailerMagicIsRecoveredByStoringThePartNumberAgain) {
  constexpr std::uint64_t kTrailerMagic = 8 * 8192 + (65 - 8) * 32768 + 15 + 4096 + 48;
  const auto device = PackagedDevice();
  auto nor = ReadBytes(device / "nor.bin");
  std::fill_n(nor.begin() + kTrailerMagic, 4, 0xFF);
  WriteBytes(device / "nor.bin", nor);
  ToolResult result = RunTool({"run", device.string(), "--headless", "--answers", "ok"});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.out.find("\"id\":134"), std::string::npos) << result.out;
  EXPECT_EQ(ReadBytes(device / "nor.bin"), nor);

  result = RunTool(
      {"device", "set", device.string(), "--part-number", "52614-01", "--overwrite-unreadable"});
  ASSERT_EQ(result.status, 0) << result.err;
  result = RunTool({"run", device.string(), "--headless", "--answers", "ok"});
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_EQ(Show(device)["update_request"], 1);
}

// `orvanta run DEVICE --headless --answers ok` started as a shell starts a bare command name
// (argv[0] "orvanta", found through `path`) from `directory`, in a mount namespace of its own
// whose /proc is an empty file system, as in a container or chroot without /proc. Status 77
// when this host cannot hide /proc (no privilege for a mount namespace).
ToolResult RunWithoutProc(const std::filesystem::path& directory, const std::string& path,
                          const std::filesystem::path& device) {
  const std::filesystem::path out = directory.parent_path() / "out.txt";
  const std::filesystem::path err = directory.parent_path() / "err.txt";
  const pid_t child = fork();
  if (child == 0) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount("none", "/proc", "tmpfs", 0, nullptr) != 0 || chdir(directory.c_str()) != 0)
      _exit(77);
    dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
    dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
    dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
    setenv("PATH", path.c_str(), 1);
    execl(ORVANTA_TOOL, "orvanta", "run", device.c_str(), "--headless", "--answers", "ok",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ToolResult result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  const auto text = [](const std::filesystem::path& file) {
    const std::vector<std::uint8_t> bytes =
        std::filesystem::exists(file) ? ReadBytes(file) : std::vector<std::uint8_t>();
    return std::string(bytes.begin(), bytes.end());
  };
  result.out = text(out);
  result.err = text(err);
  return result;
}

// Without /proc the tool finds itself through argv[0] and PATH and runs its own updater; when
// that does not tell either, it refuses. An OrvantaUpdate (and an orvanta) standing in the
// current directory is never started.
TEST_F(Run, WithoutProcTheToolRunsOnlyItsOwnUpdater) {
  if (test_emulator::kEmulator[0] != '\0') GTEST_SKIP() << "the emulator answers /proc/self/exe";
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the sanitizers' run-time reads its options and threads from /proc";
#endif
  const auto device = PackagedDevice();
  const std::filesystem::path here = Path("here");
  std::filesystem::create_directories(here);
  const std::string impostor = "#!/bin/sh\ntouch " + (here / "impostor-ran").string() + "\n";
  for (const char* name : {"OrvantaUpdate", "orvanta"}) {
    WriteBytes(here / name, std::vector<std::uint8_t>(impostor.begin(), impostor.end()));
    std::filesystem::permissions(here / name, std::filesystem::perms::owner_all);
  }
  const std::string toolDirectory = std::filesystem::path(ORVANTA_TOOL).parent_path().string();
  ToolResult result = RunWithoutProc(here, "/nonexistent::.", device);
  if (result.status == 77) GTEST_SKIP() << "cannot hide /proc here";
  EXPECT_EQ(result.status, 2) << result.out;
  EXPECT_EQ(LineCount(result.err), 1) << result.err;
  EXPECT_NE(result.err.find("OrvantaUpdate not found"), std::string::npos) << result.err;
  EXPECT_TRUE(Show(device)["update_request"].is_null());

  result = RunWithoutProc(here, "/nonexistent:" + toolDirectory, device);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(Show(device)["update_request"], 1);
  EXPECT_FALSE(std::filesystem::exists(here / "impostor-ran"));
}

TEST_F(Run, HeadlessRunWithATranscriptFilePrintsTheMessagesAndTheFailure) {
  const auto device = PackagedDevice();
  const ToolResult result = RunTool({"run", device.string(), "--headless", "--answers", "cancel",
                                     "--transcript", Path("transcript.jsonl").string()});
  EXPECT_EQ(result.status, 4);
  EXPECT_NE(result.out.find("message 132: \"Performing this upgrade"), std::string::npos)
      << result.out;
  EXPECT_NE(
      result.out.find("The update was cancelled: \"Failed to complete upgrade.\"; exit status 4"),
      std::string::npos)
      << result.out;
}

TEST_F(Run, TerminalRunSaysHowItEndedAfterTheUiCloses) {
  if (std::system("command -v tmux >/dev/null 2>&1") != 0) GTEST_SKIP() << "tmux is missing";
  const auto device = PackagedDevice();
  const std::string tmux = "tmux -L orvanta-run-test-" + std::to_string(getpid()) + " ";
  auto screen = [&tmux] {
    std::string text;
    if (FILE* pipe = popen((tmux + "capture-pane -p -t run").c_str(), "r")) {
      char buffer[4096];
      for (std::size_t read; (read = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        text.append(buffer, read);
      pclose(pipe);
    }
    return text;
  };
  auto waitFor = [&screen](const std::string& text) {
    for (int i = 0; i < 600; ++i) {
      if (screen().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  };
  // A cancelled run (which leaves the device as it was), then, after a key, one confirmed.
  // Under an emulator both the tool and the updater it starts run behind it.
  std::string emulator;
  if (test_emulator::kEmulator[0] != '\0') {
    emulator = "ORVANTA_EMULATOR=" + ShellQuote(test_emulator::kEmulator) + " " +
               ShellQuote(test_emulator::kEmulator) + " ";
  }
  const std::string run =
      emulator + ShellQuote(ORVANTA_TOOL) + " run " + ShellQuote(device.string());
  const std::string command = run + "; echo \"first exit $?\"; read line; clear; " + run +
                              "; echo \"tool exit $?\"; sleep 600";
  ASSERT_EQ(
      std::system((tmux + "new-session -d -s run -x 100 -y 30 " + ShellQuote(command)).c_str()), 0);
  EXPECT_TRUE(waitFor("Performing this upgrade")) << screen();
  std::system((tmux + "send-keys -t run Escape").c_str());
  EXPECT_TRUE(waitFor("Failed to complete upgrade.")) << screen();
  std::system((tmux + "send-keys -t run Enter").c_str());
  EXPECT_TRUE(waitFor("first exit 4")) << screen();
  const std::string failed = screen();
  EXPECT_NE(failed.find("message 132: \"Performing this upgrade"), std::string::npos) << failed;
  EXPECT_NE(failed.find("The update was cancelled: \"Failed to complete upgrade.\"; exit status 4"),
            std::string::npos)
      << failed;
  std::system((tmux + "send-keys -t run Enter").c_str());
  EXPECT_TRUE(waitFor("Performing this upgrade")) << screen();
  std::system((tmux + "send-keys -t run Enter").c_str());
  EXPECT_TRUE(waitFor("tool exit 0")) << screen();
  EXPECT_NE(screen().find("The device restarted, with the update request stored (record 37 = 1); "
                          "exit status 0"),
            std::string::npos)
      << screen();
  std::system((tmux + "kill-server 2>/dev/null").c_str());
}

using Demo = ToolTest;

TEST_F(Demo, NotOnATerminalEndsWithTheUpdateRequest) {
  const auto device = Path("demo");
  const ToolResult result = RunTool({"demo", device.string()});
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_NE(result.out.find("update request (record 37): none -> 1"), std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("holds the new bootloader: yes"), std::string::npos) << result.out;
  const json report = Show(device);
  EXPECT_EQ(report["update_request"], 1);
  EXPECT_EQ(report["variant"], 1);
  EXPECT_TRUE(std::filesystem::exists(device / "SD Card" / "syaffs.bc"));
  // The device stays where the demo says, with nothing of the demo's but its transcript.
  EXPECT_NE(result.out.find("The device stays in " + device.string()), std::string::npos)
      << result.out;
  std::set<std::string> entries;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(device / "demo"))
    entries.insert(entry.path().filename().string());
  EXPECT_EQ(entries, std::set<std::string>{"transcript.jsonl"});
}

TEST_F(Demo, RefusesADirectoryInUse) {
  std::filesystem::create_directories(Path("demo"));
  WriteBytes(Path("demo") / "keep", {'k'});
  const ToolResult result = RunTool({"demo", Path("demo").string()});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.out, "");  // refused before the first step
  EXPECT_EQ(ReadBytes(Path("demo") / "keep"), std::vector<std::uint8_t>{'k'});
}

}  // namespace
}  // namespace orvanta_test

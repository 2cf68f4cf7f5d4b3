#include "tests/tools/tool_runner.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include "tests/test_emulator.h"
#include "tools/orvanta/shell_word.h"

namespace orvanta_test {
namespace {

std::string ReadText(const std::filesystem::path& path) {
  std::ifstream input(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(input), std::istreambuf_iterator<char>());
}

}  // namespace

ToolResult RunTool(const std::vector<std::string>& arguments,
                   const std::vector<std::pair<std::string, std::string>>& environment) {
  char outTemplate[] = "/tmp/orvanta-tool-out-XXXXXX";
  char errTemplate[] = "/tmp/orvanta-tool-err-XXXXXX";
  const int outFile = mkstemp(outTemplate);
  const int errFile = mkstemp(errTemplate);
  ToolResult result;
  if (outFile < 0 || errFile < 0) return result;
  const pid_t child = fork();
  if (child == 0) {
    const int input = open("/dev/null", O_RDONLY);
    dup2(input, STDIN_FILENO);
    dup2(outFile, STDOUT_FILENO);
    dup2(errFile, STDERR_FILENO);
    test_emulator::PassToChild();  // run and demo start OrvantaUpdate through it too
    for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
    std::vector<std::string> command = {ORVANTA_TOOL};
    command.insert(command.end(), arguments.begin(), arguments.end());
    command = test_emulator::Command(std::move(command));
    const std::vector<char*> argv = test_emulator::Arguments(command);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
  }
  close(outFile);
  close(errFile);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = ReadText(outTemplate);
  result.err = ReadText(errTemplate);
  std::filesystem::remove(outTemplate);
  std::filesystem::remove(errTemplate);
  return result;
}

std::string ShellQuote(const std::string& text) { return orvanta::BashQuote(text); }

int LineCount(const std::string& text) {
  int lines = 0;
  for (const char character : text) lines += character == '\n';
  if (!text.empty() && text.back() != '\n') ++lines;
  return lines;
}

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path) {
  std::ifstream input(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(input),
                                   std::istreambuf_iterator<char>());
}

void WriteBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream output(path, std::ios::binary | std::ios::trunc);
  output.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

std::filesystem::path KeyDirectory() {
  return ORVANTA_TEST_KEY_DIR;
}

void ToolTest::SetUp() {
  std::string pattern = (std::filesystem::temp_directory_path() / "orvanta-tools-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  root_ = pattern;
}

void ToolTest::TearDown() {
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

nlohmann::json ToolTest::Show(const std::filesystem::path& device) {
  const ToolResult result = RunTool({"device", "show", device.string(), "--json"});
  EXPECT_EQ(result.status, 0) << result.err;
  const nlohmann::json report = nlohmann::json::parse(result.out, nullptr, false);
  EXPECT_TRUE(report.is_object()) << result.out;
  return report;
}

std::filesystem::path ToolTest::MakeDevice(const std::string& name,
                                           const std::vector<std::string>& extra) {
  const std::filesystem::path device = Path(name);
  std::vector<std::string> arguments = {"device", "create", device.string()};
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  const ToolResult result = RunTool(arguments);
  EXPECT_EQ(result.status, 0) << result.err;
  return device;
}

}  // namespace orvanta_test

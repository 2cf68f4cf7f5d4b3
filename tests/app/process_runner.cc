#include "process_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/test_emulator.h"

extern char** environ;

namespace apptest {

pid_t StartProgram(const std::string& program, const Environment& extra,
                   const std::filesystem::path& outputFile,
                   const std::filesystem::path& errorFile) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    const std::string name = text.substr(0, text.find('='));
    if (extra.count(name) == 0) environment.push_back(text);
  }
  for (const auto& [name, value] : extra) environment.push_back(name + "=" + value);
  std::vector<char*> environmentPointers;
  for (std::string& text : environment) environmentPointers.push_back(text.data());
  environmentPointers.push_back(nullptr);

  const pid_t child = fork();
  if (child == 0) {
    const std::string out = outputFile.empty() ? "/dev/null" : outputFile.string();
    const std::string err = errorFile.empty() ? "/dev/null" : errorFile.string();
    const int outDescriptor = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int errDescriptor = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int inDescriptor = open("/dev/null", O_RDONLY);
    dup2(inDescriptor, STDIN_FILENO);
    dup2(outDescriptor, STDOUT_FILENO);
    dup2(errDescriptor, STDERR_FILENO);
    std::vector<std::string> command = test_emulator::Command({program});
    const std::vector<char*> arguments = test_emulator::Arguments(command);
    execve(arguments[0], arguments.data(), environmentPointers.data());
    _exit(127);
  }
  return child;
}

int WaitForProgram(pid_t child, std::chrono::seconds limit) {
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RunProgram(const std::string& program, const Environment& extra,
               const std::filesystem::path& outputFile, const std::filesystem::path& errorFile) {
  return WaitForProgram(StartProgram(program, extra, outputFile, errorFile));
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::string ReadFile(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> ReadLines(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TemporaryDirectory::TemporaryDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "orvanta-app-XXXXXX").string();
  path_ = mkdtemp(pattern.data());
}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code error;
  std::filesystem::remove_all(path_, error);
}

}  // namespace apptest

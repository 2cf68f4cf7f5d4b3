// Runs a program of the build as a child process with extra environment variables.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace apptest {

using Environment = std::map<std::string, std::string>;

// Starts `program` with the environment of this process plus `extra`; standard output and
// error go to the given files (empty: /dev/null). Returns the child's pid.
pid_t StartProgram(const std::string& program, const Environment& extra,
                   const std::filesystem::path& outputFile = {},
                   const std::filesystem::path& errorFile = {});
// Waits for the child to end (generously) and returns its exit status, or -1 when it did
// not end in time (it is then killed) or died of a signal.
int WaitForProgram(pid_t child, std::chrono::seconds limit = std::chrono::seconds(60));
int RunProgram(const std::string& program, const Environment& extra,
               const std::filesystem::path& outputFile = {},
               const std::filesystem::path& errorFile = {});

// Polls `condition` every 20 ms until it holds or `limit` passes.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::seconds limit = std::chrono::seconds(30));

std::string ReadFile(const std::filesystem::path& file);
std::vector<std::string> ReadLines(const std::filesystem::path& file);

// A fresh empty directory under the system's temporary directory, removed on destruction.
class TemporaryDirectory {
 public:
  TemporaryDirectory();
  ~TemporaryDirectory();
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace apptest

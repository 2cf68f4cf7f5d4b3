// Runs the built orvanta tool as a child process, for the tool tests, and gives each test a
// temporary directory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace orvanta_test {

struct ToolResult {
  int status = -1;  // the exit status; 128 + signal for a child that was killed
  std::string out;
  std::string err;
};

// Runs orvanta with `arguments`, standard input from /dev/null and standard output and error
// captured (so neither is a terminal), with `environment` added to this process's own.
ToolResult RunTool(const std::vector<std::string>& arguments,
                   const std::vector<std::pair<std::string, std::string>>& environment = {});

// The text in single quotes for a POSIX shell.
std::string ShellQuote(const std::string& text);

// The number of lines in `text` (a last line without a newline counts).
int LineCount(const std::string& text);

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path);
void WriteBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);

// The key directory the updater under test was built with (private halves included).
std::filesystem::path KeyDirectory();

// A fresh directory per test, removed afterwards.
class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::filesystem::path Path(const std::string& name) const { return root_ / name; }

  // `device show DIR --json`, parsed; fails the test when the command fails.
  nlohmann::json Show(const std::filesystem::path& device);
  // Creates a formatted device with the extra arguments; fails the test on failure.
  std::filesystem::path MakeDevice(const std::string& name,
                                   const std::vector<std::string>& extra = {});

  std::filesystem::path root_;
};

}  // namespace orvanta_test

#include "neighbour_process.h"

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>
#include <utility>

#include "tests/test_emulator.h"

extern char** environ;

namespace scenario {
namespace {

std::string NeighbourProgram() {
  if (const char* program = std::getenv("ORVANTA_NEIGHBOUR_PROGRAM")) {
    return program;
  }
  return ORVANTA_NEIGHBOUR_PROGRAM;
}

}  // namespace

Neighbour::Neighbour(const Bench& bench, std::vector<std::string> arguments)
    : device_(bench.Device().Paths().root),
      report_(device_.string() + ".neighbour" + std::to_string(count_++)) {
  std::vector<std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) variables.emplace_back(*entry);
  std::vector<std::string> command;
  if (UpdaterIsWindows()) {
    // The launcher runs the program on the device's drive.
    variables.push_back("ORVANTA_DEVICE=" + device_.string());
    arguments.insert(arguments.begin(), {UpdaterProgram(), NeighbourProgram(), "."});
    command = std::move(arguments);
  } else {
    arguments.insert(arguments.begin(), {NeighbourProgram(), device_.string()});
    command = test_emulator::Command(std::move(arguments));
  }
  pid_ = SpawnGroup(std::move(command), std::move(variables), report_);
}

Neighbour::~Neighbour() {
  if (pid_ > 0) {
    KillGroup(pid_);
    waitpid(pid_, nullptr, 0);
  }
  std::filesystem::remove(report_);
}

std::string Neighbour::Stop() {
  std::ofstream(device_ / "neighbour.stop").flush();
  for (int i = 0; i < 3000 && pid_ > 0; ++i) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
    else std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return Report();
}

std::string Neighbour::Report() const {
  std::ifstream stream(report_);
  return std::string((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
}

bool Neighbour::WaitForReport(const std::string& text, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (Report().find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace scenario

#include "neighbour_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
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
  const std::string program = NeighbourProgram();
  arguments.insert(arguments.begin(), {program, device_.string()});
  std::vector<std::string> command = test_emulator::Command(std::move(arguments));
  std::vector<char*> argv = test_emulator::Arguments(command);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, report_.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int result = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (result != 0) throw std::runtime_error("cannot start " + program);
}

Neighbour::~Neighbour() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
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
  std::ifstream stream(report_);
  return std::string((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
}

}  // namespace scenario

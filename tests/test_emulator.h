// Programs of this build that a test starts run through the emulator that runs the tests: CMake's
// cross-compiling emulator (qemu-arm for the arm preset, so that no binfmt_misc registration is
// needed), none for a native build.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

namespace test_emulator {

// The emulator's path, empty for a native build.
inline constexpr const char* kEmulator = ORVANTA_EMULATOR;

// `command` (a program of this build and its arguments) as it is to be started: behind the
// emulator when there is one. The result's first element is the program to execute.
inline std::vector<std::string> Command(std::vector<std::string> command) {
  if (kEmulator[0] != '\0') command.insert(command.begin(), kEmulator);
  return command;
}

// `command` as the argv array of execv and posix_spawn; valid while `command` lives.
inline std::vector<char*> Arguments(std::vector<std::string>& command) {
  std::vector<char*> arguments;
  for (std::string& argument : command) arguments.push_back(argument.data());
  arguments.push_back(nullptr);
  return arguments;
}

// Sets ORVANTA_EMULATOR for a started program that starts programs of this build itself (the
// orvanta tool's run and demo); call in the child before the exec.
inline void PassToChild() {
  if (kEmulator[0] != '\0') setenv("ORVANTA_EMULATOR", kEmulator, 1);
}

}  // namespace test_emulator

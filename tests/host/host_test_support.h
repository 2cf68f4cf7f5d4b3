// Small helpers of the host platform tests: a small flash for devices that never open it,
// whole files as text, and a child process to talk to. The device itself is
// testsupport/temporary_device.h.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "sim/device.h"

namespace host_test {

// A four-block part: enough for the tests that work on the card, the mutexes and the
// environment, and quick to create.
sim::DeviceConfig SmallFlash();

std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& content);

// A child process that runs `body` (which reports to the parent through `Child::Send`) and
// ends with _exit(status returned by body). The parent talks to it with Send/Receive, one
// byte at a time.
class Child {
 public:
  explicit Child(const std::function<int(Child&)>& body);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }
  // From either side: sends one byte / waits for one byte (false when the other side ended).
  bool Send(char byte);
  bool Receive(char* byte);
  // Kills the child with SIGKILL and reaps it.
  void Kill();
  // Waits for the child to end; its exit status, or -1 when it did not exit normally.
  int Join();

 private:
  pid_t pid_ = -1;
  int toChild_[2] = {-1, -1};
  int toParent_[2] = {-1, -1};
  bool inChild_ = false;
  bool reaped_ = false;
};

}  // namespace host_test

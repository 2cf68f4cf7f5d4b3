// Temporary devices and small helpers for the host platform tests.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "sim/device.h"

namespace host_test {

// A fresh device directory under the system's temporary directory, the process's device
// ($ORVANTA_DEVICE) while it lives, removed on destruction.
class TemporaryDevice {
 public:
  explicit TemporaryDevice(const sim::DeviceConfig& config = SmallFlash());
  ~TemporaryDevice();
  TemporaryDevice(const TemporaryDevice&) = delete;
  TemporaryDevice& operator=(const TemporaryDevice&) = delete;

  const sim::DevicePaths& Paths() const { return paths_; }
  std::filesystem::path Card(const std::string& relative) const { return paths_.Card() / relative; }
  void WriteCard(const std::string& relative, const std::string& content) const;
  std::string ReadCard(const std::string& relative) const;
  void SetConfig(const sim::DeviceConfig& config) const;
  // Makes this the process's device again (after another device was made current).
  void MakeCurrent() const;

  static sim::DeviceConfig SmallFlash();

 private:
  sim::DevicePaths paths_;
};

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

#include "host_test_support.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace host_test {

sim::DeviceConfig SmallFlash() {
  sim::DeviceConfig config;
  config.regions = {{4, 0x2000}};
  return config;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream stream(path, std::ios::binary);
  std::ostringstream content;
  content << stream.rdbuf();
  return content.str();
}

void WriteFile(const std::filesystem::path& path, const std::string& content) {
  std::ofstream stream(path, std::ios::binary | std::ios::trunc);
  stream << content;
}

Child::Child(const std::function<int(Child&)>& body) {
  if (::pipe(toChild_) != 0 || ::pipe(toParent_) != 0) return;
  pid_ = ::fork();
  if (pid_ == 0) {
    inChild_ = true;
    ::close(toChild_[1]);
    ::close(toParent_[0]);
    ::_exit(body(*this));
  }
  ::close(toChild_[0]);
  ::close(toParent_[1]);
}

Child::~Child() {
  if (pid_ > 0 && !reaped_) Kill();
  for (int descriptor : {toChild_[1], toParent_[0]})
    if (descriptor >= 0) ::close(descriptor);
}

bool Child::Send(char byte) {
  const int descriptor = inChild_ ? toParent_[1] : toChild_[1];
  return ::write(descriptor, &byte, 1) == 1;
}

bool Child::Receive(char* byte) {
  const int descriptor = inChild_ ? toChild_[0] : toParent_[0];
  ssize_t result = 0;
  do {
    result = ::read(descriptor, byte, 1);
  } while (result < 0 && errno == EINTR);
  return result == 1;
}

void Child::Kill() {
  if (pid_ <= 0 || reaped_) return;
  ::kill(pid_, SIGKILL);
  Join();
}

int Child::Join() {
  int status = 0;
  if (reaped_) return -1;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  reaped_ = true;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace host_test

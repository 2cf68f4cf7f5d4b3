// The card side of the temporary device: portable code, which the Windows build's card-helper
// tests also use, with a device that is only its card (tests/platform/windows_card_device.cc).
#include "testsupport/temporary_device.h"

namespace testsupport {

void TemporaryDevice::WriteCard(const std::string& relative, const Bytes& content) const {
  std::filesystem::create_directories(Card(relative).parent_path());
  WriteFile(Card(relative), content);
}

void TemporaryDevice::WriteCard(const std::string& relative, std::string_view text) const {
  std::filesystem::create_directories(Card(relative).parent_path());
  WriteFile(Card(relative), text);
}

Bytes TemporaryDevice::ReadCard(const std::string& relative) const {
  return ReadFile(Card(relative));
}

std::string TemporaryDevice::ReadCardText(const std::string& relative) const {
  const Bytes content = ReadCard(relative);
  return std::string(content.begin(), content.end());
}

}  // namespace testsupport

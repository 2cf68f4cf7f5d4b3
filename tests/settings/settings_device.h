// The simulated device that every settings test of this process works on (default geometry),
// made by main before the first flash open and removed after the last test, and the flash
// driver's answers the tests need.
#pragma once

#include "platform/types.h"
#include "testsupport/temporary_device.h"

namespace settings_test {

void CreateDevice();
void RemoveDevice();
const testsupport::TemporaryDevice& Device();

// The first block of a partition type, found by a short flash open of its own.
DWORD FirstBlockOfType(DWORD type);

// Opens the flash driver for the scope (under NOR_SYN_OBJ's usual nesting rules).
class FlashSession {
 public:
  FlashSession();
  ~FlashSession();
  FlashSession(const FlashSession&) = delete;
  FlashSession& operator=(const FlashSession&) = delete;
  bool opened() const { return opened_; }

 private:
  bool opened_;
};

}  // namespace settings_test

#include "settings_device.h"

#include <gtest/gtest.h>

#include <memory>

#include "flash/nor_flash.h"

namespace settings_test {
namespace {

std::unique_ptr<testsupport::TemporaryDevice> device;

}  // namespace

void CreateDevice() {
  device = std::make_unique<testsupport::TemporaryDevice>();
}

void RemoveDevice() {
  device.reset();
}

const testsupport::TemporaryDevice& Device() {
  return *device;
}

FlashSession::FlashSession() : opened_(NorFlash::Open() != 0) {}
FlashSession::~FlashSession() {
  NorFlash::Close();
}

DWORD FirstBlockOfType(DWORD type) {
  FlashSession flash;
  EXPECT_TRUE(flash.opened());
  return static_cast<DWORD>(NorFlash::FirstBlockOfType(type));
}

}  // namespace settings_test

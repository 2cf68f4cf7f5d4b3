// The settings tests run on one simulated device per process, created before the first flash
// open. Started with ORVANTA_SETTINGS_WORKER set, the program is instead one of the worker
// processes of the cross-process store test (see settings_store_process_test.cc).
#include <gtest/gtest.h>
#include <stdlib.h>

#include "settings_device.h"

int RunStoreWorker(const char* arguments);

int main(int argc, char** argv) {
  if (const char* worker = getenv("ORVANTA_SETTINGS_WORKER")) return RunStoreWorker(worker);
  testing::InitGoogleTest(&argc, argv);
  settings_test::CreateDevice();
  const int result = RUN_ALL_TESTS();
  settings_test::RemoveDevice();
  return result;
}

#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "platform/core_library.h"

namespace {

struct Gate {
  std::promise<void> open;
  std::shared_future<void> opened = open.get_future().share();
  std::atomic<int> runs{0};
};

DWORD WaitAtGate(LPVOID parameter) {
  auto* gate = static_cast<Gate*>(parameter);
  gate->opened.wait();
  ++gate->runs;
  return 7;
}

TEST(Threads, HandleIsSignalledWhenTheThreadEnds) {
  Gate gate;
  DWORD id = 0;
  const HANDLE thread = CreateThread(nullptr, 0, WaitAtGate, &gate, 0, &id);
  ASSERT_NE(thread, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(thread, 20), WAIT_TIMEOUT);
  gate.open.set_value();
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(gate.runs.load(), 1);
  // Stays signalled.
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(thread, 1000), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(thread));
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_FAILED);
}

TEST(Threads, ClosingTheHandleLeavesTheThreadRunning) {
  Gate gate;
  const HANDLE thread = CreateThread(nullptr, 0, WaitAtGate, &gate, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  const HANDLE other = CreateThread(nullptr, 4096, WaitAtGate, &gate, 0, nullptr);
  ASSERT_NE(other, nullptr);
  EXPECT_TRUE(CloseHandle(thread));
  gate.open.set_value();
  EXPECT_EQ(WaitForSingleObject(other, INFINITE), WAIT_OBJECT_0);
  CloseHandle(other);
  while (gate.runs.load() < 2) Sleep(1);
}

TEST(Threads, RefusesMissingRoutineAndUnsupportedFlags) {
  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  Gate gate;
  EXPECT_EQ(CreateThread(nullptr, 0, WaitAtGate, &gate, 0x4 /* suspended */, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(Threads, SleepZeroReturns) {
  Sleep(0);
}

}  // namespace

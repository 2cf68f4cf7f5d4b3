// Threads and zero-time waits as the update dialog uses them: the worker starts at once with its
// parameter, and each timer tick polls its handle without waiting.
#include <atomic>

#include "conformance.h"

namespace {

using conformance::Card;

struct Worker {
  std::atomic<bool> release{false};
  std::atomic<LPVOID> seen{nullptr};

  static DWORD WINAPI Run(LPVOID parameter) {
    auto* worker = static_cast<Worker*>(parameter);
    worker->seen = parameter;
    while (!worker->release) Sleep(1);
    return 0;
  }
};

const conformance::Case kThreadCases[] = {
    {"RunningThreadPollsAsTimeoutAndEndedThreadAsSignalled",
     [](Card&) {
       Worker worker;
       const HANDLE thread = CreateThread(nullptr, 0, Worker::Run, &worker, 0, nullptr);
       ASSERT_NE(thread, nullptr);
       EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
       worker.release = true;
       EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
       EXPECT_EQ(worker.seen.load(), &worker) << "the routine gets its parameter";
       EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0) << "and stays signalled";
       EXPECT_TRUE(CloseHandle(thread));
     }},
    {"ClosedHandleFailsAWait",
     [](Card&) {
       Worker worker;
       worker.release = true;
       const HANDLE thread = CreateThread(nullptr, 0, Worker::Run, &worker, 0, nullptr);
       ASSERT_NE(thread, nullptr);
       WaitForSingleObject(thread, INFINITE);
       EXPECT_TRUE(CloseHandle(thread));
       EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_FAILED);
       EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
     }},
};

}  // namespace

PLATFORM_CONFORMANCE_CASES(Threads, kThreadCases);

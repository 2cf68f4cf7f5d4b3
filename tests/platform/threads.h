// Running a step of a conformance case on a thread of the platform.
#pragma once

#include <functional>

#include "conformance.h"

namespace conformance {

// Runs `body` on a new platform thread and waits for it to end.
inline void OnOtherThread(const std::function<void()>& body) {
  struct Start {
    static DWORD WINAPI Run(LPVOID data) {
      (*static_cast<const std::function<void()>*>(data))();
      return 0;
    }
  };
  const HANDLE thread =
      CreateThread(nullptr, 0, Start::Run, const_cast<std::function<void()>*>(&body), 0, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  CloseHandle(thread);
}

}  // namespace conformance

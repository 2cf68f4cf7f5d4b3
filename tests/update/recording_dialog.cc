#include "recording_dialog.h"

namespace test {

LRESULT RecordingWindow::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  const WindowMessage recorded{message, wParam, lParam,
                               dialog_ != nullptr ? dialog_->operations : 0};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(recorded);
  }
  if (onMessage) onMessage(recorded);
  return 0;
}

std::vector<WindowMessage> RecordingWindow::Messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

std::vector<WPARAM> RecordingWindow::Positions() const {
  std::vector<WPARAM> positions;
  for (const WindowMessage& message : Messages()) {
    if (message.message == PBM_SETPOS) positions.push_back(message.wParam);
  }
  return positions;
}

}  // namespace test

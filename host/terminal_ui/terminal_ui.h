// The terminal front end (ncurses): draws the device's screen with the dialog and its message
// boxes, and takes the keys a user of the device would press.
//
//   Enter   OK: the dialog's caption OK button, or the focused button of a message box
//   Escape  Cancel (a box with only OK answers OK)
//   Tab     moves the focus between a message box's buttons
//   p       plugs or unplugs the simulated AC line (shown on the status line below the screen)
//
// On a Pocket PC or Smartphone shell the dialog fills the device screen; otherwise it has the
// template's size. Controls sit where the template puts them, a dialog unit being a quarter of
// a cell horizontally and an eighth vertically; a resized terminal is redrawn with that layout.
// The terminal is taken over when the dialog or a box is first shown, and given back at exit.
// Given a transcript writer, it also records what was shown and answered there, as the headless
// front end does, so a caller can tell what happened after the screen is gone.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "host/dialog_framework/front_end.h"
#include "host/dialog_framework/transcript_writer.h"

namespace host {

class TerminalUi : public FrontEnd {
 public:
  explicit TerminalUi(std::unique_ptr<TranscriptWriter> transcript = nullptr);
  ~TerminalUi() override;

  int InputDescriptor() const override;
  void HandleInput() override;
  int InputPollPeriod() const override;

  void DialogShown(HWND dialog, const DialogView& view) override;
  void ControlChanged(const DialogView& view, WORD controlId) override;
  void DialogResized(const DialogView& view) override;
  void DialogClosed() override;
  void OpenMessageBox(const std::shared_ptr<MessageBoxRequest>& box) override;
  void BroughtToForeground() override;
  void Restarting() override;
  void Exiting(int status) override;

 private:
  struct OpenBox {
    std::shared_ptr<MessageBoxRequest> box;
    int focus = 0;  // 0: OK, 1: Cancel
  };

  bool StartLocked();
  void StopLocked();
  void DrawLocked();
  void DrawDialogLocked(int top, int left, int rows, int columns);
  void DrawBoxLocked(const OpenBox& open, int screenRows, int screenColumns);
  void DrawStatusLocked(int row, int columns);
  void ToggleAcLine();

  const std::unique_ptr<TranscriptWriter> transcript_;  // may be null
  mutable std::mutex mutex_;  // every ncurses call; Restarting comes from the worker
  bool started_ = false;
  bool failed_ = false;
  bool stopped_ = false;
  HWND dialog_ = nullptr;
  std::optional<DialogView> view_;
  std::vector<OpenBox> boxes_;
  std::string powerNote_;
};

}  // namespace host

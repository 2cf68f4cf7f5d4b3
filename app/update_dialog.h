// The update dialog: a fixed warning, the operation counter (string 131) and the
// progress bar, on template 102. Its initialisation starts the worker thread that runs the
// whole update (UpdateProcedure) and a 1000 ms timer; each tick polls the worker with a zero
// time-out, and the first tick that finds it ended stops the timer, shows the failure (string
// 130) and closes the dialog. OK and Cancel are refused while the worker runs.
//
// A worker that could not be created counts as ended: the first tick reports the failure and
// OK or Cancel close the dialog, instead of leaving a dialog that can never close.
#pragma once

#include "app/resources/resource_ids.h"
#include "platform/core_library.h"
#include "platform/dialog_framework.h"
#include "signing/update_dialog_link.h"

class UpdateDialog : public ModalDialog {
 public:
  static constexpr LONG kOperationTotal = 6;
  static constexpr UINT_PTR kTimerId = 1;
  static constexpr UINT kTimerPeriod = 1000;  // ms

  UpdateDialog();
  ~UpdateDialog() override;

  HICON Icon() const { return icon_; }
  // The worker thread; null before initialisation or when it could not be created.
  HANDLE WorkerThread() const { return worker_; }
  HWND ProgressBar() const { return progressBar_.Handle(); }
  HWND CounterLabel() const { return counterLabel_.Handle(); }
  HWND WarningLabel() const { return warningLabel_.Handle(); }

 protected:
  void DoDataExchange(DataExchange* exchange) override;
  BOOL OnInitDialog() override;
  void OnOK() override;
  void OnCancel() override;
  void OnTimer(UINT_PTR timerId) override;
  // The layout stays that of template 102: nothing is rearranged.
  void OnSize(UINT type, int width, int height) override;

  // Creates the worker thread running UpdateProcedure with this dialog (null on failure).
  virtual HANDLE StartWorker();

 private:
  friend void AdvanceOperation(UpdateDialog* dialog);

  bool WorkerEnded() const;

  HICON icon_;
  HANDLE worker_ = nullptr;
  LONG operationCounter_ = 0;
  ProgressControl progressBar_;
  StaticControl counterLabel_;
  StaticControl warningLabel_;
};

// Writes `format` into `buffer` with its first "%d" replaced by `first` and its second by
// `second` ("%%" stands for "%"); further conversions are copied as they stand. Always
// terminates the buffer, truncating when it is too short. Returns the units written.
int FormatCounterText(LPCWSTR format, LONG first, LONG second, LPWSTR buffer, int bufferLength);

#include "app/update_dialog.h"

#include <iterator>

#include "update/update_procedure.h"

namespace {

// The worker thread's start routine: the whole update, then exit code 0.
DWORD WINAPI WorkerStart(LPVOID dialog) {
  UpdateProcedure(static_cast<UpdateDialog*>(dialog));
  return 0;
}

int AppendNumber(LONG value, LPWSTR buffer, int position, int bufferLength) {
  WCHAR digits[12];
  int count = 0;
  // Negative values through their magnitude in 64 bits, so LONG's minimum is not overflowed.
  long long magnitude = value < 0 ? -static_cast<long long>(value) : value;
  do {
    digits[count++] = static_cast<WCHAR>(TEXT('0') + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) digits[count++] = TEXT('-');
  while (count > 0 && position < bufferLength - 1) buffer[position++] = digits[--count];
  return position;
}

}  // namespace

int FormatCounterText(LPCWSTR format, LONG first, LONG second, LPWSTR buffer, int bufferLength) {
  if (buffer == nullptr || bufferLength <= 0) return 0;
  int position = 0;
  int conversions = 0;
  for (LPCWSTR cursor = format;
       cursor != nullptr && *cursor != TEXT('\0') && position < bufferLength - 1; ++cursor) {
    if (cursor[0] == TEXT('%') && cursor[1] == TEXT('%')) {
      buffer[position++] = TEXT('%');
      ++cursor;
    } else if (cursor[0] == TEXT('%') && cursor[1] == TEXT('d') && conversions < 2) {
      position = AppendNumber(conversions == 0 ? first : second, buffer, position, bufferLength);
      ++conversions;
      ++cursor;
    } else {
      buffer[position++] = *cursor;
    }
  }
  buffer[position] = TEXT('\0');
  return position;
}

UpdateDialog::UpdateDialog()
    : ModalDialog(kUpdateDialogTemplateId, nullptr),
      icon_(LoadIconW(AppInstance(), MAKEINTRESOURCEW(kApplicationIconId))) {}

// The worker's handle is not closed: it stays open until the program ends.
UpdateDialog::~UpdateDialog() = default;

void UpdateDialog::DoDataExchange(DataExchange* exchange) {
  ModalDialog::DoDataExchange(exchange);
  BindControl(exchange, kProgressBarId, progressBar_);
  BindControl(exchange, kCounterLabelId, counterLabel_);
  BindControl(exchange, kWarningLabelId, warningLabel_);
}

BOOL UpdateDialog::OnInitDialog() {
  ModalDialog::OnInitDialog();

  WCHAR warning[128];
  LoadStringW(AppInstance(), kDoNotTurnOffText, warning, static_cast<int>(std::size(warning)));
  SetWindowTextW(warningLabel_.Handle(), warning);

  SendMessageW(Handle(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  SendMessageW(Handle(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));

  SendMessageW(progressBar_.Handle(), PBM_SETRANGE, 0, MAKELPARAM(0, 100));
  SendMessageW(progressBar_.Handle(), PBM_SETPOS, 0, 0);

  worker_ = StartWorker();

  SetTimer(Handle(), kTimerId, kTimerPeriod, nullptr);
  return TRUE;
}

HANDLE UpdateDialog::StartWorker() {
  return CreateThread(nullptr, 0, WorkerStart, this, 0, nullptr);
}

bool UpdateDialog::WorkerEnded() const {
  return worker_ == nullptr || WaitForSingleObject(worker_, 0) == WAIT_OBJECT_0;
}

void UpdateDialog::OnTimer(UINT_PTR timerId) {
  if (!WorkerEnded()) {
    KeepDeviceAwake();
    return;
  }
  // The timer stops before the box opens, so the failure is reported exactly once.
  KillTimer(Handle(), timerId);
  AppMessageBox(kUpgradeFailedText, MB_OK);
  OnOK();
}

void UpdateDialog::OnOK() {
  if (WorkerEnded()) ModalDialog::OnOK();
}

void UpdateDialog::OnCancel() {
  if (WorkerEnded()) EndDialog(IDCANCEL);
}

void UpdateDialog::OnSize(UINT /*type*/, int /*width*/, int /*height*/) {}

void AdvanceOperation(UpdateDialog* dialog) {
  if (dialog == nullptr) return;
  ++dialog->operationCounter_;
  WCHAR format[64];
  WCHAR text[64];
  LoadStringW(AppInstance(), kOperationCounterFormat, format, static_cast<int>(std::size(format)));
  FormatCounterText(format, dialog->operationCounter_, UpdateDialog::kOperationTotal, text,
                    static_cast<int>(std::size(text)));
  SetWindowTextW(dialog->counterLabel_.Handle(), text);
}

HWND DialogProgressBar(UpdateDialog* dialog) {
  return dialog != nullptr ? dialog->ProgressBar() : nullptr;
}

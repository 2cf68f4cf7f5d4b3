// The update dialog as the platform draws it: the Windows framework runs template 102 of this
// program's resources (the program's resource script) under the platform's own window manager,
// with a test worker in place of the update procedure. The worker reads the live windows, and
// real message boxes are answered from inside the program by the framework's watcher.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/update_dialog.h"
#include "update/update_procedure.h"
#include "windows/dialog_framework/message_box_watcher.h"

namespace {

using Rectangle = std::array<LONG, 4>;  // left, top, right, bottom

// The worker body of this test program; each test sets it.
std::function<void(UpdateDialog*)> workerBody;

std::wstring TextOf(HWND window) {
  WCHAR text[256];
  return std::wstring(text, static_cast<std::size_t>(GetWindowTextW(window, text, 256)));
}

Rectangle AsRectangle(const RECT& rectangle) {
  return {rectangle.left, rectangle.top, rectangle.right, rectangle.bottom};
}

// Dialog units of `dialog` in pixels.
Rectangle Mapped(HWND dialog, RECT units) {
  MapDialogRect(dialog, &units);
  return AsRectangle(units);
}

// Where `window` lies in the client area of `dialog`, in pixels.
Rectangle PlaceIn(HWND dialog, HWND window) {
  RECT rectangle;
  GetWindowRect(window, &rectangle);
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rectangle), 2);
  return AsRectangle(rectangle);
}

// Waits up to `limit` for `condition`.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > until) return false;
    Sleep(20);
  }
  return true;
}

class WindowsDialogTest : public ::testing::Test {
 protected:
  void TearDown() override { workerBody = nullptr; }

  // Runs the update dialog on this thread until it closes and returns its result. The watcher
  // records every box and clicks `answer(box)`, by default OK.
  INT_PTR Run(const std::function<int(const windows::MessageBoxView&)>& answer = nullptr) {
    windows::MessageBoxWatcher watcher([&](const windows::MessageBoxView& box) {
      std::lock_guard lock(mutex_);
      boxes_.push_back(box);
      return answer ? answer(box) : IDOK;
    });
    UpdateDialog dialog;
    return dialog.DoModal();
  }
  std::vector<windows::MessageBoxView> Boxes() {
    std::lock_guard lock(mutex_);
    return boxes_;
  }

 private:
  std::mutex mutex_;
  std::vector<windows::MessageBoxView> boxes_;
};

}  // namespace

void UpdateProcedure(UpdateDialog* dialog) {
  if (workerBody) workerBody(dialog);
}

namespace {

constexpr UINT kShownStyle = MB_ICONEXCLAMATION | MB_SETFOREGROUND;

TEST_F(WindowsDialogTest, TheWindowIsTemplate102WithItsControlsInCreationOrder) {
  struct Seen {
    int id;
    std::wstring className;
    Rectangle place;
    Rectangle expected;
    bool bound;
  };
  std::wstring title;
  std::vector<Seen> controls;
  Rectangle client{};
  Rectangle templateSize{};
  workerBody = [&](UpdateDialog* dialog) {
    HWND window = dialog->Handle();
    title = TextOf(window);
    const std::pair<int, RECT> units[] = {{1003, {7, 7, 7 + 142, 7 + 27}},
                                          {1001, {7, 62, 7 + 142, 62 + 10}},
                                          {1002, {7, 46, 7 + 102, 46 + 11}}};
    const HWND bound[] = {dialog->WarningLabel(), dialog->ProgressBar(), dialog->CounterLabel()};
    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
      WCHAR className[64];
      GetClassNameW(child, className, 64);
      const std::size_t index = controls.size();
      controls.push_back({GetDlgCtrlID(child), className, PlaceIn(window, child),
                          index < 3 ? Mapped(window, units[index].second) : Rectangle{},
                          index < 3 && bound[index] == child});
    }
    RECT area;
    GetClientRect(window, &area);
    client = AsRectangle(area);
    templateSize = Mapped(window, {0, 0, 156, 129});
  };
  EXPECT_EQ(Run(), IDOK);
  EXPECT_EQ(title, L"OrvantaUpdate");
  // Not a Pocket PC shell: the dialog keeps the template's size.
  EXPECT_EQ(client, templateSize);
  ASSERT_EQ(controls.size(), 3u);
  const std::pair<int, std::wstring> expected[] = {
      {1003, L"Static"}, {1001, L"msctls_progress32"}, {1002, L"Static"}};
  for (std::size_t index = 0; index < 3; ++index) {
    SCOPED_TRACE(controls[index].id);
    EXPECT_EQ(controls[index].id, expected[index].first);
    EXPECT_EQ(controls[index].className, expected[index].second);
    EXPECT_EQ(controls[index].place, controls[index].expected);
    EXPECT_TRUE(controls[index].bound) << "the data exchange binds the control";
  }
}

// Run on an X display only (wine-x11-run), where the dialog's font is a real one: the
// template's units turned into pixels by hand, from the font's own metrics, as the platform
// defines dialog units (a quarter of the average character width, an eighth of its height).
using X11DialogTest = WindowsDialogTest;

TEST_F(X11DialogTest, TheControlsLieWhereTheDialogFontPutsTheTemplateUnits) {
  std::wstring face;
  Rectangle client{};
  std::vector<Rectangle> places;
  SIZE base{};
  workerBody = [&](UpdateDialog* dialog) {
    HWND window = dialog->Handle();
    HDC context = GetDC(window);
    const HGDIOBJ previous =
        SelectObject(context, reinterpret_cast<HFONT>(SendMessageW(window, WM_GETFONT, 0, 0)));
    WCHAR name[LF_FACESIZE];
    face.assign(name, static_cast<std::size_t>(GetTextFaceW(context, LF_FACESIZE, name)) - 1);
    TEXTMETRICW metrics;
    GetTextMetricsW(context, &metrics);
    SIZE alphabet;
    GetTextExtentPoint32W(context, L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", 52,
                          &alphabet);
    base = {(alphabet.cx / 26 + 1) / 2, metrics.tmHeight};
    SelectObject(context, previous);
    ReleaseDC(window, context);
    RECT area;
    GetClientRect(window, &area);
    client = AsRectangle(area);
    for (int id : {1003, 1001, 1002}) places.push_back(PlaceIn(window, GetDlgItem(window, id)));
  };
  EXPECT_EQ(Run(), IDOK);
  EXPECT_EQ(face, L"MS Sans Serif");
  const auto pixels = [&](LONG left, LONG top, LONG width, LONG height) {
    return Rectangle{MulDiv(left, base.cx, 4), MulDiv(top, base.cy, 8),
                     MulDiv(left + width, base.cx, 4), MulDiv(top + height, base.cy, 8)};
  };
  EXPECT_EQ(client, pixels(0, 0, 156, 129));
  ASSERT_EQ(places.size(), 3u);
  EXPECT_EQ(places[0], pixels(7, 7, 142, 27));   // the warning
  EXPECT_EQ(places[1], pixels(7, 62, 142, 10));  // the progress bar
  EXPECT_EQ(places[2], pixels(7, 46, 102, 11));  // the operation counter
}

TEST_F(WindowsDialogTest, ItShowsTheWarningAnEmptyCounterAndTheBarAtZeroThenCountsOperations) {
  std::wstring warning;
  std::wstring counter;
  std::wstring counterAfterOne;
  LRESULT low = -1;
  LRESULT high = -1;
  LRESULT position = -1;
  workerBody = [&](UpdateDialog* dialog) {
    HWND window = dialog->Handle();
    warning = TextOf(GetDlgItem(window, 1003));
    counter = TextOf(GetDlgItem(window, 1002));
    HWND bar = GetDlgItem(window, 1001);
    low = SendMessageW(bar, PBM_GETRANGE, TRUE, 0);
    high = SendMessageW(bar, PBM_GETRANGE, FALSE, 0);
    position = SendMessageW(bar, PBM_GETPOS, 0, 0);
    AdvanceOperation(dialog);
    counterAfterOne = TextOf(GetDlgItem(window, 1002));
  };
  EXPECT_EQ(Run(), IDOK);
  EXPECT_EQ(warning, L"Do not turn off the Orvanta or remove external power!");
  EXPECT_EQ(counter, L"");
  EXPECT_EQ(low, 0);
  EXPECT_EQ(high, 100);
  EXPECT_EQ(position, 0);
  EXPECT_EQ(counterAfterOne, L"Operation 1 of 6:");
}

// The caption's OK button and Enter are IDOK, Escape is IDCANCEL; a dialog that accepted one
// would be hidden at once.
TEST_F(WindowsDialogTest, OkAndCancelAreRefusedWhileTheWorkerRuns) {
  bool shownAfterOk = false;
  bool shownAfterCancel = false;
  workerBody = [&](UpdateDialog* dialog) {
    HWND window = dialog->Handle();
    SendMessageW(window, WM_COMMAND, IDOK, 0);
    shownAfterOk = IsWindowVisible(window) != FALSE;
    SendMessageW(window, WM_COMMAND, IDCANCEL, 0);
    shownAfterCancel = IsWindowVisible(window) != FALSE;
  };
  EXPECT_EQ(Run(), IDOK);
  EXPECT_TRUE(shownAfterOk);
  EXPECT_TRUE(shownAfterCancel);
}

TEST_F(WindowsDialogTest, AfterTheWorkerReturnsOneFailureBoxThenTheDialogClosesWithOk) {
  workerBody = [](UpdateDialog*) {};
  EXPECT_EQ(Run(), IDOK);
  const std::vector<windows::MessageBoxView> boxes = Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, L"Failed to complete upgrade.");
  // The program file's name without its extension.
  EXPECT_EQ(boxes[0].caption, L"app_windows_tests");
  EXPECT_EQ(boxes[0].style, MB_OK | kShownStyle);
  EXPECT_EQ(boxes[0].threadId, GetCurrentThreadId());
}

TEST_F(WindowsDialogTest, AWorkerBoxShowsOnTheWorkerThreadAndReturnsTheAnswer) {
  DWORD workerThread = 0;
  int answer = 0;
  workerBody = [&](UpdateDialog* dialog) {
    workerThread = GetCurrentThreadId();
    // The worker starts before the dialog is first shown; a box that took the foreground then
    // would lose it to the dialog as it appears.
    WaitFor([&] { return GetForegroundWindow() == dialog->Handle(); }, std::chrono::seconds(5));
    answer = AppMessageBox(kConfirmUpgradeText, MB_OKCANCEL);
  };
  EXPECT_EQ(Run([](const windows::MessageBoxView& box) {
              return (box.style & MB_TYPEMASK) == MB_OKCANCEL ? IDCANCEL : IDOK;
            }),
            IDOK);
  EXPECT_EQ(answer, IDCANCEL);
  const std::vector<windows::MessageBoxView> boxes = Boxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text,
            L"Performing this upgrade will delete all programs and data on this device. Please "
            L"make sure that all data is backed up before proceeding. Continue?");
  EXPECT_EQ(boxes[0].caption, L"app_windows_tests");
  EXPECT_EQ(boxes[0].style, MB_OKCANCEL | kShownStyle);
  EXPECT_EQ(boxes[0].threadId, workerThread);
  EXPECT_EQ(boxes[1].text, L"Failed to complete upgrade.");
}

// A run of the scripted program (app_scripted_program.exe, on a Pocket PC shell) with
// ORVANTA_TEST_SCRIPT `script`; ended when the object goes.
class ScriptedProgram {
 public:
  explicit ScriptedProgram(LPCWSTR script) {
    WCHAR self[MAX_PATH];
    std::wstring path(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
    path = path.substr(0, path.find_last_of(L'\\') + 1) + L"app_scripted_program.exe";
    SetEnvironmentVariableW(L"ORVANTA_TEST_SCRIPT", script);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    CreateProcessW(path.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                   &process_);
    SetEnvironmentVariableW(L"ORVANTA_TEST_SCRIPT", nullptr);
  }
  ~ScriptedProgram() {
    TerminateProcess(process_.hProcess, 0);
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
  }
  ScriptedProgram(const ScriptedProgram&) = delete;
  ScriptedProgram& operator=(const ScriptedProgram&) = delete;

  bool Started() const { return process_.hProcess != nullptr; }
  // Its exit code once it ended within `limit`, STILL_ACTIVE otherwise.
  DWORD ExitCode(DWORD limit) const {
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(process_.hProcess, limit) == WAIT_OBJECT_0) {
      GetExitCodeProcess(process_.hProcess, &code);
    }
    return code;
  }

 private:
  PROCESS_INFORMATION process_{};
};

TEST(SingleInstanceTest, ASecondStartOnAPocketPcShellBringsTheFirstForwardAndEndsWithMinusOne) {
  ScriptedProgram first(L"wait:C:\\orvanta-never-created");
  ASSERT_TRUE(first.Started());
  // The only update dialog of the desktop: this program shows none of its own.
  HWND dialog = nullptr;
  ASSERT_TRUE(
      WaitFor([&] { return (dialog = FindWindowW(L"#32770", L"OrvantaUpdate")) != nullptr; }));
  // A Pocket PC shell shows the dialog over the whole screen but the shell's bars. The window
  // is found as soon as it is made, before its first message has sized it: wait for that.
  RECT area;
  RECT shown;
  ASSERT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0));
  WaitFor([&] { return GetWindowRect(dialog, &shown) && EqualRect(&shown, &area); },
          std::chrono::seconds(5));
  EXPECT_EQ(AsRectangle(shown), AsRectangle(area));

  // Something else has the foreground when the second instance starts.
  HWND other = CreateWindowExW(0, L"Button", L"other", WS_POPUP | WS_VISIBLE, 0, 0, 50, 50, nullptr,
                               nullptr, GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(other, nullptr);
  SetForegroundWindow(other);
  ASSERT_TRUE(WaitFor([&] { return GetForegroundWindow() == other; }));

  ScriptedProgram second(L"");
  ASSERT_TRUE(second.Started());
  EXPECT_EQ(second.ExitCode(30'000), static_cast<DWORD>(-1));
  EXPECT_TRUE(WaitFor([&] { return GetForegroundWindow() == dialog; }, std::chrono::seconds(5)));
  DestroyWindow(other);
}

}  // namespace

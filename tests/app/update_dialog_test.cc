// The update dialog on the host framework, in this process, with a scripted worker and a front
// end that records what a user would see. Timers are manual: a test delivers each tick itself.
#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "app/update_dialog.h"
#include "host/dialog_framework/front_end.h"
#include "host/dialog_framework/message_loop.h"
#include "platform/core_library.h"
#include "process_runner.h"
#include "update/update_procedure.h"

namespace {

// The worker body of this test program; each test sets it.
std::function<void(UpdateDialog*)> workerBody;

struct BoxRecord {
  UINT id;
  UINT typePassed;
  UINT type;
  std::u16string text;
  std::u16string caption;
};

// Records frames and boxes; answers boxes with the queued answers, or holds them open when the
// test asked to answer them itself.
class RecordingFrontEnd : public host::FrontEnd {
 public:
  void DialogShown(HWND dialog, const host::DialogView& view) override {
    std::lock_guard lock(mutex_);
    dialog_ = dialog;
    firstFrame_ = view;
    view_ = view;
    changed_.notify_all();
  }
  void ControlChanged(const host::DialogView& view, WORD controlId) override {
    std::lock_guard lock(mutex_);
    view_ = view;
    if (controlId == kCounterLabelId) counterTexts_.push_back(view.Find(controlId)->text);
    changed_.notify_all();
  }
  void OpenMessageBox(const std::shared_ptr<host::MessageBoxRequest>& box) override {
    std::lock_guard lock(mutex_);
    boxes_.push_back({box->stringId, box->typePassed, box->type, box->text, box->caption});
    if (holdBoxes_) {
      open_ = box;
      changed_.notify_all();
      return;
    }
    box->Answer(IDOK);
  }

  HWND WaitForDialog() {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(30), [&] { return dialog_ != nullptr; });
    return dialog_;
  }
  std::shared_ptr<host::MessageBoxRequest> WaitForOpenBox() {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(30), [&] { return open_ != nullptr; });
    auto box = open_;
    open_ = nullptr;
    return box;
  }
  void HoldBoxes() {
    std::lock_guard lock(mutex_);
    holdBoxes_ = true;
  }
  std::vector<BoxRecord> Boxes() {
    std::lock_guard lock(mutex_);
    return boxes_;
  }
  std::vector<std::u16string> CounterTexts() {
    std::lock_guard lock(mutex_);
    return counterTexts_;
  }
  host::DialogView FirstFrame() {
    std::lock_guard lock(mutex_);
    return firstFrame_;
  }
  host::DialogView View() {
    std::lock_guard lock(mutex_);
    return view_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  HWND dialog_ = nullptr;
  host::DialogView firstFrame_;
  host::DialogView view_;
  std::vector<std::u16string> counterTexts_;
  std::vector<BoxRecord> boxes_;
  bool holdBoxes_ = false;
  std::shared_ptr<host::MessageBoxRequest> open_;
};

// A dialog whose worker thread cannot be created.
class DialogWithoutWorker : public UpdateDialog {
 protected:
  HANDLE StartWorker() override { return nullptr; }
};

class UpdateDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device_ = directory_.Path() / "device";
    std::string error;
    ASSERT_TRUE(sim::CreateDevice({device_}, sim::DeviceConfig{}, &error)) << error;
    setenv("ORVANTA_DEVICE", device_.c_str(), 1);
    auto frontEnd = std::make_unique<RecordingFrontEnd>();
    frontEnd_ = frontEnd.get();
    host::InstallFrontEnd(std::move(frontEnd));
    host::SetManualTimers(true);
  }
  void TearDown() override {
    if (ui_.joinable()) ui_.join();
    host::InstallFrontEnd(nullptr);
    host::SetManualTimers(false);
    workerBody = nullptr;
  }

  // Runs the dialog on its own UI thread; returns once its first frame is shown.
  template <typename Dialog = UpdateDialog>
  void Start() {
    ui_ = std::thread([this] {
      Dialog dialog;
      dialog_ = &dialog;
      result_.set_value(dialog.DoModal());
    });
    window_ = frontEnd_->WaitForDialog();
    ASSERT_NE(window_, nullptr);
  }
  INT_PTR Result() {
    auto future = result_.get_future();
    EXPECT_EQ(future.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    return future.get();
  }
  void WaitForWorker() {
    ASSERT_NE(dialog_->WorkerThread(), nullptr);
    ASSERT_EQ(WaitForSingleObject(dialog_->WorkerThread(), INFINITE), WAIT_OBJECT_0);
  }

  apptest::TemporaryDirectory directory_;
  std::filesystem::path device_;
  RecordingFrontEnd* frontEnd_ = nullptr;
  std::thread ui_;
  std::promise<INT_PTR> result_;
  UpdateDialog* dialog_ = nullptr;
  HWND window_ = nullptr;
};

// Blocks the worker until released.
struct Gate {
  std::promise<void> open;
  std::shared_future<void> opened = open.get_future().share();
};

}  // namespace

void UpdateProcedure(UpdateDialog* dialog) {
  if (workerBody) workerBody(dialog);
}

TEST_F(UpdateDialogTest, FirstFrameShowsTheWarningAnEmptyCounterAndABarAtZero) {
  Gate gate;
  workerBody = [&](UpdateDialog*) { gate.opened.wait(); };
  Start();
  const host::DialogView frame = frontEnd_->FirstFrame();
  EXPECT_EQ(frame.title, u"OrvantaUpdate");
  EXPECT_TRUE(frame.fullScreen);  // the device's default shell is Pocket PC
  EXPECT_TRUE(frame.captionOkButton);
  ASSERT_NE(frame.Find(kWarningLabelId), nullptr);
  EXPECT_EQ(frame.Find(kWarningLabelId)->text,
            u"Do not turn off the Orvanta or remove external power!");
  EXPECT_EQ(frame.Find(kCounterLabelId)->text, u"");
  const host::ControlView* bar = frame.Find(kProgressBarId);
  ASSERT_NE(bar, nullptr);
  EXPECT_TRUE(bar->progressBar);
  EXPECT_EQ(bar->rangeLow, 0);
  EXPECT_EQ(bar->rangeHigh, 100);
  EXPECT_EQ(bar->position, 0);
  // Controls stay in template order and place.
  ASSERT_EQ(frame.controls.size(), 3u);
  EXPECT_EQ(frame.controls[0].id, kWarningLabelId);
  EXPECT_EQ(frame.controls[1].id, kProgressBarId);
  EXPECT_EQ(frame.controls[2].id, kCounterLabelId);
  EXPECT_EQ(dialog_->Icon(), LoadIconW(AppInstance(), MAKEINTRESOURCEW(kApplicationIconId)));
  gate.open.set_value();
  WaitForWorker();
  SendMessageW(window_, WM_COMMAND, IDOK, 0);
  EXPECT_EQ(Result(), IDOK);
}

TEST_F(UpdateDialogTest, OkEnterAndEscapeAreRefusedWhileTheWorkerRunsAndAcceptedAfter) {
  Gate gate;
  workerBody = [&](UpdateDialog*) { gate.opened.wait(); };
  Start();
  // The caption's OK button and Enter are IDOK, Escape is IDCANCEL.
  SendMessageW(window_, WM_COMMAND, IDOK, 0);
  SendMessageW(window_, WM_COMMAND, IDCANCEL, 0);
  PostMessageW(window_, WM_COMMAND, IDOK, 0);
  const std::uint64_t awakeBefore = host::KeepDeviceAwakeCalls();
  ASSERT_TRUE(host::FireTimers());  // also flushes the posted command
  EXPECT_TRUE(host::DialogRunning());
  EXPECT_EQ(host::KeepDeviceAwakeCalls(), awakeBefore + 1);
  EXPECT_TRUE(frontEnd_->Boxes().empty());

  gate.open.set_value();
  WaitForWorker();
  SendMessageW(window_, WM_COMMAND, IDCANCEL, 0);
  EXPECT_EQ(Result(), IDCANCEL);
  // Closed before a tick saw the worker's end: no failure message.
  EXPECT_TRUE(frontEnd_->Boxes().empty());
}

TEST_F(UpdateDialogTest, OkClosesOnceTheWorkerHasReturned) {
  workerBody = [](UpdateDialog*) {};
  Start();
  WaitForWorker();
  SendMessageW(window_, WM_COMMAND, IDOK, 0);
  EXPECT_EQ(Result(), IDOK);
  EXPECT_TRUE(frontEnd_->Boxes().empty());
}

TEST_F(UpdateDialogTest, TheFirstTickAfterTheWorkerEndedReportsTheFailureExactlyOnce) {
  workerBody = [](UpdateDialog*) {};
  frontEnd_->HoldBoxes();
  Start();
  WaitForWorker();
  std::thread tick([] { host::FireTimers(); });
  const auto box = frontEnd_->WaitForOpenBox();
  ASSERT_NE(box, nullptr);
  // While the box is open the UI thread still serves messages, and the stopped timer no longer
  // ticks.
  EXPECT_TRUE(host::FireTimers());
  EXPECT_EQ(frontEnd_->Boxes().size(), 1u);
  box->Answer(IDOK);
  tick.join();
  EXPECT_EQ(Result(), IDOK);
  const std::vector<BoxRecord> boxes = frontEnd_->Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].id, kUpgradeFailedText);
  EXPECT_EQ(boxes[0].text, u"Failed to complete upgrade.");
  EXPECT_EQ(boxes[0].typePassed, MB_OK);
  EXPECT_EQ(boxes[0].type, MB_OK | MB_ICONEXCLAMATION | MB_SETFOREGROUND);
  EXPECT_EQ(boxes[0].caption, host::ApplicationName());
}

TEST_F(UpdateDialogTest, CounterShowsEachOperationAgainstTheTotalOfSix) {
  workerBody = [](UpdateDialog* dialog) {
    for (int operation = 0; operation < 6; ++operation) AdvanceOperation(dialog);
  };
  Start();
  WaitForWorker();
  EXPECT_EQ(frontEnd_->CounterTexts(),
            (std::vector<std::u16string>{u"Operation 1 of 6:", u"Operation 2 of 6:",
                                         u"Operation 3 of 6:", u"Operation 4 of 6:",
                                         u"Operation 5 of 6:", u"Operation 6 of 6:"}));
  ASSERT_TRUE(host::FireTimers());
  EXPECT_EQ(Result(), IDOK);
}

TEST_F(UpdateDialogTest, WorkerMessagesReachTheBarSynchronouslyAndClampToItsRange) {
  std::vector<LRESULT> positions;
  workerBody = [&](UpdateDialog* dialog) {
    HWND bar = DialogProgressBar(dialog);
    SendMessageW(bar, PBM_SETPOS, 37, 0);
    positions.push_back(SendMessageW(bar, PBM_GETPOS, 0, 0));
    SendMessageW(bar, PBM_SETPOS, 250, 0);
    positions.push_back(SendMessageW(bar, PBM_GETPOS, 0, 0));
    SendMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    SendMessageW(bar, PBM_SETPOS, 0, 0);
    positions.push_back(SendMessageW(bar, PBM_GETPOS, 0, 0));
  };
  Start();
  WaitForWorker();
  EXPECT_EQ(positions, (std::vector<LRESULT>{37, 100, 0}));
  ASSERT_TRUE(host::FireTimers());
  EXPECT_EQ(Result(), IDOK);
}

// The UI thread watches for calls a while before it sleeps, and the sender watches for the
// answer; messages sent with pauses shorter than, about as long as and longer than that watch
// must each be served in order, none lost between a check and a sleep.
TEST_F(UpdateDialogTest, MessagesAtEveryPaceAreServedInOrder) {
  std::vector<LRESULT> positions;
  workerBody = [&](UpdateDialog* dialog) {
    HWND bar = DialogProgressBar(dialog);
    for (int i = 0; i < 300; ++i) {
      const auto pause = host::kSpinBeforeSleep * (i % 7) / 3;  // 0 .. 2 x the watch
      std::this_thread::sleep_for(pause);
      SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(i % 101), 0);
      positions.push_back(SendMessageW(bar, PBM_GETPOS, 0, 0));
    }
  };
  Start();
  WaitForWorker();
  ASSERT_EQ(positions.size(), 300u);
  for (int i = 0; i < 300; ++i) EXPECT_EQ(positions[static_cast<std::size_t>(i)], i % 101) << i;
  ASSERT_TRUE(host::FireTimers());
  EXPECT_EQ(Result(), IDOK);
}

TEST_F(UpdateDialogTest, AWorkerMessageBoxBlocksOnlyTheWorker) {
  Gate gate;
  int answer = 0;
  workerBody = [&](UpdateDialog*) { answer = AppMessageBox(kConfirmUpgradeText, MB_OKCANCEL); };
  frontEnd_->HoldBoxes();
  Start();
  const auto box = frontEnd_->WaitForOpenBox();
  ASSERT_NE(box, nullptr);
  // The UI thread serves ticks and commands while the worker waits for its answer.
  const std::uint64_t awakeBefore = host::KeepDeviceAwakeCalls();
  ASSERT_TRUE(host::FireTimers());
  EXPECT_EQ(host::KeepDeviceAwakeCalls(), awakeBefore + 1);
  SendMessageW(window_, WM_COMMAND, IDOK, 0);
  EXPECT_TRUE(host::DialogRunning());
  box->Answer(IDCANCEL);
  WaitForWorker();
  EXPECT_EQ(answer, IDCANCEL);
  const std::vector<BoxRecord> boxes = frontEnd_->Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].typePassed, MB_OKCANCEL);
  EXPECT_EQ(boxes[0].type, MB_OKCANCEL | MB_ICONEXCLAMATION | MB_SETFOREGROUND);
  SendMessageW(window_, WM_COMMAND, IDOK, 0);
  EXPECT_EQ(Result(), IDOK);
}

TEST_F(UpdateDialogTest, AWorkerThatCouldNotBeCreatedIsReportedAndTheDialogCloses) {
  Start<DialogWithoutWorker>();
  EXPECT_EQ(dialog_->WorkerThread(), nullptr);
  ASSERT_TRUE(host::FireTimers());
  EXPECT_EQ(Result(), IDOK);
  const std::vector<BoxRecord> boxes = frontEnd_->Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].id, kUpgradeFailedText);
}

TEST_F(UpdateDialogTest, AWorkerThatCouldNotBeCreatedLetsCancelCloseTheDialog) {
  Start<DialogWithoutWorker>();
  SendMessageW(window_, WM_COMMAND, IDCANCEL, 0);
  EXPECT_EQ(Result(), IDCANCEL);
}

TEST_F(UpdateDialogTest, OtherShellsKeepTheTemplateSize) {
  sim::DeviceConfig config;
  config.shell = sim::Shell::Other;
  std::string error;
  ASSERT_TRUE(sim::SaveDeviceConfig({device_}, config, &error)) << error;
  workerBody = [](UpdateDialog*) {};
  Start();
  EXPECT_FALSE(frontEnd_->FirstFrame().fullScreen);
  EXPECT_EQ(frontEnd_->FirstFrame().width, 156);
  EXPECT_EQ(frontEnd_->FirstFrame().height, 129);
  // A size change leaves the layout alone.
  SendMessageW(window_, WM_SIZE, 0, MAKELPARAM(320, 240));
  EXPECT_EQ(frontEnd_->View().Find(kProgressBarId)->y, 62);
  WaitForWorker();
  SendMessageW(window_, WM_COMMAND, IDOK, 0);
  EXPECT_EQ(Result(), IDOK);
}

// A message box with no dialog running (and no front end) cannot be shown.
TEST(AppMessageBoxTest, WithoutAFrontEndTheAnswerIsNeitherOkNorCancel) {
  host::InstallFrontEnd(nullptr);
  const int answer = AppMessageBox(kUpgradeFailedText, MB_OK);
  EXPECT_NE(answer, IDOK);
  EXPECT_NE(answer, IDCANCEL);
}

TEST(FormatCounterTextTest, ReplacesTheTwoConversionsInOrder) {
  WCHAR buffer[64];
  EXPECT_EQ(FormatCounterText(u"Operation %d of %d:", 1, 6, buffer, 64), 17);
  EXPECT_EQ(std::u16string(buffer), u"Operation 1 of 6:");
  FormatCounterText(u"%d/%d", 2147483647, -2147483647 - 1, buffer, 64);
  EXPECT_EQ(std::u16string(buffer), u"2147483647/-2147483648");
  FormatCounterText(u"100%% %d %d %d", 7, 8, buffer, 64);
  EXPECT_EQ(std::u16string(buffer), u"100% 7 8 %d");
}

TEST(FormatCounterTextTest, TruncatesToTheBufferAndAlwaysTerminates) {
  WCHAR buffer[6];
  EXPECT_EQ(FormatCounterText(u"Operation %d of %d:", 12, 6, buffer, 6), 5);
  EXPECT_EQ(std::u16string(buffer), u"Opera");
  EXPECT_EQ(FormatCounterText(u"ab %d", 12345, 6, buffer, 6), 5);
  EXPECT_EQ(std::u16string(buffer), u"ab 12");
  EXPECT_EQ(FormatCounterText(u"x", 1, 2, buffer, 0), 0);
  EXPECT_EQ(FormatCounterText(nullptr, 1, 2, buffer, 6), 0);
  EXPECT_EQ(buffer[0], u'\0');
}

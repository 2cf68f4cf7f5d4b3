// The application message box.
#include "host/dialog_framework/front_end.h"
#include "host/dialog_framework/message_loop.h"

namespace host {

MessageBoxRequest::MessageBoxRequest(UINT stringId, UINT typePassed, std::u16string text,
                                     std::u16string caption)
    : stringId(stringId),
      typePassed(typePassed),
      type(AppMessageBoxStyle(typePassed)),
      text(std::move(text)),
      caption(std::move(caption)) {}

void MessageBoxRequest::Answer(int answer) {
  std::lock_guard lock(mutex_);
  if (answer_) return;
  answer_ = answer;
  answered_.notify_all();
  MessageLoop::Instance().Wake();
}

bool MessageBoxRequest::Answered() const {
  std::lock_guard lock(mutex_);
  return answer_.has_value();
}

int MessageBoxRequest::Wait() {
  std::unique_lock lock(mutex_);
  answered_.wait(lock, [this] { return answer_.has_value(); });
  return *answer_;
}

}  // namespace host

int AppMessageBox(UINT stringId, UINT type) {
  // Neither IDOK nor IDCANCEL: the box could not be shown.
  constexpr int kNotShown = 0;
  host::FrontEnd* frontEnd = host::CurrentFrontEnd();
  if (frontEnd == nullptr) return kNotShown;

  WCHAR text[1024];
  LoadStringW(AppInstance(), stringId, text, static_cast<int>(std::size(text)));
  auto box = std::make_shared<host::MessageBoxRequest>(stringId, type, std::u16string(text),
                                                       host::ApplicationName());

  host::MessageLoop& loop = host::MessageLoop::Instance();
  if (loop.IsUiThread()) {
    // The UI thread keeps serving its windows (and other threads' messages) while it waits.
    frontEnd->OpenMessageBox(box);
    loop.RunUntil([&] { return box->Answered(); });
    return box->Wait();
  }
  if (loop.Post([frontEnd, box] { frontEnd->OpenMessageBox(box); })) return box->Wait();

  // No dialog runs: this thread serves the box itself.
  loop.Attach();
  frontEnd->OpenMessageBox(box);
  loop.RunUntil([&] { return box->Answered(); });
  loop.Detach();
  return box->Wait();
}

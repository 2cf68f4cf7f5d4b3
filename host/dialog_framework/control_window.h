// A static text or progress-bar control of a dialog of the host framework. Its state is the
// view the front ends draw; every change is reported through `changed`.
#pragma once

#include <functional>
#include <string_view>

#include "host/dialog_framework/front_end.h"
#include "host/dialog_framework/resources.h"

namespace host {

class ControlWindow : public Window {
 public:
  ControlWindow(const DialogItemTemplate& item, std::function<void(WORD)> changed)
      : changed_(std::move(changed)) {
    view_.id = item.id;
    view_.progressBar = SameClassName(item.className, u"msctls_progress32");
    view_.x = item.x;
    view_.y = item.y;
    view_.width = item.width;
    view_.height = item.height;
    view_.text = item.text;
  }

  const ControlView& View() const { return view_; }

  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  void SetPosition(int position);

  ControlView view_;
  std::function<void(WORD)> changed_;
};

}  // namespace host

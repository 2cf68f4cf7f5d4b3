#include "host/terminal_ui/terminal_ui.h"

#include <curses.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <string>

namespace host {
namespace {

constexpr int kEscape = 27;

// Plain characters for frames, so the screen reads the same on every terminal and locale.
void DrawFrame(int top, int left, int rows, int columns) {
  if (rows < 2 || columns < 2) return;
  mvaddch(top, left, '+');
  mvhline(top, left + 1, '-', columns - 2);
  mvaddch(top, left + columns - 1, '+');
  mvvline(top + 1, left, '|', rows - 2);
  mvvline(top + 1, left + columns - 1, '|', rows - 2);
  mvaddch(top + rows - 1, left, '+');
  mvhline(top + rows - 1, left + 1, '-', columns - 2);
  mvaddch(top + rows - 1, left + columns - 1, '+');
}
constexpr int kTab = '\t';

// Dialog units to cells: a dialog unit is a quarter of the average character width and an
// eighth of the character height.
int ColumnsOf(int dialogUnits) {
  return (dialogUnits + 2) / 4;
}
int RowsOf(int dialogUnits) {
  return (dialogUnits + 4) / 8;
}

std::vector<std::string> Wrap(const std::string& text, int width) {
  std::vector<std::string> lines;
  if (width <= 0) return lines;
  std::string line;
  std::size_t index = 0;
  while (index < text.size()) {
    const std::size_t end = std::min(text.find(' ', index), text.size());
    std::string word = text.substr(index, end - index);
    index = end + 1;
    while (static_cast<int>(word.size()) > width) {  // a word longer than the line
      if (!line.empty()) lines.push_back(line), line.clear();
      lines.push_back(word.substr(0, width));
      word = word.substr(width);
    }
    if (line.empty()) {
      line = word;
    } else if (static_cast<int>(line.size() + 1 + word.size()) <= width) {
      line += ' ' + word;
    } else {
      lines.push_back(line);
      line = word;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

void PutText(int row, int column, const std::string& text, int maxColumns) {
  if (maxColumns <= 0) return;
  mvaddnstr(row, column, text.c_str(), maxColumns);
}

}  // namespace

TerminalUi::TerminalUi(std::unique_ptr<TranscriptWriter> transcript)
    : transcript_(std::move(transcript)) {}

TerminalUi::~TerminalUi() {
  std::lock_guard lock(mutex_);
  StopLocked();
}

int TerminalUi::InputDescriptor() const {
  std::lock_guard lock(mutex_);
  return started_ && !stopped_ ? STDIN_FILENO : -1;
}

// Redraws after a resize even when the terminal's signal did not interrupt the wait.
int TerminalUi::InputPollPeriod() const {
  return 250;
}

bool TerminalUi::StartLocked() {
  if (started_ || failed_) return started_ && !stopped_;
  std::setlocale(LC_ALL, "");
  if (newterm(nullptr, stdout, stdin) == nullptr) {
    failed_ = true;
    return false;
  }
  started_ = true;
  cbreak();
  noecho();
  nonl();
  keypad(stdscr, TRUE);
  nodelay(stdscr, TRUE);
  set_escdelay(25);
  curs_set(0);
  return true;
}

void TerminalUi::StopLocked() {
  if (!started_ || stopped_) return;
  stopped_ = true;
  endwin();
}

void TerminalUi::DialogShown(HWND dialog, const DialogView& view) {
  if (transcript_) transcript_->DialogShown(view);
  std::lock_guard lock(mutex_);
  dialog_ = dialog;
  view_ = view;
  if (StartLocked()) DrawLocked();
}

void TerminalUi::ControlChanged(const DialogView& view, WORD controlId) {
  if (transcript_) transcript_->ControlChanged(view, controlId);
  std::lock_guard lock(mutex_);
  view_ = view;
  if (started_ && !stopped_) DrawLocked();
}

void TerminalUi::DialogResized(const DialogView& view) {
  std::lock_guard lock(mutex_);
  view_ = view;
  if (started_ && !stopped_) DrawLocked();
}

void TerminalUi::DialogClosed() {
  std::lock_guard lock(mutex_);
  dialog_ = nullptr;
}

void TerminalUi::OpenMessageBox(const std::shared_ptr<MessageBoxRequest>& box) {
  {
    std::lock_guard lock(mutex_);
    if (StartLocked()) {
      boxes_.push_back(OpenBox{box, 0});
      DrawLocked();
      return;
    }
  }
  // No terminal: the box cannot be shown.
  if (transcript_) transcript_->MessageAnswered(*box, 0);
  box->Answer(0);
}

void TerminalUi::BroughtToForeground() {
  if (transcript_) transcript_->BroughtToForeground();
  std::lock_guard lock(mutex_);
  if (started_ && !stopped_) {
    clearok(curscr, TRUE);
    DrawLocked();
  }
}

void TerminalUi::Restarting() {
  {
    std::lock_guard lock(mutex_);
    StopLocked();
  }
  if (transcript_) transcript_->Restarting();
}

void TerminalUi::Exiting(int status) {
  {
    std::lock_guard lock(mutex_);
    StopLocked();
  }
  if (transcript_) transcript_->Exiting(status);
}

void TerminalUi::ToggleAcLine() {
  const std::optional<sim::AcLine> line = ReadAcLine();
  const sim::AcLine next = line == sim::AcLine::Online ? sim::AcLine::Offline : sim::AcLine::Online;
  std::string error;
  const bool set = SetAcLine(next, &error);
  if (transcript_) transcript_->PowerSet(set ? std::optional(next) : std::nullopt, error);
  std::lock_guard lock(mutex_);
  powerNote_ = set ? std::string() : error;
}

void TerminalUi::HandleInput() {
  for (;;) {
    std::shared_ptr<MessageBoxRequest> answered;
    int answer = 0;
    UINT command = 0;
    bool resized = false;
    bool togglePower = false;
    {
      std::lock_guard lock(mutex_);
      if (!started_ || stopped_) return;
      const int key = getch();
      if (key == ERR) return;
      if (key == KEY_RESIZE) {
        resized = true;
      } else if (key == 'p' || key == 'P') {
        togglePower = true;
      } else if (!boxes_.empty()) {
        OpenBox& open = boxes_.back();
        const bool okCancel = (open.box->typePassed & MB_TYPEMASK) == MB_OKCANCEL;
        if (key == kTab || key == KEY_BTAB || key == KEY_LEFT || key == KEY_RIGHT) {
          if (okCancel) open.focus = 1 - open.focus;
        } else if (key == '\r' || key == '\n' || key == KEY_ENTER) {
          answered = open.box;
          answer = open.focus == 0 ? IDOK : IDCANCEL;
        } else if (key == kEscape) {
          answered = open.box;
          answer = okCancel ? IDCANCEL : IDOK;
        }
        if (answered) boxes_.pop_back();
      } else if (key == '\r' || key == '\n' || key == KEY_ENTER) {
        command = IDOK;
      } else if (key == kEscape) {
        command = IDCANCEL;
      }
      if (!togglePower) DrawLocked();
    }
    if (togglePower) {
      ToggleAcLine();
      std::lock_guard lock(mutex_);
      DrawLocked();
    }
    if (answered) {
      if (transcript_) transcript_->MessageAnswered(*answered, answer);
      answered->Answer(answer);
    }
    if (command != 0 && dialog_ != nullptr) PostMessageW(dialog_, WM_COMMAND, command, 0);
    if (resized && dialog_ != nullptr) {
      PostMessageW(dialog_, WM_SIZE, 0,
                   MAKELPARAM(static_cast<WORD>(COLS), static_cast<WORD>(LINES)));
    }
  }
}

void TerminalUi::DrawLocked() {
  erase();
  const int screenRows = std::max(1, LINES - 1);  // the last line is the status line
  const int screenColumns = COLS;
  if (view_) {
    const bool full = view_->fullScreen;
    const int rows = full ? screenRows : std::min(screenRows, 1 + RowsOf(view_->height) + 2);
    const int columns = full ? screenColumns : std::min(screenColumns, ColumnsOf(view_->width) + 2);
    DrawDialogLocked(0, 0, rows, columns);
  }
  for (const OpenBox& open : boxes_) DrawBoxLocked(open, screenRows, screenColumns);
  DrawStatusLocked(LINES - 1, COLS);
  refresh();
}

void TerminalUi::DrawDialogLocked(int top, int left, int rows, int columns) {
  // A dialog of the template's size gets a frame; a full-screen one is the whole screen.
  const bool framed = !view_->fullScreen;
  if (framed) {
    DrawFrame(top, left, rows, columns);
    ++top, ++left, rows -= 2, columns -= 2;
  }
  if (rows <= 0 || columns <= 0) return;

  // Caption bar: the title and the OK button.
  attron(A_REVERSE);
  mvhline(top, left, ' ', columns);
  PutText(top, left + 1, DialogTextToUtf8(view_->title), columns - 1);
  if (view_->captionOkButton && columns >= 6) PutText(top, left + columns - 5, "[OK]", 4);
  attroff(A_REVERSE);

  const int clientTop = top + 1;
  for (const ControlView& control : view_->controls) {
    const int row = clientTop + RowsOf(control.y);
    const int column = left + ColumnsOf(control.x);
    const int width = std::min(ColumnsOf(control.width), left + columns - column);
    const int height = std::max(1, RowsOf(control.height));
    if (width <= 0 || row >= top + rows) continue;
    if (control.progressBar) {
      const int inner = width - 2;
      if (inner <= 0) continue;
      const int span = std::max(1, control.rangeHigh - control.rangeLow);
      const int filled = std::clamp((control.position - control.rangeLow) * inner / span, 0, inner);
      std::string bar = "[" + std::string(filled, '#') + std::string(inner - filled, '-') + "]";
      PutText(row, column, bar, width);
    } else {
      const std::vector<std::string> lines = Wrap(DialogTextToUtf8(control.text), width);
      for (int line = 0; line < height && line < static_cast<int>(lines.size()); ++line) {
        if (row + line < top + rows) PutText(row + line, column, lines[line], width);
      }
    }
  }
}

void TerminalUi::DrawBoxLocked(const OpenBox& open, int screenRows, int screenColumns) {
  const int width = std::min(52, screenColumns - 2);
  if (width < 16) return;
  const std::string icon = "/!\\";
  const int textWidth = width - 4 - static_cast<int>(icon.size()) - 2;
  const std::vector<std::string> lines = Wrap(DialogTextToUtf8(open.box->text), textWidth);
  const int height = static_cast<int>(lines.size()) + 4;
  const int top = std::max(0, (screenRows - height) / 2);
  const int left = std::max(0, (screenColumns - width) / 2);

  for (int row = top; row < top + height; ++row) mvhline(row, left, ' ', width);
  DrawFrame(top, left, height, width);
  PutText(top, left + 2, " " + DialogTextToUtf8(open.box->caption) + " ", width - 4);

  attron(A_BOLD);
  PutText(top + 1, left + 2, icon, 3);
  attroff(A_BOLD);
  for (std::size_t line = 0; line < lines.size(); ++line) {
    PutText(top + 1 + static_cast<int>(line), left + 2 + static_cast<int>(icon.size()) + 2,
            lines[line], textWidth);
  }

  const bool okCancel = (open.box->typePassed & MB_TYPEMASK) == MB_OKCANCEL;
  const std::string ok = "[ OK ]";
  const std::string cancel = "[ Cancel ]";
  const int buttonsWidth =
      static_cast<int>(ok.size()) + (okCancel ? 3 + static_cast<int>(cancel.size()) : 0);
  const int buttonRow = top + height - 2;
  int column = left + (width - buttonsWidth) / 2;
  if (open.focus == 0) attron(A_REVERSE);
  PutText(buttonRow, column, ok, static_cast<int>(ok.size()));
  if (open.focus == 0) attroff(A_REVERSE);
  if (okCancel) {
    column += static_cast<int>(ok.size()) + 3;
    if (open.focus == 1) attron(A_REVERSE);
    PutText(buttonRow, column, cancel, static_cast<int>(cancel.size()));
    if (open.focus == 1) attroff(A_REVERSE);
  }
}

void TerminalUi::DrawStatusLocked(int row, int columns) {
  const std::optional<sim::AcLine> line = ReadAcLine();
  std::string status = "AC line: " + (line ? sim::ToString(*line) : std::string("unknown"));
  if (!powerNote_.empty()) status += " (" + powerNote_ + ")";
  status += "  |  p: plug/unplug  Enter: OK  Esc: Cancel  Tab: next button";
  mvhline(row, 0, ' ', columns);
  PutText(row, 0, status, columns);
}

}  // namespace host

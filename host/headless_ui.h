// The headless front end: no terminal; message boxes are answered from a script and everything
// a user would have seen is written as a transcript, one JSON object a line:
//
//   {"event":"dialog","title":"OrvantaUpdate","warning":"Do not turn off ..."}
//   {"event":"counter","text":"Operation 3 of 6:"}
//   {"event":"progress","position":37}                       (only when the position changes)
//   {"event":"message","id":133,"text":"...","type":0,"answer":1}
//   {"event":"power","ac_line":"online"}
//   {"event":"foreground"}                    (another instance brought this one to the front)
//   {"event":"restart"}
//   {"event":"exit","status":1}                              (last line of every run that ends)
//
// `type` is the message-box type the program passed, `answer` the value the box returned.
#pragma once

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/dialog_front_end.h"

namespace host {

class HeadlessUi : public FrontEnd {
 public:
  enum class Token { Ok, Cancel, None, Plug, Unplug };

  // `answers`: comma-separated ok, cancel, none (the box cannot be shown: the answer is neither
  // IDOK nor IDCANCEL), plug and unplug (set the AC line online or offline and write a power
  // event; the next token answers the box). Once the list is used up an MB_OKCANCEL box answers
  // IDCANCEL and any other IDOK. `transcriptPath` empty: standard output. Null with a one-line
  // reason on a bad token or a transcript that cannot be opened.
  static std::unique_ptr<HeadlessUi> Create(const std::string& answers,
                                            const std::string& transcriptPath, std::string* error);
  ~HeadlessUi() override;

  void DialogShown(HWND dialog, const DialogView& view) override;
  void ControlChanged(const DialogView& view, WORD controlId) override;
  void OpenMessageBox(const std::shared_ptr<MessageBoxRequest>& box) override;
  void BroughtToForeground() override;
  void Restarting() override;
  void Exiting(int status) override;

 private:
  HeadlessUi(std::FILE* transcript, bool ownsTranscript, std::vector<Token> answers);
  void Write(const std::string& line);

  std::mutex mutex_;
  std::FILE* transcript_;
  bool ownsTranscript_;
  std::vector<Token> answers_;
  std::size_t nextAnswer_ = 0;
  WORD warningId_ = 0;
  int lastPosition_ = 0;
  bool exitWritten_ = false;
};

}  // namespace host

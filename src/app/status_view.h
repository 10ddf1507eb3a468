// How the headless front end shows the launcher's state: the status line
// in the page's words, and on a terminal a progress bar with size and
// speed redrawn in place; elsewhere one line per status change and a
// progress line every few seconds. Used by one thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "app/translations.h"
#include "update/update_logic.h"

namespace vantrel::app {

class TStatusView {
 public:
  // columns: the terminal's width (terminal only).
  TStatusView(FILE* out, bool terminal, const TTranslationTable& table, int columns = 80);

  // Shows the state polled at nowms (a monotonic clock in milliseconds).
  void Show(const TStatusSnapshot& status, int64_t nowms);
  // A line of the front end's own, below the status shown so far.
  void Note(const std::string& text);
  // Ends the line being redrawn, if any.
  void Finish();

  // The progress part: "[#####.....]  45.3%  12.0MB / 30.0MB  1.50MB/s",
  // without the bar when bar is false; empty when there is no progress.
  static std::string ProgressText(const TStatusSnapshot& status, bool bar);

  // The least time between two progress lines when not on a terminal.
  static constexpr int64_t kPlainProgressIntervalMs = 2000;

 private:
  FILE* out_;
  bool terminal_;
  const TTranslationTable& table_;
  int columns_;
  bool shown_ = false;
  std::string text_;      // status text shown last
  std::string drawn_;     // terminal: the line on screen
  std::string progress_;  // plain: progress line printed last
  int64_t progressat_ = 0;
};

}  // namespace vantrel::app

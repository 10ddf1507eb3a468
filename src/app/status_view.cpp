#include "app/status_view.h"

namespace vantrel::app {

namespace {

constexpr int kBarWidth = 24;

// The first columns characters of a UTF-8 text.
std::string FitColumns(const std::string& text, int columns) {
  int used = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      if (used == columns) return text.substr(0, i);
      ++used;
    }
  }
  return text;
}

}  // namespace

TStatusView::TStatusView(FILE* out, bool terminal, const TTranslationTable& table, int columns)
    : out_(out), terminal_(terminal), table_(table), columns_(columns > 1 ? columns : 80) {}

std::string TStatusView::ProgressText(const TStatusSnapshot& s, bool bar) {
  std::string text;
  if (s.ProgressBarChange >= 0) {
    const int p = s.ProgressBarChange > 10000 ? 10000 : s.ProgressBarChange;
    if (bar) {
      const int filled = p * kBarWidth / 10000;
      text += "[" + std::string(static_cast<size_t>(filled), '#') +
              std::string(static_cast<size_t>(kBarWidth - filled), '.') + "] ";
    }
    char pct[16];
    std::snprintf(pct, sizeof pct, "%5.1f%%", p / 100.0);
    text += pct;
  }
  for (const std::string* part : {&s.SizeMessage, &s.SpeedMessage}) {
    if (part->empty()) continue;
    if (!text.empty()) text += "  ";
    text += *part;
  }
  return text;
}

void TStatusView::Show(const TStatusSnapshot& s, int64_t nowms) {
  const std::string text = table_.StatusText(s.StatusMessage, s.StatusMessageValue);
  const bool changed = !shown_ || text != text_;
  shown_ = true;
  text_ = text;
  // An empty bar with nothing beside it says nothing worth showing.
  const bool idle = s.ProgressBarChange <= 0 && s.SizeMessage.empty() && s.SpeedMessage.empty();
  if (terminal_) {
    const std::string progress = idle ? std::string() : ProgressText(s, true);
    const std::string line =
        FitColumns(progress.empty() ? text : text + "  " + progress, columns_ - 1);
    if (changed && !drawn_.empty()) std::fputs("\n", out_);
    if (changed || line != drawn_) {
      std::fputs("\r\033[K", out_);
      std::fputs(line.c_str(), out_);
      std::fflush(out_);
    }
    drawn_ = line;
    return;
  }
  if (changed) {
    std::fprintf(out_, "%s\n", text.c_str());
    progress_.clear();
  }
  const std::string progress = idle ? std::string() : ProgressText(s, false);
  if (!progress.empty() && progress != progress_ &&
      (progress_.empty() || nowms - progressat_ >= kPlainProgressIntervalMs)) {
    std::fprintf(out_, "  %s\n", progress.c_str());
    progress_ = progress;
    progressat_ = nowms;
  }
  std::fflush(out_);
}

void TStatusView::Finish() {
  if (terminal_ && !drawn_.empty()) {
    std::fputs("\n", out_);
    drawn_.clear();
  }
  std::fflush(out_);
}

void TStatusView::Note(const std::string& text) {
  Finish();
  std::fprintf(out_, "%s\n", text.c_str());
  std::fflush(out_);
  // The status line is drawn anew below the note.
  shown_ = false;
}

}  // namespace vantrel::app

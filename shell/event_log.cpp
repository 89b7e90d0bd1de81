#include "shell/event_log.h"

#include "shell/number_text.h"

namespace korvan {

void EventLog::AttachFile(std::unique_ptr<LogFile> file) {
  file_ = std::move(file);
  if (file_) memo_ = file_->initial_content();
  // A file cut off mid-line gets its line break, so the next entry starts a
  // line of its own in the memo and in the file.
  if (!memo_.empty() && memo_.back() != '\n') {
    memo_ += "\r\n";
    if (!file_->Append("\r\n")) file_error_ = "the log file did not take a line break";
  }
}

std::string EventLog::Line(std::string_view text) {
  return FormatDateTime(clock_.Now(), locale_) + " - " + std::string(text) + "\r\n";
}

void EventLog::WriteToLog(std::string_view text) {
  const std::string line = Line(text);
  memo_ += line;
  if (file_ && !file_->Append(line)) file_error_ = "the log file did not take a line";
}

void EventLog::WriteEndLine(std::string_view text) {
  if (!file_) return;
  if (!file_->Append(Line(text) + "\r\n")) file_error_ = "the log file did not take the end line";
  file_.reset();
}

void EventLog::Clear() {
  memo_.clear();
  if (file_ && !file_->Truncate()) file_error_ = "the log file could not be emptied";
}

}  // namespace korvan

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
    pending_ = "\r\n";  // leaves with the first line
  }
}

std::string EventLog::Line(std::string_view text) {
  return FormatDateTime(clock_.Now(), locale_) + " - " + std::string(text) + "\r\n";
}

bool EventLog::Flush(std::string_view more) {
  pending_ += more;
  if (pending_.size() > kMaxPending) {
    // The oldest waiting lines give way, whole.
    std::size_t cut = pending_.size() - kMaxPending;
    const std::size_t line_end = pending_.find('\n', cut);
    cut = line_end == std::string::npos ? pending_.size() : line_end + 1;
    pending_.erase(0, cut);
  }
  if (pending_.empty() || file_->Append(pending_)) {
    pending_.clear();
    failing_ = false;
    file_error_.clear();
    return true;
  }
  const std::string why = file_->last_error();
  file_error_ = why.empty() ? "the log file did not take a line" : why;
  return false;
}

EventLog::FileState EventLog::WriteToLog(std::string_view text) {
  const std::string line = Line(text);
  memo_ += line;
  if (!file_ || Flush(line)) return FileState::kWritten;
  const bool was_failing = failing_;
  failing_ = true;
  return was_failing ? FileState::kWaiting : FileState::kStoppedNow;
}

void EventLog::WriteEndLine(std::string_view text) {
  if (!file_) return;
  Flush(Line(text) + "\r\n");
  file_.reset();
}

void EventLog::Clear() {
  memo_.clear();
  pending_.clear();
  if (file_ && !file_->Truncate()) {
    const std::string why = file_->last_error();
    file_error_ = why.empty() ? "the log file could not be emptied" : why;
  }
}

}  // namespace korvan

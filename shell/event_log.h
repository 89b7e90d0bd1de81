// The program's log: the memo that the messages page shows and the file
// korvan.log. Every entry is one line, "<date and time> - <text>", ending
// in CR LF. Lines the file does not take (a full disk) wait, in order, and
// go with the next line the file takes: nothing is lost while the disk
// recovers, up to kMaxPending bytes (beyond it the oldest waiting lines give
// way).
//
// Thread rule: main thread only.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "tunnel/clock.h"
#include "shell/locale_format.h"
#include "shell/log_file.h"

namespace korvan {

class EventLog {
 public:
  static constexpr std::size_t kMaxPending = 4 << 20;
  // What became of a line for the file.
  enum class FileState { kWritten, kWaiting, kStoppedNow };

  EventLog(Clock& clock, const LocaleFormat& locale) : clock_(clock), locale_(locale) {}

  // Takes the opened file (null: no file) and loads its content into the memo.
  void AttachFile(std::unique_ptr<LogFile> file);
  bool has_file() const { return file_ != nullptr; }

  // kStoppedNow when the file refused this line after taking the ones
  // before: the one moment to tell the user (file_error() says why).
  FileState WriteToLog(std::string_view text);
  // The end line goes to the file only, followed by an empty line; the file
  // is closed afterwards.
  void WriteEndLine(std::string_view text);
  // Empties the memo and the file.
  void Clear();

  // The memo's text: every line with its CR LF.
  const std::string& memo() const { return memo_; }
  // The memo's selection sits at its last character so that it shows the end.
  std::size_t selection() const { return memo_.size(); }
  // Why the file last failed to take a line; empty when all went well.
  const std::string& file_error() const { return file_error_; }
  // Bytes of lines waiting for the file.
  std::size_t pending_bytes() const { return pending_.size(); }

 private:
  std::string Line(std::string_view text);
  // Appends the waiting lines and `more`; false when the file refused.
  bool Flush(std::string_view more);

  Clock& clock_;
  const LocaleFormat& locale_;
  std::unique_ptr<LogFile> file_;
  std::string memo_;
  std::string file_error_;
  std::string pending_;
  bool failing_ = false;
};

}  // namespace korvan

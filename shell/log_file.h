// The log file as the shell uses it: opened once at start-up with writing by
// other processes shut out, appended to, emptied by the clear command. An
// Append adds all of its bytes or none.
//
// Thread rule: main thread only.
#pragma once

#include <string>
#include <string_view>

namespace korvan {

class LogFile {
 public:
  virtual ~LogFile() = default;
  // The content the file had when it was opened.
  virtual const std::string& initial_content() const = 0;
  virtual bool Append(std::string_view bytes) = 0;
  // Cuts the file to length 0; later appends start at its beginning.
  virtual bool Truncate() = 0;
  // Why the last Append or Truncate failed, naming the file; empty when it
  // worked or the file cannot say.
  virtual std::string last_error() const { return {}; }
};

}  // namespace korvan

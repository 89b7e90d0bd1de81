// The log file as the shell uses it: opened once at start-up with writing by
// other processes shut out, appended to, emptied by the clear command.
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
};

}  // namespace korvan

// What the self-updater's two threads, the shell and the dialogs share: the
// entries of the download list, the message box request with the platform's
// flag and answer values, and the update dialog's question and answer.
//
// Thread rule: plain values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvan {

// One file due for download.
struct UpdateFileEntry {
  std::string Name;  // relative to the program folder, as published
  std::string URL;   // absolute "http://" URL of the packed file
  std::int32_t Size = 0;  // bytes of the download, for the gauge only
  // The published MD5 of the unpacked file (hex, any case): what arrives is
  // compared with it before anything is stored.
  std::string Hash;
  bool operator==(const UpdateFileEntry&) const = default;
};
using UpdateFileList = std::vector<UpdateFileEntry>;

// Message box flags and answers, with the values the platform's message box
// has always had (they are data of the threads' requests).
inline constexpr std::uint32_t kMbOk = 0x00;
inline constexpr std::uint32_t kMbYesNo = 0x04;
inline constexpr std::uint32_t kMbIconError = 0x10;
inline constexpr std::uint32_t kMbIconQuestion = 0x20;
inline constexpr std::uint32_t kMbIconInformation = 0x40;
inline constexpr std::int32_t kIdOk = 1;
inline constexpr std::int32_t kIdYes = 6;
inline constexpr std::int32_t kIdNo = 7;

struct MessageBoxRequest {
  std::string text;     // code-page-1250 bytes
  std::string caption;  // empty: no caption
  std::uint32_t type = kMbOk;
};

// What `TUpdateFM` shows; every text is already filled in (code page 1250).
struct UpdateDialogRequest {
  std::string caption;      // NewVersionFoundTitle
  std::string memo;         // NewVersionFound with the size and description
  std::string question;     // UpdateQuery
  std::string yes_text;     // btnYes
  std::string no_text;      // btnNo
  bool help_due = false;    // HelpPanel visible
  std::string help_text;    // UpdateHelp with the help file's size
  std::int64_t total_size = 0;  // of the program files: with 0, Yes follows the help box
};

struct UpdateDialogAnswer {
  bool yes = false;          // modal result Yes
  bool help_ticked = false;  // the UpdateHelp box was ticked at the end
};

// The updater's windows. Window mode shows them; service mode, which has no
// one to ask, answers No.
//
// Thread rule: main (UI) thread only.
class UpdateDialogs {
 public:
  virtual ~UpdateDialogs() = default;
  // Returns the button pressed (kIdOk, kIdYes, kIdNo).
  virtual std::int32_t ShowMessageBox(const MessageBoxRequest& request) = 0;
  virtual UpdateDialogAnswer ShowUpdateDialog(const UpdateDialogRequest& request) = 0;
};

}  // namespace korvan

// The keys of the text table, in table order, and their Czech defaults.
//
// The order is fixed: a language file's [Messages] section is read in it.
// Defaults are code-page-1250 bytes. Placeholders are filled by FormatText:
// %S and %s take a string, %d an integer.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace korvan {

enum class TextKey : std::size_t {
  InvalidUserOrPwd,
  ServerConnectionErr,
  UpdateErr,
  ParentProxyErr,
  NoCreditLog,
  NewVersionNotFound,
  NewVersionFoundTitle,
  NewVersionFound,
  CancelUpdateQuery,
  DownloadOK_Restart,
  msgInformation,
  msgQuestion,
  OpenPortErr,
  InternetSetOptionErr,
  CheckNewVersion,
  UpdateQuery,
  UpdateHelp,
  UpdateDenied,
  UpdateStarted,
  CancelUpdate,
  UpdateOK,
  Credit,
  LANSettings,
  ApplicationStart,
  ApplicationEnd,
  TrayIcon,
  TrayShow,
  TrayRestart,
  TrayEnd,
  DeleteProtocolQuery,
  AccessDeniedErr,
  UpdateInfoNotFound,
  FTPListDirectoryTitle,
  NoCreditTitle,
  NoCredit,
  NoCreditText,
  LoginErrTitle,
  LoginErr,
  LoginErrText,
  GatewayErrTitle,
  GatewayErr,
  GatewayErrText,
  TooManyConnections,
  ReportGenerated,
  HelpDeskInfo,
  FTPFileName,
  FTPSize,
  FTPDate,
  btnOK,
  btnCancel,
  btnYes,
  btnNo,
  btnEdit,
  btnCheckNewUpdate,
  btnCancelUpdate,
  // Said instead of an update check where a package manager owns the
  // program folder.
  UpdateByPackageManager,
};

inline constexpr std::size_t kTextKeyCount = static_cast<std::size_t>(TextKey::UpdateByPackageManager) + 1;

constexpr std::size_t IndexOf(TextKey key) { return static_cast<std::size_t>(key); }

// The key as spelled in language files, e.g. "DownloadOK_Restart".
std::string_view KeyName(TextKey key);

// The Czech default text (code-page-1250 bytes).
std::string_view CzechDefault(TextKey key);

// The key of that name, compared without regard to ASCII case.
std::optional<TextKey> FindTextKey(std::string_view name);

}  // namespace korvan

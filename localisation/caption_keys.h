// The caption keys that language files may set, by section. A control takes
// part when its name begins with "_"; its key is the name without it.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace korvan {

inline constexpr std::string_view kSectionCommon = "Common";
inline constexpr std::string_view kSectionMainForm = "MainForm";
inline constexpr std::string_view kSectionPortSetup = "PortSetup";
inline constexpr std::string_view kSectionMessages = "Messages";

// Translatable controls of the main window. JPEGCompress and GIFCompress are
// sliders: the GUI has no caption to put their values on.
inline constexpr std::array<std::string_view, 49> kMainFormCaptionKeys = {
    "tsCommunication", "AutomaticSetup", "KORVANService", "ConnectionSetup", "UserID",
    "password", "Server", "AcceptIP", "ppAdress", "ppPort",
    "ppUser", "ppPassword", "UseParentProxy", "btnSave", "ResetConn",
    "tsSettings", "Language", "Autostart", "IgnoreAdvertisement", "PictureCompress",
    "maxCompress", "noCompress", "JPEGCompress", "GIFCompress", "debug",
    "ListConnectErr", "ListErrIP", "HTMLOptimization", "tsProtocols", "btnDelete",
    "btnAppend", "btnEdit", "tsStatistics", "ReceivedSize", "SentSize",
    "TotalSize", "AccountExpiration", "OriginalSize", "CompressedSize", "SavedSize",
    "CreditExpiration", "chartSentKORVAN", "chartSent", "chartReceivedKORVAN", "chartReceived",
    "ConnCount", "UpdateInfo", "tsMessages", "ClearLog"};

// Title captions of the port table's columns 0 to 4, also in [MainForm].
inline constexpr std::array<std::string_view, 5> kGridColumnKeys = {
    "LocalPort", "Protocol", "RemoteHost", "RemotePort", "Timeout"};

// Translatable controls of the port setup dialog, and the key of its title.
inline constexpr std::array<std::string_view, 5> kPortSetupCaptionKeys = {
    "LocalPort", "Protocol", "TargetHost", "TargetPort", "Timeout"};
inline constexpr std::string_view kPortSetupTitleKey = "Title";

// The control name that carries a caption key, e.g. "_UpdateInfo".
inline std::string ControlName(std::string_view key) {
  std::string name = "_";
  name.append(key);
  return name;
}

}  // namespace korvan

// Reading and writing Korvan.ini. The orders below are the file's contract:
// keys are read and written in them, and WriteINI leaves every section and
// key it does not know as it found them.
#include <algorithm>

#include "localisation/language_list.h"
#include "shell/korvan_form.h"

namespace korvan {
namespace {

constexpr std::string_view kConfig = "Config";
constexpr std::string_view kSetup = "Setup";
constexpr std::string_view kConnections = "ConnectionsWithKorvan";
constexpr std::string_view kOldConnections = "OldIEConnections";
// More rows than ports cannot be served; a larger count is damage.
constexpr int kMaxSocketCount = 65535;
constexpr int kMaxStoredConnections = 65535;

std::string SocketSection(int n) { return "Socket" + std::to_string(n); }

// The maker's update server.
constexpr std::string_view kDefaultUpdateHost = "update.korvan.example";

}  // namespace

std::string KorvanForm::UpdateHost() const {
  if (update_host_override_) {
    std::string host = *update_host_override_;
    host.erase(0, host.find_first_not_of(" \t"));
    host.erase(host.find_last_not_of(" \t") + 1);
    // The name goes into the request line and the Host line as it stands.
    const bool usable = !host.empty() && std::none_of(host.begin(), host.end(), [](char c) {
      return static_cast<unsigned char>(c) <= ' ' || c == '/' || c == 0x7F;
    });
    if (usable) return host;
  }
  return std::string(kDefaultUpdateHost);
}

int KorvanForm::MaxConnections() const {
  if (max_connections_override_) {
    const auto count = ParseProfileInteger(*max_connections_override_);
    if (count && *count >= 1 && *count <= 65535) return *count;
  }
  return kDefaultMaxConnections;
}

void KorvanForm::ReadMaxConnections() { max_connections_override_ = profile_.Read().Find(kConfig, "MaxConnections"); }

void KorvanForm::ReadConfiguration() {
  // ShutDownOK is read and at once written as false; the value read is kept
  // and written back by every later WriteINI.
  shut_down_ok_ = profile_.ReadBool(kConfig, "ShutDownOK", true);
  profile_.WriteBool(kConfig, "ShutDownOK", false);

  const ProfileDocument doc = profile_.Read();
  working.user_id = ReadProfileInteger(doc, kConfig, "IDSE_Value", 100000);
  working.password = ReadProfileString(doc, kConfig, "PassEL_Text", "");
  working.accept_ip = ReadProfileString(doc, kConfig, "AcceptIP", "127.0.0.1");
  communication.ServerCB.select(ReadProfileInteger(doc, kConfig, "Server", 0));
  settings.JPEGCompress.set_value(ReadProfileInteger(doc, kConfig, "JPEGCompress", 7));
  settings.GIFCompress.set_value(ReadProfileInteger(doc, kConfig, "GIFCompress", 15));
  working.use_parent_proxy = ReadProfileBool(doc, kConfig, "UseParentProxy", false);
  working.parent_proxy_address = ReadProfileString(doc, kConfig, "ParentProxyIP", "");
  working.parent_proxy_port = ReadProfileInteger(doc, kConfig, "ParentProxyPort", 3128);
  working.parent_proxy_user = ReadProfileString(doc, kConfig, "ParentProxyUser", "");
  working.parent_proxy_password = ReadProfileString(doc, kConfig, "ParentProxyPass", "");
  settings.ListConnectErr.checked = ReadProfileBool(doc, kConfig, "ListConnectErr", false);
  settings.ListErrIP.checked = ReadProfileBool(doc, kConfig, "ListErrIP", true);
  for (std::size_t i = 0; i < kTaggedCheckBoxes.size(); ++i) {
    settings.tagged[i].checked = ReadProfileBool(doc, kConfig, kTaggedCheckBoxes[i].name, false);
  }
  server_address_override_ = doc.Find(kConfig, "ServerAddress");
  server_port_override_ = doc.Find(kConfig, "ServerPort");
  update_host_override_ = doc.Find(kConfig, "UpdateHost");
  max_connections_override_ = doc.Find(kConfig, "MaxConnections");

  LoadSettingsToControls();

  const int tab = ReadProfileInteger(doc, kSetup, "ActiveTab", 0);
  SetActivePage((tab >= 0 && tab < kPageCount) ? tab : 0);
  ReadPortTable(doc);
  updater_port_ = ports_.FirstHttpPort();

  if (!service_mode_) {
    const int count = std::clamp(ReadProfileInteger(doc, kConnections, "Count", 0), 0, kMaxStoredConnections);
    std::vector<std::string> names;
    for (int n = 1; n <= count; ++n) {
      if (auto name = doc.Find(kConnections, std::to_string(n))) names.push_back(std::move(*name));
    }
    communication.ConnectionsLB.CheckStored(names);
    communication.ConnectionsLB.AdoptPreviousCopies(ReadPreviousConnections(doc));
  }
  settings.Autostart.checked = services_.autostart.IsEnabled();
}

std::vector<TIESettings> KorvanForm::ReadPreviousConnections(const ProfileDocument& doc) const {
  std::vector<TIESettings> entries;
  const int count = std::clamp(ReadProfileInteger(doc, kOldConnections, "Count", 0), 0, kMaxStoredConnections);
  for (int i = 0; i < count; ++i) {
    const std::string n = std::to_string(i);
    const auto name = doc.Find(kOldConnections, n + ".Connection");
    if (!name) continue;
    TIESettings entry;
    entry.connection_name = *name;
    entry.flags = static_cast<std::int32_t>(ReadProfileInteger(doc, kOldConnections, n + "[1].dw", 0));
    entry.proxy_server = ReadProfileString(doc, kOldConnections, n + "[2].psz", "");
    entry.bypass_list = ReadProfileString(doc, kOldConnections, n + "[3].psz", "");
    entry.auto_config_url = ReadProfileString(doc, kOldConnections, n + "[4].psz", "");
    entry.desktop_copies = ReadProfileString(doc, kOldConnections, n + ".Desktops", "");
    entries.push_back(std::move(entry));
  }
  return entries;
}

void KorvanForm::ReadPortTable(const ProfileDocument& doc) {
  const int count = std::clamp(ReadProfileInteger(doc, kSetup, "SocketCount", 0), 0, kMaxSocketCount);
  for (int n = 1; n <= count; ++n) {
    const std::string section = SocketSection(n);
    // A count larger than the sections present is damage; rows made up only
    // of defaults would open nothing and hold nothing.
    if (!doc.Find(section, "LPort") && !doc.Find(section, "Protocol")) continue;
    PortRow row;
    row.Port = ReadProfileInteger(doc, section, "LPort", 0);
    row.Protocol = ReadProfileInteger(doc, section, "Protocol", 0);
    row.Host = ReadProfileString(doc, section, "Host", "");
    row.CPort = ReadProfileInteger(doc, section, "CPort", 0);
    row.TimeOut = ReadProfileInteger(doc, section, "Timeout", row.Protocol == 0 ? 10 : 0);
    ports_.Append(std::move(row));
  }
}

void KorvanForm::SelectStoredLanguage(std::string_view user_language) {
  const std::string stored = profile_.ReadString(kConfig, "Language", "");
  TSupportLanguagesAr languages;
  for (const auto& file : settings.language_files) languages.push_back({file, file});
  const auto index = SelectLanguage(languages, stored, user_language);
  settings.LanguageCB.select(index ? static_cast<int>(*index) : -1);
}

bool KorvanForm::WriteINI() {
  if (!form_ready_) return true;
  Profile::Batch batch = profile_.BeginBatch();
  const auto& lang = settings.LanguageCB;
  if (lang.index >= 0 && static_cast<std::size_t>(lang.index) < settings.language_files.size()) {
    batch.WriteString(kConfig, "Language", settings.language_files[static_cast<std::size_t>(lang.index)]);
  }
  batch.WriteBool(kConfig, "ShutDownOK", shut_down_ok_);
  batch.WriteInteger(kConfig, "IDSE_Value", working.user_id);
  batch.WriteInteger(kConfig, "Server", communication.ServerCB.index);
  batch.WriteString(kConfig, "PassEL_Text", working.password);
  batch.WriteString(kConfig, "AcceptIP", working.accept_ip);
  batch.WriteInteger(kConfig, "JPEGCompress", settings.JPEGCompress.value());
  batch.WriteInteger(kConfig, "GIFCompress", settings.GIFCompress.value());
  for (std::size_t i = 0; i < kTaggedCheckBoxes.size(); ++i) {
    batch.WriteBool(kConfig, kTaggedCheckBoxes[i].name, settings.tagged[i].checked);
  }
  batch.WriteBool(kConfig, "ListConnectErr", settings.ListConnectErr.checked);
  batch.WriteBool(kConfig, "ListErrIP", settings.ListErrIP.checked);
  // The parent proxy is written from its fields, so unsaved edits there
  // survive leaving the program in edit mode.
  batch.WriteBool(kConfig, "UseParentProxy", communication.UseParentProxy.checked);
  batch.WriteString(kConfig, "ParentProxyIP", communication.ParentProxyE.text);
  batch.WriteInteger(kConfig, "ParentProxyPort", communication.ParentPortSE.value());
  batch.WriteString(kConfig, "ParentProxyUser", communication.PPUserE.text);
  batch.WriteString(kConfig, "ParentProxyPass", communication.PPPassE.text);
  if (server_address_override_) batch.WriteString(kConfig, "ServerAddress", *server_address_override_);
  if (server_port_override_) batch.WriteString(kConfig, "ServerPort", *server_port_override_);
  if (update_host_override_) batch.WriteString(kConfig, "UpdateHost", *update_host_override_);
  if (max_connections_override_) batch.WriteString(kConfig, "MaxConnections", *max_connections_override_);
  WriteConnections(batch);
  batch.WriteInteger(kSetup, "ActiveTab", active_page_);
  WritePortTable(batch);

  const bool written = batch.Commit();
  if (!written) WriteToLog(std::string(kProfileName) + ": " + profile_.last_error());
  services_.autostart.SetEnabled(settings.Autostart.checked);
  return written;
}

void KorvanForm::WriteConnections(Profile::Batch& batch) const {
  const auto& list = communication.ConnectionsLB;
  int checked = 0;
  if (!service_mode_) {
    for (std::size_t i = 0; i < list.items.size(); ++i) {
      if (list.items[i].checked) batch.WriteString(kConnections, std::to_string(++checked), list.StoredName(i));
    }
  }
  batch.WriteInteger(kOldConnections, "Count", static_cast<std::int64_t>(list.saved.size()));
  for (std::size_t i = 0; i < list.saved.size(); ++i) {
    const std::string n = std::to_string(i);
    batch.WriteString(kOldConnections, n + ".Connection", list.saved[i].connection_name);
    batch.WriteString(kOldConnections, n + "[2].psz", list.saved[i].proxy_server);
    batch.WriteString(kOldConnections, n + "[3].psz", list.saved[i].bypass_list);
    batch.WriteInteger(kOldConnections, n + "[1].dw", list.saved[i].flags);
    // The script address and each desktop's own copy, so that a later run
    // can put back what a killed one could not.
    batch.WriteString(kOldConnections, n + "[4].psz", list.saved[i].auto_config_url);
    batch.WriteString(kOldConnections, n + ".Desktops", list.saved[i].desktop_copies);
  }
  if (!service_mode_) batch.WriteInteger(kConnections, "Count", checked);
}

void KorvanForm::WritePortTable(Profile::Batch& batch) const {
  const auto& rows = ports_.rows();
  batch.WriteInteger(kSetup, "SocketCount", static_cast<std::int64_t>(rows.size()));
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::string section = SocketSection(static_cast<int>(i + 1));
    batch.WriteInteger(section, "LPort", rows[i].Port);
    batch.WriteInteger(section, "Protocol", rows[i].Protocol.value_or(0));
    batch.WriteString(section, "Host", rows[i].Host);
    batch.WriteInteger(section, "CPort", rows[i].CPort);
    batch.WriteInteger(section, "Timeout", rows[i].TimeOut);
  }
}

}  // namespace korvan

// The main form as a model (`TKorvanFM`): it owns the settings, the port
// table and its listeners, the statistics, the chart, the log and the alarm,
// and carries the event handlers that the windows (or tests) invoke. It
// never touches a display; a GUI binds widgets to its state and subscribes
// to `changes` for what it shows.
//
// Thread rule: main thread only. Workers reach it through the main-thread
// hand-off.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shell/connection_page.h"
#include "shell/event_log.h"
#include "shell/model_changes.h"
#include "shell/model_controls.h"
#include "shell/port_setup_dialog.h"
#include "shell/port_table.h"
#include "shell/profile.h"
#include "shell/settings_page.h"
#include "shell/shell_services.h"
#include "shell/statistics_block.h"
#include "shell/statistics_view.h"
#include "shell/traffic_chart.h"
#include "shell/working_settings.h"

namespace korvan {

inline constexpr int kPageCount = 5;
inline constexpr int kMessagesPage = 4;
inline constexpr int kAccountInfoTicks = 300;
inline constexpr std::string_view kProfileName = "Korvan.ini";
inline constexpr int kDefaultMaxConnections = 512;

class KorvanForm {
 public:
  explicit KorvanForm(ShellServices services);
  KorvanForm(const KorvanForm&) = delete;
  KorvanForm& operator=(const KorvanForm&) = delete;

  // Service mode hides the system connections: the service's settings are
  // not the desktop user's. Set once, before Open.
  void SetServiceMode(bool service_mode);
  bool ServiceMode() const { return service_mode_; }

  // --- start-up and tear-down ---
  // The shell's part of the start-up: log opened with its start line,
  // system connections listed, configuration read and ports opened, the
  // statistics shown, the settings saved once (nothing is written to the
  // file yet), the chart cleared; afterwards the form is ready.
  void Open(std::unique_ptr<LogFile> log_file, const std::vector<std::string>& dial_up_names);
  // Writes the configuration, restores the system connections (window
  // mode), writes the log's end line and closes every listener.
  void Close();
  void set_word_list_version(std::uint8_t version) { word_list_version_ = version; }

  // --- configuration ---
  void ReadConfiguration();  // `SocketsMDAfterOpen`
  // Writes the whole configuration; does nothing before the form is ready.
  // False when the file could not be written (also logged).
  bool WriteINI();
  // Selects the language the configuration names, else the one of
  // `user_language`, else the first.
  void SelectStoredLanguage(std::string_view user_language);

  // --- connection settings ---
  bool edit_mode() const { return communication.IDSE.enabled; }
  void Button1Click(bool from_user);
  void LoadSettingsToControls();
  void btnSaveClick();
  void UseParentProxyClick() {
    communication.UseParentProxyClick();
    changes.Notify(ModelChange::kSettings);
  }
  void IGNAppFlashClick();

  // --- port table ---
  // Shows the dialog modally; true when it was closed with OK.
  using PortDialogRunner = std::function<bool(PortSetupDialog&)>;
  bool btnAppendClick(const PortDialogRunner& run);
  bool btnEditClick(std::size_t row, const PortDialogRunner& run);
  bool btnDeleteClick(std::size_t row);
  void ResetConnClick();
  PortTable& ports() { return ports_; }
  const PortTable& ports() const { return ports_; }
  PortSetupDialog& setup_dialog() { return setup_; }
  // The local HTTP port that the system proxy settings and the updater use,
  // fixed when the configuration is read.
  int UpdaterPort() const { return updater_port_; }
  // The update server: the program's own unless the key UpdateHost of
  // [Config] names another (host or host:port).
  std::string UpdateHost() const;
  // The most connection workers at once: MaxConnections of [Config] when it
  // is a whole number in 1..65535, else kDefaultMaxConnections. Read with
  // the configuration; the core reads it ahead with ReadMaxConnections,
  // since the workers begin before the ports open.
  int MaxConnections() const;
  void ReadMaxConnections();

  // --- statistics, chart, log, alarm ---
  void ShowStatistics();
  void AddTraffic(std::uint32_t start, std::uint32_t end, std::uint32_t sent_uncompressed,
                  std::uint32_t sent_compressed, std::uint32_t received_compressed,
                  std::uint32_t received_decompressed);
  void Timer1Timer();
  void WriteToLog(std::string_view text);
  // A status text a worker handed over: connection failures only when the
  // user asked for them; anything written shows the messages page and
  // starts the alarm.
  void ReportWorkerMessage(std::string_view text);
  void ClearLogClick();
  void SetTrayIcon(int state);
  void PageControl1Change(int page);
  void ShowMessagesPage() { SetActivePage(kMessagesPage); }
  void AddOpenConnections(int delta);
  void miShowClick();
  void StopAlarm() { SetTrayIcon(0); }  // FormActivate, Memo1Click

  // --- public state the views bind to ---
  ConnectionPage communication;
  SettingsPage settings;
  WorkingSettings working;
  StatisticsBlock statistics;
  StatisticsTexts statistics_texts;
  // `_UpdateInfo`: disabled while an account query runs (ClientCore runs
  // it); every change is announced as kStatistics.
  Button UpdateInfo{"Aktualizuj"};
  // The self-updater's controls on the messages page; every change is
  // announced as kUpdate. `CheckNewUpdate` is the check button, and the
  // cancel button while a download runs (tag 1); the gauge `UpdatePrgr`
  // counts body bytes and shows on the panel `UpdatePrgrP` only then.
  Button CheckNewUpdate;
  int CheckNewUpdateTag = 0;
  ProgressGauge UpdatePrgr;
  bool UpdatePrgrPVisible = false;
  TrafficChart chart;
  bool account_info_wanted = true;
  ChangeNotifier changes;

  int active_page() const { return active_page_; }
  int open_connections() const { return open_connections_; }
  bool alarm() const { return alarm_; }
  const EventLog& log() const { return log_; }
  bool form_ready() const { return form_ready_; }
  const ShellServices& services() const { return services_; }

 private:
  void ReadPortTable(const ProfileDocument& doc);
  // The copies of OldIEConnections, as the last run wrote them.
  std::vector<TIESettings> ReadPreviousConnections(const ProfileDocument& doc) const;
  void WritePortTable(Profile::Batch& batch) const;
  void WriteConnections(Profile::Batch& batch) const;
  void OnOpenFailed(int port);
  void LogSystemProxyError(int code);
  void SetActivePage(int page);

  ShellServices services_;
  Profile profile_;
  EventLog log_;
  PortTable ports_;
  PortSetupDialog setup_;
  bool form_ready_ = false;
  bool shut_down_ok_ = false;
  bool alarm_ = false;
  bool service_mode_ = false;
  int active_page_ = 0;
  int open_connections_ = 0;
  int timer_ticks_ = 0;
  int updater_port_ = kDefaultHttpPort;
  std::uint8_t word_list_version_ = 0;
  // ServerAddress / ServerPort as read; written back unchanged, and only
  // when they were in the file.
  std::optional<std::string> server_address_override_;
  std::optional<std::string> server_port_override_;
  // UpdateHost as read, kept the same way.
  std::optional<std::string> update_host_override_;
  // MaxConnections as read, kept the same way (also a value not used).
  std::optional<std::string> max_connections_override_;
};

}  // namespace korvan

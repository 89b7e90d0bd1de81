#include "shell/korvan_form.h"

#include "localisation/text_format.h"

namespace korvan {

KorvanForm::KorvanForm(ShellServices services)
    : services_(services),
      profile_(services_.profile),
      log_(services_.clock, services_.locale),
      ports_(services_.listeners, services_.pump, [this](int port) { OnOpenFailed(port); }) {
  communication.Button1.text = services_.texts.Text(TextKey::btnEdit);
}

void KorvanForm::Open(std::unique_ptr<LogFile> log_file, const std::vector<std::string>& dial_up_names) {
  account_info_wanted = true;
  timer_ticks_ = 0;
  form_ready_ = false;
  shut_down_ok_ = false;
  statistics = {};
  log_.AttachFile(std::move(log_file));
  WriteToLog(services_.texts.Text(TextKey::ApplicationStart));
  communication.ConnectionsLB.Build(services_.texts.Text(TextKey::LANSettings), dial_up_names,
                                    services_.system_proxy);
  communication.ConnectionsLB.visible = !service_mode_;
  if (!service_mode_) {
    if (const std::string reached = services_.system_proxy.Description(); !reached.empty()) WriteToLog(reached);
  }
  ReadConfiguration();
  ShowStatistics();
  // Save leaves edit mode, so it must find the form in it.
  communication.IDSE.enabled = true;
  btnSaveClick();
  chart.Reset(services_.clock.TickCount());
  form_ready_ = true;
  changes.Notify(ModelChange::kSettings);
  changes.Notify(ModelChange::kPortTable);
}

void KorvanForm::SetServiceMode(bool service_mode) {
  service_mode_ = service_mode;
  communication.ConnectionsLB.visible = !service_mode;
}

void KorvanForm::Close() {
  WriteINI();
  if (!service_mode_) {
    auto& list = communication.ConnectionsLB;
    for (std::size_t i = 0; i < list.items.size(); ++i) {
      if (!list.items[i].checked) continue;
      LogSystemProxyError(list.SetConnection(list.StoredName(i), false, updater_port_, services_.system_proxy));
    }
    services_.system_proxy.NotifyChanged();
  }
  log_.WriteEndLine(services_.texts.Text(TextKey::ApplicationEnd));
  ports_.DeactivateAll();
}

void KorvanForm::ShowStatistics() {
  statistics_texts = korvan::ShowStatistics(statistics, services_.locale, services_.texts);
  changes.Notify(ModelChange::kStatistics);
}

void KorvanForm::WriteToLog(std::string_view text) {
  const EventLog::FileState state = log_.WriteToLog(text);
  changes.Notify(ModelChange::kLog);
  if (state == EventLog::FileState::kStoppedNow) {
    // Once per failure: the lines wait in memory until the file takes them.
    SetTrayIcon(1);
    services_.prompts.ShowError(log_.file_error());
  }
}

void KorvanForm::SetTrayIcon(int state) {
  const bool alarm = state == 1;
  if (alarm == alarm_) return;
  alarm_ = alarm;
  changes.Notify(ModelChange::kAlarm);
}

void KorvanForm::SetActivePage(int page) {
  if (page == active_page_) return;
  active_page_ = page;
  changes.Notify(ModelChange::kActivePage);
}

void KorvanForm::AddOpenConnections(int delta) {
  if (delta == 0) return;
  open_connections_ += delta;
  changes.Notify(ModelChange::kConnectionCount);
}

void KorvanForm::AddTraffic(std::uint32_t start, std::uint32_t end, std::uint32_t sent_uncompressed,
                            std::uint32_t sent_compressed, std::uint32_t received_compressed,
                            std::uint32_t received_decompressed) {
  chart.AddTraffic(start, end, sent_uncompressed, sent_compressed, received_compressed, received_decompressed);
}

void KorvanForm::Timer1Timer() {
  ++timer_ticks_;
  chart.Tick(services_.clock.TickCount());
  changes.Notify(ModelChange::kChart);
  if (timer_ticks_ >= kAccountInfoTicks) {
    account_info_wanted = true;
    timer_ticks_ = 0;
  }
}

void KorvanForm::ReportWorkerMessage(std::string_view text) {
  const bool connection_error = text == services_.texts.Text(TextKey::ServerConnectionErr) ||
                                text == services_.texts.Text(TextKey::ParentProxyErr);
  if (connection_error && !settings.ListConnectErr.checked) return;
  WriteToLog(text);
  ShowMessagesPage();
  SetTrayIcon(1);
}

void KorvanForm::ClearLogClick() {
  log_.Clear();
  changes.Notify(ModelChange::kLog);
  SetTrayIcon(0);
}

void KorvanForm::PageControl1Change(int page) {
  if (page >= 0 && page < kPageCount) SetActivePage(page);
  SetTrayIcon(0);
}

void KorvanForm::miShowClick() {
  if (alarm_) ShowMessagesPage();
  SetTrayIcon(0);
}

void KorvanForm::OnOpenFailed(int port) {
  const std::string text = FormatText(services_.texts.Text(TextKey::OpenPortErr), {port});
  WriteToLog(text);
  SetTrayIcon(1);
  if (!service_mode_) services_.prompts.ShowError(text);
}

void KorvanForm::LogSystemProxyError(int code) {
  if (code != 0) WriteToLog(FormatText(services_.texts.Text(TextKey::InternetSetOptionErr), {code}));
}

}  // namespace korvan

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
  communication.ConnectionsLB.visible = !services_.service_mode;
  ReadConfiguration();
  ShowStatistics();
  // Save leaves edit mode, so it must find the form in it.
  communication.IDSE.enabled = true;
  _btnSaveClick();
  chart.Reset(services_.clock.TickCount());
  form_ready_ = true;
}

void KorvanForm::Close() {
  WriteINI();
  if (!services_.service_mode) {
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
}

void KorvanForm::AddTraffic(std::uint32_t start, std::uint32_t end, std::uint32_t sent_uncompressed,
                            std::uint32_t sent_compressed, std::uint32_t received_compressed,
                            std::uint32_t received_decompressed) {
  chart.AddTraffic(start, end, sent_uncompressed, sent_compressed, received_compressed, received_decompressed);
}

void KorvanForm::Timer1Timer() {
  ++timer_ticks_;
  chart.Tick(services_.clock.TickCount());
  if (timer_ticks_ >= kAccountInfoTicks) {
    account_info_wanted = true;
    timer_ticks_ = 0;
  }
}

void KorvanForm::ReportWorkerMessage(std::string_view text) {
  const bool connection_error = text == services_.texts.Text(TextKey::ServerConnectionErr) ||
                                text == services_.texts.Text(TextKey::ParentProxyErr);
  if (connection_error && !settings._ListConnectErr.checked) return;
  WriteToLog(text);
  active_page = kMessagesPage;
  SetTrayIcon(1);
}

void KorvanForm::_ClearLogClick() {
  log_.Clear();
  SetTrayIcon(0);
}

void KorvanForm::PageControl1Change(int page) {
  if (page >= 0 && page < kPageCount) active_page = page;
  SetTrayIcon(0);
}

void KorvanForm::miShowClick() {
  if (alarm_) active_page = kMessagesPage;
  SetTrayIcon(0);
}

void KorvanForm::OnOpenFailed(int port) {
  const std::string text = FormatText(services_.texts.Text(TextKey::OpenPortErr), {port});
  WriteToLog(text);
  SetTrayIcon(1);
  if (!services_.service_mode) services_.prompts.ShowError(text);
}

void KorvanForm::LogSystemProxyError(int code) {
  if (code != 0) WriteToLog(FormatText(services_.texts.Text(TextKey::InternetSetOptionErr), {code}));
}

}  // namespace korvan

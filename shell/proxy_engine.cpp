#include "shell/proxy_engine.h"

#include <algorithm>
#include <limits>

#include "response/client_access.h"
#include "shell/statistics_view.h"
#include "tunnel/session_opening.h"

namespace korvan {
namespace {

constexpr int kUpdaterConnectWaits = 11;

std::uint32_t Clamp32(std::int64_t v) {
  return static_cast<std::uint32_t>(std::clamp<std::int64_t>(v, 0, std::numeric_limits<std::uint32_t>::max()));
}

}  // namespace

ProxyEngine::ProxyEngine(KorvanForm& form, const TextTable& texts, const LanguageState& language,
                         std::span<const std::uint8_t> flash_movie)
    : form_(form), texts_(texts), language_(language), handler_(texts, flash_movie, *this) {}

OpeningDecision ProxyEngine::PrepareOpening(const AcceptedClient& client) {
  OpeningDecision decision;
  const auto entry = form_.ports().CopyEntry(client.port_index);
  if (!entry || entry->protocol > static_cast<std::uint8_t>(Protocol::kSmtp)) {
    return decision;  // the row was deleted meanwhile
  }
  const WorkingSettings& w = form_.working;
  OpeningInputs in;
  in.protocol = static_cast<Protocol>(entry->protocol);
  in.target_host = entry->remote_host;
  in.target_port = static_cast<std::uint16_t>(entry->remote_port);
  in.timeout = entry->timeout;
  in.login = w.login_block;
  in.picture_compression = w.picture_compression;
  in.filter_word = w.filter_word;
  in.account_info_wanted = form_.account_info_wanted;
  in.server_address = w.server_address;
  in.server_port = static_cast<std::uint16_t>(w.server_port);
  in.use_parent_proxy = w.use_parent_proxy;
  in.parent_host = w.parent_proxy_address;
  in.parent_port = w.parent_proxy_port;
  in.parent_user = w.parent_proxy_user;
  in.parent_password = w.parent_proxy_password;

  // The updater publishes its source port right after its connect; give it
  // the moment it needs (its publish is a hand-off that runs in here).
  const ShellServices& services = form_.services();
  for (int i = 0; i < kUpdaterConnectWaits && updater_local_port == kUpdaterConnecting; ++i) {
    services.clock.Sleep(100);
    services.pump.RunPending();
  }
  const AccessDecision access =
      CheckIP(w.accept_ip, client.local_address, client.address, client.port, updater_local_port,
              form_.settings.ListErrIP.checked, texts_.Text(TextKey::AccessDeniedErr));
  if (!access.admitted) {
    if (!access.log_text.empty()) {
      form_.WriteToLog(access.log_text);
      form_.SetTrayIcon(kTrayIconAlarm);
    }
    return decision;
  }
  decision.admitted = true;
  decision.is_update_check = client.port == updater_local_port;
  decision.plan = PrepareOpeningPlan(in);
  return decision;
}

std::string ProxyEngine::TunnelFailureText(TunnelFailure failure) {
  return std::string(
      texts_.Text(failure == TunnelFailure::kParentProxy ? TextKey::ParentProxyErr : TextKey::ServerConnectionErr));
}

void ProxyEngine::AddTraffic(std::uint32_t start, std::uint32_t end, std::int64_t raw_out, std::int64_t wire_out,
                             std::int64_t wire_in, std::int64_t raw_in) {
  form_.AddTraffic(start, end, Clamp32(raw_out), Clamp32(wire_out), Clamp32(wire_in), Clamp32(raw_in));
}

void ProxyEngine::AddToTotals(double received_raw_kib, double sent_raw_kib, double received_wire_kib,
                              double sent_wire_kib) {
  StatisticsBlock& s = form_.statistics;
  s.received_uncompressed += received_raw_kib;
  s.sent_uncompressed += sent_raw_kib;
  s.received_compressed += received_wire_kib;
  s.sent_compressed += sent_wire_kib;
}

void ProxyEngine::AccountInfoArrived(double prepaid_until, double valid_until, std::uint8_t further) {
  form_.account_info_wanted = false;
  form_.statistics.prepaid_until = prepaid_until;
  form_.statistics.account_valid_until = valid_until;
  form_.statistics.further = further;
  form_.ShowStatistics();
}

ListingFormat ProxyEngine::Formats() {
  const LocaleFormat& l = form_.services().locale;
  return {l.thousands_separator, l.decimal_separator, l.date_pattern, l.time_pattern};
}

double ProxyEngine::OverallSavedPercent() { return SavedPercent(form_.statistics); }

}  // namespace korvan

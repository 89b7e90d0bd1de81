#include "platform/kde_proxy_settings.h"

#include <gio/gio.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/kconfig_file.h"
#include "platform/proxy_server_text.h"

namespace korvan {
namespace {

constexpr std::string_view kGroup = "Proxy Settings";
constexpr const char* kKeys[] = {"ProxyType",  "httpProxy",           "httpsProxy",      "ftpProxy",
                                 "socksProxy", "NoProxyFor",          "Proxy Config Script",
                                 "ReversedException"};
constexpr const char* kProxyKeys[] = {"httpProxy", "httpsProxy", "ftpProxy", "socksProxy"};

// "http://host port", "http://host:port", "host:port" -> host and port.
ProxyHostPort ParseKdeProxy(std::string_view value) {
  if (const std::size_t scheme = value.find("://"); scheme != std::string_view::npos) value.remove_prefix(scheme + 3);
  while (!value.empty() && value.back() == '/') value.remove_suffix(1);
  if (const std::size_t blank = value.rfind(' '); blank != std::string_view::npos) {
    ProxyHostPort parsed = ParseHostPort(std::string(value.substr(0, blank)) + ":" + std::string(value.substr(blank + 1)));
    if (parsed.port != 0) return parsed;
  }
  return ParseHostPort(value);
}

std::string FormatKdeProxy(std::string_view scheme, const ProxyHostPort& value) {
  if (value.empty()) return {};
  std::string text = std::string(scheme) + "://" + value.host;
  if (value.port != 0) text += " " + std::to_string(value.port);
  return text;
}

int ErrnoOr(int fallback) { return errno != 0 ? errno : fallback; }

}  // namespace

int KdeProxySettings::Read(TIESettings& mapped, DesktopValues& own) {
  errno = 0;
  const auto file = KConfigFile::Load(file_, &last_error_);
  if (!file) return ErrnoOr(EIO);
  const auto text = [&file](const char* key) { return KConfigFile::Unescape(file->Get(kGroup, key).value_or("")); };

  const std::string type = text("ProxyType");
  const std::string script = text("Proxy Config Script");
  mapped.flags = type == "1" ? 3 : type == "2" ? 5 : type == "3" ? 9 : 1;
  ProxyHosts proxies;
  ProxyHostPort* targets[4] = {&proxies.http, &proxies.https, &proxies.ftp, &proxies.socks};
  for (int i = 0; i < 4; ++i) *targets[i] = ParseKdeProxy(text(kProxyKeys[i]));
  mapped.proxy_server = FormatProxyServer(proxies);
  mapped.bypass_list = JoinList(SplitList(text("NoProxyFor"), ','), ';');
  mapped.auto_config_url = script;

  DesktopValues values;
  for (const char* key : kKeys) {
    if (auto raw = file->Get(kGroup, key)) values.emplace_back(key, std::move(*raw));
  }
  own = std::move(values);
  return 0;
}

int KdeProxySettings::Write(const TIESettings& settings) {
  errno = 0;
  auto file = KConfigFile::Load(file_, &last_error_);
  if (!file) return ErrnoOr(EIO);
  const int type = (settings.flags & 4) != 0 ? 2 : (settings.flags & 8) != 0 ? 3 : (settings.flags & 2) != 0 ? 1 : 0;
  const ProxyHosts proxies = ParseProxyServer(settings.proxy_server);
  file->Set(kGroup, "ProxyType", std::to_string(type));
  file->Set(kGroup, "httpProxy", KConfigFile::Escape(FormatKdeProxy("http", proxies.http)));
  file->Set(kGroup, "httpsProxy", KConfigFile::Escape(FormatKdeProxy("http", proxies.https)));
  file->Set(kGroup, "ftpProxy", KConfigFile::Escape(FormatKdeProxy("http", proxies.ftp)));
  file->Set(kGroup, "socksProxy", KConfigFile::Escape(FormatKdeProxy("socks", proxies.socks)));
  file->Set(kGroup, "NoProxyFor", KConfigFile::Escape(JoinList(SplitList(settings.bypass_list, ';'), ',')));
  file->Set(kGroup, "Proxy Config Script", KConfigFile::Escape(settings.auto_config_url));
  // The list names the hosts that go direct, never the only ones proxied.
  file->Set(kGroup, "ReversedException", "false");
  errno = 0;
  return file->Save(file_, &last_error_) ? 0 : ErrnoOr(EIO);
}

int KdeProxySettings::Restore(const DesktopValues& own) {
  errno = 0;
  auto file = KConfigFile::Load(file_, &last_error_);
  if (!file) return ErrnoOr(EIO);
  for (const char* key : kKeys) {
    const auto kept = std::find_if(own.begin(), own.end(), [key](const auto& v) { return v.first == key; });
    if (kept == own.end()) {
      file->Remove(kGroup, key);
    } else {
      file->Set(kGroup, key, kept->second);
    }
  }
  errno = 0;
  return file->Save(file_, &last_error_) ? 0 : ErrnoOr(EIO);
}

void KdeProxySettings::Notify() {
  if (!notify_) return;
  // Without a session bus there is nobody to tell; GIO would otherwise try
  // to start one.
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address == nullptr || *address == '\0') return;
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (bus == nullptr) {
    last_error_ = std::string("session bus: ") + (error != nullptr ? error->message : "not reachable");
    g_clear_error(&error);
    return;
  }
  // KDE's programs re-read their proxy settings on this signal.
  if (!g_dbus_connection_emit_signal(bus, nullptr, "/KIO/Scheduler", "org.kde.KIO.Scheduler",
                                     "reparseSlaveConfiguration", g_variant_new("(s)", ""), &error)) {
    last_error_ = std::string("session bus: ") + (error != nullptr ? error->message : "signal not sent");
    g_clear_error(&error);
  }
  g_dbus_connection_flush_sync(bus, nullptr, nullptr);
  g_object_unref(bus);
}

}  // namespace korvan

// The system's per-connection proxy settings, as the shell sees them. The
// desktop back-ends live in platform/; tests use an in-memory store.
//
// Thread rule: main thread only.
#pragma once

#include <cstdint>
#include <string>

namespace korvan {

// The proxy settings of one system connection. The LAN settings have an
// empty connection name. Flag bits: 1 direct, 2 through a proxy, 4 a
// configuration script (at auto_config_url), 8 detect the proxy.
struct TIESettings {
  std::string connection_name;
  std::int32_t flags = 0;
  std::string proxy_server;
  std::string bypass_list;
  std::string auto_config_url;
  // What each desktop itself held when these settings were read, so that
  // putting them back restores every desktop exactly. Only the store reads
  // it; settings the program makes carry none.
  std::string desktop_copies;

  bool operator==(const TIESettings&) const = default;
};

class SystemProxyStore {
 public:
  virtual ~SystemProxyStore() = default;
  // Fills flags, proxy server and bypass list of `entry` for its connection
  // name; 0 on success, else an error code and `entry` unchanged.
  virtual int Query(TIESettings& entry) = 0;
  // Sets the connection's settings; 0 on success, else an error code.
  virtual int Apply(const TIESettings& entry) = 0;
  // Tells programs that the settings changed and must be read again.
  virtual void NotifyChanged() = 0;
  // Which settings the store reaches, for the log; empty when there is
  // nothing to say.
  virtual std::string Description() const { return {}; }
};

}  // namespace korvan

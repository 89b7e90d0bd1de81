// The system's per-connection proxy settings, as the shell sees them. The
// desktop back-ends come later; tests use an in-memory store.
//
// Thread rule: main thread only.
#pragma once

#include <cstdint>
#include <string>

namespace korvan {

// The proxy settings of one system connection. The LAN settings have an
// empty connection name. Flag bits: 1 direct, 2 through a proxy.
struct TIESettings {
  std::string connection_name;
  std::int32_t flags = 0;
  std::string proxy_server;
  std::string bypass_list;
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
};

}  // namespace korvan

#include "shell/port_setup_dialog.h"

#include <array>

#include "shell/port_table.h"

namespace korvan {
namespace {

constexpr std::array<std::string_view, kProtocolCount> kDefaultHosts = {"HTTP server", kDefaultMappingHost,
                                                                        "SOCKS 4 server", "SMTP server"};

}  // namespace

PortSetupDialog::PortSetupDialog() {
  ProtocolCB.items = {"HTTP", "TCP/IP", "SOCKS 4", "SMTP"};
  ProtocolCB.index = 0;
}

void PortSetupDialog::ProtocolCBChange() {
  const int code = ProtocolCB.index;
  HostEL.text = (code >= 0 && code < kProtocolCount) ? std::string(kDefaultHosts[static_cast<std::size_t>(code)])
                                                     : std::string();
  HostEL.visible = code == 1;
  if (!HostEL.visible) CPortSE.set_value(0);  // the range makes it 1
  CPortSE.visible = code == 1;
  host_label_visible = HostEL.visible;
  port_label_visible = HostEL.visible;
}

std::optional<std::string> PortSetupDialog::btnOKClick(const PortTable& table) const {
  if (LPortSE.value() != old_port && table.HasPort(LPortSE.value())) {
    return "Port " + std::to_string(LPortSE.value()) + " je ji\x9E pou\x9E\xEDv\xE1n.";
  }
  return std::nullopt;
}

void PortSetupDialog::PrepareAppend() {
  ProtocolCB.select(0);
  TimeoutS.set_value(0);
  ProtocolCBChange();
  old_port = -1;
}

void PortSetupDialog::PrepareEdit(const PortRow& row) {
  old_port = row.Port;
  ProtocolCB.select(row.Protocol.value_or(-1));
  ProtocolCBChange();
  LPortSE.set_value(row.Port);
  CPortSE.set_value(row.CPort);
  HostEL.text = row.Host;
  TimeoutS.set_value(row.TimeOut);
}

PortRow PortSetupDialog::Values() const {
  PortRow row;
  row.Port = LPortSE.value();
  row.CPort = CPortSE.value();
  if (ProtocolCB.index >= 0) row.Protocol = ProtocolCB.index;
  row.Host = HostEL.text.substr(0, kMaxHostLength);
  row.TimeOut = TimeoutS.value();
  return row;
}

}  // namespace korvan

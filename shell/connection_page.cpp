#include "shell/connection_page.h"

#include "shell/server_table.h"

namespace korvan {

ConnectionPage::ConnectionPage() {
  AcceptIPEL.text = "127.0.0.1";
  for (const auto& server : kServerTable) ServerCB.items.emplace_back(server.display_name);
  SetEditable(false);
}

void ConnectionPage::_UseParentProxyClick() {
  const bool on = _UseParentProxy.enabled && _UseParentProxy.checked;
  ParentProxyE.enabled = on;
  ParentPortSE.enabled = on;
  PPUserE.enabled = on;
  PPPassE.enabled = on;
}

void ConnectionPage::SetEditable(bool editable) {
  IDSE.enabled = editable;
  PassEL.enabled = editable;
  ServerCB.enabled = editable;
  AcceptIPEL.enabled = editable;
  _btnSave.enabled = editable;
  ConnectionsLB.enabled = editable;
  _UseParentProxy.enabled = editable;
  _UseParentProxyClick();
}

}  // namespace korvan

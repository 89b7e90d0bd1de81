#include "shell/connection_page.h"

#include "shell/server_table.h"

namespace korvan {

ConnectionPage::ConnectionPage() {
  AcceptIPEL.text = "127.0.0.1";
  for (const auto& server : kServerTable) ServerCB.items.emplace_back(server.display_name);
  SetEditable(false);
}

void ConnectionPage::UseParentProxyClick() {
  const bool on = UseParentProxy.enabled && UseParentProxy.checked;
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
  btnSave.enabled = editable;
  ConnectionsLB.enabled = editable;
  UseParentProxy.enabled = editable;
  UseParentProxyClick();
}

}  // namespace korvan

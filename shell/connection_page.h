// The connection settings as the user edits them: account, server, accepted
// addresses, parent proxy and the system connections. Outside edit mode the
// fields are locked; Save commits them into the working settings.
//
// Thread rule: main thread only, like the form that owns it.
#pragma once

#include "shell/model_controls.h"
#include "shell/system_connections.h"

namespace korvan {

struct ConnectionPage {
  ConnectionPage();

  SpinEdit IDSE{100000000, 999999999, 100000000};
  EditBox PassEL;
  ComboBox ServerCB;
  EditBox AcceptIPEL;
  CheckBox UseParentProxy;
  EditBox ParentProxyE;
  SpinEdit ParentPortSE{1, 65535, 3128};
  EditBox PPUserE;
  EditBox PPPassE;
  SystemConnections ConnectionsLB;
  Button Button1;
  Button btnSave;
  Button ResetConn;

  bool edit_mode = false;

  // Enables the parent-proxy fields exactly when the box is enabled and checked.
  void UseParentProxyClick();
  // Locks or unlocks the fields that edit mode governs.
  void SetEditable(bool editable);
};

}  // namespace korvan

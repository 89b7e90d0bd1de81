// The port setup dialog's logic (`TSetupFM`): the values of one row, what
// the chosen kind shows, and the check that the local port is not taken.
// The GUI shows it modally; tests fill it in and press OK.
//
// Thread rule: main thread only.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "shell/model_controls.h"
#include "shell/port_row.h"

namespace korvan {

class PortTable;

// The host a new TCP/IP mapping starts with.
inline constexpr std::string_view kDefaultMappingHost = "localhost";

class PortSetupDialog {
 public:
  PortSetupDialog();

  SpinEdit LPortSE{1, 65535, 1};
  ComboBox ProtocolCB;
  Slider TimeoutS{0, 15, 0};
  EditBox HostEL;
  SpinEdit CPortSE{1, 16384, 1};
  bool host_label_visible = true;
  bool port_label_visible = true;
  // The port of the row being edited; -1 while a row is being added.
  int old_port = -1;

  // Puts the chosen kind's default host into the host field and shows host
  // and remote port only for a TCP/IP mapping.
  void ProtocolCBChange();

  // The error text when the local port belongs to another row; nullopt
  // when the dialog may close with OK.
  std::optional<std::string> btnOKClick(const PortTable& table) const;

  // Prepares adding a row / editing `row`.
  void PrepareAppend();
  void PrepareEdit(const PortRow& row);

  // The row the dialog describes; the host is cut to what the field holds.
  PortRow Values() const;
};

}  // namespace korvan

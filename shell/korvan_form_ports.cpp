// The port table's buttons.
#include "localisation/text_format.h"
#include "shell/korvan_form.h"

namespace korvan {

bool KorvanForm::btnAppendClick(const PortDialogRunner& run) {
  setup_.PrepareAppend();
  if (!run(setup_)) return false;
  ports_.Append(setup_.Values());
  changes.Notify(ModelChange::kPortTable);
  return true;
}

bool KorvanForm::btnEditClick(std::size_t row, const PortDialogRunner& run) {
  if (row >= ports_.rows().size()) return false;
  setup_.PrepareEdit(ports_.rows()[row]);
  if (!run(setup_)) return false;
  ports_.Edit(row, setup_.Values());
  changes.Notify(ModelChange::kPortTable);
  return true;
}

bool KorvanForm::btnDeleteClick(std::size_t row) {
  if (row >= ports_.rows().size()) return false;
  const PortRow& r = ports_.rows()[row];
  const std::string question = FormatText(services_.texts.Text(TextKey::DeleteProtocolQuery),
                                          {ProtocolText(r.Protocol), std::to_string(r.Port)});
  if (!services_.prompts.AskYesNo(services_.texts.Text(TextKey::msgQuestion), question)) return false;
  ports_.Delete(row);
  changes.Notify(ModelChange::kPortTable);
  return true;
}

void KorvanForm::ResetConnClick() {
  ports_.ResetConnections();
  changes.Notify(ModelChange::kPortTable);
}

}  // namespace korvan

// The connection settings' edit mode and Save.
#include "shell/korvan_form.h"

#include "shell/server_table.h"
#include "wire/opening.h"

namespace korvan {

void KorvanForm::Button1Click(bool from_user) {
  if (!edit_mode()) {
    communication.ConnectionsLB.RememberStates();
    communication.Button1.text = services_.texts.Text(TextKey::btnCancel);
    communication.SetEditable(true);
    changes.Notify(ModelChange::kEditMode);
    return;
  }
  communication.Button1.text = services_.texts.Text(TextKey::btnEdit);
  if (from_user) LoadSettingsToControls();
  communication.SetEditable(false);
  changes.Notify(ModelChange::kEditMode);
}

void KorvanForm::LoadSettingsToControls() {
  auto& page = communication;
  page.IDSE.set_value(working.user_id);
  page.PassEL.text = working.password;
  page.AcceptIPEL.text = working.accept_ip;
  page.ConnectionsLB.RestoreStates();
  page.UseParentProxy.checked = working.use_parent_proxy;
  page.ParentProxyE.text = working.parent_proxy_address;
  page.ParentPortSE.set_value(working.parent_proxy_port);
  page.PPUserE.text = working.parent_proxy_user;
  page.PPPassE.text = working.parent_proxy_password;
  page.UseParentProxyClick();
  IGNAppFlashClick();
}

void KorvanForm::IGNAppFlashClick() {
  working.filter_word = settings.FilterWord();
  working.picture_compression = settings.PictureCompression();
  changes.Notify(ModelChange::kSettings);
}

void KorvanForm::btnSaveClick() {
  account_info_wanted = true;

  auto& page = communication;
  working.user_id = page.IDSE.value();
  working.password = page.PassEL.text;
  working.accept_ip = page.AcceptIPEL.text;
  working.use_parent_proxy = page.UseParentProxy.checked;
  working.parent_proxy_address = page.ParentProxyE.text;
  working.parent_proxy_port = page.ParentPortSE.value();
  working.parent_proxy_user = page.PPUserE.text;
  working.parent_proxy_password = page.PPPassE.text;

  if (page.ServerCB.index == 0) {
    working.server_address = server_address_override_.value_or(DottedAddress(kServerTable[0].address));
  } else {
    working.server_address.clear();
  }
  working.server_port = kDefaultServerPort;
  if (server_port_override_) {
    const auto port = ParseProfileInteger(*server_port_override_);
    if (port && *port >= 1 && *port <= 65535) working.server_port = *port;
  }

  Button1Click(false);

  if (!service_mode_) {
    auto& list = page.ConnectionsLB;
    bool changed = false;
    for (std::size_t i = 0; i < list.items.size(); ++i) {
      if (!list.ChangedSinceRemembered(i)) continue;
      changed = true;
      LogSystemProxyError(
          list.SetConnection(list.StoredName(i), list.items[i].checked, updater_port_, services_.system_proxy));
    }
    if (changed) services_.system_proxy.NotifyChanged();
  }

  working.login_block = MakeLoginBlock(working.user_id, page.PassEL.text, word_list_version_, services_.host_identity);
  WriteINI();
  changes.Notify(ModelChange::kSettings);
}

}  // namespace korvan

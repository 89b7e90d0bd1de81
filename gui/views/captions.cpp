#include "gui/views/captions.h"

#include <array>
#include <utility>

#include <QAbstractButton>
#include <QApplication>
#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QTabWidget>

#include "gui/views/widget_text.h"
#include "localisation/caption_keys.h"
#include "shell/client_core.h"

namespace korvan::gui {
namespace {

// The captions the windows were designed with.
constexpr std::array<std::pair<std::string_view, const char*>, 54> kDesignCaptions = {{
    {"_tsCommunication", "Komunikace"},
    {"_AutomaticSetup", "Automatické nastavení"},
    {"_KORVANService", "KORVAN je spuštěna jako služba, použijte ruční nastavení."},
    {"_ConnectionSetup", "Nastavení připojení"},
    {"_UserID", "ID uživatele:"},
    {"_password", "Heslo:"},
    {"_Server", "Server:"},
    {"_AcceptIP", "Akceptovat z IP:"},
    {"_ppAdress", "Adresa:"},
    {"_ppPort", "Port:"},
    {"_ppUser", "Uživatel:"},
    {"_ppPassword", "Heslo:"},
    {"_UseParentProxy", "Používat nadřízenou proxy (HTTP tunnel)"},
    {"_btnSave", "&Uložit"},
    {"_ResetConn", "&Reset spojení"},
    {"_tsSettings", "Nastavení"},
    {"_Language", "Jazyk:"},
    {"_Autostart", "Spouštět KORVAN při startu Windows"},
    {"_IgnoreAdvertisement", "Ignorovat reklamu"},
    {"_PictureCompress", "Komprese obrázků"},
    {"_maxCompress", "Max. komprese"},
    {"_noCompress", "Nekomprimovat"},
    {"_debug", "Zaznamenávat"},
    {"_ListConnectErr", "Chyby spojení"},
    {"_ListErrIP", "Pokus připojení přes nepovol. IP"},
    {"_HTMLOptimization", "Optimalizovat HTML"},
    {"_tsProtocols", "Protokoly"},
    {"_btnDelete", "&Smazat"},
    {"_btnAppend", "&Přidat"},
    {"_btnEdit", "&Editovat"},
    {"_tsStatistics", "Statistiky"},
    {"_ReceivedSize", "Přijato:"},
    {"_SentSize", "Odesláno:"},
    {"_TotalSize", "Celkem:"},
    {"_AccountExpiration", "Datum platnosti účtu:"},
    {"_OriginalSize", "Původní velikost"},
    {"_CompressedSize", "Zkomprimováno"},
    {"_SavedSize", "Ušetřeno"},
    {"_CreditExpiration", "Předplaceno do:"},
    {"_chartSentKORVAN", "Odesláno KORVAN"},
    {"_chartSent", "Odesláno"},
    {"_chartReceivedKORVAN", "Přijato KORVAN"},
    {"_chartReceived", "Přijato"},
    {"_ConnCount", "Počet spojení:"},
    {"_UpdateInfo", "Aktualizuj"},
    {"_tsMessages", "Zprávy"},
    {"_ClearLog", "&Vymazat"},
    // The port setup dialog.
    {"_LocalPort", "Lokální port:"},
    {"_Protocol", "Protokol:"},
    {"_TargetHost", "Host:"},
    {"_TargetPort", "Cílový port:"},
    {"_Timeout", "Timeout:"},
    // Sliders have no caption; their names still read well to a screen reader.
    {"_JPEGCompress", "JPEG"},
    {"_GIFCompress", "GIF"},
}};

constexpr std::array<const char*, kGridColumnKeys.size()> kDesignGridTitles = {"L. port", "Protokol", "Host",
                                                                               "C. port", "Timeout"};

bool IsSlider(std::string_view name) { return name == "_JPEGCompress" || name == "_GIFCompress"; }

}  // namespace

QString DesignCaption(std::string_view control_name) {
  for (const auto& [name, caption] : kDesignCaptions) {
    if (name == control_name) return QString::fromUtf8(caption);
  }
  return {};
}

QString CurrentCaption(const ClientCore& core, std::string_view control_name) {
  const auto& captions = core.language().captions.main_form;
  if (const auto it = captions.find(std::string(control_name)); it != captions.end()) {
    return WidgetText(it->second, core);
  }
  return DesignCaption(control_name);
}

QString DesignGridTitle(std::size_t column) {
  return column < kDesignGridTitles.size() ? QString::fromUtf8(kDesignGridTitles[column]) : QString();
}

QString DesignPortSetupTitle() { return QString::fromUtf8("Nastevení protokolu"); }

QString PlainCaption(const QString& caption) {
  QString plain;
  plain.reserve(caption.size());
  for (qsizetype i = 0; i < caption.size(); ++i) {
    if (caption[i] == u'&') {
      if (i + 1 < caption.size() && caption[i + 1] == u'&') {
        plain.append(u'&');
        ++i;
      }
      continue;
    }
    plain.append(caption[i]);
  }
  return plain.simplified();
}

void SetCaption(QWidget& widget, const QString& caption) {
  // A tab page's caption is its tab.
  if (auto* stack = widget.parentWidget()) {
    if (auto* tabs = qobject_cast<QTabWidget*>(stack->parentWidget())) {
      const int index = tabs->indexOf(&widget);
      if (index >= 0) {
        tabs->setTabText(index, caption);
        widget.setAccessibleName(PlainCaption(caption));
        return;
      }
    }
  }
  if (auto* label = qobject_cast<QLabel*>(&widget)) {
    label->setText(caption);
    // A label names the control it belongs to.
    if (QWidget* buddy = label->buddy()) buddy->setAccessibleName(PlainCaption(caption));
  } else if (auto* button = qobject_cast<QAbstractButton*>(&widget)) {
    button->setText(caption);
  } else if (auto* group = qobject_cast<QGroupBox*>(&widget)) {
    group->setTitle(caption);
  } else if (widget.isWindow()) {
    widget.setWindowTitle(caption);
  } else if (!IsSlider(widget.objectName().toStdString())) {
    return;  // a kind of control that shows no caption
  }
  widget.setAccessibleName(PlainCaption(caption));
}

void ApplyCaptions(QWidget& root, const std::map<std::string, std::string>& captions, const ClientCore& core) {
  QList<QWidget*> controls = root.findChildren<QWidget*>();
  controls.prepend(&root);
  for (QWidget* control : controls) {
    const std::string name = control->objectName().toStdString();
    if (!name.starts_with('_')) continue;
    const auto found = captions.find(name);
    const QString caption = found != captions.end() ? WidgetText(found->second, core) : DesignCaption(name);
    if (caption.isEmpty() && found == captions.end()) continue;
    SetCaption(*control, caption);
  }
}

QFont LanguageFont(const ClientCore& core, const QFont& base) {
  QFont font = base;
  const std::string& face = core.language().font_name;
  if (face.empty() || face == "MS SANS SERIF") {
    font.setFamily(QFontDatabase::systemFont(QFontDatabase::GeneralFont).family());
  } else {
    font.setFamily(QString::fromLatin1(face.data(), static_cast<qsizetype>(face.size())));
  }
  return font;
}

}  // namespace korvan::gui

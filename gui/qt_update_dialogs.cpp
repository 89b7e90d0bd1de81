#include "gui/qt_update_dialogs.h"

#include <QMessageBox>
#include <ostream>

#include "gui/views/update_dialog.h"

namespace korvan::gui {
namespace {

QMessageBox::Icon BoxIcon(std::uint32_t type) {
  switch (type & 0xF0U) {
    case kMbIconError:
      return QMessageBox::Critical;
    case kMbIconQuestion:
      return QMessageBox::Question;
    case kMbIconInformation:
      return QMessageBox::Information;
    default:
      return QMessageBox::NoIcon;
  }
}

bool AsksYesNo(std::uint32_t type) { return (type & 0x0FU) == kMbYesNo; }

// The texts break lines with CR LF or a bare CR; the box wants LF.
QString BoxLines(QString text) {
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return text;
}

// One line for standard error: a CR would overwrite it on a terminal.
std::string OneLine(const QString& text) {
  return BoxLines(text).split(QLatin1Char('\n'), Qt::SkipEmptyParts).join(QLatin1Char(' ')).simplified().toStdString();
}

}  // namespace

std::int32_t QtUpdateDialogs::ShowMessageBox(const MessageBoxRequest& request) {
  const QString caption = prompts_.Text(request.caption);
  const QString text = prompts_.Text(request.text);
  const bool yes_no = AsksYesNo(request.type);
  const bool error = (request.type & 0xF0U) == kMbIconError;
  if (!prompts_.interactive() || error) {
    err_ << "korvan: ";
    if (!caption.isEmpty()) err_ << OneLine(caption) << ": ";
    err_ << OneLine(text);
    if (!prompts_.interactive() && yes_no) err_ << " (answered no)";
    err_ << std::endl;
  }
  if (!prompts_.interactive()) return yes_no ? kIdNo : kIdOk;

  QMessageBox box(BoxIcon(request.type), caption, BoxLines(text),
                  yes_no ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, prompts_.visible_owner());
  if (yes_no) {
    box.setDefaultButton(QMessageBox::Yes);
    // Closing the box is No: there is no Cancel to stand for it.
    box.setEscapeButton(QMessageBox::No);
  }
  const int pressed = box.exec();
  if (!yes_no) return kIdOk;
  return pressed == QMessageBox::Yes ? kIdYes : kIdNo;
}

UpdateDialogAnswer QtUpdateDialogs::ShowUpdateDialog(const UpdateDialogRequest& request) {
  if (!prompts_.interactive()) {
    err_ << "korvan: " << OneLine(prompts_.Text(request.caption)) << ": " << OneLine(prompts_.Text(request.question))
         << " (answered no)" << std::endl;
    return UpdateDialogAnswer{false, false};
  }
  TUpdateFM dialog(request, prompts_.core(), prompts_.visible_owner());
  return dialog.Run();
}

}  // namespace korvan::gui

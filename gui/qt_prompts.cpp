#include "gui/qt_prompts.h"

#include <QGuiApplication>
#include <QMessageBox>

#include <iconv.h>

#include <ostream>
#include <string>

#include "gui/views/widget_text.h"

namespace korvan::gui {

bool PlatformIsInteractive() {
  const QString name = QGuiApplication::platformName();
  return name != QLatin1String("offscreen") && name != QLatin1String("minimal");
}

QString FromCodePage1250(std::string_view bytes) {
  iconv_t cd = iconv_open("UTF-8", "CP1250");
  if (cd == reinterpret_cast<iconv_t>(-1)) return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
  std::string in(bytes);
  std::string out(in.size() * 4 + 4, '\0');
  char* in_ptr = in.data();
  std::size_t in_left = in.size();
  char* out_ptr = out.data();
  std::size_t out_left = out.size();
  while (in_left > 0) {
    if (iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) == static_cast<std::size_t>(-1)) {
      // A byte the code page leaves undefined becomes "?".
      *out_ptr++ = '?';
      --out_left;
      ++in_ptr;
      --in_left;
    }
  }
  iconv_close(cd);
  out.resize(out.size() - out_left);
  return QString::fromStdString(out);
}

QtPrompts::QtPrompts(std::ostream& err) : err_(err), interactive_(PlatformIsInteractive()) {}

QString QtPrompts::Text(std::string_view bytes) const {
  return core_ != nullptr ? WidgetText(bytes, *core_) : FromCodePage1250(bytes);
}

void QtPrompts::ShowError(std::string_view text) {
  const QString shown = Text(text);
  err_ << "korvan: " << shown.toStdString() << std::endl;
  if (!interactive_) return;
  // An error box has no caption of its own.
  QMessageBox box(QMessageBox::Critical, QString(), shown, QMessageBox::Ok, owner_.data());
  box.exec();
}

bool QtPrompts::AskYesNo(std::string_view caption, std::string_view text) {
  const QString title = Text(caption);
  const QString question = Text(text);
  if (!interactive_) {
    err_ << "korvan: " << title.toStdString() << ": " << question.toStdString() << " (answered no)" << std::endl;
    return false;
  }
  QMessageBox box(QMessageBox::Question, title, question, QMessageBox::Yes | QMessageBox::No, owner_.data());
  box.setDefaultButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

void QtPrompts::ShowStartError(const QString& text, std::ostream& err) {
  err << "korvan: " << text.toStdString() << std::endl;
  if (!PlatformIsInteractive()) return;
  QMessageBox box(QMessageBox::Critical, QStringLiteral("KORVAN"), text, QMessageBox::Ok);
  box.exec();
}

}  // namespace korvan::gui

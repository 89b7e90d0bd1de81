#include "shell/statistics_view.h"

#include "localisation/text_format.h"
#include "response/banner_image.h"
#include "shell/number_text.h"

namespace korvan {
namespace {

std::string DateOrUnknown(double days, const LocaleFormat& locale) {
  return days == 0 ? "?" : FormatDateTime(days, locale);
}

}  // namespace

double SavedPercent(const StatisticsBlock& b) {
  return SavedPercent(b.sent_uncompressed, b.sent_compressed, b.received_uncompressed, b.received_compressed);
}

StatisticsTexts ShowStatistics(const StatisticsBlock& b, const LocaleFormat& locale, const TextTable& texts) {
  const double saved_total =
      b.sent_uncompressed - b.sent_compressed + b.received_uncompressed - b.received_compressed;
  StatisticsTexts t;
  t.PrijatoEL = FormatKiBSize(b.received_uncompressed, locale);
  t.OdeslanoEL = FormatKiBSize(b.sent_uncompressed, locale);
  t.PrijatoUsporaEL = FormatKiBSize(b.received_uncompressed - b.received_compressed, locale);
  t.OdeslanoUsporaEL = FormatKiBSize(b.sent_uncompressed - b.sent_compressed, locale);
  t.CelkemUsporaEL = FormatKiBSize(saved_total, locale);
  t.CelkemEL = FormatKiBSize(b.sent_uncompressed + b.received_uncompressed, locale);
  t.OdeslanoCEL = FormatKiBSize(b.sent_compressed, locale);
  t.PrijatoCEL = FormatKiBSize(b.received_compressed, locale);
  t.CelkemCEL = FormatKiBSize(b.sent_compressed + b.received_compressed, locale);
  t.PredplacenoL = DateOrUnknown(b.prepaid_until, locale);
  t.PlatnostL = DateOrUnknown(b.account_valid_until, locale);
  t.credit_caption = texts.Text(TextKey::Credit);
  t.credit_value = FormatKiBSize(b.credit, locale);
  t.saved_percent = FormatDecimal(SavedPercent(b), 2, false, locale) + "%";
  t.tray_hint = FormatText(texts.Text(TextKey::TrayIcon), {t.CelkemUsporaEL, t.saved_percent});
  return t;
}

}  // namespace korvan

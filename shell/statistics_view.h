// The texts of the statistics page and the tray hint, computed from the
// statistics block (`ShowStatistics`).
#pragma once

#include <string>

#include "localisation/text_table.h"
#include "shell/locale_format.h"
#include "shell/statistics_block.h"

namespace korvan {

struct StatisticsTexts {
  // Columns: original size, compressed, saved; rows: sent, received, total.
  std::string OdeslanoEL = "0 B", PrijatoEL = "0 B", CelkemEL = "0 B";
  std::string OdeslanoCEL = "0 B", PrijatoCEL = "0 B", CelkemCEL = "0 B";
  std::string OdeslanoUsporaEL = "0 B", PrijatoUsporaEL = "0 B", CelkemUsporaEL = "0 B";
  std::string PredplacenoL = "?", PlatnostL = "?";
  std::string credit_caption, credit_value = "0 B";
  std::string saved_percent = "0.00%";
  std::string tray_hint;
};

// Share of the uncompressed total that compression saved, in percent; 0
// when nothing was transferred.
double SavedPercent(const StatisticsBlock& block);

StatisticsTexts ShowStatistics(const StatisticsBlock& block, const LocaleFormat& locale, const TextTable& texts);

}  // namespace korvan

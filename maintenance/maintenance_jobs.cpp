// The two jobs of the maintenance thread: the statistics report and the
// greylist purge, on the process's database connection.
#include <string>

#include "maintenance/maintenance.h"
#include "maintenance/maintenance_texts.h"
#include "store/sql.h"

namespace brenvik {
namespace {

constexpr int kRunNow = 3;                   // statement mode: execute at once
constexpr std::size_t kMonthField = 16;      // month text, padded on the right
constexpr std::size_t kCountField = 7;       // count, padded on the left
constexpr int kMaxReportRows = 12 * 1000;    // a thousand years of months

// The named integer column of the first row of `query`; 0 without a row.
int FirstRowInt(std::string_view query, std::string_view column) {
  SQL_Stmt(kRunNow, query);
  SQL_Fetch(0);
  if (SQL_Eod() != 0) return 0;
  return SQL_ResColSInt(SQL_ResColNumber(column));
}

// The purge's shared condition tail: date, blank, hour, ":0:0#));".
std::string CutOff(const LocalTime& now) {
  return MonthFirstDate(now) + " " + std::to_string(now.hour - 6) + std::string(texts::kPurgeConditionEnd);
}

}  // namespace

namespace {
// Characters, not bytes: month names are UTF-8 ("März").
std::size_t CharacterCount(std::string_view text) {
  std::size_t count = 0;
  for (unsigned char c : text) count += (c & 0xC0) != 0x80;
  return count;
}
}  // namespace

std::string ReportMonthLine(std::string_view month_text, int count) {
  std::string line(month_text);
  std::size_t width = CharacterCount(line);
  if (width < kMonthField) line.append(kMonthField - width, ' ');
  std::string digits = std::to_string(count);
  if (digits.size() < kCountField) line.append(kCountField - digits.size(), ' ');
  line += digits;
  line += texts::kReportLineEnd;
  return line;
}

std::string BuildStatusReport() {
  int yesterday = FirstRowInt(texts::kLatestDayQuery, "Anz");

  std::string text(texts::kReportSubject);
  text += texts::kReportYesterdayBefore;
  text += std::to_string(yesterday);
  text += texts::kReportYesterdayAfter;
  text += texts::kReportTotals;

  SQL_Stmt(kRunNow, texts::kMonthlyQuery);
  SQL_Fetch(0);
  int month_col = SQL_ResColNumber("Dat");
  int count_col = SQL_ResColNumber("Anz");
  for (int rows = 0; SQL_Eod() == 0 && rows < kMaxReportRows; ++rows) {
    text += ReportMonthLine(SQL_ResColText(month_col), SQL_ResColSInt(count_col));
    SQL_Fetch(0);
  }
  return text;
}

int PurgeGreylist(const LocalTime& now) {
  std::string cut_off = CutOff(now);
  int count = FirstRowInt(std::string(texts::kPurgeCountPrefix) + cut_off, "W");
  if (count > 0) {
    SQL_Stmt(kRunNow, std::string(texts::kStatistikInsertPrefix) + std::to_string(count) + ", #" +
                          MonthFirstDate(now) + "#;");
  }
  SQL_Stmt(kRunNow, std::string(texts::kPurgeDeletePrefix) + cut_off);
  return count;
}

}  // namespace brenvik

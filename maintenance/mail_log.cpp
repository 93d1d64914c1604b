// Connection transcripts and LogTable rows.
#include "maintenance/mail_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "maintenance/maintenance_texts.h"
#include "store/files.h"
#include "store/sql.h"
#include "store/sql_quote.h"

namespace brenvik {
namespace {

constexpr mode_t kFolderMode = 0750;  // transcripts hold addresses and mail text
constexpr mode_t kFileMode = 0640;

}  // namespace

std::string SecondsSinceMidnightText(const LocalTime& t) {
  // Whole milliseconds, so the fraction is exact: no binary rounding.
  long total_ms = t.hour * 3600000L + t.minute * 60000L + t.second * 1000L + t.millisecond;
  if (total_ms < 0) total_ms = 0;
  std::string text = " " + std::to_string(total_ms / 1000);
  long fraction = total_ms % 1000;
  if (fraction != 0) {
    std::string digits = std::to_string(fraction + 1000).substr(1);  // three digits
    while (digits.back() == '0') digits.pop_back();
    text += "." + digits;
  }
  return text;
}

ConnectionLog OpenConnectionLog(std::string_view work_dir) {
  return OpenConnectionLog(work_dir, ReadLocalClock());
}

ConnectionLog OpenConnectionLog(std::string_view work_dir, const LocalTime& now) {
  std::string folder(work_dir);
  folder.append(texts::kMailLogFolder);
  struct stat st {};
  if (stat(folder.c_str(), &st) != 0) mkdir(folder.c_str(), kFolderMode);  // failure shows at open

  std::string path(work_dir);
  path.append(texts::kMailLogFilePrefix);
  path.append(SecondsSinceMidnightText(now));
  path.append(texts::kMailLogFileSuffix);

  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, kFileMode);
  if (fd < 0) return {};
  // The lock belongs to this open file description, so a second open of the
  // same name fails here even inside this process.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return {};
  }
  return ConnectionLog{fd};
}

void WriteConnectionLog(ConnectionLog& log, std::string_view text) {
  if (log.fd < 0) return;
  std::string entry;
  entry.reserve(text.size() + 2);
  entry.append(text);
  entry.append("\r\n");
  WriteAll(log.fd, entry);  // a failed write is not the connection's concern
}

void CloseConnectionLog(ConnectionLog& log) {
  if (log.fd < 0) return;
  close(log.fd);
  log.fd = -1;
}

std::string LogRowStatement(std::string_view email, std::string_view log_text, std::string_view ip,
                            const LocalTime& now) {
  // SqlQuote supplies the surrounding quotes; the separators are "', '" after
  // the address and "','" elsewhere.
  std::string statement(texts::kLogRowPrefix);
  statement += SqlQuote(email);
  statement += ", ";
  statement += SqlQuote(log_text);
  statement += ",";
  statement += SqlQuote(ip);
  statement += ",";
  statement += SqlQuote(DayFirstText(now));
  statement += ";";
  return statement;
}

int InsertLogRow(std::string_view email, std::string_view log_text, std::string_view ip) {
  return InsertLogRow(email, log_text, ip, ReadLocalClock());
}

int InsertLogRow(std::string_view email, std::string_view log_text, std::string_view ip,
                 const LocalTime& now) {
  SQL_Stmt(3, LogRowStatement(email, log_text, ip, now));
  return 0;
}

}  // namespace brenvik

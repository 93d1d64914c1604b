#pragma once
// Connection transcripts (WorkDir + "maillog/maillog<seconds>.txt") and the
// LogTable rows.
#include <string>
#include <string_view>

#include "store/local_time.h"

namespace brenvik {

// An open transcript; fd -1 is the empty handle (writes are skipped).
struct ConnectionLog {
  int fd = -1;  // file opened exclusively for appending
};

// Seconds since midnight as the file name carries them: a leading blank,
// up to 15 significant digits, no trailing zeros, no point for whole
// seconds (" 605.437", " 605.43", " 605", " 0").
std::string SecondsSinceMidnightText(const LocalTime& t);

// Creates WorkDir + "maillog" when missing (WorkDir ends with "/") and
// opens the file named after the time of day, for appending, locked
// exclusively (flock); an empty handle when any of that fails or another
// connection holds that file.
ConnectionLog OpenConnectionLog(std::string_view work_dir);
ConnectionLog OpenConnectionLog(std::string_view work_dir, const LocalTime& now);
// Text + CR LF, straight to disk.
void WriteConnectionLog(ConnectionLog& log, std::string_view text);
// Closing an empty or closed handle does nothing.
void CloseConnectionLog(ConnectionLog& log);

// The INSERT statement of one LogTable row, values quoted by SqlQuote;
// the timestamp is `now` as dd.MM.yyyy hh:mm:ss (one clock reading).
std::string LogRowStatement(std::string_view email, std::string_view log_text, std::string_view ip,
                            const LocalTime& now);

// One LogTable row on the open database; always returns 0.
int InsertLogRow(std::string_view email, std::string_view log_text, std::string_view ip);
int InsertLogRow(std::string_view email, std::string_view log_text, std::string_view ip,
                 const LocalTime& now);

}  // namespace brenvik

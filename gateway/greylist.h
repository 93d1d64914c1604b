#pragma once
// Greylisting decision on the Liste table.
#include <string>
#include <string_view>

#include "store/local_time.h"

namespace brenvik {

// Envelope sender key of a MAIL line, replacing `line` and returning it:
// the upper-case text between "<" and a later ">" (trimmed) when both are
// there; otherwise UpperCase, every "MAIL FROM:", "<", ">" removed, blanks
// trimmed at both ends.
std::string ExtractSenderAddress(std::string& line);

// True = let the MAIL command through, false = "451 Try later...".
// check_blocklist is the CheckBadMailAdr switch (non-zero = on).
// Simultaneous first attempts of one key are serialised.
bool CheckSender(std::string mail_line, std::string_view client_ip, bool check_blocklist);
// Same, with the time taken from `now` (tests).
bool CheckSender(std::string mail_line, std::string_view client_ip, bool check_blocklist,
                 const LocalTime& now);

}  // namespace brenvik

#pragma once
// Greylisting decision on the Liste table.
#include <string>
#include <string_view>

#include "store/local_time.h"

namespace brenvik {

// Envelope sender of a MAIL line, replacing `line` and returning it: the
// upper-case path between the brackets when the command parser reads one
// ("" for "<>"); for other lines AsciiUpper with every "MAIL FROM:", "<" and
// ">" removed and blanks trimmed at both ends. Only ASCII letters change:
// keys that differ in any other byte are different senders.
std::string ExtractSenderAddress(std::string& line);
// The greylist key (and log-table e-mail) of a MAIL line: the sender as
// above, except that the null reverse path "<>" is keyed by the client
// address, "<>@[" + client_ip + "]".
std::string SenderKey(std::string_view mail_line, std::string_view client_ip);

// How the greylist decided on a sender (names as the session log gives them).
enum class SenderDecision {
  NoSender,       // no key: deferred, nothing stored
  Whitelisted,    // accepted at once, nothing stored
  Greylisted,     // first attempt: stored, deferred
  PassedOnRetry,  // a later attempt: counted, accepted
  Blocklisted,    // a retry from a listed client: deferred again
};
bool Accepts(SenderDecision decision);
std::string_view DecisionName(SenderDecision decision);
// CheckSender's decision itself.
SenderDecision DecideSender(const std::string& mail_line, std::string_view client_ip, bool check_blocklist);

// True = let the MAIL command through, false = "451 Try later...". Only a
// mailbox without source route is looked up in the whitelist.
// check_blocklist is the CheckBadMailAdr switch (non-zero = on).
// Simultaneous first attempts of one key are serialised.
bool CheckSender(std::string mail_line, std::string_view client_ip, bool check_blocklist);
// Same, with the time taken from `now` (tests).
bool CheckSender(std::string mail_line, std::string_view client_ip, bool check_blocklist,
                 const LocalTime& now);

}  // namespace brenvik

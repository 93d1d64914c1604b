#pragma once
// The one reading of a client's command line. The verb dispatch, the sender
// key, the whitelist lookup, the recipient check and the forwarding all take
// what this parse gives, so what the gateway checks is what the backend gets.
// Views returned point into the parsed line; it must outlive them.
#include <cstddef>
#include <string>
#include <string_view>

namespace brenvik {

// Longest command line taken, without its line end; longer lines are
// refused whole (every server we relay to reads at least this much).
inline constexpr std::size_t kMaxCommandLine = 1000;

enum class LineForm {
  Command,      // a verb of letters at the first byte, no control byte
  Empty,        // nothing at all (forwarded, as a line relay does)
  NotACommand,  // anything else: answered by the gateway, never forwarded
};

struct SmtpCommand {
  LineForm form = LineForm::NotACommand;
  std::string verb;           // upper case; "" unless form is Command
  std::string_view argument;  // after the verb and its blank
};

SmtpCommand ParseCommand(std::string_view line);

// A reverse- or forward-path of MAIL / RCPT, read by RFC 5321 4.1.2 with the
// blank after the colon tolerated.
struct MailPath {
  enum class Form {
    Invalid,     // no path of the grammar
    Null,        // "<>" (MAIL only)
    Mailbox,     // [source route ":"] local-part "@" domain
    Postmaster,  // "<Postmaster>" without a domain (RCPT only)
  };
  Form form = Form::Invalid;
  std::string_view text;        // between the brackets
  std::string_view route;       // source route before ":", "" when none
  std::string_view local_part;  // as written, quotes included
  std::string_view domain;      // as written; "" without one
  bool quoted = false;          // the local part is a quoted string
  std::string_view parameters;  // ESMTP parameters after the path

  // One mailbox that every server routes by its domain: no source route,
  // an unquoted local part without "%" or "!" (which some servers route by).
  bool PlainMailbox() const;
};

// The path of a MAIL (`keyword` "FROM") or RCPT (`keyword` "TO") argument.
MailPath ParseMailPath(std::string_view argument, std::string_view keyword);

}  // namespace brenvik

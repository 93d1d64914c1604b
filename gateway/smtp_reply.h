#pragma once
// Reading one SMTP reply to its final line (RFC 5321 4.2.1): a reply ends
// at the first line whose fourth character is not '-', however TCP splits
// it. Lines shorter than four characters end the reply too.
#include <string>
#include <vector>

#include "gateway/connection.h"

namespace brenvik {

struct SmtpReply {
  std::vector<std::string> lines;  // every line, in order, without line ends
  const std::string& FinalLine() const { return lines.back(); }  // lines is never empty on success
};

// True when `line` is the last line of a reply.
bool IsFinalReplyLine(const std::string& line);

// Reads until the final line. Fails (failure pending on the connection) when
// a read fails; a peer that closes ends the reply with the line it gave.
bool ReadSmtpReply(Connection& c, SmtpReply& reply);

}  // namespace brenvik

#pragma once
// Reading one SMTP reply to its final line (RFC 5321 4.2.1): a reply ends
// at the first line whose fourth character is not '-', however TCP splits
// it. Lines shorter than four characters end the reply too.
#include <cstddef>
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

inline constexpr std::size_t kMaxReplyLines = 256;  // lines kept per reply

// Reads until the final line. Fails (failure pending on the connection) when
// a read fails. A peer that closes ends the reply with the line it gave,
// which is kept as the last entry of `lines` (usually "", a line without a
// code, so no caller mistakes a broken reply for a complete one). A reply
// longer than kMaxReplyLines is still read to its end; the lines between
// the first kMaxReplyLines - 1 and the final one are dropped.
bool ReadSmtpReply(Connection& c, SmtpReply& reply);

}  // namespace brenvik

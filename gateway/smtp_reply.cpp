#include "gateway/smtp_reply.h"

namespace brenvik {

bool IsFinalReplyLine(const std::string& line) { return line.size() < 4 || line[3] != '-'; }

bool ReadSmtpReply(Connection& c, SmtpReply& reply) {
  reply.lines.clear();
  std::string line;
  for (;;) {
    if (!ReadLine(c, line)) return false;
    const bool final = IsFinalReplyLine(line);
    // A runaway reply is still read to its end, so the next reply starts
    // where it should, but it cannot grow without limit.
    if (final || reply.lines.size() + 1 < kMaxReplyLines) reply.lines.push_back(line);
    if (final) return true;
  }
}

}  // namespace brenvik

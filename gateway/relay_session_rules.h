#pragma once
// The relay session's decisions on single lines and on the data stream,
// free of sockets so they can be checked on their own.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/smtp_command.h"

namespace brenvik {

// Removes the withheld extensions from the lines of an EHLO answer (the
// first line, the server's greeting, always stays) and gives the remaining
// last line the blank after its code. Only positive (2xx) answers change.
void WithholdExtensions(std::vector<std::string>& lines);
// Appends `keyword` as the last line of a positive EHLO answer, in the final
// line's code; the line before it becomes a continuation line.
void AddExtension(std::vector<std::string>& lines, std::string_view keyword);

// From a client that may not relay: true for "<Postmaster>", and when the
// forward-path is one plain mailbox (MailPath::PlainMailbox) and "@" + its
// DomainKey equals an entry, or its key equals an entry written without
// "@", or an entry is empty. Entries are keys (DomainEntryKey).
bool RecipientAccepted(const MailPath& path, const std::vector<std::string>& domains);
// The same for a whole RCPT line, read by the command parser.
bool RecipientAccepted(std::string_view rcpt_line, const std::vector<std::string>& domains);

// The client's mail data after a 354. Only the client's own CR LF "." CR LF
// ends it (the stream starts as if after a CR LF). Bare CR and bare LF go on
// as CR LF, and a line that begins with "." but was not both started and
// ended by the client's CR LF gets one more "." in front: the backend then
// sees exactly the end seen here and, removing one dot, stores the line as
// sent. State carries over from one block to the next.
class DataStream {
 public:
  // Appends the bytes to send for `block` up to and including the mark to
  // `out`; returns how many bytes of `block` that took (all of them unless
  // the mark ended inside it). A dot line is held until its end is known.
  std::size_t Feed(std::string_view block, std::string& out);
  bool Complete() const { return position_ == Position::Complete; }

  // Longest dot line held back; a longer one goes on as if CR LF ended it.
  static constexpr std::size_t kMaxHeldLine = 1000;

 private:
  enum class Position {
    LineStart,  // at the first byte of a line
    HeldDot,    // in a line that began with "." after a CR LF: held in held_
    InLine,     // anywhere else in a line
    Complete,   // the mark has been seen
  };
  void EndLine(bool crlf, std::string& out);
  void Byte(char c, std::string& out);

  Position position_ = Position::LineStart;
  bool started_by_crlf_ = true;  // the current line followed the client's CR LF
  bool pending_cr_ = false;      // a CR whose successor has not been seen yet
  std::string held_;             // the held dot line, its "." included
};

}  // namespace brenvik

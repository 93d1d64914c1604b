#pragma once
// The relay session's decisions on single lines and on the data stream,
// free of sockets so they can be checked on their own.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace brenvik {

// Removes the withheld extensions from the lines of an EHLO answer (the
// first line, the server's greeting, always stays) and gives the remaining
// last line the blank after its code. Only positive (2xx) answers change.
void WithholdExtensions(std::vector<std::string>& lines);

// Upper-case domain of a RCPT line's forward-path: after its last "@",
// without brackets, source route or parameters; "" when there is none.
std::string RecipientDomain(std::string_view rcpt_line);

// True when "@" + the recipient's domain equals an entry, or the domain
// equals an entry written without "@", or an entry is empty.
bool RecipientAccepted(std::string_view rcpt_line, const std::vector<std::string>& domains);

// The client's mail data after a 354: finds the end-of-data mark CR LF "."
// CR LF (the stream starts as if after a CR LF) and turns every bare CR and
// bare LF into CR LF, so the backend sees exactly the boundary seen here.
// State carries over from one block to the next.
class DataStream {
 public:
  // Appends the normalised bytes of `block` up to and including the mark to
  // `out`; returns how many bytes of `block` that took (all of them unless
  // the mark ended inside it).
  std::size_t Feed(std::string_view block, std::string& out);
  bool Complete() const { return position_ == Position::Complete; }

 private:
  enum class Position { LineStart, AfterDot, InLine, Complete };
  void EndLine(std::string& out);

  Position position_ = Position::LineStart;
  bool pending_cr_ = false;  // a CR whose successor has not been seen yet
};

}  // namespace brenvik

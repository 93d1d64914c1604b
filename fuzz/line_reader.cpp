// The line reader, the block reader and the reply reader on a real socket:
// the input's payload is written into one end of a socket pair, which is
// then shut down, and read back from the other end through one connection.
// Lines, blocks and replies must give back exactly the bytes that were sent.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/connection.h"
#include "gateway/smtp_reply.h"

namespace brenvik {
// Hands a connected descriptor to a connection, as an accept would.
struct ConnectionAccess {
  static void Adopt(Connection& c, int fd, int timeout_ms) {
    c.Reset(fd, timeout_ms);
    c.EnsureBuffer();
  }
};
}  // namespace brenvik

namespace {

using brenvik::Connection;

constexpr std::size_t kMaxPayload = 100000;   // fits the socket buffer set below
constexpr int kTimeoutMs = 1000;              // never reached: the peer has shut down
constexpr int kMaxOperations = 4000;          // bound of the mixed mode
constexpr std::size_t kMaxLineBytes = brenvik::kReceiveBufferSize;

void Check(bool condition) {
  if (!condition) std::abort();
}

struct Random {
  std::uint32_t state;
  std::uint32_t Next() {  // xorshift32
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  }
};

// Writes as much of the payload as the socket takes, then shuts the writing
// side; returns what was written.
std::string_view Feed(int fd, std::string_view payload) {
  const int size = 1 << 20;
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
  ::fcntl(fd, F_SETFL, O_NONBLOCK);
  std::size_t sent = 0;
  while (sent < payload.size()) {
    const ssize_t n = ::send(fd, payload.data() + sent, payload.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  ::shutdown(fd, SHUT_WR);
  return payload.substr(0, sent);
}

// The lines ReadLine must give: split at LF, CR dropped, cut after
// kMaxLineBytes received bytes, a last unterminated piece as it is.
std::vector<std::string> ExpectedLines(std::string_view bytes) {
  std::vector<std::string> lines;
  std::string line;
  std::size_t taken = 0;
  bool open = false;
  for (char ch : bytes) {
    ++taken;
    open = true;
    if (ch == '\n') {
      lines.push_back(std::move(line));
      line.clear();
      taken = 0;
      open = false;
      continue;
    }
    if (ch != '\r') line.push_back(ch);
    if (taken == kMaxLineBytes) {
      lines.push_back(std::move(line));
      line.clear();
      taken = 0;
      open = false;
    }
  }
  if (open) lines.push_back(std::move(line));
  return lines;
}

void ReadLines(Connection& c, std::string_view sent) {
  std::string line;
  for (const std::string& expected : ExpectedLines(sent)) {
    Check(brenvik::ReadLine(c, line));
    Check(line == expected);
  }
  Check(brenvik::ReadLine(c, line));  // closed peer: "" without failure
  Check(line.empty());
}

// Blocks of random sizes, with a random tail put back now and then; the
// bytes kept must be the payload in order.
void ReadBlocks(Connection& c, std::string_view sent, Random& random) {
  std::string kept, block;
  for (int i = 0; i < kMaxOperations && kept.size() < sent.size(); ++i) {
    const std::size_t max_bytes = 1 + random.Next() % 70000;
    Check(brenvik::ReadAvailable(c, max_bytes, block));
    Check(block.size() <= max_bytes);
    Check(!block.empty());
    std::size_t back = random.Next() % 4 == 0 ? random.Next() % (block.size() + 1) : 0;
    if (back > 0) Check(c.Unread(std::string_view(block).substr(block.size() - back)));
    kept.append(block, 0, block.size() - back);
  }
  Check(kept == sent);
  Check(brenvik::ReadAvailable(c, 100, block));
  Check(block.empty());
}

void ReadReplies(Connection& c, std::string_view sent) {
  std::vector<std::string> lines = ExpectedLines(sent);
  std::size_t next = 0;
  brenvik::SmtpReply reply;
  while (next < lines.size()) {
    std::vector<std::string> expected;
    for (;;) {
      std::string line = next < lines.size() ? lines[next++] : std::string();
      const bool final = brenvik::IsFinalReplyLine(line);
      if (final || expected.size() + 1 < brenvik::kMaxReplyLines) expected.push_back(line);
      if (final) break;
    }
    Check(brenvik::ReadSmtpReply(c, reply));
    Check(reply.lines == expected);
  }
}

// Any mix of the operations: nothing is checked but that each one returns.
void ReadMixed(Connection& c, Random& random) {
  std::string text;
  brenvik::SmtpReply reply;
  for (int i = 0; i < kMaxOperations; ++i) {
    switch (random.Next() % 5) {
      case 0: brenvik::ReadLine(c, text); break;
      case 1: brenvik::ReadAvailable(c, random.Next() % 70000, text); break;
      case 2: brenvik::ReadSmtpReply(c, reply); break;
      case 3: c.Unread(text); break;
      case 4: brenvik::NothingPending(c); break;
    }
    if (c.UnreadCount() == 0 && brenvik::NothingPending(c) && text.empty()) return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  const int mode = data[0] % 4;
  Random random{(std::uint32_t(data[1]) << 24 | std::uint32_t(data[2]) << 16 |
                 std::uint32_t(data[3]) << 8 | data[4]) | 1u};
  std::string_view payload(reinterpret_cast<const char*>(data) + 5, size - 5);
  if (payload.size() > kMaxPayload) payload = payload.substr(0, kMaxPayload);

  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
  const std::string_view sent = Feed(fds[1], payload);
  Connection c;
  brenvik::ConnectionAccess::Adopt(c, fds[0], kTimeoutMs);
  switch (mode) {
    case 0: ReadLines(c, sent); break;
    case 1: ReadBlocks(c, sent, random); break;
    case 2: ReadReplies(c, sent); break;
    default: ReadMixed(c, random); break;
  }
  brenvik::CloseConnection(c);
  ::close(fds[1]);
  return 0;
}

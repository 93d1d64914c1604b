#include "session_harness.h"

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "gateway/gateway_state.h"
#include "gateway/smtp_reply.h"

namespace brenvik::session_test {

namespace fs = std::filesystem;

namespace {

bool WaitForClient(const Connection& listener) {
  pollfd watch{listener.Socket(), POLLIN, 0};
  return poll(&watch, 1, kPeerTimeoutMs) == 1;
}

// Sends the pieces one by one, a moment apart, so they tend to arrive apart.
bool SendPieces(Connection& c, const std::vector<std::string>& pieces) {
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!SendText(c, pieces[i])) return false;
  }
  return true;
}

}  // namespace

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "brenvik-session-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  path_ = pattern + "/";
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

int UnusedPort() {
  Connection probe;
  OpenListener(ResolveHost("127.0.0.1"), 0, kPeerTimeoutMs, probe);
  return LocalPort(probe);
}

FakeBackend::FakeBackend(BackendScript script) : script_(std::move(script)) {
  OpenListener(ResolveHost("127.0.0.1"), 0, kPeerTimeoutMs, listener_);
  port_ = LocalPort(listener_);
  thread_ = std::thread([this] { Serve(); });
}

FakeBackend::~FakeBackend() { Join(); }

void FakeBackend::Join() {
  if (thread_.joinable()) thread_.join();
}

void FakeBackend::Serve() {
  Connection c;
  if (!WaitForClient(listener_) || !AcceptConnection(listener_, c)) return;
  if (!script_.greet) {
    std::string line;
    while (ReadLine(c, line) && !(line.empty() && NothingPending(c))) {
    }
    return;
  }
  if (SendPieces(c, script_.greeting)) Converse(c);
}

void FakeBackend::Converse(Connection& c) {
  for (int turn = 0; turn < 1000; ++turn) {
    std::string line;
    if (!ReadLine(c, line) || (line.empty() && NothingPending(c))) return;
    commands.push_back(line);
    const std::string word = UpperCase(std::string_view(line).substr(0, 4));
    if (word == script_.hang_up_on) return;
    bool sent = true;
    if (word == "EHLO") {
      sent = SendPieces(c, script_.ehlo);
    } else if (word == "DATA") {
      sent = SendText(c, script_.data_reply);
      if (sent && script_.data_reply.compare(0, 3, "354") == 0) {
        sent = ReadData(c) && SendText(c, script_.after_data);
      }
    } else if (word == "QUIT") {
      saw_quit = true;
      SendText(c, "221 bye\r\n");
      return;
    } else {
      sent = SendText(c, "250 OK\r\n");
    }
    if (!sent) return;
  }
}

// Reads the mail data as a plain server would: to CR LF "." CR LF, the
// stream starting as if after a CR LF.
bool FakeBackend::ReadData(Connection& c) {
  std::string block;
  for (;;) {
    if (!ReadAvailable(c, kReceiveBufferSize, block) || block.empty()) return false;
    const std::size_t old_size = data.size();
    data += block;
    const std::string prefixed = "\r\n" + data;
    const std::size_t at = prefixed.find("\r\n.\r\n", old_size >= 2 ? old_size - 2 : 0);
    if (at == std::string::npos) continue;
    const std::size_t end = at + 3;  // in `data`, just after the mark
    if (end < data.size()) c.Unread(std::string_view(data).substr(end));
    data.resize(end);
    return true;
  }
}

SessionRun::SessionRun(const GatewaySettings& settings, const SessionTiming& timing,
                       int client_timeout_ms)
    : settings_(settings), timing_(timing) {
  // The accepted connection takes the listener's time-out.
  OpenListener(ResolveHost("127.0.0.1"), 0, client_timeout_ms, listener_);
  thread_ = std::thread([this] {
    Connection accepted;
    if (WaitForClient(listener_) && AcceptConnection(listener_, accepted)) {
      RelaySession(std::move(accepted), settings_, timing_);
    }
  });
  OpenConnection("127.0.0.1", LocalPort(listener_), kPeerTimeoutMs, client);
}

SessionRun::~SessionRun() {
  CloseConnection(client);
  Join();
}

void SessionRun::Join() {
  if (thread_.joinable()) thread_.join();
}

bool SessionRun::Send(std::string_view text) { return SendText(client, text); }

std::vector<std::string> SessionRun::Reply() {
  SmtpReply reply;
  if (!ReadSmtpReply(client, reply)) return {"<read failed: " + std::string(client.FailureText()) + ">"};
  return reply.lines;
}

std::string SessionRun::Rest() {
  std::string all;
  std::string block;
  while (ReadAvailable(client, kReceiveBufferSize, block) && !block.empty()) all += block;
  return all;
}

GatewaySettings SettingsFor(int backend_port, const std::string& work_dir) {
  GatewaySettings s;
  s.RecvHost = "127.0.0.2";
  s.RecvPort = 25;
  s.SendHost = "127.0.0.1";
  s.SendPort = backend_port;
  s.WorkDir = work_dir;
  s.Logging = 1;
  return s;
}

SessionTiming FastTiming() {
  SessionTiming t;
  t.backend_timeout_ms = kPeerTimeoutMs;
  t.data_pause_ms = 0;
  return t;
}

std::vector<std::string> TranscriptLines(const std::string& work_dir) {
  std::vector<std::string> lines;
  const fs::path folder = fs::path(work_dir) / "maillog";
  if (!fs::exists(folder)) return lines;
  for (const auto& entry : fs::directory_iterator(folder)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string all = text.str();
    for (std::size_t start = 0; start < all.size();) {
      const std::size_t end = all.find("\r\n", start);
      if (end == std::string::npos) {
        lines.push_back(all.substr(start) + "<no line end>");
        break;
      }
      lines.push_back(all.substr(start, end - start));
      start = end + 2;
    }
  }
  return lines;
}

}  // namespace brenvik::session_test

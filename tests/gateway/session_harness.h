#pragma once
// Loopback peers for the relay session tests: a scripted backend mail
// server, a session on a listener of its own, and a test client.
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/connection.h"
#include "gateway/relay_session.h"
#include "store/settings.h"

namespace brenvik::session_test {

inline constexpr int kPeerTimeoutMs = 5000;  // bounds every wait of a peer

// A fresh folder, removed with its contents; path() ends with "/".
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A loopback port where nothing listens.
int UnusedPort();

// What the fake backend answers. Replies are sent in the given pieces, one
// send each, so a reply can arrive split.
struct BackendScript {
  std::vector<std::string> greeting = {"220 backend ready\r\n"};
  std::vector<std::string> ehlo = {"250-backend\r\n250 8BITMIME\r\n"};
  std::string data_reply = "354 go ahead\r\n";
  std::string after_data = "250 queued\r\n";
  std::string hang_up_on;  // command word at which it closes without a word
  bool greet = true;       // false: accepts and stays silent
};

// Serves one connection in its own thread: EHLO, DATA (reading the data
// raw to the dot line), QUIT and "250 OK" for the rest.
class FakeBackend {
 public:
  explicit FakeBackend(BackendScript script);
  ~FakeBackend();
  int port() const { return port_; }
  // Waits for the end of the conversation; the records are final then.
  void Join();
  std::vector<std::string> commands;  // command lines as received
  std::string data;                   // mail data as received, dot line included
  bool saw_quit = false;

 private:
  void Serve();
  void Converse(Connection& c);
  bool ReadData(Connection& c);

  BackendScript script_;
  Connection listener_;
  int port_ = 0;
  std::thread thread_;
};

// One RelaySession behind a listener of its own, and the client connected
// to it (from 127.0.0.1).
class SessionRun {
 public:
  SessionRun(const GatewaySettings& settings, const SessionTiming& timing,
             int client_timeout_ms = kPeerTimeoutMs);
  ~SessionRun();
  void Join();  // waits for the session thread to end
  bool Send(std::string_view text);
  std::vector<std::string> Reply();  // one reply to its final line
  std::string Rest();                // everything until the session closes
  Connection client;

 private:
  GatewaySettings settings_;
  SessionTiming timing_;
  Connection listener_;
  std::thread thread_;
};

// Test settings: backend at 127.0.0.1:port, receive host 127.0.0.2 (so the
// client is not relay-allowed), transcripts in `work_dir`.
GatewaySettings SettingsFor(int backend_port, const std::string& work_dir);
SessionTiming FastTiming();

// Lines of the only transcript under work_dir/maillog ("" entries kept).
std::vector<std::string> TranscriptLines(const std::string& work_dir);

}  // namespace brenvik::session_test

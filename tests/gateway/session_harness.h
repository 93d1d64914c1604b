#pragma once
// Loopback and folder helpers for the session and worker tests.
#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "gateway/connection.h"

namespace brenvik::session_test {

inline constexpr int kPeerTimeoutMs = 5000;  // bounds every wait of a peer

// A fresh folder, removed with its contents; path() ends with "/".
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "brenvik-session-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern + "/";
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A loopback port where nothing listens.
inline int UnusedPort() {
  Connection probe;
  OpenListener(ResolveHost("127.0.0.1"), 0, kPeerTimeoutMs, probe);
  return LocalPort(probe);
}

// Accepts one client, waiting at most kPeerTimeoutMs.
inline bool AcceptOne(Connection& listener, Connection& accepted) {
  pollfd watch{listener.Socket(), POLLIN, 0};
  return poll(&watch, 1, kPeerTimeoutMs) == 1 && AcceptConnection(listener, accepted);
}

// Everything the peer sends until it closes (or a read fails).
inline std::string ReadToEnd(Connection& c) {
  std::string all, block;
  while (ReadAvailable(c, kReceiveBufferSize, block) && !block.empty()) all += block;
  return all;
}

// A self-signed certificate made for the test with the openssl program.
inline std::shared_ptr<const TlsServerContext> TestTlsContext(const TempDir& folder) {
  const std::string cert = folder.path() + "c.pem", key = folder.path() + "c.key";
  const std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=mx.test -days 2 -keyout " + key +
                           " -out " + cert + " >/dev/null 2>&1";
  std::string error;
  return std::system(make.c_str()) == 0 ? LoadTlsServerContext(cert, key, error) : nullptr;
}

}  // namespace brenvik::session_test

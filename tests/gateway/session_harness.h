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

}  // namespace brenvik::session_test

#pragma once
// A scripted SMTP peer on 127.0.0.1 for the status-mail tests: accepts one
// connection and runs a script against it on its own thread. Every wait is
// bounded, so the thread always ends.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace brenvik::test {

constexpr int kPeerWaitMs = 5000;  // upper bound of every wait of the peer

// The accepted connection as the script sees it.
class Peer {
 public:
  explicit Peer(int fd) : fd_(fd) {}
  bool Send(const std::string& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // Next line without CR LF; false on close or after `wait_ms` of silence.
  bool ReadLine(std::string& line, int wait_ms = kPeerWaitMs) {
    for (;;) {
      std::size_t lf = pending_.find('\n');
      if (lf != std::string::npos) {
        line = pending_.substr(0, lf);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        pending_.erase(0, lf + 1);
        lines_.push_back(line);
        return true;
      }
      if (!Receive(wait_ms)) return false;
    }
  }
  // Reads a command line and answers it.
  bool Answer(const std::string& reply) {
    std::string line;
    return ReadLine(line) && Send(reply);
  }
  // Reads the mail data up to the "." line and answers it.
  bool AnswerData(const std::string& reply) {
    std::string line;
    while (ReadLine(line)) {
      if (line == ".") return Send(reply);
    }
    return false;
  }
  // True when data arrives within `wait_ms` (a client that ran ahead).
  bool DataWithin(int wait_ms) {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, wait_ms) > 0;
  }
  // Waits for the client to close, keeping whatever it still sends.
  bool WaitForClose() {
    while (Receive(kPeerWaitMs)) {
    }
    return closed_;
  }
  // Ends the connection at once (a server that hangs up).
  void HangUp() { ::shutdown(fd_, SHUT_RDWR); }
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  bool Receive(int wait_ms) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, wait_ms) <= 0) return false;
    char buffer[4096];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) {
      closed_ = true;
      return false;
    }
    pending_.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  int fd_;
  std::string pending_;
  std::vector<std::string> lines_;  // every line read, in order
  bool closed_ = false;
};

class FakeSmtpServer {
 public:
  using Script = std::function<void(Peer&)>;

  explicit FakeSmtpServer(Script script) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(listener_, 1);
    socklen_t len = sizeof addr;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this, script = std::move(script)] { Serve(script); });
  }
  ~FakeSmtpServer() {
    Join();
    ::close(listener_);
  }
  FakeSmtpServer(const FakeSmtpServer&) = delete;
  FakeSmtpServer& operator=(const FakeSmtpServer&) = delete;

  int port() const { return port_; }
  // Waits for the script to finish; then lines() and client_closed() hold.
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  bool client_closed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return client_closed_;
  }

 private:
  void Serve(const Script& script) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, kPeerWaitMs) <= 0) return;
    int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    Peer peer(fd);
    script(peer);
    bool closed = peer.WaitForClose();
    ::close(fd);
    std::lock_guard<std::mutex> lock(mutex_);
    lines_ = peer.lines();
    client_closed_ = closed;
  }

  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> lines_;
  bool client_closed_ = false;
};

}  // namespace brenvik::test

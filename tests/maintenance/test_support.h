#pragma once
// Shared helpers of the maintenance tests: a temporary folder, reading
// files back, and a peer of smtp_peers.py.
#include <signal.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace brenvik::test {

using Lines = std::vector<std::string>;

// A folder under /tmp, removed with everything in it.
struct TempDir {
  TempDir() {
    char pattern[] = "/tmp/brenvik-maint-XXXXXX";
    path = mkdtemp(pattern) != nullptr ? pattern : "/nonexistent";
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  TempDir(const TempDir&) = delete;
  std::string Slash() const { return path + "/"; }  // as WorkDir arrives
  std::string path;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

// A scripted SMTP peer (greeting pieces and replies, "|" for CR LF), or
// Debian's aiosmtpd for the greeting {"aiosmtpd"}: smtp_peers.py in a
// process and a folder of its own.
class SmtpPeer {
 public:
  SmtpPeer(const Lines& greeting, const Lines& replies) {
    std::string command = "exec /usr/bin/python3 " BRENVIK_SMTP_PEERS " " + dir_.path;
    for (const std::string& arg : greeting) command += " '" + arg + "'";
    command += " --";
    for (const std::string& arg : replies) command += " '" + arg + "'";
    pipe_ = popen(command.c_str(), "r");
    if (pipe_ == nullptr || fscanf(pipe_, "%d %d", &pid_, &port) != 2) port = 0;
  }
  ~SmtpPeer() {
    if (pid_ > 0) kill(pid_, SIGKILL);
    Finish();
  }
  SmtpPeer(const SmtpPeer&) = delete;

  // Waits for a scripted peer to end: the lines it read, then "<closed>"
  // when the client hung up.
  Lines Finish() {
    if (pipe_ != nullptr) pclose(pipe_);
    pipe_ = nullptr;
    pid_ = -1;
    std::istringstream in(ReadFile(dir_.path + "/lines"));
    Lines lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  std::string Mail() const { return ReadFile(dir_.path + "/mail"); }  // what aiosmtpd received

  int port = 0;  // 0 when the peer did not come up

 private:
  TempDir dir_;
  FILE* pipe_ = nullptr;
  int pid_ = -1;
};

}  // namespace brenvik::test

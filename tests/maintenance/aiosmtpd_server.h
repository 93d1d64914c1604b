#pragma once
// Debian's aiosmtpd as a real mail server on 127.0.0.1, one process per
// object. Each received message lands in `<dir>/mail-N` as: envelope
// sender, LF, recipients joined by ",", LF, the data bytes as received.
// The process ends when the object goes (SIGKILL), when its stdin closes,
// or after 60 s on its own.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

extern char** environ;

namespace brenvik::test {

inline constexpr const char* kAiosmtpdScript = R"PY(
import os, socket, sys, threading
from aiosmtpd.controller import Controller

out = sys.argv[1]
threading.Timer(60, lambda: os._exit(3)).start()

class Keep:
    count = 0
    async def handle_DATA(self, server, session, envelope):
        path = os.path.join(out, "mail-%d" % Keep.count)
        Keep.count += 1
        with open(path + ".part", "wb") as f:
            f.write(envelope.mail_from.encode() + b"\n")
            f.write(",".join(envelope.rcpt_tos).encode() + b"\n")
            f.write(envelope.original_content)
        os.rename(path + ".part", path)
        return "250 OK"

s = socket.socket()
s.bind(("127.0.0.1", 0))
port = s.getsockname()[1]
s.close()
c = Controller(Keep(), hostname="127.0.0.1", port=port)
c.start()
print(port, flush=True)
sys.stdin.read()
c.stop()
os._exit(0)
)PY";

class AiosmtpdServer {
 public:
  explicit AiosmtpdServer(const std::string& dir) : dir_(dir) {
    std::string script_path = dir + "/smtpd.py";
    std::ofstream(script_path) << kAiosmtpdScript;
    int in_pipe[2], out_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    std::string python = "/usr/bin/python3";
    char* argv[] = {python.data(), script_path.data(), dir_.data(), nullptr};
    if (posix_spawn(&pid_, python.c_str(), &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in_pipe[0]);
    close(out_pipe[1]);
    stdin_fd_ = in_pipe[1];
    port_ = ReadPort(out_pipe[0]);
    close(out_pipe[0]);
  }
  ~AiosmtpdServer() {
    if (stdin_fd_ >= 0) close(stdin_fd_);
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  AiosmtpdServer(const AiosmtpdServer&) = delete;
  AiosmtpdServer& operator=(const AiosmtpdServer&) = delete;

  int port() const { return port_; }  // 0 when the server did not come up
  std::string MailPath(int n) const { return dir_ + "/mail-" + std::to_string(n); }

 private:
  // The script prints its port once it listens; wait at most 20 s.
  static int ReadPort(int fd) {
    std::string text;
    for (int rounds = 0; rounds < 200 && text.find('\n') == std::string::npos; ++rounds) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char buffer[64];
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n <= 0) break;
      text.append(buffer, static_cast<std::size_t>(n));
    }
    return text.find('\n') == std::string::npos ? 0 : std::atoi(text.c_str());
  }

  std::string dir_;
  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int port_ = 0;
};

}  // namespace brenvik::test

#include "configtool/run_and_wait.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

extern char** environ;

namespace brenvik {
namespace {

// Longest argument list the tool ever builds is three words; this bounds
// what a caller may pass.
constexpr std::size_t kMaxArguments = 64;

// Standard input from /dev/null; output and error into the pipe's write end.
bool CollectOutput(posix_spawn_file_actions_t& actions, int pipe_write) {
  return posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0) == 0 &&
         posix_spawn_file_actions_adddup2(&actions, pipe_write, 1) == 0 &&
         posix_spawn_file_actions_adddup2(&actions, pipe_write, 2) == 0;
}

// Reads until every writer has closed the pipe, keeping the first bytes.
std::string ReadAll(int fd) {
  std::string kept;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const std::size_t room = kMaxCommandOutput - std::min(kept.size(), kMaxCommandOutput);
    kept.append(buffer, std::min(room, static_cast<std::size_t>(n)));
  }
  return kept;
}

// The child starts with no blocked signals and default dispositions, whatever
// the toolkit did with the tool's own.
bool CleanSignals(posix_spawnattr_t& attr) {
  sigset_t none;
  sigset_t defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  return posix_spawnattr_setsigmask(&attr, &none) == 0 &&
         posix_spawnattr_setsigdefault(&attr, &defaults) == 0 &&
         posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;
}

int WaitForChild(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Starts the child; its pid, or -1 with result.start_error set.
pid_t Spawn(const CommandLine& command, ShowState show, int pipe_write, CommandResult& result) {
  std::vector<char*> argv;
  argv.reserve(command.size() + 1);
  for (const auto& word : command) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  result.start_error = ENOMEM;
  if (posix_spawn_file_actions_init(&actions) != 0) return -1;
  if (posix_spawnattr_init(&attr) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return -1;
  }
  pid_t pid = -1;
  const bool ready = CleanSignals(attr) && (show != ShowState::Hidden || CollectOutput(actions, pipe_write));
  result.start_error = ready ? posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), environ) : ENOMEM;
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  return result.start_error == 0 ? pid : -1;
}

}  // namespace

CommandResult RunAndWait(const CommandLine& command, ShowState show) {
  CommandResult result;
  if (command.empty() || command.size() > kMaxArguments || command[0].empty()) {
    result.start_error = EINVAL;
    return result;
  }
  int pipe_ends[2] = {-1, -1};
  if (show == ShowState::Hidden && pipe2(pipe_ends, O_CLOEXEC) != 0) {
    result.start_error = errno;
    return result;
  }
  const pid_t pid = Spawn(command, show, pipe_ends[1], result);
  if (pipe_ends[1] >= 0) close(pipe_ends[1]);  // so that the read ends with the child
  if (pipe_ends[0] >= 0) {
    if (pid > 0) result.output = ReadAll(pipe_ends[0]);
    close(pipe_ends[0]);
  }
  if (pid > 0) result.exit_status = WaitForChild(pid);
  return result;
}

}  // namespace brenvik

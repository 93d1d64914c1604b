#include "configtool/run_and_wait.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace brenvik {
namespace {

// Longest argument list the tool ever builds is three words; this bounds
// what a caller may pass.
constexpr std::size_t kMaxArguments = 64;

bool HideOutput(posix_spawn_file_actions_t& actions) {
  for (int fd : {0, 1, 2}) {
    int flags = fd == 0 ? O_RDONLY : O_WRONLY;
    if (posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", flags, 0) != 0) return false;
  }
  return true;
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

void WaitForChild(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

void RunAndWait(const CommandLine& command, ShowState show) {
  if (command.empty() || command.size() > kMaxArguments || command[0].empty()) return;
  std::vector<char*> argv;
  argv.reserve(command.size() + 1);
  for (const auto& word : command) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  if (posix_spawn_file_actions_init(&actions) != 0) return;
  if (posix_spawnattr_init(&attr) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return;
  }
  pid_t pid = -1;
  bool ready = CleanSignals(attr) && (show != ShowState::Hidden || HideOutput(actions));
  if (ready && posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), environ) != 0) pid = -1;
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (pid > 0) WaitForChild(pid);
}

}  // namespace brenvik

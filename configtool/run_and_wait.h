#pragma once
// Starting a child program and waiting for its end.
#include <cstddef>
#include <string>
#include <vector>

namespace brenvik {

// How the child's output is treated.
enum class ShowState {
  Hidden,           // standard input on /dev/null; output and error collected for the caller
  ShownNoActivate,  // the child writes to the tool's own output
};

// Program and arguments; the program is looked up on PATH unless it holds
// a '/'. No shell is involved, so blanks in a folder name need no quoting.
using CommandLine = std::vector<std::string>;

// What became of one started command.
struct CommandResult {
  int start_error = 0;   // errno when the program could not be started, else 0
  int exit_status = -1;  // its exit status; -1 when it did not exit normally
  std::string output;    // standard output and error of a hidden child (at most kMaxCommandOutput bytes)

  bool Succeeded() const { return start_error == 0 && exit_status == 0; }
};

// Bytes of a hidden child's output kept; the rest is read and dropped.
inline constexpr std::size_t kMaxCommandOutput = 16384;

// Starts the command and waits for it without a time limit.
CommandResult RunAndWait(const CommandLine& command, ShowState show);

// Seam for the form logic: production runs the commands, tests record them.
class CommandRunner {
 public:
  virtual ~CommandRunner() = default;
  virtual CommandResult Run(const CommandLine& command, ShowState show) = 0;
};

class ProcessRunner final : public CommandRunner {
 public:
  CommandResult Run(const CommandLine& command, ShowState show) override { return RunAndWait(command, show); }
};

}  // namespace brenvik

#pragma once
// Starting a child program and waiting for its end.
#include <string>
#include <vector>

namespace brenvik {

// How the child's output is treated.
enum class ShowState {
  Hidden,           // standard input, output and error on /dev/null
  ShownNoActivate,  // the child writes to the tool's own output
};

// Program and arguments; the program is looked up on PATH unless it holds
// a '/'. No shell is involved, so blanks in a folder name need no quoting.
using CommandLine = std::vector<std::string>;

// Starts the command and waits for it without a time limit. A command that
// cannot be started is skipped silently; the exit status is not examined.
void RunAndWait(const CommandLine& command, ShowState show);

// Seam for the form logic: production runs the commands, tests record them.
class CommandRunner {
 public:
  virtual ~CommandRunner() = default;
  virtual void Run(const CommandLine& command, ShowState show) = 0;
};

class ProcessRunner final : public CommandRunner {
 public:
  void Run(const CommandLine& command, ShowState show) override { RunAndWait(command, show); }
};

}  // namespace brenvik

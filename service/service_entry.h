#pragma once
// The program entry of brenvik: install, uninstall, or run as the service.
#include <string>
#include <string_view>

namespace brenvik {

enum class EntryCommand { Install, Uninstall, RunService };

// The arguments after the program name joined with blanks, leading blanks
// removed.
std::string JoinArguments(int argc, const char* const* argv);

// Exactly "-install" or "-uninstall"; anything else runs the service.
EntryCommand ParseEntryCommand(std::string_view arguments);

// "<failure text>" + " " + the result in decimal.
std::string FailureEventText(std::string_view failure_text, int result);

// Installs or uninstalls, writes the outcome's event and returns the exit
// status (0 success, 1 failure).
int RunInstallCommand(EntryCommand command);

// The error event of a registry file line that was not understood.
std::string RegistryLineEventText(int line, std::string_view file);

// One error event per registry file line that was not understood.
void ReportRegistryProblems();

// The whole program; returns only for install and uninstall.
int RunEntry(int argc, const char* const* argv);

}  // namespace brenvik

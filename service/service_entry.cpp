#include "service/service_entry.h"

#include "maintenance/event_log.h"
#include "service/service_install.h"
#include "service/service_main.h"
#include "service/service_texts.h"

namespace brenvik {

std::string JoinArguments(int argc, const char* const* argv) {
  std::string joined;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) joined += ' ';
    joined += argv[i];
  }
  const auto first = joined.find_first_not_of(" \t");
  return first == std::string::npos ? std::string() : joined.substr(first);
}

EntryCommand ParseEntryCommand(std::string_view arguments) {
  if (arguments == kInstallWord) return EntryCommand::Install;
  if (arguments == kUninstallWord) return EntryCommand::Uninstall;
  return EntryCommand::RunService;
}

std::string FailureEventText(std::string_view failure_text, int result) {
  return std::string(failure_text) + " " + std::to_string(result);
}

int RunInstallCommand(EntryCommand command) {
  const bool install = command == EntryCommand::Install;
  const int result = install ? InstallService() : UninstallService();
  if (result == 1) {
    ReportInfo(install ? kEventInstalled : kEventUninstalled);
    return 0;
  }
  ReportError(FailureEventText(install ? kEventInstallFailed : kEventUninstallFailed, result));
  return 1;
}

int RunEntry(int argc, const char* const* argv) {
  const EntryCommand command = ParseEntryCommand(JoinArguments(argc, argv));
  if (command != EntryCommand::RunService) return RunInstallCommand(command);
  // Before any thread exists, so that all of them inherit the mask.
  BlockControlSignals();
  ReportInfo(kEventStarted);
  RunService();
}

}  // namespace brenvik

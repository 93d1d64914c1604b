#include "service/service_entry.h"

#include <algorithm>
#include <vector>

#include "maintenance/event_log.h"
#include "service/service_install.h"
#include "service/service_main.h"
#include "service/service_texts.h"
#include "store/registry.h"

namespace brenvik {
namespace {

// A file full of foreign text must not flood the log.
constexpr std::size_t kMaxReportedRegistryLines = 20;

}  // namespace

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

std::string RegistryLineEventText(int line, std::string_view file) {
  const std::string number = std::to_string(line);
  return std::string(kEventRegistryLineBefore) + number + std::string(kEventRegistryLineMiddle) + number +
         std::string(kEventRegistryLineAfter) + std::string(file);
}

void ReportRegistryProblems() {
  const std::vector<int> lines = RegistryUnparsedLines();
  const std::size_t shown = std::min(lines.size(), kMaxReportedRegistryLines);
  for (std::size_t i = 0; i < shown; ++i) ReportError(RegistryLineEventText(lines[i], RegistryFilePath()));
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
  ReportRegistryProblems();
  RunService();
}

}  // namespace brenvik

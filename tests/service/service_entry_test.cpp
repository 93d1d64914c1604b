// Command-line words, event texts, the unit text and the control mapping.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "service/service_entry.h"
#include "service/service_install.h"
#include "service/service_main.h"
#include "service/service_notify.h"
#include "service/service_texts.h"

namespace brenvik {
namespace {

std::string Joined(std::vector<const char*> args) {
  args.insert(args.begin(), "brenvik");
  return JoinArguments(static_cast<int>(args.size()), args.data());
}

TEST(EntryCommand, OnlyTheExactWordsInstallOrUninstall) {
  struct Case {
    std::vector<const char*> args;
    EntryCommand expected;
  };
  const Case cases[] = {
      {{"-install"}, EntryCommand::Install},
      {{"-uninstall"}, EntryCommand::Uninstall},
      {{"", "-install"}, EntryCommand::Install},        // leading blank removed
      {{"   -uninstall"}, EntryCommand::Uninstall},
      {{}, EntryCommand::RunService},
      {{"-INSTALL"}, EntryCommand::RunService},
      {{"-install "}, EntryCommand::RunService},       // trailing blank kept
      {{"-install", ""}, EntryCommand::RunService},
      {{"-install", "now"}, EntryCommand::RunService},
      {{"install"}, EntryCommand::RunService},
      {{"-uninstal"}, EntryCommand::RunService},
  };
  for (const auto& c : cases) {
    const std::string joined = Joined(c.args);
    EXPECT_EQ(ParseEntryCommand(joined), c.expected) << "[" << joined << "]";
  }
}

TEST(EntryCommand, ArgumentsJoinedWithSingleBlanks) {
  EXPECT_EQ(Joined({"a", "b c", "d"}), "a b c d");
  EXPECT_EQ(Joined({" ", " x "}), "x ");
  EXPECT_EQ(Joined({}), "");
}

TEST(EntryEvents, FailureTextCarriesTheResultAfterTwoBlanks) {
  EXPECT_EQ(FailureEventText(kEventInstallFailed, 0),
            "Service konnte nicht installiert werden / Service install failed:  0");
  EXPECT_EQ(FailureEventText(kEventUninstallFailed, 0),
            "Service konnte nicht deinstalliert werden / Service uninstall failed:  0");
}

std::string LineStartingWith(const std::string& text, const std::string& prefix) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t end = text.find('\n', pos);
    const std::string line = text.substr(pos, end - pos);
    if (line.rfind(prefix, 0) == 0) return line;
    if (end == std::string::npos) break;
    pos = end + 1;
  }
  return "<missing " + prefix + ">";
}

TEST(UnitText, StartsTheProgramWithoutArgumentsAsNotifyService) {
  const std::string unit = BuildUnitText("/opt/brenvik/brenvik");
  EXPECT_EQ(LineStartingWith(unit, "ExecStart="), "ExecStart=/opt/brenvik/brenvik");
  EXPECT_EQ(LineStartingWith(unit, "Type="), "Type=notify");
  EXPECT_EQ(LineStartingWith(unit, "WorkingDirectory="), "WorkingDirectory=/opt/brenvik");
  EXPECT_EQ(LineStartingWith(unit, "WantedBy="), "WantedBy=multi-user.target");
  EXPECT_LT(unit.find("[Service]"), unit.find("ExecStart="));
  EXPECT_LT(unit.find("ExecStart="), unit.find("[Install]"));
}

TEST(UnitText, PathsThatUnitSyntaxWouldMisreadAreEscaped) {
  EXPECT_EQ(LineStartingWith(BuildUnitText("/opt/my mail/brenvik"), "ExecStart="),
            "ExecStart=\"/opt/my mail/brenvik\"");
  EXPECT_EQ(LineStartingWith(BuildUnitText("/opt/100%/brenvik"), "ExecStart="),
            "ExecStart=/opt/100%%/brenvik");
  EXPECT_EQ(LineStartingWith(BuildUnitText("/opt/100%/brenvik"), "WorkingDirectory="),
            "WorkingDirectory=/opt/100%%");
  EXPECT_EQ(LineStartingWith(BuildUnitText("/opt/a\"b/brenvik"), "ExecStart="),
            "ExecStart=\"/opt/a\\\"b/brenvik\"");
  EXPECT_EQ(LineStartingWith(BuildUnitText("/opt/$HOME/brenvik"), "ExecStart="),
            "ExecStart=/opt/$$HOME/brenvik");
}

TEST(UnitText, PathsThatCannotBeWrittenGiveNoUnit) {
  EXPECT_EQ(BuildUnitText(""), "");
  EXPECT_EQ(BuildUnitText("brenvik"), "");
  EXPECT_EQ(BuildUnitText("/opt/x\n[Service]\nExecStartPre=/bin/evil/brenvik"), "");
}

TEST(ControlSignals, EachSignalAsksForItsControl) {
  EXPECT_EQ(ControlForSignal(SIGTERM), ControlRequest::Stop);
  EXPECT_EQ(ControlForSignal(SIGINT), ControlRequest::Stop);
  EXPECT_EQ(ControlForSignal(SIGPWR), ControlRequest::Shutdown);
  EXPECT_EQ(ControlForSignal(SIGUSR1), ControlRequest::Pause);
  EXPECT_EQ(ControlForSignal(SIGUSR2), ControlRequest::Continue);
  EXPECT_EQ(ControlForSignal(SIGHUP), ControlRequest::Interrogate);
  EXPECT_EQ(ControlForSignal(SIGALRM), ControlRequest::None);
  const sigset_t set = ControlSignalSet();
  for (int s : {SIGTERM, SIGINT, SIGPWR, SIGUSR1, SIGUSR2, SIGHUP}) EXPECT_EQ(sigismember(&set, s), 1);
  EXPECT_EQ(sigismember(&set, SIGALRM), 0);
}

TEST(StateReports, MessagesForTheServiceManager) {
  EXPECT_EQ(NotifyMessage(ServiceState::Running), "READY=1\nSTATUS=running");
  EXPECT_EQ(NotifyMessage(ServiceState::Paused), "STATUS=paused");
  EXPECT_EQ(NotifyMessage(ServiceState::StopPending), "STOPPING=1\nEXTEND_TIMEOUT_USEC=3000000");
  EXPECT_EQ(NotifyMessage(ServiceState::Stopped), "STATUS=stopped");
}

}  // namespace
}  // namespace brenvik

// Command-line words and the unit text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/service_entry.h"
#include "service/service_install.h"

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
  };
  for (const auto& c : cases) {
    const std::string joined = Joined(c.args);
    EXPECT_EQ(ParseEntryCommand(joined), c.expected) << "[" << joined << "]";
  }
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

}  // namespace
}  // namespace brenvik

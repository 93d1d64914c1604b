// Command-line words and the unit text (the program itself: service_e2e_test).
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "service/service_entry.h"
#include "service/service_install.h"

namespace brenvik {
namespace {

// The plain words, other spellings and a leading empty argument are run on
// the real program in service_e2e_test.
TEST(EntryCommand, OnlyTheExactWordsInstallOrUninstall) {
  const struct {
    std::vector<const char*> args;
    EntryCommand expected;
  } cases[] = {
      {{"   -uninstall"}, EntryCommand::Uninstall},     // leading blanks removed
      {{"-install", ""}, EntryCommand::RunService},     // a trailing blank is kept
      {{"-install", "now"}, EntryCommand::RunService},
      {{"-uninstall", "-install"}, EntryCommand::RunService},
  };
  for (auto c : cases) {
    c.args.insert(c.args.begin(), "brenvik");
    const std::string joined = JoinArguments(static_cast<int>(c.args.size()), c.args.data());
    EXPECT_EQ(ParseEntryCommand(joined), c.expected) << "[" << joined << "]";
  }
}

// The line of the unit text for `program` that starts with `key`=.
std::string UnitLine(const std::string& program, const std::string& key, const std::string& work_folder = "",
                     const UnitCredentials& credentials = {}) {
  std::istringstream unit(BuildUnitText(program, work_folder, credentials));
  for (std::string line; std::getline(unit, line);) {
    if (line.rfind(key + "=", 0) == 0) return line;
  }
  return "<none>";
}

TEST(UnitText, ProgramPathInUnitSyntax) {
  const struct {
    const char *program, *exec_start, *working_directory;
  } cases[] = {
      {"/opt/brenvik/brenvik", "ExecStart=/opt/brenvik/brenvik", "WorkingDirectory=/opt/brenvik"},
      {"/opt/my mail/brenvik", "ExecStart=\"/opt/my mail/brenvik\"", "WorkingDirectory=/opt/my mail"},
      {"/opt/100%/brenvik", "ExecStart=/opt/100%%/brenvik", "WorkingDirectory=/opt/100%%"},
      {"/opt/a\"b/brenvik", "ExecStart=\"/opt/a\\\"b/brenvik\"", "WorkingDirectory=/opt/a\"b"},
      {"/opt/$HOME/brenvik", "ExecStart=/opt/$$HOME/brenvik", "WorkingDirectory=/opt/$HOME"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(UnitLine(c.program, "ExecStart"), c.exec_start);
    EXPECT_EQ(UnitLine(c.program, "WorkingDirectory"), c.working_directory);
  }
  const std::string unit = BuildUnitText("/opt/brenvik/brenvik", "");
  EXPECT_LT(unit.find("[Service]"), unit.find("ExecStart="));
  EXPECT_LT(unit.find("ExecStart="), unit.find("[Install]"));
  EXPECT_EQ(UnitLine("/opt/brenvik/brenvik", "WantedBy"), "WantedBy=multi-user.target");
  // Paths that cannot be written give no unit at all.
  for (const char* bad : {"", "brenvik", "/opt/x\n[Service]\nExecStartPre=/bin/evil/brenvik"}) {
    EXPECT_EQ(BuildUnitText(bad, "/var/opt/brenvik"), "") << bad;
  }
}

// The one writable folder and the TLS credentials, each a single word that
// cannot open more of the tree or add a setting.
TEST(UnitText, WritableFolderAndCredentials) {
  const struct {
    const char* folder;
    const char* read_write;
  } folders[] = {
      {"/var/opt/brenvik", "ReadWritePaths=-/var/opt/brenvik"},
      {"/srv/mail data", "ReadWritePaths=-\"/srv/mail data\""},
      {"/srv/100%", "ReadWritePaths=-/srv/100%%"},
      {"/srv/$HOME", "ReadWritePaths=-/srv/$HOME"},
      {"/", "<none>"},  // the whole tree again
      {"", "<none>"},
      {"var/opt/brenvik", "<none>"},
      {"/srv/x\nReadWritePaths=/", "<none>"},
  };
  for (const auto& f : folders) {
    EXPECT_EQ(UnitLine("/opt/brenvik/brenvik", "ReadWritePaths", f.folder), f.read_write) << f.folder;
  }
  const std::string program = "/opt/brenvik/brenvik";
  EXPECT_EQ(UnitLine(program, "LoadCredential", "/var/opt/brenvik"), "<none>");
  const std::string unit = BuildUnitText(program, "/var/opt/brenvik", {"/etc/ssl/100%.pem", "/etc/ssl/private/mx.key"});
  EXPECT_NE(unit.find("\nLoadCredential=TlsCertificate:/etc/ssl/100%%.pem\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nLoadCredential=TlsKey:/etc/ssl/private/mx.key\nSetCredential=TlsKey:not-loaded\n"),
            std::string::npos) << unit;
  EXPECT_EQ(UnitLine(program, "LoadCredential", "", {"relative.pem", "/k\nUser=root"}), "<none>");
  EXPECT_EQ(UnitLine(program, "LoadCredential", "", {"/etc/ssl/mx chain.pem", "/etc/ssl/\"k\""}), "<none>");
  EXPECT_EQ(UnitLine(program, "User"), "User=brenvik");
  EXPECT_EQ(UnitLine(program, "CapabilityBoundingSet"), "CapabilityBoundingSet=CAP_NET_BIND_SERVICE");
  EXPECT_EQ(UnitLine(program, "LimitNOFILE"), "LimitNOFILE=65536");
}

}  // namespace
}  // namespace brenvik

// Service control through real child processes: a fake systemctl first on
// PATH and a fake brenvik in the working folder record what they were run
// with, in order, into one journal file.
#include <gtest/gtest.h>
#include <unistd.h>

#include "configtool/form_logic.h"
#include "tests/configtool/tool_test_support.h"

namespace brenvik {
namespace {

class ServiceCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_path_ = getenv("PATH") != nullptr ? getenv("PATH") : "";
    std::filesystem::create_directories(machine.Base() + "/bin");
    WriteNoter(machine.Base() + "/bin/systemctl", "");
    setenv("PATH", (machine.Base() + "/bin:" + old_path_).c_str(), 1);
    char own_output[4096] = {};
    if (readlink("/proc/self/fd/1", own_output, sizeof own_output - 1) < 0) own_output[0] = '\0';
    setenv("TOOL_OUT", own_output, 1);
  }
  void TearDown() override { setenv("PATH", old_path_.c_str(), 1); }

  // The program notes its name, arguments and whether its output reaches the
  // tool's own or is taken by the tool.
  void WriteNoter(const std::string& path, const std::string& extra) {
    test::WriteScript(path, "out=shown; [ \"$(readlink /proc/$$/fd/1)\" != \"$TOOL_OUT\" ] && out=hidden\n"
                            "echo \"$(basename \"$0\") $* $out" + extra + "\" >> '" + Journal() + "'\n");
  }
  std::string Journal() const { return machine.Base() + "/journal"; }

  test::TempMachine machine;
  test::FakeView view;
  ProcessRunner runner;
  std::string dir = machine.Work();
  FormLogic logic{view, ToolEnvironment{[this] { return dir; }, &runner}};
  std::string old_path_;
};

TEST_F(ServiceCommandsTest, InstallRunsTheServiceProgramOfTheCurrentDirectory) {
  logic.InstallService();  // no brenvik there: nothing runs, and that is said
  EXPECT_EQ(test::ReadFile(Journal()), "");
  EXPECT_EQ(view.Shown(), "Brenvik: The service was not installed.\r\n" + machine.Work() +
                              "/brenvik could not be started: No such file or directory [w] [owned]\n");
  view.messages.clear();
  WriteNoter(machine.Work() + "/brenvik", " $(pwd)");
  std::filesystem::create_directories(machine.Base() + "/other");
  WriteNoter(machine.Base() + "/other/brenvik", " other");
  dir = machine.Base() + "/other";  // looked up in the directory of the click
  logic.InstallService();
  dir = machine.Work();
  logic.InstallService();
  EXPECT_EQ(test::ReadFile(Journal()),
            "brenvik -install hidden other\nbrenvik -install hidden " + ProcessCurrentDirectory() + "\n");
  const std::string shown = "Brenvik: Service installed succesfully. \r\nPlease change the servicestart to "
                            "automatic\r\nand let the service start after save and end!\r\n [i] [owned]\n";
  EXPECT_EQ(view.Shown(), shown + shown);
}

TEST_F(ServiceCommandsTest, UninstallStopsFirstAndUnticksRestart) {
  WriteNoter(machine.Work() + "/brenvik", "");
  view.checks[ControlId::RestartCheck] = true;
  logic.UninstallService();
  EXPECT_EQ(test::ReadFile(Journal()), "systemctl stop brenvik hidden\nbrenvik -uninstall hidden\n");
  EXPECT_EQ(view.Shown(), "Brenvik: Service succesfully uninstalled!\r\n [i] [owned]\n");
  EXPECT_FALSE(view.messages.at(0).uninstall_enabled);
  EXPECT_TRUE(view.enabled.at(ControlId::UninstallButton));
  EXPECT_FALSE(view.Checked(ControlId::RestartCheck));
}

// Success only when the service program ended with status 0; otherwise
// what it said, or how it ended.
TEST_F(ServiceCommandsTest, FailuresOfTheServiceProgramAreShownAsItSaidThem) {
  const std::string program = machine.Work() + "/brenvik";
  const struct {
    const char* body;
    bool install;
    std::string shown;
  } cases[] = {
      {"echo 'Ein Fehler ist aufgetreten: Dienst nicht installiert 0' >&2; exit 1", true,
       "The service was not installed.\r\nEin Fehler ist aufgetreten: Dienst nicht installiert 0"},
      {"echo; echo '  said on standard output  '; echo; exit 1", true, "The service was not installed.\r\nsaid on standard output"},
      {"exit 3", false, "The service was not uninstalled.\r\n" + program + " ended with exit status 3"},
      {"kill -9 $$", false, "The service was not uninstalled.\r\n" + program + " did not end normally"},
      {"echo 'said, but done'; exit 0", false, "Service succesfully uninstalled!\r\n"},
  };
  for (const auto& c : cases) {
    test::WriteScript(program, std::string(c.body) + "\n");
    view.messages.clear();
    c.install ? logic.InstallService() : logic.UninstallService();
    ASSERT_EQ(view.messages.size(), 1u) << c.body;
    EXPECT_EQ(view.messages[0].text, c.shown) << c.body;
    EXPECT_EQ(view.messages[0].icon, c.shown.rfind("Service", 0) == 0 ? MessageIcon::Information : MessageIcon::Warning);
  }
  if (geteuid() == 0) {  // a program another user may change is not run by root, and that is said
    test::WriteScript(program, "exit 0\n");
    ASSERT_EQ(chown(program.c_str(), 65534, 65534), 0);
    view.messages.clear();
    logic.InstallService();
    EXPECT_EQ(view.Shown(), "Brenvik: The service was not installed.\r\n" + program +
                                " is not run as root: another user may change it or a folder above it. [w] [owned]\n");
  }
  std::filesystem::remove(program);
  view.messages.clear();
  logic.UninstallService();
  EXPECT_EQ(view.Shown(), "Brenvik: The service was not uninstalled.\r\n" + program +
                              " could not be started: No such file or directory [w] [owned]\n");
}

TEST_F(ServiceCommandsTest, RestartStopsThenStartsWithOutputShown) {
  logic.RestartService();
  // Under ctest the tool's own output is a pipe or file, never /dev/null.
  EXPECT_EQ(test::ReadFile(Journal()), "systemctl stop brenvik shown\nsystemctl start brenvik shown\n");
  EXPECT_EQ(view.Shown(), "");
  // A start that fails is said: its output went to the tool's, not into the message.
  test::WriteScript(machine.Base() + "/bin/systemctl", "echo 'Job for brenvik.service failed.'\nexit 1\n");
  logic.RestartService();
  EXPECT_EQ(view.Shown(), "Brenvik: The settings were saved, but the service did not start:\r\n"
                          "systemctl ended with exit status 1 [w] [owned]\n");
}

TEST(RunAndWaitTest, WaitsForTheChildPassesArgumentsUnsplitAndSkipsMissingPrograms) {
  test::TempMachine machine;
  const std::string out = machine.Base() + "/out";
  test::WriteScript(machine.Base() + "/with blank", "sleep 0.2; printf '%s|' \"$@\" > '" + out + "'\n");
  RunAndWait({machine.Base() + "/with blank", "a b", "$HOME;x"}, ShowState::Hidden);
  EXPECT_EQ(test::ReadFile(out), "a b|$HOME;x|");  // written before RunAndWait returned
  EXPECT_EQ(RunAndWait({"/nonexistent/brenvik", "-install"}, ShowState::Hidden).start_error, ENOENT);
  EXPECT_EQ(RunAndWait({"brenvik-no-such-command"}, ShowState::ShownNoActivate).start_error, ENOENT);
  EXPECT_FALSE(RunAndWait({}, ShowState::Hidden).Succeeded());
  // A hidden child that says more than is kept neither blocks nor is cut off
  // before its end: its status still counts.
  test::WriteScript(machine.Base() + "/talker", "head -c 200000 /dev/zero | tr '\\0' x; echo err >&2; exit 7\n");
  const CommandResult talked = RunAndWait({machine.Base() + "/talker"}, ShowState::Hidden);
  EXPECT_EQ(talked.exit_status, 7);
  EXPECT_EQ(talked.output, std::string(kMaxCommandOutput, 'x'));
}

}  // namespace
}  // namespace brenvik

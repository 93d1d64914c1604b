// Service control through real child processes: a fake systemctl first on
// PATH and a fake brenvik in the working folder record what they were run
// with, in order, into one journal file.
#include <gtest/gtest.h>

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
  }
  void TearDown() override { setenv("PATH", old_path_.c_str(), 1); }

  // The program notes its name, arguments and whether its output reaches the
  // tool's (a terminal or pipe) or /dev/null.
  void WriteNoter(const std::string& path, const std::string& extra) {
    test::WriteScript(path, "out=shown; [ \"$(readlink /proc/$$/fd/1)\" = /dev/null ] && out=hidden\n"
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
  logic.InstallService();  // no brenvik there: nothing runs, the message still shows
  EXPECT_EQ(test::ReadFile(Journal()), "");
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
  EXPECT_EQ(view.Shown(), shown + shown + shown);
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

TEST_F(ServiceCommandsTest, RestartStopsThenStartsWithOutputShown) {
  logic.RestartService();
  // Under ctest the tool's own output is a pipe or file, never /dev/null.
  EXPECT_EQ(test::ReadFile(Journal()), "systemctl stop brenvik shown\nsystemctl start brenvik shown\n");
  EXPECT_EQ(view.Shown(), "");
}

TEST(RunAndWaitTest, WaitsForTheChildPassesArgumentsUnsplitAndSkipsMissingPrograms) {
  test::TempMachine machine;
  const std::string out = machine.Base() + "/out";
  test::WriteScript(machine.Base() + "/with blank", "sleep 0.2; printf '%s|' \"$@\" > '" + out + "'\n");
  RunAndWait({machine.Base() + "/with blank", "a b", "$HOME;x"}, ShowState::Hidden);
  EXPECT_EQ(test::ReadFile(out), "a b|$HOME;x|");  // written before RunAndWait returned
  RunAndWait({"/nonexistent/brenvik", "-install"}, ShowState::Hidden);
  RunAndWait({"brenvik-no-such-command"}, ShowState::ShownNoActivate);
  RunAndWait({}, ShowState::Hidden);
}

}  // namespace
}  // namespace brenvik

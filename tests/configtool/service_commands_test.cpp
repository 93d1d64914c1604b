// Service control through real child processes: a fake systemctl first on
// PATH and a fake brenvik in the working folder record what they were run
// with, in order, into one journal file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "configtool/form_logic.h"
#include "configtool/form_texts.h"
#include "configtool/run_and_wait.h"
#include "tests/configtool/tool_test_support.h"

namespace brenvik {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteScript(const std::string& path, const std::string& body) {
  std::ofstream(path) << "#!/bin/sh\n" << body;
  chmod(path.c_str(), 0755);
}

class ServiceCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_path_ = getenv("PATH") != nullptr ? getenv("PATH") : "";
    bin_ = machine.Base() + "/bin";
    std::filesystem::create_directories(bin_);
    journal_ = machine.Base() + "/journal";
    // Each program notes its name and arguments, and whether its output
    // reaches the tool's (a terminal or pipe) or /dev/null.
    const std::string note =
        "out=shown; [ \"$(readlink /proc/$$/fd/1)\" = /dev/null ] && out=hidden\n"
        "echo \"$(basename \"$0\") $* $out\" >> '" + journal_ + "'\n";
    WriteScript(bin_ + "/systemctl", note);
    setenv("PATH", (bin_ + ":" + old_path_).c_str(), 1);
  }
  void TearDown() override { setenv("PATH", old_path_.c_str(), 1); }

  void InstallFakeService() { WriteScript(machine.Work() + "/brenvik", note_brenvik()); }
  std::string note_brenvik() {
    return "out=shown; [ \"$(readlink /proc/$$/fd/1)\" = /dev/null ] && out=hidden\n"
           "echo \"brenvik $* $out $(pwd)\" >> '" + journal_ + "'\n";
  }
  std::string Journal() { return ReadFile(journal_); }

  test::TempMachine machine;
  test::FakeView view;
  ProcessRunner runner;
  std::string old_path_, bin_, journal_;
};

TEST_F(ServiceCommandsTest, InstallRunsTheServiceProgramOfTheCurrentDirectory) {
  InstallFakeService();
  FormLogic logic(view, ToolEnvironment{[this] { return machine.Work(); }, &runner});
  logic.InstallService();
  EXPECT_EQ(Journal(), "brenvik -install hidden " + ProcessCurrentDirectory() + "\n");
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(view.messages[0].title, "Brenvik");
  EXPECT_EQ(view.messages[0].icon, MessageIcon::Information);
  EXPECT_TRUE(view.messages[0].owned);
  EXPECT_EQ(view.messages[0].text,
            "Service installed succesfully. \r\nPlease change the servicestart to automatic\r\n"
            "and let the service start after save and end!\r\n");
}

TEST_F(ServiceCommandsTest, InstallWithoutServiceProgramStillShowsItsMessage) {
  FormLogic logic(view, ToolEnvironment{[this] { return machine.Work(); }, &runner});
  logic.InstallService();
  EXPECT_EQ(Journal(), "");
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(view.messages[0].text, texts::kServiceInstalled);
}

TEST_F(ServiceCommandsTest, UninstallStopsFirstAndUnticksRestart) {
  InstallFakeService();
  view.checks[ControlId::RestartCheck] = true;
  FormLogic logic(view, ToolEnvironment{[this] { return machine.Work(); }, &runner});
  logic.UninstallService();
  EXPECT_EQ(Journal(), "systemctl stop brenvik hidden\nbrenvik -uninstall hidden " + ProcessCurrentDirectory() + "\n");
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(view.messages[0].text, "Service succesfully uninstalled!\r\n");
  EXPECT_EQ(view.messages[0].icon, MessageIcon::Information);
  EXPECT_EQ(view.uninstall_enabled_at_message, (std::vector<bool>{false}));
  EXPECT_TRUE(view.enabled.at(ControlId::UninstallButton));
  EXPECT_FALSE(view.Checked(ControlId::RestartCheck));
}

TEST_F(ServiceCommandsTest, RestartStopsThenStartsWithOutputShown) {
  FormLogic logic(view, ToolEnvironment{[this] { return machine.Work(); }, &runner});
  logic.RestartService();
  // Under ctest the tool's own output is a pipe or file, never /dev/null.
  EXPECT_EQ(Journal(), "systemctl stop brenvik shown\nsystemctl start brenvik shown\n");
  EXPECT_TRUE(view.messages.empty());
}

TEST_F(ServiceCommandsTest, ServiceProgramIsLookedUpInTheDirectoryOfTheClick) {
  const std::string other = machine.Base() + "/other";
  std::filesystem::create_directories(other);
  WriteScript(other + "/brenvik", "echo \"other $*\" >> '" + journal_ + "'\n");
  std::string dir = machine.Work();
  FormLogic logic(view, ToolEnvironment{[&dir] { return dir; }, &runner});
  dir = other;
  logic.InstallService();
  EXPECT_EQ(Journal(), "other -install\n");
}

TEST(RunAndWaitTest, WaitsForTheChildAndPassesArgumentsUnsplit) {
  test::TempMachine machine;
  const std::string out = machine.Base() + "/out";
  const std::string script = machine.Base() + "/with blank";
  WriteScript(script, "sleep 0.2; printf '%s|' \"$@\" > '" + out + "'\n");
  RunAndWait({script, "a b", "$HOME;x"}, ShowState::Hidden);
  EXPECT_EQ(ReadFile(out), "a b|$HOME;x|");  // written before RunAndWait returned
}

TEST(RunAndWaitTest, MissingProgramIsSkipped) {
  RunAndWait({"/nonexistent/brenvik", "-install"}, ShowState::Hidden);
  RunAndWait({"brenvik-no-such-command"}, ShowState::ShownNoActivate);
  RunAndWait({}, ShowState::Hidden);
  SUCCEED();
}

}  // namespace
}  // namespace brenvik

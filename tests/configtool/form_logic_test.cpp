// The form's behaviour without widgets: a recording view over a real
// spam.mdb and a real registry file in a temporary machine root.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <optional>

#include "brenvik_version.h"
#include "configtool/form_logic.h"
#include "store/registry.h"
#include "tests/configtool/tool_test_support.h"
#include "tests/support/pg_server.h"

namespace brenvik {
namespace {

using test::FakeView;
using Strings = std::vector<std::string>;

std::string Setting(std::string_view name) { return GETREGVALUE(HKEY_LOCAL_MACHINE, kSettingsKey, name); }
void Store(std::string_view name, std::string_view value) {
  ASSERT_TRUE(SETREGVALUE(HKEY_LOCAL_MACHINE, kSettingsKey, name, value));
}

class FormLogicTest : public ::testing::Test {
 protected:
  void Open() {
    logic = std::make_unique<FormLogic>(view, Environment());
    logic->LoadSettings();
  }
  ToolEnvironment Environment() { return ToolEnvironment{[this] { return cwd; }, &runner}; }
  // Creates spam.mdb the way the tool does, then adds rows behind its back.
  void Seed(const std::string& sql) {
    FakeView other;
    FormLogic(other, Environment()).LoadSettings();
    bool ok = false;
    test::Sql(machine.Database(), sql, &ok);
    ASSERT_TRUE(ok) << sql;
  }
  // A form that passes validation.
  static void FillValidForm(FakeView& v) {
    v.lists[ControlId::DomainList] = {"@example.org"};
    v.texts[ControlId::RecvPortEdit] = "25a";  // stored exactly as typed
    v.texts[ControlId::SendPortEdit] = "26";
    v.texts[ControlId::RecvHostInput] = "192.0.2.1";
    v.texts[ControlId::SendHostEdit] = "  mail.example.org\t";  // stored without the blanks
    v.texts[ControlId::StatusMailEdit] = " ";
  }
  Strings Rows(const std::string& sql) { return test::Sql(machine.Database(), sql); }

  test::TempMachine machine;
  std::string cwd = machine.Work();
  FakeView view;
  test::RecordingRunner runner;
  std::unique_ptr<FormLogic> logic;
};

TEST_F(FormLogicTest, LoadFillsTheFormFromRegistryAndDatabase) {
  view.texts[ControlId::RecvPortEdit] = "25";
  Open();  // nothing stored yet
  using Texts = std::map<ControlId, std::string>;
  EXPECT_EQ(view.texts, (Texts{{ControlId::RecvPortEdit, ""}, {ControlId::RecvHostInput, "0.0.0.0"},
                               {ControlId::SendPortEdit, ""}, {ControlId::SendHostEdit, ""},
                               {ControlId::StatusMailEdit, ""}, {ControlId::TitleLabel, TitleText()}}));
  EXPECT_EQ(TitleText(),
            "Brenvik V" + std::to_string(BRENVIK_VERSION_MAJOR) + "." + std::to_string(BRENVIK_VERSION_BUILD));
  EXPECT_FALSE(view.Checked(ControlId::RblCheck));
  EXPECT_TRUE(view.Checked(ControlId::RestartCheck));
  EXPECT_TRUE(std::filesystem::exists(machine.Database()));
  logic.reset();

  for (const auto& [name, value] : {std::pair{"RecvPort", "2525x"}, {"RecvHost", "192.0.2.7"}, {"SendPort", "26"},
                                    {"SendHost", "backend.example.org"}, {"StatusMail", "admin@example.org"}})
    Store(name, value);
  Seed("INSERT INTO SpamSystem VALUES ('@b.example', 1), ('10.0.0.9', 2), ('@a.example', 1);"
       "INSERT INTO Liste (Email) VALUES ('@white.example');"
       "INSERT INTO Liste (Email, WieOft) VALUES ('SENDER@GREY.EXAMPLE', 1);");
  FakeView v;
  FormLogic(v, Environment()).LoadSettings();
  EXPECT_EQ(v.texts, (Texts{{ControlId::RecvPortEdit, "2525x"}, {ControlId::RecvHostInput, "192.0.2.7"},
                            {ControlId::SendPortEdit, "26"}, {ControlId::SendHostEdit, "backend.example.org"},
                            {ControlId::StatusMailEdit, "admin@example.org"}, {ControlId::TitleLabel, TitleText()}}));
  EXPECT_EQ(v.List(ControlId::DomainList), (Strings{"@b.example", "@a.example"}));
  EXPECT_EQ(v.List(ControlId::RelayList), (Strings{"10.0.0.9"}));
  EXPECT_EQ(v.List(ControlId::WhitelistList), (Strings{"@white.example"}));

  for (auto [stored, ticked] : {std::pair{"0", false}, {"2", true}, {"1x", true}, {"x1", false}}) {
    Store("CheckBadMailAdr", stored);
    FakeView r;
    FormLogic(r, Environment()).LoadSettings();
    EXPECT_EQ(r.Checked(ControlId::RblCheck), ticked) << stored;
  }
}

TEST_F(FormLogicTest, ValidationShowsOnlyTheFirstFailureAndWritesNothing) {
  Open();
  const std::pair<std::map<ControlId, std::string>, const char*> cases[] = {
      {{{ControlId::DomainList, ""}, {ControlId::RecvPortEdit, "0"}}, "You need at least one receive domain!"},
      {{{ControlId::RecvPortEdit, "abc"}, {ControlId::SendPortEdit, ""}}, "Unknown receive port!"},
      {{{ControlId::RecvPortEdit, ""}}, "Unknown receive port!"},
      {{{ControlId::SendPortEdit, "0"}, {ControlId::RecvHostInput, ""}}, "Unknown send port!"},
      {{{ControlId::RecvHostInput, ""}, {ControlId::SendHostEdit, ""}}, "Receive IP is unknown!"},
      {{{ControlId::SendHostEdit, ""}}, "Send to Host is unknown!"},
      {{{ControlId::SendHostEdit, " \t "}}, "Send to Host is unknown!"},
      {{{ControlId::RecvPortEdit, "70000"}}, "Unknown receive port!"},  // the gateway could not listen
      {{{ControlId::RecvPortEdit, "65536"}, {ControlId::SendPortEdit, "0"}}, "Unknown receive port!"},
      {{{ControlId::SendPortEdit, "65536"}}, "Unknown send port!"},
      {{{ControlId::SendPortEdit, "-25"}}, "Unknown send port!"},
  };
  for (const auto& [spoilt, message] : cases) {
    FillValidForm(view);
    for (const auto& [id, text] : spoilt) {
      if (id == ControlId::DomainList) view.lists[id].clear();
      else view.texts[id] = text;
    }
    view.messages.clear();
    logic->SaveSettings();
    EXPECT_EQ(view.Shown(), "Brenvik: " + std::string(message) + "\n");
  }
  EXPECT_EQ(view.closed, 0);
  EXPECT_FALSE(std::filesystem::exists(machine.RegistryFile()));
  EXPECT_TRUE(runner.runs.empty());
}

TEST_F(FormLogicTest, SaveWritesTheEightValuesInOrderRestartsWhenTickedAndEnds) {
  using Runs = decltype(runner.runs);
  const Runs restart{{{"systemctl", "stop", "brenvik"}, ShowState::ShownNoActivate},
                     {{"systemctl", "start", "brenvik"}, ShowState::ShownNoActivate}};
  for (bool ticked : {true, false}) {
    // A WorkDir without spam.mdb is not the working folder.
    if (!ticked) Store("WorkDir", machine.Base() + "/emptied");
    FakeView v;
    FormLogic l(v, Environment());
    l.LoadSettings();  // ticks RestartCheck
    FillValidForm(v);
    v.checks[ControlId::RblCheck] = ticked;
    v.checks[ControlId::RestartCheck] = ticked;
    cwd = ticked ? machine.Work() : machine.Base();  // the directory at the moment of saving counts
    runner.runs.clear();
    if (!ticked) Store("GarbageCollector", "0");
    l.SaveSettings();
    if (ticked) {  // a fresh file shows the order of the writes
      EXPECT_EQ(test::ReadFile(machine.RegistryFile()),
                "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Vikmar]\n\"RecvPort\"=\"25a\"\n\"RecvHost\"=\"192.0.2.1\"\n"
                "\"SendPort\"=\"26\"\n\"SendHost\"=\"mail.example.org\"\n\"StatusMail\"=\"\"\n\"WorkDir\"=\"" + cwd +
                    "\"\n\"GarbageCollector\"=\"1\"\n\"CheckBadMailAdr\"=\"1\"\n\n");
    }
    EXPECT_EQ(Setting("GarbageCollector"), "1");
    EXPECT_EQ(Setting("CheckBadMailAdr"), ticked ? "1" : "0");
    EXPECT_EQ(Setting("WorkDir"), cwd);
    EXPECT_EQ(v.Shown(), "");
    EXPECT_EQ(v.closed, 1);
    EXPECT_FALSE(l.DatabaseOpen());
    EXPECT_EQ(runner.runs, ticked ? restart : Runs{});
  }
}

TEST_F(FormLogicTest, FailedRegistryWriteIsReportedAndTheFormStays) {
  Open();
  // A machine root that is a plain file: nothing can be created below it.
  const std::string blocked = machine.Base() + "/not-a-folder";
  std::ofstream(blocked) << "x";
  setenv("BRENVIK_SYSROOT", blocked.c_str(), 1);
  FillValidForm(view);
  const auto before = view.texts;
  logic->SaveSettings();
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(view.messages[0].title, "Brenvik");
  EXPECT_NE(view.messages[0].text.find(blocked), std::string::npos);
  EXPECT_EQ(view.closed, 0);
  EXPECT_TRUE(runner.runs.empty());
  EXPECT_EQ(view.texts, before);
  view.texts[ControlId::DomainEdit] = "later.example";  // the database is still open for the lists
  logic->AddDomain();
  EXPECT_EQ(Rows("SELECT what FROM SpamSystem;"), (Strings{"@later.example"}));
}

TEST_F(FormLogicTest, CancelAndCloseBoxEndWithoutWriting) {
  Open();
  view.texts[ControlId::DomainEdit] = "kept.example";
  logic->AddDomain();
  FillValidForm(view);
  logic->CloseWithoutSaving();
  EXPECT_EQ(view.closed, 1);
  EXPECT_FALSE(logic->DatabaseOpen());
  logic->CloseRequested();  // the close that follows does not close twice
  EXPECT_FALSE(std::filesystem::exists(machine.RegistryFile()));
  EXPECT_EQ(Rows("SELECT what, Typ FROM SpamSystem;"), (Strings{"@kept.example|1"}));
}

// One click after another on the three lists; each row gives what is typed
// or selected first and what the list and the input show afterwards.
TEST_F(FormLogicTest, ListRules) {
  using Op = void (FormLogic::*)();
  const std::string kInjected = "@o'neil.example'; DELETE FROM SpamSystem; --";
  auto kAtInside = [](const std::string& entry) {
    return entry + " is not a mail domain: a domain has no @ inside (z.B.: the domain of info@four.example is "
                   "four.example). [owned]";
  };
  const ControlId domain = ControlId::DomainEdit, relay = ControlId::RelayIpInput, white = ControlId::WhitelistEdit;
  struct Step {
    Op op;
    ControlId input;
    std::optional<std::string> typed;
    int select;
    Strings shown;
    std::string input_after;
    std::string message = "";
  } steps[] = {
      {&FormLogic::AddDomain, domain, "example.org", -1, {"@dup.example", "@DUP.example", "@example.org"}, ""},
      {&FormLogic::AddDomain, domain, "@example.org", -1,
       {"@dup.example", "@DUP.example", "@example.org", "@example.org"}, ""},
      {&FormLogic::AddDomain, domain, "", -1, {"@dup.example", "@DUP.example", "@example.org", "@example.org"}, ""},
      {&FormLogic::RemoveDomain, domain, {}, -1, {"@dup.example", "@DUP.example", "@example.org", "@example.org"}, ""},
      {&FormLogic::RemoveDomain, domain, {}, 1, {"@example.org", "@example.org"}, ""},  // every row with the text
      {&FormLogic::AddDomain, domain, "o'neil.example'; DELETE FROM SpamSystem; --", -1,
       {"@example.org", "@example.org", "@o'neil.example'; DELETE FROM SpamSystem; --"}, ""},
      {&FormLogic::AddRelayIp, relay, "192.0.2.44", -1, {"192.0.2.44"}, "0.0.0.0"},
      {&FormLogic::AddRelayIp, relay, {}, -1, {"192.0.2.44", "0.0.0.0"}, "0.0.0.0"},  // untouched: like any address
      {&FormLogic::AddRelayIp, relay, "", -1, {"192.0.2.44", "0.0.0.0"}, ""},
      {&FormLogic::RemoveRelayIp, relay, {}, -1, {"192.0.2.44", "0.0.0.0"}, ""},
      {&FormLogic::RemoveRelayIp, relay, {}, 0, {"0.0.0.0"}, ""},
      {&FormLogic::AddWhitelistEntry, white, "nodomain.example", -1, {}, "nodomain.example",
       "Wrong Domain, has to start with @ z.B.: @example.com) [owned]"},
      {&FormLogic::AddWhitelistEntry, white, "@it's.example", -1, {"@it's.example"}, ""},
      {&FormLogic::AddWhitelistEntry, white, "@Friend.Example", -1, {"@it's.example", "@Friend.Example"}, ""},
      {&FormLogic::RemoveWhitelistEntry, white, {}, -1, {"@it's.example", "@Friend.Example"}, ""},
      {&FormLogic::RemoveWhitelistEntry, white, {}, 0, {"@Friend.Example"}, ""},
      // Blanks around an entry never match a recipient or sender.
      {&FormLogic::AddWhitelistEntry, white, "@Partner.example ", -1, {"@Friend.Example", "@Partner.example"}, ""},
      {&FormLogic::AddWhitelistEntry, white, " \t ", -1, {"@Friend.Example", "@Partner.example"}, " \t "},
      {&FormLogic::AddWhitelistEntry, white, "@info@five.example", -1, {"@Friend.Example", "@Partner.example"},
       "@info@five.example", kAtInside("@info@five.example")},
      {&FormLogic::AddDomain, domain, "  three.example  ", -1, {"@example.org", "@example.org", kInjected, "@three.example"}, ""},
      {&FormLogic::AddDomain, domain, "info@four.example", -1, {"@example.org", "@example.org", kInjected, "@three.example"},
       "info@four.example", kAtInside("info@four.example")},
  };
  Seed("INSERT INTO SpamSystem VALUES ('@dup.example', 1), ('@DUP.example', 1);");
  Open();
  const std::map<ControlId, ControlId> list_of{{domain, ControlId::DomainList}, {relay, ControlId::RelayList},
                                               {white, ControlId::WhitelistList}};
  for (const Step& s : steps) {
    const ControlId list = list_of.at(s.input);
    SCOPED_TRACE(s.typed.value_or("(selection " + std::to_string(s.select) + ")"));
    if (s.typed) view.texts[s.input] = *s.typed;
    if (s.select >= 0) view.selection[list] = s.select;
    view.messages.clear();
    (logic.get()->*s.op)();
    EXPECT_EQ(view.List(list), s.shown);
    EXPECT_EQ(view.Text(s.input), s.input_after);
    EXPECT_EQ(view.Shown(), s.message.empty() ? "" : "Brenvik: " + s.message + "\n");
  }
  EXPECT_EQ(Rows("SELECT what, Typ FROM SpamSystem;"),
            (Strings{"@example.org|1", "@example.org|1", "@o'neil.example'; DELETE FROM SpamSystem; --|1",
                     "0.0.0.0|2", "@three.example|1"}));
  EXPECT_EQ(Rows("SELECT Email, WieOft FROM Liste;"), (Strings{"@Friend.Example|NULL", "@Partner.example|NULL"}));
}

// WorkDir holding spam.mdb is the working folder wherever the tool starts;
// without it and without a current folder nothing is opened, changed or saved.
TEST_F(FormLogicTest, WorkingFolderIsWorkDirWhenItHoldsTheDatabase) {
  Seed("INSERT INTO SpamSystem VALUES ('@kept.example', 1);");
  Store("WorkDir", machine.Work());
  cwd = machine.Base() + "/elsewhere";
  std::filesystem::create_directories(cwd);
  Open();
  EXPECT_EQ(view.List(ControlId::DomainList), (Strings{"@kept.example"}));
  view.texts[ControlId::DomainEdit] = "added.example";
  logic->AddDomain();
  FillValidForm(view);
  view.checks[ControlId::RestartCheck] = false;
  logic->SaveSettings();
  EXPECT_EQ(view.Shown(), "");
  EXPECT_EQ(Setting("WorkDir"), machine.Work());
  EXPECT_EQ(Rows("SELECT what FROM SpamSystem;"), (Strings{"@kept.example", "@added.example"}));
  EXPECT_TRUE(std::filesystem::is_empty(cwd));

  Store("WorkDir", "");
  cwd = "";  // the current folder was removed
  FakeView lost;
  FormLogic without(lost, Environment());
  without.LoadSettings();
  lost.texts[ControlId::DomainEdit] = "lost.example";
  without.AddDomain();
  FillValidForm(lost);
  without.SaveSettings();
  without.InstallService();
  const std::string said = "Brenvik: The current folder no longer exists, and the settings name no working folder "
                           "holding spam.mdb.\r\nNothing can be changed or saved. Please start brenvikcfg in the "
                           "working folder (cd /var/opt/brenvik). [w] [owned]\n";
  EXPECT_EQ(lost.Shown(), said + said + said + said);
  EXPECT_FALSE(without.DatabaseOpen());
  EXPECT_EQ(Setting("WorkDir"), "");
  EXPECT_EQ(lost.closed, 0);
  EXPECT_TRUE(runner.runs.empty());
}

// The gateway does not start with more than 100 domains or relay addresses:
// the 101st is refused; after a remove there is room again.
TEST_F(FormLogicTest, TheHundredAndFirstDomainOrRelayIsRefused) {
  std::string seed = "INSERT INTO SpamSystem VALUES ('@d0.example', 1), ('10.0.0.0', 2)";
  for (int i = 1; i < 100; ++i)
    seed += ", ('@d" + std::to_string(i) + ".example', 1), ('10.0.0." + std::to_string(i) + "', 2)";
  Seed(seed + ";");
  Open();
  EXPECT_EQ(view.Shown(), "");
  view.texts[ControlId::DomainEdit] = "one-more.example";
  logic->AddDomain();
  view.texts[ControlId::RelayIpInput] = "10.0.1.1";
  logic->AddRelayIp();
  const std::string full = "Brenvik: The gateway reads at most 100 entries of this list and does not start with "
                           "more.\r\nPlease remove an entry before adding another. [owned]\n";
  EXPECT_EQ(view.Shown(), full + full);
  EXPECT_EQ(view.Text(ControlId::DomainEdit), "one-more.example");
  EXPECT_EQ(Rows("SELECT COUNT(*) FROM SpamSystem GROUP BY Typ;"), (Strings{"100", "100"}));
  view.selection[ControlId::DomainList] = 0;
  logic->RemoveDomain();
  logic->AddDomain();
  EXPECT_EQ(view.List(ControlId::DomainList).back(), "@one-more.example");
  EXPECT_EQ(Rows("SELECT COUNT(*) FROM SpamSystem WHERE Typ = 1;"), (Strings{"100"}));

  // Filled past the limit elsewhere: said when the form opens.
  Seed("INSERT INTO SpamSystem VALUES ('@d100.example', 1), ('10.0.0.100', 2), ('10.0.0.101', 2);");
  FakeView over;
  FormLogic(over, Environment()).LoadSettings();
  EXPECT_EQ(over.Shown(),
            "Brenvik: The list \"receive this domains\" holds 101 entries, but the gateway reads at most 100 and "
            "does not start with more.\r\nPlease remove the extra entries. [owned]\n"
            "Brenvik: The list \"this IPs are allowed to relay\" holds 102 entries, but the gateway reads at most 100 "
            "and does not start with more.\r\nPlease remove the extra entries. [owned]\n");
}

// With DatabaseServer set the tool works on that database, not on spam.mdb.
TEST_F(FormLogicTest, ListChangesGoToTheDatabaseServer) {
  auto& server = testing_support::PgServer::Shared();
  if (!server.available()) GTEST_SKIP() << server.why();
  Store("DatabaseServer", server.CreateDatabase());
  Open();
  for (const char* domain : {"example.org", "@second.example"}) {
    view.texts[ControlId::DomainEdit] = domain;
    logic->AddDomain();
  }
  view.texts[ControlId::RelayIpInput] = "192.0.2.44";
  logic->AddRelayIp();
  view.texts[ControlId::WhitelistEdit] = "@Friend.Example";
  logic->AddWhitelistEntry();
  view.selection[ControlId::DomainList] = 1;
  logic->RemoveDomain();
  EXPECT_EQ(view.Shown(), "");
  logic->CloseWithoutSaving();
  EXPECT_FALSE(std::filesystem::exists(machine.Database()));
  FakeView reopened;
  FormLogic(reopened, Environment()).LoadSettings();
  EXPECT_EQ(reopened.List(ControlId::DomainList), (Strings{"@example.org"}));
  EXPECT_EQ(reopened.List(ControlId::RelayList), (Strings{"192.0.2.44"}));
  EXPECT_EQ(reopened.List(ControlId::WhitelistList), (Strings{"@Friend.Example"}));
}

TEST_F(FormLogicTest, FailedListStatementsAreReportedAndNotShown) {
  Seed("INSERT INTO SpamSystem VALUES ('@a.example', 1); INSERT INTO Liste (Email) VALUES ('@w.example');");
  Open();
  bool dropped = false;
  test::Sql(machine.Database(), "DROP TABLE SpamSystem; DROP TABLE Liste;", &dropped);
  ASSERT_TRUE(dropped);
  view.texts[ControlId::DomainEdit] = "b.example";
  logic->AddDomain();
  view.selection[ControlId::DomainList] = 0;
  logic->RemoveDomain();
  view.texts[ControlId::RelayIpInput] = "192.0.2.3";
  logic->AddRelayIp();
  view.texts[ControlId::WhitelistEdit] = "@x.example";
  logic->AddWhitelistEntry();
  ASSERT_EQ(view.messages.size(), 4u);
  for (const auto& m : view.messages) {
    EXPECT_EQ(m.title, "Brenvik");
    EXPECT_NE(m.text.find("no such table"), std::string::npos) << m.text;
  }
  EXPECT_EQ(view.List(ControlId::DomainList), (Strings{"@a.example"}));
  EXPECT_TRUE(view.List(ControlId::RelayList).empty());
  EXPECT_EQ(view.List(ControlId::WhitelistList), (Strings{"@w.example"}));
  // The inputs keep what was typed, so the entry can be added again later.
  EXPECT_EQ(view.Text(ControlId::DomainEdit), "@b.example");
  EXPECT_EQ(view.Text(ControlId::RelayIpInput), "192.0.2.3");
  EXPECT_EQ(view.Text(ControlId::WhitelistEdit), "@x.example");

  cwd = machine.Base() + "/missing-folder";  // no database at all
  FakeView none;
  FormLogic without(none, Environment());
  without.LoadSettings();
  EXPECT_TRUE(none.messages.empty());  // the failed open itself is only traced
  none.texts[ControlId::DomainEdit] = "a.example";
  without.AddDomain();
  ASSERT_EQ(none.messages.size(), 1u);
  EXPECT_TRUE(none.List(ControlId::DomainList).empty());
}

TEST_F(FormLogicTest, DatabaseThatCannotBeWrittenIsShownAndSaidSo) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to open as another user";
  Seed("INSERT INTO SpamSystem VALUES ('@a.example', 1);");
  ASSERT_EQ(chmod(machine.Base().c_str(), 0755) | chmod(machine.Database().c_str(), 0444), 0);
  ASSERT_EQ(chown(machine.Database().c_str(), 65534, 65534) | chown(machine.Work().c_str(), 65534, 65534), 0);
  ASSERT_EQ(chown(machine.Root().c_str(), 65534, 65534), 0);  // the settings may be written
  pid_t pid = fork();
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
    FakeView ro;
    FormLogic logic_ro(ro, Environment());
    logic_ro.LoadSettings();
    if (ro.List(ControlId::DomainList) != Strings{"@a.example"}) _exit(11);
    if (ro.messages.size() != 1 || ro.messages[0].text.find("cannot be changed") == std::string::npos) _exit(12);
    ro.texts[ControlId::DomainEdit] = "b.example";
    logic_ro.AddDomain();  // refused by the database, and said so
    _exit(ro.messages.size() == 2 && ro.List(ControlId::DomainList) == Strings{"@a.example"} ? 0 : 13);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << WEXITSTATUS(status);
}

}  // namespace
}  // namespace brenvik

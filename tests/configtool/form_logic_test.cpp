// The form's behaviour without widgets: a recording view over a real
// spam.mdb and a real registry file in a temporary machine root.
#include <gtest/gtest.h>

#include <memory>

#include "brenvik_version.h"
#include "configtool/form_logic.h"
#include "configtool/form_texts.h"
#include "store/registry.h"
#include "tests/configtool/tool_test_support.h"

namespace brenvik {
namespace {

using test::FakeView;
using test::QueryDatabase;

class RecordingRunner : public CommandRunner {
 public:
  std::vector<std::pair<CommandLine, ShowState>> runs;
  void Run(const CommandLine& command, ShowState show) override { runs.emplace_back(command, show); }
};

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
  ToolEnvironment Environment() {
    return ToolEnvironment{[this] { return cwd; }, &runner};
  }
  // Creates spam.mdb the way the tool does, then adds rows behind its back.
  void Seed(const std::string& sql) {
    FakeView other;
    { FormLogic first(other, Environment()); first.LoadSettings(); }
    ASSERT_TRUE(test::ExecDatabase(machine.Database(), sql));
  }
  // A form that would pass validation.
  void FillValidForm() {
    view.lists[ControlId::DomainList] = {"@example.org"};
    view.texts[ControlId::RecvPortEdit] = "25";
    view.texts[ControlId::SendPortEdit] = "26";
    view.texts[ControlId::RecvHostInput] = "192.0.2.1";
    view.texts[ControlId::SendHostEdit] = "mail.example.org";
  }
  std::vector<std::string> Rows(const std::string& sql) { return QueryDatabase(machine.Database(), sql); }

  test::TempMachine machine;
  std::string cwd = machine.Work();
  FakeView view;
  RecordingRunner runner;
  std::unique_ptr<FormLogic> logic;
};

TEST_F(FormLogicTest, LoadWithoutSettingsShowsEmptyFieldsAndZeroAddress) {
  view.texts[ControlId::RecvPortEdit] = "25";
  view.texts[ControlId::SendHostEdit] = "mail.example.com";
  Open();
  EXPECT_EQ(view.Text(ControlId::RecvPortEdit), "");
  EXPECT_EQ(view.Text(ControlId::SendPortEdit), "");
  EXPECT_EQ(view.Text(ControlId::SendHostEdit), "");
  EXPECT_EQ(view.Text(ControlId::StatusMailEdit), "");
  EXPECT_EQ(view.Text(ControlId::RecvHostInput), "0.0.0.0");
  EXPECT_FALSE(view.Checked(ControlId::RblCheck));
  EXPECT_TRUE(view.Checked(ControlId::RestartCheck));
  EXPECT_EQ(view.Text(ControlId::TitleLabel), "Brenvik V" + std::to_string(BRENVIK_VERSION_MAJOR) + "." +
                                                  std::to_string(BRENVIK_VERSION_BUILD));
  EXPECT_TRUE(view.messages.empty());
  EXPECT_TRUE(std::filesystem::exists(machine.Database()));
}

TEST_F(FormLogicTest, LoadShowsStoredTextsAndListsInRowOrder) {
  Store("RecvPort", "2525x");
  Store("RecvHost", "192.0.2.7");
  Store("SendPort", "26");
  Store("SendHost", "backend.example.org");
  Store("StatusMail", "admin@example.org");
  Store("CheckBadMailAdr", "2");
  Seed("INSERT INTO SpamSystem VALUES ('@b.example', 1), ('10.0.0.9', 2), ('@a.example', 1);"
       "INSERT INTO Liste (Email) VALUES ('@white.example');"
       "INSERT INTO Liste (Email, WieOft) VALUES ('SENDER@GREY.EXAMPLE', 1);");
  Open();
  EXPECT_EQ(view.Text(ControlId::RecvPortEdit), "2525x");
  EXPECT_EQ(view.Text(ControlId::RecvHostInput), "192.0.2.7");
  EXPECT_EQ(view.Text(ControlId::SendPortEdit), "26");
  EXPECT_EQ(view.Text(ControlId::SendHostEdit), "backend.example.org");
  EXPECT_EQ(view.Text(ControlId::StatusMailEdit), "admin@example.org");
  EXPECT_TRUE(view.Checked(ControlId::RblCheck));
  EXPECT_EQ(view.List(ControlId::DomainList), (std::vector<std::string>{"@b.example", "@a.example"}));
  EXPECT_EQ(view.List(ControlId::RelayList), (std::vector<std::string>{"10.0.0.9"}));
  EXPECT_EQ(view.List(ControlId::WhitelistList), (std::vector<std::string>{"@white.example"}));
}

TEST_F(FormLogicTest, RblCheckFollowsTheNumericValue) {
  for (auto [stored, ticked] : {std::pair{"0", false}, {"2", true}, {"1x", true}, {"x1", false}}) {
    Store("CheckBadMailAdr", stored);
    FakeView v;
    FormLogic l(v, Environment());
    l.LoadSettings();
    EXPECT_EQ(v.Checked(ControlId::RblCheck), ticked) << stored;
  }
}

TEST_F(FormLogicTest, ValidationShowsOnlyTheFirstFailureAndWritesNothing) {
  Open();
  struct Case {
    std::function<void(FakeView&)> spoil;
    std::string_view message;
  };
  const std::vector<Case> cases = {
      {[](FakeView& v) { v.lists[ControlId::DomainList].clear(); v.texts[ControlId::RecvPortEdit] = "0"; },
       texts::kNoReceiveDomain},
      {[](FakeView& v) { v.texts[ControlId::RecvPortEdit] = "abc"; v.texts[ControlId::SendPortEdit] = ""; },
       texts::kUnknownReceivePort},
      {[](FakeView& v) { v.texts[ControlId::RecvPortEdit] = ""; }, texts::kUnknownReceivePort},
      {[](FakeView& v) { v.texts[ControlId::SendPortEdit] = "0"; v.texts[ControlId::RecvHostInput] = ""; },
       texts::kUnknownSendPort},
      {[](FakeView& v) { v.texts[ControlId::RecvHostInput] = ""; v.texts[ControlId::SendHostEdit] = ""; },
       texts::kUnknownReceiveIp},
      {[](FakeView& v) { v.texts[ControlId::SendHostEdit] = ""; }, texts::kUnknownSendHost},
  };
  for (const auto& c : cases) {
    FillValidForm();
    c.spoil(view);
    view.messages.clear();
    logic->SaveSettings();
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0].text, c.message);
    EXPECT_EQ(view.messages[0].title, "Brenvik");
    EXPECT_EQ(view.messages[0].icon, MessageIcon::None);
    EXPECT_FALSE(view.messages[0].owned);
  }
  EXPECT_EQ(view.closed, 0);
  EXPECT_FALSE(std::filesystem::exists(machine.RegistryFile()));
  EXPECT_TRUE(runner.runs.empty());
  EXPECT_TRUE(logic->DatabaseOpen());
}

TEST_F(FormLogicTest, SaveWritesTheEightValuesInOrderAndEnds) {
  Open();
  FillValidForm();
  view.texts[ControlId::RecvPortEdit] = "25a";  // stored exactly as typed
  view.texts[ControlId::StatusMailEdit] = "";
  view.checks[ControlId::RblCheck] = true;
  view.checks[ControlId::RestartCheck] = false;
  logic->SaveSettings();
  EXPECT_TRUE(view.messages.empty());
  EXPECT_EQ(view.closed, 1);
  EXPECT_FALSE(logic->DatabaseOpen());
  EXPECT_TRUE(runner.runs.empty());
  EXPECT_EQ(Setting("RecvPort"), "25a");
  EXPECT_EQ(Setting("RecvHost"), "192.0.2.1");
  EXPECT_EQ(Setting("SendPort"), "26");
  EXPECT_EQ(Setting("SendHost"), "mail.example.org");
  EXPECT_EQ(Setting("StatusMail"), "");
  EXPECT_EQ(Setting("WorkDir"), machine.Work());
  EXPECT_EQ(Setting("GarbageCollector"), "1");
  EXPECT_EQ(Setting("CheckBadMailAdr"), "1");
  const std::string file = machine.ReadRegistryFile();
  std::size_t last = 0;
  for (const char* name : {"\"RecvPort\"", "\"RecvHost\"", "\"SendPort\"", "\"SendHost\"", "\"StatusMail\"",
                           "\"WorkDir\"", "\"GarbageCollector\"", "\"CheckBadMailAdr\""}) {
    std::size_t at = file.find(name);
    ASSERT_NE(at, std::string::npos) << name;
    EXPECT_GT(at, last) << name << " written out of order";
    last = at;
  }
}

TEST_F(FormLogicTest, SaveStoresRblOffAndOverwritesGarbageCollector) {
  Store("GarbageCollector", "0");
  Store("CheckBadMailAdr", "2");
  Open();
  FillValidForm();
  view.checks[ControlId::RblCheck] = false;
  view.checks[ControlId::RestartCheck] = false;
  cwd = machine.Base();  // the directory at the moment of saving counts
  logic->SaveSettings();
  EXPECT_EQ(Setting("CheckBadMailAdr"), "0");
  EXPECT_EQ(Setting("GarbageCollector"), "1");
  EXPECT_EQ(Setting("WorkDir"), machine.Base());
}

TEST_F(FormLogicTest, SaveRestartsTheServiceWhenTicked) {
  Open();
  FillValidForm();
  logic->SaveSettings();  // RestartCheck ticked by the load
  ASSERT_EQ(runner.runs.size(), 2u);
  EXPECT_EQ(runner.runs[0].first, (CommandLine{"systemctl", "stop", "brenvik"}));
  EXPECT_EQ(runner.runs[1].first, (CommandLine{"systemctl", "start", "brenvik"}));
  EXPECT_EQ(runner.runs[0].second, ShowState::ShownNoActivate);
  EXPECT_EQ(runner.runs[1].second, ShowState::ShownNoActivate);
  EXPECT_EQ(view.closed, 1);
}

TEST_F(FormLogicTest, FailedRegistryWriteIsReportedAndTheFormStays) {
  Open();
  // A machine root that is a plain file: nothing can be created below it.
  const std::string blocked = machine.Base() + "/not-a-folder";
  std::ofstream(blocked) << "x";
  setenv("BRENVIK_SYSROOT", blocked.c_str(), 1);
  FillValidForm();
  const auto before = view.texts;
  logic->SaveSettings();
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(view.messages[0].title, "Brenvik");
  EXPECT_NE(view.messages[0].text.find(blocked), std::string::npos);
  EXPECT_EQ(view.closed, 0);
  EXPECT_TRUE(runner.runs.empty());
  EXPECT_TRUE(logic->DatabaseOpen());
  EXPECT_EQ(view.texts, before);
  // The database is still usable for the lists.
  view.texts[ControlId::DomainEdit] = "later.example";
  logic->AddDomain();
  EXPECT_EQ(Rows("SELECT what FROM SpamSystem;"), (std::vector<std::string>{"@later.example"}));
}

TEST_F(FormLogicTest, CancelAndCloseBoxEndWithoutWriting) {
  Open();
  view.texts[ControlId::DomainEdit] = "kept.example";
  logic->AddDomain();
  FillValidForm();
  logic->CloseWithoutSaving();
  EXPECT_EQ(view.closed, 1);
  EXPECT_FALSE(logic->DatabaseOpen());
  logic->CloseRequested();  // the close that follows does not close twice
  EXPECT_FALSE(std::filesystem::exists(machine.RegistryFile()));
  EXPECT_EQ(Rows("SELECT what, Typ FROM SpamSystem;"), (std::vector<std::string>{"@kept.example|1"}));

  FakeView again;
  FormLogic second(again, Environment());
  second.LoadSettings();
  second.CloseRequested();
  EXPECT_FALSE(second.DatabaseOpen());
  EXPECT_EQ(again.closed, 0);  // the close box itself ends the form
}

TEST_F(FormLogicTest, AddDomainPrefixesTheAtSignAndAllowsDuplicates) {
  Open();
  for (const char* typed : {"example.org", "@example.org", "two words"}) {
    view.texts[ControlId::DomainEdit] = typed;
    logic->AddDomain();
    EXPECT_EQ(view.Text(ControlId::DomainEdit), "");
  }
  view.texts[ControlId::DomainEdit] = "";
  logic->AddDomain();
  const std::vector<std::string> expected{"@example.org", "@example.org", "@two words"};
  EXPECT_EQ(view.List(ControlId::DomainList), expected);
  EXPECT_EQ(Rows("SELECT what FROM SpamSystem WHERE Typ = 1;"), expected);
  EXPECT_TRUE(view.messages.empty());
}

TEST_F(FormLogicTest, RemoveDeletesEveryRowWithTheText) {
  Seed("INSERT INTO SpamSystem VALUES ('@dup.example', 1), ('@dup.example', 1), ('@other.example', 1),"
       " ('@DUP.example', 2);");
  Open();
  ASSERT_EQ(view.ListCount(ControlId::DomainList), 3);
  view.selection[ControlId::DomainList] = 1;
  logic->RemoveDomain();
  // Every row with that text is gone, whatever its type, so is every entry.
  EXPECT_EQ(Rows("SELECT what FROM SpamSystem;"), (std::vector<std::string>{"@other.example"}));
  EXPECT_EQ(view.List(ControlId::DomainList), (std::vector<std::string>{"@other.example"}));
}

TEST_F(FormLogicTest, RemoveWithoutSelectionChangesNothingShown) {
  Seed("INSERT INTO SpamSystem VALUES ('@a.example', 1), ('10.1.1.1', 2);"
       "INSERT INTO Liste (Email) VALUES ('@w.example');");
  Open();
  logic->RemoveDomain();
  logic->RemoveRelayIp();
  logic->RemoveWhitelistEntry();
  EXPECT_EQ(view.List(ControlId::DomainList), (std::vector<std::string>{"@a.example"}));
  EXPECT_EQ(view.List(ControlId::RelayList), (std::vector<std::string>{"10.1.1.1"}));
  EXPECT_EQ(view.List(ControlId::WhitelistList), (std::vector<std::string>{"@w.example"}));
  EXPECT_EQ(Rows("SELECT count(*) FROM SpamSystem;"), (std::vector<std::string>{"2"}));
  EXPECT_TRUE(view.messages.empty());
}

TEST_F(FormLogicTest, RelayIpIsAddedAsGivenAndTheInputReset) {
  Open();
  view.texts[ControlId::RelayIpInput] = "192.0.2.44";
  logic->AddRelayIp();
  EXPECT_EQ(view.Text(ControlId::RelayIpInput), "0.0.0.0");
  logic->AddRelayIp();  // untouched input: 0.0.0.0 like any other address
  view.texts[ControlId::RelayIpInput] = "";
  logic->AddRelayIp();
  EXPECT_EQ(view.List(ControlId::RelayList), (std::vector<std::string>{"192.0.2.44", "0.0.0.0"}));
  EXPECT_EQ(Rows("SELECT what, Typ FROM SpamSystem;"),
            (std::vector<std::string>{"192.0.2.44|2", "0.0.0.0|2"}));
  view.selection[ControlId::RelayList] = 0;
  logic->RemoveRelayIp();
  EXPECT_EQ(view.List(ControlId::RelayList), (std::vector<std::string>{"0.0.0.0"}));
  EXPECT_EQ(Rows("SELECT what FROM SpamSystem;"), (std::vector<std::string>{"0.0.0.0"}));
}

TEST_F(FormLogicTest, WhitelistNeedsTheAtSign) {
  Open();
  view.texts[ControlId::WhitelistEdit] = "nodomain.example";
  logic->AddWhitelistEntry();
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(view.messages[0].title, "Brenvik");
  EXPECT_EQ(view.messages[0].text, "Wrong Domain, has to start with @ z.B.: @example.com)");
  EXPECT_EQ(view.messages[0].icon, MessageIcon::None);
  EXPECT_EQ(view.Text(ControlId::WhitelistEdit), "nodomain.example");
  EXPECT_TRUE(view.List(ControlId::WhitelistList).empty());

  view.texts[ControlId::WhitelistEdit] = "@Friend.Example";
  logic->AddWhitelistEntry();
  EXPECT_EQ(view.Text(ControlId::WhitelistEdit), "");
  EXPECT_EQ(view.List(ControlId::WhitelistList), (std::vector<std::string>{"@Friend.Example"}));
  EXPECT_EQ(Rows("SELECT Email, WieOft FROM Liste;"), (std::vector<std::string>{"@Friend.Example|NULL"}));
  view.selection[ControlId::WhitelistList] = 0;
  logic->RemoveWhitelistEntry();
  EXPECT_TRUE(view.List(ControlId::WhitelistList).empty());
  EXPECT_TRUE(Rows("SELECT * FROM Liste;").empty());
}

TEST_F(FormLogicTest, ApostrophesAreStoredUnchanged) {
  Open();
  view.texts[ControlId::DomainEdit] = "o'neil.example'; DELETE FROM SpamSystem; --";
  logic->AddDomain();
  view.texts[ControlId::WhitelistEdit] = "@it's.example";
  logic->AddWhitelistEntry();
  EXPECT_TRUE(view.messages.empty());
  EXPECT_EQ(Rows("SELECT what FROM SpamSystem;"),
            (std::vector<std::string>{"@o'neil.example'; DELETE FROM SpamSystem; --"}));
  EXPECT_EQ(Rows("SELECT Email FROM Liste;"), (std::vector<std::string>{"@it's.example"}));
  view.selection[ControlId::WhitelistList] = 0;
  logic->RemoveWhitelistEntry();
  EXPECT_TRUE(Rows("SELECT Email FROM Liste;").empty());
}

TEST_F(FormLogicTest, FailedListStatementsAreReportedAndNotShown) {
  Seed("INSERT INTO SpamSystem VALUES ('@a.example', 1);"
       "INSERT INTO Liste (Email) VALUES ('@w.example');");
  Open();
  ASSERT_TRUE(test::ExecDatabase(machine.Database(), "DROP TABLE SpamSystem; DROP TABLE Liste;"));
  view.texts[ControlId::DomainEdit] = "b.example";
  logic->AddDomain();
  view.selection[ControlId::DomainList] = 0;
  logic->RemoveDomain();
  view.texts[ControlId::RelayIpInput] = "192.0.2.3";
  logic->AddRelayIp();
  view.texts[ControlId::WhitelistEdit] = "@x.example";
  logic->AddWhitelistEntry();
  view.selection[ControlId::WhitelistList] = 0;
  logic->RemoveWhitelistEntry();

  ASSERT_EQ(view.messages.size(), 5u);
  for (const auto& m : view.messages) {
    EXPECT_EQ(m.title, "Brenvik");
    EXPECT_NE(m.text.find("no such table"), std::string::npos) << m.text;
  }
  EXPECT_EQ(view.List(ControlId::DomainList), (std::vector<std::string>{"@a.example"}));
  EXPECT_TRUE(view.List(ControlId::RelayList).empty());
  EXPECT_EQ(view.List(ControlId::WhitelistList), (std::vector<std::string>{"@w.example"}));
  // The inputs keep what was typed, so the entry can be added again later.
  EXPECT_EQ(view.Text(ControlId::DomainEdit), "@b.example");
  EXPECT_EQ(view.Text(ControlId::RelayIpInput), "192.0.2.3");
  EXPECT_EQ(view.Text(ControlId::WhitelistEdit), "@x.example");
}

TEST_F(FormLogicTest, WithoutDatabaseListsStayEmptyAndAddsAreReported) {
  cwd = machine.Base() + "/missing-folder";
  Open();
  EXPECT_TRUE(view.messages.empty());  // the failed open itself is only traced
  EXPECT_TRUE(view.List(ControlId::DomainList).empty());
  view.texts[ControlId::DomainEdit] = "a.example";
  logic->AddDomain();
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_FALSE(view.messages[0].text.empty());
  EXPECT_TRUE(view.List(ControlId::DomainList).empty());
}

}  // namespace
}  // namespace brenvik

// The gateway's greylist and the maintenance jobs on both engines: the same
// decisions, purge counts and report text from the file and the server.
#include <gtest/gtest.h>

#include <chrono>

#include "gateway/greylist.h"
#include "maintenance/maintenance.h"
#include "store/database.h"
#include "store/sql.h"
#include "tests/maintenance/test_support.h"
#include "tests/support/pg_server.h"

namespace brenvik {
namespace {

enum class EngineKind { File, Server };

class EngineJobs : public ::testing::TestWithParam<EngineKind> {
 protected:
  void SetUp() override {
    SQL_Initialize(2, 2, 150, 3, 3, 0, 0, 0);
    std::string server;
    if (GetParam() == EngineKind::Server) {
      auto& pg = testing_support::PgServer::Shared();
      if (!pg.available()) GTEST_SKIP() << pg.why();
      server = pg.CreateDatabase();
    }
    ASSERT_TRUE(OpenDatabase(dir_.Slash(), "spam.mdb", server)) << SQL_ErrorText();
  }
  void TearDown() override { SQL_CloseDB(); }
  static LocalTime At(int month, int day, int hour) { return {2026, month, day, hour, 0, 0, 0}; }
  static void Run(const std::string& statement) {
    SQL_Stmt(3, statement);
    ASSERT_EQ(SQL_ErrorNumber(), 0) << statement << ": " << SQL_ErrorText();
  }
  // Jobs switched on, the clock read from `now`, each report counted in `mails`.
  static MaintenanceContext JobsContext(LocalTime& now, int& mails) {
    auto settings = std::make_shared<GatewaySettings>();
    settings->GarbageCollector = 1;
    settings->StatusMail = "postmaster@example.org";
    MaintenanceContext context;
    context.clock = [&now] { return now; };
    context.settings = [settings]() -> std::shared_ptr<const GatewaySettings> { return settings; };
    context.send = [&mails](const std::string&, const std::string&, int, const std::string&) {
      ++mails;
      return std::string("OK");
    };
    return context;
  }
  test::TempDir dir_;
};

INSTANTIATE_TEST_SUITE_P(Engines, EngineJobs, ::testing::Values(EngineKind::File, EngineKind::Server),
                         [](const auto& info) { return info.param == EngineKind::File ? "File" : "Server"; });

TEST_P(EngineJobs, GreylistPurgeAndReportAgree) {
  Run("INSERT INTO Liste (email) SELECT '@Trusted.Example';");
  Run("INSERT INTO Statistik ( SpamCount, SpamDate ) SELECT 5, #03-16-2026#;");
  struct Attempt {
    const char* line;
    LocalTime at;
    SenderDecision decision;
  } attempts[] = {
      {"MAIL FROM:<a@trusted.example>", At(12, 8, 5), SenderDecision::Whitelisted},
      {"MAIL FROM:<joe@example.com>", At(12, 8, 5), SenderDecision::Greylisted},
      {"MAIL FROM:<JOE@example.com> SIZE=10", At(12, 8, 5), SenderDecision::PassedOnRetry},
      {"MAIL FROM:<stale@example.com>", At(12, 7, 20), SenderDecision::Greylisted},
      {"MAIL FROM:<>", At(12, 7, 21), SenderDecision::Greylisted},
      {"MAIL FROM:<fresh@example.com>", At(12, 8, 6), SenderDecision::Greylisted},
  };
  for (const Attempt& a : attempts) {
    SCOPED_TRACE(a.line);
    if (a.decision == SenderDecision::Whitelisted) {
      EXPECT_EQ(DecideSender(a.line, "192.0.2.1", false), a.decision);
    } else {
      EXPECT_EQ(CheckSender(a.line, "192.0.2.1", false, a.at), Accepts(a.decision));
    }
  }
  EXPECT_EQ(PurgeGreylist(At(12, 8, 7)), 2);  // before 01:00 of the day
  EXPECT_EQ(PurgeGreylist(At(12, 8, 7)), 0);
  EXPECT_EQ(BuildStatusReport(), std::string("Subject:Spamstatistik\r\nBrenvik hat gestern 2 Spammails vernichtet!\r\n\r\n"
                                             "Gesamtstatistik:\r\n") +
                                     ReportMonthLine("M\xC3\xA4rz 2026", 5) + ReportMonthLine("Dezember 2026", 2));
}

// Keys and whitelist entries fold ASCII letters only, on both engines alike:
// a Latin-1 or UTF-8 letter in another case, or a look-alike, is another
// sender; an entry matches its own domain in U-label and A-label form.
TEST_P(EngineJobs, SenderKeysAndWhitelistFoldAsciiOnly) {
  Run("INSERT INTO Liste (email) SELECT '@b\xC3\xA4""cker.example';");  // bäcker, as typed
  Run("INSERT INTO Liste (email) SELECT '@xn--80a1acny.example';");      // почта, as A-label
  const std::pair<const char*, SenderDecision> attempts[] = {
      {"MAIL FROM:<x@B\xC3\xA4""CKER.example>", SenderDecision::Whitelisted},
      {"MAIL FROM:<x@xn--bcker-gra.example>", SenderDecision::Whitelisted},
      {"MAIL FROM:<x@b\xC3\xA5""cker.example>", SenderDecision::Greylisted},  // båcker
      {"MAIL FROM:<x@\xD0\xBF\xD0\xBE\xD1\x87\xD1\x82\xD0\xB0.example>", SenderDecision::Whitelisted},
      {"MAIL FROM:<x@\xD0\xBF\xD0\xBE\xD1\x80\xD1\x82\xD0\xB0.example>", SenderDecision::Greylisted},  // порта
      {"MAIL FROM:<\xC3\xA4\xC3\xB6\xC3\xBC@x.example>", SenderDecision::Greylisted},  // äöü
      {"MAIL FROM:<\xC3\x84\xC3\x96\xC3\x9C@x.example>", SenderDecision::Greylisted},  // ÄÖÜ
      {"MAIL FROM:<\xC3\xA4\xC3\xB6\xC3\xBC@X.EXAMPLE>", SenderDecision::PassedOnRetry},
      {"MAIL FROM:<\xE4@x.example>", SenderDecision::Greylisted},  // Latin-1 ä
      {"MAIL FROM:<\xC4@x.example>", SenderDecision::Greylisted},  // Latin-1 Ä
      {"MAIL FROM:<\xE4@X.Example>", SenderDecision::PassedOnRetry},
      {"MAIL FROM:<\xD1\x87@x.example>", SenderDecision::Greylisted},  // ч
      {"MAIL FROM:<\xD1\x80@x.example>", SenderDecision::Greylisted},  // р
  };
  for (const auto& [line, decision] : attempts) EXPECT_EQ(DecideSender(line, "192.0.2.1", false), decision) << line;
}

// Two gateways' maintenance passes at the same minutes on one server: one
// report per day, one purge per hour; the file has one gateway only.
TEST_P(EngineJobs, SharedSlotsRunOncePerDayAndHour) {
  if (GetParam() == EngineKind::File) GTEST_SKIP() << "one gateway per file";
  for (const char* key : {"MAIL FROM:<one@example.com>", "MAIL FROM:<two@example.com>"})
    EXPECT_FALSE(CheckSender(key, "192.0.2.1", false, At(12, 7, 20)));
  LocalTime now;
  int mails = 0;
  const MaintenanceContext context = JobsContext(now, mails);
  MaintenanceFlags first, second;
  const struct {
    LocalTime at;
    int mails;
    const char* statistik;  // rows as "count date;"
  } steps[] = {
      {At(12, 8, 1), 1, ""},
      {At(12, 8, 7), 1, "2 2026-12-08;"},
      {At(12, 9, 1), 2, "2 2026-12-08;"},
  };
  for (const auto& step : steps) {
    now = step.at;
    now.minute = 1;  // re-arms both, as the minute before the slot does
    MaintenancePass(context, first);
    MaintenancePass(context, second);
    now = step.at;
    MaintenancePass(context, first);
    MaintenancePass(context, second);
    EXPECT_EQ(mails, step.mails);
    std::string rows;
    SQL_Stmt(3, "SELECT SpamCount, SpamDate FROM Statistik ORDER BY SpamDate;");
    for (SQL_Fetch(0); SQL_Eod() == 0; SQL_Fetch(0)) rows += SQL_ResColText(1) + " " + SQL_ResColText(2) + ";";
    EXPECT_EQ(rows, step.statistik);
  }
}

// A slot whose claim failed because the server was away is claimed again at
// a later pass of the same hour (the report: of the same day), and its job
// runs once.
TEST_P(EngineJobs, SlotClaimsTheServerFailedAreTriedAgain) {
  if (GetParam() == EngineKind::File) GTEST_SKIP() << "the file always gets its slot";
  auto& pg = testing_support::PgServer::Shared();
  EXPECT_FALSE(CheckSender("MAIL FROM:<stale@example.com>", "192.0.2.1", false, At(12, 7, 20)));
  LocalTime now;
  int mails = 0;
  const MaintenanceContext context = JobsContext(now, mails);
  auto purged = [] {
    SQL_Stmt(3, "SELECT COUNT(*) AS N FROM Statistik;");
    SQL_Fetch(0);
    return SQL_ResColSInt(1);
  };
  MaintenanceFlags flags;
  for (const LocalTime slot : {At(12, 8, 7), At(12, 9, 1)}) {
    now = slot;
    ASSERT_TRUE(pg.Stop());
    MaintenancePass(context, flags);  // the claim fails
    ASSERT_TRUE(pg.Start());
    now.minute = 1;
    // Reconnects are spaced while the server was away: passes, bounded.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while ((mails == 0 || purged() == 0) && std::chrono::steady_clock::now() < deadline &&
           (!flags.purge_retry.empty() || !flags.report_retry.empty()))
      MaintenancePass(context, flags);
  }
  for (int i = 0; i < 3; ++i) MaintenancePass(context, flags);  // nothing twice
  EXPECT_EQ(purged(), 1);
  EXPECT_EQ(mails, 1);
}

}  // namespace
}  // namespace brenvik

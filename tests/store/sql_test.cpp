#include "store/sql.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "store/database.h"
#include "store/sql_quote.h"
#include "tests/store/store_test_support.h"
#include "tests/support/pg_server.h"

namespace brenvik {
namespace {

using Rows = std::vector<std::vector<std::string>>;

TEST(TranslateAccessSql, RewritesTheDialectAndNothingInsideTexts) {
  struct Case {
    const char* access;
    const char* sqlite;
  } cases[] = {
      {"SELECT TOP 1 Sum(SpamCount) AS Anz FROM Statistik GROUP BY SpamDate ORDER BY SpamDate DESC;",
       "SELECT Sum(SpamCount) AS Anz FROM Statistik GROUP BY SpamDate ORDER BY SpamDate DESC LIMIT 1;"},
      {"DELETE * FROM LISTE WHERE (((WieOft)=1) AND ((LastEdit)<#12-08-2026 1:0:0#));",
       "DELETE FROM LISTE WHERE (((WieOft)=1) AND ((LastEdit)<'2026-12-08 01:00:00'));"},
      {"SELECT 3, #12-08-2026#;", "SELECT 3, '2026-12-08';"},
      {"UPDATE Liste SET LastEdit = '08.12.2026 07:05:09' WHERE Email = 'A@B.DE';",
       "UPDATE Liste SET LastEdit = '2026-12-08 07:05:09' WHERE Email = 'A@B.DE';"},
      {"SELECT Format$([SpamDate],'mmmm yyyy') AS Dat FROM Statistik;",
       "SELECT AccessFormat(\"SpamDate\",'mmmm yyyy') AS Dat FROM Statistik;"},
      {"SELECT 1 FROM x WHERE a = '#01-01-2020# TOP 5 [b] DELETE * FROM 08.12.2026 07:00:00';",
       "SELECT 1 FROM x WHERE a = '#01-01-2020# TOP 5 [b] DELETE * FROM 08.12.2026 07:00:00';"},
      // Only a text that goes into a date/time column or is compared with one is a date.
      {"SELECT 'it''s 01.02.2026' AS t, '01.02.2026' AS d;", "SELECT 'it''s 01.02.2026' AS t, '01.02.2026' AS d;"},
      {"INSERT INTO Liste (Email, WieOft, LastEdit) SELECT '01.02.2026', 1, '01.02.2026 10:00:00';",
       "INSERT INTO Liste (Email, WieOft, LastEdit) SELECT '01.02.2026', 1, '2026-02-01 10:00:00';"},
      {"INSERT INTO LogTable (Timestmp, Logtext) VALUES ('01.02.2026 10:00:00', '01.02.2026');",
       "INSERT INTO LogTable (Timestmp, Logtext) VALUES ('2026-02-01 10:00:00', '01.02.2026');"},
      {"SELECT * FROM Liste WHERE ((LastEdit) >= '01.02.2026') AND '1.2.2026' <> [FirstMail] AND Email = '01.02.2026';",
       "SELECT * FROM Liste WHERE ((LastEdit) >= '2026-02-01') AND '2026-02-01' <> \"FirstMail\" AND Email = '01.02.2026';"},
      {"SELECT '31.02.2026 10:00:00'", "SELECT '31.02.2026 10:00:00'"},  // no such day: left as text
      {"SELECT [we\"ird] FROM t", "SELECT \"we\"\"ird\" FROM t"},
      {"SELECT TOP 3 * FROM t", "SELECT * FROM t LIMIT 3"},
  };
  for (const Case& c : cases) {
    std::string out, error;
    ASSERT_TRUE(TranslateAccessSql(c.access, out, error)) << c.access << ": " << error;
    EXPECT_EQ(out, c.sqlite);
  }
  const std::vector<std::string> refused = {"SELECT * FROM t WHERE a = 'open", "SELECT #13-40-2026# FROM t",
                                            "SELECT * FROM t WHERE d < #12-08-2026", "SELECT [open FROM t",
                                            "SELECT * FROM t WHERE x IN (SELECT TOP 1 y FROM u)",
                                            "SELECT TOP x * FROM t", std::string("SELECT 'a\0b'", 12)};
  for (const std::string& bad : refused) {
    std::string out, error;
    EXPECT_FALSE(TranslateAccessSql(bad, out, error)) << bad;
    EXPECT_FALSE(error.empty());
  }
}

TEST(TranslateAccessSqlForServer, WritesPostgresForTheSameTexts) {
  struct Case {
    const char* access;
    const char* server;
  } cases[] = {
      {"SELECT TOP 2 * FROM [Liste] WHERE \"Email\" = 'x' AND LastEdit < #12-08-2026 1:0:0#;",
       "SELECT * FROM \"liste\" WHERE \"email\" = 'x' AND LastEdit < TIMESTAMP '2026-12-08 01:00:00' LIMIT 2;"},
      {"INSERT INTO Liste (Email, LastEdit) SELECT 'K', '08.12.2026 07:05:09';",
       "INSERT INTO Liste (Email, LastEdit) SELECT 'K', TIMESTAMP '2026-12-08 07:05:09' ON CONFLICT DO NOTHING;"},
      {"INSERT INTO Statistik ( SpamCount, SpamDate ) SELECT 3, #12-08-2026#;",
       "INSERT INTO Statistik ( SpamCount, SpamDate ) SELECT 3, TIMESTAMP '2026-12-08';"},
      {"SELECT Year([d]) AS y, Month ( d ) FROM t",
       "SELECT CAST(EXTRACT(YEAR FROM (\"d\")) AS integer) AS y, CAST(EXTRACT(MONTH FROM ( d )) AS integer) FROM t"},
      {"SELECT Format$(Year(d),'yyyy') FROM t",
       "SELECT (to_char(CAST((CAST(EXTRACT(YEAR FROM (d)) AS integer)) AS timestamp), 'FMYYYY')) FROM t"},
      {"SELECT Format$(d,'d.mmm \\h''') FROM t",
       "SELECT (to_char(CAST((d) AS timestamp), 'FMDD') || '.' || (ARRAY['Jan','Feb','M\xC3\xA4r','Apr','Mai','Jun',"
       "'Jul','Aug','Sep','Okt','Nov','Dez'])[CAST(EXTRACT(MONTH FROM (d)) AS integer)] || ' h''') FROM t"},
  };
  for (const Case& c : cases) {
    std::string out, error;
    ASSERT_TRUE(TranslateAccessSqlForServer(c.access, out, error)) << c.access << ": " << error;
    EXPECT_EQ(out, c.server);
  }
  for (const char* bad : {"SELECT Format$(d, p) FROM t", "SELECT Format$(d,'mmmm q') FROM t", "SELECT Year(d FROM t"}) {
    std::string out, error;
    EXPECT_FALSE(TranslateAccessSqlForServer(bad, out, error)) << bad;
    EXPECT_FALSE(error.empty());
  }
}

class SqlLayer : public ::testing::Test {
 protected:
  void SetUp() override {
    SQL_Initialize(2, 2, 150, 3, 3, 0, 0, 0);
    ASSERT_TRUE(OpenDatabase(root_.path(), "/spam.mdb"));
  }
  void TearDown() override { SQL_CloseDB(); }

  // The named columns of every row, read by name as the programs read them.
  static Rows Query(const std::string& statement, const std::vector<std::string>& columns) {
    Rows rows;
    SQL_Stmt(3, statement);
    EXPECT_EQ(SQL_ErrorNumber(), 0) << statement << ": " << SQL_ErrorText();
    for (SQL_Fetch(0); SQL_Eod() == 0; SQL_Fetch(0)) {
      std::vector<std::string> row;
      for (const std::string& c : columns) row.push_back(SQL_ResColText(SQL_ResColNumber(c)));
      rows.push_back(row);
    }
    return rows;
  }

  testing_support::TempRoot root_;
};

// The same statements on the file and on a PostgreSQL server.
enum class EngineKind { File, Server };

class SqlEngines : public SqlLayer, public ::testing::WithParamInterface<EngineKind> {
 protected:
  void SetUp() override {
    SQL_Initialize(2, 2, 150, 3, 3, 0, 0, 0);
    if (GetParam() == EngineKind::File) {
      ASSERT_TRUE(OpenDatabase(root_.path(), "/spam.mdb"));
      return;
    }
    auto& server = testing_support::PgServer::Shared();
    if (!server.available()) GTEST_SKIP() << server.why();
    const std::string conninfo = server.CreateDatabase();
    ASSERT_FALSE(conninfo.empty());
    ASSERT_TRUE(OpenDatabase(root_.path(), "/spam.mdb", conninfo)) << SQL_ErrorText();
  }
};

INSTANTIATE_TEST_SUITE_P(Engines, SqlEngines, ::testing::Values(EngineKind::File, EngineKind::Server),
                         [](const auto& info) { return info.param == EngineKind::File ? "File" : "Server"; });

std::string Greylist(const std::string& email, const char* times, const char* when) {
  return "INSERT INTO Liste (Email, WieOft, IpAdresse, LastEdit, FirstMail) SELECT '" + email + "', " + times +
         ", '192.0.2.7','" + when + "','" + when + "';";
}

std::string Stat(const char* count, const char* day) {
  return std::string("INSERT INTO Statistik ( SpamCount, SpamDate ) SELECT ") + count + ", #" + day + "#;";
}

// The statements of the gateway, the maintenance jobs and the tool, in the
// order they meet a database; a step without columns only has to succeed.
TEST_P(SqlEngines, RealStatementTextsGiveTheExpectedRows) {
  const std::string top1 =
      "SELECT TOP 1 Sum(SpamCount) AS Anz, SpamDate AS Dat FROM Statistik GROUP BY SpamDate ORDER BY SpamDate DESC;";
  const std::string purge = " FROM LISTE WHERE (((WieOft)=1) AND ((LastEdit)<#12-08-2026 1:0:0#));";
  const std::string hostile = "O'BRIEN@X.DE'; DELETE FROM Liste; --";
  struct Step {
    std::string statement;
    std::vector<std::string> columns;
    Rows rows;
  } steps[] = {
      {top1, {"Anz"}, {}},  // no statistics yet
      {Greylist("JOE@EXAMPLE.COM", "1", "08.12.2026 06:30:00"), {}, {}},
      {"SELECT * FROM LISTE WHERE Email = 'joe@example.com';",
       {"email", "WIEOFT", "IpAdresse", "LastEdit", "FirstMail", "SecondMail"},
       {{"JOE@EXAMPLE.COM", "1", "192.0.2.7", "2026-12-08 06:30:00", "2026-12-08 06:30:00", ""}}},
      {"UPDATE Liste SET WieOft =  2, LastEdit = '08.12.2026 06:31:00', SecondMail = '08.12.2026 06:31:00' "
       "WHERE Email = 'JOE@EXAMPLE.COM';", {}, {}},
      {"UPDATE Liste SET SenderBadMail = 1, LastEdit = '09.12.2026 23:59:59' WHERE Email = 'JOE@EXAMPLE.COM';", {}, {}},
      {"SELECT * FROM LISTE WHERE Email = 'JOE@EXAMPLE.COM';", {"WieOft", "SenderBadMail", "SecondMail", "LastEdit"},
       {{"2", "1", "2026-12-08 06:31:00", "2026-12-09 23:59:59"}}},
      // The hourly purge: only first attempts older than the cut-off go.
      {Greylist("OLD@A.DE", "1", "07.12.2026 22:00:00"), {}, {}},  // yesterday evening
      {Greylist("EARLY@A.DE", "1", "08.12.2026 00:59:59"), {}, {}},
      {Greylist("EDGE@A.DE", "1", "08.12.2026 01:00:00"), {}, {}},  // at the cut-off: kept
      {Greylist("BACK@A.DE", "2", "01.01.2020 00:00:00"), {}, {}},  // came back: kept
      {Greylist("NEWYEAR@A.DE", "1", "31.12.2025 23:00:00"), {}, {}},
      {"INSERT INTO Liste (email) SELECT '@Example.com';", {}, {}},
      {"SELECT COUNT(WieOft) AS W" + purge, {"W"}, {{"3"}}},
      {"DELETE *" + purge, {}, {}},
      {"SELECT Email FROM Liste ORDER BY Email;", {"Email"},
       {{"@Example.com"}, {"BACK@A.DE"}, {"EDGE@A.DE"}, {"JOE@EXAMPLE.COM"}}},
      // Statistics: the latest day and the monthly overview.
      {Stat("3", "12-08-2026"), {}, {}}, {Stat("5", "11-30-2026"), {}, {}}, {Stat("7", "12-01-2026"), {}, {}},
      {Stat("4", "01-02-2027"), {}, {}}, {Stat("1", "03-15-2027"), {}, {}}, {Stat("2", "03-16-2027"), {}, {}},
      {Stat("6", "03-16-2027"), {}, {}},
      {top1, {"Anz", "dat"}, {{"8", "2027-03-16"}}},
      {"SELECT Sum(SpamCount) AS Anz, Format$([SpamDate],'mmmm yyyy') AS Dat  FROM Statistik GROUP BY "
       "Format$([SpamDate],'mmmm yyyy'), Year([spamdate]), Month([spamdate]) ORDER BY Year([spamdate]), "
       "Month([spamdate]);",
       {"Dat", "anz"},
       {{"November 2026", "5"}, {"Dezember 2026", "10"}, {"Januar 2027", "4"}, {"M\xC3\xA4rz 2027", "9"}}},
      // Whitelist and the tool's lists compare without case.
      {"SELECT * FROM LISTE WHERE email like '@%';", {"email"}, {{"@Example.com"}}},
      {"SELECT * FROM Liste WHERE Email = '@EXAMPLE.COM';", {"Email"}, {{"@Example.com"}}},
      {"INSERT INTO SpamSystem (what, Typ) SELECT '@example.com', 1;", {}, {}},
      {"INSERT INTO SpamSystem (what, Typ) SELECT '192.0.2.1', 2;", {}, {}},
      {"SELECT * FROM SpamSystem WHERE Typ = 2;", {"WHAT"}, {{"192.0.2.1"}}},
      {"DELETE FROM SpamSystem WHERE what = '@EXAMPLE.COM';", {}, {}},
      {"DELETE FROM Liste WHERE email = '@example.COM';", {}, {}},
      {"SELECT * FROM SpamSystem WHERE Typ = 1;", {"what"}, {}},
      {"SELECT * FROM LISTE WHERE email like '@%';", {"email"}, {}},
      // A quoted value is stored as it is and cannot change the statement.
      {"INSERT INTO LogTable (Email, Logtext, Ip, Timestmp) SELECT " + SqlQuote(hostile) + ", " +
           SqlQuote("it's 08.12.2026 07:00:00") + ",'192.0.2.1'," + SqlQuote("08.12.2026 07:00:00") + ";",
       {}, {}},
      {"SELECT * FROM LogTable WHERE Email = " + SqlQuote(hostile) + ";", {"Email", "Logtext", "Timestmp"},
       {{hostile, "it's 08.12.2026 07:00:00", "2026-12-08 07:00:00"}}},
      {"SELECT COUNT(*) AS N FROM Liste;", {"N"}, {{"3"}}},
      // A sender key shaped like a date is a key like any other.
      {Greylist("01.02.2026", "1", "08.12.2026 06:30:00"), {}, {}},
      {Greylist("1.2.2026", "1", "08.12.2026 06:30:00"), {}, {}},
      {"SELECT * FROM LISTE WHERE Email = '1.2.2026';", {"Email", "LastEdit"}, {{"1.2.2026", "2026-12-08 06:30:00"}}},
      {"SELECT Email FROM Liste WHERE Email LIKE '%2026' ORDER BY Email;", {"Email"}, {{"01.02.2026"}, {"1.2.2026"}}},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.statement);
    if (s.columns.empty()) {
      SQL_Stmt(3, s.statement);
      EXPECT_EQ(SQL_ErrorNumber(), 0) << SQL_ErrorText();
    } else {
      EXPECT_EQ(Query(s.statement, s.columns), s.rows);
    }
  }
  EXPECT_EQ(SqlQuote("a'b''"), "'a''b'''''");
}

// Gateways sharing the server: one row per key however the case differs,
// each job slot claimed once; the file keeps its in-process rules.
TEST_P(SqlEngines, SharedDatabaseRulesHoldOnTheServerOnly) {
  const bool server = GetParam() == EngineKind::Server;
  SQL_Stmt(3, Greylist("TWICE@A.DE", "1", "08.12.2026 06:30:00"));
  SQL_Stmt(3, Greylist("twice@a.de", "1", "08.12.2026 06:30:01"));
  EXPECT_EQ(SQL_ErrorNumber(), 0) << SQL_ErrorText();
  EXPECT_EQ(Query("SELECT COUNT(*) AS N FROM Liste;", {"N"}), (Rows{{server ? "1" : "2"}}));
  EXPECT_EQ(SQL_ClaimSlot("purge 12-08-2026 7"), SlotClaim::Claimed);
  EXPECT_EQ(SQL_ClaimSlot("purge 12-08-2026 7"), server ? SlotClaim::HeldByOther : SlotClaim::Claimed);
  EXPECT_EQ(SQL_ClaimSlot("purge 12-08-2026 8"), SlotClaim::Claimed);
}

// A password belongs in ~/.pgpass, not in the settings file; nonsense is
// refused with the reason, and neither leaves a database open.
TEST(SqlServer, ConnectionStringsWithPasswordOrNonsenseAreRefused) {
  auto& server = testing_support::PgServer::Shared();
  if (!server.available()) GTEST_SKIP() << server.why();
  const std::string good = server.CreateDatabase();
  SQL_Initialize(2, 2, 150, 3, 3, 0, 0, 0);
  for (const std::string& bad : {good + " password=secret", std::string("postgresql://brenvik:secret@/x"),
                                 std::string("host='unclosed")}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(OpenDatabase("", "", bad));
    EXPECT_NE(SQL_ErrorText().find("DatabaseServer"), std::string::npos) << SQL_ErrorText();
    SQL_Stmt(3, "SELECT COUNT(*) AS N FROM Liste;");
    EXPECT_EQ(SQL_ErrorText(), "no database open");
  }
}

// The server stopped and started again: statements fail meanwhile, one
// event each way, and the connection comes back without a new open.
TEST(SqlServer, LostServerFailsStatementsAndIsReconnected) {
  auto& server = testing_support::PgServer::Shared();
  if (!server.available()) GTEST_SKIP() << server.why();
  SQL_Initialize(2, 2, 150, 3, 3, 0, 0, 0);
  ASSERT_TRUE(OpenDatabase("", "", server.CreateDatabase())) << SQL_ErrorText();
  std::vector<bool> events;
  SetSqlConnectionObserver([&](SqlServerEvent event, const std::string&) {
    events.push_back(event == SqlServerEvent::Reachable);
  });
  SQL_Stmt(3, "SELECT * FROM Liste WHERE Email = 'A@B.DE';");  // its shape prepared on this session
  ASSERT_EQ(SQL_ErrorNumber(), 0) << SQL_ErrorText();
  ASSERT_TRUE(server.Stop());
  for (int i = 0; i < 3; ++i) {
    SQL_Stmt(3, "SELECT * FROM Liste WHERE Email = 'A@B.DE';");
    EXPECT_GT(SQL_ErrorNumber(), 1);
    SQL_Fetch(0);
    EXPECT_NE(SQL_Eod(), 0);
  }
  EXPECT_EQ(SQL_ClaimSlot("report 12-08-2026"), SlotClaim::Failed);
  EXPECT_EQ(events, std::vector<bool>{false});
  ASSERT_TRUE(server.Start());
  // Reconnects are spaced while the server is away: poll, bounded.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  do SQL_Stmt(3, "SELECT COUNT(*) AS N FROM Liste;");
  while (SQL_ErrorNumber() != 0 && std::chrono::steady_clock::now() < deadline);
  EXPECT_EQ(SQL_ErrorNumber(), 0) << SQL_ErrorText();
  SQL_Stmt(3, "SELECT * FROM Liste WHERE Email = 'C@D.DE';");  // prepared again on the new session
  EXPECT_EQ(SQL_ErrorNumber(), 0) << SQL_ErrorText();
  EXPECT_EQ(events, (std::vector<bool>{false, true}));
  SetSqlConnectionObserver({});
  SQL_CloseDB();
}

// A database of an earlier version (citext columns) is taken over at the
// next start: its rows stay, and they compare in ASCII letters only.
TEST_F(SqlLayer, CitextTablesOfAnEarlierServerVersionAreConverted) {
  auto& server = testing_support::PgServer::Shared();
  if (!server.available()) GTEST_SKIP() << server.why();
  SQL_CloseDB();
  const std::string database = server.CreateDatabase();
  ASSERT_TRUE(OpenDatabase("", "", database)) << SQL_ErrorText();
  for (const char* old : {"DROP TABLE Liste;", "DROP TABLE SpamSystem;", "CREATE EXTENSION IF NOT EXISTS citext;",
                          "CREATE TABLE SpamSystem (what citext, Typ integer);",
                          "CREATE TABLE Liste (Email citext, WieOft integer, IpAdresse text, LastEdit timestamp(0),"
                          " FirstMail timestamp(0), SecondMail timestamp(0), SenderBadMail integer);",
                          "CREATE UNIQUE INDEX ListeEmail ON Liste (Email);",
                          "INSERT INTO Liste (Email, WieOft) SELECT '\xC3\xA4@X.DE', 1;"}) {
    SQL_Stmt(3, old);
    ASSERT_EQ(SQL_ErrorNumber(), 0) << old << ": " << SQL_ErrorText();
  }
  SQL_CloseDB();
  ASSERT_TRUE(OpenDatabase("", "", database)) << SQL_ErrorText();
  EXPECT_EQ(Query("SELECT COUNT(*) AS N FROM information_schema.columns WHERE udt_name = 'citext';", {"N"}),
            (Rows{{"0"}}));
  EXPECT_EQ(Query("SELECT * FROM Liste WHERE Email = '\xC3\xA4@x.de';", {"Email"}), (Rows{{"\xC3\xA4@X.DE"}}));
  EXPECT_EQ(Query("SELECT * FROM Liste WHERE Email = '\xC3\x84@x.de';", {"Email"}), Rows{});
}

TEST_F(SqlLayer, FailedStatementReportsItsErrorAndEndsTheData) {
  SQL_Stmt(3, "SELECT * FROM NoSuchTable;");
  EXPECT_GT(SQL_ErrorNumber(), 1);
  EXPECT_NE(SQL_ErrorText().find("NoSuchTable"), std::string::npos) << SQL_ErrorText();
  EXPECT_NE(SQL_Eod(), 0);
  SQL_Fetch(0);
  EXPECT_NE(SQL_Eod(), 0);
  EXPECT_EQ(SQL_ResColText(1), "");
  EXPECT_EQ(SQL_ResColSInt(1), 0);

  // Two statements in one text are refused whole; the next one clears the error.
  SQL_Stmt(3, "INSERT INTO Liste (email) SELECT '@keep.de';");
  SQL_Stmt(3, "SELECT 1; DELETE FROM Liste;");
  EXPECT_GT(SQL_ErrorNumber(), 1);
  EXPECT_EQ(Query("SELECT * FROM Liste;", {"Email"}).size(), 1u);

  SQL_CloseDB();  // without a database every statement fails quietly
  SQL_Stmt(3, "SELECT 1;");
  EXPECT_GT(SQL_ErrorNumber(), 1);
  EXPECT_NE(SQL_Eod(), 0);
  SQL_ErrorClearAll();
  EXPECT_EQ(SQL_ErrorNumber(), 0);
  EXPECT_EQ(SQL_ErrorText(), "");
}

TEST_F(SqlLayer, ColumnsAreFoundByNameOrAliasInAnyCase) {
  SQL_Stmt(3, "SELECT 7 AS Anz, 'x' AS Dat, NULL AS Blank, 2.9 AS Fraction, '12abc' AS Txt;");
  SQL_Fetch(0);
  ASSERT_EQ(SQL_Eod(), 0) << SQL_ErrorText();
  EXPECT_EQ(SQL_ResColNumber("anz"), 1);
  EXPECT_EQ(SQL_ResColNumber("DAT"), 2);
  EXPECT_EQ(SQL_ResColNumber("missing"), 0);
  const std::int32_t numbers[] = {7, 0, 0, 2, 12};
  for (int c = 1; c <= 5; ++c) EXPECT_EQ(SQL_ResColSInt(c), numbers[c - 1]) << c;
  EXPECT_EQ(SQL_ResColText(3), "");
  EXPECT_EQ(SQL_ResColText(0), "");
  EXPECT_EQ(SQL_ResColText(6), "");
}

}  // namespace
}  // namespace brenvik

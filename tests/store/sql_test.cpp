#include "store/sql.h"

#include <gtest/gtest.h>

#include <vector>

#include "store/database.h"
#include "store/sql_quote.h"
#include "tests/store/store_test_support.h"

namespace brenvik {
namespace {

using testing_support::TempRoot;
using Rows = std::vector<std::vector<std::string>>;

class SqlLayer : public ::testing::Test {
 protected:
  void SetUp() override {
    SQL_Initialize(2, 2, 150, 3, 3, 0, 0, 0);
    ASSERT_TRUE(OpenDatabase(root_.path(), "/spam.mdb"));
  }
  void TearDown() override { SQL_CloseDB(); }

  // Runs a statement the way the programs do and expects it to succeed.
  static void Run(const std::string& statement) {
    SQL_Stmt(3, statement);
    EXPECT_EQ(SQL_ErrorNumber(), 0) << statement << ": " << SQL_ErrorText();
  }

  // The named columns of every row, read by name as the programs read them.
  static Rows Query(const std::string& statement, std::vector<std::string> columns) {
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

  static std::int32_t Count(const std::string& statement, const char* column) {
    SQL_Stmt(3, statement);
    SQL_Fetch(0);
    return SQL_Eod() == 0 ? SQL_ResColSInt(SQL_ResColNumber(column)) : 0;
  }

  TempRoot root_;
};

TEST(TranslateAccessSql, RewritesTheDialectAndNothingInsideTexts) {
  struct Case {
    const char* access;
    const char* sqlite;
  } cases[] = {
      {"SELECT TOP 1 Sum(SpamCount) AS Anz, SpamDate AS Dat FROM Statistik GROUP BY SpamDate ORDER BY SpamDate DESC;",
       "SELECT Sum(SpamCount) AS Anz, SpamDate AS Dat FROM Statistik GROUP BY SpamDate ORDER BY SpamDate DESC LIMIT 1;"},
      {"DELETE * FROM LISTE WHERE (((WieOft)=1) AND ((LastEdit)<#12-08-2026 1:0:0#));",
       "DELETE FROM LISTE WHERE (((WieOft)=1) AND ((LastEdit)<'2026-12-08 01:00:00'));"},
      {"INSERT INTO Statistik ( SpamCount, SpamDate ) SELECT 3, #12-08-2026#;",
       "INSERT INTO Statistik ( SpamCount, SpamDate ) SELECT 3, '2026-12-08';"},
      {"UPDATE Liste SET WieOft =  2, LastEdit = '08.12.2026 07:05:09' WHERE Email = 'A@B.DE';",
       "UPDATE Liste SET WieOft =  2, LastEdit = '2026-12-08 07:05:09' WHERE Email = 'A@B.DE';"},
      {"SELECT Format$([SpamDate],'mmmm yyyy') AS Dat FROM Statistik;",
       "SELECT AccessFormat(\"SpamDate\",'mmmm yyyy') AS Dat FROM Statistik;"},
      {"SELECT 1 FROM x WHERE a = '#01-01-2020# TOP 5 [b] DELETE * FROM 08.12.2026 07:00:00';",
       "SELECT 1 FROM x WHERE a = '#01-01-2020# TOP 5 [b] DELETE * FROM 08.12.2026 07:00:00';"},
      {"SELECT 'it''s 01.02.2026' AS t, '01.02.2026' AS d;", "SELECT 'it''s 01.02.2026' AS t, '2026-02-01' AS d;"},
      {"SELECT [we\"ird] FROM t", "SELECT \"we\"\"ird\" FROM t"},
      {"SELECT TOP 3 * FROM t", "SELECT * FROM t LIMIT 3"},
  };
  for (const Case& c : cases) {
    std::string out, error;
    ASSERT_TRUE(TranslateAccessSql(c.access, out, error)) << c.access << ": " << error;
    EXPECT_EQ(out, c.sqlite);
  }
}

TEST(TranslateAccessSql, RefusesWhatItCannotTranslateSafely) {
  for (const char* bad : {"SELECT * FROM t WHERE a = 'open", "SELECT #13-40-2026# FROM t",
                          "SELECT * FROM t WHERE d < #12-08-2026", "SELECT [open FROM t",
                          "SELECT * FROM t WHERE x IN (SELECT TOP 1 y FROM u)", "SELECT TOP x * FROM t"}) {
    std::string out, error;
    EXPECT_FALSE(TranslateAccessSql(bad, out, error)) << bad;
    EXPECT_FALSE(error.empty());
  }
  std::string out, error;
  EXPECT_FALSE(TranslateAccessSql(std::string("SELECT 'a\0b'", 12), out, error));
  // Impossible day-first dates are left as the texts they are.
  ASSERT_TRUE(TranslateAccessSql("SELECT '31.02.2026 10:00:00'", out, error));
  EXPECT_EQ(out, "SELECT '31.02.2026 10:00:00'");
}

TEST_F(SqlLayer, GreylistRowsKeepTheirTimesAsIsoText) {
  Run("INSERT INTO Liste (Email, WieOft, IpAdresse, LastEdit, FirstMail) SELECT 'JOE@EXAMPLE.COM', 1, "
      "'192.0.2.7','08.12.2026 06:30:00','08.12.2026 06:30:00';");
  Rows rows = Query("SELECT * FROM LISTE WHERE Email = 'joe@example.com';",
                    {"email", "WIEOFT", "IpAdresse", "LastEdit", "FirstMail", "SecondMail"});
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"JOE@EXAMPLE.COM", "1", "192.0.2.7", "2026-12-08 06:30:00",
                                               "2026-12-08 06:30:00", ""}));

  Run("UPDATE Liste SET WieOft =  2, LastEdit = '08.12.2026 06:31:00', SecondMail = '08.12.2026 06:31:00' "
      "WHERE Email = 'JOE@EXAMPLE.COM';");
  Run("UPDATE Liste SET SenderBadMail = 1, LastEdit = '09.12.2026 23:59:59' WHERE Email = 'JOE@EXAMPLE.COM';");
  SQL_Stmt(3, "SELECT * FROM LISTE WHERE Email = 'JOE@EXAMPLE.COM';");
  SQL_Fetch(0);
  ASSERT_EQ(SQL_Eod(), 0);
  EXPECT_EQ(SQL_ResColSInt(SQL_ResColNumber("WieOft")), 2);
  EXPECT_EQ(SQL_ResColSInt(SQL_ResColNumber("SenderBadMail")), 1);
  EXPECT_EQ(SQL_ResColText(SQL_ResColNumber("SecondMail")), "2026-12-08 06:31:00");
  EXPECT_EQ(SQL_ResColText(SQL_ResColNumber("LastEdit")), "2026-12-09 23:59:59");
  SQL_Fetch(0);
  EXPECT_NE(SQL_Eod(), 0);
}

TEST_F(SqlLayer, PurgeCountsAndDeletesOnlyStaleFirstAttempts) {
  const char* rows[][3] = {
      {"'OLD@A.DE'", "1", "'07.12.2026 22:00:00'"},     // yesterday evening: stale
      {"'EARLY@A.DE'", "1", "'08.12.2026 00:59:59'"},   // before the cut-off: stale
      {"'EDGE@A.DE'", "1", "'08.12.2026 01:00:00'"},    // at the cut-off: kept
      {"'BACK@A.DE'", "2", "'01.01.2020 00:00:00'"},    // came back: kept
      {"'NEWYEAR@A.DE'", "1", "'31.12.2025 23:00:00'"}, // last year: stale
  };
  for (auto& r : rows)
    Run(std::string("INSERT INTO Liste (Email, WieOft, IpAdresse, LastEdit, FirstMail) SELECT ") + r[0] + ", " +
        r[1] + ", '192.0.2.1'," + r[2] + "," + r[2] + ";");
  Run("INSERT INTO Liste (email) SELECT '@whitelisted.de';");

  const std::string where = " FROM LISTE WHERE (((WieOft)=1) AND ((LastEdit)<#12-08-2026 1:0:0#));";
  EXPECT_EQ(Count("SELECT COUNT(WieOft) AS W" + where, "W"), 3);
  Run("INSERT INTO Statistik ( SpamCount, SpamDate ) SELECT 3, #12-08-2026#;");
  Run("DELETE *" + where);
  Rows left = Query("SELECT Email FROM Liste ORDER BY Email;", {"Email"});
  EXPECT_EQ(left, (Rows{{"@whitelisted.de"}, {"BACK@A.DE"}, {"EDGE@A.DE"}}));
  EXPECT_EQ(Count("SELECT COUNT(WieOft) AS W" + where, "W"), 0);
}

TEST_F(SqlLayer, LatestDayAndMonthlyOverviewWithGermanMonthNames) {
  const char* days[][2] = {{"11-30-2026", "5"}, {"12-01-2026", "7"}, {"12-01-2026", "10"},
                           {"01-02-2027", "4"}, {"03-15-2027", "1"}, {"03-16-2027", "2"}};
  for (auto& d : days)
    Run(std::string("INSERT INTO Statistik ( SpamCount, SpamDate ) SELECT ") + d[1] + ", #" + d[0] + "#;");

  EXPECT_EQ(Count("SELECT TOP 1 Sum(SpamCount) AS Anz, SpamDate AS Dat FROM Statistik GROUP BY SpamDate ORDER BY "
                  "SpamDate DESC;",
                  "Anz"),
            2);
  Rows months = Query(
      "SELECT Sum(SpamCount) AS Anz, Format$([SpamDate],'mmmm yyyy') AS Dat  FROM Statistik GROUP BY "
      "Format$([SpamDate],'mmmm yyyy'), Year([spamdate]), Month([spamdate]) ORDER BY Year([spamdate]), "
      "Month([spamdate]);",
      {"Dat", "anz"});
  EXPECT_EQ(months, (Rows{{"November 2026", "5"}, {"Dezember 2026", "17"}, {"Januar 2027", "4"},
                          {"M\xC3\xA4rz 2027", "3"}}));
}

TEST_F(SqlLayer, EmptyStatisticsGiveNoRows) {
  SQL_Stmt(3, "SELECT TOP 1 Sum(SpamCount) AS Anz, SpamDate AS Dat FROM Statistik GROUP BY SpamDate ORDER BY "
              "SpamDate DESC;");
  SQL_Fetch(0);
  EXPECT_NE(SQL_Eod(), 0);
}

TEST_F(SqlLayer, WhitelistAndListsCompareWithoutCase) {
  Run("INSERT INTO Liste (email) SELECT '@Example.com';");
  Run("INSERT INTO Liste (Email, WieOft, IpAdresse, LastEdit, FirstMail) SELECT 'USER@EXAMPLE.COM', 1, "
      "'192.0.2.9','08.12.2026 10:00:00','08.12.2026 10:00:00';");
  Run("INSERT INTO SpamSystem (what, Typ) SELECT '@example.com', 1;");
  Run("INSERT INTO SpamSystem (what, Typ) SELECT '192.0.2.1', 2;");

  EXPECT_EQ(Query("SELECT * FROM LISTE WHERE email like '@%';", {"email"}), (Rows{{"@Example.com"}}));
  EXPECT_EQ(Query("SELECT * FROM Liste WHERE Email = '@EXAMPLE.COM';", {"Email"}), (Rows{{"@Example.com"}}));
  EXPECT_EQ(Query("SELECT * FROM SpamSystem WHERE Typ = 1;", {"what"}), (Rows{{"@example.com"}}));
  EXPECT_EQ(Query("SELECT * FROM SpamSystem WHERE Typ = 2;", {"WHAT"}), (Rows{{"192.0.2.1"}}));

  Run("DELETE FROM SpamSystem WHERE what = '@EXAMPLE.COM';");
  Run("DELETE FROM Liste WHERE email = '@example.COM';");
  EXPECT_TRUE(Query("SELECT * FROM SpamSystem WHERE Typ = 1;", {"what"}).empty());
  EXPECT_TRUE(Query("SELECT * FROM LISTE WHERE email like '@%';", {"email"}).empty());
}

TEST_F(SqlLayer, QuotedValuesAreStoredUnchangedAndCannotChangeTheStatement) {
  const std::string hostile = "O'BRIEN@X.DE'; DELETE FROM Liste; --";
  Run("INSERT INTO Liste (email) SELECT '@keep.de';");
  Run("INSERT INTO LogTable (Email, Logtext, Ip, Timestmp) SELECT " + SqlQuote(hostile) + ", " +
      SqlQuote("it's 08.12.2026 07:00:00") + "," + SqlQuote("192.0.2.1") + "," + SqlQuote("08.12.2026 07:00:00") +
      ";");
  Rows rows = Query("SELECT * FROM LogTable WHERE Email = " + SqlQuote(hostile) + ";", {"Email", "Logtext", "Timestmp"});
  EXPECT_EQ(rows, (Rows{{hostile, "it's 08.12.2026 07:00:00", "2026-12-08 07:00:00"}}));
  EXPECT_EQ(Query("SELECT * FROM Liste;", {"Email"}), (Rows{{"@keep.de"}}));
  EXPECT_EQ(SqlQuote("a'b''"), "'a''b'''''");
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

  // Two statements in one text are refused whole.
  Run("INSERT INTO Liste (email) SELECT '@keep.de';");
  SQL_Stmt(3, "SELECT 1; DELETE FROM Liste;");
  EXPECT_GT(SQL_ErrorNumber(), 1);
  EXPECT_EQ(Query("SELECT * FROM Liste;", {"Email"}).size(), 1u);  // and the error is cleared again
}

TEST_F(SqlLayer, ColumnsAreFoundByNameOrAliasInAnyCase) {
  SQL_Stmt(3, "SELECT 7 AS Anz, 'x' AS Dat, NULL AS Blank, 2.9 AS Fraction, '12abc' AS Txt;");
  EXPECT_EQ(SQL_ErrorNumber(), 0) << SQL_ErrorText();
  SQL_Fetch(0);
  ASSERT_EQ(SQL_Eod(), 0);
  EXPECT_EQ(SQL_ResColNumber("anz"), 1);
  EXPECT_EQ(SQL_ResColNumber("DAT"), 2);
  EXPECT_EQ(SQL_ResColNumber("missing"), 0);
  EXPECT_EQ(SQL_ResColSInt(1), 7);
  EXPECT_EQ(SQL_ResColSInt(2), 0);
  EXPECT_EQ(SQL_ResColText(3), "");
  EXPECT_EQ(SQL_ResColSInt(4), 2);
  EXPECT_EQ(SQL_ResColSInt(5), 12);
  EXPECT_EQ(SQL_ResColText(0), "");
  EXPECT_EQ(SQL_ResColText(6), "");
}

TEST(SqlLayerClosed, StatementsWithoutDatabaseFailQuietly) {
  SQL_CloseDB();
  SQL_Stmt(3, "SELECT 1;");
  EXPECT_GT(SQL_ErrorNumber(), 1);
  EXPECT_NE(SQL_Eod(), 0);
  SQL_ErrorClearAll();
  EXPECT_EQ(SQL_ErrorNumber(), 0);
  EXPECT_EQ(SQL_ErrorText(), "");
}

}  // namespace
}  // namespace brenvik

// brenvik-migrate's copy: a spam.mdb as the gateway writes it arrives on the
// server row for row, dates and bytes intact; a second run is refused.
#include "store/migrate.h"

#include <gtest/gtest.h>

#include <vector>

#include "store/database.h"
#include "store/sql.h"
#include "tests/store/store_test_support.h"
#include "tests/support/pg_server.h"

namespace brenvik {
namespace {

using Rows = std::vector<std::vector<std::string>>;

constexpr struct {
  const char* query;
  int columns;
} kDumps[] = {
    {"SELECT what, Typ FROM SpamSystem ORDER BY Typ, what;", 2},
    {"SELECT Email, WieOft, IpAdresse, LastEdit, FirstMail, SecondMail, SenderBadMail FROM Liste "
     "ORDER BY Email, WieOft;", 7},
    {"SELECT Email, Logtext, Ip, Timestmp FROM LogTable ORDER BY Timestmp;", 4},
    {"SELECT SpamCount, SpamDate FROM Statistik ORDER BY SpamDate;", 2},
};

std::vector<Rows> DumpAll() {
  std::vector<Rows> tables;
  for (const auto& dump : kDumps) {
    Rows rows;
    SQL_Stmt(3, dump.query);
    EXPECT_EQ(SQL_ErrorNumber(), 0) << dump.query << ": " << SQL_ErrorText();
    for (SQL_Fetch(0); SQL_Eod() == 0; SQL_Fetch(0)) {
      std::vector<std::string> row;
      for (int c = 1; c <= dump.columns; ++c) row.push_back(SQL_ResColText(c));
      rows.push_back(row);
    }
    tables.push_back(rows);
  }
  return tables;
}

TEST(Migrate, CopiesEveryRowOnceAndRefusesAFilledDatabase) {
  auto& server = testing_support::PgServer::Shared();
  if (!server.available()) GTEST_SKIP() << server.why();
  testing_support::TempRoot root;
  SQL_Initialize(2, 2, 150, 3, 3, 0, 0, 0);
  ASSERT_TRUE(OpenDatabase(root.path(), "/spam.mdb"));
  for (const char* statement : {
           "INSERT INTO SpamSystem (what, Typ) SELECT '@example.com', 1;",
           "INSERT INTO SpamSystem (what, Typ) SELECT '192.0.2.1', 2;",
           "INSERT INTO Liste (email) SELECT '@Trusted.Example';",
           "INSERT INTO Liste (Email, WieOft, IpAdresse, LastEdit, FirstMail) SELECT 'DUP@A.DE', 1, '192.0.2.7', "
           "'08.12.2026 06:30:00', '08.12.2026 06:30:00';",
           "INSERT INTO Liste (Email, WieOft, IpAdresse, LastEdit, FirstMail, SecondMail, SenderBadMail) SELECT "
           "'dup@a.de', 2, '192.0.2.8', '09.12.2026 23:59:59', '08.12.2026 06:30:00', '09.12.2026 23:59:59', 1;",
           "INSERT INTO Liste (Email, WieOft, LastEdit) SELECT 'O''BR\xE4N@X.DE', 3, '29.02.2028 00:00:01';",
           "INSERT INTO LogTable (Email, Logtext, Ip, Timestmp) SELECT 'A@B.DE', 'it''s \\n', '192.0.2.1', "
           "'08.12.2026 07:00:00';",
           "INSERT INTO Statistik ( SpamCount, SpamDate ) SELECT 3, #12-08-2026#;",
           "INSERT INTO Statistik ( SpamCount, SpamDate ) SELECT 5, #03-16-2027#;",
       }) {
    SQL_Stmt(3, statement);
    ASSERT_EQ(SQL_ErrorNumber(), 0) << statement << ": " << SQL_ErrorText();
  }
  std::vector<Rows> expected = DumpAll();
  SQL_CloseDB();
  expected[1].erase(expected[1].begin() + 2);  // the second DUP@A.DE: one row per key on the server

  const std::string conninfo = server.CreateDatabase();
  std::string report;
  ASSERT_TRUE(MigrateFileToServer(root.path() + "/spam.mdb", conninfo, report)) << report;
  EXPECT_EQ(report, "SpamSystem: 2 read, 2 written\nListe: 4 read, 3 written\nLogTable: 1 read, 1 written\n"
                    "Statistik: 2 read, 2 written\n");
  ASSERT_TRUE(OpenDatabase("", "", conninfo)) << SQL_ErrorText();
  EXPECT_EQ(DumpAll(), expected);
  SQL_CloseDB();

  EXPECT_FALSE(MigrateFileToServer(root.path() + "/spam.mdb", conninfo, report));
  EXPECT_EQ(report, "the database already holds rows in SpamSystem\n");
  EXPECT_FALSE(MigrateFileToServer(root.path() + "/missing.mdb", conninfo, report));
}

}  // namespace
}  // namespace brenvik

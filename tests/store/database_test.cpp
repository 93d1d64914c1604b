#include "store/database.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "store/sql.h"
#include "tests/store/store_test_support.h"

namespace brenvik {
namespace {

using testing_support::ReadFile;
using testing_support::TempRoot;
using testing_support::WriteFile;

constexpr const char* kPrefix =
    "DRIVER=Microsoft Access Driver (*.mdb);UID=admin;UserCommitSync=Yes;Threads=3;SafeTransactions=0;"
    "PageTimeout=5;MaxScanRows=8;MaxBufferSize=2048;FIL=MS Access;DriverId=25;DefaultDir=";

std::vector<std::string> Names(const std::string& statement) {
  std::vector<std::string> names;
  SQL_Stmt(3, statement);
  for (SQL_Fetch(0); SQL_Eod() == 0; SQL_Fetch(0)) names.push_back(SQL_ResColText(1));
  return names;
}

TEST(BuildConnectionString, FixedPrefixFolderTwiceAndFileName) {
  EXPECT_EQ(BuildConnectionString("/opt/brenvik/", "spam.mdb"),
            std::string(kPrefix) + "/opt/brenvik/;DBQ=/opt/brenvik/spam.mdb");
  // An empty WorkDir gives the gateway the folder "/".
  EXPECT_EQ(BuildConnectionString("/", "spam.mdb"), std::string(kPrefix) + "/;DBQ=/spam.mdb");
  EXPECT_EQ(BuildConnectionString("/home/a", "/spam.mdb"), std::string(kPrefix) + "/home/a;DBQ=/home/a/spam.mdb");
}

class Database : public ::testing::Test {
 protected:
  void SetUp() override { SQL_Initialize(2, 2, 150, 3, 3, 0, 0, 0); }
  void TearDown() override { SQL_CloseDB(); }
  std::string File() const { return root_.path() + "/spam.mdb"; }
  TempRoot root_;
};

TEST_F(Database, MissingFileGetsTheFourTablesInWalMode) {
  ASSERT_TRUE(OpenDatabase(root_.path(), "/spam.mdb"));
  EXPECT_EQ(Names("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name;"),
            (std::vector<std::string>{"Liste", "LogTable", "SpamSystem", "Statistik"}));
  EXPECT_EQ(Names("PRAGMA journal_mode;"), (std::vector<std::string>{"wal"}));
  // Opening again keeps the rows.
  SQL_Stmt(3, "INSERT INTO SpamSystem (what, Typ) SELECT '@example.com', 1;");
  SQL_CloseDB();
  ASSERT_TRUE(OpenDatabase(root_.path() + "/", "spam.mdb"));
  EXPECT_EQ(Names("SELECT what FROM SpamSystem WHERE Typ = 1;"), (std::vector<std::string>{"@example.com"}));
}

TEST_F(Database, EmptyFileGetsTheTablesAndAForeignSchemaIsKept) {
  WriteFile(File(), "");
  ASSERT_TRUE(OpenDatabase(root_.path(), "/spam.mdb"));
  EXPECT_EQ(Names("SELECT count(*) FROM sqlite_master WHERE type = 'table';"), (std::vector<std::string>{"4"}));
  SQL_CloseDB();

  std::string other = root_.path() + "/other.mdb";
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(other.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE Mine (x);", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  ASSERT_TRUE(OpenDatabase(root_.path(), "/other.mdb"));
  EXPECT_EQ(Names("SELECT name FROM sqlite_master WHERE type = 'table';"), (std::vector<std::string>{"Mine"}));
}

TEST_F(Database, FileThatIsNoDatabaseFailsAndStaysUntouched) {
  const std::string content = "Standard Jet DB\nthis is an old Access file, not SQLite\n" + std::string(5000, 'x');
  WriteFile(File(), content);
  setenv("BRENVIK_DEBUG", "1", 1);
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(OpenDatabase(root_.path(), "/spam.mdb"));
  std::string trace = ::testing::internal::GetCapturedStderr();
  unsetenv("BRENVIK_DEBUG");
  EXPECT_EQ(trace.rfind("Fehler beim Verbinden mit Datenbank: \r\n", 0), 0u) << trace;
  EXPECT_GT(trace.size(), std::string("Fehler beim Verbinden mit Datenbank: \r\n\n").size());
  EXPECT_EQ(ReadFile(File()), content);
  EXPECT_FALSE(std::filesystem::exists(File() + "-wal"));
  SQL_Stmt(3, "SELECT * FROM Liste;");
  EXPECT_GT(SQL_ErrorNumber(), 1);
}

TEST_F(Database, MissingFolderFailsWithoutTrace) {
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(OpenDatabase(root_.path() + "/no/such/folder", "/spam.mdb"));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");  // the trace is off by default
  EXPECT_GT(SQL_ErrorNumber(), 1);
}

TEST_F(Database, WriteLockedByAnotherProcessFailsTheStatementInsteadOfHanging) {
  ASSERT_TRUE(OpenDatabase(root_.path(), "/spam.mdb"));
  SQL_CloseDB();  // the child must not share this process's SQLite state
  int locked[2], release[2];
  ASSERT_EQ(pipe(locked), 0);
  ASSERT_EQ(pipe(release), 0);
  pid_t child = fork();
  if (child == 0) {
    sqlite3* db = nullptr;
    if (sqlite3_open(File().c_str(), &db) != SQLITE_OK) _exit(1);
    if (sqlite3_exec(db, "BEGIN IMMEDIATE; INSERT INTO Statistik (SpamCount) VALUES (1);", nullptr, nullptr,
                     nullptr) != SQLITE_OK)
      _exit(2);
    if (write(locked[1], "L", 1) != 1) _exit(3);
    char b;
    if (read(release[0], &b, 1) < 0) _exit(4);  // holds the lock until told
    _exit(0);                                   // ends without committing
  }
  char b = 0;
  ASSERT_EQ(read(locked[0], &b, 1), 1);
  SetSqlBusyTimeout(50);
  ASSERT_TRUE(OpenDatabase(root_.path(), "/spam.mdb"));
  SQL_Stmt(3, "INSERT INTO Statistik ( SpamCount, SpamDate ) SELECT 5, #12-08-2026#;");
  int number = SQL_ErrorNumber();
  std::string text = SQL_ErrorText();
  // Readers are not blocked by the writer.
  SQL_Stmt(3, "SELECT count(*) AS n FROM Statistik;");
  SQL_Fetch(0);
  int rows = SQL_ResColSInt(1);
  ASSERT_EQ(write(release[1], "R", 1), 1);
  int status = 0;
  waitpid(child, &status, 0);
  SetSqlBusyTimeout(5000);
  EXPECT_GT(number, 1);
  EXPECT_NE(text.find("locked"), std::string::npos) << text;
  EXPECT_EQ(rows, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace brenvik

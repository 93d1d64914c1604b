#include "store/database.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "store/service_user.h"
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
  const std::pair<const char*, const char*> cases[][2] = {
      {{"/opt/brenvik/", "spam.mdb"}, {"/opt/brenvik/", "/opt/brenvik/spam.mdb"}},
      {{"/", "spam.mdb"}, {"/", "/spam.mdb"}},  // the gateway with an empty WorkDir
      {{"/home/a", "/spam.mdb"}, {"/home/a", "/home/a/spam.mdb"}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(BuildConnectionString(c[0].first, c[0].second),
              std::string(kPrefix) + c[1].first + ";DBQ=" + c[1].second);
}

class Database : public ::testing::Test {
 protected:
  void SetUp() override { SQL_Initialize(2, 2, 150, 3, 3, 0, 0, 0); }
  void TearDown() override { SQL_CloseDB(); }
  std::string File() const { return root_.path() + "/spam.mdb"; }
  TempRoot root_;
};

TEST_F(Database, MissingOrEmptyFileGetsTheFourTablesAndAForeignSchemaIsKept) {
  const std::vector<std::string> tables{"Liste", "LogTable", "SpamSystem", "Statistik"};
  const std::string list = "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name;";
  ASSERT_TRUE(OpenDatabase(root_.path(), "/spam.mdb"));
  EXPECT_EQ(Names(list), tables);
  EXPECT_EQ(Names("PRAGMA journal_mode;"), (std::vector<std::string>{"wal"}));
  SQL_Stmt(3, "INSERT INTO SpamSystem (what, Typ) SELECT '@example.com', 1;");
  SQL_CloseDB();
  ASSERT_TRUE(OpenDatabase(root_.path() + "/", "spam.mdb"));  // opening again keeps the rows
  EXPECT_EQ(Names("SELECT what FROM SpamSystem WHERE Typ = 1;"), (std::vector<std::string>{"@example.com"}));
  SQL_CloseDB();

  WriteFile(root_.path() + "/empty.mdb", "");
  ASSERT_TRUE(OpenDatabase(root_.path(), "/empty.mdb"));
  EXPECT_EQ(Names(list), tables);
  SQL_CloseDB();

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((root_.path() + "/other.mdb").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE Mine (x);", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  ASSERT_TRUE(OpenDatabase(root_.path(), "/other.mdb"));
  EXPECT_EQ(Names(list), (std::vector<std::string>{"Mine"}));
}

TEST_F(Database, FileThatIsNoDatabaseFailsWithTheTraceAndStaysUntouched) {
  const std::string content = "Standard Jet DB\nthis is an old Access file, not SQLite\n" + std::string(5000, 'x');
  const std::string head = "Fehler beim Verbinden mit Datenbank: \r\n";
  WriteFile(File(), content);
  setenv("BRENVIK_DEBUG", "1", 1);
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(OpenDatabase(root_.path(), "/spam.mdb"));
  std::string trace = ::testing::internal::GetCapturedStderr();
  unsetenv("BRENVIK_DEBUG");
  EXPECT_EQ(trace.rfind(head, 0), 0u) << trace;
  EXPECT_GT(trace.size(), head.size() + 1);  // followed by the error text
  EXPECT_EQ(ReadFile(File()), content);
  EXPECT_FALSE(std::filesystem::exists(File() + "-wal"));
  SQL_Stmt(3, "SELECT * FROM Liste;");
  EXPECT_GT(SQL_ErrorNumber(), 1);

  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(OpenDatabase(root_.path() + "/no/such/folder", "/spam.mdb"));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");  // the trace is off by default
}

TEST_F(Database, DatabaseThatCannotBeWrittenIsNoConnectionButStaysReadable) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the open as another user";
  ASSERT_TRUE(OpenDatabase(root_.path(), "/spam.mdb"));
  SQL_Stmt(3, "INSERT INTO SpamSystem (what, Typ) SELECT '@example.com', 1;");
  SQL_CloseDB();
  struct Case {
    mode_t file, folder;  // modes, both owned by the user who opens
  } cases[] = {{0444, 0755}, {0644, 0555}};
  for (const Case& c : cases) {
    ASSERT_EQ(chown(root_.path().c_str(), 65534, 65534) | chown(File().c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(File().c_str(), c.file) | chmod(root_.path().c_str(), c.folder), 0);
    pid_t pid = fork();
    if (pid == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
      if (OpenDatabase(root_.path(), "/spam.mdb")) _exit(11);
      if (Names("SELECT what FROM SpamSystem WHERE Typ = 1;") != std::vector<std::string>{"@example.com"}) _exit(12);
      SQL_Stmt(3, "INSERT INTO SpamSystem (what, Typ) SELECT '@other.example', 1;");
      _exit(SQL_ErrorNumber() > 1 ? 0 : 13);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.file << " " << WEXITSTATUS(status);
    chmod(root_.path().c_str(), 0755);
  }
}

// What a root-run tool made or touched goes to the service's user; a link
// planted among the files and a file of another owner stay as they are.
TEST_F(Database, RootMadeFilesGoToTheServiceUserLinksAndOthersStay) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to hand files over";
  ASSERT_TRUE(OpenDatabase(root_.path(), "/spam.mdb"));  // spam.mdb, -wal and -shm, all root's
  const std::string elsewhere = root_.path() + "/elsewhere";
  WriteFile(elsewhere, "root's own");
  const std::string wal = File() + "-wal", shm = File() + "-shm";
  ASSERT_EQ(unlink(shm.c_str()) | symlink(elsewhere.c_str(), shm.c_str()), 0);
  ASSERT_EQ(chown(wal.c_str(), 1, 1), 0);  // another owner's
  EXPECT_EQ(HandDatabaseToServiceUser(root_.path(), "/spam.mdb", "nobody"), 1);
  struct stat st {};
  ASSERT_EQ(stat(File().c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  ASSERT_EQ(stat(elsewhere.c_str(), &st) | lstat(shm.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  ASSERT_EQ(stat(elsewhere.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  ASSERT_EQ(stat(wal.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 1u);
  EXPECT_EQ(HandDatabaseToServiceUser(root_.path(), "/spam.mdb", "no-such-user-here"), 0);
  SQL_CloseDB();
}

// Root runs the service program only from where no one else can change it:
// not one the service user put into its working folder or a link leads to.
TEST(ProgramRootMayRun, OnlyRootsProgramInFoldersOnlyRootMayChange) {
  if (geteuid() != 0) GTEST_SKIP() << "the check is root's";
  TempRoot root;
  chmod(root.path().c_str(), 0755);
  const std::string safe = root.path() + "/opt", work = root.path() + "/work";
  ASSERT_EQ(mkdir(safe.c_str(), 0755) | mkdir(work.c_str(), 0755), 0);
  WriteFile(safe + "/brenvik", "#!/bin/sh\n");
  ASSERT_EQ(symlink((safe + "/brenvik").c_str(), (work + "/brenvik").c_str()), 0);
  EXPECT_EQ(ProgramRootMayRun(work + "/brenvik"), safe + "/brenvik");  // the link resolved
  EXPECT_EQ(ProgramRootMayRun(work + "/missing"), work + "/missing");  // nothing to run anyway
  ASSERT_EQ(chown(work.c_str(), 65534, 65534), 0);
  EXPECT_EQ(ProgramRootMayRun(work + "/brenvik"), safe + "/brenvik");  // the target is what runs
  const struct {
    std::function<int()> change;
    const char* what;
  } unsafe[] = {
      {[&] { return chown((safe + "/brenvik").c_str(), 65534, 0); }, "program of another owner"},
      {[&] { return chmod((safe + "/brenvik").c_str(), 0775); }, "program others may write"},
      {[&] { return chmod(safe.c_str(), 0775); }, "folder others may write"},
      {[&] { return chown(safe.c_str(), 65534, 65534); }, "folder of another owner"},
  };
  for (const auto& c : unsafe) {
    ASSERT_EQ(c.change(), 0) << c.what;
    EXPECT_EQ(ProgramRootMayRun(work + "/brenvik"), "") << c.what;
    ASSERT_EQ(chown((safe + "/brenvik").c_str(), 0, 0) | chmod((safe + "/brenvik").c_str(), 0755) |
                  chown(safe.c_str(), 0, 0) | chmod(safe.c_str(), 0755),
              0);
  }
  WriteFile(work + "/own", "#!/bin/sh\n");  // put there by the service user
  ASSERT_EQ(chown((work + "/own").c_str(), 65534, 65534), 0);
  EXPECT_EQ(ProgramRootMayRun(work + "/own"), "");
}

}  // namespace
}  // namespace brenvik

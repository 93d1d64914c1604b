// Opening the database file: only an SQLite file (or a missing or empty one)
// is ever handed to SQLite, so a foreign file is never written to.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "store/ascii_case.h"
#include "store/sql_internal.h"

namespace brenvik::sql_internal {
namespace {

constexpr char kSqliteMagic[] = "SQLite format 3";  // 16 bytes with its zero
constexpr std::size_t kMagicSize = sizeof kSqliteMagic;

constexpr const char* kSchema =
    "BEGIN IMMEDIATE;"
    "CREATE TABLE IF NOT EXISTS SpamSystem (what TEXT COLLATE NOCASE, Typ INTEGER);"
    "CREATE TABLE IF NOT EXISTS Liste (Email TEXT COLLATE NOCASE, WieOft INTEGER, IpAdresse TEXT,"
    " LastEdit TEXT, FirstMail TEXT, SecondMail TEXT, SenderBadMail INTEGER);"
    "CREATE TABLE IF NOT EXISTS LogTable (Email TEXT COLLATE NOCASE, Logtext TEXT, Ip TEXT,"
    " Timestmp TEXT);"
    "CREATE TABLE IF NOT EXISTS Statistik (SpamCount INTEGER, SpamDate TEXT);"
    "CREATE INDEX IF NOT EXISTS ListeEmail ON Liste (Email);"
    "CREATE INDEX IF NOT EXISTS ListePurge ON Liste (WieOft, LastEdit);"
    "CREATE INDEX IF NOT EXISTS SpamSystemTyp ON SpamSystem (Typ);"
    "CREATE INDEX IF NOT EXISTS StatistikDate ON Statistik (SpamDate);"
    "COMMIT;";

constexpr const char* kWriteProbe = "CREATE TABLE main.BrenvikWriteProbe (x INTEGER);";

constexpr std::string_view kNotADatabase = "file is not a database";
constexpr std::string_view kReadOnly = "attempt to write a readonly database: ";
constexpr std::string_view kUnreadable = "unable to read database file: ";

enum class FileKind { MissingOrEmpty, Database, Foreign, Unreadable };

FileKind Inspect(const std::string& path, std::string& why) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return FileKind::MissingOrEmpty;
    why = std::string(kUnreadable) + std::strerror(errno);
    return FileKind::Unreadable;
  }
  struct stat st {};
  char head[kMagicSize] = {};
  FileKind kind = FileKind::Foreign;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
    kind = FileKind::Foreign;
  else if (st.st_size == 0)
    kind = FileKind::MissingOrEmpty;
  else if (read(fd, head, kMagicSize) == static_cast<ssize_t>(kMagicSize) &&
           std::memcmp(head, kSqliteMagic, kMagicSize) == 0)
    kind = FileKind::Database;
  close(fd);
  if (kind == FileKind::Foreign) why = kNotADatabase;
  return kind;
}

void RecordSqliteError(sqlite3* db, int rc) {
  int code = db != nullptr ? sqlite3_extended_errcode(db) : rc;
  SetThreadError(kSqliteErrorBase + code, db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
}

// Counting the tables forces SQLite to read the file now, not at first use.
bool CountTables(sqlite3* db, int& tables) {
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_master WHERE type = 'table';", -1, &st, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(st);
  bool ok = rc == SQLITE_ROW;
  if (ok) tables = sqlite3_column_int(st, 0);
  else RecordSqliteError(db, rc);
  sqlite3_finalize(st);
  return ok;
}

bool CreateSchema(sqlite3* db) {
  int rc = sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) return true;
  RecordSqliteError(db, rc);
  sqlite3_exec(db, "ROLLBACK;", nullptr, nullptr, nullptr);
  return false;
}

// SQLite opens a file it may not write read-only without a word, and a
// folder without write access fails only the first write: a real write,
// rolled back, tells. A lock held by another process is no reason to refuse.
bool Writable(sqlite3* db, int busy_timeout_ms) {
  if (sqlite3_db_readonly(db, "main") == 1) return false;
  sqlite3_busy_timeout(db, 0);
  int rc = sqlite3_exec(db, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr);
  bool writable = rc == SQLITE_BUSY || rc == SQLITE_LOCKED;
  if (rc == SQLITE_OK) {
    rc = sqlite3_exec(db, kWriteProbe, nullptr, nullptr, nullptr);
    writable = rc == SQLITE_OK || rc == SQLITE_BUSY || rc == SQLITE_LOCKED;
    sqlite3_exec(db, "ROLLBACK;", nullptr, nullptr, nullptr);
  }
  sqlite3_busy_timeout(db, busy_timeout_ms);
  return writable;
}

bool Prepare(sqlite3* db, int busy_timeout_ms) {
  sqlite3_busy_timeout(db, busy_timeout_ms);
  int rc = RegisterAccessFunctions(db);
  if (rc != SQLITE_OK) {
    RecordSqliteError(db, rc);
    return false;
  }
  int tables = 0;
  if (!CountTables(db, tables)) return false;
  if (tables == 0 && !CreateSchema(db)) return false;
  // Lets the tool and the gateway work on the file at once; a read-only
  // file stays in its mode, which is no reason to refuse it.
  sqlite3_exec(db, "PRAGMA journal_mode=WAL;", nullptr, nullptr, nullptr);
  // In WAL mode this still survives a killed process and never corrupts
  // the file; a power cut may only lose the latest greylist attempts, which
  // then simply count as first attempts again.
  sqlite3_exec(db, "PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr);
  // Checkpoints every 16 MB of log instead of 4: a quarter of the flushes,
  // and pages changed again meanwhile are written back once.
  sqlite3_exec(db, "PRAGMA wal_autocheckpoint=4000;", nullptr, nullptr, nullptr);
  return true;
}

}  // namespace

bool DatabaseFileOf(std::string_view cs, std::string& path) {
  path.clear();
  std::size_t at = std::string_view::npos;
  for (std::size_t i = 0; i + 4 <= cs.size(); ++i) {
    std::string_view k = cs.substr(i, 4);
    if ((i == 0 || cs[i - 1] == ';') && SameIgnoringCase(k, "DBQ=")) {
      at = i + 4;
      break;
    }
  }
  if (at == std::string_view::npos) return false;
  std::string_view rest = cs.substr(at);
  if (!rest.empty() && rest.front() == '{') {
    for (std::size_t i = 1; i < rest.size(); ++i) {
      if (rest[i] != '}') {
        path += rest[i];
      } else if (i + 1 < rest.size() && rest[i + 1] == '}') {
        path += '}';
        ++i;
      } else {
        return !path.empty();
      }
    }
    return false;  // no closing brace
  }
  path = std::string(rest.substr(0, rest.find(';')));
  return !path.empty();
}

void OpenLocked(Layer& layer, const std::string& path) {
  std::string why;
  FileKind kind = Inspect(path, why);
  if (kind == FileKind::Foreign) {
    SetThreadError(kSqliteErrorBase + SQLITE_NOTADB, why);
    return;
  }
  if (kind == FileKind::Unreadable) {
    SetThreadError(kSqliteErrorBase + SQLITE_CANTOPEN, why);
    return;
  }
  sqlite3* db = nullptr;
  // Every call on the connection is made under the layer's lock: SQLite's
  // own lock around each call would only cost time.
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                           nullptr);
  if (rc != SQLITE_OK || !Prepare(db, layer.busy_timeout_ms)) {
    if (rc != SQLITE_OK) RecordSqliteError(db, rc);
    sqlite3_close_v2(db);
    return;
  }
  layer.db = db;
  // Still open, so the lists can be shown, but not counted as opened.
  if (!Writable(db, layer.busy_timeout_ms))
    SetThreadError(kSqliteErrorBase + SQLITE_READONLY, std::string(kReadOnly) + path);
}

}  // namespace brenvik::sql_internal

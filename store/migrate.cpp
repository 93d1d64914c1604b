// The copy reads the file with SQLite directly and writes through the layer,
// so the server gets exactly the tables and translation the gateway uses.
#include "store/migrate.h"

#include <sqlite3.h>

#include <array>

#include "store/database.h"
#include "store/sql.h"
#include "store/sql_quote.h"

namespace brenvik {
namespace {

struct Table {
  const char* name;
  const char* columns;
};
constexpr std::array<Table, 4> kTables{{
    {"SpamSystem", "what, Typ"},
    {"Liste", "Email, WieOft, IpAdresse, LastEdit, FirstMail, SecondMail, SenderBadMail"},
    {"LogTable", "Email, Logtext, Ip, Timestmp"},
    {"Statistik", "SpamCount, SpamDate"},
}};

constexpr std::string_view kNotEmpty = "the database already holds rows in ";
constexpr std::string_view kCannotRead = "cannot read ";
constexpr std::string_view kCannotOpen = "cannot open the database server: ";
constexpr std::string_view kRowFailed = "row not written to ";

// The file's value as a literal: numbers as they are, texts quoted.
std::string Literal(sqlite3_stmt* st, int i) {
  switch (sqlite3_column_type(st, i)) {
    case SQLITE_NULL: return "NULL";
    case SQLITE_INTEGER: return std::to_string(sqlite3_column_int64(st, i));
    default: {
      const unsigned char* text = sqlite3_column_text(st, i);
      return SqlQuote(std::string_view(reinterpret_cast<const char*>(text),
                                       static_cast<std::size_t>(sqlite3_column_bytes(st, i))));
    }
  }
}

int CountRows(const char* table) {
  SQL_Stmt(3, std::string("SELECT COUNT(*) AS N FROM ") + table + ";");
  SQL_Fetch(0);
  return SQL_ErrorNumber() == 0 && SQL_Eod() == 0 ? SQL_ResColSInt(SQL_ResColNumber("N")) : -1;
}

// Copies one table; false with the reason in `report`.
bool CopyTable(sqlite3* file, const Table& table, std::string& report) {
  sqlite3_stmt* st = nullptr;
  const std::string select = std::string("SELECT ") + table.columns + " FROM " + table.name + " ORDER BY rowid;";
  if (sqlite3_prepare_v2(file, select.c_str(), -1, &st, nullptr) != SQLITE_OK) {
    report += std::string(kCannotRead) + table.name + ": " + sqlite3_errmsg(file) + "\n";
    return false;
  }
  const std::string insert = std::string("INSERT INTO ") + table.name + " (" + table.columns + ") VALUES (";
  long read = 0;
  int rc = SQLITE_ROW;
  bool ok = true;
  while (ok && (rc = sqlite3_step(st)) == SQLITE_ROW) {
    std::string statement = insert;
    for (int i = 0; i < sqlite3_column_count(st); ++i) statement += (i > 0 ? ", " : "") + Literal(st, i);
    SQL_Stmt(3, statement + ");");
    ++read;
    ok = SQL_ErrorNumber() == 0;
    if (!ok) report += std::string(kRowFailed) + table.name + " (" + std::to_string(read) + "): " + SQL_ErrorText() + "\n";
  }
  if (ok && rc != SQLITE_DONE) {
    report += std::string(kCannotRead) + table.name + ": " + sqlite3_errmsg(file) + "\n";
    ok = false;
  }
  sqlite3_finalize(st);
  if (ok) report += std::string(table.name) + ": " + std::to_string(read) + " read, " +
                    std::to_string(CountRows(table.name)) + " written\n";
  return ok;
}

bool TargetEmpty(std::string& report) {
  for (const Table& table : kTables) {
    if (CountRows(table.name) != 0) {
      report += std::string(kNotEmpty) + table.name + "\n";
      return false;
    }
  }
  return true;
}

bool CopyAll(sqlite3* file, std::string& report) {
  if (!TargetEmpty(report)) return false;
  SQL_Stmt(3, "BEGIN;");
  bool ok = SQL_ErrorNumber() == 0;
  for (const Table& table : kTables) ok = ok && CopyTable(file, table, report);
  SQL_Stmt(3, ok ? "COMMIT;" : "ROLLBACK;");
  return ok && SQL_ErrorNumber() == 0;
}

constexpr int kCopyTimeoutMs = 3600000;

}  // namespace

bool MigrateFileToServer(const std::string& file, std::string_view conninfo, std::string& report) {
  report.clear();
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    report = std::string(kCannotRead) + file + ": " + sqlite3_errmsg(db) + "\n";
    sqlite3_close_v2(db);
    return false;
  }
  SQL_Initialize(2, 2, 150, 3, 3, 0, 0, 0);
  // One copy of a whole greylist, committed at once: no session waits on it.
  SetSqlThreadStatementTimeout(kCopyTimeoutMs);
  bool ok = OpenDatabase("", "", conninfo);
  if (!ok) report = std::string(kCannotOpen) + SQL_ErrorText() + "\n";
  else ok = CopyAll(db, report);
  SQL_CloseDB();
  sqlite3_close_v2(db);
  return ok;
}

}  // namespace brenvik

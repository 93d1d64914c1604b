#pragma once
// Shared helpers of the maintenance tests: temporary folders, a fresh
// spam.mdb, and reading files back.
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>

#include "store/database.h"
#include "store/local_time.h"
#include "store/sql.h"

namespace brenvik::test {

// A folder under /tmp, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/brenvik-maint-XXXXXX";
    char* made = mkdtemp(pattern);
    path_ = made != nullptr ? made : "";
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string Slash() const { return path_ + "/"; }  // as WorkDir arrives

 private:
  std::string path_;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

inline LocalTime At(int year, int month, int day, int hour, int minute, int second = 0,
                    int millisecond = 0) {
  LocalTime t;
  t.year = year;
  t.month = month;
  t.day = day;
  t.hour = hour;
  t.minute = minute;
  t.second = second;
  t.millisecond = millisecond;
  return t;
}

// The process's one database connection, on a new spam.mdb in `dir`.
inline bool OpenFreshDatabase(const TempDir& dir) {
  static std::once_flag initialised;
  std::call_once(initialised, [] { SQL_Initialize(2, 2, 150, 3, 3, 0, 0, 0); });
  SQL_CloseDB();
  return OpenDatabase(dir.Slash(), "spam.mdb");
}

// Integer of the named column in the first row; -1 without a row.
inline int QueryInt(const std::string& statement, const std::string& column) {
  SQL_Stmt(3, statement);
  SQL_Fetch(0);
  if (SQL_Eod() != 0) return -1;
  return SQL_ResColSInt(SQL_ResColNumber(column));
}

// Sets an environment variable for the lifetime of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    const char* old = getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

}  // namespace brenvik::test

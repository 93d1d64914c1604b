// brenvik-migrate SPAM.MDB CONNINFO: copies an existing spam.mdb into an empty
// PostgreSQL database for DatabaseServer.
#include <cstdio>
#include <string>

#include "store/migrate.h"

namespace {
constexpr const char* kUsage =
    "usage: brenvik-migrate SPAM.MDB CONNINFO\n"
    "  copies the file's four tables into the empty PostgreSQL database CONNINFO\n"
    "  (a libpq connection string or URI; the password from ~/.pgpass or PGPASSFILE)\n";
}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::string report;
  const bool ok = brenvik::MigrateFileToServer(argv[1], argv[2], report);
  std::fputs(report.c_str(), ok ? stdout : stderr);
  return ok ? 0 : 1;
}

// The open-database sequence both programs run once at start.
#include "store/database.h"

#include <cstdio>
#include <cstdlib>

#include "store/sql.h"

namespace brenvik {
namespace {

constexpr std::string_view kConnectionPrefix =
    "DRIVER=Microsoft Access Driver (*.mdb);UID=admin;UserCommitSync=Yes;Threads=3;"
    "SafeTransactions=0;PageTimeout=5;MaxScanRows=8;MaxBufferSize=2048;FIL=MS Access;"
    "DriverId=25;DefaultDir=";
constexpr std::string_view kFileKey = ";DBQ=";
constexpr std::string_view kOpenFailed = "Fehler beim Verbinden mit Datenbank: ";
constexpr std::string_view kDayFirstLayout = "dd.MM.yyyy";

constexpr int kOptionA = 68, kOptionAValue = 0;
constexpr int kOptionB = 60, kOptionBValue = 1024;
constexpr int kOptionDateLayout = -80;

// A file name with ';' would end the DBQ= value early: such a name goes
// between braces, with '}' doubled.
std::string FileValue(std::string_view folder, std::string_view file_name) {
  std::string path = std::string(folder) + std::string(file_name);
  if (path.find(';') == std::string::npos && (path.empty() || path.front() != '{')) return path;
  std::string braced = "{";
  for (char c : path) {
    braced += c;
    if (c == '}') braced += '}';
  }
  return braced + "}";
}

}  // namespace

std::string BuildConnectionString(std::string_view folder, std::string_view file_name) {
  return std::string(kConnectionPrefix) + std::string(folder) + std::string(kFileKey) +
         FileValue(folder, file_name);
}

bool OpenDatabase(std::string_view folder, std::string_view file_name) {
  return OpenDatabase(folder, file_name, {});
}

bool OpenDatabase(std::string_view folder, std::string_view file_name, std::string_view server) {
  SQL_SetOptionSInt(kOptionA, kOptionAValue);
  SQL_SetOptionSInt(kOptionB, kOptionBValue);
  SQL_SetOptionStr(kOptionDateLayout, kDayFirstLayout);
  SQL_ErrorClearAll();
  if (server.empty())
    SQL_OpenDB(BuildConnectionString(folder, file_name));
  else
    SQL_OpenServer(server);
  int number = SQL_ErrorNumber();
  if (number == 0 || number == 1) return true;
  DebugTrace(std::string(kOpenFailed) + "\r\n" + SQL_ErrorText());
  return false;
}

void DebugTrace(std::string_view text) {
  const char* on = std::getenv("BRENVIK_DEBUG");
  if (on == nullptr || *on == '\0') return;
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

}  // namespace brenvik

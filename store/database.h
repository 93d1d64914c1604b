#pragma once
// Opening spam.mdb through the SQL layer.
#include <string>
#include <string_view>

namespace brenvik {

// "DRIVER=...;DefaultDir=" + folder + ";DBQ=" + folder + file_name.
std::string BuildConnectionString(std::string_view folder, std::string_view file_name);

// Sets the layer's options, clears its errors and opens the database.
// True on error number 0 or 1; otherwise writes the diagnostic to the debug
// trace and returns false. A database this process may read but not write
// is a failure too; it stays open for reading until SQL_CloseDB. The gateway passes (WorkDir, "spam.mdb"), the
// tool (current directory, "/spam.mdb").
bool OpenDatabase(std::string_view folder, std::string_view file_name);
// The same with the DatabaseServer setting: empty opens the file as above,
// anything else the PostgreSQL database it names.
bool OpenDatabase(std::string_view folder, std::string_view file_name, std::string_view server);

// Developer diagnostics; written to standard error only when the
// environment variable BRENVIK_DEBUG is set to a non-empty value.
void DebugTrace(std::string_view text);

}  // namespace brenvik

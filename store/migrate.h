#pragma once
// Copies an existing spam.mdb into an empty PostgreSQL database.
#include <string>
#include <string_view>

namespace brenvik {

// Opens `file` read-only and the server (creating its tables), refuses a
// server whose tables hold rows, then copies the four tables in one
// transaction. `report` gets one line per table ("Liste: 12 read, 12
// written") or the reason of the failure. Leaves the layer closed.
bool MigrateFileToServer(const std::string& file, std::string_view conninfo, std::string& report);

}  // namespace brenvik

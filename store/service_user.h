#pragma once
// The system user the gateway service runs as, and handing files that an
// administrator's root process made over to it.
#include <string>
#include <string_view>

namespace brenvik {

// User and group of the service (the package creates both).
inline constexpr std::string_view kServiceUserName = "brenvik";

// The SQLite files of a database: the file and its -wal and -shm companions.
inline constexpr std::string_view kDatabaseCompanions[] = {"", "-wal", "-shm"};

// When this process runs as root and `user` exists: each regular file
// `folder` + name + companion owned by root is given to that user and its
// group, so the service can still write what a root-run tool created or
// touched. Links are never followed; files of other owners stay as they are.
// Returns how many files changed owner.
int HandDatabaseToServiceUser(const std::string& folder, std::string_view name,
                              std::string_view user = kServiceUserName);

// The program a root process may start: its real path (links resolved, so
// a link swapped afterwards changes nothing) when the file and every folder
// above it belong to root and nobody else may change them (a sticky folder
// such as /tmp counts as safe); "" otherwise, so it is not run. The path
// unchanged when this process is not root or nothing is there. The working
// folder is the service user's: a program it put there never runs as root.
std::string ProgramRootMayRun(const std::string& path);

}  // namespace brenvik

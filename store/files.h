#pragma once
// Small file helpers shared by both programs: every caller that writes a
// whole file, replaces one atomically or needs its own path uses these.
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace brenvik {

// Writes every byte, retrying short writes and EINTR; false on any failure.
bool WriteAll(int fd, std::string_view bytes);

// The folder part of a path: "." without a slash, "/" for a top-level name.
std::string FolderOf(std::string_view path);

// Creates the folder and its missing parents (mode 0755); true when it is
// there as a folder afterwards.
bool MakeFolders(const std::string& folder);

// fsync of a folder, so that a rename or unlink in it is durable.
void SyncFolder(const std::string& folder);

// Owner, group and mode a file is given; an unset owner or group is left to
// the writing process.
struct FileAttributes {
  mode_t mode = 0644;                // permission bits
  std::optional<uid_t> owner;        // owner to keep, when known
  std::optional<gid_t> group;        // group to keep, when known
};

enum class Placement {
  Replace,       // rename over whatever is there
  OnlyIfAbsent,  // fail when the path already exists
};

// Writes `text` to a temporary file beside `path`, flushes it and moves it
// into place, so that no reader ever sees half a file. The temporary file is
// removed on failure.
bool WriteFileAtomically(const std::string& path, std::string_view text, const FileAttributes& attributes,
                         Placement placement);

// Gives an open file the owner, group and mode of `attributes` where this
// process may; a group is still set when the owner cannot be.
void ApplyAttributes(int fd, const FileAttributes& attributes);

// The absolute path of the running program (/proc/self/exe); "" when it
// cannot be read or does not fit.
std::string OwnExecutablePath();

}  // namespace brenvik

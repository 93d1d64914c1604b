// Small file helpers: complete writes, atomic replacement, own path.
#include "store/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>

namespace brenvik {

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string FolderOf(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

bool MakeFolders(const std::string& folder) {
  struct stat st {};
  if (stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const std::string parent = FolderOf(folder);
  if (parent != folder && !MakeFolders(parent)) return false;
  return mkdir(folder.c_str(), 0755) == 0 || errno == EEXIST;
}

void SyncFolder(const std::string& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

void ApplyAttributes(int fd, const FileAttributes& attributes) {
  if (attributes.owner || attributes.group) {
    const uid_t owner = attributes.owner.value_or(static_cast<uid_t>(-1));
    const gid_t group = attributes.group.value_or(static_cast<gid_t>(-1));
    // Only root may give a file away; anyone may pass it to a group of theirs.
    if (fchown(fd, owner, group) != 0 && attributes.group) fchown(fd, static_cast<uid_t>(-1), group);
  }
  fchmod(fd, attributes.mode);
}

namespace {

bool MoveIntoPlace(const std::string& temp, const std::string& path, Placement placement) {
  if (placement == Placement::Replace) return rename(temp.c_str(), path.c_str()) == 0;
  if (link(temp.c_str(), path.c_str()) == 0) {
    unlink(temp.c_str());
    return true;
  }
  // Linking is not offered by every file system.
  return errno != EEXIST &&
         renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0;
}

}  // namespace

bool WriteFileAtomically(const std::string& path, std::string_view text, const FileAttributes& attributes,
                         Placement placement) {
  const std::string folder = FolderOf(path);
  const std::size_t slash = path.rfind('/');
  std::string temp = folder + "/." + path.substr(slash == std::string::npos ? 0 : slash + 1) + ".tmp-XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  ApplyAttributes(fd, attributes);
  bool ok = WriteAll(fd, text) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (!ok || !MoveIntoPlace(temp, path, placement)) {
    unlink(temp.c_str());
    return false;
  }
  SyncFolder(folder);
  return true;
}

std::string OwnExecutablePath() {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer || buffer[0] != '/') return "";
  return std::string(buffer, static_cast<std::size_t>(n));
}

}  // namespace brenvik

#include "store/service_user.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <vector>

namespace brenvik {
namespace {

struct Owner {
  uid_t uid = 0;  // the user's id
  gid_t gid = 0;  // its primary group
};

bool LookUpUser(std::string_view name, Owner& owner) {
  const std::string user(name);
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return false;
  }
  owner.uid = entry.pw_uid;
  owner.gid = entry.pw_gid;
  return true;
}

// Opened without following a link, so a link planted in the folder can
// never hand over a file elsewhere.
bool GiveIfRootOwned(const std::string& path, const Owner& owner) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st {};
  const bool give = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0;
  const bool given = give && fchown(fd, owner.uid, owner.gid) == 0;
  close(fd);
  return given;
}

// Root's, and no one else may replace it or anything in it.
bool OnlyRootMayChange(const struct stat& st) {
  const bool others_write = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  return st.st_uid == 0 && (!others_write || (S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0));
}

}  // namespace

std::string ProgramRootMayRun(const std::string& path) {
  if (geteuid() != 0) return path;
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) == nullptr) return path;  // nothing there to run
  std::string real = resolved;
  struct stat st {};
  if (stat(real.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !OnlyRootMayChange(st)) return "";
  for (std::string folder = real; folder != "/";) {
    folder = folder.substr(0, std::max<std::size_t>(folder.rfind('/'), 1));
    if (stat(folder.c_str(), &st) != 0 || !OnlyRootMayChange(st)) return "";
  }
  return real;
}

int HandDatabaseToServiceUser(const std::string& folder, std::string_view name, std::string_view user) {
  Owner owner;
  if (geteuid() != 0 || !LookUpUser(user, owner)) return 0;
  std::string base = folder;
  if (!base.empty() && base.back() != '/' && !name.starts_with("/")) base += '/';
  base += name;
  int given = 0;
  for (std::string_view companion : kDatabaseCompanions) {
    if (GiveIfRootOwned(base + std::string(companion), owner)) ++given;
  }
  return given;
}

}  // namespace brenvik

#include "store/service_user.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

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

}  // namespace

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

// The three registry operations over the registry file. Readers never lock:
// writers replace the file by rename, so a reader sees the old or the new
// file whole. Writers serialise on an flock'ed lock file beside it, and a
// write that changes nothing leaves the file alone.
#include "store/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "store/files.h"
#include "store/registry_file.h"

namespace brenvik {
namespace {

namespace rf = registry_file;

constexpr std::size_t kMaxSubkey = 299;          // characters of a subkey path
constexpr std::size_t kMaxValueName = 255;       // characters of a value name
constexpr std::size_t kQueryBuffer = 256;        // bytes a read has room for, zero included
constexpr std::size_t kMaxStoredText = 2047;     // characters a write keeps
constexpr off_t kMaxFileSize = 16 * 1024 * 1024; // larger files are not ours
constexpr mode_t kNewFileMode = 0644;            // a registry file created here

// root\subkey, with stray backslashes around the subkey dropped.
std::string KeyPath(std::string_view root, std::string_view subkey) {
  while (!subkey.empty() && subkey.front() == '\\') subkey.remove_prefix(1);
  while (!subkey.empty() && subkey.back() == '\\') subkey.remove_suffix(1);
  std::string path(root);
  if (!subkey.empty()) {
    path += '\\';
    path += subkey;
  }
  return path;
}

bool NamesAcceptable(std::string_view root, std::string_view subkey, std::string_view name) {
  return !root.empty() && subkey.size() <= kMaxSubkey && name.size() <= kMaxValueName;
}

// Full-access check: the file (when present) and its folder must be writable.
bool MayWrite(const std::string& file) {
  if (access(FolderOf(file).c_str(), W_OK | X_OK) != 0) return false;
  return access(file.c_str(), F_OK) != 0 || access(file.c_str(), W_OK) == 0;
}

enum class ReadOutcome { Missing, Read, Failed };

ReadOutcome ReadWholeFile(const std::string& path, std::string& out) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? ReadOutcome::Missing : ReadOutcome::Failed;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxFileSize) {
    close(fd);
    return ReadOutcome::Failed;
  }
  out.clear();
  char buf[8192];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || out.size() + static_cast<std::size_t>(std::max<ssize_t>(n, 0)) >
                     static_cast<std::size_t>(kMaxFileSize)) {
      close(fd);
      return ReadOutcome::Failed;
    }
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  close(fd);
  return ReadOutcome::Read;
}

// Owner, group and mode of the settings file, so a rewrite keeps them.
FileAttributes AttributesOf(const std::string& file) {
  FileAttributes attributes;
  attributes.mode = kNewFileMode;
  struct stat st {};
  if (stat(file.c_str(), &st) != 0) return attributes;
  attributes.mode = st.st_mode & 07777;
  attributes.owner = st.st_uid;
  attributes.group = st.st_gid;
  return attributes;
}

// The lock file is for those who may write the settings: each class gets
// read and write on it exactly when it may write the settings file.
FileAttributes LockAttributes(FileAttributes attributes) {
  mode_t mode = 0;
  if (attributes.mode & S_IWUSR) mode |= S_IRUSR | S_IWUSR;
  if (attributes.mode & S_IWGRP) mode |= S_IRGRP | S_IWGRP;
  if (attributes.mode & S_IWOTH) mode |= S_IROTH | S_IWOTH;
  attributes.mode = mode | S_IRUSR | S_IWUSR;
  return attributes;
}

// Exclusive lock for the duration of one write; released by the destructor.
class WriterLock {
 public:
  WriterLock(const std::string& file, const FileAttributes& attributes) {
    // Read access is all flock needs, so group writers can open it too.
    fd_ = open((file + ".lock").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) return;
    ApplyAttributes(fd_, LockAttributes(attributes));
    while (flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        close(fd_);
        fd_ = -1;
        return;
      }
    }
  }
  ~WriterLock() {
    if (fd_ >= 0) close(fd_);  // closing drops the lock
  }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// A value that already holds what `change` would set needs no write access:
// a read-only reader (the service user) learns that without the lock.
template <typename Change>
bool AlreadySet(const std::string& file, std::string_view key, std::string_view name, Change change) {
  std::string text;
  if (ReadWholeFile(file, text) != ReadOutcome::Read) return false;
  const rf::Document doc = rf::Parse(text);
  const rf::Entry* found = rf::FindValue(doc, key, name);
  if (found == nullptr) return false;
  rf::Entry copy = *found;
  return !change(copy);
}

// `change` sets the entry and says whether that changed anything.
template <typename Change>
bool ChangeValue(std::string_view root, std::string_view subkey, std::string_view name, Change change) {
  if (!NamesAcceptable(root, subkey, name)) return false;
  const std::string file = RegistryFilePath();
  if (AlreadySet(file, KeyPath(root, subkey), name, change)) return true;
  if (!MakeFolders(FolderOf(file))) return false;
  const FileAttributes attributes = AttributesOf(file);
  WriterLock lock(file, attributes);
  if (!lock.held() || !MayWrite(file)) return false;

  std::string text;
  if (ReadWholeFile(file, text) == ReadOutcome::Failed) return false;  // never overwrite what could not be read
  rf::Document doc = rf::Parse(text);
  rf::Entry& entry = rf::ValueToWrite(doc, KeyPath(root, subkey), name);
  const bool is_new = entry.raw.empty();
  if (!change(entry) && !is_new) return true;  // already so: the file stays untouched
  entry.raw.clear();
  return WriteFileAtomically(file, rf::Render(doc), AttributesOf(file), Placement::Replace);
}

}  // namespace

std::string SysRoot() {
  const char* root = std::getenv("BRENVIK_SYSROOT");
  if (root == nullptr || *root == '\0') return "/";
  return root;
}

std::string RegistryFilePath() {
  std::string root = SysRoot();
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (root == "/") root.clear();
  return root + "/etc/brenvik/registry.reg";
}

std::string GETREGVALUE(std::string_view root, std::string_view subkey, std::string_view name) {
  if (!MayWrite(RegistryFilePath())) return "";
  return ReadRegistryValue(root, subkey, name);
}

std::string ReadRegistryValue(std::string_view root, std::string_view subkey, std::string_view name) {
  if (!NamesAcceptable(root, subkey, name)) return "";
  const std::string file = RegistryFilePath();
  std::string text;
  if (ReadWholeFile(file, text) != ReadOutcome::Read) return "";
  const rf::Document doc = rf::Parse(text);
  const rf::Entry* entry = rf::FindValue(doc, KeyPath(root, subkey), name);
  if (entry == nullptr) return "";

  // The stored bytes whatever the type, as a query into 256 bytes gets them.
  std::string data;
  if (entry->type == rf::ValueType::Dword) {
    for (int i = 0; i < 4; ++i) data += static_cast<char>((entry->number >> (8 * i)) & 0xFF);
  } else {
    const std::size_t stored = entry->text.size() + (entry->type == rf::ValueType::String ? 1 : 0);
    if (stored > kQueryBuffer) return "";
    data = entry->text;
  }
  return data.substr(0, data.find('\0'));
}

std::vector<int> RegistryUnparsedLines() {
  std::string text;
  if (ReadWholeFile(RegistryFilePath(), text) != ReadOutcome::Read) return {};
  return rf::Parse(text).unparsed;
}

bool SETREGVALUE(std::string_view root, std::string_view subkey, std::string_view name,
                 std::string_view text) {
  text = text.substr(0, text.find('\0'));  // the stored text ends at its zero byte
  if (text.size() > kMaxStoredText) text = text.substr(0, kMaxStoredText);
  return ChangeValue(root, subkey, name, [text](rf::Entry& e) {
    if (e.type == rf::ValueType::String && e.text == text) return false;
    e.type = rf::ValueType::String;
    e.text = std::string(text);
    return true;
  });
}

bool SETREGDWORD(std::string_view root, std::string_view subkey, std::string_view name,
                 std::uint32_t number) {
  return ChangeValue(root, subkey, name, [number](rf::Entry& e) {
    if (e.type == rf::ValueType::Dword && e.number == number) return false;
    e.type = rf::ValueType::Dword;
    e.text.clear();
    e.trailer.clear();
    e.number = number;
    return true;
  });
}

}  // namespace brenvik

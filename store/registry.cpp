// The three registry operations over the registry file. Readers never lock:
// writers replace the file by rename, so a reader sees the old or the new
// file whole. Writers serialise on an flock'ed lock file beside it.
#include "store/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <optional>

#include "store/registry_file.h"

namespace brenvik {
namespace {

namespace rf = registry_file;

constexpr std::size_t kMaxSubkey = 299;          // characters of a subkey path
constexpr std::size_t kMaxValueName = 255;       // characters of a value name
constexpr std::size_t kQueryBuffer = 256;        // bytes a read has room for, zero included
constexpr std::size_t kMaxStoredText = 2047;     // characters a write keeps
constexpr off_t kMaxFileSize = 16 * 1024 * 1024; // larger files are not ours
constexpr int kMaxAsideNames = 100;              // corrupt-<time>-<n> attempts

std::string ParentFolder(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

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
  if (access(ParentFolder(file).c_str(), W_OK | X_OK) != 0) return false;
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
    if (n < 0) {
      close(fd);
      return ReadOutcome::Failed;
    }
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
    if (out.size() > static_cast<std::size_t>(kMaxFileSize)) {
      close(fd);
      return ReadOutcome::Failed;
    }
  }
  close(fd);
  return ReadOutcome::Read;
}

bool MakeFolders(const std::string& folder) {
  if (folder.empty() || access(folder.c_str(), F_OK) == 0) return true;
  if (!MakeFolders(ParentFolder(folder))) return false;
  return mkdir(folder.c_str(), 0755) == 0 || errno == EEXIST;
}

// Exclusive lock for the duration of one write; released by the destructor.
class WriterLock {
 public:
  explicit WriterLock(const std::string& file) {
    fd_ = open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) return;
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

// Moves an unparsable file to registry.reg.corrupt-<local time>[-n].
bool KeepAside(const std::string& file) {
  std::time_t now = std::time(nullptr);
  std::tm tm {};
  localtime_r(&now, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
  std::string base = file + ".corrupt-" + stamp;
  for (int n = 1; n <= kMaxAsideNames; ++n) {
    std::string name = n == 1 ? base : base + "-" + std::to_string(n);
    if (access(name.c_str(), F_OK) == 0) continue;
    return rename(file.c_str(), name.c_str()) == 0;
  }
  return false;
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Temporary file beside the target, flushed, then renamed over it.
bool ReplaceFile(const std::string& file, const std::string& text, mode_t mode) {
  std::string tmp = file + ".tmp-XXXXXX";
  int fd = mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fchmod(fd, mode) == 0 && WriteAll(fd, text) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (!ok || rename(tmp.c_str(), file.c_str()) != 0) {
    unlink(tmp.c_str());
    return false;
  }
  int dir = open(ParentFolder(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);  // makes the rename itself durable
    close(dir);
  }
  return true;
}

template <typename Change>
bool ChangeValue(std::string_view root, std::string_view subkey, std::string_view name, Change change) {
  if (!NamesAcceptable(root, subkey, name)) return false;
  const std::string file = RegistryFilePath();
  if (!MakeFolders(ParentFolder(file))) return false;
  WriterLock lock(file);
  if (!lock.held() || !MayWrite(file)) return false;

  rf::Document doc;
  mode_t mode = 0644;
  std::string text;
  switch (ReadWholeFile(file, text)) {
    case ReadOutcome::Failed: return false;  // never overwrite what could not be read
    case ReadOutcome::Missing: break;
    case ReadOutcome::Read: {
      struct stat st {};
      if (stat(file.c_str(), &st) == 0) mode = st.st_mode & 07777;
      std::optional<rf::Document> parsed = rf::Parse(text);
      if (parsed)
        doc = std::move(*parsed);
      else if (!KeepAside(file))
        return false;
    }
  }

  std::string path = KeyPath(root, subkey);
  rf::Key* key = rf::FindKey(doc, path);
  if (key == nullptr) {
    doc.keys.push_back(rf::Key{path, {}});
    key = &doc.keys.back();
  }
  rf::Entry* entry = rf::FindValue(*key, name);
  if (entry == nullptr) {
    rf::Entry fresh;
    fresh.name = std::string(name);
    key->entries.push_back(std::move(fresh));
    entry = &key->entries.back();
  }
  change(*entry);
  return ReplaceFile(file, rf::Render(doc), mode);
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
  if (!NamesAcceptable(root, subkey, name)) return "";
  const std::string file = RegistryFilePath();
  if (!MayWrite(file)) return "";
  std::string text;
  if (ReadWholeFile(file, text) != ReadOutcome::Read) return "";
  std::optional<rf::Document> doc = rf::Parse(text);
  if (!doc) return "";  // an unparsable file reads as missing
  const rf::Key* key = rf::FindKey(*doc, KeyPath(root, subkey));
  if (key == nullptr) return "";
  const rf::Entry* entry = rf::FindValue(*key, name);
  if (entry == nullptr) return "";

  std::string data;
  if (entry->type == rf::ValueType::String) {
    if (entry->text.size() + 1 > kQueryBuffer) return "";
    data = entry->text;
  } else if (entry->type == rf::ValueType::Dword) {
    for (int i = 0; i < 4; ++i) data += static_cast<char>((entry->number >> (8 * i)) & 0xFF);
  } else {
    return "";
  }
  return data.substr(0, data.find('\0'));
}

bool SETREGVALUE(std::string_view root, std::string_view subkey, std::string_view name,
                 std::string_view text) {
  text = text.substr(0, text.find('\0'));  // the stored text ends at its zero byte
  if (text.size() > kMaxStoredText) text = text.substr(0, kMaxStoredText);
  return ChangeValue(root, subkey, name, [text](rf::Entry& e) {
    e.type = rf::ValueType::String;
    e.text = std::string(text);
  });
}

bool SETREGDWORD(std::string_view root, std::string_view subkey, std::string_view name,
                 std::uint32_t number) {
  return ChangeValue(root, subkey, name, [number](rf::Entry& e) {
    e.type = rf::ValueType::Dword;
    e.text.clear();
    e.number = number;
  });
}

}  // namespace brenvik

#include "service/service_install.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <string>

#include "service/service_texts.h"
#include "store/registry.h"

extern char** environ;

namespace brenvik {
namespace {

std::string JoinRoot(std::string_view tail) {
  std::string root = SysRoot();
  while (!root.empty() && root.back() == '/') root.pop_back();
  return root + std::string(tail);
}

std::string UnitFolderPath() { return JoinRoot(kUnitFolder); }

std::string FolderOf(std::string_view path) {
  const auto slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

// Creates the folder and its missing parents (0755); true when it exists.
bool MakeFolders(const std::string& folder) {
  struct stat st {};
  if (stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const std::string parent = FolderOf(folder);
  if (parent != folder && !MakeFolders(parent)) return false;
  return mkdir(folder.c_str(), 0755) == 0 || errno == EEXIST;
}

bool HasControlCharacter(std::string_view text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

// '%' starts a specifier in every unit setting.
std::string EscapeSpecifiers(std::string_view text) {
  std::string out;
  for (char c : text) {
    out += c;
    if (c == '%') out += '%';
  }
  return out;
}

// The program path as the first word of ExecStart: quoted when it holds
// blanks, quotes or backslashes; '$' would start a variable.
std::string ExecWord(std::string_view path) {
  bool quote = false;
  std::string body;
  for (char c : path) {
    if (c == ' ' || c == '\t' || c == '"' || c == '\'' || c == '\\') quote = true;
    if (c == '"' || c == '\\') body += '\\';
    if (c == '$') body += '$';
    body += c;
  }
  body = EscapeSpecifiers(body);
  return quote ? "\"" + body + "\"" : body;
}

bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

void SyncFolder(const std::string& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// Puts the complete text at `path` only when nothing is there yet: the
// text goes to a temporary file first, which is then linked (or renamed
// without replacing) into place, so no reader ever sees half a unit.
bool CreateFileExclusive(const std::string& path, std::string_view text) {
  const std::string folder = FolderOf(path);
  std::string temp = folder + "/." + std::string(kUnitFileName) + ".XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fchmod(fd, 0644) == 0 && WriteAll(fd, text) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (ok) {
    if (link(temp.c_str(), path.c_str()) == 0) {
      unlink(temp.c_str());
    } else if (errno != EEXIST &&
               renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) {
      // Linking is not offered by every file system.
    } else {
      ok = false;
    }
  }
  if (!ok) unlink(temp.c_str());
  if (ok) SyncFolder(folder);
  return ok;
}

// A link that "systemctl enable" made points at the unit by name.
void RemoveEnableLink() {
  const std::string link_path = UnitFolderPath() + "/" + std::string(kUnitWantedByFolder) + "/" +
                                std::string(kUnitFileName);
  char target[PATH_MAX];
  const ssize_t n = readlink(link_path.c_str(), target, sizeof target - 1);
  if (n <= 0) return;
  const std::string_view text(target, static_cast<std::size_t>(n));
  const std::string_view name = kUnitFileName;
  if (text == name || (text.size() > name.size() && text.ends_with(name) &&
                       text[text.size() - name.size() - 1] == '/')) {
    unlink(link_path.c_str());
  }
}

}  // namespace

std::string UnitFilePath() { return UnitFolderPath() + "/" + std::string(kUnitFileName); }

std::string OwnExecutablePath() {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0 || buffer[0] != '/') return "";
  return std::string(buffer, static_cast<std::size_t>(n));
}

std::string BuildUnitText(std::string_view program_path) {
  if (program_path.empty() || program_path.front() != '/' || HasControlCharacter(program_path)) {
    return "";
  }
  std::string text;
  text += "# Written by \"brenvik -install\", removed by \"brenvik -uninstall\".\n";
  text += "[Unit]\n";
  text += "Description=" + std::string(kUnitDescription) + "\n";
  text += "Wants=network-online.target\n";
  text += "After=network-online.target\n";
  text += "\n[Service]\n";
  text += "Type=notify\n";
  text += "ExecStart=" + ExecWord(program_path) + "\n";
  text += "WorkingDirectory=" + EscapeSpecifiers(FolderOf(program_path)) + "\n";
  text += "Restart=on-failure\n";
  text += "RestartSec=5\n";
  text += "\n[Install]\n";
  text += "WantedBy=multi-user.target\n";
  return text;
}

int InstallService() {
  const std::string program = OwnExecutablePath();
  const std::string text = BuildUnitText(program);
  if (text.empty()) return 0;
  const std::string path = UnitFilePath();
  if (!MakeFolders(FolderOf(path))) return 0;
  if (!CreateFileExclusive(path, text)) return 0;
  ReloadServiceManager();
  return 1;
}

int UninstallService() {
  const std::string path = UnitFilePath();
  if (unlink(path.c_str()) != 0) return 0;
  SyncFolder(FolderOf(path));
  RemoveEnableLink();
  ReloadServiceManager();
  return 1;
}

void ReloadServiceManager() {
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return;
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  std::string program = kServiceManagerCommand;
  std::string verb = kReloadVerb;
  char* argv[] = {program.data(), verb.data(), nullptr};
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return;  // no systemctl on the search path
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace brenvik

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
#include "store/files.h"
#include "store/registry.h"
#include "store/settings.h"

extern char** environ;

namespace brenvik {
namespace {

std::string JoinRoot(std::string_view tail) {
  std::string root = SysRoot();
  while (!root.empty() && root.back() == '/') root.pop_back();
  return root + std::string(tail);
}

constexpr mode_t kUnitFileMode = 0644;

std::string UnitFolderPath() { return JoinRoot(kUnitFolder); }

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

// A path as one word of a unit setting: quoted when it holds blanks, quotes
// or backslashes. In a command line '$' would start a variable.
std::string UnitWord(std::string_view path, bool in_command) {
  bool quote = false;
  std::string body;
  for (char c : path) {
    if (c == ' ' || c == '\t' || c == '"' || c == '\'' || c == '\\') quote = true;
    if (c == '"' || c == '\\') body += '\\';
    if (c == '$' && in_command) body += '$';
    body += c;
  }
  body = EscapeSpecifiers(body);
  return quote ? "\"" + body + "\"" : body;
}

std::string ExecWord(std::string_view path) { return UnitWord(path, true); }
std::string PathWord(std::string_view path) { return UnitWord(path, false); }

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

bool UsablePath(std::string_view path) {
  return !path.empty() && path.front() == '/' && !HasControlCharacter(path);
}

// The folder the service may write: WorkDir, else the folder -install was
// started in (the tool starts it in the working folder it stores).
std::string WritableFolder() {
  std::string folder = ReadRegistryValue(HKEY_LOCAL_MACHINE, kSettingsKey, setting::WorkDir);
  if (folder.empty()) {
    char here[PATH_MAX];
    if (getcwd(here, sizeof here) != nullptr) folder = here;
  }
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

// The TLS files as credentials: systemd reads them as root at each start.
UnitCredentials CredentialsFromSettings() {
  UnitCredentials credentials;
  credentials.certificate = ReadRegistryValue(HKEY_LOCAL_MACHINE, kSettingsKey, setting::TlsCertificate);
  credentials.key = ReadRegistryValue(HKEY_LOCAL_MACHINE, kSettingsKey, setting::TlsKey);
  return credentials;
}

// The path is taken to the line's end, unquoted: one that would need
// quoting gets no line (the gateway then reads the setting's path itself).
std::string CredentialLines(std::string_view name, std::string_view path) {
  if (!UsablePath(path) || path.find_first_of(" \t\"'\\") != std::string_view::npos) return "";
  const std::string id = std::string(name) + ":";
  return std::string(kUnitCredentialPrefix) + id + EscapeSpecifiers(path) + "\n" +
         std::string(kUnitCredentialDefaultPrefix) + id + std::string(kCredentialFallback) + "\n";
}

}  // namespace

std::string UnitFilePath() { return UnitFolderPath() + "/" + std::string(kUnitFileName); }

std::string BuildUnitText(std::string_view program_path, std::string_view work_folder,
                          const UnitCredentials& credentials) {
  if (!UsablePath(program_path)) return "";
  std::string text;
  text += "# Written by \"brenvik -install\", removed by \"brenvik -uninstall\".\n";
  text += "[Unit]\n";
  text += "Description=" + std::string(kUnitDescription) + "\n";
  text += "Wants=network-online.target\n";
  text += "After=network-online.target\n";
  text += "\n[Service]\n";
  text += kUnitRenewalNote;
  text += "Type=notify\n";
  text += "ExecStart=" + ExecWord(program_path) + "\n";
  text += "WorkingDirectory=" + EscapeSpecifiers(FolderOf(program_path)) + "\n";
  text += "Restart=on-failure\n";
  text += "RestartSec=5\n";
  text += kUnitSandboxHead;
  // Not "/": that would open the whole tree again.
  if (UsablePath(work_folder) && work_folder != "/") {
    text += std::string(kUnitWritablePrefix) + PathWord(work_folder) + "\n";
  }
  text += kUnitSandboxRest;
  text += CredentialLines(setting::TlsCertificate, credentials.certificate);
  text += CredentialLines(setting::TlsKey, credentials.key);
  text += "\n[Install]\n";
  text += "WantedBy=multi-user.target\n";
  return text;
}

int InstallService() {
  const std::string program = OwnExecutablePath();
  const std::string text = BuildUnitText(program, WritableFolder(), CredentialsFromSettings());
  if (text.empty()) return 0;
  const std::string path = UnitFilePath();
  if (!MakeFolders(FolderOf(path))) return 0;
  // Never replaces a unit that is there; no reader ever sees half a unit.
  FileAttributes attributes;
  attributes.mode = kUnitFileMode;
  if (!WriteFileAtomically(path, text, attributes, Placement::OnlyIfAbsent)) return 0;
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

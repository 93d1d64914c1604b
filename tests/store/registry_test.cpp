#include "store/registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "store/registry_file.h"
#include "tests/store/store_test_support.h"

namespace brenvik {
namespace {

using testing_support::ReadFile;
using testing_support::TempRoot;
using testing_support::WriteFile;

std::string Get(std::string_view name) { return GETREGVALUE(HKEY_LOCAL_MACHINE, kSettingsKey, name); }
bool Set(std::string_view name, std::string_view text) {
  return SETREGVALUE(HKEY_LOCAL_MACHINE, kSettingsKey, name, text);
}
bool Has(const std::string& text) { return ReadFile(RegistryFilePath()).find(text) != std::string::npos; }

int FilesStartingWith(const std::string& folder, const std::string& prefix) {
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator(folder))
    n += e.path().filename().string().rfind(prefix, 0) == 0;
  return n;
}

TEST(Registry, TextsAndDwordsRoundTripInTheirFileForm) {
  TempRoot root;
  EXPECT_EQ(RegistryFilePath(), root.path() + "/etc/brenvik/registry.reg");
  EXPECT_EQ(Get("RecvPort"), "");  // no file yet
  setenv("BRENVIK_SYSROOT", "", 1);
  EXPECT_EQ(RegistryFilePath(), "/etc/brenvik/registry.reg");
  setenv("BRENVIK_SYSROOT", root.path().c_str(), 1);
  const std::string tricky = "C:\\mail \"new\"\nline\ttab\x01\x7f M\xE4rz";
  struct Case {
    std::string name, text, file_line;
  } cases[] = {
      {"StatusMail", "", "[HKEY_LOCAL_MACHINE\\Software\\Vikmar]\n\"StatusMail\"=\"\"\n"},
      {"RecvPort", "2525", "\"RecvPort\"=\"2525\"\n"},
      {"Tricky", tricky, "\"Tricky\"=\"C:\\\\mail \\\"new\\\"\\nline\\ttab\\x01\\x7F M\xE4rz\"\n"},
      {"Fits", std::string(255, 'a'), ""},
      {std::string(255, 'n'), "long name", ""},
      {"TooLong", std::string(256, 'b'), "\"TooLong\"=\"" + std::string(256, 'b') + "\"\n"},  // stored, reads ""
      {"Cut", std::string(3000, 'd'), "\"Cut\"=\"" + std::string(2047, 'd') + "\"\n"},
  };
  ASSERT_TRUE(Set("StatusMail", "admin@example.com"));  // overwritten by the empty text
  for (const Case& c : cases) ASSERT_TRUE(Set(c.name, c.text)) << c.name;
  for (const Case& c : cases) {
    EXPECT_EQ(Get(c.name), c.text.size() < 256 ? c.text : "") << c.name;
    if (!c.file_line.empty()) { EXPECT_TRUE(Has(c.file_line)) << c.file_line; }
  }
  EXPECT_EQ(ReadFile(RegistryFilePath()).rfind("REGEDIT4\n", 0), 0u);
  EXPECT_FALSE(Set(std::string(256, 'n'), "x"));
  EXPECT_FALSE(SETREGVALUE(HKEY_LOCAL_MACHINE, std::string(300, 'k'), "Name", "x"));

  // A DWORD reads as its bytes, low byte first, up to the first zero byte.
  const std::string events = "SYSTEM\\Events\\Brenvik";
  ASSERT_TRUE(SETREGDWORD(HKEY_LOCAL_MACHINE, events, "TypesSupported", 7));
  ASSERT_TRUE(SETREGDWORD(HKEY_LOCAL_MACHINE, events, "Mixed", 0x00434241));
  EXPECT_EQ(GETREGVALUE(HKEY_LOCAL_MACHINE, events, "TypesSupported"), "\x07");
  EXPECT_EQ(GETREGVALUE(HKEY_LOCAL_MACHINE, events, "Mixed"), "ABC");
  EXPECT_TRUE(Has("\"TypesSupported\"=dword:00000007\n"));
}

TEST(Registry, NamesMatchWhateverTheirCaseAndKeepTheFirstSpelling) {
  TempRoot root;
  ASSERT_TRUE(SETREGVALUE(HKEY_LOCAL_MACHINE, "software\\VIKMAR", "recvhost", "10.0.0.1"));
  EXPECT_EQ(GETREGVALUE("hkey_local_machine", "Software\\Vikmar", "RECVHOST"), "10.0.0.1");
  ASSERT_TRUE(Set("RecvHost", "10.0.0.2"));
  EXPECT_EQ(ReadFile(RegistryFilePath()),
            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\software\\VIKMAR]\n\"recvhost\"=\"10.0.0.2\"\n\n");
}

TEST(Registry, WritesKeepOtherValuesKeysAndHandWrittenLines) {
  TempRoot root;
  WriteFile(RegistryFilePath(),
            "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Vikmar]\r\n; set by hand\r\n"
            "\"Logging\"=\"1\"\r\n\"Blob\"=hex:01,02\r\n\r\n[HKEY_LOCAL_MACHINE\\Other]\r\n@=\"dflt\"\r\n");
  ASSERT_TRUE(Set("RecvPort", "25"));
  EXPECT_EQ(Get("Logging"), "1");
  EXPECT_EQ(GETREGVALUE(HKEY_LOCAL_MACHINE, "Other", ""), "dflt");
  EXPECT_TRUE(Has("; set by hand\n\"Logging\"=\"1\"\n\"Blob\"=hex:01,02\n\"RecvPort\"=\"25\"\n"));
  // A hex value left continued at the end (once or twice) swallows neither a
  // new value nor a new section, and reads as before.
  for (const char* end : {"\\", "\\\\"}) {
    WriteFile(RegistryFilePath(), std::string("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Vikmar]\n\"Blob\"=hex:01,02,") + end);
    const std::string blob = Get("Blob");
    ASSERT_TRUE(Set("SendPort", "26"));
    ASSERT_TRUE(SETREGVALUE(HKEY_LOCAL_MACHINE, "Other", "x", "y"));
    EXPECT_EQ(Get("SendPort"), "26");
    EXPECT_EQ(GETREGVALUE(HKEY_LOCAL_MACHINE, "Other", "x"), "y");
    EXPECT_EQ(Get("Blob"), blob);
  }
}

// Runs `body` in a child process and returns its exit status.
template <typename Body>
int InChild(Body body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

TEST(Registry, HandWrittenSyntaxIsReadAndAnUnknownLineSpoilsOnlyItself) {
  TempRoot root;
  const std::string key = "[HKEY_LOCAL_MACHINE\\Software\\Vikmar]";
  struct Case {
    std::string line, name, read;  // a line of the key, a value it sets, what that reads
  } cases[] = {
      {"; comment line", "", ""},
      {"\"RecvPort\"=\"2525\" ; trailing comment", "RecvPort", "2525"},
      {"", "", ""},
      {"\"SendPort\"=dword:19", "SendPort", "\x19"},
      {"\"SendHost\"=hex(2):6d,78,\\\n  2e,65,78,00", "SendHost", "mx.ex"},
      {"\"Blob\"=hex:41,42 ; bytes", "Blob", "AB"},
      {"\"StatusMail\"=\"a@example.com\"", "StatusMail", "a@example.com"},
      {"\"Broken\"=\"bad \\q escape\"", "Broken", ""},
      {"\"WorkDir\"=\"/var/opt/brenvik\"", "WorkDir", "/var/opt/brenvik"},
      {"what the parser cannot read", "", ""},
      {"\"Logging\"=\"1\"", "Logging", "1"},
  };
  std::string file = "REGEDIT4\n\n" + key + "\n";
  for (const Case& c : cases) file += c.line + "\n";
  WriteFile(RegistryFilePath(), file);
  for (const Case& c : cases)
    if (!c.name.empty()) { EXPECT_EQ(Get(c.name), c.read) << c.line; }
  EXPECT_EQ(RegistryUnparsedLines(), (std::vector<int>{12, 14}));

  // Rewrites change only the line of the value they set, in every process.
  EXPECT_EQ(InChild([] { return Set("Logging", "0") && Set("Added", "x") ? 0 : 1; }), 0);
  std::string expected = file;
  expected.replace(expected.find("\"Logging\"=\"1\""), 13, "\"Logging\"=\"0\"\n\"Added\"=\"x\"");
  EXPECT_EQ(ReadFile(RegistryFilePath()), expected);
  ASSERT_TRUE(Set("RecvPort", "26"));
  EXPECT_TRUE(Has("\"RecvPort\"=\"26\" ; trailing comment\n"));
  EXPECT_EQ(RegistryUnparsedLines(), (std::vector<int>{12, 14}));
  EXPECT_EQ(FilesStartingWith(root.path() + "/etc/brenvik", "registry.reg"), 2);  // the file and its lock

  // Without its header the file is read all the same; line 1 is named.
  WriteFile(RegistryFilePath(), key + "\n\"RecvPort\"=\"2626\"\n");
  EXPECT_EQ(Get("RecvPort"), "2626");
  EXPECT_EQ(RegistryUnparsedLines(), (std::vector<int>{1}));
  WriteFile(RegistryFilePath(), "REGEDIT4\n\"RecvPort\"=\"1\"\n" + key + "\n");
  EXPECT_EQ(Get("RecvPort"), "");  // a value before any key belongs to none
  EXPECT_EQ(RegistryUnparsedLines(), (std::vector<int>{2}));
}

TEST(Registry, RepeatedSectionMergesIntoThatSameKey) {
  TempRoot root;
  const std::string events = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Brenvik";
  WriteFile(RegistryFilePath(),
            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Vikmar]\n\"RecvPort\"=\"2525\"\n\n"
            "[HKEY_LOCAL_MACHINE\\" + events + "]\n\"TypesSupported\"=dword:00000007\n\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Vikmar]\n\"RecvHost\"=\"127.0.0.2\"\n");
  EXPECT_EQ(Get("RecvHost"), "127.0.0.2");
  // An event's registration in another process files nothing under the wrong key.
  EXPECT_EQ(InChild([&] { return SETREGVALUE(HKEY_LOCAL_MACHINE, events, "EventMessageFile", "/x") ? 0 : 1; }), 0);
  ASSERT_TRUE(Set("RecvHost", "127.0.0.3"));
  EXPECT_EQ(Get("RecvHost"), "127.0.0.3");
  EXPECT_EQ(Get("RecvPort"), "2525");
  EXPECT_EQ(GETREGVALUE(HKEY_LOCAL_MACHINE, events, "RecvHost"), "");
  EXPECT_EQ(GETREGVALUE(HKEY_LOCAL_MACHINE, events, "EventMessageFile"), "/x");
  EXPECT_TRUE(Has("[HKEY_LOCAL_MACHINE\\Software\\Vikmar]\n\"RecvHost\"=\"127.0.0.3\"\n"));
}

TEST(Registry, RewriteKeepsOwnerGroupAndModeAndAnUnchangedValueKeepsTheFile) {
  TempRoot root;
  ASSERT_TRUE(Set("RecvPort", "25"));
  const std::string file = RegistryFilePath();
  struct stat before {}, after {}, lock {};
  if (geteuid() == 0) {
    // The settings belong to an administrators' group; root rewrites them.
    const std::string folder = root.path() + "/etc/brenvik";
    ASSERT_EQ(chmod(root.path().c_str(), 0755), 0);
    ASSERT_EQ(chown(folder.c_str(), 0, 65534) | chmod(folder.c_str(), 0770), 0);
    ASSERT_EQ(chown(file.c_str(), 0, 65534) | chmod(file.c_str(), 0660), 0);
    ASSERT_TRUE(Set("RecvPort", "2525"));
    ASSERT_EQ(stat(file.c_str(), &after) | stat((file + ".lock").c_str(), &lock), 0);
    EXPECT_EQ(after.st_gid, 65534u);
    EXPECT_EQ(after.st_mode & 07777, 0660u);
    EXPECT_EQ(lock.st_gid, 65534u);
    EXPECT_EQ(lock.st_mode & 07777, 0660u);
    EXPECT_EQ(InChild([] {
                if (setgid(65534) != 0 || setuid(65534) != 0) return 10;
                return Get("RecvPort") != "2525" ? 11 : Set("RecvPort", "2626") ? 0 : 12;
              }),
              0);
    EXPECT_EQ(Get("RecvPort"), "2626");
  }
  ASSERT_EQ(stat(file.c_str(), &before), 0);
  ASSERT_TRUE(Set("RecvPort", Get("RecvPort")));
  ASSERT_TRUE(SETREGDWORD(HKEY_LOCAL_MACHINE, kSettingsKey, "Types", 7));
  ASSERT_EQ(stat(file.c_str(), &after), 0);
  ASSERT_NE(after.st_ino, before.st_ino);  // a new value is a rewrite
  ASSERT_TRUE(SETREGDWORD(HKEY_LOCAL_MACHINE, kSettingsKey, "Types", 7));
  ASSERT_TRUE(Set("RecvPort", Get("RecvPort")));
  ASSERT_EQ(stat(file.c_str(), &before), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
}

TEST(Registry, ProcessThatMayNotWriteReadsEverythingEmpty) {
  TempRoot root;
  ASSERT_TRUE(Set("RecvPort", "2525"));
  chmod(root.path().c_str(), 0755);  // the unprivileged child must reach the file
  EXPECT_EQ(InChild([] {
              if (geteuid() == 0 && setuid(65534) != 0) return 10;
              if (geteuid() != 0) chmod(RegistryFilePath().c_str(), 0444);
              if (Get("RecvPort") != "") return 11;
              if (Set("RecvPort", "1")) return 12;
              // Read-only opening (the service's user): every value, and an
              // unchanged value "written" without lock or write access.
              if (ReadRegistryValue(HKEY_LOCAL_MACHINE, kSettingsKey, "RecvPort") != "2525") return 13;
              return Set("RecvPort", "2525") ? 0 : 14;
            }),
            0);
  EXPECT_EQ(Get("RecvPort"), "2525");
}

TEST(Registry, TwoProcessesWritingAtOnceKeepBothValues) {
  TempRoot root;
  constexpr int kValues = 40;
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    children[c] = fork();
    if (children[c] != 0) continue;
    close(go[1]);
    char b;
    if (read(go[0], &b, 1) != 0) _exit(3);  // released when the pipe closes
    for (int i = 0; i < kValues; ++i)
      if (!Set(std::string(1, static_cast<char>('A' + c)) + std::to_string(i), std::to_string(c * 1000 + i)))
        _exit(1);
    _exit(0);
  }
  close(go[0]);
  close(go[1]);  // both start together
  for (pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (int i = 0; i < kValues; ++i) {
    EXPECT_EQ(Get("A" + std::to_string(i)), std::to_string(i));
    EXPECT_EQ(Get("B" + std::to_string(i)), std::to_string(1000 + i));
  }
  EXPECT_EQ(FilesStartingWith(root.path() + "/etc/brenvik", ".registry.reg.tmp-"), 0);
}

}  // namespace
}  // namespace brenvik

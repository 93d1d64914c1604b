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
}

TEST(Registry, UnparsableFileIsKeptAsideBeforeAFreshOneIsWritten) {
  for (const char* line : {"\"A\"=\"bad \\q escape\"", "\"A\"=dword:123", "\"A\"=\"open", "\"A\""})
    EXPECT_FALSE(registry_file::Parse(std::string("REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n") + line + "\n")) << line;
  EXPECT_FALSE(registry_file::Parse("REGEDIT4\n\"A\"=\"value before any key\"\n"));

  TempRoot root;
  const std::string folder = root.path() + "/etc/brenvik";
  const std::string garbage = "this is no registry\n\"RecvPort\"=\"99\"\n";
  WriteFile(RegistryFilePath(), garbage);
  EXPECT_EQ(Get("RecvPort"), "");
  ASSERT_TRUE(Set("RecvHost", "mx"));
  EXPECT_EQ(Get("RecvHost"), "mx");
  ASSERT_EQ(FilesStartingWith(folder, "registry.reg.corrupt-"), 1);
  for (const auto& e : std::filesystem::directory_iterator(folder))
    if (e.path().filename().string().rfind("registry.reg.corrupt-", 0) == 0) {
      EXPECT_EQ(ReadFile(e.path().string()), garbage);
    }
  // A second broken file within the same second gets its own name.
  WriteFile(RegistryFilePath(), "[no header]\n");
  ASSERT_TRUE(Set("RecvHost", "mx2"));
  EXPECT_EQ(FilesStartingWith(folder, "registry.reg.corrupt-"), 2);
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

TEST(Registry, ProcessThatMayNotWriteReadsEverythingEmpty) {
  TempRoot root;
  ASSERT_TRUE(Set("RecvPort", "2525"));
  chmod(root.path().c_str(), 0755);  // the unprivileged child must reach the file
  EXPECT_EQ(InChild([] {
              if (geteuid() == 0 && setuid(65534) != 0) return 10;
              if (geteuid() != 0) chmod(RegistryFilePath().c_str(), 0444);
              return Get("RecvPort") != "" ? 11 : Set("RecvPort", "1") ? 12 : 0;
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
  EXPECT_EQ(FilesStartingWith(root.path() + "/etc/brenvik", "registry.reg.tmp-"), 0);
}

}  // namespace
}  // namespace brenvik

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

TEST(Registry, FileLivesBelowTheMachineRoot) {
  TempRoot root;
  EXPECT_EQ(RegistryFilePath(), root.path() + "/etc/brenvik/registry.reg");
  setenv("BRENVIK_SYSROOT", "", 1);
  EXPECT_EQ(RegistryFilePath(), "/etc/brenvik/registry.reg");
}

TEST(Registry, StringAndDwordRoundTrip) {
  TempRoot root;
  EXPECT_EQ(Get("RecvPort"), "");  // no file yet
  ASSERT_TRUE(Set("RecvPort", "2525"));
  ASSERT_TRUE(SETREGDWORD(HKEY_LOCAL_MACHINE, "SYSTEM\\Events\\Brenvik", "TypesSupported", 7));
  EXPECT_EQ(Get("RecvPort"), "2525");
  // A DWORD reads as its bytes, low byte first, up to the first zero byte.
  EXPECT_EQ(GETREGVALUE(HKEY_LOCAL_MACHINE, "SYSTEM\\Events\\Brenvik", "TypesSupported"), "\x07");
  ASSERT_TRUE(SETREGDWORD(HKEY_LOCAL_MACHINE, "SYSTEM\\Events\\Brenvik", "Mixed", 0x00434241));
  EXPECT_EQ(GETREGVALUE(HKEY_LOCAL_MACHINE, "SYSTEM\\Events\\Brenvik", "Mixed"), "ABC");

  std::string file = ReadFile(RegistryFilePath());
  EXPECT_EQ(file.rfind("REGEDIT4\n", 0), 0u);
  EXPECT_NE(file.find("[HKEY_LOCAL_MACHINE\\Software\\Vikmar]\n\"RecvPort\"=\"2525\"\n"), std::string::npos);
  EXPECT_NE(file.find("\"TypesSupported\"=dword:00000007\n"), std::string::npos);
}

TEST(Registry, ReadLimitAndStoreLimit) {
  TempRoot root;
  ASSERT_TRUE(Set("Fits", std::string(255, 'a')));
  ASSERT_TRUE(Set("TooLong", std::string(256, 'b')));
  ASSERT_TRUE(Set("Stored", std::string(2047, 'c')));
  ASSERT_TRUE(Set("Cut", std::string(3000, 'd')));
  EXPECT_EQ(Get("Fits"), std::string(255, 'a'));
  EXPECT_EQ(Get("TooLong"), "");
  EXPECT_EQ(Get("Stored"), "");

  auto doc = registry_file::Parse(ReadFile(RegistryFilePath()));
  ASSERT_TRUE(doc);
  const auto* key = registry_file::FindKey(*doc, "HKEY_LOCAL_MACHINE\\Software\\Vikmar");
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(registry_file::FindValue(*key, "TooLong")->text, std::string(256, 'b'));
  EXPECT_EQ(registry_file::FindValue(*key, "Stored")->text, std::string(2047, 'c'));
  EXPECT_EQ(registry_file::FindValue(*key, "Cut")->text, std::string(2047, 'd'));
}

TEST(Registry, EmptyTextIsStoredAndReadsEmpty) {
  TempRoot root;
  ASSERT_TRUE(Set("StatusMail", "admin@example.com"));
  ASSERT_TRUE(Set("StatusMail", ""));
  EXPECT_EQ(Get("StatusMail"), "");
  EXPECT_NE(ReadFile(RegistryFilePath()).find("\"StatusMail\"=\"\"\n"), std::string::npos);
}

TEST(Registry, NamesMatchWhateverTheirCase) {
  TempRoot root;
  ASSERT_TRUE(SETREGVALUE(HKEY_LOCAL_MACHINE, "software\\VIKMAR", "recvhost", "10.0.0.1"));
  EXPECT_EQ(GETREGVALUE("hkey_local_machine", "Software\\Vikmar", "RECVHOST"), "10.0.0.1");
  ASSERT_TRUE(Set("RecvHost", "10.0.0.2"));
  EXPECT_EQ(Get("recvHOST"), "10.0.0.2");
  // One key and one value, under the names first written.
  std::string file = ReadFile(RegistryFilePath());
  EXPECT_EQ(file, "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\software\\VIKMAR]\n\"recvhost\"=\"10.0.0.2\"\n\n");
}

TEST(Registry, EscapesKeepEveryByteAndOneValuePerLine) {
  TempRoot root;
  const std::string tricky = "C:\\mail \"new\"\nline\ttab\x01\x7f M\xE4rz";
  ASSERT_TRUE(Set("Tricky", tricky));
  ASSERT_TRUE(Set("Next", "after"));
  EXPECT_EQ(Get("Tricky"), tricky);
  EXPECT_EQ(Get("Next"), "after");
  std::string file = ReadFile(RegistryFilePath());
  EXPECT_NE(file.find("\"Tricky\"=\"C:\\\\mail \\\"new\\\"\\nline\\ttab\\x01\\x7F M\xE4rz\"\n"),
            std::string::npos)
      << file;
}

TEST(Registry, WritesKeepOtherValuesKeysAndHandWrittenLines) {
  TempRoot root;
  WriteFile(RegistryFilePath(),
            "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Vikmar]\r\n; set by hand\r\n"
            "\"Logging\"=\"1\"\r\n\"Blob\"=hex:01,02\r\n\r\n[HKEY_LOCAL_MACHINE\\Other]\r\n@=\"dflt\"\r\n");
  ASSERT_TRUE(Set("RecvPort", "25"));
  EXPECT_EQ(Get("Logging"), "1");
  EXPECT_EQ(GETREGVALUE(HKEY_LOCAL_MACHINE, "Other", ""), "dflt");
  std::string file = ReadFile(RegistryFilePath());
  EXPECT_NE(file.find("; set by hand\n\"Logging\"=\"1\"\n\"Blob\"=hex:01,02\n\"RecvPort\"=\"25\"\n"),
            std::string::npos)
      << file;
}

TEST(Registry, CorruptFileIsKeptAsideAndReadsEmpty) {
  TempRoot root;
  const std::string garbage = "this is no registry\n\"RecvPort\"=\"99\"\n";
  WriteFile(RegistryFilePath(), garbage);
  EXPECT_EQ(Get("RecvPort"), "");
  ASSERT_TRUE(Set("RecvHost", "mx"));
  EXPECT_EQ(Get("RecvHost"), "mx");

  int aside = 0;
  for (const auto& e : std::filesystem::directory_iterator(root.path() + "/etc/brenvik")) {
    if (e.path().filename().string().rfind("registry.reg.corrupt-", 0) != 0) continue;
    ++aside;
    EXPECT_EQ(ReadFile(e.path().string()), garbage);
  }
  EXPECT_EQ(aside, 1);

  // A second broken file on the same second gets its own name.
  WriteFile(RegistryFilePath(), "[no header]\n");
  ASSERT_TRUE(Set("RecvHost", "mx2"));
  aside = 0;
  for (const auto& e : std::filesystem::directory_iterator(root.path() + "/etc/brenvik"))
    aside += e.path().filename().string().rfind("registry.reg.corrupt-", 0) == 0;
  EXPECT_EQ(aside, 2);
}

TEST(Registry, BadEscapeOrDwordMakesTheFileUnparsable) {
  for (const char* line : {"\"A\"=\"bad \\q escape\"", "\"A\"=dword:123", "\"A\"=\"open", "\"A\""}) {
    std::string text = std::string("REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n") + line + "\n";
    EXPECT_FALSE(registry_file::Parse(text)) << line;
  }
  EXPECT_FALSE(registry_file::Parse("REGEDIT4\n\"A\"=\"value before any key\"\n"));
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
  int status = InChild([] {
    if (geteuid() == 0 && setuid(65534) != 0) return 10;
    if (geteuid() != 0) chmod(RegistryFilePath().c_str(), 0444);
    if (Get("RecvPort") != "") return 11;
    if (Set("RecvPort", "1")) return 12;
    return 0;
  });
  EXPECT_EQ(status, 0);
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
    if (children[c] == 0) {
      close(go[1]);
      char b;
      if (read(go[0], &b, 1) != 0) _exit(3);  // released when the pipe closes
      for (int i = 0; i < kValues; ++i)
        if (!Set(std::string(1, static_cast<char>('A' + c)) + std::to_string(i), std::to_string(c * 1000 + i)))
          _exit(1);
      _exit(0);
    }
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
  // No temporary files are left behind.
  for (const auto& e : std::filesystem::directory_iterator(root.path() + "/etc/brenvik"))
    EXPECT_EQ(e.path().filename().string().find(".tmp-"), std::string::npos);
}

TEST(Registry, OverlongNamesAreRefused) {
  TempRoot root;
  EXPECT_FALSE(Set(std::string(256, 'n'), "x"));
  EXPECT_FALSE(SETREGVALUE(HKEY_LOCAL_MACHINE, std::string(300, 'k'), "Name", "x"));
  EXPECT_TRUE(Set(std::string(255, 'n'), "x"));
  EXPECT_EQ(Get(std::string(255, 'N')), "x");
}

}  // namespace
}  // namespace brenvik

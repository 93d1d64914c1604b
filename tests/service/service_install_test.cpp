// Install and uninstall on a temporary machine root, with a recording
// systemctl first on the search path (the program itself: service_e2e_test).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

#include "service/service_install.h"

namespace brenvik {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

class InstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/brenvik-install-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    fs::create_directories(root_ / "bin");
    calls_ = root_ / "systemctl.calls";
    std::ofstream script(root_ / "bin" / "systemctl");
    script << "#!/bin/sh\necho \"$*\" >> '" << calls_.string() << "'\n";
    script.close();
    fs::permissions(root_ / "bin" / "systemctl", fs::perms::owner_all);
    old_path_ = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", ((root_ / "bin").string() + ":" + old_path_).c_str(), 1);
    setenv("BRENVIK_SYSROOT", (root_ / "machine").c_str(), 1);
    unit_ = root_ / "machine/etc/systemd/system/brenvik.service";
  }
  void TearDown() override {
    setenv("PATH", old_path_.c_str(), 1);
    unsetenv("BRENVIK_SYSROOT");
    std::error_code ignored;
    fs::permissions(unit_.parent_path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(root_, ignored);
  }
  int Reloads() {
    std::istringstream in(ReadFile(calls_));
    int count = 0;
    for (std::string line; std::getline(in, line);) {
      EXPECT_EQ(line, "daemon-reload");
      ++count;
    }
    return count;
  }

  fs::path root_, calls_, unit_;
  std::string old_path_;
};

TEST_F(InstallTest, UninstallRemovesUnitAndEnableLinkOnce) {
  ASSERT_EQ(InstallService(), 1);
  const fs::path wants = unit_.parent_path() / "multi-user.target.wants";
  fs::create_directories(wants);
  fs::create_symlink(unit_, wants / "brenvik.service");
  fs::create_symlink("/etc/systemd/system/other.service", wants / "other.service");

  EXPECT_EQ(UninstallService(), 1);
  EXPECT_FALSE(fs::exists(unit_));
  EXPECT_FALSE(fs::is_symlink(wants / "brenvik.service"));
  EXPECT_TRUE(fs::is_symlink(wants / "other.service"));
  EXPECT_EQ(Reloads(), 2);

  EXPECT_EQ(UninstallService(), 0);
  EXPECT_EQ(Reloads(), 2);
}

TEST_F(InstallTest, UnwritableUnitFolderFailsInstall) {
  if (geteuid() == 0) {
    // Root writes anyway: put a file where the folder belongs instead.
    fs::create_directories(unit_.parent_path().parent_path());
    std::ofstream(unit_.parent_path()) << "not a folder";
  } else {
    fs::create_directories(unit_.parent_path());
    fs::permissions(unit_.parent_path(), fs::perms::owner_read | fs::perms::owner_exec);
  }
  EXPECT_EQ(InstallService(), 0);
  EXPECT_EQ(UninstallService(), 0);
  EXPECT_EQ(Reloads(), 0);
}

TEST_F(InstallTest, MissingSystemctlIsNoFailure) {
  setenv("PATH", "/nonexistent", 1);
  EXPECT_EQ(InstallService(), 1);
  EXPECT_EQ(UninstallService(), 1);
}

}  // namespace
}  // namespace brenvik

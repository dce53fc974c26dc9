// Where the settings live: next to the program only in its build tree or a
// portable folder; else the user's config folder, with the repositories in
// the user's data folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "app/AppState.h"
#include "tests/support/TestUtil.h"

namespace fk {
namespace {
namespace fs = std::filesystem;

class ProgramPathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = Paths();
    unsetenv("FLASHKEEL_HOME");
    setenv("XDG_CONFIG_HOME", (dir_ / "conf").c_str(), 1);
    setenv("XDG_DATA_HOME", (dir_ / "data").c_str(), 1);
    for (const char* v : {"SUDO_UID", "SUDO_USER", "PKEXEC_UID"}) unsetenv(v);
    fs::create_directories(dir_ / "usr/bin");
    test::WriteFileBytes(dir_ / "usr/bin/flashkeel", "");
  }
  void TearDown() override {
    Paths() = saved_;
    for (const char* v : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "FLASHKEEL_HOME"}) unsetenv(v);
  }
  test::TempDir dir_{"fk-paths"};
  ProgramPaths saved_;
};

TEST_F(ProgramPathsTest, InstalledProgramUsesTheUsersFolders) {
  InitProgramPaths(dir_ / "usr/bin/flashkeel");
  EXPECT_EQ(Paths().ProgramDir, dir_ / "conf/flashkeel/");
  EXPECT_EQ(Paths().RepositoryDir, dir_ / "data/flashkeel/");
  EXPECT_TRUE(fs::is_directory(dir_ / "conf/flashkeel"));
  EXPECT_TRUE(fs::is_directory(dir_ / "data/flashkeel"));
  EXPECT_FALSE(fs::exists(dir_ / "usr/bin/flashkeel.ini"));

  setenv("FLASHKEEL_HOME", (dir_ / "home").c_str(), 1);
  InitProgramPaths(dir_ / "usr/bin/flashkeel");
  EXPECT_EQ(Paths().ProgramDir, dir_ / "home/");
  EXPECT_EQ(Paths().RepositoryDir, "");
}

TEST_F(ProgramPathsTest, PortableFolderAndBuildTreeKeepSettingsBesideTheProgram) {
  test::WriteFileBytes(dir_ / "usr/bin/flashkeel.ini", "");
  InitProgramPaths(dir_ / "usr/bin/flashkeel");
  EXPECT_EQ(Paths().ProgramDir, dir_ / "usr/bin/");
  EXPECT_EQ(Paths().RepositoryDir, "");

  fs::create_directories(dir_ / "build/cli");
  test::WriteFileBytes(dir_ / "build/CMakeCache.txt", "");
  EXPECT_TRUE(ProgramDirIsLocal(dir_ / "build/cli/"));
  EXPECT_FALSE(ProgramDirIsLocal(dir_ / "usr/"));
}

}  // namespace
}  // namespace fk

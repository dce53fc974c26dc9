// The user the program works for under sudo and pkexec, and that user's folders.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include <cstdlib>
#include <filesystem>

#include "platform/UserFolders.h"
#include "tests/support/TestUtil.h"

namespace fk::platform {
namespace {

class UserFoldersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* v : kVars) unsetenv(v);
  }
  void TearDown() override {
    for (const char* v : kVars) unsetenv(v);
  }
  static constexpr const char* kVars[] = {"SUDO_UID", "SUDO_GID", "SUDO_USER", "PKEXEC_UID",
                                          "XDG_CONFIG_HOME", "XDG_DATA_HOME", "DBUS_SESSION_BUS_ADDRESS"};
};

TEST_F(UserFoldersTest, OwnUserKeepsItsXdgFolders) {
  setenv("XDG_CONFIG_HOME", "/somewhere/conf/", 1);
  EXPECT_FALSE(GetInvokingUser().elevated);
  EXPECT_EQ(UserConfigDir(), "/somewhere/conf");
}

TEST_F(UserFoldersTest, RootWorkingForAnotherUserUsesTheirFolders) {
  if (!test::IsRoot()) GTEST_SKIP() << "sudo's variables count only for root";
  // "nobody" (65534) exists on Debian; its home is /nonexistent.
  setenv("SUDO_UID", "65534", 1);
  setenv("SUDO_USER", "root", 1);
  setenv("XDG_CONFIG_HOME", "/root/.config", 1);  // root's, kept by sudo -E: not the user's
  InvokingUser u = GetInvokingUser();
  ASSERT_TRUE(u.elevated);
  EXPECT_EQ(u.uid, 65534u);
  EXPECT_EQ(UserConfigDir(), u.home + "/.config");
  EXPECT_EQ(UserDataDir(), u.home + "/.local/share");

  // pkexec names the user the same way; root asking for itself is no other user.
  unsetenv("SUDO_UID");
  unsetenv("SUDO_USER");
  setenv("PKEXEC_UID", "65534", 1);
  EXPECT_TRUE(GetInvokingUser().elevated);
  setenv("PKEXEC_UID", "0", 1);
  EXPECT_FALSE(GetInvokingUser().elevated);

  // Files outside the user's home keep their owner.
  setenv("PKEXEC_UID", "65534", 1);
  test::TempDir dir{"fk-users"};
  const std::string file = dir / "f";
  test::WriteFileBytes(file, "x");
  EXPECT_TRUE(GiveToUser(file));
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
}

TEST_F(UserFoldersTest, SessionBusFromTheUsersRuntimeFolder) {
  test::TempDir run{"fk-run"};
  const std::string dir = run / std::to_string(GetInvokingUser().uid);
  std::filesystem::create_directories(dir);
  EXPECT_EQ(UserSessionBusAddress(run.path()), "");  // no socket
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  const std::string path = dir + "/bus";
  ASSERT_LT(path.size(), sizeof addr.sun_path);
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  EXPECT_EQ(UserSessionBusAddress(run.path()), "unix:path=" + path);
  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/elsewhere", 1);
  EXPECT_EQ(UserSessionBusAddress(run.path()), "");  // the environment still names it
  ::close(fd);
}

}  // namespace
}  // namespace fk::platform

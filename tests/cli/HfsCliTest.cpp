// flashkeel-cli hfs, run as a user runs it (only what writes nothing to the system).
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/cli/CliRun.h"

namespace fk {
namespace {

#ifdef FK_CLI_PATH

TEST(HfsCli, StatusAndAnInstallThatIsNotConfirmed) {
  test::TempDir dir{"fk-hfscli"};
  test::CliHome home(dir.path());
  auto status = home.Run("hfs status");
  EXPECT_EQ(status.rc, 0) << status.out;
  EXPECT_NE(status.out.find("HFS+ read support: not installed"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("load file /etc/modules-load.d/hfsplus.conf"), std::string::npos) << status.out;

  // No terminal to ask on and no --yes: the question is answered Cancel.
  auto install = home.Run("hfs install");
  EXPECT_EQ(install.rc, 1) << install.out;
  EXPECT_NE(install.out.find("Do you want to Install the Boot Camp HFS+ ReadOnly drivers?"), std::string::npos);
  EXPECT_NE(home.LogText().find("> InstallHFSDrivers: Cancel to Install"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir / "registry.ini"));
}

#endif

}  // namespace
}  // namespace fk

// HFS+ read support against a scratch system root: the modules-load file, the
// service keys, and modprobe (a stand-in that "loads" into a scratch
// /sys/module, and the real one, which has no hfsplus module on these kernels).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Registry.h"
#include "format/HfsDrivers.h"
#include "platform/KernelModules.h"
#include "platform/Mounts.h"
#include "platform/Process.h"
#include "tests/support/ScriptedUi.h"
#include "tests/support/TestUtil.h"

namespace fk {
namespace {
namespace fs = std::filesystem;

const char* kFailInstall = "Failed to install HFS+ drivers.";

class HfsDriversTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_ / "root");
    fs::create_directories(dir_ / "sys");
    fs::create_directories(dir_ / "modules/lib/modules/test/kernel/fs/hfsplus");
    test::WriteFileBytes(dir_ / "modules/lib/modules/test/kernel/fs/hfsplus/hfsplus.ko", "module");
    test::WriteFileBytes(dir_ / "mounts", "/dev/sda1 / ext4 rw 0 0\n");
    // Loads only from the module tree it is pointed at, as modprobe -d does.
    test::WriteFileBytes(dir_ / "modprobe",
                         "#!/bin/sh\n"
                         "echo \"$*\" >> '" + dir_ / "calls" + "'\n"
                         "[ \"$1\" = -d ] || { echo 'modprobe: no module tree' >&2; exit 1; }\n"
                         "root=$2; shift 2\n"
                         "if [ \"$1\" = -r ]; then rmdir '" + dir_ / "sys" + "'/$2; exit $?; fi\n"
                         "[ -f \"$root/lib/modules/test/kernel/fs/$1/$1.ko\" ] || "
                         "{ echo \"modprobe: FATAL: Module $1 not found in directory $root/lib/modules/test\" >&2; "
                         "exit 1; }\n"
                         "mkdir '" + dir_ / "sys" + "'/$1\n");
    ::chmod((dir_ / "modprobe").c_str(), 0755);
    platform::ModuleSetup s;
    s.systemRoot = dir_ / "root";
    s.moduleRoot = dir_ / "modules";
    s.modprobe = dir_ / "modprobe";
    s.mountsFile = dir_ / "mounts";
    s.sysModuleDir = dir_ / "sys";
    platform::SetModuleSetup(s);
    SetRegistryFile(dir_ / "registry.ini");
    ui_ = std::make_shared<ScriptedUi>();
    SetUi(ui_);
    SetLogMirror(true);
  }
  void TearDown() override {
    SetLogMirror(false);
    SetUi(nullptr);
    SetRegistryFile("");
    platform::SetModuleSetup({});
  }
  std::string LoadFile() const { return dir_ / "root/etc/modules-load.d/hfsplus.conf"; }
  bool Loaded() const { return fs::exists(dir_ / "sys/hfsplus"); }
  bool AnyKey() const { return Reg_KeyExists(KeyAppleHFS) || Reg_KeyExists(KeyAppleMNT); }
  std::string Calls() const { return test::ReadFileBytes(dir_ / "calls"); }
  std::string LastBoxText() const { return ui_->Boxes().empty() ? "" : ui_->Boxes().back().text; }

  test::TempDir dir_{"fk-hfs"};
  std::shared_ptr<ScriptedUi> ui_;
};

TEST_F(HfsDriversTest, InstallLoadsWritesFileAndKeysAndUninstallRemovesAll) {
  EXPECT_EQ(DriverExists(), 0);
  EXPECT_TRUE(ui_->ControlEnabled(Control::Menu_InstallHFSDrivers));

  ASSERT_EQ(InstallHFSDrivers(), 1);
  auto boxes = ui_->Boxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].title, "Boot Camp HFS+ ReadOnly drivers");
  EXPECT_EQ(boxes[1].title, "WARNING");
  EXPECT_EQ(boxes[1].text, "To complete the install HFS+ drivers, you need to restart the computer.");
  EXPECT_NE(test::ReadFileBytes(LoadFile()).find("\nhfsplus\n"), std::string::npos);
  EXPECT_TRUE(Loaded());
  EXPECT_EQ(Calls(), "-d " + (dir_ / "modules") + " hfsplus\n");
  EXPECT_EQ(Reg_GetValue(KeyAppleHFS, "Type"), "2");
  EXPECT_EQ(Reg_GetValue(KeyAppleHFS, "Group"), "File System");
  EXPECT_EQ(Reg_GetValue(KeyAppleMNT, "Group"), "System Bus Extender");
  EXPECT_EQ(Reg_GetValue(KeyAppleMNT, "Type"), "1");
  EXPECT_EQ(DriverExists(), 1);
  EXPECT_TRUE(HfsDriverStatus().Installed());
  EXPECT_FALSE(ui_->ControlEnabled(Control::Menu_InstallHFSDrivers));
  EXPECT_TRUE(ui_->ControlEnabled(Control::Menu_UnInstallHFSDrivers));
  EXPECT_TRUE(LogMirrorContains("> DriverExists: " + LoadFile()));

  ASSERT_EQ(UnInstallHFSDrivers(), 1);
  EXPECT_EQ(LastBoxText(), "To complete the remove HFS drivers, you need to restart the computer.");
  EXPECT_FALSE(fs::exists(LoadFile()));
  EXPECT_FALSE(AnyKey());
  EXPECT_FALSE(Loaded());  // nothing of type hfsplus was mounted
  EXPECT_TRUE(ui_->ControlEnabled(Control::Menu_InstallHFSDrivers));
  EXPECT_FALSE(ui_->ControlEnabled(Control::Menu_UnInstallHFSDrivers));
}

TEST_F(HfsDriversTest, DeclinedInstallTouchesNothing) {
  ui_->QueueAnswer(MsgAnswer::Cancel);
  EXPECT_EQ(InstallHFSDrivers(), 1);
  EXPECT_EQ(ui_->Boxes().size(), 1u);
  EXPECT_FALSE(fs::exists(dir_ / "calls"));
  EXPECT_FALSE(fs::exists(LoadFile()));
  EXPECT_FALSE(AnyKey());
}

TEST_F(HfsDriversTest, UninstallKeepsTheModuleWhileAnHfsVolumeIsMounted) {
  ASSERT_EQ(InstallHFSDrivers(), 1);
  test::WriteFileBytes(dir_ / "mounts", "/dev/sdb2 /media/rec hfsplus ro 0 0\n");
  ASSERT_EQ(UnInstallHFSDrivers(), 1);
  EXPECT_FALSE(fs::exists(LoadFile()));
  EXPECT_FALSE(AnyKey());
  EXPECT_TRUE(Loaded());
  EXPECT_EQ(Calls().find("-r"), std::string::npos);
}

TEST_F(HfsDriversTest, UnwritableRootFailsWithAMessageAndLeavesNothing) {
  // "etc" is a file: modules-load.d cannot be made, whoever runs the test.
  test::WriteFileBytes(dir_ / "root/etc", "");
  EXPECT_EQ(InstallHFSDrivers(), 0);
  EXPECT_EQ(ui_->Boxes().back().title, "Error");
  EXPECT_EQ(LastBoxText().rfind(kFailInstall, 0), 0u);
  EXPECT_NE(LastBoxText().find("modules-load.d"), std::string::npos);
  EXPECT_FALSE(AnyKey());
  EXPECT_FALSE(Loaded());  // loaded by this run, so unloaded again
  EXPECT_EQ(DriverExists(), 0);
}

TEST_F(HfsDriversTest, KeysThatCannotBeStoredUndoTheInstall) {
  SetRegistryFile(dir_ / "no-such-dir/registry.ini");
  EXPECT_EQ(InstallHFSDrivers(), 0);
  EXPECT_EQ(LastBoxText().rfind(kFailInstall, 0), 0u);
  EXPECT_TRUE(LogMirrorContains("> InstallHFSDrivers: Error RegCreateKey"));
  EXPECT_FALSE(fs::exists(LoadFile()));
  EXPECT_FALSE(Loaded());
}

TEST_F(HfsDriversTest, HalfAnInstallReadsAsNotInstalledAndCanBeRemoved) {
  ASSERT_TRUE(platform::WriteModulesLoadFile("hfsplus", nullptr));
  ASSERT_EQ(Reg_CreateKey(KeyAppleHFS), 1);
  EXPECT_EQ(DriverExists(), 0);
  EXPECT_TRUE(ui_->ControlEnabled(Control::Menu_InstallHFSDrivers));
  EXPECT_TRUE(LogMirrorContains(std::string("> KeyNotExists: ") + KeyAppleMNT));
  EXPECT_FALSE(HfsDriverStatus().Installed());

  EXPECT_EQ(UnInstallHFSDrivers(), 1);
  EXPECT_FALSE(fs::exists(LoadFile()));
  EXPECT_FALSE(AnyKey());

  // Keys alone (no load file) are half an install as well.
  ASSERT_EQ(Reg_CreateKey(KeyAppleHFS), 1);
  ASSERT_EQ(Reg_CreateKey(KeyAppleMNT), 1);
  EXPECT_EQ(DriverExists(), 0);
  EXPECT_EQ(UnInstallHFSDrivers(), 1);
  EXPECT_FALSE(AnyKey());

  // Nothing installed: nothing to remove.
  EXPECT_EQ(UnInstallHFSDrivers(), 0);
  EXPECT_EQ(LastBoxText().rfind("Failed to remove HFS+ drivers.", 0), 0u);
}

TEST_F(HfsDriversTest, KernelWithoutTheModuleGetsAClearMessageAndNothingWritten) {
  if (platform::KernelHasFileSystem("hfsplus") || test::Sh("modprobe -n hfsplus") == 0)
    GTEST_SKIP() << "this kernel has an hfsplus module; the real modprobe would load it";
  if (!test::HaveProgram("modprobe")) GTEST_SKIP() << "no modprobe";
  platform::ModuleSetup s = platform::GetModuleSetup();
  s.moduleRoot.clear();
  s.modprobe = "modprobe";
  s.sysModuleDir = "/sys/module/";
  platform::SetModuleSetup(s);

  EXPECT_EQ(InstallHFSDrivers(), 0);
  EXPECT_EQ(ui_->Boxes().back().title, "Error");
  EXPECT_EQ(LastBoxText().rfind(std::string(kFailInstall) + "\r\nThe kernel module hfsplus cannot be loaded: ", 0), 0u)
      << LastBoxText();
  EXPECT_NE(LastBoxText().find("not found"), std::string::npos) << LastBoxText();
  EXPECT_FALSE(fs::exists(dir_ / "root/etc"));
  EXPECT_FALSE(AnyKey());
}

}  // namespace
}  // namespace fk

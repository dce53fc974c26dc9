// One command makes the whole drive: Clover on the first partition, a Recovery
// HD volume on the second, and the first partition still boots.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/boot/BootHarness.h"
#include "tests/support/AppleImages.h"
#include "tests/support/ImageCheck.h"
#include "tests/support/TestUtil.h"

namespace fk::boottest {
namespace {

TEST(RecoveryHdDriveBoot, CloverBootsBesideTheRecoveryHd) {
  for (const char* tool : {"qemu-system-x86_64", "nasm", "mkfs.fat", "mcopy", "7zz", "xorriso"})
    if (!test::HaveProgram(tool)) GTEST_SKIP() << tool << " is not installed";
  test::TempDir dir("fkrecboot");
  const std::string payload = MakePayload(dir.path(), PayloadOptions{0x200, 0x2000, false, 20000, "BOOT"});
  ASSERT_FALSE(payload.empty());
  const std::string zip =
      test::MakeZip(dir / "set.zip", {{"boot", payload}, {"EFI/CLOVER/config.plist", "<plist/>"}});
  std::filesystem::create_directories(dir / "vol/System/Library/CoreServices");
  test::WriteFileBytes(dir / "vol/System/Library/CoreServices/boot.efi", std::string(300000, 'e'));
  std::string error;
  const std::string volume = test::MakeHfsVolume(dir / "vol", "Recovery HD", &error);
  ASSERT_FALSE(volume.empty()) << error;
  test::WriteFileBytes(dir / "rec.hfs", volume);
  std::filesystem::create_directories(dir / "home");
  test::WriteFileBytes(dir / "home/flashkeel.ini", "[Data Settings]\r\nLogEnable = 1\r\n");

  const std::string img = dir / "drive.img";
  std::string out;
  ASSERT_EQ(test::Sh("FLASHKEEL_HOME=" + test::Quote(dir / "home") + " " + test::Quote(FK_CLI_PATH) +
                         " format --image " + test::Quote(img) + " --size 512M --boot-size 200 --data-set local:" +
                         test::Quote(zip) + " --recovery-hd " + test::Quote(dir / "rec.hfs") + " --yes </dev/null",
                     &out),
            0)
      << out;
  const std::string disk = test::ReadFileBytes(img);
  const auto entries = test::ReadMbrEntries(disk.substr(0, 512));
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[1].type, 0xAF);
  EXPECT_TRUE(disk.substr(uint64_t{entries[1].start} * 512, volume.size()) == volume);

  QemuResult q = RunQemu(dir.path(), img, QemuRun{});
  EXPECT_EQ(q.exitCode, kPayloadOk) << q.serial;
  EXPECT_NE(q.serial.find("PAYLOAD OK BOOT\r\n"), std::string::npos) << q.serial;
}

}  // namespace
}  // namespace fk::boottest

// Boots disk images prepared by the program's own disk-layout and format code
// (new MBR, formatter, type correction, boot records) in QEMU.
#include <gtest/gtest.h>

#include <span>
#include <string>

#include "app/AppState.h"
#include "app/Ui.h"
#include "format/DiskLayout.h"
#include "format/FormatService.h"
#include "tests/boot/BootHarness.h"
#include "tests/support/TestUtil.h"

namespace fk::boottest {
namespace {

std::span<const uint8_t> Bytes(const char* name) {
  const BootTemplate* t = FindBootTemplate(name);
  return t ? std::span<const uint8_t>(t->data, t->size) : std::span<const uint8_t>();
}

class PreparedDiskBoot : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    for (const char* tool : {"qemu-system-x86_64", "nasm", "mkfs.fat", "mcopy"})
      if (!test::HaveProgram(tool)) GTEST_SKIP() << tool << " is not installed";
    ResetSharedFlags();
    SetPauseFunction([](int) {});
  }
  void TearDown() override { SetPauseFunction(nullptr); }
  test::TempDir dir_{"fkprep"};
};

TEST_P(PreparedDiskBoot, BootsThroughTheInstalledBootRecords) {
  const std::string bootRecords = GetParam();
  const bool freedos = bootRecords == "FreeDos";
  const BootRecordSet set = ChooseBootRecords(bootRecords, "FAT32-LBA");
  const std::string image = dir_ / "disk.img";
  const int64_t size = 160ll << 20;
  test::MakeSparseFile(image, size);

  PT pt;
  {
    auto disk = FileSectorDevice::Open(image, 0, true, nullptr);
    ASSERT_EQ(ClearMBRGPT(*disk, size, 512), 1);
    ASSERT_EQ(MakePartitionTable({size, 512, 63, size / (255 * 63 * 512) * 255 * 63}, {"2048", 0, 0}, pt), 1);
    ASSERT_EQ(WriteNewMBR(*disk, pt, Bytes(set.MBRTemplate.c_str()), 512), 1);
  }
  const uint32_t start = pt.PartitionTable[0].StartingSector;
  const std::string root = image + "@@" + std::to_string(int64_t{start} * 512);
  ASSERT_EQ(FormatDriveEx(root, "FAT32", freedos ? "FREEDOS" : "CLOVER", 1, 0), 1);
  {
    auto disk = FileSectorDevice::Open(image, 0, true, nullptr);
    ASSERT_EQ(CorrectPartitionType(*disk, set.FileSystem, 512), 1);
    auto volume = FileSectorDevice::Open(image, int64_t{start} * 512, true, nullptr);
    ASSERT_EQ(InstallBootRecords(*volume, {set.FileSystem, Bytes(set.PBRTemplate.c_str()), set.PBRSectors, 512, ""}),
              1);
  }

  // The FreeDOS kernel is loaded at 0060:0000, Clover's BOOT at 2000:0200.
  const PayloadOptions payloadOpts =
      freedos ? PayloadOptions{0, 0x60, true, 20000, "KERNEL"} : PayloadOptions{0x200, 0x2000, false, 20000, "BOOT"};
  const std::string payload = dir_ / "payload";
  test::WriteFileBytes(payload, MakePayload(dir_.path(), payloadOpts));
  ASSERT_TRUE(Mtools(image, start, "mcopy", {payload, freedos ? "::/KERNEL.SYS" : "::/BOOT"}));

  QemuResult r = RunQemu(dir_.path(), image, QemuRun{});
  EXPECT_EQ(r.exitCode, kPayloadOk) << r.serial;
  EXPECT_NE(r.serial.find("PAYLOAD OK " + payloadOpts.tag + "\r\n"), std::string::npos) << r.serial;
}

INSTANTIATE_TEST_SUITE_P(BootRecordSets, PreparedDiskBoot, ::testing::Values("Clover", "FreeDos"));

}  // namespace
}  // namespace fk::boottest

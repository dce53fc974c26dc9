#include <gtest/gtest.h>

#include <cstring>

#include "disk/DiskList.h"
#include "format/BootCode.h"
#include "format/DiskLayout.h"
#include "format/FormatService.h"
#include "tests/format/FormatFixture.h"

namespace fk {
namespace {

using test::FormatTest;

TEST_F(FormatTest, BootRecordSetsFollowBootRecordsAndFileSystem) {
  BootRecordSet s = ChooseBootRecords("Clover", "exFAT");
  EXPECT_EQ(s.MBRTemplate, "boot0");
  EXPECT_EQ(s.PBRTemplate, "boot1xalt");
  EXPECT_EQ(s.PBRSectors, 2);
  s = ChooseBootRecords("Clover", "FAT32");
  EXPECT_EQ(s.PBRTemplate, "boot1f32alt");
  EXPECT_EQ(s.PBRSectors, 1);
  s = ChooseBootRecords("FreeDos", "exFAT");
  EXPECT_EQ(s.MBRTemplate, "USB-HDD+");
  EXPECT_EQ(s.PBRTemplate, "Fat32LBA");
  EXPECT_EQ(s.FileSystem, "FAT32-LBA");
  s = ChooseBootRecords("Windows", "exFAT");
  EXPECT_EQ(s.MBRTemplate, "USB-HDD+");
  EXPECT_EQ(s.PBRSectors, 0);
}

// The whole sequence of a format run on a disk image, through the disk layer's
// handles and the embedded boot code.
class ImageDiskRun : public FormatTest, public ::testing::WithParamInterface<const char*> {
 protected:
  void TearDown() override {
    ClearImageDisks();
    SetEnableFixedDisksSource(nullptr);
    FormatTest::TearDown();
  }
};

TEST_P(ImageDiskRun, PreparesABootableVolume) {
  const std::string fs = GetParam();
  const bool exfat = fs == "exFAT";
  if (exfat && !test::IsRoot()) GTEST_SKIP() << "exFAT on an image needs root for the loop device";
  if (!test::HaveProgram(exfat ? "mkfs.exfat" : "mkfs.fat")) GTEST_SKIP() << "formatter missing";
  test::TempDir dir;
  const std::string img = dir / "stick.img";
  test::MakeSparseFile(img, 256 << 20);
  SetEnableFixedDisksSource([] { return true; });
  ASSERT_TRUE(AddImageDisk(img));
  UpdateAllDrives();
  int index = -1;
  for (std::size_t i = 0; i < AllDrives.size(); ++i)
    if (AllDrives[i].DevicePath == img) index = static_cast<int>(i);
  ASSERT_GE(index, 0);
  ASSERT_EQ(SelectDisk(index, 0), 1);
  ASSERT_EQ(CurrentDisk.DevicePath, img);  // never any other disk

  const BootRecordSet set = ChooseBootRecords("Clover", fs);
  PT pt;
  {
    DriveHandle disk = GetDriveHandle(CurrentDisk.DiskNumber, "", true, true);
    ASSERT_TRUE(disk);
    ASSERT_EQ(ClearMBRGPT(disk, CurrentDisk.Geometry.DiskSize, CurrentDisk.Geometry.BytesPerSector), 1);
    PartitionOptions o;
    o.StartLBASector = "2048";
    o.MultiPartitions = 1;
    o.BootPartitionSize = 200;
    ASSERT_EQ(MakePartitionTable(pt, o), 1);
    ASSERT_EQ(WriteNewMBR(disk, pt, set.MBRTemplate), 1);
  }
  UpdateAllDrives();
  ASSERT_EQ(SelectDisk(index, 0), 1);
  const std::string root = VolumeAccessName(CurrentDisk, 0);
  ASSERT_FALSE(root.empty());

  ASSERT_EQ(FormatDriveEx(root, exfat ? "exFAT" : "FAT32", "CLOVER", 1, 0), 1);
  {
    DriveHandle disk = GetDriveHandle(CurrentDisk.DiskNumber, "", true, true);
    ASSERT_TRUE(disk);
    ASSERT_EQ(CorrectPartitionType(disk, set.FileSystem), 1);
  }
  ASSERT_EQ(InstallBootRecords(root, set.FileSystem, set.PBRTemplate, "Clover"), 1);
  EXPECT_TRUE(ui_->HasStatus("Clover boot records installed"));
  EXPECT_TRUE(LogMirrorContains("> Success open volume " + root + " for PBR access"));

  const std::string all = test::ReadImage(img);
  const BootTemplate* mbr = FindBootTemplate("boot0");
  const BootTemplate* pbr = FindBootTemplate(set.PBRTemplate);
  ASSERT_TRUE(mbr && pbr);
  EXPECT_EQ(0, std::memcmp(all.data(), mbr->data, 0x1B8));
  EXPECT_EQ(static_cast<uint8_t>(all[0x1C2]), exfat ? 0x07 : 0x0C);
  EXPECT_EQ(static_cast<uint8_t>(all[0x1D2]), 0x06);
  const std::string vol = all.substr(2048 * 512, 24 * 512);
  const std::size_t header = exfat ? 120 : 90;
  EXPECT_EQ(0, std::memcmp(vol.data() + header, pbr->data + header, pbr->size - header));
  if (!exfat) {
    EXPECT_EQ(0, std::memcmp(vol.data(), pbr->data, 3));
  }

  std::string out;
  const std::string part = test::ExtractPartition(img, pt, dir / "p.img");
  EXPECT_EQ(test::Sh(std::string(exfat ? "fsck.exfat -n " : "fsck.fat -n ") + part + " 2>&1", &out), 0) << out;
  if (!exfat && test::HaveProgram("mcopy")) {
    test::WriteFileBytes(dir / "BOOT", "loader");
    EXPECT_EQ(test::Sh("MTOOLS_SKIP_CHECK=1 mcopy -i " + root + " " + (dir / "BOOT") + " ::/BOOT 2>&1", &out), 0)
        << out;
    EXPECT_EQ(test::Sh("MTOOLS_SKIP_CHECK=1 mtype -i " + root + " ::/BOOT 2>&1", &out), 0);
    EXPECT_EQ(out, "loader");
  }
}

INSTANTIATE_TEST_SUITE_P(FileSystems, ImageDiskRun, ::testing::Values("FAT32-LBA", "exFAT"));

}  // namespace
}  // namespace fk

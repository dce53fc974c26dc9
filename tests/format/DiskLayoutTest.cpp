#include <gtest/gtest.h>

#include <cstring>

#include "disk/DiskList.h"
#include "format/DiskLayout.h"
#include "format/FormatService.h"
#include "tests/format/FormatFixture.h"

namespace fk {
namespace {

// The sequence of a format run on a disk image, through the disk layer's
// handles and the embedded boot code: wipe, new MBR, format, type correction,
// boot records.
class ImageDiskRun : public test::FormatTest, public ::testing::WithParamInterface<const char*> {
 protected:
  void TearDown() override {
    ClearImageDisks();
    SetEnableFixedDisksSource(nullptr);
    FormatTest::TearDown();
  }
};

TEST_P(ImageDiskRun, PreparesAVolumeWithBootRecords) {
  const std::string fs = GetParam();
  const bool exfat = fs == "exFAT";
  if (exfat && !test::IsRoot()) GTEST_SKIP() << "exFAT on an image needs root for the loop device";
  if (!test::HaveProgram(exfat ? "fsck.exfat" : "fsck.fat")) GTEST_SKIP() << "formatter missing";
  test::TempDir dir;
  const std::string img = dir / "stick.img";
  test::MakeSparseFile(img, 256 << 20);
  SetEnableFixedDisksSource([] { return true; });
  ASSERT_TRUE(AddImageDisk(img));
  // Other test programs attach loop devices meanwhile, which renumbers the
  // disks: find the image by its path after every rebuild.
  auto selectImage = [&] {
    UpdateAllDrives();
    for (std::size_t i = 0; i < AllDrives.size(); ++i)
      if (AllDrives[i].DevicePath == img) return SelectDisk(static_cast<int>(i), 0);
    return 0;
  };
  ASSERT_EQ(selectImage(), 1);
  ASSERT_EQ(CurrentDisk.DevicePath, img);  // never any other disk

  const BootRecordSet set = ChooseBootRecords("Clover", fs);
  PT pt;
  {
    DriveHandle disk = GetDriveHandle(CurrentDisk.DiskNumber, "", true, true);
    ASSERT_TRUE(disk);
    ASSERT_EQ(ClearMBRGPT(disk, CurrentDisk.Geometry.DiskSize, CurrentDisk.Geometry.BytesPerSector), 1);
    ASSERT_EQ(MakePartitionTable(pt, {"2048", 1, 200}), 1);
    ASSERT_EQ(WriteNewMBR(disk, pt, set.MBRTemplate), 1);
  }
  ASSERT_EQ(selectImage(), 1);
  ASSERT_EQ(CurrentDisk.DevicePath, img);
  const std::string root = VolumeAccessName(CurrentDisk, 0);

  ASSERT_EQ(FormatDriveEx(root, exfat ? "exFAT" : "FAT32", "Clover", 1, 0), 1);
  EXPECT_TRUE(ui_->HasStatus("Creating file system"));
  EXPECT_EQ(ui_->StatusTexts().back(), "Creating file system completed");
  EXPECT_TRUE(LogMirrorContains("> Format completed"));
  EXPECT_EQ(static_cast<uint8_t>(test::ReadImage(img, 0x1C2, 1)[0]), exfat ? 0x07 : 0x0B);
  const std::string formatted = test::ReadImage(img, 2048 * 512, 512);
  {
    DriveHandle disk = GetDriveHandle(CurrentDisk.DiskNumber, "", true, true);
    ASSERT_EQ(CorrectPartitionType(disk, set.FileSystem), 1);
  }
  ASSERT_EQ(InstallBootRecords(root, set.FileSystem, set.PBRTemplate, "Clover"), 1);
  EXPECT_TRUE(ui_->HasStatus("Clover boot records installed"));

  const std::string mbr = test::ReadImage(img, 0, 512);
  EXPECT_EQ(0, std::memcmp(mbr.data(), test::Template("boot0").data(), 0x1B8));
  EXPECT_EQ(static_cast<uint8_t>(mbr[0x1C2]), exfat ? 0x07 : 0x0C);
  EXPECT_EQ(static_cast<uint8_t>(mbr[0x1D2]), 0x06);  // the second partition stays as created
  const std::string vol = test::ReadImage(img, 2048 * 512, 24 * 512);
  const auto pbr = test::Template(set.PBRTemplate.c_str());
  if (exfat) {
    EXPECT_EQ(test::At<uint64_t>(formatted, 64), 2048u);  // PartitionOffset
    EXPECT_EQ(static_cast<uint8_t>(formatted[111]), 0x80);
    for (int region : {0, 12}) {
      EXPECT_EQ(vol.substr(region * 512, 120), formatted.substr(0, 120)) << region;
      EXPECT_EQ(0, std::memcmp(vol.data() + region * 512 + 120, pbr.data() + 120, 1024 - 120)) << region;
    }
    const uint32_t sum =
        __builtin_bswap32(exFATBootChecksum(reinterpret_cast<const uint8_t*>(vol.data()), 11 * 512));
    for (int sector : {11, 23})
      for (int i = 0; i < 128; ++i) ASSERT_EQ(test::At<uint32_t>(vol, sector * 512 + i * 4), sum) << sector;
  } else {
    EXPECT_EQ(0, std::memcmp(vol.data(), pbr.data(), 3));  // the template's jump
    EXPECT_EQ(vol.substr(3, 87), formatted.substr(3, 87));  // the formatter's BPB
    EXPECT_EQ(0, std::memcmp(vol.data() + 90, pbr.data() + 90, 512 - 90));
    EXPECT_EQ(vol.substr(6 * 512, 512), vol.substr(0, 512));  // backup boot sector
    EXPECT_EQ(test::At<uint32_t>(vol, 28), 2048u);            // hidden sectors
    EXPECT_EQ(test::At<uint16_t>(vol, 24), 63);
    EXPECT_EQ(test::At<uint16_t>(vol, 26), 255);
    EXPECT_EQ(static_cast<uint8_t>(vol[64]), 0x80);
    EXPECT_EQ(vol.substr(71, 11), "CLOVER     ");
    EXPECT_EQ(static_cast<uint8_t>(vol[13]), 4);  // 2 KiB clusters for 200 MB
  }

  std::string out;
  const std::string part = test::ExtractPartition(img, pt, dir / "p.img");
  EXPECT_EQ(test::Sh(std::string(exfat ? "fsck.exfat -n " : "fsck.fat -n ") + part + " 2>&1", &out), 0) << out;
}

INSTANTIATE_TEST_SUITE_P(FileSystems, ImageDiskRun, ::testing::Values("FAT32-LBA", "exFAT"));

}  // namespace
}  // namespace fk

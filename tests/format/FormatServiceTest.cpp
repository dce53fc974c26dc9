#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "format/FormatService.h"
#include "tests/format/FormatFixture.h"

namespace fk {
namespace {

using test::FormatTest;

TEST_F(FormatTest, CallbackReportsAndFailsAsTabled) {
  const uint32_t percent = 42;
  EXPECT_EQ(FormatExCallback(FCC_PROGRESS, 0, &percent), 1);
  EXPECT_TRUE(ui_->HasStatus("Formatting: 42 %"));
  EXPECT_TRUE(LogMirrorContains("> Formatting: 42 %"));
  EXPECT_EQ(FormatExCallback(FCC_DONE_WITH_STRUCTURE, 0, nullptr), 1);
  EXPECT_EQ(FormatExCallback(FCC_OUTPUT, 0, nullptr), 1);
  EXPECT_TRUE(LogMirrorContains("> FCC_DONE_WITH_STRUCTURE."));
  EXPECT_TRUE(LogMirrorContains("> FMIFS_OutPut"));
  const std::size_t shown = ui_->Progress().size();
  const std::size_t logged = TakeLogMirror().size();
  EXPECT_GT(logged, 0u);
  EXPECT_EQ(FormatExCallback(FCC_IGNORED_17, 0, nullptr), 1);
  EXPECT_TRUE(TakeLogMirror().empty());
  EXPECT_EQ(ui_->Progress().size(), shown);
  EXPECT_EQ(FormatStatus.load(), 0);

  const uint8_t ok = 1, bad = 0;
  EXPECT_EQ(FormatExCallback(FCC_DONE, 0, &ok), 1);
  EXPECT_TRUE(ui_->HasStatus("Creating file system completed"));
  EXPECT_TRUE(LogMirrorContains("> Creating file system completed."));

  struct Case {
    int code;
    const char* text;
  };
  for (const Case& c : {Case{3, "Incompatible File System"}, Case{6, "Access denied"},
                        Case{7, "Media is write protected"}, Case{8, "Volume is in use"},
                        Case{9, "Cannot quick format this volume"}, Case{12, "Bad label"},
                        Case{16, "Unsupported cluster size"}, Case{18, "Volume is too small"},
                        Case{19, "Volume is too big"}, Case{20, "No media in drive"}}) {
    FormatStatus = 0;
    EXPECT_EQ(FormatExCallback(c.code, 0, nullptr), 0) << c.code;
    EXPECT_EQ(FormatStatus.load(), 1) << c.code;
    EXPECT_TRUE(ui_->HasStatus(c.text)) << c.code;
    EXPECT_TRUE(LogMirrorContains(std::string("> ") + c.text + ".")) << c.code;
  }
  FormatStatus = 0;
  EXPECT_EQ(FormatExCallback(FCC_DONE, 0, &bad), 0);
  EXPECT_TRUE(ui_->HasStatus("Error while formatting"));
  FormatStatus = 0;
  EXPECT_EQ(FormatExCallback(2, 0, nullptr), 0);
  EXPECT_TRUE(LogMirrorContains("> FormatExCallback: received unhandled command = 2"));

  // Once cancelled, every report stops the format without showing anything.
  const std::size_t before = ui_->Progress().size();
  EXPECT_EQ(FormatExCallback(FCC_PROGRESS, 0, &percent), 0);
  EXPECT_EQ(ui_->Progress().size(), before);
}

TEST_F(FormatTest, ToolMessagesMapToCallbackCodes) {
  EXPECT_EQ(FormatErrorFromToolOutput("mkfs.fat: Label can be no longer than 11 characters"), FCC_BAD_LABEL);
  EXPECT_EQ(FormatErrorFromToolOutput("input string is too long\nexFAT format fail!"), FCC_BAD_LABEL);
  EXPECT_EQ(FormatErrorFromToolOutput("Bad number of sectors per cluster : 3"), FCC_UNSUPPORTED_CLUSTER_SIZE);
  EXPECT_EQ(FormatErrorFromToolOutput("WARNING: Number of clusters for 32 bit FAT is less then suggested minimum."),
            FCC_VOLUME_TOO_SMALL);
  EXPECT_EQ(FormatErrorFromToolOutput("boundary alignment is too big\nexFAT format fail!"), FCC_VOLUME_TOO_SMALL);
  EXPECT_EQ(FormatErrorFromToolOutput("Too many clusters for filesystem - try more sectors per cluster"),
            FCC_UNSUPPORTED_CLUSTER_SIZE);
  EXPECT_EQ(FormatErrorFromToolOutput("mkfs.fat: unable to open /dev/sdx: Read-only file system"),
            FCC_MEDIA_WRITE_PROTECTED);
  EXPECT_EQ(FormatErrorFromToolOutput("unable to open /dev/sdx: Permission denied"), FCC_ACCESS_DENIED);
  EXPECT_EQ(FormatErrorFromToolOutput("unable to open /dev/sdx: Device or resource busy"), FCC_VOLUME_IN_USE);
  EXPECT_EQ(FormatErrorFromToolOutput("something else went wrong"), 0);
}

TEST_F(FormatTest, Fat32QuickFormatOnImageFile) {
  if (!test::HaveProgram("mkfs.fat") || !test::HaveProgram("fsck.fat")) GTEST_SKIP() << "dosfstools missing";
  test::TempDir dir;
  const std::string img = dir / "disk.img";
  const PT pt = test::MakeImageWithMbr(img, 80 << 20, "63");
  ASSERT_EQ(FormatDriveEx(test::RangeName(img, pt), "FAT32", "efi boot", 1, 0), 1);
  EXPECT_TRUE(ui_->HasStatus("Creating file system"));
  EXPECT_TRUE(ui_->HasStatus("Formatting: 100 %"));
  EXPECT_EQ(ui_->StatusTexts().back(), "Creating file system completed");
  EXPECT_TRUE(LogMirrorContains("> Format completed"));
  EXPECT_TRUE(LogMirrorContains("> FormatDriveEx(" + test::RangeName(img, pt) + ",0,FAT32,efi boot,1,0,"));

  const std::string all = test::ReadImage(img);
  const std::string bs = all.substr(63 * 512, 512);
  EXPECT_EQ(test::U32At(bs, 28), 63u);
  EXPECT_EQ(test::U16At(bs, 11), 512);
  EXPECT_EQ(static_cast<uint8_t>(bs[13]), 2);  // 1 KiB clusters below 128 MB
  EXPECT_EQ(bs.substr(71, 11), "EFI BOOT   ");
  EXPECT_EQ(bs.substr(82, 8), "FAT32   ");
  EXPECT_EQ(static_cast<uint8_t>(all[0x1C2]), 0x0B);
  std::string out;
  EXPECT_EQ(test::Sh("fsck.fat -n " + test::ExtractPartition(img, pt, dir / "p.img") + " 2>&1", &out), 0) << out;
}

TEST_F(FormatTest, FormatFailuresReportTheirCode) {
  if (!test::HaveProgram("mkfs.fat")) GTEST_SKIP() << "dosfstools missing";
  test::TempDir dir;
  const std::string img = dir / "disk.img";
  const PT pt = test::MakeImageWithMbr(img, 80 << 20);
  const std::string root = test::RangeName(img, pt);

  EXPECT_EQ(FormatDriveEx(root, "FAT32", "A*B", 1, 0), 0);
  EXPECT_TRUE(ui_->HasStatus("Bad label"));
  EXPECT_TRUE(LogMirrorContains("> Format error drive " + root));
  EXPECT_EQ(FormatStatus.load(), 1);

  FormatStatus = 0;
  EXPECT_EQ(FormatDriveEx(root, "FAT32", "X", 1, 3000), 0);
  EXPECT_TRUE(ui_->HasStatus("Unsupported cluster size"));

  FormatStatus = 0;
  EXPECT_EQ(FormatDriveEx(root, "HFS+", "X", 1, 0), 0);
  EXPECT_TRUE(ui_->HasStatus("Incompatible File System"));

  FormatStatus = 0;
  SetFormatProgram("FAT32", "mkfs.fk-missing-tool");
  EXPECT_EQ(FormatDriveEx(root, "FAT32", "X", 1, 0), 0);
  SetFormatProgram("FAT32", "");
  EXPECT_TRUE(ui_->HasStatus("Incompatible File System"));
  EXPECT_TRUE(ui_->HasStatusContaining("mkfs.fk-missing-tool not found"));
  EXPECT_TRUE(ui_->HasStatusContaining("dosfstools"));

  FormatStatus = 0;
  EXPECT_EQ(FormatDriveEx(img + "@@4096", "FAT32", "X", 1, 0), 0);  // no partition there
  EXPECT_TRUE(ui_->HasStatus("Error while formatting"));

  // 20 MB cannot hold the clusters FAT32 needs.
  FormatStatus = 0;
  const std::string small = dir / "small.img";
  const PT spt = test::MakeImageWithMbr(small, 20 << 20);
  EXPECT_EQ(FormatDriveEx(test::RangeName(small, spt), "FAT32", "X", 1, 0), 0);
  EXPECT_TRUE(ui_->HasStatus("Volume is too small"));
}

// Cancels the run once the zeroing has reached a given percentage.
class CancellingUi : public ScriptedUi {
 public:
  void DrawProgress(const std::string& text, int percent) override {
    ScriptedUi::DrawProgress(text, percent);
    int p = 0;
    if (std::sscanf(text.c_str(), "Formatting: %d %%", &p) == 1 && p >= 30 && cancelledAt < 0) {
      cancelledAt = p;
      FormatStatus = 1;
    }
  }
  int cancelledAt = -1;
};

TEST_F(FormatTest, FullFormatZeroesWithProgressAndCancels) {
  if (!test::HaveProgram("mkfs.fat")) GTEST_SKIP() << "dosfstools missing";
  test::TempDir dir;
  const std::string img = dir / "disk.img";
  const PT pt = test::MakeImageWithMbr(img, 96 << 20);
  const int64_t start = pt.PartitionTable[0].StartingSector * int64_t{512};
  const int64_t length = pt.PartitionTable[0].NumberOfSects * int64_t{512};
  // Old data in the partition.
  {
    std::string junk(length, '\x5A');
    auto dev = FileSectorDevice::Open(img, start, true, nullptr);
    ASSERT_EQ(dev->WriteSectors(512, 0, length / 512, junk.data()), length);
  }

  auto ui = std::make_shared<CancellingUi>();
  SetUi(ui);
  EXPECT_EQ(FormatDriveEx(test::RangeName(img, pt), "FAT32", "X", 0, 0), 0);
  EXPECT_TRUE(LogMirrorContains("> Format error drive "));
  ASSERT_GE(ui->cancelledAt, 30);
  EXPECT_LT(ui->cancelledAt, 40);
  EXPECT_EQ(ui->StatusTexts().back(), "Formatting: " + std::to_string(ui->cancelledAt) + " %");
  EXPECT_FALSE(ui->HasStatus("Creating file system"));
  std::string all = test::ReadImage(img);
  EXPECT_EQ(all.substr(start, 512), std::string(512, '\0'));   // zeroing had begun ...
  EXPECT_EQ(all[start + length - 1], '\x5A');                  // ... and stopped, no tool run

  // Uncancelled: the whole partition is zeroed before the file system is made.
  FormatStatus = 0;
  SetUi(ui_);
  ASSERT_EQ(FormatDriveEx(test::RangeName(img, pt), "FAT32", "X", 0, 0), 1);
  int progressTexts = 0;
  for (const auto& t : ui_->StatusTexts()) progressTexts += t.rfind("Formatting: ", 0) == 0;
  EXPECT_GT(progressTexts, 50);
  all = test::ReadImage(img);
  EXPECT_EQ(all.substr(start + length - 4096, 4096), std::string(4096, '\0'));
  // Past the boot sectors, FATs and root directory nothing of the old data is left.
  EXPECT_EQ(all.find('\x5A', start + (1 << 20)), std::string::npos);
}

TEST_F(FormatTest, NtfsAndUdfOnLoopDevices) {
  if (!test::IsRoot()) GTEST_SKIP() << "needs root for loop devices";
  test::TempDir dir;
  if (test::HaveProgram("mkfs.ntfs")) {
    const std::string img = dir / "ntfs.img";
    const PT pt = test::MakeImageWithMbr(img, 64 << 20);
    ASSERT_EQ(FormatDriveEx(test::RangeName(img, pt), "NTFS", "DATA", 1, 0), 1);
    const std::string all = test::ReadImage(img);
    const std::string bs = all.substr(2048 * 512, 512);
    EXPECT_EQ(bs.substr(3, 8), "NTFS    ");
    EXPECT_EQ(test::U32At(bs, 28), 2048u);
    EXPECT_EQ(static_cast<uint8_t>(all[0x1C2]), 0x07);
  }
  if (test::HaveProgram("mkudffs")) {
    FormatStatus = 0;
    const std::string img = dir / "udf.img";
    const PT pt = test::MakeImageWithMbr(img, 32 << 20);
    ASSERT_EQ(FormatDriveEx(test::RangeName(img, pt), "UDF", "DATA", 1, 0), 1);
    const std::string all = test::ReadImage(img);
    EXPECT_EQ(all.substr(2048 * 512 + 32768 + 1, 5), "BEA01");  // volume recognition sequence
    EXPECT_EQ(static_cast<uint8_t>(all[0x1C2]), 0x06);
  }
}

TEST_F(FormatTest, VolumesResolveFromRangeNamesAndPromptHookIsANoOp) {
  test::TempDir dir;
  const std::string img = dir / "disk.img";
  const PT pt = test::MakeImageWithMbr(img, 16 << 20, "2048", 4);
  VolumeLocation loc;
  std::string err;
  ASSERT_TRUE(ResolveVolume(test::RangeName(img, pt, 1), &loc, &err)) << err;
  EXPECT_EQ(loc.diskPath, img);
  EXPECT_EQ(loc.mbrSlot, 1);
  EXPECT_EQ(loc.startSector, pt.PartitionTable[1].StartingSector);
  EXPECT_EQ(loc.sectors, pt.PartitionTable[1].NumberOfSects);
  EXPECT_TRUE(loc.diskIsFile);
  EXPECT_FALSE(ResolveVolume(img + "@@1000", &loc, &err));  // not a sector boundary
  EXPECT_FALSE(ResolveVolume(img, &loc, &err));             // a file, not a partition
  EXPECT_FALSE(ResolveVolume("/dev/null", &loc, &err));

  EXPECT_EQ(SetFormatPromptHook(), 1);
  EXPECT_TRUE(LogMirrorContains("> SetFormatPromptHook: "));
  ClrFormatPromptHook();
}

}  // namespace
}  // namespace fk

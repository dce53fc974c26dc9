#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

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
  const std::size_t shown = ui_->Progress().size();
  TakeLogMirror();
  EXPECT_EQ(FormatExCallback(FCC_IGNORED_17, 0, nullptr), 1);
  EXPECT_EQ(FormatExCallback(FCC_DONE_WITH_STRUCTURE, 0, nullptr), 1);
  EXPECT_EQ(FormatExCallback(FCC_OUTPUT, 0, nullptr), 1);
  EXPECT_EQ(TakeLogMirror(), (std::vector<std::string>{"> FCC_DONE_WITH_STRUCTURE.", "> FMIFS_OutPut"}));
  EXPECT_EQ(ui_->Progress().size(), shown);
  const uint8_t bad = 0;

  for (auto [code, text] : std::vector<std::pair<int, std::string>>{
           {3, "Incompatible File System"}, {6, "Access denied"}, {7, "Media is write protected"},
           {8, "Volume is in use"}, {9, "Cannot quick format this volume"}, {12, "Bad label"},
           {16, "Unsupported cluster size"}, {18, "Volume is too small"}, {19, "Volume is too big"},
           {20, "No media in drive"}, {FCC_DONE, "Error while formatting"}}) {
    EXPECT_EQ(test::RunAsOperation([&] { EXPECT_EQ(FormatExCallback(code, 0, &bad), 0) << code; }).outcome,
              OpOutcome::Failed)
        << code;
    EXPECT_TRUE(ui_->HasStatus(text)) << code;
    EXPECT_TRUE(LogMirrorContains("> " + text + ".")) << code;
  }
  test::RunAsOperation([&] {
    EXPECT_EQ(FormatExCallback(2, 0, nullptr), 0);
    EXPECT_TRUE(LogMirrorContains("> FormatExCallback: received unhandled command = 2"));

    // Once stopped, every report stops the format without showing anything.
    const std::size_t before = ui_->Progress().size();
    EXPECT_EQ(FormatExCallback(FCC_PROGRESS, 0, &percent), 0);
    EXPECT_EQ(ui_->Progress().size(), before);
  });
}

TEST_F(FormatTest, FormatFailuresReportTheirCode) {
  if (!test::HaveProgram("mkfs.fat")) GTEST_SKIP() << "dosfstools missing";
  test::TempDir dir;
  const std::string img = dir / "disk.img";
  const PT pt = test::MakeImageWithMbr(img, 80 << 20);
  const std::string root = test::RangeName(img, pt);

  const std::string small = dir / "small.img";  // 20 MB cannot hold the clusters FAT32 needs
  const std::string smallRoot = test::RangeName(small, test::MakeImageWithMbr(small, 20 << 20));
  struct Case {
    std::string root, fs, label;
    int cluster;
    std::string status;
  };
  for (const Case& c : {Case{root, "FAT32", "A*B", 0, "Bad label"},
                        Case{root, "FAT32", "X", 3000, "Unsupported cluster size"},
                        Case{root, "HFS+", "X", 0, "Incompatible File System"},
                        Case{img + "@@4096", "FAT32", "X", 0, "Error while formatting"},  // no partition there
                        Case{smallRoot, "FAT32", "X", 0, "Volume is too small"}}) {
    EXPECT_EQ(test::RunAsOperation([&] {
                EXPECT_EQ(FormatDriveEx(c.root, c.fs, c.label, 1, c.cluster), 0) << c.status;
              }).outcome,
              OpOutcome::Failed);
    EXPECT_EQ(ui_->StatusTexts().back(), c.status);
    EXPECT_TRUE(LogMirrorContains("> Format error drive " + c.root)) << c.status;
  }
  SetFormatProgram("FAT32", "mkfs.fk-missing-tool");
  EXPECT_EQ(FormatDriveEx(root, "FAT32", "X", 1, 0), 0);
  SetFormatProgram("FAT32", "");
  EXPECT_TRUE(ui_->HasStatus("Incompatible File System"));
  EXPECT_EQ(ui_->StatusTexts().back(), "Error: mkfs.fk-missing-tool not found, please install the package dosfstools");
}

TEST(FormatToolOutput, ALabelTheToolRefusesIsALabelProblem) {
  // mkntfs with a label longer than NTFS takes.
  EXPECT_EQ(FormatErrorFromToolOutput("Cluster size has been automatically set to 4096 bytes.\n"
                                      "Creating NTFS volume structures.\n"
                                      "Couldn't create $Volume: File name too long\n"),
            FCC_BAD_LABEL);
  EXPECT_EQ(FormatErrorFromToolOutput("mkudffs: Error: Option --label is too long\n"), FCC_BAD_LABEL);
  EXPECT_EQ(FormatErrorFromToolOutput("The cluster size is invalid. It must be a power of two.\n"),
            FCC_UNSUPPORTED_CLUSTER_SIZE);
  EXPECT_EQ(FormatErrorFromToolOutput("Cluster size has been automatically set to 4096 bytes.\n"
                                      "Error writing to /dev/loop0: Input/output error\n"),
            0);
}

// Cancels the run once the zeroing has reached a given percentage.
class CancellingUi : public ScriptedUi {
 public:
  void DrawProgress(const std::string& text, int percent) override {
    ScriptedUi::DrawProgress(text, percent);
    int p = 0;
    if (std::sscanf(text.c_str(), "Formatting: %d %%", &p) == 1 && p >= 30 && cancelledAt < 0) {
      cancelledAt = p;
      test::CancelThisOperation();
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
  std::string junk(length, '\x5A');  // old data in the partition
  ASSERT_EQ(FileSectorDevice::Open(img, start, true, nullptr)->WriteSectors(512, 0, length / 512, junk.data()), length);

  auto ui = std::make_shared<CancellingUi>();
  SetUi(ui);
  EXPECT_EQ(test::RunAsOperation([&] { EXPECT_EQ(FormatDriveEx(test::RangeName(img, pt), "FAT32", "X", 0, 0), 0); })
                .outcome,
            OpOutcome::Cancelled);
  EXPECT_TRUE(LogMirrorContains("> Format error drive "));
  ASSERT_GE(ui->cancelledAt, 30);
  EXPECT_LT(ui->cancelledAt, 40);
  EXPECT_EQ(ui->StatusTexts().back(), "Formatting: " + std::to_string(ui->cancelledAt) + " %");
  EXPECT_FALSE(ui->HasStatus("Creating file system"));
  EXPECT_EQ(test::ReadImage(img, start, 512), std::string(512, '\0'));  // zeroing had begun ...
  EXPECT_EQ(test::ReadImage(img, start + length - 1, 1), "\x5A");        // ... and stopped

  // Uncancelled: the whole partition is zeroed before the file system is made.
  SetUi(ui_);
  ASSERT_EQ(FormatDriveEx(test::RangeName(img, pt), "FAT32", "X", 0, 0), 1);
  int progressTexts = 0;
  for (const auto& t : ui_->StatusTexts()) progressTexts += t.rfind("Formatting: ", 0) == 0;
  EXPECT_GT(progressTexts, 50);
  // Past the boot sectors, FATs and root directory nothing of the old data is left.
  EXPECT_EQ(test::ReadImage(img, start + (1 << 20)).find('\x5A'), std::string::npos);
}

TEST_F(FormatTest, NtfsAndUdfOnLoopDevices) {
  if (!test::IsRoot() || !test::HaveProgram("mkfs.ntfs") || !test::HaveProgram("mkudffs"))
    GTEST_SKIP() << "needs root for loop devices, ntfs-3g and udftools";
  test::TempDir dir;
  const std::string img = dir / "disk.img";
  const PT pt = test::MakeImageWithMbr(img, 64 << 20, "2048", 40);
  ASSERT_EQ(FormatDriveEx(test::RangeName(img, pt, 0), "NTFS", "DATA", 1, 0), 1);
  ASSERT_EQ(FormatDriveEx(test::RangeName(img, pt, 1), "UDF", "DATA", 1, 0), 1);
  const std::string all = test::ReadImage(img);
  EXPECT_EQ(all.substr(2048 * 512 + 3, 8), "NTFS    ");
  EXPECT_EQ(test::At<uint32_t>(all, 2048 * 512 + 28), 2048u);  // hidden sectors
  EXPECT_EQ(static_cast<uint8_t>(all[0x1C2]), 0x07);
  const int64_t udf = int64_t{pt.PartitionTable[1].StartingSector} * 512;
  EXPECT_EQ(all.substr(udf + 32768 + 1, 5), "BEA01");  // volume recognition sequence
  EXPECT_EQ(static_cast<uint8_t>(all[0x1D2]), 0x06);
}

}  // namespace
}  // namespace fk

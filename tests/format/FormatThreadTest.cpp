// The format run in this process on disk images: FreeDOS with a data-set pack
// given at run time, cancels where the run polls for them, a disk changed
// while the confirmation was open, failures that must not end "All done",
// and the program's exit during a run.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "app/AppState.h"
#include "app/Settings.h"
#include "app/Utilities.h"
#include "format/BootCode.h"
#include "format/PackWriter.h"
#include "format/Packs.h"
#include "tests/format/FormatFixture.h"
#include "tests/support/FormatRun.h"
#include "tests/support/ImageCheck.h"
#include "tests/support/TestUtil.h"

namespace fk::test {
namespace {

constexpr int64_t kImageSize = 160ll << 20;

std::string TemplateBytes(const char* name) {
  const BootTemplate* t = FindBootTemplate(name);
  return t ? std::string(reinterpret_cast<const char*>(t->data), t->size) : std::string();
}

class FormatThreadRun : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"mkfs.fat", "fsck.fat", "mcopy", "mattrib"})
      if (!HaveProgram(tool)) GTEST_SKIP() << tool << " is not installed";
    run_.disk = dir_ / "disk.img";
    run_.workDir = dir_ / "work";
    MakeSparseFile(run_.disk, kImageSize);
  }
  void TearDown() override {
    RegisterPack(kPackFreeDosDataSet, "");
    ResetSettings();
  }

  // The run ended (cancelled or failed, as expected) and let everything go.
  void ExpectEndedAndClosed(const FormatRunResult& r, OpOutcome outcome) {
    EXPECT_EQ(r.result, 0);
    EXPECT_STREQ(OutcomeName(r.op.outcome), OutcomeName(outcome)) << r.op.message;
    EXPECT_EQ(r.log.find("> All done"), std::string::npos) << r.log;
    EXPECT_FALSE(ui_->HasStatus("All done"));
    EXPECT_FALSE(GetRunner().AnyRunning());
    EXPECT_EQ(format_op_in_progress.load() + FormatStatus.load() + CancelMainThread.load(), 0);
    EXPECT_EQ(OpenDescriptorsOn(run_.disk), 0);
  }

  TempDir dir_{"fkrun"};
  FormatRunOptions run_;
  std::shared_ptr<HookedUi> ui_ = std::make_shared<HookedUi>();
};

TEST_F(FormatThreadRun, FreeDosInstallsItsPackAndForcesFat32Lba) {
  run_.bootRecords = "FreeDos";
  run_.fileSystem = "exFAT";
  run_.label = "FREEDOS";

  // A build without the pack refuses the run before anything is written.
  const std::string blank = ReadImage(run_.disk, 0, kImageSize);
  FormatRunResult r = RunFormat(run_, ui_);
  ASSERT_TRUE(r.selected);
  EXPECT_TRUE(ui_->HasStatus(std::string("Error : ") + kNoFreeDosDataSetText));
  ExpectEndedAndClosed(r, OpOutcome::Failed);
  EXPECT_TRUE(ReadImage(run_.disk, 0, kImageSize) == blank);

  const std::string pack = dir_ / "pack";
  std::filesystem::create_directories(pack + "/FDOS");
  WriteFileBytes(pack + "/KERNEL.SYS", std::string(45000, 'k'));
  WriteFileBytes(pack + "/FDCONFIG.SYS", "SHELL=COMMAND.COM\r\n");
  WriteFileBytes(pack + "/FDOS/README.TXT", "test pack\r\n");
  std::string data, err;
  ASSERT_TRUE(MakePack(pack, &data, &err)) << err;
  RegisterPack(kPackFreeDosDataSet, data);

  ui_ = std::make_shared<HookedUi>();
  r = RunFormat(run_, ui_);
  ASSERT_EQ(r.result, 1) << r.log;
  EXPECT_EQ(Cfg().FileSystem, "FAT32-LBA") << "the forced file system reaches the saved settings";
  EXPECT_TRUE(ui_->HasStatus("FreeDos Data set files Installed"));
  EXPECT_EQ(MissingInOrder(r.log, {"> FreeDos_Format Starting ...", "> FormatThread Boot_records$ = FreeDos",
                                   "> Phase 1 Success open Disk", "> Phase 5 Success open Disk",
                                   "> UnlockClose hPhysicalDrive = ", "> All done"}),
            "")
      << r.log;
  const auto boxes = ui_->Boxes();
  ASSERT_EQ(boxes.size(), 2u);  // not USB, then the confirmation
  EXPECT_EQ(boxes[1].title, "WARNING");
  EXPECT_NE(boxes[1].text.find("MBR:\tUSB-HDD+ (UltraISO)\r\nPBR:\tFat32LBA(FreeDos)\r\n"
                               "Align:\tto flash block (2048 sects)\r\nFS:\tFAT32-LBA\r\n"),
            std::string::npos)
      << boxes[1].text;

  const std::string disk = ReadFileBytes(run_.disk);
  EXPECT_EQ(disk.substr(0, 440), TemplateBytes("USB-HDD+").substr(0, 440));
  const auto e = ReadMbrEntries(disk.substr(0, 512));
  EXPECT_EQ(e[0].flag, 0x80);
  EXPECT_EQ(e[0].type, 0x0C);
  EXPECT_EQ(e[0].start, 2048u);
  EXPECT_EQ(e[1].type, 0);
  const std::string vbr = disk.substr(2048 * 512, 512);
  EXPECT_EQ(vbr.substr(90), TemplateBytes("Fat32LBA").substr(90, 422)) << "Fat32LBA code after the BPB";
  std::string out;
  EXPECT_EQ(FsckPartition(run_.disk, e[0], false, dir_.path(), &out), 0) << out;
  for (const char* f : {"KERNEL.SYS", "FDCONFIG.SYS", "FDOS/README.TXT"}) {
    std::string back;
    ASSERT_TRUE(FatReadFile(run_.disk, 2048, f, &back)) << f;
    EXPECT_EQ(back, ReadFileBytes(pack + "/" + f)) << f;
  }
  EXPECT_EQ(FatAttributes(run_.disk, 2048, ".metadata_never_index"), "");
}

// Cancel where the run polls it: while clearing (the new MBR is still written,
// then the format fails) and while formatting. Both end at the common end with
// the handles closed.
TEST_F(FormatThreadRun, CancelDuringClearOrFormatEndsWithHandlesClosed) {
  for (const std::string trigger : {"Create PartitionTable", "Formatting Drive "}) {
    SCOPED_TRACE(trigger);
    MakeSparseFile(run_.disk, 0);
    MakeSparseFile(run_.disk, kImageSize);
    ui_ = std::make_shared<HookedUi>();
    ui_->onStatus = [&](const std::string& text) {
      if (text.rfind(trigger, 0) == 0) CancelThisOperation();
    };
    FormatRunResult r = RunFormat(run_, ui_);
    ASSERT_TRUE(r.selected);
    ExpectEndedAndClosed(r, OpOutcome::Cancelled);
    EXPECT_EQ(MissingInOrder(r.log, {"> Phase 1 Success open Disk", "> Finish UnlockClose hPhysicalDrive = ",
                                     "> Phase 5 Success open Disk", "> Error FormatDrive ",
                                     "> Finish UnlockClose hPhysicalDrive = "}),
              "")
        << r.log;
    const std::string disk = ReadImage(run_.disk, 0, 2049 * 512);
    EXPECT_EQ(disk.substr(0, 440), TemplateBytes("boot0").substr(0, 440)) << "the new MBR is written";
    EXPECT_EQ(disk.substr(2048 * 512, 512), std::string(512, '\0')) << "the partition was not formatted";
  }
}

// Nothing is written when, while the question was open, the disk was resized
// (a stick swapped for another) or Cancel was pressed and the question then
// answered OK.
TEST_F(FormatThreadRun, ChangeOrCancelDuringConfirmationWritesNothing) {
  for (const bool resize : {true, false}) {
    SCOPED_TRACE(resize ? "resized" : "cancelled");
    MakeSparseFile(run_.disk, 0);
    MakeSparseFile(run_.disk, kImageSize);
    ui_ = std::make_shared<HookedUi>();
    ui_->onBox = [&](const std::string& title) {
      if (title != "WARNING") return;
      if (resize)
        MakeSparseFile(run_.disk, kImageSize + (64 << 20));
      else
        CancelThisOperation();
    };
    FormatRunResult r = RunFormat(run_, ui_);
    ASSERT_TRUE(r.selected);
    ExpectEndedAndClosed(r, resize ? OpOutcome::Failed : OpOutcome::Cancelled);
    EXPECT_NE(r.log.find(resize ? "changed after the confirmation" : "Cancelled before the first write"),
              std::string::npos)
        << r.log;
    EXPECT_EQ(r.log.find("> Phase 1"), std::string::npos) << r.log;
    EXPECT_EQ(ReadImage(run_.disk, 0, 4 << 20), std::string(4 << 20, '\0'));
  }
}

// Not_Format writes only to the disk confirmed too: a disk that changed while
// the question was open keeps its volume as it was.
TEST_F(FormatThreadRun, NotFormatOnADiskChangedDuringConfirmationWritesNothing) {
  run_.dataSet = "";
  FormatRunResult r = RunFormat(run_, ui_);
  ASSERT_EQ(r.result, 1) << r.log;
  run_.bootRecords = "Not_Format";
  run_.dataSet = MakeZip(dir_ / "set.zip", {{"EFI/CLOVER/config.plist", "<plist/>\n"}});
  ui_ = std::make_shared<HookedUi>();
  ui_->onBox = [&](const std::string& title) {
    if (title == "WARNING") ::truncate(run_.disk.c_str(), kImageSize + (64 << 20));
  };
  const std::string before = ReadImage(run_.disk, 0, kImageSize);
  r = RunFormat(run_, ui_);
  ASSERT_TRUE(r.selected);
  ExpectEndedAndClosed(r, OpOutcome::Failed);
  EXPECT_EQ(r.op.message, "Error : The selected disk has changed. Nothing was written.");
  EXPECT_NE(r.log.find("changed after the confirmation"), std::string::npos) << r.log;
  EXPECT_TRUE(ReadImage(run_.disk, 0, kImageSize) == before);
}

// A data set that is no archive: the run is refused before the disk is touched.
TEST_F(FormatThreadRun, UnusableDataSetIsRefusedBeforeAnyWrite) {
  run_.dataSet = dir_ / "broken.zip";
  WriteFileBytes(run_.dataSet, "this is not an archive");
  const std::string blank = ReadImage(run_.disk, 0, kImageSize);
  FormatRunResult r = RunFormat(run_, ui_);
  ASSERT_TRUE(r.selected);
  ExpectEndedAndClosed(r, OpOutcome::Failed);
  EXPECT_TRUE(ui_->HasStatus("Error : The data set is not a readable ZIP archive"));
  EXPECT_EQ(r.log.find("> Phase 1"), std::string::npos) << r.log;
  EXPECT_TRUE(ReadImage(run_.disk, 0, kImageSize) == blank);
}

// The data set's copy onto the volume draws the transfer line from 0 % to a
// closing line of all its bytes; a cancel seen during the copy stops it
// before the next batch of files and the run ends cancelled.
TEST_F(FormatThreadRun, DataSetCopyShowsProgressAndStopsAtACancel) {
  // Two folders of 3 MiB: two batches of the copy.
  std::vector<std::pair<std::string, std::string>> files = {{"boot", "Clover revision: 5151\n"}};
  int64_t total = static_cast<int64_t>(files[0].second.size());
  for (const char* folder : {"EFI/A", "EFI/B"}) {
    for (int i = 0; i < 12; ++i) {
      files.push_back({std::string(folder) + "/f" + std::to_string(i) + ".bin", std::string(256 << 10, 'a' + i)});
      total += 256 << 10;
    }
  }
  run_.dataSet = MakeZip(dir_ / "set.zip", files);
  auto isCopyLine = [](const std::string& text) {
    return text.find(" Remain: ") != std::string::npos || text.find(" Done") != std::string::npos;
  };

  FormatRunResult r = RunFormat(run_, ui_);
  ASSERT_EQ(r.result, 1) << r.log;
  std::vector<std::pair<std::string, int>> copy;
  for (const auto& p : ui_->Progress())
    if (isCopyLine(p.first)) copy.push_back(p);
  ASSERT_GE(copy.size(), 2u);
  EXPECT_EQ(copy.front().second, 0) << copy.front().first;
  EXPECT_EQ(copy.back().second, 100) << copy.back().first;
  EXPECT_EQ(copy.back().first.rfind(FormatSize(total, 1) + "/" + FormatSize(total, 1) + " ", 0), 0u)
      << copy.back().first;
  std::string back;
  EXPECT_TRUE(FatReadFile(run_.disk, 2048, "EFI/B/f11.bin", &back));
  EXPECT_EQ(back, files.back().second);

  MakeSparseFile(run_.disk, 0);
  MakeSparseFile(run_.disk, kImageSize);
  ui_ = std::make_shared<HookedUi>();
  ui_->onStatus = [&](const std::string& text) {
    if (isCopyLine(text)) CancelThisOperation();
  };
  r = RunFormat(run_, ui_);
  ASSERT_TRUE(r.selected);
  ExpectEndedAndClosed(r, OpOutcome::Cancelled);
  EXPECT_NE(r.log.find("> ExtractDataZip: Cancel(FormatStatus=#True)"), std::string::npos) << r.log;
  EXPECT_FALSE(FatReadFile(run_.disk, 2048, "EFI/B/f11.bin", &back)) << "the copy went on after the cancel";
}

// The program's exit while the format writes: the run is cancelled and joined
// before the exit goes on, no thread is left, and a loop device the run made
// for the volume (exFAT as root) is gone.
TEST_F(FormatThreadRun, ExitDuringAFormatCancelsAndJoinsIt) {
  const bool viaLoop = IsRoot() && HaveProgram("mkfs.exfat");
  run_.fileSystem = viaLoop ? "exFAT" : "FAT32-LBA";
  std::atomic<bool> formatting{false};
  ui_->onStatus = [&](const std::string& text) {
    if (text.rfind("Creating file system", 0) != 0) return;  // the volume's loop device is attached
    formatting = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the exit comes meanwhile
  };
  bool joined = false;
  run_.whileRunning = [&] {
    for (int i = 0; i < 6000 && !formatting && GetRunner().AnyRunning(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    joined = GetRunner().CancelAndJoinAll(120000);
  };
  FormatRunResult r = RunFormat(run_, ui_);
  GetRunner().Reopen();
  ASSERT_TRUE(r.selected);
  ASSERT_TRUE(formatting.load()) << r.log;
  EXPECT_TRUE(joined);
  ExpectEndedAndClosed(r, OpOutcome::Cancelled);
  std::string loops;
  Sh("losetup -j '" + run_.disk + "'", &loops);
  EXPECT_EQ(loops, "") << "a loop device is left on the image";
}

}  // namespace
}  // namespace fk::test

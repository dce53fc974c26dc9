// Partition backup and restore on partitions of disk image files (no root).
#include "tests/disk/BackupRestoreFixture.h"

#include <sys/stat.h>

namespace fk {
namespace {

// Backup, overwrite, restore with the read-back check on: through the disk at
// the partition's offset (no device node), then through a volume handle.
TEST_F(BackupRestoreTest, RoundTripOnImageFilePartition) {
  const std::string disk = dir_ / "disk.img", image = dir_ / "part1.bin";
  MakeDiskImage(disk);
  const std::string original = ReadRange(disk, kP1Start, kP1Length);
  const std::string before = ReadRange(disk, 0, 446),
                    after = ReadRange(disk, kP1Start + kP1Length, kDiskSize - kP1Start - kP1Length);
  for (bool byName : {false, true}) {
    SCOPED_TRACE(byName ? "volume handle" : "disk at the offset");
    TakeLogMirror();
    SetTransferOptions({});
    ASSERT_NO_FATAL_FAILURE(Select(disk, 1, byName));
    ASSERT_EQ(Backup(image), 1);
    EXPECT_TRUE(ui_->HasStatusContaining(" Done"));
    ASSERT_EQ(std::filesystem::file_size(image), static_cast<uintmax_t>(kP1Length));
    EXPECT_TRUE(test::ReadFileBytes(image) == original);
    // Two full transfers and one shorter one.
    EXPECT_TRUE(Logged("> TotalRead=16777216, TotalWrite=16777216,"));
    EXPECT_TRUE(Logged("> TotalRead=33554432, TotalWrite=33554432,"));
    EXPECT_TRUE(Logged("> TotalRead=" + std::to_string(kP1Length) + ", TotalWrite=" + std::to_string(kP1Length)));

    WriteRange(disk, kP1Start, std::string(static_cast<size_t>(kP1Length), '\0'));
    EnableVerify();
    ASSERT_NO_FATAL_FAILURE(Select(disk, 1, byName));
    ASSERT_EQ(Restore(image), 1);
    EXPECT_TRUE(LastTransferReport().verified);
    EXPECT_TRUE(ReadRange(disk, kP1Start, kP1Length) == original);
    EXPECT_TRUE(ReadRange(disk, 0, 446) == before);
    EXPECT_TRUE(ReadRange(disk, kP1Start + kP1Length, kDiskSize - kP1Start - kP1Length) == after);
    EXPECT_EQ(Slot(disk, 0), SlotValue(0x0C, kP1Length / 512));  // not HFS+: the type stays
    EXPECT_EQ(Slot(disk, 1).first, 0x07);
    EXPECT_EQ(Logged("> Recover: Finish UnlockClose hPhysicalDrive"), byName);
  }
}

TEST_F(BackupRestoreTest, DiskLineSelectedOpensNothing) {
  const std::string disk = dir_ / "disk.img";
  MakeDiskImage(disk);
  ASSERT_NO_FATAL_FAILURE(Select(disk, 0));
  EXPECT_EQ(BackUp(0), 0);
  EXPECT_TRUE(ui_->HasStatus("For BackUp select Partition only"));
  ASSERT_NO_FATAL_FAILURE(Select(disk, 0));
  EXPECT_EQ(Recover(0), 0);
  EXPECT_TRUE(ui_->HasStatus("For Restore select Partition only"));
  EXPECT_TRUE(ui_->Dialogs().empty());
  EXPECT_FALSE(Logged("Success open"));
  EXPECT_FALSE(Logged("Finish UnlockClose"));
}

// Image size checks: one byte too large, missing, and a smaller image that is
// not a whole number of sectors.
TEST_F(BackupRestoreTest, RestoreChecksTheImageSize) {
  const std::string disk = dir_ / "disk.img";
  MakeDiskImage(disk);
  const std::string original = ReadRange(disk, 0, kDiskSize);

  const std::string tooBig = dir_ / "big.bin";
  test::MakeSparseFile(tooBig, kP1Length + 1);
  ASSERT_NO_FATAL_FAILURE(Select(disk, 1));
  EXPECT_EQ(Restore(tooBig), 0);
  ASSERT_EQ(ui_->Boxes().size(), 1u);
  EXPECT_EQ(ui_->Boxes()[0].title, "Error");
  EXPECT_EQ(ui_->Boxes()[0].text.rfind("File too big:\n" + tooBig + "\n", 0), 0u);
  EXPECT_TRUE(Logged("Finish UnlockClose hDevice"));

  ASSERT_NO_FATAL_FAILURE(Select(disk, 1));
  EXPECT_EQ(Restore(dir_ / "missing.bin"), 0);
  EXPECT_EQ(ui_->Boxes().back().text, "The selected file:\n" + (dir_ / "missing.bin") + "\nnot found.");
  EXPECT_TRUE(ReadRange(disk, 0, kDiskSize) == original);

  // An image that is not whole sectors is refused with the disk unchanged.
  const std::string torn = dir_ / "torn.hfs";
  test::WriteFileBytes(torn, Pattern(17 * MiB + 100, 7));
  ASSERT_NO_FATAL_FAILURE(Select(disk, 1));
  EXPECT_EQ(Restore(torn), 0);
  EXPECT_NE(ui_->Boxes().back().text.find("not a whole number of sectors"), std::string::npos);
  EXPECT_TRUE(ReadRange(disk, 0, kDiskSize) == original);

  // A smaller HFS+ image: the entry shrinks to it and becomes type 0xAF.
  const int64_t small = 17 * MiB;
  std::string hfs = Pattern(small, 7);
  hfs.replace(1024, 2, "H+");
  const std::string smallImage = dir_ / "small.hfs";
  test::WriteFileBytes(smallImage, hfs);
  ASSERT_NO_FATAL_FAILURE(Select(disk, 1));
  ASSERT_EQ(Restore(smallImage), 1);
  EXPECT_TRUE(ui_->Boxes().back().text.rfind("You have selected following file:\n" + smallImage, 0) == 0);
  EXPECT_TRUE(ReadRange(disk, kP1Start, small) == hfs);
  EXPECT_TRUE(ReadRange(disk, kP1Start + small, kDiskSize - kP1Start - small) ==
              original.substr(static_cast<size_t>(kP1Start + small)));
  EXPECT_EQ(Slot(disk, 0), SlotValue(0xAF, small / 512));
  EXPECT_EQ(Slot(disk, 1), SlotValue(0x07, kP2Length / 512));
}

// A partition whose entry reaches past the disk's end is marked in the list
// and refused by backup, restore and a volume open; with no line selected,
// backup, restore and eject do nothing. The disk image stays as it was.
TEST_F(BackupRestoreTest, UnfitPartitionsAndNoSelectionAreRefused) {
  const std::string disk = dir_ / "disk.img", image = dir_ / "part.bin", out = dir_ / "out.bin";
  MakeDiskImage(disk);
  const uint32_t huge = 0xFFFFFF00u;  // slot 2 claims 2 TiB
  WriteRange(disk, 446 + 16 + 12, std::string(reinterpret_cast<const char*>(&huge), 4));
  const std::string original = test::ReadFileBytes(disk);
  test::WriteFileBytes(image, Pattern(kP2Length, 3));

  ASSERT_NO_FATAL_FAILURE(Select(disk, 2));
  const auto lines = ui_->TreeLines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const TreeLine& l) {
    return l.text.rfind("Part2: ", 0) == 0 && l.text.find("past the disk's end") != std::string::npos;
  }));
  EXPECT_EQ(Backup(out), 0);
  EXPECT_TRUE(ui_->HasStatus("The partition does not fit the disk"));
  ASSERT_NO_FATAL_FAILURE(Select(disk, 2));
  EXPECT_EQ(Restore(image), 0);
  EXPECT_TRUE(ui_->Boxes().empty());  // refused before a file was asked for
  EXPECT_FALSE(GetDriveHandle(0, disk + "@@" + std::to_string(kP2Start), true, true).valid());

  // Each job ends by listing the disks again, which selects the first line.
  const size_t boxes = ui_->Boxes().size();
  for (int job = 0; job < 3; ++job) {
    ASSERT_NO_FATAL_FAILURE(Select(disk, 1));
    ui_->SelectTreeLine(-1);
    EXPECT_EQ(job == 0 ? Backup(out) : job == 1 ? Restore(image) : EjectDrive(), 0) << job;
  }
  EXPECT_EQ(ui_->Boxes().size(), boxes);  // no file was even asked for
  EXPECT_TRUE(test::ReadFileBytes(disk) == original);
  EXPECT_FALSE(std::filesystem::exists(out));

  // Slot 2 starting inside slot 1: both are marked, and neither is backed up nor restored.
  MakeDiskImage(disk);
  const uint32_t inside = static_cast<uint32_t>(kP1Start / 512 + 8);
  WriteRange(disk, 446 + 16 + 8, std::string(reinterpret_cast<const char*>(&inside), 4));
  const std::string overlapping = test::ReadFileBytes(disk);
  ASSERT_NO_FATAL_FAILURE(Select(disk, 1));
  const auto marked = ui_->TreeLines();
  EXPECT_EQ(std::count_if(marked.begin(), marked.end(), [](const TreeLine& l) {
              return l.text.find("<overlaps another partition: not usable>") != std::string::npos;
            }),
            2);
  EXPECT_EQ(Backup(out), 0);
  EXPECT_TRUE(ui_->HasStatus("The partition overlaps another partition"));
  ASSERT_NO_FATAL_FAILURE(Select(disk, 2));
  EXPECT_EQ(Restore(image), 0);
  EXPECT_TRUE(test::ReadFileBytes(disk) == overlapping);
  EXPECT_FALSE(std::filesystem::exists(out));

  // The table changed after the list was read (an image file sends no event):
  // the restore does not write at the listed offset.
  MakeDiskImage(disk);
  ASSERT_NO_FATAL_FAILURE(Select(disk, 1));
  WriteRange(disk, 446 + 8, std::string(reinterpret_cast<const char*>(&inside), 4));
  const std::string changed = test::ReadFileBytes(disk);
  EXPECT_EQ(Restore(image), 0);
  EXPECT_TRUE(ui_->HasStatus("The partition table has changed: refresh the drive list"));
  EXPECT_TRUE(test::ReadFileBytes(disk) == changed);
}

TEST_F(BackupRestoreTest, NoToOverwriteLeavesTheFileAlone) {
  const std::string disk = dir_ / "disk.img", image = dir_ / "keep.bin";
  MakeDiskImage(disk);
  test::WriteFileBytes(image, "keep me");
  Cfg().FKLImageLocalRepo = dir_ / "";
  ASSERT_NO_FATAL_FAILURE(Select(disk, 1));
  ui_->QueueAnswer(MsgAnswer::No);
  EXPECT_EQ(Backup(image), 0);
  ASSERT_EQ(ui_->Dialogs().size(), 1u);
  EXPECT_EQ(ui_->Dialogs()[0].defaultPath, dir_ / "PartSave.bin");
  ASSERT_EQ(ui_->Boxes().size(), 1u);
  EXPECT_EQ(ui_->Boxes()[0].title, "Warning");
  EXPECT_EQ(ui_->Boxes()[0].text, "The selected file:\n" + image + "\nalready exists. Overwrite it?");
  EXPECT_EQ(test::ReadFileBytes(image), "keep me");
  EXPECT_FALSE(Logged("Success create file"));
}

// The file chosen for the backup is the image disk being read: creating it
// would truncate the disk.
TEST_F(BackupRestoreTest, BackupOntoAListedDiskIsRefused) {
  const std::string disk = dir_ / "disk.img";
  MakeDiskImage(disk);
  const std::string original = test::ReadFileBytes(disk);
  ASSERT_NO_FATAL_FAILURE(Select(disk, 1));
  ui_->QueueAnswer(MsgAnswer::Yes);
  EXPECT_EQ(Backup(disk), 0);
  EXPECT_TRUE(test::ReadFileBytes(disk) == original);
  EXPECT_TRUE(ui_->HasStatus("Unable to create file " + disk + " (it holds a disk of the list, not an image file)"));
  EXPECT_FALSE(Logged("Success create file"));
}

// A device or a pipe named as the target (as --to /dev/null or a shell's
// >(gzip > part.gz) does) takes the bytes in order, and the backup succeeds.
TEST_F(BackupRestoreTest, BackupIntoADeviceOrAPipe) {
  const std::string disk = dir_ / "disk.img", fifo = dir_ / "pipe";
  MakeDiskImage(disk);
  ASSERT_NO_FATAL_FAILURE(Select(disk, 1));
  EXPECT_EQ(Backup("/dev/null"), 1);
  EXPECT_TRUE(ui_->HasStatusContaining(" Done"));

  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Nobody reads the pipe: refused at once, not a wait that no cancel reaches.
  ASSERT_NO_FATAL_FAILURE(Select(disk, 1));
  EXPECT_EQ(Backup(fifo), 0);
  EXPECT_TRUE(ui_->HasStatus("Unable to create file " + fifo + " (no program reads from the pipe)"));

  std::string received;
  std::thread reader([&] {
    const int fd = ::open(fifo.c_str(), O_RDONLY | O_CLOEXEC);
    char buf[65536];
    for (ssize_t n; fd >= 0 && (n = ::read(fd, buf, sizeof buf)) > 0;) received.append(buf, static_cast<size_t>(n));
    if (fd >= 0) ::close(fd);
  });
  ASSERT_NO_FATAL_FAILURE(Select(disk, 1));
  const int rc = Backup(fifo);
  // A backup that never opened the pipe must not leave the reader waiting.
  if (const int w = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC); w >= 0) ::close(w);
  reader.join();
  EXPECT_EQ(rc, 1) << ui_->StatusTexts().back();
  EXPECT_TRUE(received == ReadRange(disk, kP1Start, kP1Length)) << received.size() << " bytes";
  EXPECT_EQ(std::filesystem::file_type::fifo, std::filesystem::status(fifo).type());
}

TEST_F(BackupRestoreTest, CancelStopsAfterTheCurrentChunk) {
  auto cancel = [] { test::CancelThisOperation(); };
  OnText(" Remain: ", cancel);
  const std::string disk = dir_ / "disk.img", image = dir_ / "part1.bin";
  MakeDiskImage(disk);
  const std::string original = ReadRange(disk, kP1Start, kP1Length);
  ASSERT_NO_FATAL_FAILURE(Select(disk, 1));
  EXPECT_EQ(Backup(image), 1);
  EXPECT_TRUE(ui_->HasStatus("Backup Cancelled"));
  EXPECT_EQ(LastTransferReport().end, TransferEnd::Cancelled);
  // A cancelled backup leaves no file, under its name or any other.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 1);
  EXPECT_EQ(outcome_, OpOutcome::Cancelled);

  // Restore of a full-size image, cancelled after the first chunk: the rest of
  // the partition stays as it was and the entry still gets the image's length.
  const std::string full = dir_ / "full.bin";
  test::WriteFileBytes(full, Pattern(kP1Length, 9));
  OnText(" Remain: ", cancel);
  ASSERT_NO_FATAL_FAILURE(Select(disk, 1));
  EXPECT_EQ(Restore(full), 1);
  EXPECT_TRUE(ui_->HasStatus("Restore Cancelled"));
  EXPECT_TRUE(ReadRange(disk, kP1Start, kTransferChunkBytes) == ReadRange(full, 0, kTransferChunkBytes));
  EXPECT_TRUE(ReadRange(disk, kP1Start + kTransferChunkBytes, kP1Length - kTransferChunkBytes) ==
              original.substr(kTransferChunkBytes));
  EXPECT_EQ(Slot(disk, 0), SlotValue(0x0C, kP1Length / 512));
  EXPECT_EQ(outcome_, OpOutcome::Cancelled);
}

// Limits the size files may reach in this process, as a full disk would.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) : handler_(::signal(SIGXFSZ, SIG_IGN)) {
    ::getrlimit(RLIMIT_FSIZE, &old_);
    rlimit r = old_;
    r.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &r);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    ::signal(SIGXFSZ, handler_);
  }

 private:
  sighandler_t handler_;
  rlimit old_{};
};

// Read errors: the disk image shrinks under a backup, the image file between
// the size check and the copy of a restore. Write errors: a backup to a device
// that is always full, a restore onto a disk image that cannot grow past the
// middle of the partition. Each stops at once with its status text.
TEST_F(BackupRestoreTest, IoErrorsStopAtOnce) {
  const std::string disk = dir_ / "disk.img", image = dir_ / "part1.bin", source = dir_ / "source.bin";
  MakeDiskImage(disk);
  ASSERT_NO_FATAL_FAILURE(Select(disk, 1));
  std::filesystem::resize_file(disk, kP1Start + 20 * MiB);
  EXPECT_EQ(Backup(image), 0);
  EXPECT_TRUE(ui_->HasStatus("ReadFile Error=5 (Input/output error)"));
  EXPECT_EQ(LastTransferReport().end, TransferEnd::Failed);
  // A failed backup leaves no file: not after a read error, not on a full file system.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 1);
  MakeDiskImage(disk);
  ASSERT_NO_FATAL_FAILURE(Select(disk, 1));
  {
    FileSizeLimit limit(20 * MiB);
    EXPECT_EQ(Backup(image), 0);
  }
  EXPECT_TRUE(ui_->HasStatus("WriteFile Error=27 (File too large)"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 1);

  MakeDiskImage(disk);
  const std::string original = ReadRange(disk, kP1Start, kP1Length);
  test::WriteFileBytes(source, Pattern(30 * MiB, 4));
  OnText("You have selected following file:", [&] { std::filesystem::resize_file(source, 20 * MiB); });
  ASSERT_NO_FATAL_FAILURE(Select(disk, 1));
  EXPECT_EQ(Restore(source), 0);
  EXPECT_TRUE(ui_->HasStatus("ReadFile Error=5 (Input/output error)"));
  EXPECT_TRUE(ReadRange(disk, kP1Start + kTransferChunkBytes, kP1Length - kTransferChunkBytes) ==
              original.substr(kTransferChunkBytes));
  EXPECT_EQ(Slot(disk, 0), SlotValue(0x0C, kP1Length / 512));  // no MBR correction after an error

  ASSERT_NO_FATAL_FAILURE(Select(disk, 1));
  EXPECT_EQ(Backup("/dev/full"), 0);
  EXPECT_TRUE(ui_->HasStatus("WriteFile Error=28 (No space left on device)"));
  // As the front ends run it: a failure that says so.
  ASSERT_NO_FATAL_FAILURE(Select(disk, 1));
  ui_->QueueDialogAnswer("/dev/full");
  const OpResult failed = GetRunner().RunHere(OpKind::Backup, BackupOperation, Settings{});
  EXPECT_EQ(failed.outcome, OpOutcome::Failed);
  EXPECT_EQ(failed.message, "The backup did not complete");

  test::WriteFileBytes(source, Pattern(30 * MiB, 5));
  ASSERT_NO_FATAL_FAILURE(Select(disk, 1));
  {
    FileSizeLimit limit(kP1Start + 20 * MiB);
    EXPECT_EQ(Restore(source), 0);
  }
  EXPECT_TRUE(ui_->HasStatus("WriteFile Error=27 (File too large)"));
  EXPECT_EQ(LastTransferReport().end, TransferEnd::Failed);
  EXPECT_EQ(Slot(disk, 0).first, 0x0C);
  EXPECT_FALSE(ui_->HasStatusContaining(" Done"));
}

// The read-back finds a byte that changed on the partition after it was written.
TEST_F(BackupRestoreTest, VerifyReportsTheFirstDifference) {
  const std::string disk = dir_ / "disk.img", source = dir_ / "source.bin";
  MakeDiskImage(disk);
  test::WriteFileBytes(source, Pattern(20 * MiB, 6));
  OnText("Write buffered Data to the Disk",
         [&] { WriteRange(disk, kP1Start + 17 * MiB + 5, std::string(1, ~ReadRange(source, 17 * MiB + 5, 1)[0])); });
  EnableVerify();
  ASSERT_NO_FATAL_FAILURE(Select(disk, 1));
  EXPECT_EQ(Restore(source), 0);
  EXPECT_EQ(LastTransferReport().end, TransferEnd::VerifyFailed);
  EXPECT_EQ(LastTransferReport().firstDifference, 17 * MiB + 5);
  EXPECT_TRUE(ui_->HasStatus("Verify Error: first difference at byte " + std::to_string(17 * MiB + 5)));
  EXPECT_FALSE(ui_->HasStatusContaining(" Done"));
}

TEST(TransferProgressTest, RemainingTimeWithoutARate) {
  const int64_t f = 1000000000;
  EXPECT_EQ(TransferProgress::RemainText(100 * MiB, 0, 0, f), "unknown");
  EXPECT_EQ(TransferProgress::RemainText(100 * MiB, 0, f, f), "unknown");
  EXPECT_EQ(TransferProgress::RemainText(100 * MiB, 10 * MiB, 2 * f, f), "20 s ");
  EXPECT_EQ(TransferProgress::Percent(1, 3), 33);
  EXPECT_EQ(TransferProgress::Percent(5, 0), 0);
}

}  // namespace
}  // namespace fk

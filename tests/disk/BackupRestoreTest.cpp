// Partition backup and restore on partitions of disk image files (no root) and
// of loop devices over image files in /dev/shm (root).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>

#include "app/AppState.h"
#include "app/Log.h"
#include "tests/support/ScriptedUi.h"
#include "app/Settings.h"
#include "disk/Backup.h"
#include "disk/DiskList.h"
#include "disk/DiskOperations.h"
#include "disk/RawDisk.h"
#include "disk/Restore.h"
#include "disk/Transfer.h"
#include "platform/LoopDevice.h"
#include "tests/support/TestUtil.h"

namespace fk {
namespace {

constexpr int64_t MiB = 1024 * 1024;
constexpr int64_t kDiskSize = 64 * MiB;
// Partition 1: 40 MiB + 3 sectors (three transfers, the last one shorter).
constexpr int64_t kP1Start = 1 * MiB;
constexpr int64_t kP1Length = 40 * MiB + 3 * 512;
// Partition 2 right behind it, to see that nothing outside partition 1 changes.
constexpr int64_t kP2Start = 44 * MiB;
constexpr int64_t kP2Length = 16 * MiB;

std::string Pattern(int64_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(static_cast<size_t>(size), '\0');
  for (size_t i = 0; i + 4 <= s.size(); i += 4) {
    const uint32_t v = gen();
    std::memcpy(&s[i], &v, 4);
  }
  return s;
}

std::string ReadRange(const std::string& path, int64_t offset, int64_t size) {
  std::ifstream in(path, std::ios::binary);
  std::string s(static_cast<size_t>(size), '\0');
  in.seekg(offset);
  in.read(s.data(), size);
  s.resize(static_cast<size_t>(in.gcount()));
  return s;
}

void WriteRange(const std::string& path, int64_t offset, const std::string& data) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(::pwrite(fd, data.data(), data.size(), offset), static_cast<ssize_t>(data.size()));
  ::fsync(fd);
  ::close(fd);
}

// Type byte and sector count of an MBR slot.
std::pair<int, uint32_t> Slot(const std::string& path, int slot) {
  const std::string e = ReadRange(path, 446 + 16 * slot, 16);
  uint32_t sectors = 0;
  std::memcpy(&sectors, &e[12], 4);
  return {static_cast<uint8_t>(e[4]), sectors};
}
using SlotValue = std::pair<int, uint32_t>;

// A 64 MiB sparse disk image with an MBR holding the two partitions above,
// filled with two different patterns.
void MakeDiskImage(const std::string& path) {
  test::MakeSparseFile(path, kDiskSize);
  std::string mbr(512, '\0');
  auto entry = [&](int slot, uint8_t type, int64_t start, int64_t length) {
    char* e = &mbr[446 + 16 * slot];
    e[4] = static_cast<char>(type);
    const uint32_t lba = static_cast<uint32_t>(start / 512), n = static_cast<uint32_t>(length / 512);
    std::memcpy(e + 8, &lba, 4);
    std::memcpy(e + 12, &n, 4);
  };
  entry(0, 0x0C, kP1Start, kP1Length);
  entry(1, 0x07, kP2Start, kP2Length);
  mbr[510] = 0x55;
  mbr[511] = static_cast<char>(0xAA);
  WriteRange(path, 0, mbr);
  WriteRange(path, kP1Start, Pattern(kP1Length, 1));
  WriteRange(path, kP2Start, Pattern(kP2Length, 2));
}

void EnableVerify() {
  TransferOptions o;
  o.verify = true;
  SetTransferOptions(o);
}

// Runs an action once when a status text or question containing trigger
// appears: a press of the cancel button, or a fault injected at that moment.
class HookUi : public ScriptedUi {
 public:
  std::string trigger;
  std::function<void()> action;
  void DrawProgress(const std::string& text, int percent) override {
    ScriptedUi::DrawProgress(text, percent);
    Fire(text);
  }
  MsgAnswer MessageBox(const std::string& title, const std::string& text, MsgButtons buttons, MsgIcon icon) override {
    Fire(text);
    return ScriptedUi::MessageBox(title, text, buttons, icon);
  }

 private:
  void Fire(const std::string& text) {
    if (action && text.find(trigger) != std::string::npos) std::exchange(action, nullptr)();
  }
};

class BackupRestoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ui_ = std::make_shared<HookUi>();
    SetUi(ui_);
    SetPauseFunction([](int) {});
    ResetSharedFlags();
    SetLogMirror(true);
    TakeLogMirror();
    SetTransferOptions({});
    // Image files and loop devices are fixed disks, listed only with this on.
    SetEnableFixedDisksSource([] { return true; });
  }

  void TearDown() override {
    ResetSettings();
    ClearImageDisks();
    SetEnableFixedDisksSource(nullptr);
    SetTransferOptions({});
    SetLogMirror(false);
    SetPauseFunction(nullptr);
    SetUi(nullptr);
  }

  // Lists the disks and selects slot (0 = the disk line) of the disk at devicePath.
  // With byName the partition is named by its byte-range volume name, as a
  // partition with a device node is named by that node: the jobs then go
  // through a locked volume handle instead of the disk at the offset.
  void Select(const std::string& devicePath, int slot, bool byName = false) {
    if (std::filesystem::is_regular_file(devicePath) && ImageDisks().empty()) AddImageDisk(devicePath);
    UpdateAllDrives();
    for (size_t i = 0; i < AllDrives.size(); ++i) {
      if (AllDrives[i].DevicePath == devicePath) {
        if (byName) AllDrives[i].Partition[slot - 1].DriveLetter = VolumeAccessName(AllDrives[i], slot - 1);
        ASSERT_NE(SelectDisk(static_cast<int>(i), slot), 0) << devicePath;
        return;
      }
    }
    FAIL() << devicePath << " is not in the disk list";
  }

  // Through the runner, as the front ends run them; outcome_ is the result.
  int Backup(const std::string& target) {
    ui_->QueueDialogAnswer(target);
    int rc = 0;
    outcome_ = test::RunAsOperation([&] { rc = BackUp(0); }, OpKind::Backup).outcome;
    return rc;
  }
  int Restore(const std::string& source) {
    ui_->QueueDialogAnswer(source);
    int rc = 0;
    outcome_ = test::RunAsOperation([&] { rc = Recover(0); }, OpKind::Restore).outcome;
    return rc;
  }
  OpOutcome outcome_ = OpOutcome::Done;

  bool Logged(const std::string& part) { return LogMirrorContains(part); }

  void OnText(const std::string& trigger, std::function<void()> action) {
    ui_->trigger = trigger;
    ui_->action = std::move(action);
  }

  std::shared_ptr<HookUi> ui_;
  test::TempDir dir_{"fkbackup"};
};

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

// ---- loop devices (root) -------------------------------------------------------

// A scratch directory on /dev/shm, removed with its contents.
class ShmDir {
 public:
  ShmDir() {
    char templ[] = "/dev/shm/fkbackup-XXXXXX";
    if (::mkdtemp(templ)) path_ = templ;
  }
  ~ShmDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

class LoopBackupRestoreTest : public BackupRestoreTest {
 protected:
  void SetUp() override {
    if (!test::IsRoot()) GTEST_SKIP() << "needs root for loop devices";
    BackupRestoreTest::SetUp();
  }

  // A disk image in /dev/shm (not on the system disk) behind a loop device.
  std::unique_ptr<LoopDevice> AttachDisk(bool partScan) {
    MakeDiskImage(shm_ / "disk.img");
    std::string err;
    LoopDevice::Options opt;
    opt.partScan = partScan;
    auto loop = LoopDevice::Attach(shm_ / "disk.img", opt, &err);
    EXPECT_TRUE(loop) << err;
    return loop;
  }

  void RoundTrip(const std::string& device, bool byName) {
    const std::string image = dir_ / "part1.bin";
    const std::string original = ReadRange(device, kP1Start, kP1Length);
    ASSERT_NO_FATAL_FAILURE(Select(device, 1, byName));
    ASSERT_EQ(Backup(image), 1);
    EXPECT_TRUE(test::ReadFileBytes(image) == original);

    WriteRange(device, kP1Start, std::string(static_cast<size_t>(kP1Length), '\x5A'));
    EnableVerify();
    ASSERT_NO_FATAL_FAILURE(Select(device, 1, byName));
    ASSERT_EQ(Restore(image), 1);
    EXPECT_TRUE(LastTransferReport().verified);
    EXPECT_TRUE(ReadRange(shm_ / "disk.img", kP1Start, kP1Length) == original);
    EXPECT_TRUE(ReadRange(shm_ / "disk.img", kP2Start, kP2Length) == Pattern(kP2Length, 2));
    EXPECT_EQ(Slot(shm_ / "disk.img", 0).first, 0x0C);  // not an HFS+ image: the type stays
  }

  ShmDir shm_;
};

// Through a volume handle: the partition's device node when the kernel makes
// one (it needs MBR support built in), else its byte-range name.
TEST_F(LoopBackupRestoreTest, RoundTripThroughAVolumeHandle) {
  auto loop = AttachDisk(true);
  ASSERT_TRUE(loop);
  const std::string node = loop->path() + "p1";
  for (int i = 0; i < 50 && !std::filesystem::exists(node); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const bool haveNode = std::filesystem::exists(node);
  RoundTrip(loop->path(), !haveNode);
  EXPECT_TRUE(Logged(haveNode ? node : loop->path() + "@@" + std::to_string(kP1Start)));
  EXPECT_TRUE(Logged("> Recover: Finish UnlockClose hPhysicalDrive"));
}

// The backing file of the loop disk being read is no place for its backup.
TEST_F(LoopBackupRestoreTest, BackupOntoTheBackingFileIsRefused) {
  auto loop = AttachDisk(false);
  ASSERT_TRUE(loop);
  const std::string backing = shm_ / "disk.img";
  const std::string original = test::ReadFileBytes(backing);
  ASSERT_NO_FATAL_FAILURE(Select(loop->path(), 1));
  ui_->QueueAnswer(MsgAnswer::Yes);
  EXPECT_EQ(Backup(backing), 0);
  EXPECT_TRUE(test::ReadFileBytes(backing) == original);
  EXPECT_FALSE(Logged("Success create file"));
}

TEST_F(LoopBackupRestoreTest, RoundTripThroughTheDiskAtTheOffset) {
  auto loop = AttachDisk(false);
  ASSERT_TRUE(loop);
  RoundTrip(loop->path(), false);
  EXPECT_FALSE(Logged("> Recover: Finish UnlockClose hPhysicalDrive"));
}

}  // namespace
}  // namespace fk

// Disk image files as disks: listed, read, written and locked through the same
// API as block devices, without root.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "app/AppState.h"
#include "app/Log.h"
#include "tests/support/ScriptedUi.h"
#include "disk/DiskList.h"
#include "disk/RawDisk.h"
#include "disk/Volume.h"
#include "tests/support/FakeSysfs.h"
#include "tests/support/TestUtil.h"

using namespace fk;

namespace {

constexpr int64_t kPart1 = 2048LL * 512;

class ImageDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::HaveProgram("mkfs.fat")) GTEST_SKIP() << "mkfs.fat missing";
    // An empty machine: only the image files are disks.
    std::filesystem::create_directories(tmp / "sys/block");
    std::filesystem::create_directories(tmp / "proc/self");
    test::WriteFileBytes(tmp / "proc/self/mountinfo", "");
    DiskEnv() = {tmp / "sys", tmp / "proc", tmp / "dev"};
    image = tmp / "disk.img";
    test::MakeSparseFile(image, 64LL << 20);
    std::fstream f(image, std::ios::binary | std::ios::in | std::ios::out);
    f << test::MakeMbr({{0x06, true, 2048, 40960}, {0x83, false, 43008, 20480}});
    f.close();
    ASSERT_EQ(test::Sh("mkfs.fat -F 16 -n FKIMG --offset=2048 '" + image + "' 20480"), 0);
    ui = std::make_shared<ScriptedUi>();
    SetUi(ui);
    SetPauseFunction([this](int ms) { paused += ms; });
    SetLogMirror(true);
    TakeLogMirror();
    ClearImageDisks();
    SetEnableFixedDisksSource([] { return true; });
    CurrentDisk = DiskRecord{};
  }
  void TearDown() override {
    ClearImageDisks();
    DiskEnv() = DiskEnvironment{};
    SetEnableFixedDisksSource(nullptr);
    SetPauseFunction(nullptr);
    SetLogMirror(false);
    SetUi(nullptr);
  }
  std::string ReadAt(int64_t offset, size_t n) {
    std::ifstream in(image, std::ios::binary);
    in.seekg(offset);
    std::string s(n, '\0');
    in.read(s.data(), static_cast<std::streamsize>(n));
    return s;
  }
  int CountLog(const std::string& part) {
    int n = 0;
    for (const auto& l : TakeLogMirror()) n += l.find(part) != std::string::npos;
    return n;
  }

  test::TempDir tmp{"fkimg"};
  std::string image;
  std::shared_ptr<ScriptedUi> ui;
  int paused = 0;
};

TEST_F(ImageDisk, ListedWithLabelAndOnlyRegularFilesAccepted) {
  EXPECT_FALSE(AddImageDisk(tmp / "missing.img"));
  EXPECT_FALSE(AddImageDisk(tmp.path()));
  EXPECT_FALSE(AddImageDisk("/dev/null"));
  ASSERT_TRUE(AddImageDisk(image));
  ASSERT_EQ(UpdateAllDrives(), 1);
  auto lines = ui->TreeLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].text, "FileBackedVirtual: disk.img 64 MB ()");
  EXPECT_EQ(lines[1].text, "Part1: 20 MB FAT16 Act <FKIMG> ");
  EXPECT_EQ(lines[2].text, "Part2: 10 MB <NONAME> ");
  const DiskRecord& d = AllDrives[0];
  EXPECT_EQ(d.DriveType, DRIVE_FIXED);
  EXPECT_EQ(d.Geometry.BytesPerSector, 512u);
  EXPECT_EQ(d.DiskSignature, 0x12345678u);
  EXPECT_EQ(VolumeAccessName(d, 0), image + "@@" + std::to_string(kPart1));
  EXPECT_EQ(DriveNameOfVol(VolumeAccessName(d, 0)), "FKIMG");
  EXPECT_EQ(DriveNameOfFS(VolumeAccessName(d, 1)), "");
  EXPECT_TRUE(LogMirrorContains("DriveNameOfFS() For volume " + image + "@@" + std::to_string(43008LL * 512)));
}

TEST_F(ImageDisk, SectorsWrittenAndReadBackOnDiskAndVolume) {
  ASSERT_TRUE(AddImageDisk(image));
  UpdateAllDrives();
  ASSERT_EQ(SelectDisk(0, 1), 1);

  DriveHandle disk = GetDriveHandle(0, "", true, true);
  ASSERT_TRUE(disk.valid());
  EXPECT_TRUE(disk.locked());
  EXPECT_EQ(DriveSize(disk), 64LL << 20);
  std::string data(3 * 512, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + 1);
  EXPECT_EQ(write_sectors(disk, 512, 100000, 3, data.data()), 3 * 512);
  EXPECT_EQ(ReadAt(100000LL * 512, data.size()), data);
  std::string back(data.size(), '\0');
  EXPECT_EQ(read_sectors(disk, 512, 100000, 3, back.data()), 3 * 512);
  EXPECT_EQ(back, data);
  EXPECT_TRUE(LogMirrorContains("> read_sectors: Success StartSector:100000, nSectors:3, SectorSize:512"));
  EXPECT_EQ(read_sectors(disk, 512, 5, 0, back.data()), 0);
  EXPECT_TRUE(LogMirrorContains("> read_sectors: Success StartSector:5, nSectors:0, SectorSize:512"));
  // Past the end of the image: a short read, logged as an error.
  EXPECT_EQ(read_sectors(disk, 512, (64LL << 20) / 512 - 1, 2, back.data()), 512);
  EXPECT_TRUE(LogMirrorContains("> read_sectors: Error StartSector:131071, nSectors:2, SectorSize:512"));
  EXPECT_EQ(read_sectors(disk, 512, -1, 1, back.data()), 0);
  EXPECT_TRUE(LogMirrorContains("> read_sectors: Could not access sector -1"));
  FinishUnlockClose("Test", disk);
  EXPECT_FALSE(disk.valid());

  // The volume: sector 0 is the partition's first sector, and it ends with the partition.
  const std::string vol = VolumeAccessName(AllDrives[0], 0);
  DriveHandle v = GetDriveHandle(0, vol, true, true);
  ASSERT_TRUE(v.valid());
  EXPECT_EQ(write_sectors(v, 512, 1, 2, data.data()), 1024);
  EXPECT_EQ(ReadAt(kPart1 + 512, 1024), data.substr(0, 1024));
  EXPECT_EQ(write_sectors(v, 512, 40959, 2, data.data()), 0);
  EXPECT_TRUE(LogMirrorContains("> write_sectors: Could not access sector 40959"));
  EXPECT_EQ(ReadAt(kPart1 + 40960LL * 512, 512), std::string(512, '\0'));

  // A read-only handle cannot write: the failure is logged with the three values.
  DriveHandle ro = GetDriveHandle(0, vol, false, false);
  ASSERT_TRUE(ro.valid());
  EXPECT_EQ(write_sectors(ro, 512, 0, 1, data.data()), 0);
  EXPECT_TRUE(LogMirrorContains("> write_sectors: Bad file descriptor StartSector:0, nSectors:1, SectorSize:512"));
}

TEST_F(ImageDisk, LocksExcludeEachOtherWithVolumeRetries) {
  ASSERT_TRUE(AddImageDisk(image));
  UpdateAllDrives();
  ASSERT_EQ(SelectDisk(0, 0), 1);
  const std::string vol = VolumeAccessName(AllDrives[0], 0);
  {
    // The job's own disk lock covers its volumes (restore holds both).
    DriveHandle disk = GetDriveHandle(0, "", true, true);
    ASSERT_TRUE(disk.valid());
    DriveHandle v = GetDriveHandle(0, vol, true, true);
    EXPECT_TRUE(v.valid());
    EXPECT_TRUE(ProcessHoldsDisk(image));
  }
  EXPECT_FALSE(ProcessHoldsDisk(image));

  // Another program holds the image: a disk lock is tried once, a volume lock
  // 20 times, 500 ms apart.
  int other = ::open(image.c_str(), O_RDONLY);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::flock(other, LOCK_EX), 0);
  TakeLogMirror();
  EXPECT_FALSE(GetDriveHandle(0, "", true, true).valid());
  EXPECT_EQ(CountLog("LOCK drive " + image), 1);
  paused = 0;
  EXPECT_FALSE(GetDriveHandle(0, vol, false, true).valid());
  auto log = TakeLogMirror();
  int tries = 0;
  for (const auto& l : log) tries += l.find("> GetDriveHandle: Try #") == 0;
  EXPECT_EQ(tries, 20);
  EXPECT_NE(std::find(log.begin(), log.end(),
                      "> GetDriveHandle: Try #20 Error " + std::to_string(EWOULDBLOCK) + " LOCK drive " + vol),
            log.end());
  EXPECT_EQ(paused, 20 * 500);
  ::close(other);

  // Unlocked, the handle stays usable and others may lock.
  DriveHandle disk = GetDriveHandle(0, "", true, true);
  ASSERT_TRUE(disk.valid());
  EXPECT_EQ(UnlockDrive(disk), 1);
  EXPECT_FALSE(ProcessHoldsDisk(image));
  EXPECT_TRUE(disk.valid());
  EXPECT_EQ(UnlockDrive(disk), 0);
  other = ::open(image.c_str(), O_RDONLY);
  EXPECT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  ::close(other);
  DriveHandle v = GetDriveHandle(0, vol, false, true);
  EXPECT_TRUE(v.valid());
  EXPECT_EQ(UnmountDrive(v), 1);
  TakeLogMirror();
  const int fd = v.value();
  FinishUnlockClose("BackUp", v);
  EXPECT_TRUE(LogMirrorContains("> BackUp: Finish UnlockClose " + vol + " = " + std::to_string(fd)));
  EXPECT_TRUE(LogMirrorContains("> Success unlock drive"));
}

TEST_F(ImageDisk, ChangedListDoesNotRedirectAJob) {
  ASSERT_TRUE(AddImageDisk(image));
  UpdateAllDrives();
  ASSERT_EQ(SelectDisk(0, 0), 1);
  // The list is rebuilt with another disk at number 0 while the job runs.
  const std::string other = tmp / "other.img";
  test::MakeSparseFile(other, 8 << 20);
  ClearImageDisks();
  ASSERT_TRUE(AddImageDisk(other));
  GetAllDrives();
  EXPECT_FALSE(GetDriveHandle(0, "", true, true).valid());
  EXPECT_TRUE(LogMirrorContains("not the selected " + image));
  EXPECT_TRUE(GetDriveHandle(0, "", false, false).valid());  // reading for the list is fine
}

TEST_F(ImageDisk, VolumeNamesEjectAndRemount) {
  ASSERT_TRUE(AddImageDisk(image));
  UpdateAllDrives();
  const std::string range = image + "@@" + std::to_string(kPart1);
  EXPECT_EQ(AssignDriveLetter({image, kPart1}), range);
  EXPECT_TRUE(LogMirrorContains("> AssignDriveLetter: FirstFreeRootName = " + range));
  EXPECT_EQ(AssignDriveLetter({"/dev/nonsense", kPart1}), "");
  EXPECT_TRUE(LogMirrorContains("> AssignDriveLetter: 1-st DefineDosDevice Error for /dev/nonsense@@1048576"));
  RemountVolume(range);  // not mounted: nothing to do
  EXPECT_TRUE(LogMirrorContains("is not mounted, nothing to do"));

  ui->SelectTreeLine(1);
  EXPECT_EQ(EjectDrive(), 1);
  EXPECT_TRUE(LogMirrorContains("> EjectDrive: image file " + image + " closed"));
}

}  // namespace

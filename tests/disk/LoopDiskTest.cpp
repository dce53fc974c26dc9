// The disk layer on real loop devices over image files (root only), the kernel
// uevent source, and the refusal of this machine's own system disk.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <thread>

#include "app/AppState.h"
#include "app/Log.h"
#include "tests/support/ScriptedUi.h"
#include "disk/DeviceEvents.h"
#include "disk/DiskList.h"
#include "disk/RawDisk.h"
#include "platform/Disks.h"
#include "platform/LoopDevice.h"
#include "tests/support/FakeSysfs.h"
#include "tests/support/TestUtil.h"

using namespace fk;

namespace {

class LoopDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::IsRoot()) GTEST_SKIP() << "needs root for loop devices";
    if (!test::HaveProgram("mkfs.fat")) GTEST_SKIP() << "mkfs.fat missing";
    image = tmp / "loop.img";
    test::MakeSparseFile(image, 64LL << 20);
    {
      std::fstream f(image, std::ios::binary | std::ios::in | std::ios::out);
      f << test::MakeMbr({{0x06, true, 2048, 40960}});
    }
    ASSERT_EQ(test::Sh("mkfs.fat -F 16 -n LOOPVOL --offset=2048 '" + image + "' 20480"), 0);
    DiskEnv() = DiskEnvironment{};
    ui = std::make_shared<ScriptedUi>();
    SetUi(ui);
    SetPauseFunction([](int) {});
    SetLogMirror(true);
    TakeLogMirror();
    ClearImageDisks();
    ResetSharedFlags();
    SetEnableFixedDisksSource([] { return true; });
    CurrentDisk = DiskRecord{};
  }
  void TearDown() override {
    DiskEnv() = DiskEnvironment{};
    ClearImageDisks();
    SetEnableFixedDisksSource(nullptr);
    SetPauseFunction(nullptr);
    SetLogMirror(false);
    SetUi(nullptr);
  }
  std::unique_ptr<LoopDevice> Attach(bool partScan) {
    std::string err;
    LoopDevice::Options o;
    o.partScan = partScan;
    auto loop = LoopDevice::Attach(image, o, &err);
    EXPECT_TRUE(loop) << err;
    return loop;
  }
  int IndexOfPath(const std::string& path) {
    for (size_t i = 0; i < AllDrives.size(); ++i)
      if (AllDrives[i].DevicePath == path) return static_cast<int>(i);
    return -1;
  }
  std::string ImageAt(int64_t offset, size_t n) {
    std::ifstream in(image, std::ios::binary);
    in.seekg(offset);
    std::string s(n, '\0');
    in.read(s.data(), static_cast<std::streamsize>(n));
    return s;
  }

  test::TempDir tmp{"fkloop"};
  std::string image;
  std::shared_ptr<ScriptedUi> ui;
};

TEST_F(LoopDisk, ListedFoundByOwnMbrParserWrittenAndReadBack) {
  auto loop = Attach(false);
  ASSERT_TRUE(loop);
  UpdateAllDrives();
  const int n = IndexOfPath(loop->path());
  ASSERT_GE(n, 0);
  const DiskRecord& d = AllDrives[n];
  EXPECT_EQ(d.BusType, "FileBackedVirtual");
  EXPECT_TRUE(d.IsLoop);
  EXPECT_FALSE(d.SystemDisk);
  EXPECT_NE(d.ListIndex, -1);
  // The kernel made no partition node; the program's own parser found the slot.
  EXPECT_EQ(d.Partition[0].PartitionLength, 40960LL * 512);
  EXPECT_TRUE(d.Partition[0].DriveLetter.empty());
  EXPECT_EQ(d.Partition[0].VolumeName, "LOOPVOL");
  EXPECT_EQ(d.Partition[0].FileSystemName, "FAT16");
  EXPECT_EQ(ui->TreeLines()[d.Partition[0].ListIndex].text, "Part1: 20 MB FAT16 Act <LOOPVOL> ");

  ASSERT_EQ(SelectDisk(n, 0), 1);
  std::string data(4096, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i ^ 0x5A);
  {
    DriveHandle h = GetDriveHandle(n, "", true, true);
    ASSERT_TRUE(h.valid());
    EXPECT_EQ(DriveSize(h), 64LL << 20);
    EXPECT_EQ(write_sectors(h, 512, 60000, 8, data.data()), 4096);
    std::string back(4096, '\0');
    EXPECT_EQ(read_sectors(h, 512, 60000, 8, back.data()), 4096);
    EXPECT_EQ(back, data);
    EXPECT_EQ(FlushDrive(h), 1);
    EXPECT_EQ(UpdateDiskProperties(h), 1);  // a loop without partition scanning: counted as done
    FinishUnlockClose("Test", h);
  }
  EXPECT_EQ(ImageAt(60000LL * 512, 4096), data);

  // The volume by its byte range.
  DriveHandle v = GetDriveHandle(0, VolumeAccessName(d, 0), false, true);
  ASSERT_TRUE(v.valid());
  std::string boot(512, '\0');
  EXPECT_EQ(read_sectors(v, 512, 0, 1, boot.data()), 512);
  EXPECT_EQ(boot.substr(54, 8), "FAT16   ");
}

TEST_F(LoopDisk, ExclusiveHolderMakesLocksFailWithRetries) {
  auto loop = Attach(false);
  ASSERT_TRUE(loop);
  UpdateAllDrives();
  const int n = IndexOfPath(loop->path());
  ASSERT_GE(n, 0);
  ASSERT_EQ(SelectDisk(n, 0), 1);
  int holder = ::open(loop->path().c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  TakeLogMirror();
  EXPECT_FALSE(GetDriveHandle(n, "", true, true).valid());
  EXPECT_TRUE(LogMirrorContains("> GetDriveHandle: Error " + std::to_string(EBUSY) + " LOCK drive " + loop->path()));
  const std::string vol = VolumeAccessName(AllDrives[n], 0);
  EXPECT_FALSE(GetDriveHandle(0, vol, true, true).valid());
  EXPECT_TRUE(LogMirrorContains("> GetDriveHandle: Try #1 Error " + std::to_string(EBUSY) + " LOCK drive " + vol));
  EXPECT_TRUE(LogMirrorContains("> GetDriveHandle: Try #20 Error"));
  ::close(holder);
  DriveHandle h = GetDriveHandle(n, "", true, true);
  ASSERT_TRUE(h.valid());
  // While the job holds the disk, another exclusive open is refused by the kernel.
  int again = ::open(loop->path().c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
  EXPECT_LT(again, 0);
  if (again >= 0) ::close(again);
  EXPECT_EQ(UnlockDrive(h), 1);
  again = ::open(loop->path().c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
  EXPECT_GE(again, 0);
  if (again >= 0) ::close(again);
}

TEST_F(LoopDisk, EjectDetachesTheLoopAndUeventsReportIt) {
  auto events = OpenKernelUeventSource();
  ASSERT_TRUE(events);
  std::string out;
  ASSERT_EQ(test::Sh("losetup -f --show '" + image + "'", &out), 0) << out;
  const std::string path = platform::Trim(out);
  const std::string name = path.substr(path.rfind('/') + 1);
  int seen = 0;
  for (int i = 0; i < 30 && seen == 0; ++i) seen = events->Wait(100);
  EXPECT_GT(seen, 0);

  UpdateAllDrives();
  const int n = IndexOfPath(path);
  ASSERT_GE(n, 0);
  ui->SelectTreeLine(AllDrives[n].ListIndex);
  const bool ejected = EjectDrive() == 1;
  if (!ejected) test::Sh("losetup -d " + path);
  ASSERT_TRUE(ejected);
  EXPECT_FALSE(std::filesystem::exists("/sys/block/" + name + "/loop/backing_file"));
}

// A system root placed (in a test mount table) on a loop device over the
// image: a second loop stacked on that loop, and the image file itself, are
// the same system storage under other names. Only opens are tried.
TEST_F(LoopDisk, SystemStorageIsFollowedThroughLoopsBothWays) {
  auto lower = Attach(false);
  ASSERT_TRUE(lower);
  std::string err;
  auto upper = LoopDevice::Attach(lower->path(), LoopDevice::Options{}, &err);
  ASSERT_TRUE(upper) << err;
  unsigned maj = 0, min = 0;
  ASSERT_TRUE(platform::BlockDeviceNumber(lower->path(), &maj, &min));
  test::TempDir proc("fkproc");
  std::filesystem::create_directories(proc / "self");
  test::WriteFileBytes(proc / "swaps", "Filename Type Size Used Priority\n");
  const std::string mountinfo = proc / "self/mountinfo";
  test::WriteFileBytes(mountinfo, "25 1 " + std::to_string(maj) + ":" + std::to_string(min) + " / / rw - ext4 " +
                                      lower->path() + " rw\n");
  DiskEnv().procRoot = proc.path();
  AddImageDisk(image);
  UpdateAllDrives();

  EXPECT_TRUE(IsSystemDiskPath(lower->path()));
  EXPECT_TRUE(IsSystemDiskPath(upper->path()));
  EXPECT_TRUE(IsSystemDiskPath(image));
  for (const std::string& path : {upper->path(), image}) {
    const int n = IndexOfPath(path);
    ASSERT_GE(n, 0) << path;
    EXPECT_TRUE(AllDrives[n].SystemDisk) << path;
    ASSERT_EQ(SelectDisk(n, 0), 1);
    EXPECT_FALSE(GetDriveHandle(AllDrives[n].DiskNumber, "", true, true).valid()) << path;
    EXPECT_FALSE(GetDriveHandle(0, VolumeAccessName(AllDrives[n], 0), true, true).valid()) << path;
  }
  EXPECT_TRUE(ui->HasStatus("WARNING - write access to System Drive disabled!"));

  test::WriteFileBytes(mountinfo, "");
  EXPECT_FALSE(IsSystemDiskPath(upper->path()));
  EXPECT_FALSE(IsSystemDiskPath(image));
}

// The loop device and its backing file are one storage: holding either name
// keeps another program from taking the other.
TEST_F(LoopDisk, OneStorageUnderTwoNamesIsHeldOnce) {
  auto loop = Attach(false);
  ASSERT_TRUE(loop);
  AddImageDisk(image);
  UpdateAllDrives();
  const int byLoop = IndexOfPath(loop->path()), byFile = IndexOfPath(image);
  ASSERT_GE(byLoop, 0);
  ASSERT_GE(byFile, 0);
  const std::string otherProgram = "flock -n '" + image + "' true";
  {
    ASSERT_EQ(SelectDisk(byLoop, 0), 1);
    DriveHandle h = GetDriveHandle(AllDrives[byLoop].DiskNumber, "", true, true);
    ASSERT_TRUE(h.valid());
    EXPECT_NE(test::Sh(otherProgram), 0);
  }
  EXPECT_EQ(test::Sh(otherProgram), 0);
  // Another program holds the file: neither name can be locked here.
  const int holder = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  ASSERT_EQ(SelectDisk(byLoop, 0), 1);
  EXPECT_FALSE(GetDriveHandle(AllDrives[byLoop].DiskNumber, "", true, true).valid());
  ASSERT_EQ(SelectDisk(byFile, 0), 1);
  EXPECT_FALSE(GetDriveHandle(AllDrives[byFile].DiskNumber, "", true, true).valid());
  EXPECT_TRUE(LogMirrorContains(image + " is in use by another program"));
  ::close(holder);
  ASSERT_EQ(SelectDisk(byFile, 0), 1);
  EXPECT_TRUE(GetDriveHandle(AllDrives[byFile].DiskNumber, "", true, true).valid());
}

TEST_F(LoopDisk, ThisMachinesSystemDiskIsRefusedForWriting) {
  auto system = platform::FindSystemDisks("/proc", "/sys");
  if (system.empty()) GTEST_SKIP() << "no block device holds / here";
  UpdateAllDrives();
  // Only opens are tried; nothing is ever written.
  for (const auto& name : system) {
    const std::string node = "/dev/" + name;
    if (!std::filesystem::exists(node)) continue;
    EXPECT_TRUE(IsSystemDiskPath(node)) << node;
    EXPECT_FALSE(GetDriveHandle(0, node, true, false).valid()) << node;
    EXPECT_TRUE(ui->HasStatus("WARNING - access to Disk " + node + ": disabled!"));
  }
  // When the system disk can be opened at all, it is listed and refused by number too.
  int listed = 0;
  for (size_t i = 0; i < AllDrives.size(); ++i) {
    if (!AllDrives[i].SystemDisk) continue;
    ++listed;
    const DiskRecord disk = AllDrives[i];
    ASSERT_EQ(SelectDisk(static_cast<int>(i), 0), 1);
    EXPECT_FALSE(GetDriveHandle(static_cast<int>(i), "", true, false).valid());
    EXPECT_TRUE(ui->HasStatus("WARNING - write access to System Drive disabled!"));
    CurrentDisk = DiskRecord{};
    EXPECT_FALSE(GetDriveHandle(static_cast<int>(i), "", true, true).valid());
    for (int p = 0; p < 4; ++p)
      if (!disk.Partition[p].DriveLetter.empty()) {
        EXPECT_FALSE(GetDriveHandle(0, disk.Partition[p].DriveLetter, false, false).valid());
      }
  }
  ASSERT_FALSE(ui->Boxes().empty());
  EXPECT_EQ(ui->Boxes().back().title, "Error");
  EXPECT_EQ(ui->Boxes().back().text, "Sorry, operation not permitted!\r\nYou selected a System Drive.");
  if (listed == 0) std::cout << "[ NOTE ] the system disk cannot be opened here, so it is not listed\n";
}

}  // namespace

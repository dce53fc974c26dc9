// The disk list, the tree, the selection, the guard and eject on a fake machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>

#include "app/AppState.h"
#include "app/Log.h"
#include "tests/support/ScriptedUi.h"
#include "disk/DiskList.h"
#include "disk/RawDisk.h"
#include "tests/support/FakeSysfs.h"
#include "tests/support/TestUtil.h"

using namespace fk;

namespace {

class FakeDiskList : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!test::HaveProgram("mkfs.fat")) return;
    tmp_ = std::make_unique<test::TempDir>("fkdisk");
    fs_ = std::make_unique<test::FakeSystem>(tmp_->path());
    test::BuildStandardFakeMachine(*fs_);
    mountinfo_ = test::ReadFileBytes(fs_->proc + "/self/mountinfo");
  }
  static void TearDownTestSuite() {
    fs_.reset();
    tmp_.reset();
  }
  void SetUp() override {
    if (!fs_) GTEST_SKIP() << "mkfs.fat missing";
    fs_->SetMountInfo(mountinfo_);
    DiskEnv() = {fs_->sys, fs_->proc, fs_->dev};
    ui = std::make_shared<ScriptedUi>();
    SetUi(ui);
    SetPauseFunction([](int) {});
    SetLogMirror(true);
    TakeLogMirror();
    ClearImageDisks();
    ResetSharedFlags();
    SetEnableFixedDisksSource([this] { return fixedDisks; });
    SetEjectUsesUDisks(false);
    CurrentDisk = DiskRecord{};
  }
  void TearDown() override {
    DiskEnv() = DiskEnvironment{};
    SetEnableFixedDisksSource(nullptr);
    SetPauseFunction(nullptr);
    SetLogMirror(false);
    SetEjectUsesUDisks(true);
    SetUi(nullptr);
  }
  // Tree texts with the fake device root shown as /dev.
  std::vector<std::string> Lines() {
    std::vector<std::string> out;
    for (auto l : ui->TreeLines()) {
      for (size_t p; (p = l.text.find(fs_->dev)) != std::string::npos;) l.text.replace(p, fs_->dev.size(), "/dev");
      out.push_back(std::string(l.level ? "  " : "") + l.text);
    }
    return out;
  }
  int IndexOf(const std::string& kernelName) {
    for (size_t i = 0; i < AllDrives.size(); ++i)
      if (AllDrives[i].KernelName == kernelName) return static_cast<int>(i);
    return -1;
  }
  static std::string FirstSector(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string s(512, '\0');
    in.read(s.data(), 512);
    return s;
  }
  bool RefusedWithSystemTexts() {
    auto boxes = ui->Boxes();
    return !boxes.empty() && boxes.back().title == "Error" &&
           boxes.back().text == "Sorry, operation not permitted!\r\nYou selected a System Drive.";
  }

  static std::unique_ptr<test::TempDir> tmp_;
  static std::unique_ptr<test::FakeSystem> fs_;
  static std::string mountinfo_;
  std::shared_ptr<ScriptedUi> ui;
  bool fixedDisks = false;
};
std::unique_ptr<test::TempDir> FakeDiskList::tmp_;
std::unique_ptr<test::FakeSystem> FakeDiskList::fs_;
std::string FakeDiskList::mountinfo_;

TEST_F(FakeDiskList, UsbDisksOnlyWithTheirLineTexts) {
  EXPECT_EQ(UpdateAllDrives(), 10);
  EXPECT_EQ(Lines(), (std::vector<std::string>{
                         "USB: Vendor Product 14.40 GB (/dev/sdb1 /dev/sdb2)",
                         "  Part1: 200 MB FAT32 Act <CLOVER> /dev/sdb1",
                         "  Part2: 200 MB FAT32 <DATA> /dev/sdb2",
                         "USB: WD Elements 2621 931.51 GB (/dev/sdc1)",
                         "  Part1: 931.51 GB <NONAME> /dev/sdc1",
                         "USB: SanDisk Extreme 58.24 GB (/dev/sdf1)",
                         "  Part1: 58.24 GB <NONAME> /dev/sdf1",
                     }));
  EXPECT_TRUE(ui->HasStatus("Select the USB Flash Drive, please"));
  EXPECT_EQ(ui->SelectedTreeLine(), 0);
  EXPECT_TRUE(LogMirrorContains("> UpdateAllDrives found 10 drives"));
  EXPECT_TRUE(LogMirrorContains("> FileSystem of " + fs_->dev + "/sdb1 FAT32"));
  EXPECT_TRUE(LogMirrorContains("> VolName of " + fs_->dev + "/sdb2 DATA"));

  const DiskRecord& sdc = AllDrives[IndexOf("sdc")];
  EXPECT_EQ(sdc.DriveType, DRIVE_REMOVABLE);  // USB enclosure with removable 0
  EXPECT_EQ(sdc.Partition[0].PartitionType, 0x07);
  EXPECT_EQ(sdc.Partition[0].HiddenSectors, 2048u);
  EXPECT_EQ(sdc.Geometry.Cylinders, 1000204886016LL / (255 * 63 * 512));
  EXPECT_EQ(sdc.ChsSectors, sdc.Geometry.Cylinders * 255 * 63);
  const DiskRecord& sd = AllDrives[IndexOf("mmcblk0")];
  EXPECT_EQ(sd.BusType, "SD");
  EXPECT_EQ(sd.ListIndex, -1);
  EXPECT_TRUE(AllDrives[IndexOf("nvme0n1")].SystemDisk);
  EXPECT_TRUE(AllDrives[IndexOf("sdf")].SystemDisk);
  EXPECT_FALSE(AllDrives[IndexOf("sdb")].SystemDisk);
  EXPECT_FALSE(AllDrives[IndexOf("loop1")].SystemDisk);
}

TEST_F(FakeDiskList, FixedDisksGptAndNoDisks) {
  fixedDisks = true;
  UpdateAllDrives();
  auto lines = Lines();
  EXPECT_EQ(lines.front(), "FileBackedVirtual: 64 MB ()");
  auto gpt = std::find(lines.begin(), lines.end(), "SATA: ATA Samsung SSD 860 232.89 GB ()");
  ASSERT_NE(gpt, lines.end());
  EXPECT_TRUE(gpt + 1 == lines.end() || (gpt + 1)->rfind("  ", 0) != 0);  // no partition lines
  EXPECT_TRUE(LogMirrorContains(">  Disk9 (Not MBR disk) Samsung SSD 860 ATA"));
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "NVMe: Samsung SSD 970 EVO Plus 500GB 465.76 GB (/dev/nvme0n1p1 /dev/nvme0n1p2)"),
            lines.end());
  for (const auto& l : lines) EXPECT_EQ(l.find("SD16G"), std::string::npos);  // removable, not USB

  DiskEnv().sysRoot = tmp_->path() + "/nothing";
  fixedDisks = false;
  EXPECT_EQ(UpdateAllDrives(), 0);
  EXPECT_TRUE(ui->TreeLines().empty());
  EXPECT_TRUE(ui->HasStatus("Insert a USB Flash Drive ..."));
  EXPECT_EQ(SetCurrentDisk(), 0);
}

TEST_F(FakeDiskList, SelectionFillsCurrentDiskAndRefreshKeepsIndex) {
  UpdateAllDrives();
  ui->SelectTreeLine(2);  // Part2 of sdb
  ASSERT_EQ(SetCurrentDisk(), 1);
  EXPECT_EQ(CurrentDisk.KernelName, "sdb");
  EXPECT_EQ(CurrentDisk.SelectedPartition, 2);
  EXPECT_EQ(CurrentDisk.Partition[1].VolumeName, "DATA");
  ui->SelectTreeLine(3);
  ASSERT_EQ(SetCurrentDisk(), 1);
  EXPECT_EQ(CurrentDisk.KernelName, "sdc");
  EXPECT_EQ(CurrentDisk.SelectedPartition, 0);
  EXPECT_TRUE(LogMirrorContains("> CurrentDisk: DiskNumber = 6 SelectedPartition = 0 DriveLetters = " + fs_->dev +
                                "/sdc1 BusType = USB"));

  // Refresh keeps the selected line index; a plain rebuild selects line 0.
  ui->SelectTreeLine(4);
  RefreshDrives();
  EXPECT_EQ(ui->SelectedTreeLine(), 4);
  UpdateAllDrives();
  EXPECT_EQ(ui->SelectedTreeLine(), 0);

  // SelectDisk for callers without a tree: a hidden disk or empty slot gives 0.
  EXPECT_EQ(SelectDisk(IndexOf("sdb"), 1), 1);
  EXPECT_EQ(CurrentDisk.SelectedPartition, 1);
  EXPECT_EQ(ui->SelectedTreeLine(), 1);
  EXPECT_EQ(SelectDisk(IndexOf("sdc"), 2), 0);
  EXPECT_EQ(SelectDisk(IndexOf("mmcblk0"), 0), 0);
  EXPECT_TRUE(CurrentDisk.DevicePath.empty());
}

TEST_F(FakeDiskList, GuardRefusesSystemDisksAndStrayNames) {
  fixedDisks = true;
  UpdateAllDrives();
  const std::string before = FirstSector(fs_->DevFile("nvme0n1"));

  // The selected disk is the system disk: writes are refused whatever is named.
  ASSERT_EQ(SelectDisk(IndexOf("nvme0n1"), 0), 1);
  EXPECT_FALSE(GetDriveHandle(IndexOf("nvme0n1"), "", true, true).valid());
  EXPECT_TRUE(RefusedWithSystemTexts());
  EXPECT_TRUE(ui->HasStatus("WARNING - write access to System Drive disabled!"));
  EXPECT_FALSE(GetDriveHandle(IndexOf("sdb"), "", true, false).valid());

  // Another disk is selected, but the named one is a system disk.
  ASSERT_EQ(SelectDisk(IndexOf("sdb"), 0), 1);
  for (const char* n : {"nvme0n1", "sda", "sdd", "loop0", "sdf"}) {
    EXPECT_FALSE(GetDriveHandle(IndexOf(n), "", true, false).valid()) << n;
    EXPECT_FALSE(GetDriveHandle(IndexOf(n), "", false, true).valid()) << n;  // a lock would unmount
  }
  // Reading a whole system disk stays possible (the enumeration does it) ...
  EXPECT_TRUE(GetDriveHandle(IndexOf("nvme0n1"), "", false, false).valid());
  // ... but not its partitions, nor anything that is not a listed partition.
  int boxes = static_cast<int>(ui->Boxes().size());
  for (std::string name : {fs_->dev + "/nvme0n1p1", fs_->dev + "/sda1", fs_->dev + "/sdb", tmp_->path() + "/x",
                           std::string("relative"), fs_->DevFile("nvme0n1") + "@@1048576",
                           fs_->DevFile("sdb") + "@@4096"}) {
    EXPECT_FALSE(GetDriveHandle(0, name, false, false).valid()) << name;
    EXPECT_TRUE(LogMirrorContains("> GetDriveHandle: WARNING: Bad DriveLetter$=" + name + ". Please check the code!"));
    EXPECT_TRUE(ui->HasStatus("WARNING - access to Disk " + name + ": disabled!"));
  }
  EXPECT_EQ(static_cast<int>(ui->Boxes().size()), boxes + 7);
  EXPECT_EQ(FirstSector(fs_->DevFile("nvme0n1")), before);

  // A loop over a plain file in /home is not a system disk.
  EXPECT_TRUE(GetDriveHandle(IndexOf("loop1"), "", true, false).valid());
}

TEST_F(FakeDiskList, VolumeByRangeStartsAtThePartition) {
  UpdateAllDrives();
  ASSERT_EQ(SelectDisk(IndexOf("sdb"), 1), 1);
  const std::string name = fs_->DevFile("sdb") + "@@" + std::to_string(411648LL * 512);
  DriveHandle h = GetDriveHandle(0, name, false, false);
  ASSERT_TRUE(h.valid());
  EXPECT_EQ(h.length(), 409600LL * 512);
  std::string boot(512, '\0');
  ASSERT_EQ(read_sectors(h, 512, 0, 1, boot.data()), 512);
  EXPECT_EQ(boot.substr(71, 11), "DATA       ");  // FAT32 volume label field
  EXPECT_EQ(boot.substr(82, 8), "FAT32   ");
  // Nothing past the end of the volume.
  EXPECT_EQ(read_sectors(h, 512, 409600, 1, boot.data()), 0);
  EXPECT_TRUE(LogMirrorContains("> read_sectors: Could not access sector 409600"));
  EXPECT_EQ(read_sectors(h, 512, 409599, 1, boot.data()), 512);
}

// The kernel made the partition's node after the disk was listed (it read a
// new table): the node names the volume all the same.
TEST_F(FakeDiskList, PartitionNodeMadeAfterTheListingOpens) {
  const std::string attr = fs_->DeviceDir("sdb") + "/sdb2/partition";
  ASSERT_TRUE(std::filesystem::exists(attr));
  std::filesystem::rename(attr, attr + ".later");
  UpdateAllDrives();
  std::filesystem::rename(attr + ".later", attr);
  const std::string node = fs_->DevFile("sdb2");
  test::WriteFileBytes(node, std::string(4096, '\0'));
  DriveHandle h = GetDriveHandle(0, node, false, false);
  std::filesystem::remove(node);
  ASSERT_TRUE(h.valid());
  EXPECT_EQ(h.length(), 409600LL * 512);
  EXPECT_FALSE(RefusedWithSystemTexts());
}

TEST_F(FakeDiskList, EjectPowersOffTheSelectedUsbDisk) {
  fs_->SetMountInfo("21 1 253:1 / / rw - ext4 /dev/mapper/vg-root rw\n");
  fixedDisks = true;
  UpdateAllDrives();
  const std::string remove = fs_->sys + "/devices/pci0000:00/0000:00:14.0/usb2/2-1/remove";
  test::WriteFileBytes(remove, "");

  ui->SelectTreeLine(-1);
  EXPECT_EQ(EjectDrive(), 0);  // nothing selected
  ui->SelectTreeLine(AllDrives[IndexOf("sdg")].ListIndex);
  EXPECT_EQ(EjectDrive(), 0);  // not USB
  EXPECT_EQ(test::ReadFileBytes(remove), "");

  TakeLogMirror();
  ui->SelectTreeLine(AllDrives[IndexOf("sdb")].Partition[1].ListIndex);  // a partition line ejects its disk
  EXPECT_EQ(EjectDrive(), 1);
  EXPECT_EQ(test::ReadFileBytes(remove), "1");
  auto log = TakeLogMirror();
  auto pos = [&](const std::string& part) {
    for (size_t i = 0; i < log.size(); ++i)
      if (log[i].find(part) != std::string::npos) return static_cast<int>(i);
    return -1;
  };
  EXPECT_GE(pos("> Tries #1"), 0);
  EXPECT_LT(pos("> Tries #1"), pos("6:0:0:0/delete <- 1"));
  EXPECT_LT(pos("6:0:0:0/delete <- 1"), pos("usb2/2-1/remove <- 1"));
  EXPECT_LT(pos("usb2/2-1/remove <- 1"), pos("> Success"));

  // The disk holding a system loop's image is never powered off.
  fs_->SetMountInfo(mountinfo_);
  ui->SelectTreeLine(AllDrives[IndexOf("sdf")].ListIndex);
  EXPECT_EQ(EjectDrive(), 0);
}

}  // namespace

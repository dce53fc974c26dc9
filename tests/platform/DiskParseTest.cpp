// Parsing of mountinfo, swaps and MBR sectors, sysfs reading and the
// system-disk set, on fake trees.
#include <gtest/gtest.h>

#include "platform/Disks.h"
#include "tests/support/FakeSysfs.h"
#include "tests/support/TestUtil.h"

using namespace fk;
using namespace fk::platform;

TEST(MountInfo, FieldsOptionalTagsAndEscapes) {
  auto m = ParseMountInfo(
      "36 35 98:0 /mnt1 /mnt/parent\\040dir rw,noatime master:1 shared:7 - ext3 /dev/root rw,errors=continue\n"
      "garbage line\n"
      "40 1 0:45 / /srv rw - btrfs /dev/nvme0n1p3 rw,subvol=/srv\n"
      "41 1 8:1 / /x rw - vfat /dev/sd\\134x rw\n");
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m[0].major, 98u);
  EXPECT_EQ(m[0].minor, 0u);
  EXPECT_EQ(m[0].root, "/mnt1");
  EXPECT_EQ(m[0].mountPoint, "/mnt/parent dir");
  EXPECT_EQ(m[0].mountOptions, "rw,noatime");
  EXPECT_EQ(m[0].fsType, "ext3");
  EXPECT_EQ(m[0].source, "/dev/root");
  EXPECT_EQ(m[0].superOptions, "rw,errors=continue");
  EXPECT_EQ(m[1].major, 0u);
  EXPECT_EQ(m[1].source, "/dev/nvme0n1p3");
  EXPECT_EQ(m[2].source, "/dev/sd\\x");
}

TEST(Swaps, SkipsHeaderAndUnescapes) {
  auto s = ParseSwaps(
      "Filename\t\t\t\tType\t\tSize\t\tUsed\t\tPriority\n"
      "/dev/nvme0n1p3                          partition\t8388604\t\t0\t\t-2\n"
      "/swap\\040file                           file\t\t1048572\t\t0\t\t-3\n");
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[0].fileName, "/dev/nvme0n1p3");
  EXPECT_EQ(s[0].type, "partition");
  EXPECT_EQ(s[1].fileName, "/swap file");
  EXPECT_EQ(s[1].type, "file");
}

TEST(Mbr, EntriesSignatureGptAndMissingMarker) {
  std::string sec = test::MakeMbr({{0x0B, true, 2048, 409600}, {0x07, false, 411648, 1000}}, 0xCAFEBABE);
  auto m = ParseMbr(reinterpret_cast<const uint8_t*>(sec.data()), sec.size());
  ASSERT_TRUE(m.valid);
  EXPECT_EQ(m.signature, 0xCAFEBABEu);
  EXPECT_EQ(m.entries[0].bootIndicator, 0x80);
  EXPECT_EQ(m.entries[0].type, 0x0B);
  EXPECT_EQ(m.entries[0].startLba, 2048u);
  EXPECT_EQ(m.entries[0].sectors, 409600u);
  EXPECT_EQ(m.entries[1].startLba, 411648u);
  EXPECT_EQ(m.entries[2].sectors, 0u);

  std::string gpt = test::MakeMbr({{0xEE, false, 1, 0xFFFFFFFF}});
  auto g = ParseMbr(reinterpret_cast<const uint8_t*>(gpt.data()), gpt.size());
  EXPECT_FALSE(g.valid);
  EXPECT_TRUE(g.gpt);

  sec[511] = 0;
  EXPECT_FALSE(ParseMbr(reinterpret_cast<const uint8_t*>(sec.data()), sec.size()).valid);
  EXPECT_FALSE(ParseMbr(reinterpret_cast<const uint8_t*>(sec.data()), 100).valid);
}

TEST(DiskNames, ListedKinds) {
  for (const char* n : {"sda", "sdab", "vdb", "xvda", "nvme0n1", "nvme1n12", "mmcblk0", "loop7"})
    EXPECT_TRUE(IsListedDiskName(n)) << n;
  for (const char* n : {"sda1", "nvme0n1p1", "mmcblk0p1", "mmcblk0boot0", "ram0", "zram0", "dm-0", "md127", "sr0",
                        "fd0", "loop", "nvme0", "loop0p1"})
    EXPECT_FALSE(IsListedDiskName(n)) << n;
}

class FakeMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::HaveProgram("mkfs.fat")) GTEST_SKIP() << "mkfs.fat missing";
    test::BuildStandardFakeMachine(fs);
  }
  test::TempDir tmp{"fksys"};
  test::FakeSystem fs{tmp.path()};
};

TEST_F(FakeMachine, EnumerationAttributesAndBusTypes) {
  auto disks = EnumerateBlockDevices(fs.sys);
  std::vector<std::string> names;
  for (const auto& d : disks) names.push_back(d.name);
  // dm-*, md* and a loop device without backing file are left out; sorted by name.
  EXPECT_EQ(names, (std::vector<std::string>{"loop0", "loop1", "mmcblk0", "nvme0n1", "sda", "sdb", "sdc", "sdd",
                                             "sdf", "sdg"}));
  auto find = [&](const std::string& n) {
    for (const auto& d : disks)
      if (d.name == n) return d;
    ADD_FAILURE() << n;
    return BlockDevice{};
  };
  BlockDevice sdb = find("sdb");
  EXPECT_EQ(sdb.vendor, "Vendor");
  EXPECT_EQ(sdb.model, "Product");
  EXPECT_EQ(sdb.busType, 7);
  EXPECT_TRUE(sdb.removable);
  EXPECT_EQ(sdb.sizeBytes, 30198989LL * 512);
  ASSERT_EQ(sdb.partitions.size(), 2u);
  EXPECT_EQ(sdb.partitions[1].name, "sdb2");
  EXPECT_EQ(sdb.partitions[1].startBytes, 411648LL * 512);
  EXPECT_EQ(sdb.partitions[1].minor, 18u);

  BlockDevice sdc = find("sdc");  // enclosure: removable 0, still USB and hot-pluggable
  EXPECT_FALSE(sdc.removable);
  EXPECT_EQ(sdc.busType, 7);
  EXPECT_TRUE(sdc.hotplug);

  BlockDevice sd = find("mmcblk0");
  EXPECT_EQ(sd.busType, 12);
  EXPECT_EQ(sd.model, "SD16G");
  EXPECT_TRUE(sd.hotplug);

  EXPECT_EQ(find("nvme0n1").busType, 17);
  EXPECT_EQ(find("nvme0n1").vendor, "");
  EXPECT_EQ(find("sda").busType, 11);
  EXPECT_EQ(find("loop1").busType, 15);
  EXPECT_EQ(find("loop1").backingFile, "/home/user/test.img");
}

TEST_F(FakeMachine, SystemDisksFollowStackedDevicesLoopsAndSwap) {
  auto sys = FindSystemDisks(fs.proc, fs.sys);
  // / on LVM on LUKS on nvme0n1p2; /home on md0 of sda1+sdd1; /var on loop0 whose
  // image lies on sdf1.
  for (const char* n : {"nvme0n1", "dm-0", "dm-1", "md0", "sda", "sdd", "loop0", "sdf"})
    EXPECT_TRUE(sys.count(n)) << n;
  // A mounted USB stick, a loop over a plain file in /home and the others are not.
  for (const char* n : {"sdb", "sdc", "mmcblk0", "loop1", "sdg"}) EXPECT_FALSE(sys.count(n)) << n;

  fs.SetSwaps("/dev/sdg1 partition 8388604 0 -2\n");
  EXPECT_TRUE(FindSystemDisks(fs.proc, fs.sys).count("sdg"));
  fs.SetSwaps("/mnt/store/swapfile file 1048572 0 -3\n");
  fs.SetMountInfo("24 21 8:32 / /mnt/store rw - ntfs3 /dev/sdc rw\n");
  auto s2 = FindSystemDisks(fs.proc, fs.sys);
  EXPECT_TRUE(s2.count("sdc"));
  EXPECT_FALSE(s2.count("nvme0n1"));
}

TEST_F(FakeMachine, ProbeReadsLabelsAtPartitionOffsets) {
  auto p1 = ProbeVolume(fs.DevFile("sdb"), 2048LL * 512, 409600LL * 512);
  ASSERT_TRUE(p1.ok);
  EXPECT_EQ(p1.fsName, "FAT32");
  EXPECT_EQ(p1.label, "CLOVER");
  auto p2 = ProbeVolume(fs.DevFile("sdb"), 411648LL * 512, 0);
  EXPECT_EQ(p2.label, "DATA");
  EXPECT_FALSE(ProbeVolume(fs.DevFile("sdc"), 2048LL * 512, 0).ok);
}

TEST_F(FakeMachine, ManualPowerOffWritesScsiDeleteThenUsbRemove) {
  std::vector<SysfsWrite> writes;
  ASSERT_TRUE(ManualPowerOff(fs.sys, "sdb", -1, &writes));
  ASSERT_EQ(writes.size(), 2u);
  const std::string scsi = fs.sys + "/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0";
  EXPECT_EQ(writes[0].path, scsi + "/delete");
  EXPECT_EQ(writes[1].path, fs.sys + "/devices/pci0000:00/0000:00:14.0/usb2/2-1/remove");
  EXPECT_EQ(test::ReadFileBytes(writes[1].path), "1");
  // No USB parent: nothing is written.
  writes.clear();
  EXPECT_FALSE(ManualPowerOff(fs.sys, "nvme0n1", -1, &writes));
  EXPECT_TRUE(writes.empty());
}

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

  // An entry written back changes only its type and length bytes here: CHS and the rest stay.
  std::string edited = sec;
  MbrEntry e = m.entries[1];
  e.type = 0xAF;
  e.sectors = 0x01020304;
  StoreMbrEntry(reinterpret_cast<uint8_t*>(edited.data()), 1, e);
  std::string expected = sec;
  expected[446 + 16 + 4] = '\xAF';
  expected.replace(446 + 16 + 12, 4, "\x04\x03\x02\x01");
  EXPECT_EQ(edited, expected);

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

  // A live system: / is an overlay whose lower layer is a squashfs on loop0,
  // whose image lies on the stick it booted from (sdf1 at /mnt/store).
  fs.SetSwaps("");
  fs.SetMountInfo(
      "30 1 0:30 / / rw,noatime - overlay overlay rw,lowerdir=/run/live/rootfs/filesystem.squashfs/,"
      "upperdir=/run/live/overlay/rw,workdir=/run/live/overlay/work\n"
      "31 30 0:31 / /run/live/overlay rw - tmpfs tmpfs rw\n"
      "32 30 8:81 / /mnt/store ro - vfat /dev/sdf1 ro\n"
      "33 30 7:0 / /run/live/rootfs/filesystem.squashfs ro - squashfs /dev/loop0 ro\n");
  auto live = FindSystemDisks(fs.proc, fs.sys);
  EXPECT_TRUE(live.count("loop0"));
  EXPECT_TRUE(live.count("sdf"));
  EXPECT_FALSE(live.count("nvme0n1"));
}

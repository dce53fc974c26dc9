// flashkeel-cli format runs on loop devices (root only), given as --disk like
// a stick: mounted volumes are taken off first, and the disk takes FAT32 then exFAT.
#include "tests/cli/CliFormatFixture.h"

namespace fk::test {
namespace {

// Root only: the same runs on a loop device, given as --disk like a stick.
class CliFormatLoop : public CliFormat {
 protected:
  void SetUp() override {
    if (!IsRoot()) GTEST_SKIP() << "needs root for loop devices";
    CliFormat::SetUp();
  }
  std::unique_ptr<LoopDevice> Attach(const std::string& img) {
    MakeSparseFile(img, kImageSize);
    std::string err;
    LoopDevice::Options o;
    o.partScan = true;
    auto loop = LoopDevice::Attach(img, o, &err);
    EXPECT_TRUE(loop) << err;
    return loop;
  }
};

// A stick with a file system on the whole device and no partition table, as
// the desktop mounts it: the format takes that mount off like a partition's.
TEST_F(CliFormatLoop, MountedWholeDiskFileSystemIsUnmountedForTheFormat) {
  const std::string img = dir_ / "superfloppy.img";
  auto loop = Attach(img);
  ASSERT_TRUE(loop);
  std::string out;
  if (!HaveProgram("mkfs.ext2")) GTEST_SKIP() << "e2fsprogs missing";
  ASSERT_EQ(Sh("mkfs.ext2 -q -F " + loop->path() + " 2>&1", &out), 0) << out;
  const std::string mnt = dir_ / "auto";
  std::filesystem::create_directories(mnt);
  ASSERT_EQ(Sh("mount -t ext2 " + loop->path() + " " + Quote(mnt) + " 2>&1", &out), 0) << out;
  struct Unmount {
    std::string dir;
    ~Unmount() { Sh("umount " + Quote(dir) + " 2>/dev/null"); }
  } unmount{mnt};

  CliResult r = home_.Run("format --disk " + loop->path() +
                          " --all --boot-records Clover --fs FAT32-LBA --align 2048 --one-partition --label FKTEST"
                          " --data-set none --yes");
  ASSERT_EQ(r.rc, 0) << r.out << home_.LogText();
  EXPECT_NE(home_.LogText().find("> Phase 1 Success open Disk"), std::string::npos) << home_.LogText();
  EXPECT_NE(Sh("mountpoint -q " + Quote(mnt)), 0) << "the disk is still mounted";
  Sh("umount " + Quote(mnt) + " 2>/dev/null");
  ::sync();
  auto e = ReadMbrEntries(ReadFileBytes(img).substr(0, 512));
  EXPECT_EQ(e[0].type, 0x0C);
  EXPECT_EQ(FsckPartition(img, e[0], false, dir_.path(), &out), 0) << out;
}

// Not_Format on a loop device: the disk is held while the data set is written.
// A volume the desktop has mounted is taken off first: raw writes under a live
// FAT mount leave the kernel with stale structures it writes back at unmount.
// The mount part needs a kernel that makes partition nodes.
TEST_F(CliFormatLoop, NotFormatUnmountsTheMountedVolumeFirst) {
  const std::string img = dir_ / "mounted.img";
  auto loop = Attach(img);
  ASSERT_TRUE(loop);
  CliResult r = home_.Run("format --disk " + loop->path() +
                          " --all --boot-records Clover --fs FAT32-LBA --align 2048 --one-partition --label FKTEST"
                          " --data-set none --yes");
  ASSERT_EQ(r.rc, 0) << r.out << home_.LogText();
  // What udev does once a disk written to is closed: the kernel reads the new table.
  Sh("blockdev --rereadpt " + loop->path() + " 2>/dev/null");
  const std::string part = loop->path() + "p1";
  const std::string mnt = dir_ / "auto";
  struct Unmount {
    std::string dir;
    ~Unmount() { Sh("umount " + Quote(dir) + " 2>/dev/null"); }
  } unmount{mnt};
  bool mounted = false;
  std::string out;
  if (std::filesystem::exists(part)) {
    std::filesystem::create_directories(mnt);
    ASSERT_EQ(Sh("mount -t vfat " + part + " " + Quote(mnt) + " 2>&1", &out), 0) << out;
    mounted = true;
  }

  const std::string zip = MakeZip(dir_ / "set.zip", kDataSet);
  r = home_.Run("format --disk " + loop->path() + " --all --boot-records Not_Format --data-set local:" + Quote(zip) +
                " --yes");
  ASSERT_EQ(r.rc, 0) << r.out << home_.LogText();
  EXPECT_NE(home_.LogText().find("> UnlockClose hPhysicalDrive = "), std::string::npos);
  if (mounted) {
    EXPECT_NE(Sh("mountpoint -q " + Quote(mnt)), 0) << "the volume is still mounted";
  }
  Sh("umount " + Quote(mnt) + " 2>/dev/null");
  ::sync();
  auto e = ReadMbrEntries(ReadFileBytes(img).substr(0, 512));
  EXPECT_EQ(FsckPartition(img, e[0], false, dir_.path(), &out), 0) << out;
  for (const auto& [name, data] : kDataSet) {
    std::string back;
    ASSERT_TRUE(FatReadFile(img, e[0].start, name, &back)) << name;
    EXPECT_EQ(back, data) << name;
  }
}

TEST_F(CliFormatLoop, CloverFat32ThenExfatOnLoopDevice) {
  const std::string img = dir_ / "loop.img";
  auto loop = Attach(img);
  ASSERT_TRUE(loop);
  const std::string zip = MakeZip(dir_ / "set.zip", kDataSet);

  CliResult r = home_.Run("format --disk " + loop->path() +
                          " --all --boot-records Clover --fs FAT32-LBA --align 2048 --boot-size 128 --label FKTEST"
                          " --data-set local:" + Quote(zip) + " --yes");
  ASSERT_EQ(r.rc, 0) << r.out << home_.LogText();
  ::sync();
  auto e = ReadMbrEntries(ReadFileBytes(img).substr(0, 512));
  EXPECT_EQ(e[0].type, 0x0C);
  EXPECT_EQ(e[0].start, 2048u);
  EXPECT_EQ(e[0].sectors, 128u * 2048);
  ExpectCloverFat32Volume(img, e[0]);
  ExpectPhaseLog(home_.LogText());

  if (!HaveProgram("mkfs.exfat") || !HaveProgram("fsck.exfat")) GTEST_SKIP() << "exfatprogs missing";
  // Again with exFAT, over the FAT32 volume now on the disk.
  r = home_.Run("format --disk " + loop->path() +
                " --all --boot-records Clover --fs exFAT --align 2048 --one-partition --label FKTEST"
                " --data-set local:" + Quote(zip) + " --yes");
  ASSERT_EQ(r.rc, 0) << r.out << home_.LogText();
  ::sync();
  const std::string log = home_.LogText();
  ExpectPhaseLog(log);
  // Only a kernel that made the partition node has a volume to dismount.
  if (std::filesystem::exists(loop->path() + "p1")) {
    EXPECT_NE(log.find("> Phase 2 Success open volume " + loop->path() + "p1"), std::string::npos) << log;
  }

  const std::string disk = ReadFileBytes(img);
  e = ReadMbrEntries(disk.substr(0, 512));
  EXPECT_EQ(disk.substr(0, 440), TemplateBytes("boot0").substr(0, 440));
  EXPECT_EQ(e[0].flag, 0x80);
  EXPECT_EQ(e[0].type, 0x07) << "exFAT type";
  EXPECT_EQ(e[0].start, 2048u);
  EXPECT_EQ(e[1].type, 0);
  const std::string vbr = disk.substr(uint64_t{e[0].start} * 512, 512);
  EXPECT_EQ(vbr.substr(3, 8), "EXFAT   ");
  const std::string xalt = TemplateBytes("boot1xalt");
  ASSERT_GE(xalt.size(), 512u);
  EXPECT_EQ(vbr.substr(120, 390), xalt.substr(120, 390)) << "boot1xalt code after the header";
  std::string out;
  EXPECT_EQ(FsckPartition(img, e[0], true, dir_.path(), &out), 0) << out;

  // Files read back through a read-only mount of the partition.
  LoopDevice::Options o;
  o.offset = int64_t{e[0].start} * 512;
  o.sizeLimit = int64_t{e[0].sectors} * 512;
  o.readOnly = true;
  std::string err;
  auto part = LoopDevice::Attach(img, o, &err);
  ASSERT_TRUE(part) << err;
  {
    std::string attrErr;
    int fd = ::open(part->path().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    for (const char* hidden : {".metadata_never_index", ".fseventsd", ".fseventsd/no_log"}) {
      int attrs = ExfatAttributes(fd, 0, hidden, &attrErr);
      EXPECT_GE(attrs, 0) << hidden << attrErr;
      EXPECT_TRUE(attrs > 0 && (attrs & 0x02)) << hidden;
    }
    EXPECT_EQ(ExfatAttributes(fd, 0, "boot", &attrErr) & 0x02, 0);
    ::close(fd);
  }
  const std::string mnt = dir_ / "mnt";
  std::filesystem::create_directories(mnt);
  // The kernel may lack exFAT: the FUSE driver the program uses itself.
  if (!HaveProgram("mount.exfat-fuse")) GTEST_SKIP() << "exfat-fuse missing";
  ASSERT_EQ(Sh("mount.exfat-fuse -o ro " + part->path() + " " + Quote(mnt) + " 2>&1", &out), 0) << out;
  for (const auto& [name, data] : kDataSet) EXPECT_EQ(ReadFileBytes(mnt + "/" + name), data) << name;
  EXPECT_EQ(Sh("umount " + Quote(mnt)), 0);
}

}  // namespace
}  // namespace fk::test

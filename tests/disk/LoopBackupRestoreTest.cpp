// Partition backup and restore on loop devices over image files in /dev/shm (root).
#include "tests/disk/BackupRestoreFixture.h"

namespace fk {
namespace {

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

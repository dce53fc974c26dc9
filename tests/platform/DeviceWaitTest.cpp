// The wait for a new partition table on fake sysfs and dev trees: seen once
// the kernel lists exactly the expected partitions with their nodes; an old
// partition, a wrong start or a missing node keeps it waiting until the limit;
// a disk that makes no partition nodes needs no wait.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/DeviceWait.h"
#include "tests/support/FakeSysfs.h"
#include "tests/support/TestUtil.h"

namespace fk {
namespace {

using platform::ExpectedPartition;
using platform::PartitionWait;

class DeviceWait : public ::testing::Test {
 protected:
  void AddStick(std::vector<test::FakePartition> parts) {
    test::FakeDisk d;
    d.name = "sdb";
    d.minor = 16;
    d.parentPath = "pci0000:00/usb2/2-1/host6/target6:0:0/6:0:0:0";
    d.sizeBytes = 1ll << 30;
    d.makeDevFile = false;
    d.partitions = std::move(parts);
    fake_.AddDisk(d);
  }
  PartitionWait Wait(std::string* detail) {
    return platform::WaitForPartitions(fake_.sys, fake_.dev, "sdb", expected_, 50, detail);
  }
  test::TempDir dir_{"fkwait"};
  test::FakeSystem fake_{dir_.path()};
  std::vector<ExpectedPartition> expected_{{1, 2048 * 512, 409600ll * 512}};
};

TEST_F(DeviceWait, SeenWhenTheKernelListsTheNewTable) {
  AddStick({{"sdb1", 1, 2048, 409600, 8, 17}});
  std::string detail;
  EXPECT_EQ(Wait(&detail), PartitionWait::Seen) << detail;
}

TEST_F(DeviceWait, OldPartitionsWrongStartsAndMissingNodesTimeOut) {
  AddStick({{"sdb1", 1, 2048, 409600, 8, 17}, {"sdb2", 2, 411648, 409600, 8, 18}});
  std::string detail;
  EXPECT_EQ(Wait(&detail), PartitionWait::TimedOut);
  EXPECT_EQ(detail, "old partition sdb2 still listed");

  expected_ = {{1, 63 * 512, 409600ll * 512}, {2, 411648ll * 512, 409600ll * 512}};
  EXPECT_EQ(Wait(&detail), PartitionWait::TimedOut);
  EXPECT_EQ(detail, "partition 1 still has its old start or size");

  expected_ = {{1, 2048 * 512, 409600ll * 512}, {2, 411648ll * 512, 409600ll * 512}};
  std::filesystem::remove(fake_.dev + "/sdb2");
  EXPECT_EQ(Wait(&detail), PartitionWait::TimedOut);
  EXPECT_EQ(detail, fake_.dev + "/sdb2 missing");
}

TEST_F(DeviceWait, ADiskWithoutPartitionScanningNeedsNoWait) {
  AddStick({});
  test::WriteFileBytes(fake_.sys + "/block/sdb/partscan", "0\n");
  std::string detail;
  EXPECT_EQ(Wait(&detail), PartitionWait::NotScanned);
}

}  // namespace
}  // namespace fk

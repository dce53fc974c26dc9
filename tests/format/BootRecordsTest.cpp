#include <gtest/gtest.h>

#include "tests/format/FormatFixture.h"

namespace fk {
namespace {

using test::FormatTest;

// Passes I/O through to a file; can cancel the run or fail writes from a count on.
class ScriptedDevice : public SectorDevice {
 public:
  explicit ScriptedDevice(SectorDevice& inner) : inner_(inner) {}
  int64_t ReadSectors(int64_t ss, int64_t start, int64_t n, void* buf) override {
    return inner_.ReadSectors(ss, start, n, buf);
  }
  int64_t WriteSectors(int64_t ss, int64_t start, int64_t n, const void* buf) override {
    if (++writes == cancelAtWrite) test::CancelThisOperation();
    if (failWritesFrom > 0 && writes >= failWritesFrom) return 0;
    return inner_.WriteSectors(ss, start, n, buf);
  }
  bool UpdateProperties() override { return true; }
  bool Flush() override { return true; }
  int writes = 0, cancelAtWrite = 0, failWritesFrom = 0;

 private:
  SectorDevice& inner_;
};

std::string Pattern(std::size_t size) {
  std::string p(size, '\0');
  for (std::size_t i = 0; i < size; ++i) p[i] = static_cast<char>(1 + (i * 31) % 251);
  return p;
}

TEST_F(FormatTest, ClearMbrGptZeroesFirstAndLast128SectorsOnly) {
  test::TempDir dir;
  const std::string img = dir / "disk.img";
  const int64_t n = 1000;
  const std::string pattern = Pattern(n * 512 + 100);  // the partial sector at the end stays
  test::WriteFileBytes(img, pattern);
  auto dev = FileSectorDevice::Open(img, 0, true, nullptr);
  ASSERT_EQ(ClearMBRGPT(*dev, static_cast<int64_t>(pattern.size()), 512), 1);
  const std::string d = test::ReadImage(img);
  EXPECT_EQ(d.substr(0, 128 * 512), std::string(128 * 512, '\0'));
  EXPECT_EQ(d.substr(128 * 512, (n - 256) * 512), pattern.substr(128 * 512, (n - 256) * 512));
  EXPECT_EQ(d.substr((n - 128) * 512), std::string(128 * 512, '\0') + pattern.substr(n * 512));
  EXPECT_TRUE(ui_->HasStatus("Clearing MBR/GPT structures ... OK"));

  // A cancel arriving while sector 10 is written: sector 11 is never touched.
  test::WriteFileBytes(img, pattern);
  ScriptedDevice cancelling(*dev);
  cancelling.cancelAtWrite = 11;
  EXPECT_EQ(test::RunAsOperation([&] { EXPECT_EQ(ClearMBRGPT(cancelling, n * 512, 512), 0); }).outcome,
            OpOutcome::Cancelled);
  EXPECT_EQ(cancelling.writes, 11);
  EXPECT_EQ(test::ReadImage(img, 10 * 512), std::string(512, '\0') + pattern.substr(11 * 512));
  ScriptedDevice failing(*dev);
  failing.failWritesFrom = 3;
  EXPECT_EQ(ClearMBRGPT(failing, n * 512, 512), 0);
  EXPECT_EQ(failing.writes, 3);
}

TEST_F(FormatTest, FailedWritesAndForeignVolumesFailTheRun) {
  test::TempDir dir;
  const std::string img = dir / "disk.img";
  test::WriteFileBytes(img, Pattern(8 << 20));
  auto file = FileSectorDevice::Open(img, 0, true, nullptr);
  PT pt;
  ASSERT_TRUE(ComputePartitionTable(test::GeometryOf(8 << 20), {}, pt));
  for (int failFrom : {1, 2}) {  // the MBR itself, then the partition's first sector
    ScriptedDevice dev(*file);
    dev.failWritesFrom = failFrom;
    EXPECT_EQ(test::RunAsOperation([&] { EXPECT_EQ(WriteNewMBR(dev, pt, test::Template("boot0"), 512), 0); }).outcome,
              OpOutcome::Failed)
        << failFrom;
  }
  ScriptedDevice typeFails(*file);
  typeFails.failWritesFrom = 1;
  EXPECT_EQ(test::RunAsOperation([&] {
              EXPECT_EQ(CorrectPartitionType(typeFails, "exFAT", 512), 1);  // nothing to correct
              EXPECT_EQ(FormatStatus.load(), 0);
              EXPECT_EQ(CorrectPartitionType(typeFails, "FAT32-LBA", 512), 0);
            }).outcome,
            OpOutcome::Failed);

  // Boot records go only over a boot sector of the requested file system.
  const std::string raw = dir / "raw.img";
  test::WriteFileBytes(raw, Pattern(64 * 512));
  auto volume = FileSectorDevice::Open(raw, 0, true, nullptr);
  EXPECT_EQ(test::RunAsOperation([&] {
              EXPECT_EQ(InstallBootRecords(*volume, {"FAT32", test::Template("boot1f32alt"), 1, 512, "Clover"}), 0);
            }).outcome,
            OpOutcome::Failed);
  EXPECT_EQ(test::ReadImage(raw), Pattern(64 * 512));
}

TEST_F(FormatTest, ExfatChecksumMatchesMkfsExfat) {
  if (!test::HaveProgram("mkfs.exfat")) GTEST_SKIP() << "mkfs.exfat missing";
  test::TempDir dir;
  const std::string img = dir / "vol.img";
  test::MakeSparseFile(img, 64 << 20);
  ASSERT_EQ(test::Sh("mkfs.exfat -L CHK " + img + " >/dev/null 2>&1"), 0);
  std::string d = test::ReadImage(img, 0, 12 * 512);
  auto sum = [&] { return exFATBootChecksum(reinterpret_cast<const uint8_t*>(d.data()), 11 * 512); };
  const uint32_t reversed = sum();
  EXPECT_EQ(__builtin_bswap32(reversed), test::At<uint32_t>(d, 11 * 512));
  EXPECT_TRUE(LogMirrorContains("> exFAT CRC Test : " + std::to_string(static_cast<int32_t>(reversed))));
  // VolumeFlags (106, 107) and PercentInUse (112) do not count; other bytes do.
  d[106] ^= 0x02;
  d[112] = 0x33;
  EXPECT_EQ(sum(), reversed);
  d[113] ^= 1;
  EXPECT_NE(sum(), reversed);
}

}  // namespace
}  // namespace fk

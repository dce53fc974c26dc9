#include <gtest/gtest.h>

#include <cstring>

#include "format/FormatService.h"
#include "platform/LoopDevice.h"
#include "tests/format/FormatFixture.h"

namespace fk {
namespace {

using test::FormatTest;

// Passes I/O through to a file and can fail writes or cancel after a count.
class ScriptedDevice : public SectorDevice {
 public:
  explicit ScriptedDevice(SectorDevice& inner) : inner_(inner) {}
  int64_t ReadSectors(int64_t ss, int64_t start, int64_t n, void* buf) override {
    return inner_.ReadSectors(ss, start, n, buf);
  }
  int64_t WriteSectors(int64_t ss, int64_t start, int64_t n, const void* buf) override {
    ++writes;
    if (writes == cancelAtWrite) FormatStatus = 1;
    if (failWritesFrom > 0 && writes >= failWritesFrom) return 0;
    return inner_.WriteSectors(ss, start, n, buf);
  }
  bool UpdateProperties() override { return true; }
  bool Flush() override { return inner_.Flush(); }
  int writes = 0;
  int cancelAtWrite = 0;
  int failWritesFrom = 0;

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
  const int64_t sectors = 1000;
  const std::string pattern = Pattern(sectors * 512 + 100);  // a partial sector at the end stays
  test::WriteFileBytes(img, pattern);
  auto dev = FileSectorDevice::Open(img, 0, true, nullptr);
  ASSERT_TRUE(dev);
  ASSERT_EQ(ClearMBRGPT(*dev, static_cast<int64_t>(pattern.size()), 512), 1);
  dev.reset();
  const std::string d = test::ReadImage(img);
  ASSERT_EQ(d.size(), pattern.size());
  EXPECT_EQ(d.substr(0, 128 * 512), std::string(128 * 512, '\0'));
  EXPECT_EQ(d.substr(128 * 512, (sectors - 256) * 512), pattern.substr(128 * 512, (sectors - 256) * 512));
  EXPECT_EQ(d.substr((sectors - 128) * 512, 128 * 512), std::string(128 * 512, '\0'));
  EXPECT_EQ(d.substr(sectors * 512), pattern.substr(sectors * 512));
  EXPECT_TRUE(ui_->HasStatus("Clearing MBR/GPT structures ... OK"));
  EXPECT_TRUE(LogMirrorContains("> Clearing MBR/GPT structures ... OK"));
}

TEST_F(FormatTest, ClearMbrGptStopsOnCancelAndOnWriteErrors) {
  test::TempDir dir;
  const std::string img = dir / "disk.img";
  const std::string pattern = Pattern(1000 * 512);
  test::WriteFileBytes(img, pattern);
  auto file = FileSectorDevice::Open(img, 0, true, nullptr);
  ASSERT_TRUE(file);

  // Cancel arrives while sector 10 is written: sector 11 is never touched.
  ScriptedDevice dev(*file);
  dev.cancelAtWrite = 11;
  EXPECT_EQ(ClearMBRGPT(dev, 1000 * 512, 512), 0);
  EXPECT_EQ(dev.writes, 11);
  std::string d = test::ReadImage(img);
  EXPECT_EQ(d.substr(10 * 512, 512), std::string(512, '\0'));
  EXPECT_EQ(d.substr(11 * 512), pattern.substr(11 * 512));
  EXPECT_FALSE(ui_->HasStatus("Clearing MBR/GPT structures ... OK"));

  FormatStatus = 0;
  ScriptedDevice failing(*file);
  failing.failWritesFrom = 3;
  EXPECT_EQ(ClearMBRGPT(failing, 1000 * 512, 512), 0);
  EXPECT_EQ(failing.writes, 3);
}

TEST_F(FormatTest, FailedMbrOrTypeWritesFailTheRun) {
  test::TempDir dir;
  const std::string img = dir / "disk.img";
  test::MakeSparseFile(img, 8 << 20);
  auto file = FileSectorDevice::Open(img, 0, true, nullptr);
  PT pt;
  ASSERT_TRUE(ComputePartitionTable(test::GeometryOf(8 << 20), {}, pt));
  auto tmpl = test::SyntheticMbrTemplate();

  ScriptedDevice mbrFails(*file);
  mbrFails.failWritesFrom = 1;
  EXPECT_EQ(WriteNewMBR(mbrFails, pt, tmpl, 512), 0);
  EXPECT_EQ(FormatStatus.load(), 1);

  FormatStatus = 0;
  ScriptedDevice pbrClearFails(*file);
  pbrClearFails.failWritesFrom = 2;
  EXPECT_EQ(WriteNewMBR(pbrClearFails, pt, tmpl, 512), 0);
  EXPECT_EQ(FormatStatus.load(), 1);

  FormatStatus = 0;
  ScriptedDevice typeFails(*file);
  typeFails.failWritesFrom = 1;
  EXPECT_EQ(CorrectPartitionType(typeFails, "FAT32", 512), 1);  // nothing to do for FAT32
  EXPECT_EQ(CorrectPartitionType(typeFails, "FAT32-LBA", 512), 0);
  EXPECT_EQ(FormatStatus.load(), 1);
}

TEST_F(FormatTest, ExfatChecksumMatchesMkfsExfat) {
  if (!test::HaveProgram("mkfs.exfat")) GTEST_SKIP() << "mkfs.exfat missing";
  test::TempDir dir;
  const std::string img = dir / "vol.img";
  test::MakeSparseFile(img, 64 << 20);
  ASSERT_EQ(test::Sh("mkfs.exfat -L CHK " + img + " >/dev/null 2>&1"), 0);
  const std::string d = test::ReadImage(img);
  const uint32_t reversed = exFATBootChecksum(reinterpret_cast<const uint8_t*>(d.data()), 11 * 512);
  EXPECT_EQ(__builtin_bswap32(reversed), test::U32At(d, 11 * 512));
  EXPECT_EQ(test::U32At(d, 11 * 512 + 508), test::U32At(d, 11 * 512));
  EXPECT_TRUE(LogMirrorContains("> exFAT CRC Test : " + std::to_string(static_cast<int32_t>(reversed))));

  // VolumeFlags (106, 107) and PercentInUse (112) do not count; other bytes do.
  std::string changed = d;
  changed[106] ^= 0x02;
  changed[112] = 0x33;
  EXPECT_EQ(exFATBootChecksum(reinterpret_cast<const uint8_t*>(changed.data()), 11 * 512), reversed);
  changed[113] ^= 1;
  EXPECT_NE(exFATBootChecksum(reinterpret_cast<const uint8_t*>(changed.data()), 11 * 512), reversed);
}

TEST_F(FormatTest, Fat32BootRecordsKeepTheFormattersBpb) {
  if (!test::HaveProgram("mkfs.fat") || !test::HaveProgram("fsck.fat")) GTEST_SKIP() << "dosfstools missing";
  test::TempDir dir;
  const std::string img = dir / "disk.img";
  const PT pt = test::MakeImageWithMbr(img, 128 << 20);
  const int64_t start = pt.PartitionTable[0].StartingSector;
  ASSERT_EQ(FormatDriveEx(test::RangeName(img, pt), "FAT32", "CLOVER", 1, 0), 1);
  const std::string formatted = test::ReadImage(img).substr(start * 512, 512);
  EXPECT_EQ(static_cast<uint8_t>(test::ReadImage(img)[0x1C2]), 0x0B);

  auto disk = FileSectorDevice::Open(img, 0, true, nullptr);
  ASSERT_EQ(CorrectPartitionType(*disk, "FAT32-LBA", 512), 1);
  EXPECT_EQ(static_cast<uint8_t>(test::ReadImage(img)[0x1C2]), 0x0C);
  EXPECT_TRUE(LogMirrorContains("> old FAT ID = $0B"));
  EXPECT_TRUE(LogMirrorContains("> new FAT ID = $0C"));

  auto volume = FileSectorDevice::Open(img, start * 512, true, nullptr);
  const auto tmpl = test::SyntheticFat32Pbr();
  BootRecordRequest req{"FAT32-LBA", tmpl, 1, 512, "Clover"};
  ASSERT_EQ(InstallBootRecords(*volume, req), 1);
  volume.reset();

  const std::string all = test::ReadImage(img);
  const std::string pbr = all.substr(start * 512, 512);
  EXPECT_EQ(0, std::memcmp(pbr.data(), tmpl.data(), 3));                  // template jump
  EXPECT_EQ(pbr.substr(3, 87), formatted.substr(3, 87));                  // formatter's BPB
  EXPECT_EQ(0, std::memcmp(pbr.data() + 90, tmpl.data() + 90, 512 - 90));  // template code
  EXPECT_EQ(test::U32At(pbr, 28), static_cast<uint32_t>(start));           // hidden sectors
  EXPECT_EQ(test::U16At(pbr, 24), 63);
  EXPECT_EQ(test::U16At(pbr, 26), 255);
  EXPECT_EQ(static_cast<uint8_t>(pbr[64]), 0x80);
  EXPECT_EQ(pbr.substr(71, 11), "CLOVER     ");
  EXPECT_EQ(all.substr((start + 6) * 512, 512), pbr);  // backup boot sector kept identical
  EXPECT_TRUE(ui_->HasStatus("Clover boot records installed"));

  std::string out;
  EXPECT_EQ(test::Sh("fsck.fat -n " + test::ExtractPartition(img, pt, dir / "p.img") + " 2>&1", &out), 0) << out;
  EXPECT_EQ(out.find("differ"), std::string::npos) << out;
}

TEST_F(FormatTest, BootRecordsRefuseAVolumeOfAnotherFileSystem) {
  test::TempDir dir;
  const std::string img = dir / "vol.img";
  test::WriteFileBytes(img, Pattern(64 * 512));
  auto volume = FileSectorDevice::Open(img, 0, true, nullptr);
  const auto tmpl = test::SyntheticFat32Pbr();
  EXPECT_EQ(InstallBootRecords(*volume, {"FAT32", tmpl, 1, 512, "Clover"}), 0);
  EXPECT_EQ(FormatStatus.load(), 1);
  EXPECT_EQ(test::ReadImage(img), Pattern(64 * 512));
}

TEST_F(FormatTest, ExfatBootRecordsOnLoopDevice) {
  if (!test::IsRoot()) GTEST_SKIP() << "needs root for loop devices";
  if (!test::HaveProgram("mkfs.exfat") || !test::HaveProgram("fsck.exfat")) GTEST_SKIP() << "exfatprogs missing";
  test::TempDir dir;
  const std::string img = dir / "disk.img";
  const PT pt = test::MakeImageWithMbr(img, 96 << 20, "2048", 64);
  const int64_t start = pt.PartitionTable[0].StartingSector;
  ASSERT_EQ(FormatDriveEx(test::RangeName(img, pt), "exFAT", "CLOVER", 1, 0), 1);
  std::string all = test::ReadImage(img);
  EXPECT_EQ(static_cast<uint8_t>(all[0x1C2]), 0x07);
  EXPECT_EQ(static_cast<uint8_t>(all[0x1D2]), 0x06);  // the second partition stays as created
  const std::string formatted = all.substr(start * 512, 512);
  EXPECT_EQ(test::U64At(formatted, 64), static_cast<uint64_t>(start));  // PartitionOffset
  EXPECT_EQ(static_cast<uint8_t>(formatted[111]), 0x80);

  // exFAT gets no type correction.
  auto disk = FileSectorDevice::Open(img, 0, true, nullptr);
  ASSERT_EQ(CorrectPartitionType(*disk, "exFAT", 512), 1);
  EXPECT_EQ(static_cast<uint8_t>(test::ReadImage(img)[0x1C2]), 0x07);

  auto volume = FileSectorDevice::Open(img, start * 512, true, nullptr);
  const auto tmpl = test::SyntheticExfatPbr();
  ASSERT_EQ(InstallBootRecords(*volume, {"exFAT", tmpl, 2, 512, "Clover"}), 1);
  volume.reset();

  all = test::ReadImage(img);
  const std::string vol = all.substr(start * 512, 24 * 512);
  for (int region : {0, 12}) {
    const std::string s = vol.substr(region * 512, 1024);
    EXPECT_EQ(s.substr(0, 120), formatted.substr(0, 120)) << region;
    EXPECT_EQ(0, std::memcmp(s.data() + 120, tmpl.data() + 120, 1024 - 120)) << region;
  }
  const uint32_t sum = __builtin_bswap32(exFATBootChecksum(reinterpret_cast<const uint8_t*>(vol.data()), 11 * 512));
  for (int sector : {11, 23})
    for (int i = 0; i < 128; ++i) ASSERT_EQ(test::U32At(vol, sector * 512 + i * 4), sum) << sector << " " << i;

  std::string out;
  EXPECT_EQ(test::Sh("fsck.exfat -n " + test::ExtractPartition(img, pt, dir / "p.img") + " 2>&1", &out), 0) << out;
}

}  // namespace
}  // namespace fk

#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "app/Utilities.h"
#include "tests/format/FormatFixture.h"

namespace fk {
namespace {

using test::FormatTest;
constexpr int64_t GiB = int64_t{1} << 30;

TEST_F(FormatTest, SinglePartitionTableIsByteExact) {
  // 1 GiB: 2,097,152 sectors, 130 cylinders = 2,088,450 CHS sectors.
  std::array<uint8_t, 66> expected{0x80, 0x20, 0x21, 0x00, 0x06, 0xFE, 0x3F, 0x81,
                                   0x00, 0x08, 0x00, 0x00, 0x00, 0xF8, 0x1F, 0x00};
  expected[64] = 0x55;
  expected[65] = 0xAA;
  DiskGeometryInput g = test::GeometryOf(GiB);
  for (int spt : {63, 0}) {  // a geometry without sectors per track computes as 63
    g.SectorsPerTrack = spt;
    PT pt;
    ASSERT_TRUE(ComputePartitionTable(g, {"2048", 0, 0}, pt));
    std::array<uint8_t, 66> bytes;
    std::memcpy(bytes.data(), &pt, 66);
    EXPECT_EQ(bytes, expected) << spt;
  }
  PT pt;
  ASSERT_TRUE(ComputePartitionTable(g, {"63", 0, 0}, pt));
  EXPECT_EQ(pt.PartitionTable[0].StartingHead, 1);
  EXPECT_EQ(pt.PartitionTable[0].StartingCylAndSect, 0x0001);
  EXPECT_EQ(pt.PartitionTable[0].NumberOfSects, 2097152u - 63u);
}

TEST_F(FormatTest, StartAndEndChsEdgeCases) {
  PT pt;
  DiskGeometryInput g = test::GeometryOf(10 << 20);
  g.ChsSectors = 8192;  // "8192" does not fit: start at 63
  ASSERT_TRUE(ComputePartitionTable(g, {"8192", 0, 0}, pt));
  EXPECT_EQ(pt.PartitionTable[0].StartingSector, 63u);
  g.ChsSectors = 8193;
  ASSERT_TRUE(ComputePartitionTable(g, {"8192", 0, 0}, pt));
  EXPECT_EQ(pt.PartitionTable[0].StartingSector, 8192u);

  g = test::GeometryOf(16 * GiB);
  for (int64_t chs : {g.ChsSectors, kChsLimitSectors}) {  // at or past 1024 x 255 x 63: FE / FFFF
    g.ChsSectors = chs;
    ASSERT_TRUE(ComputePartitionTable(g, {"2048", 0, 0}, pt));
    EXPECT_EQ(pt.PartitionTable[0].EndingHead, 0xFE);
    EXPECT_EQ(pt.PartitionTable[0].EndingCylAndSect, 0xFFFF);
  }
  g.ChsSectors = kChsLimitSectors - 16065;  // ends in cylinder 1022 = 0x3FE
  ASSERT_TRUE(ComputePartitionTable(g, {"2048", 0, 0}, pt));
  EXPECT_EQ(pt.PartitionTable[0].EndingHead, 254);
  EXPECT_EQ(pt.PartitionTable[0].EndingCylAndSect, 0xFEFF);
}

TEST_F(FormatTest, TwoPartitionsShareTheDisk) {
  PT pt;
  ASSERT_TRUE(ComputePartitionTable(test::GeometryOf(16 * GiB), {"2048", 1, 200}, pt));
  const PartitionEntry& a = pt.PartitionTable[0];
  const PartitionEntry& b = pt.PartitionTable[1];
  EXPECT_EQ(a.NumberOfSects, 409600u);
  EXPECT_EQ(a.EndingHead, 159);
  EXPECT_EQ(a.EndingCylAndSect, 0x1906);
  EXPECT_EQ(b.BootIndicator, 0x00);
  EXPECT_EQ(b.SystemIndicator, 0x06);
  EXPECT_EQ(b.StartingSector, 411648u);
  EXPECT_EQ(b.NumberOfSects, 33554432u - 411648u);
  EXPECT_EQ(b.StartingHead, 159);
  EXPECT_EQ(b.StartingCylAndSect, 0x1907);
  EXPECT_EQ(b.EndingCylAndSect, 0xFFFF);

  // Second partition past the CHS range: cylinder 1274 taken modulo 1024.
  ASSERT_TRUE(ComputePartitionTable(test::GeometryOf(64 * GiB), {"2048", 1, 10000}, pt));
  EXPECT_EQ(pt.PartitionTable[1].StartingSector, 20482048u);
  EXPECT_EQ(pt.PartitionTable[1].StartingHead, 241);
  EXPECT_EQ(pt.PartitionTable[1].StartingCylAndSect, 0xFA38);

  EXPECT_TRUE(LogMirrorContains("> PartitionTable[1] setting:"));
  EXPECT_TRUE(LogMirrorContains("> PT\\PartitionTable[1]\\StartingCylAndSect = $FA38"));
  EXPECT_TRUE(LogMirrorContains("> PT\\PartitionTable[0]\\StartingSector = 2048"));
  EXPECT_TRUE(LogMirrorContains("> PT\\Signature = $AA55"));
}

TEST_F(FormatTest, LayoutsAnMbrCannotHoldAreRefusedOrLimited) {
  PT pt;
  EXPECT_EQ(test::RunAsOperation([&] {
              EXPECT_EQ(MakePartitionTable(test::GeometryOf(GiB), {"2048", 1, 1024}, pt), 0);  // no room for part 2
            }).outcome,
            OpOutcome::Failed);
  ASSERT_EQ(ui_->Boxes().size(), 1u);
  EXPECT_EQ(ui_->Boxes()[0].title, "Error");
  EXPECT_NE(ui_->Boxes()[0].text.find("1024 MB"), std::string::npos);
  EXPECT_EQ(pt.Signature, 0);

  DiskGeometryInput g = test::GeometryOf(GiB);
  g.BytesPerSector = 4096;
  EXPECT_EQ(ComputePartitionTable(g, {"2048", 0, 0}, pt).error, PartitionTableError::BadSectorSize);
  EXPECT_EQ(ComputePartitionTable(test::GeometryOf(63 * 512), {"2048", 0, 0}, pt).error,
            PartitionTableError::DiskTooSmall);

  // 3 TiB: the partitions end at sector 2^32.
  PartitionTableResult r = ComputePartitionTable(test::GeometryOf(3072 * GiB), {"2048", 0, 0}, pt);
  ASSERT_TRUE(r);
  EXPECT_TRUE(r.limited);
  EXPECT_EQ(pt.PartitionTable[0].NumberOfSects, 0xFFFFFFFFu - 2047u);
  ASSERT_TRUE(ComputePartitionTable(test::GeometryOf(3072 * GiB), {"2048", 1, 100000}, pt));
  EXPECT_EQ(int64_t{pt.PartitionTable[1].StartingSector} + pt.PartitionTable[1].NumberOfSects, int64_t{1} << 32);
}

TEST_F(FormatTest, NewMbrCarriesTemplateSignatureAndTable) {
  test::TempDir dir;
  const std::string img = dir / "disk.img";
  std::string pattern(4 << 20, '\0');
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<char>(0xA0 + i % 7);
  test::WriteFileBytes(img, pattern);
  PT pt;
  ASSERT_TRUE(ComputePartitionTable(test::GeometryOf(4 << 20), {"63", 1, 1}, pt));
  auto dev = FileSectorDevice::Open(img, 0, true, nullptr);
  uint32_t sig = 0;
  const uint32_t before = static_cast<uint32_t>(TickCountMs());
  ASSERT_EQ(WriteNewMBR(*dev, pt, test::Template("boot0"), 512, &sig), 1);
  const uint32_t after = static_cast<uint32_t>(TickCountMs());

  const std::string d = test::ReadImage(img);
  EXPECT_EQ(0, std::memcmp(d.data(), test::Template("boot0").data(), 0x1B8));
  EXPECT_EQ(test::At<uint32_t>(d, 0x1B8), sig);
  EXPECT_LE(sig - before, after - before);  // the tick count of the call
  EXPECT_EQ(0, std::memcmp(d.data() + 0x1BE, &pt, 66));
  EXPECT_EQ(d.substr(0x1FE, 2), "\x55\xAA");
  for (int64_t s : {int64_t{pt.PartitionTable[0].StartingSector}, int64_t{pt.PartitionTable[1].StartingSector}}) {
    EXPECT_EQ(d.substr(s * 512, 512), std::string(512, '\0')) << s;  // stale boot records cleared
    EXPECT_EQ(d.substr((s + 1) * 512, 512), pattern.substr((s + 1) * 512, 512)) << s;
  }
  EXPECT_EQ(d.substr(512, 512), pattern.substr(512, 512));
}

}  // namespace
}  // namespace fk

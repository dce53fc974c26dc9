#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "app/Utilities.h"
#include "tests/format/FormatFixture.h"

namespace fk {
namespace {

using test::FormatTest;

constexpr int64_t GiB = int64_t{1} << 30;

std::array<uint8_t, 66> Bytes(const PT& pt) {
  std::array<uint8_t, 66> b{};
  std::memcpy(b.data(), &pt, sizeof pt);
  return b;
}

PartitionOptions Opt(const std::string& start, int multi = 0, int64_t bootMb = 0) {
  PartitionOptions o;
  o.StartLBASector = start;
  o.MultiPartitions = multi;
  o.BootPartitionSize = bootMb;
  return o;
}

TEST_F(FormatTest, SinglePartitionTableIsByteExact) {
  // 1 GiB: 2,097,152 sectors, 130 cylinders = 2,088,450 CHS sectors.
  PT pt;
  ASSERT_TRUE(ComputePartitionTable(test::GeometryOf(GiB), Opt("2048"), pt));
  std::array<uint8_t, 66> expected{};
  const uint8_t entry0[16] = {0x80, 0x20, 0x21, 0x00, 0x06, 0xFE, 0x3F, 0x81,
                              0x00, 0x08, 0x00, 0x00, 0x00, 0xF8, 0x1F, 0x00};
  std::memcpy(expected.data(), entry0, 16);
  expected[64] = 0x55;
  expected[65] = 0xAA;
  EXPECT_EQ(Bytes(pt), expected);

  // Start 63: head 1, cylinder 0, sector 1.
  ASSERT_TRUE(ComputePartitionTable(test::GeometryOf(GiB), Opt("63"), pt));
  EXPECT_EQ(pt.PartitionTable[0].StartingHead, 1);
  EXPECT_EQ(pt.PartitionTable[0].StartingCylAndSect, 0x0001);
  EXPECT_EQ(pt.PartitionTable[0].NumberOfSects, 2097152u - 63u);

  // A geometry without sectors per track computes as 63.
  DiskGeometryInput g = test::GeometryOf(GiB);
  g.SectorsPerTrack = 0;
  ASSERT_TRUE(ComputePartitionTable(g, Opt("2048"), pt));
  EXPECT_EQ(Bytes(pt), expected);
}

TEST_F(FormatTest, StartSectorFallsBackTo63OnTinyChsDisks) {
  DiskGeometryInput g = test::GeometryOf(10 << 20);
  g.ChsSectors = 8192;
  PT pt;
  ASSERT_TRUE(ComputePartitionTable(g, Opt("8192"), pt));
  EXPECT_EQ(pt.PartitionTable[0].StartingSector, 63u);
  EXPECT_EQ(pt.PartitionTable[0].NumberOfSects, 20480u - 63u);
  g.ChsSectors = 8193;
  ASSERT_TRUE(ComputePartitionTable(g, Opt("8192"), pt));
  EXPECT_EQ(pt.PartitionTable[0].StartingSector, 8192u);
}

TEST_F(FormatTest, EndChsIsClampedBeyondTheChsRange) {
  PT pt;
  // 16 GiB: 33,543,720 CHS sectors, past 1024 x 255 x 63.
  ASSERT_TRUE(ComputePartitionTable(test::GeometryOf(16 * GiB), Opt("2048"), pt));
  EXPECT_EQ(pt.PartitionTable[0].EndingHead, 0xFE);
  EXPECT_EQ(pt.PartitionTable[0].EndingCylAndSect, 0xFFFF);

  // Exactly at the limit still clamps; one cylinder less does not.
  DiskGeometryInput g = test::GeometryOf(16 * GiB);
  g.ChsSectors = kChsLimitSectors;
  ASSERT_TRUE(ComputePartitionTable(g, Opt("2048"), pt));
  EXPECT_EQ(pt.PartitionTable[0].EndingCylAndSect, 0xFFFF);
  g.ChsSectors = kChsLimitSectors - 16065;
  ASSERT_TRUE(ComputePartitionTable(g, Opt("2048"), pt));
  EXPECT_EQ(pt.PartitionTable[0].EndingHead, 254);
  // cylinder 1022 = 0x3FE: high bits 0xC0 into the sector byte, sector 63.
  EXPECT_EQ(pt.PartitionTable[0].EndingCylAndSect, 0xFEFF);
}

TEST_F(FormatTest, TwoPartitionsShareTheDisk) {
  PT pt;
  // 16 GiB, boot partition 200 MB.
  ASSERT_TRUE(ComputePartitionTable(test::GeometryOf(16 * GiB), Opt("2048", 1, 200), pt));
  const PartitionEntry& a = pt.PartitionTable[0];
  const PartitionEntry& b = pt.PartitionTable[1];
  EXPECT_EQ(a.BootIndicator, 0x80);
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
  EXPECT_EQ(pt.PartitionTable[2].StartingSector, 0u);
  EXPECT_EQ(pt.PartitionTable[3].NumberOfSects, 0u);

  // Second partition starting past the CHS range: cylinder modulo 1024.
  ASSERT_TRUE(ComputePartitionTable(test::GeometryOf(64 * GiB), Opt("2048", 1, 10000), pt));
  EXPECT_EQ(pt.PartitionTable[1].StartingSector, 20482048u);
  EXPECT_EQ(pt.PartitionTable[1].StartingHead, 241);
  EXPECT_EQ(pt.PartitionTable[1].StartingCylAndSect, 0xFA38);
  EXPECT_EQ(pt.PartitionTable[0].EndingCylAndSect, 0xFFFF);

  EXPECT_TRUE(LogMirrorContains("> PartitionTable[1] setting:"));
  EXPECT_TRUE(LogMirrorContains("> PT\\PartitionTable[1]\\StartingCylAndSect = $FA38"));
  EXPECT_TRUE(LogMirrorContains("> PT\\PartitionTable[0]\\StartingSector = 2048"));
  EXPECT_TRUE(LogMirrorContains("> PT\\Signature = $AA55"));
}

TEST_F(FormatTest, LayoutsAnMbrCannotHoldAreRefusedOrLimited) {
  PT pt;
  // Boot partition as large as the disk: no room for the second partition.
  EXPECT_EQ(MakePartitionTable(test::GeometryOf(GiB), Opt("2048", 1, 1024), pt), 0);
  EXPECT_EQ(FormatStatus.load(), 1);
  ASSERT_EQ(ui_->Boxes().size(), 1u);
  EXPECT_EQ(ui_->Boxes()[0].title, "Error");
  EXPECT_NE(ui_->Boxes()[0].text.find("1024 MB"), std::string::npos);
  EXPECT_EQ(pt.Signature, 0);

  // 4 KiB sectors.
  FormatStatus = 0;
  DiskGeometryInput g = test::GeometryOf(GiB);
  g.BytesPerSector = 4096;
  PartitionTableResult r = ComputePartitionTable(g, Opt("2048"), pt);
  EXPECT_EQ(r.error, PartitionTableError::BadSectorSize);
  EXPECT_NE(r.message.find("4096"), std::string::npos);

  // A disk smaller than the start sector (which falls back to 63 here).
  r = ComputePartitionTable(test::GeometryOf(63 * 512), Opt("2048"), pt);
  EXPECT_EQ(r.error, PartitionTableError::DiskTooSmall);

  // 3 TiB: the partition ends at sector 2^32.
  r = ComputePartitionTable(test::GeometryOf(3072 * GiB), Opt("2048"), pt);
  ASSERT_TRUE(r);
  EXPECT_TRUE(r.limited);
  EXPECT_EQ(pt.PartitionTable[0].NumberOfSects, 0xFFFFFFFFu - 2047u);
  r = ComputePartitionTable(test::GeometryOf(3072 * GiB), Opt("2048", 1, 100000), pt);
  ASSERT_TRUE(r);
  EXPECT_EQ(int64_t{pt.PartitionTable[1].StartingSector} + pt.PartitionTable[1].NumberOfSects, int64_t{1} << 32);
}

TEST_F(FormatTest, NewMbrCarriesTemplateSignatureAndTable) {
  test::TempDir dir;
  const std::string img = dir / "disk.img";
  std::string pattern(4 << 20, '\0');
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<char>(0xA0 + i % 7);
  test::WriteFileBytes(img, pattern);

  PT pt;
  ASSERT_TRUE(ComputePartitionTable(test::GeometryOf(4 << 20), Opt("63", 1, 1), pt));
  auto dev = FileSectorDevice::Open(img, 0, true, nullptr);
  ASSERT_TRUE(dev);
  auto tmpl = test::SyntheticMbrTemplate();
  uint32_t sig = 0;
  const uint32_t before = static_cast<uint32_t>(TickCountMs());
  ASSERT_EQ(WriteNewMBR(*dev, pt, tmpl, 512, &sig), 1);
  const uint32_t after = static_cast<uint32_t>(TickCountMs());
  dev.reset();

  const std::string d = test::ReadImage(img);
  EXPECT_EQ(0, std::memcmp(d.data(), tmpl.data(), 0x1B8));
  EXPECT_EQ(test::U32At(d, 0x1B8), sig);
  EXPECT_LE(sig - before, after - before);  // taken during the call
  EXPECT_EQ(0, std::memcmp(d.data() + 0x1BE, &pt, 66));
  EXPECT_EQ(static_cast<uint8_t>(d[0x1FE]), 0x55);
  EXPECT_EQ(static_cast<uint8_t>(d[0x1FF]), 0xAA);
  EXPECT_TRUE(LogMirrorContains("> Set NewSignature of disk="));
  // The first sector of each partition is zeroed, its neighbours are not.
  for (int slot : {0, 1}) {
    const int64_t s = pt.PartitionTable[slot].StartingSector;
    EXPECT_EQ(d.substr(s * 512, 512), std::string(512, '\0')) << slot;
    EXPECT_EQ(d.substr((s + 1) * 512, 512), pattern.substr((s + 1) * 512, 512)) << slot;
  }
  EXPECT_EQ(d.substr(512, 512), pattern.substr(512, 512));
  EXPECT_TRUE(ui_->HasStatus("Clearing PBR structures ... OK"));
}

}  // namespace
}  // namespace fk

// The checks a format run makes before its confirmation question.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/Log.h"
#include "format/PackWriter.h"
#include "format/PreChecks.h"
#include "tests/support/TestUtil.h"

namespace fk {
namespace {

std::string Le(uint64_t v, int bytes) {
  std::string s;
  for (int i = 0; i < bytes; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}

// A ZIP whose one member claims 5 GiB (ZIP64 sizes) but holds five bytes.
std::string ClaimsFiveGigabytes() {
  const std::string name = "big.bin", data = "hello";
  const uint64_t claimed = 5ull << 30;
  const std::string extra = Le(1, 2) + Le(16, 2) + Le(claimed, 8) + Le(data.size(), 8);
  const std::string common = Le(0, 2) + Le(0, 2) + Le(0, 2) + Le(0x21, 2) + Le(0x3610a686, 4) + Le(0xFFFFFFFF, 4) +
                             Le(0xFFFFFFFF, 4) + Le(name.size(), 2) + Le(extra.size(), 2);
  const std::string local = Le(0x04034b50, 4) + Le(45, 2) + common + name + extra + data;
  const std::string central = Le(0x02014b50, 4) + Le(45, 2) + Le(45, 2) + common + Le(0, 2) + Le(0, 2) + Le(0, 2) +
                              Le(0, 4) + Le(0, 4) + name + extra;
  return local + central + Le(0x06054b50, 4) + Le(0, 2) + Le(0, 2) + Le(1, 2) + Le(1, 2) + Le(central.size(), 4) +
         Le(local.size(), 4) + Le(0, 2);
}

TEST(PreChecks, LabelsAndSizesAgainstTheFileSystem) {
  EXPECT_TRUE(CheckLabel("FAT32", "CLOVER EFI"));
  EXPECT_TRUE(CheckLabel("exFAT", "Ünïcödé 11c"));
  EXPECT_EQ(CheckLabel("FAT32", std::string(300, 'A')).refusal, RunRefusal::LabelInvalid);
  EXPECT_EQ(CheckLabel("FAT32-LBA", "A.B").refusal, RunRefusal::LabelInvalid);
  EXPECT_EQ(CheckLabel("FAT32", "Ünï").refusal, RunRefusal::LabelInvalid);
  const std::string emoji = "\xF0\x9F\x98\x80";  // one code point, two UTF-16 units
  EXPECT_TRUE(CheckLabel("exFAT", emoji + emoji + emoji + emoji + emoji));
  const RunCheck eight = CheckLabel("exFAT", emoji + emoji + emoji + emoji + emoji + emoji + emoji + emoji);
  EXPECT_EQ(eight.refusal, RunRefusal::LabelInvalid);
  EXPECT_NE(eight.text.find("too long for exFAT"), std::string::npos) << eight.text;
  for (const char* bad : {"\xC3", "a\xFF", "\xC0\xAF", "\xED\xA0\x80"})  // cut, invalid, overlong, surrogate
    EXPECT_EQ(CheckLabel("exFAT", bad).refusal, RunRefusal::LabelInvalid) << bad;

  for (int64_t bytes : {int64_t{32} << 10, int64_t{1} << 20, int64_t{32} << 20})
    EXPECT_EQ(CheckVolumeSize("FAT32", bytes).refusal, RunRefusal::VolumeTooSmall) << bytes;
  EXPECT_TRUE(CheckVolumeSize("FAT32", int64_t{40} << 20));
  EXPECT_TRUE(CheckVolumeSize("exFAT", int64_t{32} << 20));
  EXPECT_EQ(CheckBootRecordsAndDataSet("Windows", true).refusal, RunRefusal::BootRecordsDataSet);
  EXPECT_TRUE(CheckBootRecordsAndDataSet("Clover", true));
}

TEST(PreChecks, TheWholeDataSetIsReadBeforeAnyWrite) {
  test::TempDir dir("fk-prechecks");
  std::string zip, err;
  ASSERT_TRUE(BuildStoredZip({{"EFI", "", true}, {"EFI/aa/x", "hello world", false}}, &zip, &err)) << err;
  const std::string good = dir / "good.zip";
  test::WriteFileBytes(good, zip);
  EXPECT_TRUE(CheckDataSet(good, "FAT32", 64 << 20, dir.path()));
  EXPECT_EQ(CheckDataSet(good, "FAT32", 8, dir.path()).refusal, RunRefusal::DataSetTooLarge);

  auto variant = [&](const std::string& name, std::string bytes) {
    test::WriteFileBytes(dir / name, bytes);
    return CheckDataSet(dir / name, "FAT32", 64 << 20, dir.path()).refusal;
  };
  EXPECT_EQ(variant("cut.zip", zip.substr(0, zip.size() / 2)), RunRefusal::DataSetUnreadable);
  EXPECT_EQ(variant("pk.zip", "PK\x03\x04" + std::string(200, '\x5A')), RunRefusal::DataSetUnreadable);
  EXPECT_EQ(variant("7z.zip", std::string("7z\xBC\xAF\x27\x1C", 6) + std::string(200, '\1')),
            RunRefusal::DataSetUnreadable);
  std::string hostile = zip;
  for (size_t at; (at = hostile.find("EFI/aa/x")) != std::string::npos;) hostile.replace(at, 8, "EFI/../x");
  EXPECT_EQ(variant("hostile.zip", hostile), RunRefusal::DataSetBadEntry);
  std::string damaged = zip;
  damaged[damaged.find("hello world")] = 'H';
  EXPECT_EQ(variant("crc.zip", damaged), RunRefusal::DataSetBadEntry);

  test::WriteFileBytes(dir / "big.zip", ClaimsFiveGigabytes());
  EXPECT_EQ(CheckDataSet(dir / "big.zip", "FAT32", int64_t{64} << 30, dir.path()).refusal,
            RunRefusal::DataSetFileTooLarge);
}

}  // namespace
}  // namespace fk

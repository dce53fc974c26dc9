// The text form of a volume and finding its MBR entry.
#include <gtest/gtest.h>

#include <fstream>

#include "disk/VolumeRef.h"
#include "tests/support/FakeSysfs.h"
#include "tests/support/TestUtil.h"

using namespace fk;

TEST(VolumeRef, TextRoundTripsAndPlainPathsAreNeverSplit) {
  EXPECT_EQ((VolumeRef{"/d/disk.img", 4096}).ToText(), "/d/disk.img@@4096");
  for (const std::string disk : {"/dev/sdb", "/tmp/a@@b/disk.img", "/tmp/x@@7/img@", "rel"}) {
    const VolumeRef v{disk, 1048576};
    const auto back = VolumeRef::Parse(v.ToText());
    ASSERT_TRUE(back) << disk;
    EXPECT_EQ(*back, v);
  }
  for (const char* plain :
       {"/dev/sdb1", "/tmp/a@@b", "/tmp/x@@", "@@512", "/tmp/x@@12x", "/tmp/x@@-1", "/x@@1234567890123456789"})
    EXPECT_FALSE(VolumeRef::Parse(plain)) << plain;
}

TEST(VolumeRef, FindsTheMbrEntryStartingAtAnOffset) {
  test::TempDir dir("fk-volref");
  const std::string img = dir / "disk.img";
  test::MakeSparseFile(img, 8 << 20);
  {
    std::fstream f(img, std::ios::binary | std::ios::in | std::ios::out);
    f << test::MakeMbr({{0x0C, false, 2048, 4096}, {0x07, false, 6144, 8192}});
  }
  const auto p = FindMbrPartition(img, 6144 * 512);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->slot, 1);
  EXPECT_EQ(p->length, 8192 * 512);
  EXPECT_EQ(p->type, 0x07);
  EXPECT_FALSE(FindMbrPartition(img, 4096));                      // no entry starts there
  EXPECT_FALSE(FindMbrPartition(dir / "missing.img", 2048 * 512));  // nothing to read
}

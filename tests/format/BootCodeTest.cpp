// The fixed points of the embedded boot-sector templates that the partition and
// boot-record writers depend on.
#include "format/BootCode.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace fk {
namespace {

std::string_view Bytes(const BootTemplate& t, std::size_t from, std::size_t to) {
  return std::string_view(reinterpret_cast<const char*>(t.data) + from, to - from);
}

bool AllZero(std::string_view s) { return s.find_first_not_of('\0') == std::string_view::npos; }

const BootTemplate& Get(std::string_view name) {
  const BootTemplate* t = FindBootTemplate(name);
  EXPECT_NE(t, nullptr) << name;
  static const unsigned char empty[1024] = {};
  static const BootTemplate none{"", empty, sizeof empty, 2};
  return t ? *t : none;
}

TEST(BootCode, LookupBySizeAndName) {
  struct Expect {
    const char* name;
    std::size_t size;
    int sectors;
  };
  for (const Expect& e : {Expect{"boot0", 512, 1}, Expect{"boot1f32alt", 512, 1}, Expect{"boot1xalt", 1024, 2},
                          Expect{"USB-HDD+", 512, 1}, Expect{"Fat32LBA", 512, 1}}) {
    const BootTemplate& t = Get(e.name);
    EXPECT_STREQ(t.name, e.name);
    EXPECT_EQ(t.size, e.size) << e.name;
    EXPECT_EQ(t.sectors, e.sectors) << e.name;
    // Every sector ends in the 55 AA boot signature.
    for (int s = 0; s < t.sectors; ++s) EXPECT_EQ(Bytes(t, s * 512 + 510, s * 512 + 512), "\x55\xAA") << e.name;
  }
  for (const char* unknown : {"", "boot1f32", "usb-hdd+", "USB-HDD", "fat32lba", "boot0 "})
    EXPECT_EQ(FindBootTemplate(unknown), nullptr) << unknown;
}

TEST(BootCode, MbrTemplatesKeepTheirCodeInFront) {
  const BootTemplate& boot0 = Get("boot0");
  std::string_view code = Bytes(boot0, 0, 440);
  EXPECT_NE(code.find("boot0: "), std::string_view::npos);
  EXPECT_NE(code.find("error"), std::string_view::npos);
  EXPECT_TRUE(AllZero(Bytes(boot0, 0x1B8, 0x1FE)));

  const BootTemplate& usb = Get("USB-HDD+");
  code = Bytes(usb, 0, 440);
  EXPECT_EQ(Bytes(usb, 0x2E, 0x32), "HDD+");
  EXPECT_NE(code.find("Start booting from USB device...\r\n"), std::string_view::npos);
  EXPECT_NE(code.find("Boot failed"), std::string_view::npos);
  EXPECT_EQ(usb.data[0x1BE], 0x80);
  EXPECT_TRUE(AllZero(Bytes(usb, 0x1B8, 0x1BE)));
  EXPECT_TRUE(AllZero(Bytes(usb, 0x1BF, 0x1FE)));
}

TEST(BootCode, PartitionBootRecordsLeaveTheHeaderHole) {
  const BootTemplate& f32 = Get("boot1f32alt");
  EXPECT_EQ(Bytes(f32, 0, 3), std::string_view("\xE9\x62\x00", 3));
  EXPECT_TRUE(AllZero(Bytes(f32, 3, 90)));
  EXPECT_EQ(Bytes(f32, 90, 101), "BOOT       ");
  EXPECT_FALSE(AllZero(Bytes(f32, 101, 510)));

  const BootTemplate& x = Get("boot1xalt");
  EXPECT_EQ(Bytes(x, 0, 3), "\xEB\x76\x90");
  EXPECT_TRUE(AllZero(Bytes(x, 3, 120)));
  EXPECT_FALSE(AllZero(Bytes(x, 120, 510)));
  std::string_view sector1 = Bytes(x, 512, 1020);
  for (const char* text : {"boot1x: ", "init", "error"})
    EXPECT_NE(sector1.find(text), std::string_view::npos) << text;
  EXPECT_EQ(Bytes(x, 1020, 1024), std::string_view("\0\0\x55\xAA", 4));

  const BootTemplate& fd = Get("Fat32LBA");
  EXPECT_EQ(Bytes(fd, 0, 3), "\xEB\x58\x90");
  EXPECT_TRUE(AllZero(Bytes(fd, 3, 90)));
  std::string_view code = Bytes(fd, 90, 510);
  EXPECT_NE(code.find("Loading FreeDOS "), std::string_view::npos);
  EXPECT_NE(code.find("No KERNEL  SYS"), std::string_view::npos);
}

}  // namespace
}  // namespace fk

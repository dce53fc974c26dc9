// Boots disk images carrying the boot-sector templates in QEMU (SeaBIOS) and
// checks, through test payloads that report on COM1, what each template loads
// and how it hands over; error cases check the template's text on the serial
// console.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "format/BootCode.h"
#include "tests/boot/BootHarness.h"
#include "tests/support/TestUtil.h"

namespace fk::boottest {
namespace {

constexpr uint32_t kStart = 2048;  // first partition's LBA
constexpr uint32_t kMiB = 2048;    // sectors

const BootTemplate& Tmpl(const char* name) {
  static const unsigned char none[1024] = {};
  static const BootTemplate missing{"", none, sizeof none, 2};
  const BootTemplate* t = FindBootTemplate(name);
  return t ? *t : missing;
}

int Runs(const std::vector<uint32_t>& clusters) {
  int runs = clusters.empty() ? 0 : 1;
  for (std::size_t i = 1; i < clusters.size(); ++i) runs += clusters[i] != clusters[i - 1] + 1;
  return runs;
}

class BootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"qemu-system-x86_64", "nasm", "mkfs.fat", "mcopy", "mkfs.exfat"})
      if (!test::HaveProgram(tool)) GTEST_SKIP() << tool << " is not installed";
    test::MakeSparseFile(image_, 0);
  }

  // Writes a payload file to the scratch directory and returns its path.
  std::string Payload(const std::string& tag, std::size_t size, bool freedos = false) {
    PayloadSpec spec;
    spec.tag = tag;
    spec.size = size;
    if (freedos) {
      spec.org = 0;
      spec.entryCs = 0x60;
      spec.freedos = true;
    }
    const std::string data = MakePayload(dir_.path(), spec);
    EXPECT_EQ(data.size(), size) << tag;
    const std::string path = dir_ / ("file-" + tag);
    test::WriteFileBytes(path, data);
    return path;
  }

  QemuResult Boot(char key = 0, const std::string& stopWhen = "", const std::string& keyAfter = "") {
    QemuRun run;
    run.key = key;
    run.stopWhen = stopWhen;
    if (!keyAfter.empty()) run.keyAfter = keyAfter;
    return RunQemu(dir_.path(), image_, run);
  }

  // Boots and expects the payload with this tag to report success.
  void ExpectLoads(char key, const std::string& tag, const std::string& keyAfter = "") {
    SCOPED_TRACE(std::string("key '") + (key ? key : '-') + "' -> " + tag);
    QemuResult r = Boot(key, "", keyAfter);
    EXPECT_EQ(r.exitCode, kPayloadOk) << r.serial;
    EXPECT_NE(r.serial.find("PAYLOAD OK " + tag + "\r\n"), std::string::npos) << r.serial;
  }

  // Boots and expects text on the serial console; QEMU is stopped once it shows.
  void ExpectText(char key, const std::string& text, const std::string& keyAfter = "") {
    SCOPED_TRACE(std::string("key '") + (key ? key : '-') + "' -> " + text);
    QemuResult r = Boot(key, text, keyAfter);
    EXPECT_TRUE(r.stopped) << "exit " << r.exitCode << ": " << r.serial;
    EXPECT_EQ(r.serial.find("PAYLOAD"), std::string::npos) << r.serial;
  }

  test::TempDir dir_{"fkboot"};
  std::string image_ = dir_ / "disk.img";
};

// boot0 + boot1f32alt on FAT32 with 4 KiB clusters: the volume is labelled
// BOOT and a directory named BOOT comes first in the root; BOOT2 lies in
// several cluster runs.
TEST_F(BootTest, CloverFat32LoadsBootOrTheFileOfTheTypedDigit) {
  const uint32_t sectors = 300 * kMiB - kStart;
  test::MakeSparseFile(image_, 300ll * 1024 * 1024);
  ASSERT_TRUE(MakeFat32(image_, kStart, sectors, 8, "BOOT"));
  ASSERT_TRUE(WriteMbr(image_, Tmpl("boot0"), {{0x80, 0x0C, kStart, sectors}}));
  ASSERT_TRUE(Mtools(image_, kStart, "mmd", {"::/BOOTDIR"}));
  const std::string filler = dir_ / "filler";
  test::WriteFileBytes(filler, std::string(8192, 'f'));
  for (const char* f : {"F1", "F2", "F3", "F4", "F5", "F6"})
    ASSERT_TRUE(Mtools(image_, kStart, "mcopy", {filler, std::string("::/") + f}));
  ASSERT_TRUE(Mtools(image_, kStart, "mdel", {"::/F1", "::/F3", "::/F5"}));
  ASSERT_TRUE(ResetFat32AllocationHint(image_, kStart));
  ASSERT_TRUE(Mtools(image_, kStart, "mcopy", {Payload("BOOT2", 100000), "::/BOOT2"}));
  ASSERT_TRUE(Mtools(image_, kStart, "mcopy", {Payload("BOOT", 10000), "::/BOOT"}));
  ASSERT_TRUE(Mtools(image_, kStart, "mcopy", {Payload("BOOT1", 460900), "::/BOOT1"}));
  // SeaBIOS reports 639 KiB of base memory: a file may fill 0x20200..0x9FBFF.
  ASSERT_TRUE(Mtools(image_, kStart, "mcopy", {Payload("BOOT3", 522752 + 4), "::/BOOT3"}));
  ASSERT_TRUE(Mtools(image_, kStart, "mcopy", {Payload("BOOT4", 522752), "::/BOOT4"}));
  ASSERT_TRUE(RenameFat32RootEntry(image_, kStart, "BOOTDIR    ", "BOOT       "));
  ASSERT_GE(Runs(Fat32Chain(image_, kStart, "BOOT2      ")), 4);
  ASSERT_TRUE(InstallFat32Pbr(image_, kStart, Tmpl("boot1f32alt")));

  ExpectLoads(0, "BOOT");
  ExpectLoads('x', "BOOT");
  ExpectLoads('1', "BOOT1");  // 450 KiB, past several 64 KiB segments
  ExpectLoads('2', "BOOT2");  // fragmented
  ExpectText('7', "boot1: error");  // no such file
  ExpectLoads('4', "BOOT4");         // ends right below the BIOS's extended data area
  ExpectText('3', "boot1: error");  // would reach into it
}

// With no active entry boot0 takes the first FAT32 partition whose boot record
// carries the BOOT name; a plain formatter's boot sector does not qualify.
TEST_F(BootTest, Boot0PicksAnInactivePartitionByItsBootRecord) {
  const uint32_t size = 70 * kMiB;
  const uint32_t second = kStart + size;
  test::MakeSparseFile(image_, int64_t(second + size) * 512);
  ASSERT_TRUE(MakeFat32(image_, kStart, size, 1, ""));
  ASSERT_TRUE(MakeFat32(image_, second, size, 1, ""));
  ASSERT_TRUE(WriteMbr(image_, Tmpl("boot0"), {{0x00, 0x83, 0, 0}, {0x00, 0x0C, kStart, size}, {0x00, 0x0C, second, size}}));
  ASSERT_TRUE(Mtools(image_, second, "mcopy", {Payload("BOOT", 20000), "::/BOOT"}));

  ExpectText(0, "boot0: error");
  ASSERT_TRUE(InstallFat32Pbr(image_, second, Tmpl("boot1f32alt")));
  ExpectLoads('x', "BOOT");
}

// boot1xalt on exFAT: a NoFatChain file, a FAT-chained one and a fragmented
// one (names in other cases than typed), a directory named boot ahead of them;
// behind boot0 (three sectors loaded) and behind USB-HDD+ (one sector).
TEST_F(BootTest, CloverExfatLoadsContiguousChainedAndFragmentedFiles) {
  const uint64_t partBytes = 64ull * 1024 * 1024;
  ExfatVolume vol;
  ASSERT_TRUE(vol.Format(dir_ / "part.img", partBytes, "4K"));
  ASSERT_TRUE(vol.AddDirectory("boot"));
  ASSERT_TRUE(vol.AddFile("boot", test::ReadFileBytes(Payload("boot", 30000)), ExfatVolume::Layout::NoFatChain));
  ASSERT_TRUE(vol.AddFile("BOOT1", test::ReadFileBytes(Payload("boot1", 200000)), ExfatVolume::Layout::FatChain));
  ASSERT_TRUE(vol.AddFile("Boot2", test::ReadFileBytes(Payload("boot2", 100000)), ExfatVolume::Layout::Fragmented));
  ASSERT_GE(Runs(vol.LastClusters()), 4);
  ASSERT_TRUE(vol.AddFile("boot3", test::ReadFileBytes(Payload("boot3", 522752 + 4)), ExfatVolume::Layout::FatChain));
  ASSERT_TRUE(vol.InstallBootRecord(Tmpl("boot1xalt"), kStart));
  if (test::HaveProgram("fsck.exfat")) {
    std::string out;
    ASSERT_EQ(test::Sh("fsck.exfat -n '" + vol.path() + "'", &out), 0) << out;
  }
  test::MakeSparseFile(image_, int64_t(kStart) * 512 + int64_t(partBytes));
  ASSERT_TRUE(CopyInto(image_, uint64_t(kStart) * 512, vol.path()));
  const uint32_t sectors = static_cast<uint32_t>(partBytes / 512);

  // Inactive entry: boot0 finds the volume by its "EXFAT" name.
  ASSERT_TRUE(WriteMbr(image_, Tmpl("boot0"), {{0x00, 0x07, kStart, sectors}}));
  const std::string init = "boot1x: init";
  ExpectLoads('x', "boot", init);
  ExpectLoads('1', "boot1", init);
  ExpectLoads('2', "boot2", init);
  ExpectText('7', "boot1x: error", init);
  ExpectText('3', "boot1x: error", init);

  ASSERT_TRUE(WriteMbr(image_, Tmpl("USB-HDD+"), {{0x80, 0x07, kStart, sectors}}));
  ExpectLoads(0, "boot");
}

// USB-HDD+ + Fat32LBA start KERNEL.SYS at 0060:0000 with the FreeDOS entry state.
TEST_F(BootTest, FreeDosBootRecordsStartKernelSys) {
  const uint32_t sectors = 80 * kMiB - kStart;
  test::MakeSparseFile(image_, 80ll * 1024 * 1024);
  ASSERT_TRUE(MakeFat32(image_, kStart, sectors, 1, "FREEDOS"));
  ASSERT_TRUE(WriteMbr(image_, Tmpl("USB-HDD+"), {{0x80, 0x0C, kStart, sectors}}));
  ASSERT_TRUE(InstallFat32Pbr(image_, kStart, Tmpl("Fat32LBA")));
  ASSERT_TRUE(Mtools(image_, kStart, "mcopy", {Payload("KERNEL", 70000, true), "::/KERNEL.SYS"}));

  QemuResult r = Boot();
  EXPECT_EQ(r.exitCode, kPayloadOk) << r.serial;
  const std::size_t start = r.serial.find("Start booting from USB device...");
  const std::size_t loading = r.serial.find("Loading FreeDOS ");
  const std::size_t ok = r.serial.find("PAYLOAD OK KERNEL\r\n");
  EXPECT_TRUE(start < loading && loading < ok && ok != std::string::npos) << r.serial;

  ASSERT_TRUE(Mtools(image_, kStart, "mdel", {"::/KERNEL.SYS"}));
  ExpectText(0, "No KERNEL  SYS");
}

// USB-HDD+ starts whatever boot sector the active partition has (here the one
// mkfs.fat writes) and reports a table without an active entry.
TEST_F(BootTest, UsbMbrStartsTheActivePartitionsBootSector) {
  const uint32_t sectors = 40 * kMiB - kStart;
  test::MakeSparseFile(image_, 40ll * 1024 * 1024);
  ASSERT_TRUE(MakeFat32(image_, kStart, sectors, 1, ""));
  ASSERT_TRUE(WriteMbr(image_, Tmpl("USB-HDD+"), {{0x00, 0x0C, kStart, sectors}}));
  ExpectText(0, "Boot failed");

  ASSERT_TRUE(WriteMbr(image_, Tmpl("USB-HDD+"), {{0x80, 0x0C, kStart, sectors}}));
  QemuResult r = Boot(0, "This is not a bootable disk");
  EXPECT_TRUE(r.stopped) << r.serial;
  EXPECT_NE(r.serial.find("Start booting from USB device...\r\n"), std::string::npos) << r.serial;
}

}  // namespace
}  // namespace fk::boottest

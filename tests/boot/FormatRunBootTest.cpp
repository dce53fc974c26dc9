// Disks made by a whole format run (new MBR, format, boot records, data set)
// boot in QEMU into the test payload placed as the data set's "boot" (Clover)
// or the FreeDOS pack's "KERNEL.SYS".
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "format/PackWriter.h"
#include "format/Packs.h"
#include "net/RemoteUrls.h"
#include "tests/boot/BootHarness.h"
#include "tests/support/CloverIso.h"
#include "tests/support/FormatRun.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/TestCert.h"
#include "tests/support/ImageCheck.h"
#include "tests/support/TestUtil.h"

namespace fk::boottest {
namespace {

struct BootCase {
  const char* name;
  const char* bootRecords;
  const char* fileSystem;
  int bootPartitionMb;
};

void PrintTo(const BootCase& c, std::ostream* os) { *os << c.name; }

class FormatRunBoot : public ::testing::TestWithParam<BootCase> {
 protected:
  void SetUp() override {
    for (const char* tool : {"qemu-system-x86_64", "nasm", "mkfs.fat", "mcopy"})
      if (!test::HaveProgram(tool)) GTEST_SKIP() << tool << " is not installed";
  }
  void TearDown() override { RegisterPack(kPackFreeDosDataSet, ""); }
  test::TempDir dir_{"fkrunboot"};
};

TEST_P(FormatRunBoot, BootsIntoThePayload) {
  const BootCase& c = GetParam();
  const bool freedos = std::string(c.bootRecords) == "FreeDos";
  const bool exfat = std::string(c.fileSystem) == "exFAT";
  if (exfat && !test::IsRoot()) GTEST_SKIP() << "exFAT volumes are written through a loop device and a mount (root)";
  if (exfat && !test::HaveProgram("mkfs.exfat")) GTEST_SKIP() << "exfatprogs missing";

  // The FreeDOS kernel is loaded at 0060:0000, Clover's boot at 2000:0200.
  const PayloadOptions payloadOpts =
      freedos ? PayloadOptions{0, 0x60, true, 20000, "KERNEL"} : PayloadOptions{0x200, 0x2000, false, 20000, "BOOT"};
  const std::string payload = MakePayload(dir_.path(), payloadOpts);
  ASSERT_FALSE(payload.empty());

  test::FormatRunOptions opts;
  opts.disk = dir_ / "disk.img";
  opts.workDir = dir_ / "work";
  opts.bootRecords = c.bootRecords;
  opts.fileSystem = c.fileSystem;
  opts.bootPartitionMb = c.bootPartitionMb;
  if (freedos) {
    const std::string pack = dir_ / "pack";
    std::filesystem::create_directories(pack);
    test::WriteFileBytes(pack + "/KERNEL.SYS", payload);
    std::string data, err;
    ASSERT_TRUE(MakePack(pack, &data, &err)) << err;
    RegisterPack(kPackFreeDosDataSet, data);
  } else {
    opts.dataSet = test::MakeZip(dir_ / "set.zip", {{"boot", payload}, {"EFI/CLOVER/config.plist", "<plist/>"}});
  }
  test::MakeSparseFile(opts.disk, 192ll << 20);

  auto ui = std::make_shared<test::HookedUi>();
  test::FormatRunResult r = test::RunFormat(opts, ui);
  ASSERT_TRUE(r.selected) << r.log;
  ASSERT_EQ(r.result, 1) << r.log;

  QemuResult q = RunQemu(dir_.path(), opts.disk, QemuRun{});
  EXPECT_EQ(q.exitCode, kPayloadOk) << q.serial;
  EXPECT_NE(q.serial.find("PAYLOAD OK " + payloadOpts.tag + "\r\n"), std::string::npos) << q.serial;
}

// The "DL" data set: the release archive, made here around the payload and
// served by a local https server, is downloaded, converted and installed.
TEST(FormatRunBootDL, DownloadedReleaseBootsIntoThePayload) {
  for (const char* tool : {"qemu-system-x86_64", "nasm", "mkfs.fat", "mcopy", "openssl"})
    if (!test::HaveProgram(tool)) GTEST_SKIP() << tool << " is not installed";
  if (!test::CanMakeCloverIso7z()) GTEST_SKIP() << "xorriso or 7zz missing";
  test::TempDir dir{"fkdlboot"};
  const PayloadOptions payloadOpts{0x200, 0x2000, false, 20000, "BOOT"};
  const std::string payload = MakePayload(dir.path(), payloadOpts);
  ASSERT_FALSE(payload.empty());
  std::string err;
  const std::string archive = test::MakeCloverIso7z(dir.path(), "5120", payload,
                                                    {{"EFI/CLOVER/config.plist", "<plist/>"}}, &err);
  ASSERT_FALSE(archive.empty()) << err;
  test::TestCert cert;
  ASSERT_TRUE(test::MakeTestCert(dir.path(), &cert, &err)) << err;
  test::HttpTestServer server(test::HttpTestServer::Mode::Origin, cert.certFile, cert.keyFile);
  server.Add("/CloverHackyColor/CloverBootloader/releases/download/5120/Clover-5120-X64.iso.7z",
             test::HttpTestServer::Bytes(test::ReadFileBytes(archive)));
  ::setenv(kEnvGithub, server.Url("").c_str(), 1);
  ::setenv(kEnvCAFile, cert.caFile.c_str(), 1);

  test::FormatRunOptions opts;
  opts.disk = dir / "disk.img";
  opts.workDir = dir / "work";
  opts.dlRev = "5120";
  test::MakeSparseFile(opts.disk, 192ll << 20);
  test::FormatRunResult r = test::RunFormat(opts, std::make_shared<test::HookedUi>());
  ::unsetenv(kEnvGithub);
  ::unsetenv(kEnvCAFile);
  ASSERT_TRUE(r.selected) << r.log;
  ASSERT_EQ(r.result, 1) << r.log;

  QemuResult q = RunQemu(dir.path(), opts.disk, QemuRun{});
  EXPECT_EQ(q.exitCode, kPayloadOk) << q.serial;
  EXPECT_NE(q.serial.find("PAYLOAD OK BOOT\r\n"), std::string::npos) << q.serial;
}

INSTANTIATE_TEST_SUITE_P(Disks, FormatRunBoot,
                         ::testing::Values(BootCase{"CloverFat32Lba", "Clover", "FAT32-LBA", 128},
                                           BootCase{"CloverExfat", "Clover", "exFAT", 0},
                                           BootCase{"FreeDos", "FreeDos", "FAT32-LBA", 0}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace fk::boottest

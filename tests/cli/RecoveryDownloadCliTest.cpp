// recovery download, extract-dmg and format --recovery-hd run as the program.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/cli/CliRun.h"
#include "tests/support/AppleImages.h"
#include "tests/support/HttpTestServer.h"

namespace fk::test {
namespace {

namespace fs = std::filesystem;

const std::string kFixtures = std::string(FK_FIXTURES_DIR) + "/apple-images/";

class RecoveryDownloadCli : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"7zz", "xorriso", "mkfs.fat", "mcopy"})
      if (!HaveProgram(tool)) GTEST_SKIP() << tool << " is not installed";
    fs::create_directories(out_);
  }
  // An HFS+ volume with a few folders, as a Recovery HD holds.
  std::string Volume() {
    fs::create_directories(dir_ / "vol/System/Library");
    fs::create_directories(dir_ / "vol/usr/standalone");
    WriteFileBytes(dir_ / "vol/System/Library/marker", std::string(70000, 'm'));
    std::string error;
    std::string v = MakeHfsVolume(dir_ / "vol", "Recovery HD", &error);
    EXPECT_FALSE(v.empty()) << error;
    return v;
  }
  TempDir dir_{"fkreccli"};
  CliHome home_{dir_ / "home"};
  std::string out_ = dir_ / "out";
};

TEST_F(RecoveryDownloadCli, ExtractDmgAndRecoveryDownload) {
  CliResult r = home_.Run("extract-dmg " + Quote(kFixtures + "hfsplus_zlib.dmg") + " --to " + Quote(out_));
  ASSERT_EQ(r.rc, 0) << r.out;
  EXPECT_EQ(ReadFileBytes(out_ + "/hfsplus_zlib.hfs").substr(1024, 2), "H+");

  WriteFileBytes(dir_ / "photo.dmg", std::string(3000, 'p'));
  r = home_.Run("extract-dmg " + Quote(dir_ / "photo.dmg") + " --to " + Quote(out_));
  EXPECT_EQ(r.rc, 1) << r.out;
  EXPECT_NE(r.out.find("Can't open \"photo.dmg\""), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find(dir_.path()), std::string::npos) << "only the file name: " << r.out;

  const std::string volume = Volume();
  std::string error;
  const std::string package = MakeRecoveryPackage(MakeUdif(volume, true), &error);
  ASSERT_FALSE(package.empty()) << error;
  HttpTestServer server;
  server.Add("/RecoveryHDUpdate.pkg", HttpTestServer::Bytes(package));
  WriteFileBytes(home_.dir() + "/flashkeel.ini",
                 "[Data Settings]\r\nLogEnable = 1\r\n[Download Data Settings]\r\nOS X 10.11.6 El Capitan = " +
                     server.Url("/RecoveryHDUpdate.pkg") + "\r\n");
  r = home_.Run("recovery download 2 --to " + Quote(out_));
  EXPECT_EQ(r.rc, 1) << r.out;
  EXPECT_NE(r.out.find("[1] OS X 10.11.6 El Capitan"), std::string::npos) << r.out;

  r = home_.Run("recovery download 1 --to " + Quote(out_));
  ASSERT_EQ(r.rc, 0) << r.out << home_.LogText();
  EXPECT_TRUE(ReadFileBytes(out_ + "/OS X 10.11.6 El Capitan.hfs") == volume);
  EXPECT_NE(r.out.find("Extract HFS-Image (*.hfs) file ................. Success"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("the package could not be checked"), std::string::npos) << r.out;
}

TEST_F(RecoveryDownloadCli, FormatWritesTheRecoveryHdOntoTheSecondPartition) {
  const std::string volume = Volume();
  WriteFileBytes(dir_ / "rec.hfs", volume);
  const std::string zip = MakeZip(dir_ / "set.zip", {{"boot", std::string(5000, 'b')}, {"EFI/CLOVER/a", "a"}});

  // Refused before the disk is touched: no HFS+ volume, or one too large.
  const std::string kept = dir_ / "kept.img";
  MakeSparseFile(kept, 512ll << 20);
  WriteFileBytes(dir_ / "pattern", std::string(4096, 'k'));
  ASSERT_EQ(Sh("dd if=" + Quote(dir_ / "pattern") + " of=" + Quote(kept) + " conv=notrunc status=none"), 0);
  const std::string before = ReadFileBytes(kept);
  MakeSparseFile(dir_ / "huge.hfs", 400ll << 20);
  ASSERT_EQ(Sh("printf 'H+' | dd of=" + Quote(dir_ / "huge.hfs") + " bs=1 seek=1024 conv=notrunc status=none"), 0);
  for (const auto& [file, says] : std::vector<std::pair<std::string, std::string>>{
           {zip, "not an HFS+ volume image"}, {dir_ / "huge.hfs", "does not fit the second partition"}}) {
    CliResult r = home_.Run("format --image " + Quote(kept) + " --boot-size 200 --data-set local:" + Quote(zip) +
                            " --recovery-hd " + Quote(file) + " --yes");
    EXPECT_EQ(r.rc, 1) << r.out;
    EXPECT_NE(r.out.find(says), std::string::npos) << r.out;
    EXPECT_TRUE(ReadFileBytes(kept) == before) << file;
  }
  CliResult refused = home_.Run("format --image " + Quote(dir_ / "new.img") + " --size 512M --boot-size 200" +
                                " --recovery-hd " + Quote(zip) + " --yes");
  EXPECT_EQ(refused.rc, 1) << refused.out;
  EXPECT_FALSE(fs::exists(dir_ / "new.img")) << "no image is made for a run that is refused";

  const std::string img = dir_ / "drive.img";
  CliResult r = home_.Run("format --image " + Quote(img) + " --size 512M --boot-size 200 --data-set local:" +
                          Quote(zip) + " --recovery-hd " + Quote(dir_ / "rec.hfs") + " --yes");
  ASSERT_EQ(r.rc, 0) << r.out << home_.LogText();
  const std::string disk = ReadFileBytes(img);
  const auto entries = ReadMbrEntries(disk.substr(0, 512));
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[1].type, 0xAF);
  EXPECT_EQ(entries[1].sectors, volume.size() / 512);
  EXPECT_TRUE(disk.substr(uint64_t{entries[1].start} * 512, volume.size()) == volume);
  std::string boot;
  ASSERT_TRUE(FatReadFile(img, entries[0].start, "boot", &boot));
  EXPECT_EQ(boot, std::string(5000, 'b'));
}

}  // namespace
}  // namespace fk::test

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <sstream>

#include "app/AppState.h"
#include "app/Log.h"
#include "tests/support/ScriptedUi.h"
#include "format/Packs.h"
#include "format/VolumeFiles.h"
#include "platform/LoopDevice.h"
#include "tests/support/ImageCheck.h"
#include "tests/support/TestUtil.h"

namespace fk {
namespace {
namespace fs = std::filesystem;

constexpr int64_t kImageSize = 64ll << 20;
constexpr int64_t kPartStart = 1 << 20;

// An image with one MBR partition from 1 MiB to the end.
void WriteMbr(const std::string& img, uint8_t type) {
  test::MakeSparseFile(img, kImageSize);
  std::string mbr(512, '\0');
  auto put32 = [&](std::size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) mbr[at + i] = static_cast<char>(v >> (8 * i));
  };
  mbr[446 + 4] = static_cast<char>(type);
  put32(446 + 8, kPartStart / 512);
  put32(446 + 12, (kImageSize - kPartStart) / 512);
  mbr[510] = '\x55';
  mbr[511] = '\xAA';
  int fd = ::open(img.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, mbr.data(), 512, 0), 512);
  ::close(fd);
}

std::string DataSetZip(const std::string& path) {
  std::vector<ZipInput> in = {
      {"boot", std::string(4000, 'b'), false},
      {"EFI", "", true},
      {"EFI/CLOVER", "", true},
      {"EFI/CLOVER/config.plist", "<plist>long name kept</plist>\n", false},
      {"EFI/CLOVER/drivers/UEFI/ApfsDriverLoader.efi", std::string(70000, 'x'), false},
      {"VC/CP437/CP437UNI.TBL", std::string(1234, 't'), false},
  };
  std::string zip, err;
  EXPECT_TRUE(BuildStoredZip(in, &zip, &err)) << err;
  test::WriteFileBytes(path, zip);
  return path;
}

std::string LogText() {
  std::string all;
  for (const auto& l : TakeLogMirror()) all += l + "\n";
  return all;
}

const std::vector<std::string> kDataSetFiles = {"boot", "EFI/CLOVER/config.plist",
                                                "EFI/CLOVER/drivers/UEFI/ApfsDriverLoader.efi",
                                                "VC/CP437/CP437UNI.TBL"};

class VolumeFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetSharedFlags();
    SetPackWorkDir(dir_ / "work");
    ui_ = std::make_shared<ScriptedUi>();
    SetUi(ui_);
    SetPauseFunction([](int) {});
    SetLogMirror(true);
  }
  void TearDown() override {
    SetLogMirror(false);
    SetPauseFunction(nullptr);
    SetUi(nullptr);
    SetPackWorkDir("");
  }
  std::vector<VolumeFile> MarkerFiles() {
    return {{".metadata_never_index", "", true}, {".fseventsd/no_log", "", true}, {"visible.txt", "seen", false}};
  }
  test::TempDir dir_{"fkvol"};
  std::shared_ptr<ScriptedUi> ui_;
};

// Image names that mtools would parse ("@@" offsets, ':' drive letters) or a
// shell would split: the files land in that image, and nothing else is touched.
TEST_F(VolumeFilesTest, FatImagesWithAnyCharactersInTheirNames) {
  for (const char* tool : {"mkfs.fat", "mcopy", "mattrib"})
    if (!test::HaveProgram(tool)) GTEST_SKIP() << tool << " missing";
  const std::string victim = dir_ / "victim";
  for (const std::string name : {"victim@@0.img", "a:b c.img", "new\nline@@512:z.img"}) {
    SCOPED_TRACE(name);
    test::WriteFileBytes(victim, "untouched");
    const std::string img = dir_ / name;
    WriteMbr(img, 0x0C);
    ASSERT_EQ(test::Sh("mkfs.fat -F 32 -s 1 -h 2048 --offset=2048 " + test::Quote(img) + " " +
                       std::to_string((kImageSize - kPartStart) / 1024)),
              0);
    VolumeTarget target;
    std::string err;
    ASSERT_TRUE(ResolveVolume(img + "@@" + std::to_string(kPartStart), &target, &err)) << err;
    ASSERT_TRUE(WriteFilesToVolume(target, MarkerFiles(), PackWorkDir(), &err)) << err;
    EXPECT_EQ(test::ReadFileBytes(victim), "untouched");
    const std::string check = dir_ / "check.img";  // read back under a plain name
    fs::copy_file(img, check, fs::copy_options::overwrite_existing);
    std::string data;
    EXPECT_TRUE(test::FatReadFile(check, kPartStart / 512, "visible.txt", &data));
    EXPECT_EQ(data, "seen");
  }
}

TEST_F(VolumeFilesTest, Fat32InsideAnImageWithoutRoot) {
  for (const char* tool : {"mkfs.fat", "fsck.fat", "mcopy", "mattrib"})
    if (!test::HaveProgram(tool)) GTEST_SKIP() << tool << " missing";
  const std::string img = dir_ / "disk.img";
  WriteMbr(img, 0x0C);
  std::string out;
  ASSERT_EQ(test::Sh("mkfs.fat -F 32 -s 1 -n FKTEST -h 2048 --offset=2048 '" + img + "' " +
                         std::to_string((kImageSize - kPartStart) / 1024),
                     &out),
            0)
      << out;
  const std::string volume = img + "@@" + std::to_string(kPartStart);

  VolumeTarget target;
  std::string err;
  ASSERT_TRUE(ResolveVolume(volume, &target, &err)) << err;
  EXPECT_EQ(target.fsType, "FAT32");
  EXPECT_EQ(target.offset, kPartStart);
  EXPECT_EQ(target.length, kImageSize - kPartStart);

  const std::string zip = DataSetZip(dir_ / "set.zip");
  ASSERT_EQ(ExtractDataZip(nullptr, 0, volume, 0, zip, 1, 0), 1) << LogText();
  EXPECT_TRUE(ui_->HasStatusContaining("Extracted (6/6) files to " + volume));
  ASSERT_TRUE(WriteFilesToVolume(target, MarkerFiles(), PackWorkDir(), &err)) << err;

  // Whole partition checked by fsck on a copy of its bytes.
  const std::string part = dir_ / "part.img";
  ASSERT_EQ(test::Sh("dd if='" + img + "' of='" + part + "' bs=1M skip=1 conv=sparse status=none"), 0);
  EXPECT_EQ(test::Sh("fsck.fat -n '" + part + "'", &out), 0) << out;

  const std::string env = "MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null ";
  const std::string expectDir = dir_ / "expect";
  ASSERT_EQ(ExtractDataZip(nullptr, 0, expectDir, 0, zip, 0, 0), 1);
  for (const auto& f : kDataSetFiles) {
    const std::string back = dir_ / "back";
    ASSERT_EQ(test::Sh(env + "mcopy -n -i '" + volume + "' '::/" + f + "' '" + back + "'", &out), 0) << f << out;
    EXPECT_EQ(test::ReadFileBytes(back), test::ReadFileBytes(expectDir + "/" + f)) << f;
  }
  ASSERT_EQ(test::Sh(env + "mattrib -i '" + volume + "' ::/.metadata_never_index ::/.fseventsd/no_log ::/visible.txt",
                     &out),
            0)
      << out;
  // mattrib prints the attribute letters in front of each name.
  std::istringstream lines(out);
  std::string line;
  int hiddenSeen = 0;
  while (std::getline(lines, line)) {
    const std::string flags = line.substr(0, line.find("::/"));
    if (line.find("visible.txt") != std::string::npos) EXPECT_EQ(flags.find('H'), std::string::npos) << line;
    else if (flags.find('H') != std::string::npos) ++hiddenSeen;
  }
  EXPECT_EQ(hiddenSeen, 2) << out;

  // A boot sector claiming more than its partition holds is not written through.
  VolumeTarget shorter = target;
  shorter.length = 16 << 20;
  const std::string before = test::ReadFileBytes(img);
  EXPECT_FALSE(WriteFilesToVolume(shorter, MarkerFiles(), PackWorkDir(), &err));
  EXPECT_NE(err.find("more than the partition's 16777216"), std::string::npos) << err;
  EXPECT_TRUE(test::ReadFileBytes(img) == before);
}

TEST_F(VolumeFilesTest, ExfatThroughLoopAndMountWithHiddenEntries) {
  if (!test::IsRoot()) GTEST_SKIP() << "needs root for loop devices and mounts";
  for (const char* tool : {"mkfs.exfat", "fsck.exfat"})
    if (!test::HaveProgram(tool)) GTEST_SKIP() << tool << " missing";
  const std::string img = dir_ / "disk.img";
  WriteMbr(img, 0x07);
  std::string out, err;
  LoopDevice::Options lo;
  lo.offset = kPartStart;
  lo.sizeLimit = kImageSize - kPartStart;
  {
    auto loop = LoopDevice::Attach(img, lo, &err);
    ASSERT_TRUE(loop) << err;
    ASSERT_EQ(test::Sh("mkfs.exfat -L FKTEST " + loop->path(), &out), 0) << out;
  }
  const std::string volume = img + "@@" + std::to_string(kPartStart);
  const std::string zip = DataSetZip(dir_ / "set.zip");
  ASSERT_EQ(ExtractDataZip(nullptr, 0, volume, 0, zip, 1, 0), 1) << LogText();

  VolumeTarget target;
  ASSERT_TRUE(ResolveVolume(volume, &target, &err)) << err;
  EXPECT_EQ(target.fsType, "exFAT");
  ASSERT_TRUE(WriteFilesToVolume(target, MarkerFiles(), PackWorkDir(), &err)) << err;

  {
    int fd = ::open(img.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    for (const char* hidden : {".metadata_never_index", ".fseventsd/no_log"}) {
      int attrs = ExfatAttributes(fd, kPartStart, hidden, &err);
      ASSERT_GE(attrs, 0) << hidden << ": " << err;
      EXPECT_TRUE(attrs & 0x02) << hidden;
    }
    int attrs = ExfatAttributes(fd, kPartStart, "EFI/CLOVER/config.plist", &err);
    ASSERT_GE(attrs, 0) << err;
    EXPECT_FALSE(attrs & 0x02);
    ::close(fd);
  }

  // fsck checks the entry-set checksums that the hidden flag changed.
  auto loop = LoopDevice::Attach(img, lo, &err);
  ASSERT_TRUE(loop) << err;
  EXPECT_EQ(test::Sh("fsck.exfat -n " + loop->path(), &out), 0) << out;
  const std::string mnt = dir_ / "mnt";
  fs::create_directories(mnt);
  const std::string expectDir = dir_ / "expect";
  ASSERT_EQ(ExtractDataZip(nullptr, 0, expectDir, 0, zip, 0, 0), 1);
  ASSERT_EQ(test::Sh("mount.exfat-fuse -o ro " + loop->path() + " '" + mnt + "'", &out), 0) << out;
  for (const auto& f : kDataSetFiles)
    EXPECT_EQ(test::ReadFileBytes(mnt + "/" + f), test::ReadFileBytes(expectDir + "/" + f)) << f;
  EXPECT_EQ(test::ReadFileBytes(mnt + "/visible.txt"), "seen");
  EXPECT_EQ(test::Sh("umount '" + mnt + "'"), 0);
}

TEST_F(VolumeFilesTest, NtfsThroughLoopAndMountWithHiddenFiles) {
  if (!test::IsRoot()) GTEST_SKIP() << "needs root for loop devices and mounts";
  for (const char* tool : {"mkfs.ntfs", "ntfs-3g", "ntfsfix"})
    if (!test::HaveProgram(tool)) GTEST_SKIP() << tool << " missing";
  const std::string img = dir_ / "disk.img";
  WriteMbr(img, 0x07);
  std::string out, err;
  LoopDevice::Options lo;
  lo.offset = kPartStart;
  lo.sizeLimit = kImageSize - kPartStart;
  {
    auto loop = LoopDevice::Attach(img, lo, &err);
    ASSERT_TRUE(loop) << err;
    ASSERT_EQ(test::Sh("mkfs.ntfs -Q -F -L FKTEST " + loop->path(), &out), 0) << out;
  }
  const std::string volume = img + "@@" + std::to_string(kPartStart);
  const std::string zip = DataSetZip(dir_ / "set.zip");
  ASSERT_EQ(ExtractDataZip(nullptr, 0, volume, 0, zip, 1, 0), 1) << LogText();
  VolumeTarget target;
  ASSERT_TRUE(ResolveVolume(volume, &target, &err)) << err;
  EXPECT_EQ(target.fsType, "NTFS");
  ASSERT_TRUE(WriteFilesToVolume(target, MarkerFiles(), PackWorkDir(), &err)) << err;

  auto loop = LoopDevice::Attach(img, lo, &err);
  ASSERT_TRUE(loop) << err;
  EXPECT_EQ(test::Sh("ntfsfix -n " + loop->path(), &out), 0) << out;
  const std::string mnt = dir_ / "mnt";
  fs::create_directories(mnt);
  ASSERT_EQ(test::Sh("ntfs-3g -o ro " + loop->path() + " '" + mnt + "'", &out), 0) << out;
  const std::string expectDir = dir_ / "expect";
  ASSERT_EQ(ExtractDataZip(nullptr, 0, expectDir, 0, zip, 0, 0), 1);
  for (const auto& f : kDataSetFiles)
    EXPECT_EQ(test::ReadFileBytes(mnt + "/" + f), test::ReadFileBytes(expectDir + "/" + f)) << f;
  for (const char* f : {".metadata_never_index", ".fseventsd/no_log", "visible.txt"}) {
    unsigned char v[4] = {};
    ASSERT_EQ(::getxattr((mnt + "/" + f).c_str(), "system.ntfs_attrib_be", v, sizeof v), 4) << f;
    EXPECT_EQ((v[3] & 0x02) != 0, std::string(f) != "visible.txt") << f;
  }
  EXPECT_EQ(test::Sh("umount '" + mnt + "'"), 0);
}

TEST_F(VolumeFilesTest, UnusableVolumesAreReported) {
  const std::string img = dir_ / "blank.img";
  WriteMbr(img, 0x0C);
  VolumeTarget target;
  std::string err;
  EXPECT_FALSE(ResolveVolume(img + "@@" + std::to_string(kPartStart), &target, &err));
  EXPECT_FALSE(ResolveVolume(img + "@@12x", &target, &err));
  EXPECT_FALSE(ResolveVolume(img + "@@" + std::to_string(kImageSize), &target, &err));
  // A directory whose name looks like a volume's stays a directory.
  const std::string odd = dir_ / "data@@1048576";
  std::filesystem::create_directories(odd);
  EXPECT_FALSE(IsVolumeName(odd));
  EXPECT_TRUE(IsVolumeName(img + "@@" + std::to_string(kPartStart)));
  EXPECT_EQ(ExtractDataZip(nullptr, 0, img + "@@" + std::to_string(kPartStart), 0, DataSetZip(dir_ / "z.zip"), 1, 0),
            0);
  EXPECT_TRUE(LogMirrorContains("no known file system"));
  EXPECT_TRUE(ui_->HasStatusContaining("no known file system"));
}

}  // namespace
}  // namespace fk

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <zlib.h>

#include <filesystem>
#include <memory>

#include "app/AppState.h"
#include "app/Log.h"
#include "tests/support/ScriptedUi.h"
#include "app/Ui.h"
#include "format/Packs.h"
#include "tests/support/TestUtil.h"

namespace fk {
namespace {
namespace fs = std::filesystem;

uint32_t Le32(const std::string& s, std::size_t at) {
  auto b = [&](std::size_t i) { return uint32_t(static_cast<unsigned char>(s[at + i])); };
  return b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24;
}
void PutLe32(std::string& s, std::size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}

std::size_t CountFiles(const std::string& dir) {
  std::size_t n = 0;
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) ++n;
  return n;
}

class PacksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetSharedFlags();
    SetPackWorkDir(work_ / "work");
    ui_ = std::make_shared<ScriptedUi>();
    SetUi(ui_);
    SetPauseFunction([](int) {});
    SetLogMirror(true);
    TakeLogMirror();
  }
  void TearDown() override {
    SetLogMirror(false);
    SetPauseFunction(nullptr);
    SetUi(nullptr);
    SetPackWorkDir("");
  }
  // A source tree shaped like the FreeDOS data set (files at the root and in nested folders).
  std::string MakeTree() {
    const std::string src = work_ / "src";
    fs::create_directories(src + "/VC/CP437");
    fs::create_directories(src + "/freedos");
    test::WriteFileBytes(src + "/kernel.sys", std::string(3000, 'K'));
    test::WriteFileBytes(src + "/fdconfig.sys", "MENU 1\r\n");
    test::WriteFileBytes(src + "/freedos/fdauto.bat", "@echo off\r\nvc\r\n");
    std::string table;
    for (int i = 0; i < 70000; ++i) table.push_back(static_cast<char>((i * 7919) >> 3));
    test::WriteFileBytes(src + "/VC/CP437/CP437UNI.TBL", table);
    return src;
  }
  test::TempDir work_{"fkpacks"};
  std::shared_ptr<ScriptedUi> ui_;
};

TEST_F(PacksTest, PackFromDirectoryRoundTripsThroughUnpackAndExtract) {
  const std::string src = MakeTree();
  std::string pack, err;
  ASSERT_TRUE(MakePack(src, &pack, &err)) << err;

  // The designed layout: header, LZMA properties 0x5D with a 64 KiB dictionary.
  EXPECT_EQ(Le32(pack, 4), pack.size() - kPackHeaderSize);
  EXPECT_EQ(static_cast<unsigned char>(pack[12]), 0x5D);
  EXPECT_EQ(Le32(pack, 13), 65536u);

  const std::string zip = UnpackInternalMemoryToTempFile(pack.data(), pack.size());
  ASSERT_FALSE(zip.empty());
  EXPECT_EQ(fs::path(zip).parent_path().string() + "/", PackWorkDir());
  EXPECT_EQ(fs::path(zip).filename().string().rfind("TEMP", 0), 0u);
  const std::string zipBytes = test::ReadFileBytes(zip);
  EXPECT_EQ(zipBytes.size(), Le32(pack, 0));
  EXPECT_EQ(crc32(0, reinterpret_cast<const Bytef*>(zipBytes.data()), zipBytes.size()), Le32(pack, 8));
  EXPECT_TRUE(LogMirrorContains("> UnpackInternalMemoryToTempFile: CRC32 OK"));

  const std::string dest = work_ / "out";
  ASSERT_EQ(ExtractDataZip(pack.data(), pack.size(), dest, 1, "", 0, 1), 1);
  for (const char* f : {"kernel.sys", "fdconfig.sys", "freedos/fdauto.bat", "VC/CP437/CP437UNI.TBL"})
    EXPECT_EQ(test::ReadFileBytes(dest + "/" + f), test::ReadFileBytes(src + "/" + f)) << f;
  EXPECT_EQ(CountFiles(dest), CountFiles(src));
  EXPECT_TRUE(LogMirrorContains("> ExtractDataZip: ExtractDataZipSuccess=1"));
  EXPECT_TRUE(LogMirrorContains("> ExtractDataZip: Deleted "));
}

TEST_F(PacksTest, EmbeddedScriptPacksHoldTheScripts) {
  const std::string dest = work_ / "scripts";
  ASSERT_EQ(ExtractPack(kPackUnpackCloverISO, dest, 0, 1), 1);
  ASSERT_EQ(ExtractPack(kPackUnpackRecHD, dest, 0, 1), 1);
  EXPECT_EQ(test::ReadFileBytes(dest + "/Unpack_Clover_ISO.sh"),
            test::ReadFileBytes(std::string(FK_SOURCE_DIR) + "/resources/packs/UnpackCloverISO/Unpack_Clover_ISO.sh"));
  EXPECT_EQ(test::ReadFileBytes(dest + "/Unpack_RecHDUpdate_pkg.sh"),
            test::ReadFileBytes(std::string(FK_SOURCE_DIR) +
                                "/resources/packs/UnpackRecHD/Unpack_RecHDUpdate_pkg.sh"));
  // The temporary ZIPs were deleted after extraction.
  EXPECT_EQ(CountFiles(work_ / "work"), 0u);
}

TEST_F(PacksTest, FreeDosPackIsExtractedOrReportedAbsent) {
  const std::string dest = work_ / "out";
  if (FindPack(kPackFreeDosDataSet)) {
    // Built with -DFLASHKEEL_FREEDOS_DIR: the pack must unpack cleanly.
    EXPECT_EQ(ExtractPack(kPackFreeDosDataSet, dest, 1, 0), 1);
    EXPECT_GT(CountFiles(dest), 0u);
    return;
  }
  EXPECT_EQ(ExtractPack(kPackFreeDosDataSet, dest, 1, 0), 0);
  EXPECT_TRUE(LogMirrorContains("This build carries no FreeDOS data set"));
  EXPECT_TRUE(ui_->HasStatus("This build carries no FreeDOS data set"));
  EXPECT_FALSE(fs::exists(dest));
}

long PeakRssKiB() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

TEST_F(PacksTest, DamagedPacksYieldNoFile) {
  const std::string src = MakeTree();
  std::string pack, err;
  ASSERT_TRUE(MakePack(src, &pack, &err)) << err;
  const std::string workDir = PackWorkDir();

  std::string badCrc = pack;
  PutLe32(badCrc, 8, Le32(pack, 8) ^ 1);
  EXPECT_EQ(UnpackInternalMemoryToTempFile(badCrc.data(), badCrc.size()), "");
  EXPECT_TRUE(LogMirrorContains("> Error UnpackInternalMemoryToTempFile: CRC32 Error"));
  ASSERT_EQ(ui_->Boxes().size(), 1u);
  EXPECT_EQ(ui_->Boxes()[0].title, "Error");
  EXPECT_EQ(ui_->Boxes()[0].text, "Error UnpackInternalMemoryToTempFile: CRC32 Error");

  // Announced size too large and too small: both are a mismatch, not a cut-off ZIP.
  for (int64_t delta : {+1, -1}) {
    TakeLogMirror();
    std::string badSize = pack;
    PutLe32(badSize, 0, static_cast<uint32_t>(Le32(pack, 0) + delta));
    EXPECT_EQ(UnpackInternalMemoryToTempFile(badSize.data(), badSize.size()), "") << delta;
    EXPECT_TRUE(LogMirrorContains("> UnpackInternalMemoryToTempFile: UnPackedSize Dismatch")) << delta;
  }

  // A header announcing 4 GiB over a stream of a few bytes: memory follows
  // the data the stream gives, not the claim.
  TakeLogMirror();
  std::string huge = pack;
  PutLe32(huge, 0, 0xFFFFFFF0u);
  const long peakBefore = PeakRssKiB();
  EXPECT_EQ(UnpackInternalMemoryToTempFile(huge.data(), huge.size()), "");
  EXPECT_TRUE(LogMirrorContains("> UnpackInternalMemoryToTempFile: UnPackedSize Dismatch"));
  EXPECT_LT(PeakRssKiB() - peakBefore, 256 * 1024);

  TakeLogMirror();
  std::string zeroSize = pack;
  PutLe32(zeroSize, 0, 0);
  EXPECT_EQ(UnpackInternalMemoryToTempFile(zeroSize.data(), zeroSize.size()), "");
  EXPECT_TRUE(LogMirrorContains("> UnpackInternalMemoryToTempFile: UnPackedSize=0"));

  // Damaged LZMA data.
  TakeLogMirror();
  std::string garbled = pack;
  for (std::size_t i = 40; i < garbled.size(); i += 97) garbled[i] = static_cast<char>(garbled[i] ^ 0x5A);
  EXPECT_EQ(UnpackInternalMemoryToTempFile(garbled.data(), garbled.size()), "");

  // Zero length fails before anything is unpacked.
  TakeLogMirror();
  EXPECT_EQ(ExtractDataZip(pack.data(), 0, work_ / "out", 1, "", 1, 0), 0);
  EXPECT_TRUE(LogMirrorContains("> ExtractDataZip: Input args: *Buffer Or BufferLength Error"));
  EXPECT_FALSE(LogMirrorContains("UnpackInternalMemoryToTempFile"));
  EXPECT_FALSE(fs::exists(work_ / "out"));

  EXPECT_EQ(CountFiles(workDir), 0u);
}

}  // namespace
}  // namespace fk

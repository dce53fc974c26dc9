#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <memory>

#include "app/AppState.h"
#include "app/Log.h"
#include "tests/support/ScriptedUi.h"
#include "format/Packs.h"
#include "format/ZipExtract.h"
#include "tests/support/TestUtil.h"

namespace fk {
namespace {
namespace fs = std::filesystem;

// Cancels the running operation (the user's cancel) once a given progress text is drawn.
class CancellingUi : public ScriptedUi {
 public:
  std::string cancelAt;
  void DrawProgress(const std::string& text, int percent) override {
    ScriptedUi::DrawProgress(text, percent);
    if (!cancelAt.empty() && text.find(cancelAt) != std::string::npos) test::CancelThisOperation();
  }
};

// Writes a ZIP with python3's zipfile module; body gets `z` (an open ZipFile).
void MakeZipWithPython(const std::string& path, const std::string& body) {
  const std::string script = "import zipfile, stat\nz = zipfile.ZipFile('" + path +
                             "', 'w', zipfile.ZIP_STORED)\n" + body + "\nz.close()\n";
  test::WriteFileBytes(path + ".py", script);
  std::string out;
  ASSERT_EQ(test::Sh("python3 '" + path + ".py'", &out), 0) << out;
}

class ZipExtractTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetSharedFlags();
    SetPackWorkDir(dir_ / "work");
    ui_ = std::make_shared<CancellingUi>();
    SetUi(ui_);
    SetPauseFunction([](int) {});
    SetLogMirror(true);
    TakeLogMirror();
  }
  void TearDown() override {
    ResetSharedFlags();
    SetLogMirror(false);
    SetPauseFunction(nullptr);
    SetUi(nullptr);
    SetPackWorkDir("");
  }
  // 60 entries: directories, root files and files nested in "VC/CP437/".
  std::string Make60EntryZip() {
    std::vector<ZipInput> in;
    in.push_back({"VC", "", true});
    in.push_back({"VC/CP437", "", true});
    in.push_back({"VC/CP437/CP437UNI.TBL", std::string(5000, 'T'), false});
    for (int i = 0; in.size() < 60; ++i)
      in.push_back({(i % 2 ? "VC/F" : "driver/F") + std::to_string(i) + ".SYS", std::string(100 + i, char('a' + i % 26)),
                    false});
    std::string zip, err;
    EXPECT_TRUE(BuildStoredZip(in, &zip, &err)) << err;
    const std::string path = dir_ / "data.zip";
    test::WriteFileBytes(path, zip);
    return path;
  }
  test::TempDir dir_{"fkzip"};
  std::shared_ptr<CancellingUi> ui_;
};

TEST_F(ZipExtractTest, ExtractsNestedEntriesWithProgressIntoADirectory) {
  const std::string zip = Make60EntryZip();
  const std::string dest = dir_ / "dest";  // no trailing separator, does not exist yet
  ASSERT_EQ(ExtractDataZip(nullptr, 0, dest, 0, zip, 1, 0), 1);
  EXPECT_EQ(test::ReadFileBytes(dest + "/VC/CP437/CP437UNI.TBL"), std::string(5000, 'T'));
  EXPECT_EQ(test::ReadFileBytes(dest + "/driver/F56.SYS"), std::string(156, char('a' + 56 % 26)));
  EXPECT_TRUE(fs::exists(zip));  // DeleteZipAfter 0 keeps it

  const auto progress = ui_->Progress();
  bool sawThird = false;
  for (const auto& [text, pct] : progress) {
    if (text == "Extracted (3/60) files to " + dest + "/") {
      sawThird = true;
      EXPECT_EQ(pct, 5);
    }
  }
  EXPECT_TRUE(sawThird);
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back().first, "");  // cleared at the end
  EXPECT_TRUE(LogMirrorContains("> ExtractDataZip: PathToExtract$=" + dest + " sZipFileForUnpack=" + zip));

  // A trailing separator is not doubled.
  ASSERT_EQ(ExtractDataZip(nullptr, 0, dest + "/", 0, zip, 1, 1), 1);
  EXPECT_TRUE(ui_->HasStatus("Extracted (60/60) files to " + dest + "/"));
  EXPECT_FALSE(fs::exists(zip));
}

TEST_F(ZipExtractTest, CancelStopsBetweenEntries) {
  const std::string zip = Make60EntryZip();
  const std::string dest = dir_ / "dest";
  ui_->cancelAt = "(3/60)";
  test::RunAsOperation([&] { EXPECT_EQ(ExtractDataZip(nullptr, 0, dest, 0, zip, 1, 0), 0); });
  EXPECT_TRUE(LogMirrorContains("> ExtractDataZip: Cancel(FormatStatus=#True)"));
  EXPECT_FALSE(ui_->HasStatusContaining("(4/60)"));
  EXPECT_TRUE(fs::exists(dest + "/VC/CP437/CP437UNI.TBL"));  // entries done stay in place
  EXPECT_FALSE(fs::exists(dest + "/driver"));                 // the fourth entry was not started

  // Cancel already set: nothing is opened.
  TakeLogMirror();
  test::RunAsOperation([&] {
    test::CancelThisOperation();
    EXPECT_EQ(ExtractDataZip(nullptr, 0, dir_ / "dest2", 0, zip, 1, 0), 0);
  });
  EXPECT_FALSE(fs::exists(dir_ / "dest2"));
}

// An archive that unpacks to far more than its size stops at the byte limit
// instead of filling the disk the files are staged on.
TEST_F(ZipExtractTest, DataPastTheByteLimitStopsTheExtraction) {
  const std::string zip = dir_ / "bomb.zip";
  MakeZipWithPython(zip, "z.writestr('small.txt', 'x' * 1000)\n"
                         "z.writestr('big.bin', b'\\0' * (64 << 20), compress_type=zipfile.ZIP_DEFLATED)");
  const std::string dest = dir_ / "dest";
  fs::create_directories(dest);
  ZipExtractOptions opt;
  opt.maxBytes = 1 << 20;
  ZipOutcome out = ExtractZipSafely(zip, dest, opt);
  EXPECT_EQ(out.result, ZipResult::TooLarge);
  EXPECT_EQ(out.entry, "big.bin");
  EXPECT_LE(fs::file_size(dest + "/big.bin") + fs::file_size(dest + "/small.txt"), uintmax_t{1} << 20);
  opt.maxBytes = 0;
  EXPECT_EQ(ExtractZipSafely(zip, dir_ / "dest", opt).result, ZipResult::Ok);
  EXPECT_EQ(fs::file_size(dest + "/big.bin"), uintmax_t{64} << 20);
}

TEST_F(ZipExtractTest, HostileArchivesFailWithoutWritingOutside) {
  const std::string outside = dir_ / "outside";
  fs::create_directories(outside);
  struct Case {
    const char* name;
    std::string body;
  };
  const std::vector<Case> cases = {
      {"absolute", "z.writestr('ok.txt', 'x')\nz.writestr('" + outside + "/abs.txt', 'evil')"},
      {"dotdot", "z.writestr('ok.txt', 'x')\nz.writestr('../outside/up.txt', 'evil')"},
      {"nested-dotdot", "z.writestr('a/b/../../../outside/up2.txt', 'evil')"},
      {"backslash", "z.writestr('..\\\\outside\\\\bs.txt', 'evil')"},
      {"symlink",
       "i = zipfile.ZipInfo('link')\ni.create_system = 3\ni.external_attr = (stat.S_IFLNK | 0o777) << 16\n"
       "z.writestr(i, '" + outside + "')\nz.writestr('link/through.txt', 'evil')"},
  };
  for (const auto& c : cases) {
    const std::string zip = dir_ / (std::string(c.name) + ".zip");
    MakeZipWithPython(zip, c.body);
    const std::string dest = dir_ / (std::string("dest-") + c.name);
    TakeLogMirror();
    EXPECT_EQ(ExtractDataZip(nullptr, 0, dest, 0, zip, 0, 0), 0) << c.name;
    EXPECT_TRUE(fs::is_empty(outside)) << c.name;
    EXPECT_FALSE(fs::is_symlink(dest + "/link")) << c.name;
    EXPECT_FALSE(LogMirrorContains("ExtractDataZipSuccess=1")) << c.name;
    EXPECT_TRUE(LogMirrorContains("> ExtractDataZip: Error: ")) << c.name;
  }

  // A link already inside the destination is not followed.
  const std::string dest = dir_ / "dest-prelinked";
  fs::create_directories(dest);
  fs::create_directory_symlink(outside, dest + "/sub");
  const std::string zip = dir_ / "through.zip";
  MakeZipWithPython(zip, "z.writestr('sub/x.txt', 'evil')");
  EXPECT_EQ(ExtractDataZip(nullptr, 0, dest, 0, zip, 0, 0), 0);
  EXPECT_TRUE(fs::is_empty(outside));
}

TEST_F(ZipExtractTest, CorruptMemberFailsTheExtraction) {
  const std::string zip = dir_ / "corrupt.zip";
  MakeZipWithPython(zip, "z.writestr('first.txt', 'A' * 1000)\nz.writestr('second.txt', 'B' * 1000)");
  std::string bytes = test::ReadFileBytes(zip);
  const auto at = bytes.find(std::string(1000, 'B'));
  ASSERT_NE(at, std::string::npos);
  bytes[at + 500] = 'C';
  test::WriteFileBytes(zip, bytes);
  EXPECT_EQ(ExtractDataZip(nullptr, 0, dir_ / "dest", 0, zip, 0, 0), 0);
  EXPECT_TRUE(LogMirrorContains("ERROR SIZE"));
  EXPECT_FALSE(LogMirrorContains("ExtractDataZipSuccess=1"));

  // Not a ZIP at all.
  test::WriteFileBytes(dir_ / "junk.zip", std::string(4096, 'J'));
  TakeLogMirror();
  EXPECT_EQ(ExtractDataZip(nullptr, 0, dir_ / "dest3", 0, dir_ / "junk.zip", 0, 0), 0);
  EXPECT_TRUE(LogMirrorContains("> ExtractDataZip: Can't OpenPack zip"));
}

TEST(ZipEntryNames, SafeNamesAreKeptAndUnsafeOnesRefused) {
  std::string c;
  EXPECT_TRUE(SplitSafeEntryName("VC/CP437/CP437UNI.TBL", &c));
  EXPECT_EQ(c, "VC/CP437/CP437UNI.TBL");
  EXPECT_TRUE(SplitSafeEntryName("./EFI//CLOVER/", &c));
  EXPECT_EQ(c, "EFI/CLOVER");
  EXPECT_TRUE(SplitSafeEntryName("a..b/..c", &c));
  for (const char* bad : {"", "/etc/passwd", "..", "a/../../b", "a\\..\\..\\b", "C:\\x", "./"})
    EXPECT_FALSE(SplitSafeEntryName(bad, &c)) << bad;
}

}  // namespace
}  // namespace fk

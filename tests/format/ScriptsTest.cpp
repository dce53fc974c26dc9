#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <thread>

#include "app/AppState.h"
#include "app/Log.h"
#include "tests/support/ScriptedUi.h"
#include "format/CloverDataSet.h"
#include "format/PackWriter.h"
#include "format/Packs.h"
#include "platform/Process.h"
#include "tests/support/TestUtil.h"

namespace fk {
namespace {
namespace fs = std::filesystem;

// The scripts as the program runs them: unpacked from their packs into a work
// directory and started there with "sh".
class ScriptsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::HaveProgram("7zz")) GTEST_SKIP() << "7zz missing";
    ResetSharedFlags();
    SetUi(std::make_shared<ScriptedUi>());
    SetPauseFunction([](int) {});
    SetPackWorkDir(dir_ / "packwork");
    ASSERT_EQ(ExtractPack(kPackUnpackCloverISO, work_, 0, 1), 1);
    ASSERT_EQ(ExtractPack(kPackUnpackRecHD, work_, 0, 1), 1);
  }
  void TearDown() override {
    SetPauseFunction(nullptr);
    SetUi(nullptr);
    SetPackWorkDir("");
  }
  ProcessResult Run(const std::string& script, std::vector<std::string> args,
                    std::vector<std::pair<std::string, std::string>> env = {}) {
    ProcessRequest rq;
    rq.argv = {"sh", script};
    rq.argv.insert(rq.argv.end(), args.begin(), args.end());
    rq.workDir = work_;
    rq.extraEnv = std::move(env);
    rq.timeoutMs = 120000;
    return RunProcess(rq);
  }
  test::TempDir dir_{"fkscript"};
  std::string work_ = dir_ / "work";
};

TEST_F(ScriptsTest, CloverIsoArchiveBecomesADataSetZip) {
  if (!test::HaveProgram("xorriso")) GTEST_SKIP() << "xorriso missing";
  const std::string tree = dir_ / "iso";
  fs::create_directories(tree + "/usr/standalone/i386/x64");
  fs::create_directories(tree + "/EFI/CLOVER/drivers/UEFI");
  fs::create_directories(tree + "/EFI/BOOT");
  const std::string boot6 = "Clover revision: 5119\n" + std::string(3000, '6');
  test::WriteFileBytes(tree + "/usr/standalone/i386/x64/boot6", boot6);
  test::WriteFileBytes(tree + "/usr/standalone/i386/x64/boot7", std::string(2000, '7'));
  test::WriteFileBytes(tree + "/EFI/CLOVER/config.plist", "<plist/>\n");
  test::WriteFileBytes(tree + "/EFI/CLOVER/drivers/UEFI/FSInject.efi", std::string(9000, 'F'));
  test::WriteFileBytes(tree + "/EFI/BOOT/BOOTX64.efi", std::string(5000, 'B'));
  std::string out;
  const std::string iso = dir_ / "Clover-5119-X64.iso";
  ASSERT_EQ(test::Sh("xorriso -as mkisofs -quiet -R -J -o '" + iso + "' '" + tree + "'", &out), 0) << out;
  ASSERT_EQ(test::Sh("cd '" + dir_.path() + "' && 7zz a -bd Clover-5119-X64.iso.7z Clover-5119-X64.iso", &out), 0)
      << out;
  fs::rename(dir_ / "Clover-5119-X64.iso.7z", work_ + "/Clover-5119-X64.iso.7z");

  ProcessResult r = Run(work_ + "/Unpack_Clover_ISO.sh", {"Clover-5119-X64.iso.7z"});
  ASSERT_TRUE(r.started);
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("CloverPackName: Clover-5119-X64.iso\n"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("UnpackDir: Clover-5119-X64\n"), std::string::npos) << r.output;
  EXPECT_FALSE(fs::exists(work_ + "/Clover-5119-X64"));  // unpack directory removed

  const std::string zip = work_ + "/Clover-5119-X64.zip";
  ASSERT_TRUE(fs::exists(zip)) << r.output;
  const std::string set = dir_ / "set";
  ASSERT_EQ(ExtractDataZip(nullptr, 0, set, 0, zip, 0, 0), 1);
  EXPECT_EQ(test::ReadFileBytes(set + "/boot"), boot6);
  EXPECT_EQ(test::ReadFileBytes(set + "/boot6"), boot6);
  EXPECT_EQ(test::ReadFileBytes(set + "/boot7"), std::string(2000, '7'));
  EXPECT_EQ(test::ReadFileBytes(set + "/EFI/CLOVER/drivers/UEFI/FSInject.efi"), std::string(9000, 'F'));
  EXPECT_EQ(test::ReadFileBytes(set + "/EFI/BOOT/BOOTX64.efi"), std::string(5000, 'B'));
  for (const auto& e : fs::recursive_directory_iterator(set))
    EXPECT_NE(e.path().extension(), ".iso") << e.path();
}

TEST_F(ScriptsTest, CloverScriptFailuresHaveTheirExitCodes) {
  const std::string script = work_ + "/Unpack_Clover_ISO.sh";
  ProcessResult r = Run(script, {});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("Usage: Unpack_Clover_ISO.sh CloverISO-XXXX.tar.lzma.zip"), std::string::npos) << r.output;

  r = Run(script, {"Clover-1-X64.iso.7z"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.output.find("Error: File \"Clover-1-X64.iso.7z\" not found"), std::string::npos) << r.output;

  test::WriteFileBytes(work_ + "/Clover-2-X64.iso.7z", "7z not really");
  r = Run(script, {"Clover-2-X64.iso.7z"}, {{"FK_7ZZ", "/nonexistent/7zz"}});
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_NE(r.output.find("not found"), std::string::npos) << r.output;

  r = Run(script, {"Clover-2-X64.iso.7z"});
  EXPECT_EQ(r.exitCode, 4) << r.output;
  EXPECT_NE(r.output.find("Error Extract ISO file"), std::string::npos) << r.output;
  EXPECT_FALSE(fs::exists(work_ + "/Clover-2-X64"));
  EXPECT_FALSE(fs::exists(work_ + "/Clover-2-X64.zip"));
}

TEST_F(ScriptsTest, RecoveryScriptFailuresHaveTheirExitCodes) {
  const std::string script = work_ + "/Unpack_RecHDUpdate_pkg.sh";
  ProcessResult r = Run(script, {});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("Usage: Unpack_RecHDUpdate_pkg.sh RecoveryHDUpdate.pkg"), std::string::npos) << r.output;

  r = Run(script, {"missing.pkg"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.output.find("Archive: \"missing.pkg\" not found"), std::string::npos) << r.output;

  test::WriteFileBytes(work_ + "/RecoveryHDUpdate.pkg", std::string(8192, 'x'));
  r = Run(script, {"RecoveryHDUpdate.pkg", "no-such-dir"});
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_NE(r.output.find("Output Directory: \"no-such-dir\" not found"), std::string::npos) << r.output;

  r = Run(script, {"RecoveryHDUpdate.pkg"});
  EXPECT_EQ(r.exitCode, 4) << r.output;
  EXPECT_NE(r.output.find("Error Extract RecoveryHDMeta.dmg"), std::string::npos) << r.output;
  EXPECT_FALSE(fs::exists(work_ + "/RecoveryHDMeta.dmg"));
}

// A Cancel while the unpacking script runs stops it; the run does not wait for
// the script to end by itself.
TEST(CloverUnpackCancel, CancelStopsTheScript) {
  test::TempDir dir{"fkunpack"};
  fs::create_directories(dir / "pack");
  test::WriteFileBytes(dir / "pack/Unpack_Clover_ISO.sh", "sleep 60\n");
  std::string pack, error;
  ASSERT_TRUE(MakePack(dir / "pack", &pack, &error)) << error;
  RegisterPack(kPackUnpackCloverISO, pack);
  ResetSharedFlags();
  SetUi(std::make_shared<ScriptedUi>());
  SetPauseFunction([](int) {});
  SetPackWorkDir(dir / "packwork");
  test::WriteFileBytes(dir / "Clover-v2.5k-5119-X64.iso.7z", "not unpacked");
  CloverLocalSelectedName = dir / "Clover-v2.5k-5119-X64.iso.7z";

  std::thread cancel([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    GetRunner().Cancel(OpKind::Format);
  });
  const auto start = std::chrono::steady_clock::now();
  int result = -1;
  EXPECT_EQ(test::RunAsOperation([&] { result = DLAndExtractCloverFromCloverDistrISO(dir / "dest", 1); }).outcome,
            OpOutcome::Cancelled);
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
  cancel.join();
  EXPECT_EQ(result, 0);
  EXPECT_LT(seconds, 30) << "the script ran on after the cancel";

  RegisterPack(kPackUnpackCloverISO, "");
  CloverLocalSelectedName.clear();
  ResetSharedFlags();
  SetPackWorkDir("");
  SetPauseFunction(nullptr);
  SetUi(nullptr);
}

}  // namespace
}  // namespace fk

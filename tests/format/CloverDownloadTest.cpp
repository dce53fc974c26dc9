// The "DL" data set: a release archive served over https by a local server is
// downloaded, checked and converted before the disk is touched.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "app/AppState.h"
#include "app/Runner.h"
#include "app/Settings.h"
#include "app/Utilities.h"
#include "format/CloverDataSet.h"
#include "format/Packs.h"
#include "net/Http.h"
#include "net/RemoteUrls.h"
#include "tests/support/CloverIso.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/ScriptedUi.h"
#include "tests/support/TestCert.h"
#include "tests/support/TestUtil.h"

namespace fk {
namespace {

namespace fs = std::filesystem;
using test::HttpResource;
using test::HttpTestServer;

constexpr const char* kDownloadPath = "/CloverHackyColor/CloverBootloader/releases/download/";
const std::string kBoot = "Clover revision: 5120\n" + std::string(4000, 'c');

class CloverDownload : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::CanMakeCloverIso7z()) GTEST_SKIP() << "xorriso or 7zz missing";
    if (!test::HaveProgram("openssl")) GTEST_SKIP() << "openssl missing";
    std::string err;
    ASSERT_TRUE(test::MakeTestCert(dir_.path(), &cert_, &err)) << err;
    archive_ = test::MakeCloverIso7z(dir_.path(), "5120", kBoot, {{"EFI/CLOVER/config.plist", "<plist/>\n"}}, &err);
    ASSERT_FALSE(archive_.empty()) << err;
    server_ = std::make_unique<HttpTestServer>(HttpTestServer::Mode::Origin, cert_.certFile, cert_.keyFile);
    ::setenv(kEnvGithub, server_->Url("").c_str(), 1);
    ::setenv(kEnvCAFile, cert_.caFile.c_str(), 1);
    ResetSharedFlags();
    ResetSettings();
    Cfg().CloverDLRev = "5120";
    Cfg().SaveLatestCloverAfterDL = 1;
    ui_ = std::make_shared<ScriptedUi>();
    SetUi(ui_);
    SetPauseFunction([](int) {});
    SetPackWorkDir(dir_ / "packwork");
    SetResumeMaxAttemptsSetting(0);
    fs::create_directories(dir_ / "repo");
  }
  void TearDown() override {
    GetRunner().JoinAll(30000);
    SetCloverDownloadTimeoutMs(0);
    SetResumeMaxAttemptsSetting(9999);
    ::unsetenv(kEnvGithub);
    ::unsetenv(kEnvCAFile);
    SetPackWorkDir("");
    SetPauseFunction(nullptr);
    SetUi(nullptr);
    ResetSettings();
  }
  // The archive as the release site serves it: a redirect to a storage host.
  void ServeArchive(HttpResource storage) {
    server_->Add(std::string(kDownloadPath) + "5120/Clover-5120-X64.iso.7z",
                 HttpResource{.redirectTo = server_->Url("/storage/5120.bin")});
    server_->Add("/storage/5120.bin", std::move(storage));
  }

  test::TempDir dir_{"fkclvdl"};
  test::TestCert cert_;
  std::string archive_;
  std::unique_ptr<HttpTestServer> server_;
  std::shared_ptr<ScriptedUi> ui_;
};

TEST_F(CloverDownload, ArchiveIsDownloadedConvertedAndKept) {
  ServeArchive(HttpTestServer::Bytes(test::ReadFileBytes(archive_)));

  // Without a repository nothing is saved, and never into the current directory.
  const std::string cwd = fs::current_path();
  fs::create_directories(dir_ / "cwd");
  fs::current_path(dir_ / "cwd");
  Cfg().CloverLocalRepository = "";
  EXPECT_EQ(DLAndExtractCloverFromCloverDistrISO(dir_ / "dest1", 0), 1);
  fs::current_path(cwd);
  EXPECT_TRUE(fs::is_empty(dir_ / "cwd"));
  EXPECT_EQ(test::ReadFileBytes(dir_ / "dest1/boot"), kBoot);
  EXPECT_EQ(test::ReadFileBytes(dir_ / "dest1/EFI/CLOVER/config.plist"), "<plist/>\n");
  EXPECT_TRUE(ui_->HasStatus("Clover r5120 Downloaded"));

  // The two steps of a format run; the converted ZIP is saved to the repository ...
  Cfg().CloverLocalRepository = dir_ / "repo";
  bool downloaded = false;
  const std::string zip = PrepareCloverDLDataSet(&downloaded);
  ASSERT_FALSE(zip.empty());
  EXPECT_TRUE(downloaded);
  EXPECT_EQ(InstallPreparedCloverDataSet(zip, downloaded, dir_ / "dest2"), 1);
  EXPECT_EQ(TestDataZip(dir_ / "repo/Clover-5120-X64.zip"), 5120);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "repo"), fs::directory_iterator()), 1) << "only the archive";
  const size_t requests = server_->Requests().size();
  EXPECT_EQ(requests, 4u);  // two downloads, each redirected once

  // ... where the next run finds it without a download.
  EXPECT_EQ(PrepareCloverDLDataSet(&downloaded), (dir_ / "repo/") + "Clover-5120-X64.zip");
  EXPECT_FALSE(downloaded);
  EXPECT_EQ(server_->Requests().size(), requests);
}

TEST_F(CloverDownload, FailedDownloadsGiveNoDataSet) {
  // Not an archive.
  ServeArchive(HttpTestServer::Bytes("<html>not found</html>"));
  bool downloaded = false;
  EXPECT_EQ(PrepareCloverDLDataSet(&downloaded), "");
  EXPECT_TRUE(ui_->HasStatus("Error: The downloaded file is not an LZMA file."));

  // Missing on the server.
  server_->Add("/storage/5120.bin", HttpResource{.status = 404});
  EXPECT_EQ(PrepareCloverDLDataSet(&downloaded), "");
  EXPECT_TRUE(ui_->HasStatus("HTTP status code = 404"));

  // A revision that is not a number never reaches a URL or a file name.
  Cfg().CloverDLRev = "../5120";
  EXPECT_EQ(PrepareCloverDLDataSet(&downloaded), "");
  EXPECT_EQ(server_->Requests().size(), 4u);
}

TEST_F(CloverDownload, TimeOutCancelsTheDownloadBeforeGoingOn) {
  HttpResource slow = HttpTestServer::Bytes(test::ReadFileBytes(archive_));
  slow.trickleChunk = 64;
  slow.trickleDelayMs = 200;
  ServeArchive(slow);
  SetCloverDownloadTimeoutMs(1500);
  ASSERT_TRUE(CreateTempWorkDir());
  const std::string work = FklTempWorkDir();
  EXPECT_EQ(DownloadCloverArchive(work), "");
  ASSERT_FALSE(ui_->Boxes().empty());
  EXPECT_EQ(ui_->Boxes().back().text, "Can't download Latest Clover: Timeout 1 secs.");
  EXPECT_EQ(ui_->Boxes().back().title, "Error!");
  // The download has ended, and its partial file is gone for good.
  EXPECT_FALSE(GetRunner().Running(OpKind::CloverDownload));
  EXPECT_FALSE(fs::exists(work + "Clover-5120-X64.iso.7z"));
  ::usleep(600 * 1000);
  EXPECT_FALSE(fs::exists(work + "Clover-5120-X64.iso.7z"));
}

}  // namespace
}  // namespace fk

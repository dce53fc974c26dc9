// flashkeel-cli clover check|list|download and format --data-set dl:REV,
// against a local https server standing in for the release site.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "net/RemoteUrls.h"
#include "tests/cli/CliRun.h"
#include "tests/support/CloverIso.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/TestCert.h"

namespace fk::test {
namespace {

namespace fs = std::filesystem;

const std::string kBoot = "Clover revision: 5120\n" + std::string(3000, 'b');

class CliClover : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!CanMakeCloverIso7z()) GTEST_SKIP() << "xorriso or 7zz missing";
    if (!HaveProgram("openssl") || !HaveProgram("mcopy")) GTEST_SKIP() << "openssl or mtools missing";
    std::string err;
    ASSERT_TRUE(MakeTestCert(dir_.path(), &cert_, &err)) << err;
    archive_ = MakeCloverIso7z(dir_.path(), "5120", kBoot, {{"EFI/CLOVER/config.plist", "<plist/>\n"}}, &err);
    ASSERT_FALSE(archive_.empty()) << err;
    server_ = std::make_unique<HttpTestServer>(HttpTestServer::Mode::Origin, cert_.certFile, cert_.keyFile);
    HttpResource api = HttpTestServer::Bytes(
        ReadFileBytes(std::string(FK_FIXTURES_DIR) + "/clover/releases-page1.json"));
    api.contentType = "application/json";
    server_->Add("/repos/CloverHackyColor/CloverBootloader/releases", api);
    server_->Add("/CloverHackyColor/CloverBootloader/releases/download/5120/Clover-5120-X64.iso.7z",
                 HttpTestServer::Bytes(ReadFileBytes(archive_)));
    ::setenv(kEnvGithub, server_->Url("").c_str(), 1);
    ::setenv(kEnvGithubApi, server_->Url("").c_str(), 1);
    ::setenv(kEnvCAFile, cert_.caFile.c_str(), 1);
  }
  void TearDown() override {
    for (const char* v : {kEnvGithub, kEnvGithubApi, kEnvCAFile}) ::unsetenv(v);
  }

  TempDir dir_{"fkclicl"};
  CliHome home_{dir_ / "home"};
  TestCert cert_;
  std::string archive_;
  std::unique_ptr<HttpTestServer> server_;
};

TEST_F(CliClover, CheckDownloadAndList) {
  CliResult r = home_.Run("clover check");
  ASSERT_EQ(r.rc, 0) << r.out;
  EXPECT_NE(r.out.find("Latest Clover: r5120\nRevisions: 5120 5119\n"), std::string::npos) << r.out;
  EXPECT_NE(ReadFileBytes(home_.dir() + "/flashkeel.ini").find("CloverLastRev = 5120\r\n"), std::string::npos);

  // Without --rev the newest revision is downloaded.
  const std::string repo = dir_ / "repo";
  fs::create_directories(repo);
  r = home_.Run("clover download --repo " + Quote(repo));
  ASSERT_EQ(r.rc, 0) << r.out;
  EXPECT_EQ(ReadFileBytes(repo + "/Clover-5120-X64.iso.7z"), ReadFileBytes(archive_));

  WriteFileBytes(repo + "/Clover-999-X64.iso.7z", "7z stand-in");
  r = home_.Run("clover list --repo " + Quote(repo));
  ASSERT_EQ(r.rc, 0) << r.out;
  EXPECT_NE(r.out.find("* Clover-5120-X64.iso.7z"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("r5120"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  Clover-999-X64.iso.7z"), std::string::npos) << r.out;

  // A refused check fails and keeps what the settings know.
  HttpResource limited;
  limited.status = 403;
  limited.extraHeaders = "X-RateLimit-Remaining: 0\r\n";
  server_->Add("/repos/CloverHackyColor/CloverBootloader/releases", limited);
  r = home_.Run("clover check");
  EXPECT_EQ(r.rc, 1) << r.out;
  EXPECT_NE(r.out.find("request limit is reached"), std::string::npos) << r.out;
  EXPECT_NE(ReadFileBytes(home_.dir() + "/flashkeel.ini").find("CloverLastRev = 5120\r\n"), std::string::npos);

  // A revision the site does not have leaves nothing behind.
  EXPECT_EQ(home_.Run("clover download --rev 5119 --repo " + Quote(repo)).rc, 1);
  EXPECT_FALSE(fs::exists(repo + "/Clover-5119-X64.iso.7z"));
  EXPECT_FALSE(fs::exists(repo + "/Clover-5119-X64.iso.7z.part"));

  EXPECT_EQ(home_.Run("clover").rc, 2);
  EXPECT_EQ(home_.Run("clover fetch").rc, 2);
}

TEST_F(CliClover, FormatDownloadsBeforeTouchingTheDisk) {
  const std::string img = dir_ / "dl.img";
  CliResult r = home_.Run("format --image " + Quote(img) + " --size 256M --one-partition --data-set dl:5120 --yes");
  ASSERT_EQ(r.rc, 0) << r.out << home_.LogText();
  auto e = ReadMbrEntries(ReadFileBytes(img).substr(0, 512));
  ASSERT_FALSE(e.empty());
  std::string boot;
  ASSERT_TRUE(FatReadFile(img, e[0].start, "boot", &boot));
  EXPECT_EQ(boot, kBoot);
  const std::string log = home_.LogText();
  EXPECT_LT(log.find("> DLAndExtractCloverFromCloverDistrISO: Exitcode: 0"), log.find("> Phase 1 Success open Disk"))
      << log;

  // With the release site down the run ends before the question, the disk unchanged.
  const std::string before = ReadFileBytes(img);
  server_.reset();
  r = home_.Run("format --image " + Quote(img) + " --one-partition --data-set dl:5120 --yes");
  EXPECT_EQ(r.rc, 1) << r.out;
  EXPECT_EQ(r.out.find("ALL DATA ON DEVICE"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Clover Data set files Not Installed"), std::string::npos) << r.out;
  EXPECT_TRUE(ReadFileBytes(img) == before);
}

}  // namespace
}  // namespace fk::test

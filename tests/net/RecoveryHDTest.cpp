// Recovery HD packages (built here: a xar holding RecoveryHDMeta.dmg holding
// BaseSystem.dmg holding an HFS+ volume) served over HTTPS from 127.0.0.1, and
// Apple-made DMG files, turned into HFS+ images.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Runner.h"
#include "format/Packs.h"
#include "net/Http.h"
#include "net/RecoveryHD.h"
#include "tests/support/AppleImages.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/ScriptedUi.h"
#include "tests/support/TestUtil.h"

namespace fk {
namespace {

namespace fs = std::filesystem;
using test::HttpTestServer;

const std::string kFixtures = std::string(FK_FIXTURES_DIR) + "/apple-images/";

std::string OpensslSha1(const std::string& data) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  EVP_Digest(data.data(), data.size(), md, &len, EVP_sha1(), nullptr);
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned i = 0; i < len; ++i) out += std::string{hex[md[i] >> 4], hex[md[i] & 15]};
  return out;
}

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// The package chain, built once for the whole suite.
struct Chain {
  std::string volume;   // the HFS+ volume inside BaseSystem.dmg
  std::string package;  // the xar
  std::string apfsPackage;  // the same chain around an APFS-only BaseSystem.dmg
  std::string error;
};

const Chain& TheChain() {
  static const Chain chain = [] {
    Chain c;
    test::TempDir d("fkchain");
    fs::create_directories(d / "base/System/Library/CoreServices");
    fs::create_directories(d / "base/Install macOS.app");
    test::WriteFileBytes(d / "base/System/Library/CoreServices/SystemVersion.plist", "<plist>10.11.6</plist>\n");
    c.volume = test::MakeHfsVolume(d / "base", "OS X Base System", &c.error);
    if (c.volume.empty()) return c;
    c.package = test::MakeRecoveryPackage(test::MakeUdif(c.volume, true), &c.error);
    if (c.package.empty()) return c;
    c.apfsPackage = test::MakeRecoveryPackage(test::ReadFileBytes(kFixtures + "container-apfs.dmg"), &c.error);
    return c;
  }();
  return chain;
}

class RecoveryHD : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"7zz", "xorriso", "openssl"})
      if (!test::HaveProgram(tool)) GTEST_SKIP() << tool << " missing";
    const Chain& c = TheChain();
    ASSERT_TRUE(c.error.empty()) << c.error;
    // The TLS server writes on after a cancelled client has gone.
    ::signal(SIGPIPE, SIG_IGN);
    ResetSharedFlags();
    ui_ = std::make_shared<ScriptedUi>();
    SetUi(ui_);
    SetPauseFunction([](int) {});
    SetPackWorkDir(dir_ / "packwork");
    fs::create_directories(tmp_);
    ::setenv("TMPDIR", tmp_.c_str(), 1);
    settings_.FKLImageLocalRepo = repo_;
    fs::create_directories(repo_);
    std::string out;
    ASSERT_EQ(test::Sh("cd '" + dir_.path() +
                           "' && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2"
                           " -subj '/CN=127.0.0.1' -addext 'subjectAltName=IP:127.0.0.1'",
                       &out),
              0)
        << out;
    server_ = std::make_unique<HttpTestServer>(HttpTestServer::Mode::Origin, dir_ / "cert.pem", dir_ / "key.pem");
    HttpEngineOptions o;
    o.connectTimeoutMs = 5000;
    o.caFile = dir_ / "cert.pem";
    SetHttpEngineOptions(o);
  }
  void TearDown() override {
    ::unsetenv("TMPDIR");
    ::unsetenv("FK_7ZZ");
    SetHttpEngineOptions(HttpEngineOptions{});
    SetPauseFunction(nullptr);
    SetUi(nullptr);
    SetPackWorkDir("");
  }

  RecoveryHDSource Record(const std::string& path, const std::string& body, bool digest = true) {
    server_->Add(path, HttpTestServer::Bytes(body));
    RecoveryHDSource r;
    r.Name = "OS X 10.11.6 El Capitan";
    r.URL = server_->Url(path);
    r.Size = std::to_string(body.size());
    if (digest) r.Digest = OpensslSha1(body);
    return r;
  }
  OpResult Download(RecoveryHDSource r) {
    return GetRunner().RunHere(
        OpKind::RecoveryDownload, [&r](OpContext&) { return DLAndExtractHFSImageFromRecoveryHD(r); }, settings_);
  }
  bool SummaryShown() const {
    for (const auto& b : ui_->Boxes())
      if (b.title == "Info") return true;
    return false;
  }

  test::TempDir dir_{"fkrechd"};
  std::string tmp_ = dir_ / "tmp";
  std::string repo_ = dir_ / "repo";
  Settings settings_;
  std::shared_ptr<ScriptedUi> ui_;
  std::unique_ptr<HttpTestServer> server_;
};

TEST_F(RecoveryHD, PackageBecomesAnImageInTheRepositoryUnderItsName) {
  const RecoveryHDSource rec = Record("/041-91758/RecoveryHDUpdate.pkg", TheChain().package);
  OpResult r = Download(rec);
  ASSERT_TRUE(r.ok()) << r.message;
  const std::string image = repo_ + "/OS X 10.11.6 El Capitan.hfs";
  EXPECT_EQ(r.message, image);
  EXPECT_EQ(test::ReadFileBytes(image), TheChain().volume);
  EXPECT_TRUE(ui_->HasStatus("RecoveryHD.pkg Downloaded"));
  EXPECT_TRUE(ui_->HasStatus("RecoveryHD.pkg SHA-1 digest OK"));
  EXPECT_TRUE(ui_->HasStatus("Extracting HFS-Image from RecoveryHD.pkg ..."));
  EXPECT_TRUE(ui_->HasStatus("Done"));
  ASSERT_EQ(ui_->Boxes().size(), 1u);
  const auto box = ui_->Boxes()[0];
  EXPECT_EQ(box.title, "Info");
  EXPECT_EQ(box.icon, MsgIcon::Information);
  EXPECT_EQ(box.text,
            "\tSummary Information:\r\n\r\nDL Recovery HD file for macOS: \r\n\"OS X 10.11.6 El Capitan\" "
            "........... Success\r\nExtract HFS-Image (*.hfs) file ................. Success\r\nSave in the "
            "Directory: \"" + repo_ + "\" ........... Success\r\n\r\nAn FKLImage file can be restored to the "
            "required Partition\r\nusing the button [Restore ...].");
  EXPECT_EQ(FilesIn(tmp_), std::vector<std::string>{}) << "the work directory is removed";

  // A second run keeps the first image and says nothing about a digest it lacks.
  ui_ = std::make_shared<ScriptedUi>();
  SetUi(ui_);
  RecoveryHDSource noDigest = rec;
  noDigest.Digest.clear();
  r = Download(noDigest);
  ASSERT_TRUE(r.ok()) << r.message;
  EXPECT_EQ(r.message, repo_ + "/OS X 10.11.6 El Capitan (2).hfs");
  EXPECT_EQ(test::ReadFileBytes(image), TheChain().volume);
  EXPECT_TRUE(ui_->HasStatusContaining("the package could not be checked"));
}

TEST_F(RecoveryHD, FailuresEndWithoutSummaryOrImage) {
  auto fresh = [this] {
    ui_ = std::make_shared<ScriptedUi>();
    SetUi(ui_);
  };
  // 404: the transfer's status text, no box.
  RecoveryHDSource missing = Record("/present.pkg", "x");
  missing.URL = server_->Url("/missing.pkg");
  OpResult r = Download(missing);
  EXPECT_EQ(r.outcome, OpOutcome::Failed);
  EXPECT_TRUE(ui_->HasStatus("HTTP status code = 404"));
  EXPECT_TRUE(ui_->Boxes().empty());

  // Not a package: the script's exit code 4.
  fresh();
  r = Download(Record("/garbage.pkg", std::string(100000, 'g')));
  EXPECT_EQ(r.outcome, OpOutcome::Failed);
  EXPECT_TRUE(ui_->HasStatus("Extract HFS-Image from RecoveryHD.pkg ErrorCode: 4"));
  EXPECT_FALSE(SummaryShown());

  // A package that differs from its digest is refused before extraction.
  fresh();
  RecoveryHDSource bad = Record("/bad.pkg", TheChain().package);
  bad.Digest = OpensslSha1("another package");
  r = Download(bad);
  EXPECT_EQ(r.outcome, OpOutcome::Failed);
  ASSERT_FALSE(ui_->Boxes().empty());
  EXPECT_EQ(ui_->Boxes().back().title, "Error");
  EXPECT_NE(ui_->Boxes().back().text.find("does not match the catalog's SHA-1 digest"), std::string::npos);
  EXPECT_NE(ui_->Boxes().back().text.find("The package has been deleted."), std::string::npos);
  EXPECT_FALSE(ui_->HasStatusContaining("Extracting HFS-Image"));

  // 7-Zip succeeds on a BaseSystem.dmg without an HFS volume: no success.
  r = Download(Record("/apfs.pkg", TheChain().apfsPackage));
  EXPECT_EQ(r.outcome, OpOutcome::Failed);
  EXPECT_EQ(r.message, "No HFS-Image (*.hfs) was extracted from RecoveryHD.pkg");
  EXPECT_FALSE(SummaryShown());

  // Too little room for the package anywhere.
  RecoveryHDSource huge = Record("/huge.pkg", "x");
  huge.Size = std::to_string(int64_t{1} << 60);
  r = Download(huge);
  EXPECT_EQ(r.outcome, OpOutcome::Failed);
  EXPECT_NE(r.message.find("Not enough free space"), std::string::npos) << r.message;
  // A record read back from the settings has only the size its name shows.
  RecoveryHDSource named = Record("/named.pkg", "x", false);
  named.Size.clear();
  named.Name = "(15G22010) OS X El Capitan 2017-07-19 900000 GB";
  r = Download(named);
  EXPECT_NE(r.message.find("Not enough free space"), std::string::npos) << r.message;
  EXPECT_TRUE(server_->Requests().size() == 4u) << "the huge packages are not fetched";

  EXPECT_EQ(FilesIn(repo_), std::vector<std::string>{});
  EXPECT_EQ(FilesIn(tmp_), std::vector<std::string>{});
}

TEST_F(RecoveryHD, AnotherDownloadRunningRefusesIt) {
  std::atomic<bool> release{false};
  ASSERT_EQ(GetRunner().Start(
                OpKind::CloverCheck,
                [&release](OpContext&) {
                  while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(10));
                  return OpResult::Done();
                },
                settings_),
            Runner::StartStatus::Started);
  const OpResult r = Download(Record("/p.pkg", TheChain().package));
  release = true;
  GetRunner().JoinAll();
  EXPECT_EQ(r.outcome, OpOutcome::Failed);
  EXPECT_EQ(r.message, "Sorry, another download is running. Wait for it to end.");
  EXPECT_TRUE(server_->Requests().empty());
}

// Cancel stops the transfer, and later the unpacking script with its 7-Zip.
TEST_F(RecoveryHD, CancelDuringDownloadAndDuringExtraction) {
  auto slow = HttpTestServer::Bytes(TheChain().package);
  slow.trickleChunk = 512;
  slow.trickleDelayMs = 100;
  server_->Add("/slow.pkg", slow);
  RecoveryHDSource rec = Record("/fast.pkg", TheChain().package, false);
  rec.URL = server_->Url("/slow.pkg");

  auto startAndCancelWhen = [&](const std::string& status) {
    ui_ = std::make_shared<ScriptedUi>();
    SetUi(ui_);
    RecoveryHDSource copy = rec;
    ASSERT_EQ(GetRunner().Start(
                  OpKind::RecoveryDownload, [copy](OpContext&) mutable { return DLAndExtractHFSImageFromRecoveryHD(copy); },
                  settings_),
              Runner::StartStatus::Started);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!ui_->HasStatusContaining(status) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto cancelAt = std::chrono::steady_clock::now();
    GetRunner().Cancel(OpKind::RecoveryDownload);
    ASSERT_TRUE(GetRunner().JoinAll(30000));
    EXPECT_LT(std::chrono::steady_clock::now() - cancelAt, std::chrono::seconds(20));
  };

  startAndCancelWhen("Connecting ... Wait Please");
  OpResult r = GetRunner().LastResult(OpKind::RecoveryDownload);
  EXPECT_EQ(r.outcome, OpOutcome::Cancelled) << r.message;
  EXPECT_EQ(r.message, "Download cancelled");
  EXPECT_EQ(CancelMainThread.load(), 0);

  // A 7-Zip that would take a minute: the cancel ends it at once.
  test::WriteFileBytes(dir_ / "slow7zz", "#!/bin/sh\nsleep 60\n");
  fs::permissions(dir_ / "slow7zz", fs::perms::owner_all);
  ::setenv("FK_7ZZ", (dir_ / "slow7zz").c_str(), 1);
  rec.URL = server_->Url("/fast.pkg");
  startAndCancelWhen("Extracting HFS-Image from RecoveryHD.pkg");
  r = GetRunner().LastResult(OpKind::RecoveryDownload);
  EXPECT_EQ(r.outcome, OpOutcome::Cancelled) << r.message;
  EXPECT_EQ(r.message, "Extraction cancelled");
  EXPECT_EQ(FilesIn(repo_), std::vector<std::string>{});
  EXPECT_EQ(FilesIn(tmp_), std::vector<std::string>{});
}

class DmgExtract : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::HaveProgram("7zz")) GTEST_SKIP() << "7zz missing";
    ui_ = std::make_shared<ScriptedUi>();
    SetUi(ui_);
    SetPauseFunction([](int) {});
    fs::create_directories(out_);
  }
  void TearDown() override {
    SetPauseFunction(nullptr);
    SetUi(nullptr);
  }
  OpResult Extract(const std::string& dmg) {
    return GetRunner().RunHere(
        OpKind::DmgExtract, [&](OpContext&) { return ExtractHFSFromDMGFile(dmg, out_); }, Settings{});
  }
  test::TempDir dir_{"fkdmg"};
  std::string out_ = dir_ / "out";
  std::shared_ptr<ScriptedUi> ui_;
};

TEST_F(DmgExtract, EveryHfsDmgYieldsItsVolume) {
  for (const char* codec : {"zlib", "bzip2", "lzfse", "lzma", "adc"}) {
    const std::string name = std::string("hfsplus_") + codec;
    const OpResult r = Extract(kFixtures + name + ".dmg");
    ASSERT_TRUE(r.ok()) << name << ": " << r.message;
    EXPECT_EQ(r.message, out_ + "/" + name + ".hfs");
    const std::string volume = test::ReadFileBytes(r.message);
    EXPECT_EQ(volume.size(), 1925120u) << name;
    EXPECT_EQ(volume.substr(1024, 2), "H+") << name;
    const auto paths = test::ListHfs(r.message);
    EXPECT_NE(std::find(paths.begin(), paths.end(), "hfsplus_test/testdir1/testfile1"), paths.end()) << name;
    // testfile1 is a hard link: its data lives in the volume's private folder.
    EXPECT_EQ(test::ReadHfsFile(r.message, "hfsplus_test/[HFS+ Private Data]/iNode21"), "Keramics\n") << name;
  }

  const OpResult r = Extract(kFixtures + "container.dmg");
  ASSERT_TRUE(r.ok()) << r.message;
  EXPECT_EQ(test::ReadFileBytes(out_ + "/container.hfs").substr(1024, 2), "H+");
  ASSERT_FALSE(ui_->Boxes().empty());
  EXPECT_EQ(ui_->Boxes().back().text, "HFS volume Extracted.\r\n" + out_ + "/container.hfs");
}

TEST_F(DmgExtract, WhatHoldsNoHfsVolumeIsRefusedClearly) {
  OpResult r = Extract(kFixtures + "container-apfs.dmg");
  EXPECT_EQ(r.outcome, OpOutcome::Failed);
  ASSERT_EQ(ui_->Boxes().size(), 1u);
  EXPECT_EQ(ui_->Boxes()[0].title, "Error");
  EXPECT_EQ(ui_->Boxes()[0].text.rfind("No HFS volume in \"container-apfs.dmg\".", 0), 0u) << ui_->Boxes()[0].text;
  EXPECT_NE(ui_->Boxes()[0].text.find("4.apfs"), std::string::npos);

  const std::string notDmg = dir_ / "Recovery Disk.dmg";
  fs::copy_file(kFixtures + "MacAppOnly.pkg", notDmg);
  r = Extract(notDmg);
  EXPECT_EQ(r.outcome, OpOutcome::Failed);
  ASSERT_EQ(ui_->Boxes().size(), 2u);
  EXPECT_EQ(ui_->Boxes()[1].text, "Can't open \"Recovery Disk.dmg\"\r\nas DMG archive.");
  EXPECT_EQ(FilesIn(out_), std::vector<std::string>{}) << "no image and no work directory left";
}

TEST_F(DmgExtract, DialogsChooseTheFileAndTheFolder) {
  const OpResult cancelled =
      GetRunner().RunHere(OpKind::DmgExtract, [](OpContext&) { return ExtractHFSFromDMG(); }, Settings{});
  EXPECT_EQ(cancelled.outcome, OpOutcome::Cancelled);
  EXPECT_TRUE(ui_->Boxes().empty());

  ui_->QueueDialogAnswer(kFixtures + "hfsplus_lzma.dmg");
  ui_->QueueDialogAnswer(out_);
  const OpResult r = GetRunner().RunHere(OpKind::DmgExtract, [](OpContext&) { return ExtractHFSFromDMG(); }, Settings{});
  ASSERT_TRUE(r.ok()) << r.message;
  const auto dialogs = ui_->Dialogs();
  ASSERT_EQ(dialogs.size(), 3u);
  EXPECT_EQ(dialogs[1].title, "Select DMG-file for extraction");
  EXPECT_EQ(dialogs[1].pattern, "dmg (*.dmg)|*.dmg|All files (*.*)|*.*");
  EXPECT_EQ(dialogs[2].kind, "path");
  EXPECT_EQ(dialogs[2].title, "Select path to save image file:");
  EXPECT_EQ(dialogs[2].defaultPath, kFixtures);
  EXPECT_TRUE(fs::exists(out_ + "/hfsplus_lzma.hfs"));
}

}  // namespace
}  // namespace fk

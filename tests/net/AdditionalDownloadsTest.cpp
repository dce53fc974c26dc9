// Additional downloads: the list files, the example user list, and downloads
// into the Clover repository from a local https server, hostile lists included.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <sstream>

#include "app/AppState.h"
#include "app/Runner.h"
#include "net/AdditionalDownloads.h"
#include "net/Digest.h"
#include "net/Http.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/ScriptedUi.h"
#include "tests/support/TestCert.h"
#include "tests/support/TestUtil.h"

namespace fk {
namespace {

namespace fs = std::filesystem;
using test::HttpTestServer;

TEST(AdditionalDLList, KeysAnyCaseRowsAndHeaders) {
  test::TempDir d("fkdllist");
  test::WriteFileBytes(d / "UserDL.ini",
                       "[Tool]\r\nurl = http://h/x/tool.zip\r\n Size = 47941\r\nDescription=A tool\r\n"
                       "CATALOG=Drivers\r\nmd5digest=abc\r\nOther=ignored\r\n[Bare]\r\nDescription=No size\r\n");
  std::vector<AdditionalDLEntry> list;
  EXPECT_EQ(LoadAdditionalDLList(d / "UserDL.ini", 1, list), 2);
  EXPECT_EQ(LoadAdditionalDLList(d / "missing.ini", 0, list), 0) << "a missing file adds nothing";
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].Name, " -- User Downloads");
  EXPECT_EQ(list[0].flgUser, 0);
  EXPECT_EQ(list[1].URL, "http://h/x/tool.zip");
  EXPECT_EQ(list[1].Size, "47941");
  EXPECT_EQ(list[1].Catalog, "Drivers");
  EXPECT_EQ(list[1].MD5Digest, "abc");
  EXPECT_EQ(list[1].flgUser, 1);
  EXPECT_EQ(AdditionalDLRowText(list[0]), " -- User Downloads: ");
  EXPECT_EQ(AdditionalDLRowText(list[1]), "Tool 46.8 KB: A tool");
  EXPECT_EQ(AdditionalDLRowText(list[2]), "Bare: No size");
}

TEST(AdditionalDLList, ExampleFileOnlyWhenMissingAndInactive) {
  test::TempDir d("fkdlex");
  ASSERT_TRUE(CreateUserDLExample(d / "UserDL.ini"));
  const std::string text = test::ReadFileBytes(d / "UserDL.ini");
  ASSERT_EQ(text.rfind("\xEF\xBB\xBF\r\n", 0), 0u) << "written as a settings file";
  std::istringstream lines(text.substr(5));
  std::string line;
  int n = 0;
  while (std::getline(lines, line)) {
    ++n;
    EXPECT_EQ(line.rfind("; ", 0), 0u) << line;
  }
  EXPECT_EQ(n, 10);
  EXPECT_NE(text.find("; ; This is Example of UserDL.ini. Do not remove this lines\r\n; [SomeFileName]\r\n"),
            std::string::npos);
  std::vector<AdditionalDLEntry> list;
  EXPECT_EQ(LoadAdditionalDLList(d / "UserDL.ini", 1, list), 0);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].Name, " -- User Downloads");

  test::WriteFileBytes(d / "UserDL.ini", "[Mine]\r\n");
  EXPECT_FALSE(CreateUserDLExample(d / "UserDL.ini"));
  EXPECT_EQ(test::ReadFileBytes(d / "UserDL.ini"), "[Mine]\r\n") << "an existing list is never overwritten";
}

TEST(AdditionalDLList, DigestsByLength) {
  EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // Two blocks of padding: the message fills the first block past its length field.
  const std::string twoBlocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  EXPECT_EQ(Sha256Hex(twoBlocks), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(Sha1Hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(Sha1Hex(twoBlocks), "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  EXPECT_EQ(DigestKindOf("452e67040aadf29b7ab64777e575c25dd7a47036"), "SHA-1");
  EXPECT_EQ(DigestKindOf("900150983cd24fb0d6963f7d28e17f72"), "MD5");
  EXPECT_EQ(DigestKindOf("xyz"), "");
}

class AdditionalDownload : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::HaveProgram("openssl")) GTEST_SKIP() << "openssl missing";
    ::signal(SIGPIPE, SIG_IGN);
    ResetSharedFlags();
    ui_ = std::make_shared<ScriptedUi>();
    SetUi(ui_);
    SetPauseFunction([](int) {});
    std::string err;
    ASSERT_TRUE(test::MakeTestCert(dir_.path(), &cert_, &err)) << err;
    server_ = std::make_unique<HttpTestServer>(HttpTestServer::Mode::Origin, cert_.certFile, cert_.keyFile);
    HttpEngineOptions o;
    o.connectTimeoutMs = 5000;
    o.caFile = cert_.caFile;
    SetHttpEngineOptions(o);
    repo_ = dir_ / "repo";
    fs::create_directories(repo_);
    settings_.CloverLocalRepository = repo_;
  }
  void TearDown() override {
    SetHttpEngineOptions(HttpEngineOptions{});
    SetPauseFunction(nullptr);
    SetUi(nullptr);
  }
  AdditionalDLEntry Entry(const std::string& path, const std::string& body) {
    server_->Add(path, HttpTestServer::Bytes(body));
    AdditionalDLEntry e;
    e.Name = "Tool";
    e.URL = server_->Url(path);
    return e;
  }
  OpResult Get(const AdditionalDLEntry& e) {
    return GetRunner().RunHere(
        OpKind::AdditionalDownload, [&e](OpContext&) { return DLAdditionalDownload(e); }, settings_);
  }
  std::vector<std::string> Tree(const std::string& root) {
    std::vector<std::string> all;
    for (const auto& p : fs::recursive_directory_iterator(root)) all.push_back(p.path().string());
    std::sort(all.begin(), all.end());
    return all;
  }

  test::TempDir dir_{"fkaddl"};
  test::TestCert cert_;
  std::unique_ptr<HttpTestServer> server_;
  std::shared_ptr<ScriptedUi> ui_;
  Settings settings_;
  std::string repo_;
};

TEST_F(AdditionalDownload, CatalogFolderDigestAndExistingFile) {
  AdditionalDLEntry e = Entry("/f/tool.zip", "tool bytes");
  e.Catalog = "Drivers";
  e.MD5Digest = Md5Hex("tool bytes");
  const OpResult r = Get(e);
  ASSERT_TRUE(r.ok()) << r.message;
  EXPECT_EQ(test::ReadFileBytes(repo_ + "/Drivers/tool.zip"), "tool bytes");
  ASSERT_FALSE(ui_->Boxes().empty());
  EXPECT_EQ(ui_->Boxes().back().title, "Info");
  EXPECT_NE(ui_->Boxes().back().text.find("DL: \"Tool\" ........... Success\r\nSaved in the Directory: \"Drivers\""),
            std::string::npos);
  EXPECT_TRUE(ui_->HasStatus("tool.zip Downloaded"));

  // The same name again: the file already there is kept, whole.
  test::WriteFileBytes(repo_ + "/Drivers/tool.zip", "mine");
  EXPECT_FALSE(Get(e).ok());
  EXPECT_EQ(test::ReadFileBytes(repo_ + "/Drivers/tool.zip"), "mine");
  EXPECT_NE(ui_->Boxes().back().text.find("already exists"), std::string::npos);

  // A wrong SHA-256 (and SHA-1) digest: reported, nothing left behind.
  for (const std::string& digest : {Sha256Hex("other"), std::string(40, '0')}) {
    AdditionalDLEntry bad = Entry("/f/other.zip", "other bytes");
    bad.MD5Digest = digest;
    EXPECT_FALSE(Get(bad).ok());
    EXPECT_NE(ui_->Boxes().back().text.find("does not match"), std::string::npos);
  }
  EXPECT_EQ(Tree(repo_), (std::vector<std::string>{repo_ + "/Drivers", repo_ + "/Drivers/tool.zip"}));
}

TEST_F(AdditionalDownload, HeaderRowAndHostileNamesAreRefused) {
  test::WriteFileBytes(repo_ + "/TEMPLATE.odt", "the user's");  // not a leftover of ours
  AdditionalDLEntry header;
  header.Name = " -- User Downloads";
  const OpResult r = Get(header);
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.message, "Check download procedure parameters");

  fs::create_directories(dir_ / "outside");
  fs::create_symlink(dir_ / "outside", repo_ + "/link");
  const char* catalogs[] = {"../outside", "/tmp", "a/../../outside", "link", "link/deeper", "bad\nname", "a\\b"};
  for (const char* c : catalogs) {
    AdditionalDLEntry e = Entry("/f/ok.bin", "x");
    e.Catalog = c;
    EXPECT_FALSE(Get(e).ok()) << c;
  }
  const char* urls[] = {"/f/..", "/f/", "/f/%0a"};
  for (const char* u : urls) {
    AdditionalDLEntry e = Entry(u, "x");
    e.URL = server_->Url("") + u;
    const OpResult bad = Get(e);
    if (std::string(u) == "/f/%0a") {
      EXPECT_TRUE(bad.ok()) << "an escaped name stays one plain name";
      fs::remove(repo_ + "/%0a");
    } else {
      EXPECT_FALSE(bad.ok()) << u;
    }
  }
  EXPECT_EQ(Tree(repo_), (std::vector<std::string>{repo_ + "/TEMPLATE.odt", repo_ + "/link"}));
  EXPECT_TRUE(fs::is_empty(dir_ / "outside")) << "nothing lands outside the repository";
}

}  // namespace
}  // namespace fk

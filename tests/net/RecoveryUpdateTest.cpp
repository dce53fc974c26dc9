#include <gtest/gtest.h>

#include <memory>

#include "app/AppState.h"
#include "app/IniFile.h"
#include "app/Log.h"
#include "app/Runner.h"
#include "app/Settings.h"
#include "net/Http.h"
#include "net/RecoveryHDList.h"
#include "tests/support/AppleCatalogServer.h"
#include "tests/support/ScriptedUi.h"
#include "tests/support/TestUtil.h"

namespace fk {
namespace {

class RecoveryUpdate : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* v : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
      ::unsetenv(v);
    ResetSharedFlags();
    ResetSettings();
    ui_ = std::make_shared<ScriptedUi>();
    SetUi(ui_);
    SetPauseFunction([](int) {});
    apple_ = std::make_unique<test::AppleCatalogServer>(dir_.path());
    if (!apple_->ok()) GTEST_SKIP() << "openssl missing";
    HttpEngineOptions o;
    o.connectTimeoutMs = 5000;
    o.caFile = apple_->caFile();
    SetHttpEngineOptions(o);
    GetRunner().SetSettingsApplier([this](std::function<void(Settings&)> change) { change(kept_); });
  }
  void TearDown() override {
    GetRunner().SetSettingsApplier(nullptr);
    SetHttpEngineOptions(HttpEngineOptions{});
    SetPauseFunction(nullptr);
    SetUi(nullptr);
    ResetSettings();
  }
  void AddCatalog(const std::string& name, const std::string& path) {
    catalogs_.push_back(SUCatalogURLEntry{name, apple_->Base() + path, 15});
  }
  OpResult Update(int searchOnlyNewest, std::vector<CatalogReport>* reports = nullptr) {
    Settings s;
    s.SUCatalogURLList = catalogs_;
    s.SearchOnlyNewestRevRecoveryHD = searchOnlyNewest;
    return GetRunner().RunHere(
        OpKind::CatalogUpdate,
        [reports](OpContext& ctx) {
          return UpdateRecoveryHDListThread(ctx, [reports](const CatalogReport& r) {
            if (reports) reports->push_back(r);
          });
        },
        s);
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> n;
    for (const auto& r : kept_.RecoveryHDSourceList) n.push_back(r.Name);
    return n;
  }

  test::TempDir dir_{"fkrec"};
  std::shared_ptr<ScriptedUi> ui_;
  std::unique_ptr<test::AppleCatalogServer> apple_;
  std::vector<SUCatalogURLEntry> catalogs_;
  Settings kept_;
};

TEST_F(RecoveryUpdate, BuildsTheListFromCatalogsMetadataAndDistributions) {
  apple_->AddFixture("/c/1015.sucatalog", "sucatalog-10.15-trimmed.xml");
  apple_->AddFixture("/c/lion.sucatalog", "sucatalog-lion-trimmed.xml");
  apple_->AddText("/c/html.sucatalog", "<html><body>Service Unavailable</body></html>");
  apple_->AddRecoveryMetadata();
  AddCatalog("10.15 regular", "/c/1015.sucatalog");
  AddCatalog("10.15 again", "/c/1015.sucatalog");
  AddCatalog("10.14 regular", "/c/missing.sucatalog");
  AddCatalog("Lion", "/c/lion.sucatalog");
  AddCatalog("Broken", "/c/html.sucatalog");

  std::vector<CatalogReport> reports;
  const OpResult r = Update(0, &reports);
  ASSERT_TRUE(r.ok()) << r.message;
  EXPECT_EQ(Names(), (std::vector<std::string>{
                         "(11G63) Lion 2019-10-22 432 MB",
                         "(19F101) Catalina 2020-06-15 477 MB",
                         "(19H1030) Catalina 2021-05-18 477 MB",
                         "(19H2) Catalina 2020-09-24 477 MB",
                     }));
  ASSERT_EQ(reports.size(), 5u);
  EXPECT_EQ(reports[0].found, 3);
  EXPECT_EQ(reports[1].found, 0);  // the same packages again
  EXPECT_EQ(reports[3].found, 1);

  // One summary for the two catalogs that failed, no message box.
  EXPECT_NE(r.message.find("2 of 5 catalogs could not be read"), std::string::npos) << r.message;
  EXPECT_NE(r.message.find("10.14 regular: Get SUCatalog (HTTP status code = 404)"), std::string::npos) << r.message;
  EXPECT_NE(r.message.find("Broken: Not a software update catalog"), std::string::npos) << r.message;
  EXPECT_TRUE(ui_->Boxes().empty());

  // Each package's metadata is fetched once, though two catalogs list it.
  EXPECT_EQ(apple_->Requests("/content/downloads/06/08/061-78585-A_BTB8W2XF1Z/dsc7r5xy3jbsh761q6tzia5lrnahjw6w14/"
                             "macOSUpd10.15.5.RecoveryHDUpdate.pkm"),
            1);
  EXPECT_EQ(apple_->Requests("/content/downloads/06/08/061-78585-A_BTB8W2XF1Z/dsc7r5xy3jbsh761q6tzia5lrnahjw6w14/"
                             "061-78585.English.dist"),
            0);

  // Only the newest revision per macOS release.
  kept_ = Settings{};
  ASSERT_TRUE(Update(1).ok());
  EXPECT_EQ(Names(), (std::vector<std::string>{"(11G63) Lion 2019-10-22 432 MB",
                                               "(19H1030) Catalina 2021-05-18 477 MB"}));
  EXPECT_NE(kept_.RecoveryHDSourceList[1].URL.find("SecUpd2021-002Catalina.RecoveryHDUpdate.pkg"), std::string::npos);
}

TEST_F(RecoveryUpdate, FailureOrCancelKeepsTheSavedList) {
  AddCatalog("10.15 regular", "/c/missing.sucatalog");
  RecoveryHDSource old;
  old.Name = "(19F101) Catalina";
  old.URL = "http://x/y.pkg";
  kept_.RecoveryHDSourceList.push_back(old);
  const OpResult r = Update(1);
  EXPECT_EQ(r.outcome, OpOutcome::Failed);
  EXPECT_NE(r.message.find("The saved Recovery HD list is unchanged."), std::string::npos);
  ASSERT_EQ(kept_.RecoveryHDSourceList.size(), 1u);

  // A cancel after the first of two readable catalogs: nothing is handed back either.
  catalogs_.clear();
  apple_->AddFixture("/c/1015.sucatalog", "sucatalog-10.15-trimmed.xml");
  AddCatalog("10.15 regular", "/c/1015.sucatalog");
  AddCatalog("10.15 again", "/c/1015.sucatalog");
  Settings s;
  s.SUCatalogURLList = catalogs_;
  int seen = 0;
  const OpResult c = GetRunner().RunHere(
      OpKind::CatalogUpdate,
      [&seen](OpContext& ctx) {
        return UpdateRecoveryHDListThread(ctx, [&seen](const CatalogReport&) {
          ++seen;
          GetRunner().Cancel(OpKind::CatalogUpdate);
        });
      },
      s);
  EXPECT_EQ(c.outcome, OpOutcome::Cancelled);
  EXPECT_EQ(seen, 1);
  ASSERT_EQ(kept_.RecoveryHDSourceList.size(), 1u);
  EXPECT_EQ(kept_.RecoveryHDSourceList[0].Name, "(19F101) Catalina");
}

TEST_F(RecoveryUpdate, HostileCatalogCannotAddASettingsLine) {
  const std::string base = apple_->Base();
  const std::string products =
      "<key>001-00001</key><dict><key>Packages</key><array>"
      "<dict><key>Size</key><integer>1000000</integer><key>URL</key><string>" + base +
      "/d/001-00001-A/RecoveryHDUpdate.pkg\r\n[Data Settings]\r\nLogEnable = 1</string></dict>"
      "<dict><key>Size</key><integer>2000000</integer><key>URL</key><string>" + base +
      "/d/001-00002-A/RecoveryHDUpdate.pkg</string></dict>"
      "</array><key>PostDate</key><date>2020-01-02T03:04:05Z</date></dict>";
  apple_->AddText("/c/evil.sucatalog",
                  "<plist version=\"1.0\"><dict><key>CatalogVersion</key><integer>2</integer><key>IndexDate</key>"
                  "<date>2024-01-01T00:00:00Z</date><key>Products</key><dict>" + products + "</dict></dict></plist>");
  apple_->AddText("/d/001-00002-A/RecoveryHDUpdate.pkm",
                  test::AppleCatalogServer::Pkm("com.apple.pkg.x.19F101]\r\n[Tools Data Settings]\r\nEvil = 1"));
  apple_->AddText("/d/001-00002-A/001-00002.English.dist",
                  test::AppleCatalogServer::Dist("19F101 = 1\r\n[Data Settings]\r\nLogEnable = 1"));
  AddCatalog("Evil", "/c/evil.sucatalog");
  ASSERT_TRUE(Update(1).ok());
  ASSERT_EQ(kept_.RecoveryHDSourceList.size(), 1u);
  EXPECT_EQ(kept_.RecoveryHDSourceList[0].Name, "2020-01-02 2 MB");

  SavedSettings().RecoveryHDSourceList = kept_.RecoveryHDSourceList;
  const std::string before = SettingsFileText();
  ASSERT_TRUE(SaveSetting(dir_ / "flashkeel.ini"));
  IniFile ini = IniFile::Load(dir_ / "flashkeel.ini");
  const IniGroup* dl = ini.Group("Download Data Settings");
  ASSERT_NE(dl, nullptr);
  ASSERT_EQ(dl->entries.size(), 1u);
  EXPECT_EQ(dl->entries[0].key, "2020-01-02 2 MB");
  EXPECT_EQ(ini.Integer("Data Settings", "LogEnable", 0), 0);
  EXPECT_EQ(before.find("Evil"), std::string::npos);
}

}  // namespace
}  // namespace fk

#include <gtest/gtest.h>

#include <cstdlib>

#include "app/Log.h"
#include "app/Settings.h"
#include "net/CatalogWalk.h"
#include "net/RecoveryHDList.h"
#include "net/SuCatalog.h"
#include "tests/support/TestUtil.h"

namespace fk {
namespace {

std::string FixtureText(const std::string& name) {
  return test::ReadFileBytes(std::string(FK_FIXTURES_DIR) + "/apple/" + name);
}

// A catalog around the given products text.
std::string Catalog(const std::string& products, const std::string& indexDate = "2023-11-09T23:16:51Z",
                    const std::string& version = "2") {
  return "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict>"
         "<key>CatalogVersion</key><integer>" + version + "</integer>"
         "<key>IndexDate</key><date>" + indexDate + "</date>"
         "<key>Products</key><dict>" + products + "</dict></dict></plist>\n";
}

RecoveryHDSource Rec(const std::string& build, int64_t postDate, const std::string& url) {
  RecoveryHDSource r;
  r.Build = build;
  r.PostDate = postDate;
  r.URL = url;
  r.Name = "(" + build + ") " + GetOSNameFromBuild(build) + " " + url;
  return r;
}

class CatalogList : public ::testing::Test {
 protected:
  void SetUp() override {
    ::unsetenv("FLASHKEEL_APPLE_CATALOG");
    SetLogMirror(true);
    TakeLogMirror();
  }
  void TearDown() override {
    SetLogMirror(false);
    SetCatalogListHooks({});
    ResetSettings();
  }
};

TEST_F(CatalogList, BuiltInAddressesAndUserEntries) {
  std::vector<SUCatalogURLEntry> list;
  EXPECT_EQ(MakeSucatalogURL(list, 2, 9),
            "https://swscan.apple.com/content/catalogs/others/"
            "index-10.9seed-10.9-mountainlion-lion-snowleopard-leopard.merged-1.sucatalog");
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].Name, "10.9 seed");
  EXPECT_EQ(list[0].OSNumber, 9);
  EXPECT_EQ(MakeSucatalogURL(list, 0, 8), "");
  EXPECT_EQ(list.size(), 1u);

  ::setenv("FLASHKEEL_APPLE_CATALOG", "https://127.0.0.1:8443/", 1);
  EXPECT_EQ(MakeSucatalogURL(list, 0, 10).rfind("https://127.0.0.1:8443/content/catalogs/others/index-10.10-10.9-", 0),
            0u);
  ::unsetenv("FLASHKEEL_APPLE_CATALOG");

  Add2SUCatalogURLList(list, "Mine", "https://example.org/catalog.sucatalog");
  EXPECT_TRUE(LogMirrorContains("> Add2SUCatalogURLList: Invalid URL: https://example.org/catalog.sucatalog"));
  Add2SUCatalogURLList(list, "Lion", "https://example.org/index-lion-snowleopard-leopard.merged-1.sucatalog");
  EXPECT_EQ(list.back().OSNumber, 7);
  Add2SUCatalogURLList(list, "ML", "https://example.org/index-mountainlion-lion.merged-1.sucatalog");
  EXPECT_EQ(list.back().OSNumber, 8);

  // Through the settings loader: 14 built-in catalogs, a user entry equal to
  // one of them is dropped (the built-in one stays), the others are kept.
  InstallCatalogListHooks();
  test::TempDir dir("fkcat");
  std::string sameAsBuiltIn;
  {
    std::vector<SUCatalogURLEntry> probe;
    sameAsBuiltIn = MakeSucatalogURL(probe, 0, 12);
  }
  test::WriteFileBytes(dir / "s.ini", "[Sucatalog User Defined URL list]\r\nCopy = " + sameAsBuiltIn +
                                          "\r\n10.16 seed = https://example.org/index-10.16seed-10.16.sucatalog\r\n"
                                          "Bad = https://example.org/nothing\r\n");
  LoadSetting(dir / "s.ini", dir / "log");
  const Settings& s = SavedSettings();
  ASSERT_EQ(s.SUCatalogURLList.size(), 15u);
  EXPECT_EQ(s.UserSUCatalogURLList.size(), 2u);
  EXPECT_EQ(s.SUCatalogURLList.front().Name, "10.9 regular");
  EXPECT_EQ(s.SUCatalogURLList.back().Name, "10.16 seed");
  int copies = 0;
  for (const auto& e : s.SUCatalogURLList) copies += e.URL == sameAsBuiltIn;
  EXPECT_EQ(copies, 1);
  for (const auto& e : s.SUCatalogURLList) EXPECT_NE(e.Name, "Copy");
}

TEST(CatalogText, OsNamesAndProductIds) {
  EXPECT_EQ(GetOSNameFromBuild("19F101"), "Catalina");
  EXPECT_EQ(GetOSNameFromBuild("11G63"), "Lion");
  EXPECT_EQ(GetOSNameFromBuild("20A5364e"), "macOS ");
  EXPECT_EQ(GetOSNameFromBuild("9L30"), "macOS");
  EXPECT_EQ(GetOSNameFromBuild(""), "macOS");
  EXPECT_EQ(GetProductID("http://h/content/downloads/61/44/041-91758-A_XYZ/abc/RecoveryHDUpdate.pkg"), "041-91758");
  EXPECT_EQ(GetProductID("http://h/content/downloads/061-1955/x/a.tar"), "061-1955");
  EXPECT_EQ(GetProductID("http://h/content/downloads/x/RecoveryHDUpdate.pkg"), "");
}

TEST(CatalogWalk, FindsExactlyTheRecoveryHdPackagesOfRealCatalogs) {
  std::vector<CatalogPackage> found;
  CatalogWalkResult r = ExtractXMLProductInfo(FixtureText("sucatalog-10.15-trimmed.xml"), "RecoveryHD", found);
  ASSERT_EQ(r.status, CatalogStatus::Ok) << r.message;
  EXPECT_EQ(r.products, 4);
  ASSERT_EQ(found.size(), 3u);
  const std::string cdn = "http://swcdn.apple.com/content/downloads/";
  const std::string dist = "https://swdist.apple.com/content/downloads/";

  EXPECT_EQ(found[0].rec.URL,
            cdn + "20/55/001-51042-A_2EJTJOSUC2/rsvf13iphg5lvcqcysqcarv8cvddq8igek/RecoveryHDMetaDmg.pkg");
  EXPECT_EQ(found[0].rec.Digest, "e7d90d406bda0d84bef07706cfa8f2970e53e5ca");
  EXPECT_EQ(found[0].rec.Size, "500589851");
  EXPECT_EQ(found[0].rec.PostDateText, "2020-09-24");
  EXPECT_EQ(found[0].rec.ProductID, "001-51042");

  // ExtendedMetaInfo sits between Packages and PostDate; IntegrityDataSize
  // follows URL: neither is taken for a value.
  EXPECT_EQ(found[1].rec.Digest, "04e27ab422406e25577771784866a50adf2d877f");
  EXPECT_EQ(found[1].rec.Size, "500360473");
  EXPECT_EQ(found[1].rec.PostDateText, "2020-06-15");
  EXPECT_EQ(found[1].rec.PostDate, 1592240403);
  EXPECT_EQ(found[1].rec.MetadataURL, dist + "06/08/061-78585-A_BTB8W2XF1Z/dsc7r5xy3jbsh761q6tzia5lrnahjw6w14/"
                                             "macOSUpd10.15.5.RecoveryHDUpdate.pkm");
  EXPECT_EQ(found[1].DistributionURL,
            dist + "06/08/061-78585-A_BTB8W2XF1Z/dsc7r5xy3jbsh761q6tzia5lrnahjw6w14/061-78585.English.dist");

  EXPECT_EQ(found[2].rec.Digest, "38ebd8a3f2f8119a1f439ddb1f7685b2a874f39a");
  EXPECT_EQ(found[2].rec.Size, "500626707");
  EXPECT_EQ(found[2].rec.PostDateText, "2021-05-18");
  EXPECT_EQ(found[2].rec.ProductID, "071-29320");

  found.clear();
  r = ExtractXMLProductInfo(FixtureText("sucatalog-lion-trimmed.xml"), "RecoveryHD", found);
  ASSERT_EQ(r.status, CatalogStatus::Ok) << r.message;
  ASSERT_EQ(found.size(), 1u);
  const std::string dir = "61/44/041-85207-A_OU0FWMNPJ2/5aa0pcncejxp2tgi6dntl2fsmtv39fpnj6/";
  EXPECT_EQ(found[0].rec.Digest, "");
  EXPECT_EQ(found[0].rec.Size, "452522455");
  EXPECT_EQ(found[0].rec.PostDateText, "2019-10-22");
  EXPECT_EQ(found[0].rec.MetadataURL, dist + dir + "RecoveryHDUpdate.pkm");
  EXPECT_EQ(found[0].DistributionURL, dist + dir + "RecoveryHDUpdate.dst/041-85207.English.dist");
}

TEST(CatalogWalk, PackageValuesStayWithTheirPackage) {
  // The first package has a Digest and a MetadataURL, the RecoveryHD package
  // after it has neither; the product's date comes first here.
  const std::string products =
      "<key>001-1</key><dict><key>PostDate</key><date>2020-01-02T03:04:05Z</date><key>Packages</key><array>"
      "<dict><key>Digest</key><string>aaaa</string><key>Size</key><integer>5</integer>"
      "<key>MetadataURL</key><string>https://m/a.pkm</string><key>URL</key><string>http://c/a.pkg</string></dict>"
      "<dict><key>URL</key><string>http://c/001-1/RecoveryHDUpdate.pkg</string>"
      "<key>IntegrityDataSize</key><integer>77</integer></dict>"
      "</array><key>Distributions</key><dict><key>en</key><string>https://d/001-1.en.dist</string></dict></dict>";
  std::vector<CatalogPackage> found;
  const CatalogWalkResult r = ExtractXMLProductInfo(Catalog(products), "recoveryhd", found);
  ASSERT_EQ(r.status, CatalogStatus::Ok) << r.message;
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].rec.Digest, "");
  EXPECT_EQ(found[0].rec.MetadataURL, "");
  EXPECT_EQ(found[0].rec.Size, "");
  EXPECT_EQ(found[0].rec.PostDateText, "2020-01-02");
  EXPECT_EQ(found[0].DistributionURL, "https://d/001-1.en.dist");
}

TEST(CatalogWalk, RefusesWhatIsNotACurrentCatalog) {
  const std::string oneProduct =
      "<key>1-2</key><dict><key>Packages</key><array><dict><key>URL</key><string>http://c/RecoveryHD.pkg</string>"
      "</dict></array><key>PostDate</key><date>2012-01-01T00:00:00Z</date></dict>";
  struct Case {
    std::string text;
    CatalogStatus status;
  } cases[] = {
      {"<!DOCTYPE html><html><body><p>Service Unavailable</p></body></html>", CatalogStatus::NotACatalog},
      {Catalog(oneProduct, "2009-08-20T20:00:00Z"), CatalogStatus::Outdated},
      {Catalog(oneProduct, "2023-11-09T23:16:51Z", "1"), CatalogStatus::NotACatalog},
      {Catalog(oneProduct, "yesterday"), CatalogStatus::NotACatalog},
      {"<plist version=\"1.0\"><dict><key>CatalogVersion</key><integer>2</integer></dict></plist>",
       CatalogStatus::NotACatalog},
      {"<?xml version=\"1.0\"?>\n<!DOCTYPE plist [<!ENTITY a \"RecoveryHD\">]>\n" +
           Catalog(oneProduct).substr(22),
       CatalogStatus::NotACatalog},
      {Catalog(oneProduct).substr(0, 300), CatalogStatus::XmlError},
  };
  for (const Case& c : cases) {
    std::vector<CatalogPackage> found;
    const CatalogWalkResult r = ExtractXMLProductInfo(c.text, "RecoveryHD", found);
    EXPECT_EQ(r.status, c.status) << c.text.substr(0, 120) << " -> " << r.message;
    EXPECT_FALSE(r.message.empty());
    EXPECT_TRUE(found.empty());
  }
  std::vector<CatalogPackage> found;
  const CatalogWalkResult bad = ExtractXMLProductInfo("<plist>\n<dict>\n</plist>", "x", found);
  EXPECT_EQ(bad.status, CatalogStatus::XmlError);
  EXPECT_EQ(bad.line, 3);
}

TEST(CatalogWalk, BuildsFromMetadataAndDistributionFiles) {
  EXPECT_EQ(ExtractPkmBuild("<pkg-info identifier=\"com.apple.pkg.RecoveryHDUpdate.19F101\" auth=\"root\"/>"),
            "19F101");
  EXPECT_EQ(ExtractPkmBuild("<pkg-info identifier=\"com.apple.pkg.RecoveryHDUpdate\"/>"), "");
  EXPECT_EQ(ExtractPkmBuild("<pkg-info identifier=\"com.apple.pkg.x.8A428\"/>"), "");  // below 9
  EXPECT_EQ(ExtractPkmBuild("<pkg-info identifier=\"a.9L30\"/>"), "9L30");
  std::string error;
  EXPECT_EQ(ExtractPkmBuild("<pkg-info identifier=", &error), "");
  EXPECT_FALSE(error.empty());
  const std::string dist =
      "<installer-gui-script><options/><auxinfo><dict><key>VERSION</key><string>10.15.7</string>"
      "<key>BUILD</key><string>19H2</string></dict></auxinfo></installer-gui-script>";
  EXPECT_EQ(ExtractXMLBuild(dist), "19H2");
  EXPECT_EQ(ExtractXMLBuild("<x><key>BUILD</key><string>19H2</string></x>"), "");  // outside auxinfo
  EXPECT_EQ(ExtractXMLBuild("<x><auxinfo><dict><key>BUILD</key><string>19H2\n[Data Settings]</string></dict>"
                            "</auxinfo></x>"),
            "");
}

TEST(RecoveryList, DuplicatesAndNewestRevisions) {
  // The same package in two catalogs is kept once; packages without a digest
  // are told apart by their URL.
  std::vector<CatalogPackage> list, found(4);
  found[0].rec.Digest = "d1";
  found[0].rec.URL = "http://c/1/RecoveryHDUpdate.pkg";
  found[1].rec.Digest = "d1";
  found[1].rec.URL = "http://c/1-copy/RecoveryHDUpdate.pkg";
  found[2].rec.URL = "http://c/2/RecoveryHDUpdate.pkg";
  found[3].rec.URL = "http://c/3/RecoveryHDUpdate.pkg";
  MergeCatalogPackages(list, found);
  std::vector<CatalogPackage> again(2);
  again[0].rec.URL = "http://c/2/RecoveryHDUpdate.pkg";
  again[1].rec.Digest = "d1";
  again[1].rec.URL = "http://c/other/RecoveryHDUpdate.pkg";
  MergeCatalogPackages(list, again);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].rec.URL, "http://c/1/RecoveryHDUpdate.pkg");

  const std::vector<RecoveryHDSource> base = {Rec("19E287", 1000, "u1"), Rec("19F101", 2000, "u2"),
                                              Rec("19F101", 1500, "u3"), Rec("18G103", 900, "u4")};
  std::vector<RecoveryHDSource> all = base;
  Add2HDRecSourceList(all, 0);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].Build, "18G103");
  EXPECT_EQ(all[1].Build, "19E287");
  EXPECT_EQ(all[2].URL, "u2");  // the newer of the two 19F101

  std::vector<RecoveryHDSource> newest = base;
  Add2HDRecSourceList(newest, 1);
  ASSERT_EQ(newest.size(), 2u);
  EXPECT_EQ(newest[0].Build, "18G103");
  EXPECT_EQ(newest[1].Build, "19F101");

  // Without a build nothing is known to be the same.
  std::vector<RecoveryHDSource> unknown = {Rec("", 1, "a"), Rec("", 2, "b")};
  unknown[0].Name = "2019-01-01 400 MB";
  unknown[1].Name = "2019-02-01 400 MB";
  Add2HDRecSourceList(unknown, 1);
  EXPECT_EQ(unknown.size(), 2u);
}

TEST(RecoveryList, NamesInTheDesignedFormAndSafeAsKeys) {
  RecoveryHDSource r;
  r.Build = "19F101";
  r.PostDateText = "2020-06-15";
  r.Size = "500360473";
  const std::string name = ComposeRecoveryHDName(r);
  EXPECT_EQ(name, "(19F101) Catalina 2020-06-15 477 MB");
  const RecoveryHDNameParts p = ParseRecoveryHDName(name);
  EXPECT_EQ(p.build + "|" + p.osName + "|" + p.date + "|" + p.size, "19F101|Catalina|2020-06-15|477 MB");
  r.Build.clear();
  EXPECT_EQ(ComposeRecoveryHDName(r), "2020-06-15 477 MB");
  EXPECT_EQ(SanitizeSettingsKey(" a=b[c]d;e\r\n[Data Settings]\tf "), "a_b_c_d_e___Data Settings__f");
}

}  // namespace
}  // namespace fk

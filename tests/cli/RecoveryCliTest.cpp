// flashkeel-cli recovery update / recovery list against a local catalog server.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/IniFile.h"
#include "platform/Process.h"
#include "tests/support/AppleCatalogServer.h"
#include "tests/support/TestUtil.h"

namespace fk {
namespace {

#ifdef FK_CLI_PATH

TEST(RecoveryCli, ListAfterUpdateShowsThePackagesOfTheCatalogs) {
  test::TempDir dir("fkrecli");
  test::AppleCatalogServer apple(dir.path());
  if (!apple.ok()) GTEST_SKIP() << "openssl missing";
  const std::string others = "/content/catalogs/others/";
  apple.AddFixture(others + "index-10.15-10.14-10.13-10.12-10.11-10.10-10.9-mountainlion-lion-snowleopard-leopard."
                            "merged-1.sucatalog",
                   "sucatalog-10.15-trimmed.xml");
  apple.AddFixture("/user/index-lion.merged-1.sucatalog", "sucatalog-lion-trimmed.xml");
  apple.AddRecoveryMetadata();
  const std::string home = dir / "home";
  std::filesystem::create_directories(home);
  test::WriteFileBytes(home + "/flashkeel.ini",
                       "[Sucatalog Check Setting]\r\nSearchOnlyNewestRevRecoveryHD = 0\r\n"
                       "[Sucatalog User Defined URL list]\r\nLion = " + apple.Base() +
                           "/user/index-lion.merged-1.sucatalog\r\n");

  auto run = [&](std::vector<std::string> args) {
    ProcessRequest req;
    req.argv = {FK_CLI_PATH};
    req.argv.insert(req.argv.end(), args.begin(), args.end());
    req.extraEnv = {{"FLASHKEEL_HOME", home},
                    {"FLASHKEEL_APPLE_CATALOG", apple.Base()},
                    {"FLASHKEEL_CA_FILE", apple.caFile()},
                    {"https_proxy", ""},
                    {"HTTPS_PROXY", ""}};
    req.timeoutMs = 120000;
    return RunProcess(req);
  };

  ProcessResult empty = run({"recovery", "list"});
  EXPECT_EQ(empty.exitCode, 0);
  EXPECT_NE(empty.output.find("The Recovery HD list is empty"), std::string::npos) << empty.output;

  ProcessResult up = run({"recovery", "update"});
  EXPECT_EQ(up.exitCode, 0) << up.output;
  EXPECT_NE(up.output.find("Reading 15 software update catalogs"), std::string::npos) << up.output;
  EXPECT_NE(up.output.find("10.15 regular: 3 new Recovery HD packages"), std::string::npos) << up.output;
  EXPECT_NE(up.output.find("Lion: 1 new Recovery HD package\n"), std::string::npos) << up.output;
  EXPECT_NE(up.output.find("10.9 seed: failed: Get SUCatalog (HTTP status code = 404)"), std::string::npos);
  EXPECT_NE(up.output.find("13 of 15 catalogs could not be read"), std::string::npos) << up.output;

  IniFile ini = IniFile::Load(home + "/flashkeel.ini");
  const IniGroup* dl = ini.Group("Download Data Settings");
  ASSERT_NE(dl, nullptr);
  ASSERT_EQ(dl->entries.size(), 4u);
  EXPECT_EQ(dl->entries[1].key, "(19F101) Catalina 2020-06-15 477 MB");
  EXPECT_EQ(dl->entries[1].value, apple.Base() +
                                      "/content/downloads/06/08/061-78585-A_BTB8W2XF1Z/"
                                      "dsc7r5xy3jbsh761q6tzia5lrnahjw6w14/macOSUpd10.15.5.RecoveryHDUpdate.pkg");
  EXPECT_EQ(ini.Integer("Sucatalog Check Setting", "SearchOnlyNewestRevRecoveryHD", 1), 0);

  ProcessResult list = run({"recovery", "list"});
  EXPECT_EQ(list.exitCode, 0);
  EXPECT_NE(list.output.find("No.  Build      Date        Size       Name\n"
                             "1    11G63      2019-10-22  432 MB     (11G63) Lion 2019-10-22 432 MB\n"),
            std::string::npos)
      << list.output;
  EXPECT_NE(list.output.find("4    19H2       2020-09-24  477 MB     (19H2) Catalina 2020-09-24 477 MB\n"),
            std::string::npos)
      << list.output;
}

#endif

}  // namespace
}  // namespace fk

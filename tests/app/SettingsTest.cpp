#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <utility>

#include "app/AppState.h"
#include "app/IniFile.h"
#include "app/Log.h"
#include "app/Settings.h"
#include "tests/support/TestUtil.h"

namespace fk {
namespace {

namespace fs = std::filesystem;
using test::ReadFileBytes;
using test::WriteFileBytes;

const std::string kBom = "\xEF\xBB\xBF";

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = Paths();
    Paths().ProgramDir = dir_.path() + "/";
    Paths().ProgramBaseName = "flashkeel";
    CloseLog();
    ResetSettings();
    SetCatalogListHooks({});
    SetSaveSettingBeforeRenameHook({});
    SetLogMirror(true);
  }
  void TearDown() override {
    CloseLog();
    SetLogMirror(false);
    SetCatalogListHooks({});
    SetSaveSettingBeforeRenameHook({});
    ResetSettings();
    Paths() = saved_;
  }
  std::string Ini() const { return dir_ / "flashkeel.ini"; }
  std::string LogPath() const { return dir_ / "FKLDebug.log"; }
  // Loads a file made of the BOM and these lines.
  void LoadLines(const std::string& lines) {
    WriteFileBytes(Ini(), kBom + "\r\n" + lines);
    LoadSetting(Ini(), LogPath());
  }

  test::TempDir dir_{"fk-settings"};
  ProgramPaths saved_;
};

TEST_F(SettingsTest, MissingFileGivesTheDefaults) {
  LoadSetting(dir_ / "absent.ini", LogPath());
  const Settings& s = Cfg();
  EXPECT_EQ(s.LogEnable, 0);
  EXPECT_EQ(s.InstallDataSet, "DL");
  EXPECT_EQ(s.CloverLastRev, "Check It!");
  EXPECT_EQ(s.CloverLastRevCheckDate, "00.00.00 00:00");
  EXPECT_EQ(s.CloverLocalRepository, Paths().ProgramDir);
  EXPECT_EQ(s.Boot_records, "Clover");
  EXPECT_EQ(s.FileSystem, "FAT32-LBA");
  EXPECT_EQ(s.StartLBASector, "63");
  EXPECT_EQ(s.QuickFormat, 1);
  EXPECT_EQ(s.BootPartitionSize, 200);
  EXPECT_EQ(s.iResumeMaxAttemptsNumber, 9999);
  EXPECT_FALSE(fs::exists(LogPath()));

  // A FIFO in place of the file neither stalls the start nor counts as settings.
  const std::string fifo = dir_ / "fifo.ini";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  LoadSetting(fifo, LogPath());
  EXPECT_EQ(Cfg().BootPartitionSize, 200);
  EXPECT_TRUE(LogMirrorContains("> LoadSetting: Error: the defaults are used: "));
}

TEST_F(SettingsTest, InvalidValuesAreReplacedByTheirFallbacks) {
  struct Case {
    std::string line;
    std::function<std::string()> value;
    std::string expected;
  };
  const Settings& s = Cfg();
  const std::vector<Case> cases = {
      {"BootPartitionSize = 20", [&] { return std::to_string(s.BootPartitionSize); }, "200"},
      {"BootPartitionSize = 2000001", [&] { return std::to_string(s.BootPartitionSize); }, "200"},
      {"BootPartitionSize = 32", [&] { return std::to_string(s.BootPartitionSize); }, "32"},
      {"BootPartitionSize = 99999999999", [&] { return std::to_string(s.BootPartitionSize); }, "200"},
      {"ClusterSize = 4096", [&] { return s.ClusterSize; }, "0"},
      {"StartLBASector = 8192", [&] { return s.StartLBASector; }, "8192"},
      {"StartLBASector = 1000", [&] { return s.StartLBASector; }, "63"},
      {"InstallDataSet = local", [&] { return s.InstallDataSet; }, "DL"},
      {"Boot_records = Grub", [&] { return s.Boot_records; }, "Clover"},
      {"FileSystem = ext4", [&] { return s.FileSystem; }, "FAT32-LBA"},
      {"QuickFormat = 5", [&] { return std::to_string(s.QuickFormat); }, "1"},
      {"EnableFixedDisks = yes", [&] { return std::to_string(s.EnableFixedDisks); }, "0"},
      {"CheckLatestCloverAtStartup = 2", [&] { return std::to_string(s.CheckLatestCloverAtStartup); }, "0"},
      {"VolumeLabel = \t MY USB  ", [&] { return s.VolumeLabel; }, "MY USB"},
  };
  for (const auto& c : cases) {
    ResetSettings();
    LoadLines("[Data Settings]\r\n" + c.line + "\r\n");
    EXPECT_EQ(c.value(), c.expected) << c.line;
  }
  ResetSettings();
  LoadLines("[Download Settings]\r\nResumeMaxAttemptsNumber = 10000\r\n");
  EXPECT_EQ(s.iResumeMaxAttemptsNumber, 9999);
  LoadLines("[Download Settings]\r\nResumeMaxAttemptsNumber = 0\r\n");
  EXPECT_EQ(s.iResumeMaxAttemptsNumber, 0);
  LoadLines("[Sucatalog Check Setting]\r\nSearchOnlyNewestRevRecoveryHD = 7\r\n");
}

TEST_F(SettingsTest, CloverRevisionNeedsAPlausibleNumberAndACheckDate) {
  const Settings& s = Cfg();
  LoadLines("[Data Settings]\r\nCloverLastRev = 905\r\nCloverLastRevCheckDate = 07.12.26 10:05\r\n");
  EXPECT_EQ(s.CloverLastRev, "Check It!");
  EXPECT_EQ(s.CloverLastRevCheckDate, "00.00.00 00:00");

  LoadLines("[Data Settings]\r\nCloverLastRev = 5100\r\nCloverLastRevCheckDate = 07.12.26 10:05\r\n");
  EXPECT_EQ(s.CloverLastRev, "5100");
  EXPECT_EQ(s.CloverLastRevCheckDate, "07.12.26 10:05");

  // The date is parsed and written again with the same mask.
  LoadLines("[Data Settings]\r\nCloverLastRev = 5100\r\nCloverLastRevCheckDate = 7.1.26 9:05\r\n");
  EXPECT_EQ(s.CloverLastRevCheckDate, "07.01.26 09:05");

  for (const char* bad : {"", "31.02.26 10:00", "07.12.26", "garbage", "07.13.26 10:00"}) {
    LoadLines(std::string("[Data Settings]\r\nCloverLastRev = 5100\r\nCloverLastRevCheckDate = ") + bad + "\r\n");
    EXPECT_EQ(s.CloverLastRev, "Check It!") << bad;
    EXPECT_EQ(s.CloverLastRevCheckDate, "00.00.00 00:00") << bad;
  }
  LoadLines("[Data Settings]\r\nCloverLastRev = 100000\r\nCloverLastRevCheckDate = 07.12.26 10:05\r\n");
  EXPECT_EQ(s.CloverLastRev, "Check It!");
}

TEST_F(SettingsTest, ReadingIgnoresCaseLeadingBlanksAndComments) {
  LoadLines(
      "  [data settings]\r\n"
      "; BootPartitionSize = 64\r\n"
      "\tbootpartitionsize=  512  \r\n"
      "BootPartitionSize = 1024\r\n"  // the first entry of a key counts
      "[WINDOW SETTINGS]\n"            // LF-only line ends are accepted too
      "winx = -20\n"
      "WinY = 33abc\n");
  EXPECT_EQ(Cfg().BootPartitionSize, 512);
  EXPECT_EQ(Cfg().WinX, -20);
  EXPECT_EQ(Cfg().WinY, 33);
}

TEST_F(SettingsTest, LogEnableOpensTheLogWithItsHeaderBeforeTheFirstSettingLine) {
  const std::string oldLog = std::string(kBom) + "09:00:00.000> Log Date: 01.01.2020\r\n> old log\r\n";
  WriteFileBytes(LogPath(), oldLog);
  LoadLines("[Data Settings]\r\nLogEnable = 2\r\n");
  EXPECT_EQ(Cfg().LogEnable, 0);
  EXPECT_FALSE(LogIsOpen());
  EXPECT_EQ(ReadFileBytes(LogPath()), oldLog);  // an old log stays unchanged

  LoadLines("[Data Settings]\r\nLogEnable = 1\r\nQuickFormat = 0\r\n");
  ASSERT_TRUE(LogIsOpen());
  CloseLog();
  const std::string log = ReadFileBytes(LogPath());
  ASSERT_EQ(log.compare(0, 3, kBom), 0);
  EXPECT_EQ(log.find("> old log"), std::string::npos);  // our own old log is replaced at start
  const size_t date = log.find("> Log Date: ");
  const size_t app = log.find("> Application: Flashkeel v2.1.028 Beta by Velk 05.07.2020\r\n");
  const size_t logEnable = log.find("> LoadSetting: LogEnable=1\r\n");
  const size_t quick = log.find("> LoadSetting: QuickFormat=0\r\n");
  ASSERT_NE(date, std::string::npos);
  ASSERT_NE(app, std::string::npos);
  ASSERT_NE(logEnable, std::string::npos);
  ASSERT_NE(quick, std::string::npos);
  EXPECT_LT(date, app);
  EXPECT_LT(app, logEnable);
  EXPECT_LT(logEnable, quick);
}

TEST_F(SettingsTest, RepositoriesUseTheProgramDirectoryMarker) {
  const std::string other = dir_ / "images";
  fs::create_directory(other);
  const std::string gone = dir_ / "gone";
  fs::create_directory(gone);
  LoadLines("[Data Settings]\r\nCloverLocalRepository = .\\\r\nFKLImageLocalRepo = " + other + "\r\n");
  EXPECT_EQ(Cfg().CloverLocalRepository, Paths().ProgramDir);
  EXPECT_EQ(Cfg().FKLImageLocalRepo, other);

  // The program directory (with or without its final slash) is saved as ".\".
  Cfg().FKLImageLocalRepo = dir_.path();
  ASSERT_TRUE(SaveSetting(Ini()));
  std::string text = ReadFileBytes(Ini());
  EXPECT_NE(text.find("\r\nCloverLocalRepository = .\\\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\nFKLImageLocalRepo = .\\\r\n"), std::string::npos);

  Cfg().FKLImageLocalRepo = gone;
  ASSERT_TRUE(SaveSetting(Ini()));
  EXPECT_NE(ReadFileBytes(Ini()).find("\r\nFKLImageLocalRepo = " + gone + "\r\n"), std::string::npos);
  fs::remove(gone);
  LoadSetting(Ini(), LogPath());
  EXPECT_EQ(Cfg().FKLImageLocalRepo, Paths().ProgramDir);

  // A NUL byte ends the value: the path kept is the one the bytes before it name.
  LoadLines("[Data Settings]\r\nFKLImageLocalRepo = " + other + std::string("\0/junk", 6) + "\r\n");
  EXPECT_EQ(Cfg().FKLImageLocalRepo, other);
}

TEST_F(SettingsTest, SavedFileHasItsFixedLayout) {
  ASSERT_TRUE(SaveSetting(Ini()));
  const std::string text = ReadFileBytes(Ini());
  const std::string rule = "; " + std::string(78, '-') + "\r\n";
  const std::string head = kBom + "\r\n[Application Info]\r\nApplicationName = Flashkeel\r\nVersion = v2.1.028 Beta\r\n" +
                           rule + "[Window Settings]\r\nWinX = 400\r\nWinY = 400\r\n" + rule +
                           "[Data Settings]\r\n; Enable Log File: 0 - #False|1 - #True\r\nLogEnable = 0\r\n";
  EXPECT_EQ(text.substr(0, head.size()), head);
  const std::string tail = "[Download Data Settings]\r\n; Name of Recovery HD = URL for Download\r\n" + rule +
                           "[Tools Data Settings]\r\n" + rule;
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  EXPECT_NE(text.find("; 10.16 seed = https://swscan.apple.com/content/catalogs/others/index-10.16seed-10.16-10.15-"
                      "10.14-10.13-10.12-10.11-10.10-10.9-mountainlion-lion-snowleopard-leopard.merged-1.sucatalog\r\n"),
            std::string::npos);
  // Every line ends in CR LF; no bare LF anywhere.
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') {
      ASSERT_TRUE(i > 0 && text[i - 1] == '\r') << "at " << i;
    }
  }
}

TEST_F(SettingsTest, LoadSaveLoadRoundTripIsByteIdentical) {
  LoadLines(
      "[Window Settings]\r\nWinX = 123\r\nWinY = -7\r\n"
      "[Data Settings]\r\nInstallDataSet = Local\r\nCloverLastRev = 5151\r\n"
      "CloverLastRevCheckDate = 01.06.25 23:59\r\nVolumeLabel = Café\r\nFileSystem = exFAT\r\n"
      "StartLBASector = 2048\r\nBootPartitionSize = 1000\r\n"
      "[Sucatalog Check Setting]\r\nUseInternalSucatalogUrlList = 0\r\nShowSucatalogSummaryURLList = 1\r\n"
      "[Sucatalog User Defined URL list]\r\n10.15 beta = https://example.test/index-10.15beta.sucatalog\r\n"
      "[Download Data Settings]\r\n(19F101) Catalina 2020-05-26 471 MB = https://example.test/RecoveryHDUpdate.pkg\r\n");
  ASSERT_TRUE(SaveSetting(Ini()));
  const std::string first = ReadFileBytes(Ini());
  EXPECT_NE(first.find("\r\n10.15 beta = https://example.test/index-10.15beta.sucatalog\r\n"), std::string::npos);
  ResetSettings();
  LoadSetting(Ini(), LogPath());
  ASSERT_TRUE(SaveSetting(Ini()));
  EXPECT_EQ(ReadFileBytes(Ini()), first);
  EXPECT_EQ(Cfg().VolumeLabel, "Café");
  EXPECT_EQ(Cfg().WinY, -7);
}

TEST_F(SettingsTest, FileWithoutBomIsReadAsWindows1252) {
  WriteFileBytes(Ini(),
                 "[Data Settings]\r\nVolumeLabel = Caf\xE9\x80\r\n"
                 "[Download Data Settings]\r\nRecovery \x93X\x94 = https://example.test/a.pkg\r\n");
  LoadSetting(Ini(), LogPath());
  EXPECT_EQ(Cfg().VolumeLabel, "Café€");
  ASSERT_EQ(Cfg().RecoveryHDSourceList.size(), 1u);
  EXPECT_EQ(Cfg().RecoveryHDSourceList[0].Name, "Recovery “X”");
  EXPECT_EQ(Cfg().RecoveryHDSourceList[0].URL, "https://example.test/a.pkg");
  EXPECT_TRUE(Cfg().RecoveryHDSourceList[0].Digest.empty());

  // Valid UTF-8 without the mark is read as UTF-8: the path is kept, and the file is still written with the mark.
  const std::string downloads = dir_ / "Загрузки";
  fs::create_directory(downloads);
  WriteFileBytes(Ini(), "[Data Settings]\r\nCloverLocalRepository = " + downloads + "\r\nVolumeLabel = Café\r\n");
  LoadSetting(Ini(), LogPath());
  EXPECT_EQ(Cfg().CloverLocalRepository, downloads);
  EXPECT_EQ(Cfg().VolumeLabel, "Café");
  ASSERT_TRUE(SaveSetting(Ini()));
  EXPECT_EQ(ReadFileBytes(Ini()).rfind(kBom, 0), 0u);
  EXPECT_NE(ReadFileBytes(Ini()).find(downloads), std::string::npos);
  for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82"})
    EXPECT_FALSE(IsValidUtf8(bad)) << bad;
  EXPECT_TRUE(IsValidUtf8("a\xF0\x9F\x98\x80\xD0\x97"));
}

TEST_F(SettingsTest, InterruptedSaveLeavesTheOldFileIntact) {
  Cfg().VolumeLabel = "OLD";
  ASSERT_TRUE(SaveSetting(Ini()));
  const std::string old = ReadFileBytes(Ini());

  Cfg().VolumeLabel = "NEW";
  std::string seenTemp;
  SetSaveSettingBeforeRenameHook([&](const std::string& tmp) {
    seenTemp = tmp;
    // The complete new content is on disk before the old file is replaced.
    EXPECT_NE(ReadFileBytes(tmp).find("VolumeLabel = NEW\r\n"), std::string::npos);
    return false;
  });
  EXPECT_FALSE(SaveSetting(Ini()));
  EXPECT_EQ(ReadFileBytes(Ini()), old);
  EXPECT_FALSE(seenTemp.empty());
  EXPECT_FALSE(fs::exists(seenTemp));
  EXPECT_TRUE(LogMirrorContains("> SaveSetting: Error"));

  SetSaveSettingBeforeRenameHook({});
  ASSERT_TRUE(SaveSetting(Ini()));
  EXPECT_NE(ReadFileBytes(Ini()).find("VolumeLabel = NEW\r\n"), std::string::npos);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 1);
}

// A settings file that exists but cannot be read (here: too large) gives the
// defaults for the run, and the exit's save keeps the user's file.
TEST_F(SettingsTest, AFileThatCouldNotBeReadIsNotReplaced) {
  WriteFileBytes(Ini(), kBom + "\r\n[Data Settings]\r\nVolumeLabel = MINE\r\n");
  fs::resize_file(Ini(), 17 << 20);
  const std::string mine = ReadFileBytes(Ini());
  LoadSetting(Ini(), LogPath());
  EXPECT_NE(LastSettingsLoadError(), "");
  EXPECT_FALSE(SaveSetting(Ini()));
  EXPECT_TRUE(ReadFileBytes(Ini()) == mine);
  // Another file, or the same one read successfully, is saved as usual.
  EXPECT_TRUE(SaveSetting(dir_ / "other.ini"));
  WriteFileBytes(Ini(), kBom + "\r\n");
  LoadSetting(Ini(), LogPath());
  EXPECT_TRUE(SaveSetting(Ini()));
}

TEST_F(SettingsTest, UserCatalogsFillBothListsAndRecoveryEntriesAreLogged) {
  const std::string lines =
      "[Sucatalog Check Setting]\r\nUseInternalSucatalogUrlList = 0\r\n"
      "[Sucatalog User Defined URL list]\r\n"
      "; 10.16 seed = https://swscan.apple.com/x\r\n"
      "10.14 seed = https://example.test/index-10.14seed.sucatalog\r\n"
      "10.15 beta = https://example.test/index-10.15beta.sucatalog\r\n"
      "[Download Data Settings]\r\nRec A = https://example.test/a.pkg\r\n";
  LoadLines(lines);
  const std::vector<SUCatalogURLEntry> two = {{"10.14 seed", "https://example.test/index-10.14seed.sucatalog", 0},
                                              {"10.15 beta", "https://example.test/index-10.15beta.sucatalog", 0}};
  EXPECT_EQ(Cfg().UserSUCatalogURLList, two);
  EXPECT_EQ(Cfg().SUCatalogURLList, two);
  EXPECT_TRUE(LogMirrorContains("> LoadSetting: 10.14 seed: https://example.test/index-10.14seed.sucatalog"));
  EXPECT_TRUE(LogMirrorContains("> LoadSetting: Rec A: https://example.test/a.pkg"));

  // A second load rebuilds the lists instead of appending to them.
  LoadSetting(Ini(), LogPath());
  EXPECT_EQ(Cfg().SUCatalogURLList.size(), 2u);

  TakeLogMirror();
  ASSERT_TRUE(SaveSetting(Ini()));
  EXPECT_TRUE(LogMirrorContains("> SaveSetting: 10.15 beta: https://example.test/index-10.15beta.sucatalog"));
  EXPECT_TRUE(LogMirrorContains("> SaveSetting: Rec A https://example.test/a.pkg"));
}

TEST_F(SettingsTest, BuiltInCatalogsComeFromTheInstalledOperations) {
  std::vector<std::pair<int, int>> calls;
  int removeCalls = 0;
  CatalogListHooks hooks;
  hooks.makeSucatalogURL = [&](int channel, int minor) {
    calls.emplace_back(channel, minor);
    Cfg().SUCatalogURLList.push_back({"10." + std::to_string(minor), "u" + std::to_string(minor), minor});
    return std::string("u");
  };
  hooks.removeDoublesSUCatalogURL = [&](std::vector<SUCatalogURLEntry>&) { ++removeCalls; };
  SetCatalogListHooks(hooks);
  LoadLines("[Sucatalog User Defined URL list]\r\nmine = https://example.test/index-1.sucatalog\r\n");
  std::vector<std::pair<int, int>> expected;
  for (int m = 9; m <= 15; ++m) {
    expected.emplace_back(0, m);
    expected.emplace_back(2, m);
  }
  EXPECT_EQ(calls, expected);
  EXPECT_EQ(Cfg().SUCatalogURLList.size(), 15u);
  EXPECT_EQ(Cfg().SUCatalogURLList.back().Name, "mine");
  EXPECT_EQ(removeCalls, 2);

  calls.clear();
  LoadLines("[Sucatalog Check Setting]\r\nUseInternalSucatalogUrlList = 0\r\n");
  EXPECT_TRUE(calls.empty());
  EXPECT_TRUE(Cfg().SUCatalogURLList.empty());
}

}  // namespace
}  // namespace fk

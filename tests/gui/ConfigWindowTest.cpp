// The Configuration window: controls, opening states and the handlers' edge cases.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QFileInfo>
#include <QTest>
#include <QThread>
#include <future>

#include "app/AppState.h"
#include "app/Runner.h"
#include "app/Settings.h"
#include "format/CloverDataSet.h"
#include "gui/Actions.h"
#include "gui/ConfigWindow.h"
#include "gui/WindowUtil.h"
#include "tests/support/TestUtil.h"

namespace fk::gui {
namespace {

class ConfigWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetSettings();
    ResetSharedFlags();
    Cfg().CloverLocalRepository = repo.path() + "/";
    hooks.updateAllDrives = [this] { ++driveUpdates; };
    hooks.saveSettings = [this] { ASSERT_TRUE(SaveSetting(dir / "flashkeel.ini")); };
    hooks.startCloverCheck = [this] { ++checks; };
    hooks.openUrl = [this](const std::string& u) { return urls.push_back(u), true; };
    hooks.chooseDirectory = [this](const QString& title, const std::string&) {
      titles.push_back(title);
      return answer;
    };
  }
  void TearDown() override { ResetSettings(); }

  template <class T>
  static T* Find(QWidget* w, const char* name) {
    T* t = w->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(t, nullptr) << name;
    return t;
  }
  static void Choose(QComboBox* c, int index) {
    c->setCurrentIndex(index);
    emit c->activated(index);
  }

  test::TempDir dir{"fkconfig"}, repo{"fkrepo"};
  ConfigHooks hooks;
  int driveUpdates = 0, checks = 0;
  std::vector<std::string> urls;
  std::vector<QString> titles;
  std::string answer;
};

TEST_F(ConfigWindowTest, ControlsHaveTheirGeometryTextsAndTips) {
  QWidget main;
  auto* w = new ConfigWindow(&main, hooks);
  EXPECT_EQ(w->windowTitle(), "Configuration 05.07.2020");
  EXPECT_EQ(w->size(), QSize(275, 465));
  EXPECT_FALSE(main.isEnabled()) << "the main window is disabled while the window is open";

  struct C {
    const char* name;
    QRect g;
    const char* text;
    const char* tip;
  } controls[] = {
      {"Option_DataSet_Local", {15, 25, 42, 21}, "Local", "Local Repository"},
      {"Option_DataSet_DL", {15, 55, 35, 20}, "DL", "Download from github.com"},
      {"Checkbox_CheckAtStartup", {30, 85, 110, 20}, "Check at Startup", "Check the Latest Rev. at Startup"},
      {"Button_CheckNow", {180, 85, 65, 20}, "Check Now", "Check the Latest Rev. on github.com"},
      {"Checkbox_MakeReadyDistr", {30, 115, 130, 20}, "Make FKL-ready Distr",
       "Prepare and Save FKL-ready Distr to Local Repo after use lzma archive"},
      {"Button_CloverLocalRepo", {180, 115, 65, 20}, "Local Repo", "Set Clover FKL-ready Archives Local Repository Path"},
      {"Option_DataSet_NotInstall", {15, 146, 80, 20}, "Not Install", "Format Disk Only"},
      {"Option_Boot_Clover", {30, 210, 60, 20}, "Clover", "Format drive and Install Clover Boot records"},
      {"Option_Boot_Windows", {30, 240, 75, 20}, "Windows", "Format drive and Install Windows Boot records"},
      {"Option_Boot_FreeDos", {30, 270, 75, 20}, "FreeDos", "Format drive and Install FreeDos Bootloader records"},
      {"Option_Boot_NotFormat", {30, 300, 80, 20}, "Not Format", "Don't Re-Format Drive"},
      {"Checkbox_MultiPartitions", {30, 345, 145, 20}, "Boot Partition Size (MB)",
       "Create 2 Partitions: 1-st Boot(Clover) and 2-nd for deployment of MACOSX distr"},
      {"Checkbox_EnableFixedDisks", {30, 395, 120, 20}, "Enable Fixed Disks",
       "For advanced users only! Use it with caution!"},
      {"Button_ImageLocalRepo", {180, 395, 65, 20}, "Local Repo", "Set FKLImage Files Local Repository Path"},
      {"Button_Config_OK", {46, 433, 183, 20}, "OK", ""},
  };
  for (const C& c : controls) {
    auto* b = Find<QAbstractButton>(w, c.name);
    EXPECT_EQ(b->geometry(), c.g) << c.name;
    EXPECT_EQ(b->text(), QString::fromLatin1(c.text)) << c.name;
    EXPECT_EQ(b->toolTip(), QString::fromLatin1(c.tip)) << c.name;
  }
  struct F {
    const char* name;
    QRect g;
    const char* title;
  } frames[] = {{"Box_CloverSource", {5, 5, 265, 170}, "Clover Bootloader Source"},
                {"Box_FormatOptions", {5, 175, 265, 205}, "Format options"},
                {"Box_BootRecords", {15, 190, 110, 135}, "Boot records"},
                {"Box_MultiPartitioning", {15, 325, 245, 50}, "Multi Partitioning"},
                {"Box_Other", {5, 380, 265, 45}, "Other"}};
  for (const F& f : frames) {
    EXPECT_EQ(Find<QGroupBox>(w, f.name)->geometry(), f.g) << f.name;
    EXPECT_EQ(Find<QGroupBox>(w, f.name)->title(), QString::fromLatin1(f.title));
  }
  auto* fs = Find<QComboBox>(w, "Combobox_FileSystem");
  EXPECT_EQ(fs->geometry(), QRect(145, 240, 100, 20));
  EXPECT_EQ(fs->itemText(0), "File System:");
  EXPECT_EQ(fs->currentText(), "FAT32-LBA");
  EXPECT_EQ(fs->toolTip(), "FAT32 for old BIOS/OS ver. | FAT32-LBA for Modern USB Flash/Hard drives");
  EXPECT_EQ(Find<QComboBox>(w, "Combobox_StartLBA")->toolTip(),
            "63 sec old align to cylinder | 2048-8192 sec for Modern USB Flash/Hard drives");
  EXPECT_EQ(Find<QComboBox>(w, "Combobox_ClusterSize")->currentText(), "Default");
  EXPECT_EQ(Find<QLineEdit>(w, "String_VolumeLabel")->maxLength(), 11);
  EXPECT_EQ(Find<QLabel>(w, "Text_CloverFoundLocalDistrRev")->text(), "Not Found") << "empty repository";
  EXPECT_EQ(Find<QLabel>(w, "Text_CloverLastRevCheckDate")->text(), "") << "no check yet";

  // The link opens the commit history; Check Now starts the check.
  Find<LinkLabel>(w, "Hyperlink_Config_CloverLastRevInfo")->clicked();
  Find<QPushButton>(w, "Button_CheckNow")->click();
  EXPECT_EQ(urls, std::vector<std::string>{kCloverCommits});
  EXPECT_EQ(checks, 1);

  Find<QPushButton>(w, "Button_Config_OK")->click();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(main.isEnabled());
  EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(dir / "flashkeel.ini"))) << "OK saves the settings";
}

TEST_F(ConfigWindowTest, BootSizeFileSystemAndFormatControls) {
  Cfg().MultiPartitions = 1;
  QWidget main;
  auto* w = new ConfigWindow(&main, hooks);
  auto* size = Find<QLineEdit>(w, "String_BootPartitionSize");
  EXPECT_EQ(size->toolTip(), "32 - 200000 MB");
  EXPECT_EQ(size->geometry(), QRect(180, 345, 65, 20));

  size->selectAll();
  QTest::keyClicks(size, "2000000");
  EXPECT_EQ(size->text(), "2000000");
  EXPECT_EQ(Cfg().BootPartitionSize, 2000000);
  size->selectAll();
  QTest::keyClicks(size, "20x");
  EXPECT_EQ(size->text(), "20") << "digits only";
  EXPECT_EQ(Cfg().BootPartitionSize, 64);
  EXPECT_NE(size->toolTip(), "32 - 200000 MB") << "the unused value is pointed out";
  EXPECT_TRUE(size->toolTip().contains("64 MB is used"));

  auto* fs = Find<QComboBox>(w, "Combobox_FileSystem");
  Choose(fs, 4);
  EXPECT_EQ(Cfg().FileSystem, "exFAT");
  Choose(fs, 0);
  EXPECT_EQ(fs->currentText(), "FAT32-LBA");
  EXPECT_EQ(Cfg().FileSystem, "FAT32-LBA");

  ASSERT_TRUE(size->isEnabled());
  Find<QRadioButton>(w, "Option_Boot_NotFormat")->click();
  EXPECT_EQ(Cfg().Boot_records, "Not_Format");
  EXPECT_FALSE(size->isEnabled());
  EXPECT_FALSE(fs->isEnabled());
  EXPECT_FALSE(Find<QCheckBox>(w, "Checkbox_MultiPartitions")->isEnabled());
  Find<QRadioButton>(w, "Option_Boot_Clover")->click();
  EXPECT_TRUE(size->isEnabled());
  EXPECT_TRUE(fs->isEnabled());

  EXPECT_EQ(driveUpdates, 0);
  Find<QCheckBox>(w, "Checkbox_EnableFixedDisks")->click();
  EXPECT_EQ(Cfg().EnableFixedDisks, 1);
  EXPECT_EQ(driveUpdates, 1) << "the drive tree is rebuilt at once";

  w->close();  // the close box saves like OK
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  ResetSettings();
  LoadSetting(dir / "flashkeel.ini", "");
  EXPECT_EQ(Cfg().BootPartitionSize, 64) << "the saved file holds the size used";
  EXPECT_EQ(Cfg().EnableFixedDisks, 1);
}

TEST_F(ConfigWindowTest, DataSetStatesFollowTheLists) {
  Cfg().InstallDataSet = "DL";
  QWidget main;
  {
    auto* w = new ConfigWindow(&main, hooks);
    EXPECT_TRUE(Find<QRadioButton>(w, "Option_DataSet_DL")->isChecked());
    EXPECT_FALSE(Find<QComboBox>(w, "Combobox_Config_SelectRevision")->isEnabled()) << "no revisions known";
    delete w;
  }
  Cfg().CloverRevList = {5120, 5119};
  Cfg().ClusterSize = "4096";
  auto* w = new ConfigWindow(&main, hooks);
  auto* revs = Find<QComboBox>(w, "Combobox_Config_SelectRevision");
  EXPECT_TRUE(revs->isEnabled());
  EXPECT_EQ(revs->currentText(), "5120");
  Choose(revs, 1);
  EXPECT_EQ(Cfg().CloverDLRev, "5119");
  Find<QRadioButton>(w, "Option_DataSet_Local")->click();
  EXPECT_EQ(Cfg().InstallDataSet, "Local");
  EXPECT_FALSE(revs->isEnabled());
  EXPECT_FALSE(Find<QComboBox>(w, "Combobox_Config_SelectLocalDistr")->isEnabled()) << "no archive found";
  auto* cluster = Find<QComboBox>(w, "Combobox_ClusterSize");
  EXPECT_EQ(cluster->currentText(), "Default");
  EXPECT_TRUE(cluster->toolTip().contains("4096")) << "the size the file sets is pointed out";
  delete w;
}

// Opened while the search started with the program still runs: the window
// waits for that search's list instead of searching the same globals at once.
TEST_F(ConfigWindowTest, OpeningDuringTheStartupSearchShowsItsList) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  ASSERT_EQ(GetRunner().Start(
                OpKind::LocalArchiveSearch,
                [released](OpContext&) {
                  released.wait();
                  CloverLocalDistr = {{"Clover-5120-X64.iso.7z", 5120, "User's file"}};
                  return OpResult::Done();
                },
                Cfg()),
            Runner::StartStatus::Started);
  QWidget main;
  auto* w = new ConfigWindow(&main, hooks);
  auto* list = Find<QComboBox>(w, "Combobox_Config_SelectLocalDistr");
  EXPECT_EQ(list->count(), 0);
  release.set_value();
  for (int i = 0; i < 100 && list->count() == 0; ++i) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    QThread::msleep(20);
  }
  ASSERT_EQ(list->count(), 1);
  EXPECT_EQ(list->currentText(), "Clover-5120-X64.iso.7z");
  delete w;
  EXPECT_TRUE(GetRunner().JoinAll(10000, [] { QCoreApplication::processEvents(); }));
  CloverLocalDistr.clear();
}

TEST_F(ConfigWindowTest, ClosingWhileTheRepositoryRefreshRunsIsSafe) {
  QWidget main;
  auto* w = new ConfigWindow(&main, hooks);
  answer = "/nonexistent/dir";
  Find<QPushButton>(w, "Button_CloverLocalRepo")->click();
  EXPECT_EQ(Cfg().CloverLocalRepository, repo.path() + "/") << "not a directory: unchanged";
  ASSERT_EQ(titles.size(), 1u);
  EXPECT_EQ(titles[0], "Select Clover Local Repository Path:");

  answer = dir.path();
  Find<QPushButton>(w, "Button_CloverLocalRepo")->click();
  EXPECT_EQ(Cfg().CloverLocalRepository, dir.path() + "/");
  w->close();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(GetRunner().JoinAll(10000, [] { QCoreApplication::processEvents(); }));
  QCoreApplication::processEvents();
  EXPECT_TRUE(main.isEnabled());
}

}  // namespace
}  // namespace fk::gui

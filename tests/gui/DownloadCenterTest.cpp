// The Download Center window: its controls and states, and its operations
// against a local https server serving the program's own download list, with
// the runner's notices reaching it as the program delivers them.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <memory>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Runner.h"
#include "app/Settings.h"
#include "app/Ui.h"
#include "gui/ConfigWindow.h"
#include "gui/DownloadCenterWindow.h"
#include "gui/MainWindow.h"
#include "net/AdditionalDownloads.h"
#include "net/Http.h"
#include "net/RemoteUrls.h"
#include "tests/support/AppleCatalogServer.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/ScriptedUi.h"
#include "tests/support/TestCert.h"
#include "tests/support/TestUtil.h"

namespace fk::gui {
namespace {

using test::HttpTestServer;
const std::string kSite = std::string(FK_SOURCE_DIR) + "/resources/site/files/AdditionalDL/";

class DownloadCenterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetSettings();
    ResetSharedFlags();
    GetRunner().Reopen();
    SetLogMirror(true);
    TakeLogMirror();
    ui = std::make_shared<ScriptedUi>();
    SetUi(ui);
    SetPauseFunction([](int) {});
    savedProgramDir = Paths().ProgramDir;
    Paths().ProgramDir = dir.path() + "/";
    SavedSettings().CloverLocalRepository = dir / "repo";
    SavedSettings().RecoveryHDSourceList = {{"(19H2) macOS 10.15.7 2020-11-05 479.6 MB", "", "", "https://a/1.pkg"},
                                            {"(20G95) macOS 11.5.2 2021-08-11 638.7 MB", "", "", "https://a/2.pkg"}};
    SetAdditionalDL({});
    actions.openDownloadCenter = [] { OpenDownloadCenter(FindMainWindow()); };
    main = std::make_unique<MainWindow>(actions);
    // As the program does: the runner's notices reach the main window on its thread.
    QPointer<MainWindow> w = main.get();
    GetRunner().SetObserver([w](OpKind kind, OpState state, const OpResult*) {
      QMetaObject::invokeMethod(qApp, [w, kind, state] { if (w) w->OnRunnerState(kind, state); },
                                Qt::QueuedConnection);
    });
  }
  void TearDown() override {
    GetRunner().JoinAll();
    QApplication::processEvents();
    GetRunner().SetObserver(nullptr);
    GetRunner().SetSettingsApplier(nullptr);
    // A window's own pop-ups are top-level widgets too: find first, then delete.
    std::vector<QPointer<DownloadCenterWindow>> open;
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* d = qobject_cast<DownloadCenterWindow*>(w)) open.emplace_back(d);
    for (auto& d : open) delete d.data();
    main.reset();
    SetHttpEngineOptions(HttpEngineOptions{});
    ::unsetenv(kEnvSite);
    Paths().ProgramDir = savedProgramDir;
    SetAdditionalDL({});
    SetPauseFunction(nullptr);
    SetUi(nullptr);
    SetLogMirror(false);
    ResetSettings();
  }

  // A local https server as the program's site, serving its own list.
  bool ServeSite(test::HttpResource list) {
    if (!test::HaveProgram("openssl")) return false;
    ::signal(SIGPIPE, SIG_IGN);
    std::string err;
    if (!test::MakeTestCert(dir.path(), &cert, &err)) return ADD_FAILURE() << err, false;
    server = std::make_unique<HttpTestServer>(HttpTestServer::Mode::Origin, cert.certFile, cert.keyFile);
    server->Add("/files/AdditionalDL/DLList.ini", std::move(list));
    for (const char* f : {"Flashkeel-HowTo.txt", "flashkeel.svg"})
      server->Add(std::string("/files/AdditionalDL/") + f, HttpTestServer::Bytes(test::ReadFileBytes(kSite + f)));
    ::setenv(kEnvSite, server->Url("").c_str(), 1);
    HttpEngineOptions o;
    o.connectTimeoutMs = 5000;
    o.caFile = cert.caFile;
    SetHttpEngineOptions(o);
    return true;
  }

  DownloadCenterWindow* Open() {
    QTest::mouseClick(Find<QPushButton>(main.get(), "Button_Open_DownloadCenter"), Qt::LeftButton);
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* d = qobject_cast<DownloadCenterWindow*>(w); d && d->isVisible()) return d;
    ADD_FAILURE() << "the Download Center did not open";
    return nullptr;
  }
  template <class T>
  static T* Find(QWidget* w, const char* name) {
    T* t = w->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(t, nullptr) << name;
    return t;
  }
  // Lets the GUI thread run until pred holds (or 10 s have passed).
  static bool WaitFor(const std::function<bool()>& pred) {
    QElapsedTimer t;
    t.start();
    while (!pred() && t.elapsed() < 10000) QTest::qWait(10);
    return pred();
  }
  static QStringList Rows(QComboBox* c) {
    QStringList rows;
    for (int i = 0; i < c->count(); ++i) rows << c->itemText(i);
    return rows;
  }
  int Boxes(const std::string& title) const {
    int n = 0;
    for (const auto& b : ui->Boxes()) n += b.title == title;
    return n;
  }

  test::TempDir dir{"fkdlcenter"};
  test::TestCert cert;
  std::unique_ptr<HttpTestServer> server;
  std::shared_ptr<ScriptedUi> ui;
  GuiActions actions;
  std::unique_ptr<MainWindow> main;
  std::string savedProgramDir;
};

TEST_F(DownloadCenterTest, OpensWithItsControlsOptionsClearAndExit) {
  test::WriteFileBytes(dir / "UserDL.ini", "[Mine]\r\nURL=https://h/mine.zip\r\nDescription=my file\r\n");
  LoadAdditionalDLList(UserDLPath(), 1);
  main->move(300, 300);
  QPointer<DownloadCenterWindow> w = Open();
  ASSERT_TRUE(w);
  EXPECT_EQ(w->windowTitle(), QString::fromStdString("Download Center - Flashkeel " + AppVersion() + " by Velk"));
  EXPECT_EQ(w->size(), QSize(440, 145));
  EXPECT_EQ(w->pos(), QPoint(320, 280)) << "20 pixels right of and above the main window";
  EXPECT_FALSE(main->isEnabled());

  struct C {
    const char* name;
    QRect g;
    const char* text;
    const char* tip;
  } controls[] = {
      {"Option_DownloadCenter_RecoveryHD", {15, 10, 160, 13}, " Recovery HD for macOS:", ""},
      {"Option_DownloadCenter_Additional", {15, 60, 120, 13}, " Additional Packages:", ""},
      {"Button_DownloadCenterExit", {20, 115, 70, 20}, "Exit", ""},
      {"Button_DownloadCenterClear", {95, 115, 70, 20}, "Clear", "Clear DL list"},
      {"Button_DownloadCenterUpdate", {170, 115, 70, 20}, "Update", "Update Temporary disabled for Recover HD"},
      {"Button_DownloadCenterDL", {320, 115, 100, 20}, "DL", "DL selected Item"},
  };
  for (const C& c : controls) {
    auto* b = Find<QAbstractButton>(w, c.name);
    EXPECT_EQ(b->geometry(), c.g) << c.name;
    EXPECT_EQ(b->text(), QString::fromLatin1(c.text)) << c.name;
    EXPECT_EQ(b->toolTip(), QString::fromLatin1(c.tip)) << c.name;
  }
  EXPECT_EQ(Find<QGroupBox>(w, "Box_DownloadCenter_RecoveryHD")->geometry(), QRect(10, 10, 420, 48));
  EXPECT_EQ(Find<QGroupBox>(w, "Box_DownloadCenter_Additional")->geometry(), QRect(10, 60, 420, 48));
  auto* rec = Find<QComboBox>(w, "Combobox_DownloadCenter_SelectRecoveryHD");
  auto* add = Find<QComboBox>(w, "Combobox_DownloadCenter_SelectAdditionalDL");
  EXPECT_EQ(rec->geometry(), QRect(20, 28, 400, 20));
  EXPECT_EQ(add->geometry(), QRect(20, 78, 400, 20));
  EXPECT_EQ(rec->toolTip(), "Select MAC OS X Recovery HD for Download and Automatically Extract HFS-Image");
  EXPECT_EQ(add->toolTip(), "Select Item from User or FKL Download Lists for Download");

  // Recovery HD chosen: its list, with the last row selected, and Clear.
  auto* optRec = Find<QRadioButton>(w, "Option_DownloadCenter_RecoveryHD");
  auto* optAdd = Find<QRadioButton>(w, "Option_DownloadCenter_Additional");
  auto* clear = Find<QPushButton>(w, "Button_DownloadCenterClear");
  EXPECT_TRUE(optRec->isChecked());
  EXPECT_EQ(rec->count(), 2);
  EXPECT_EQ(rec->currentIndex(), 1);
  EXPECT_TRUE(rec->isEnabled());
  EXPECT_EQ(Rows(add), (QStringList{" -- User Downloads: ", "Mine: my file"}));
  EXPECT_EQ(add->currentIndex(), 0);
  EXPECT_FALSE(add->isEnabled());
  EXPECT_TRUE(clear->isEnabled());
  EXPECT_TRUE(LogMirrorContains("> Open_Window_DownloadCenter: added: (20G95) macOS 11.5.2 2021-08-11 638.7 MB"));

  QTest::mouseClick(optAdd, Qt::LeftButton);
  EXPECT_TRUE(add->isEnabled());
  EXPECT_FALSE(rec->isEnabled());
  EXPECT_FALSE(clear->isEnabled()) << "Clear never clears the additional list";
  QTest::mouseClick(optRec, Qt::LeftButton);
  EXPECT_TRUE(clear->isEnabled());
  QTest::mouseClick(clear, Qt::LeftButton);
  EXPECT_EQ(rec->count(), 0);
  EXPECT_TRUE(SavedSettings().RecoveryHDSourceList.empty());
  EXPECT_EQ(add->count(), 2);

  // DL with nothing selected says so and starts nothing; the window stays.
  QTest::mouseClick(Find<QPushButton>(w, "Button_DownloadCenterDL"), Qt::LeftButton);
  ASSERT_EQ(Boxes("Information"), 1);
  EXPECT_EQ(ui->Boxes().back().text, "Select a Recovery HD in the list first.");
  EXPECT_FALSE(GetRunner().AnyRunning());
  EXPECT_TRUE(w && w->isVisible());

  // The close box acts as Exit; the Exit button likewise.
  w->close();
  QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_FALSE(w);
  EXPECT_TRUE(main->isEnabled());
  w = Open();
  ASSERT_TRUE(w);
  QTest::mouseClick(Find<QPushButton>(w, "Button_DownloadCenterExit"), Qt::LeftButton);
  QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_FALSE(w);
  EXPECT_TRUE(main->isEnabled());
}

// Update, DL and Clear wait while any network operation runs (a Clover check
// here), and come back when the runner says it has ended.
TEST_F(DownloadCenterTest, ButtonsWaitForAnyNetworkOperation) {
  std::atomic<bool> release{false};
  struct Release {
    std::atomic<bool>& r;
    ~Release() { r = true; }
  } guard{release};
  ASSERT_EQ(GetRunner().Start(OpKind::CloverCheck, [&](OpContext& op) {
    while (!release && !op.Cancelled()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return OpResult::Done();
  }, Settings{}), Runner::StartStatus::Started);
  DownloadCenterWindow* w = Open();
  ASSERT_NE(w, nullptr);
  const char* buttons[] = {"Button_DownloadCenterUpdate", "Button_DownloadCenterDL", "Button_DownloadCenterClear"};
  for (const char* b : buttons) EXPECT_FALSE(Find<QPushButton>(w, b)->isEnabled()) << b;
  EXPECT_TRUE(Find<QPushButton>(w, "Button_DownloadCenterExit")->isEnabled());
  release = true;
  ASSERT_TRUE(WaitFor([&] { return Find<QPushButton>(w, "Button_DownloadCenterDL")->isEnabled(); }));
  for (const char* b : buttons) EXPECT_TRUE(Find<QPushButton>(w, b)->isEnabled()) << b;
}

// An update in flight keeps DL from starting; when it ends the list shows
// the user's entries, then the program's. A DL downloads the entry its row
// showed, whatever the list became after the press, into the repository's
// Catalog folder; a failed update leaves the rows and the choice alone.
TEST_F(DownloadCenterTest, UpdateRacingADownload) {
  test::HttpResource list = HttpTestServer::Bytes(test::ReadFileBytes(kSite + "DLList.ini"));
  list.trickleChunk = 128;
  list.trickleDelayMs = 40;
  if (!ServeSite(list)) GTEST_SKIP() << "openssl missing";
  test::WriteFileBytes(dir / "UserDL.ini", "[Mine]\r\nDescription=no address\r\n");
  LoadAdditionalDLList(UserDLPath(), 1);

  DownloadCenterWindow* w = Open();
  ASSERT_NE(w, nullptr);
  auto* add = Find<QComboBox>(w, "Combobox_DownloadCenter_SelectAdditionalDL");
  auto* update = Find<QPushButton>(w, "Button_DownloadCenterUpdate");
  auto* dl = Find<QPushButton>(w, "Button_DownloadCenterDL");
  QTest::mouseClick(Find<QRadioButton>(w, "Option_DownloadCenter_Additional"), Qt::LeftButton);
  add->setCurrentIndex(1);
  QTest::mouseClick(update, Qt::LeftButton);
  EXPECT_TRUE(GetRunner().Running(OpKind::AdditionalListUpdate));
  EXPECT_FALSE(update->isEnabled());
  EXPECT_FALSE(dl->isEnabled());
  QTest::mouseClick(dl, Qt::LeftButton);
  EXPECT_FALSE(GetRunner().Running(OpKind::AdditionalDownload));
  EXPECT_FALSE(ui->HasStatus("Download started  ... Wait Please"));

  ASSERT_TRUE(WaitFor([&] { return dl->isEnabled(); }));
  EXPECT_TRUE(GetRunner().LastResult(OpKind::AdditionalListUpdate).ok());
  EXPECT_EQ(Rows(add), (QStringList{" -- User Downloads: ", "Mine: no address", " -- FKL Additional Downloads: ",
                                    "Flashkeel How-To 510 B: Making a Clover drive with a Recovery HD, step by step",
                                    "Flashkeel icon 916 B: The program icon (SVG)"}));
  EXPECT_EQ(add->currentIndex(), 0);

  // The list goes away from the server: an update fails and changes nothing.
  server->Add("/files/AdditionalDL/DLList.ini", [] { test::HttpResource r; r.status = 404; return r; }());
  add->setCurrentIndex(4);
  QTest::mouseClick(update, Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return !GetRunner().Running(OpKind::AdditionalListUpdate) && dl->isEnabled(); }));
  EXPECT_FALSE(GetRunner().LastResult(OpKind::AdditionalListUpdate).ok());
  EXPECT_TRUE(ui->HasStatus("CheckAdditionalDownloadsThread ... Error: Get DlFileList"));
  EXPECT_EQ(add->count(), 5);
  EXPECT_EQ(add->currentIndex(), 4);

  QPointer<DownloadCenterWindow> open = w;
  QTest::mouseClick(dl, Qt::LeftButton);
  SetAdditionalDL({});  // the list rebuilt right after the press
  EXPECT_TRUE(ui->HasStatus("Download started  ... Wait Please"));
  QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_FALSE(open) << "DL closes the window";
  EXPECT_TRUE(main->isEnabled());
  ASSERT_TRUE(WaitFor([] { return !GetRunner().AnyRunning(); }));
  const OpResult r = GetRunner().LastResult(OpKind::AdditionalDownload);
  ASSERT_TRUE(r.ok()) << r.message;
  EXPECT_EQ(test::ReadFileBytes(dir / "repo/Icons/flashkeel.svg"), test::ReadFileBytes(kSite + "flashkeel.svg"));
  EXPECT_EQ(Boxes("Info"), 1);
  ASSERT_TRUE(WaitFor([&] {
    return Find<QPushButton>(main.get(), "Button_Open_DownloadCenter")->text() == QStringLiteral("DL Center");
  }));
}

// A Recovery HD update from the window: the new list reaches the saved
// settings before the window hears that the update ended, so the list shows
// it; unread catalogs are reported. DL hands the chosen record on.
TEST_F(DownloadCenterTest, RecoveryUpdateRefillsItsListAndDLTakesTheChosenRecord) {
  test::AppleCatalogServer apple(dir.path());
  if (!apple.ok()) GTEST_SKIP() << "openssl missing";
  apple.AddFixture("/c/1015.sucatalog", "sucatalog-10.15-trimmed.xml");
  apple.AddRecoveryMetadata();
  SavedSettings().SUCatalogURLList = {{"10.15", apple.Base() + "/c/1015.sucatalog", 15},
                                      {"gone", apple.Base() + "/c/missing.sucatalog", 14}};
  SavedSettings().FKLImageLocalRepo = dir / "images";
  HttpEngineOptions o;
  o.connectTimeoutMs = 5000;
  o.caFile = apple.caFile();
  SetHttpEngineOptions(o);
  // As the program does: a settings change of an operation is made on the GUI thread.
  GetRunner().SetSettingsApplier([](std::function<void(Settings&)> change) {
    QMetaObject::invokeMethod(qApp, [change] { change(SavedSettings()); }, Qt::QueuedConnection);
  });

  DownloadCenterWindow* w = Open();
  ASSERT_NE(w, nullptr);
  auto* rec = Find<QComboBox>(w, "Combobox_DownloadCenter_SelectRecoveryHD");
  auto* dl = Find<QPushButton>(w, "Button_DownloadCenterDL");
  QTest::mouseClick(Find<QPushButton>(w, "Button_DownloadCenterUpdate"), Qt::LeftButton);
  EXPECT_TRUE(GetRunner().Running(OpKind::CatalogUpdate));
  EXPECT_FALSE(Find<QPushButton>(w, "Button_DownloadCenterClear")->isEnabled());
  ASSERT_TRUE(WaitFor([&] { return dl->isEnabled() && Boxes("Warning") == 1; }));
  const auto& list = SavedSettings().RecoveryHDSourceList;
  ASSERT_FALSE(list.empty());
  EXPECT_NE(list.front().Name, "(19H2) macOS 10.15.7 2020-11-05 479.6 MB") << "the update replaced the list";
  QStringList names;
  for (const auto& r : list) names << QString::fromStdString(r.Name);
  EXPECT_EQ(Rows(rec), names);
  EXPECT_EQ(rec->currentIndex(), rec->count() - 1);
  EXPECT_NE(ui->Boxes().back().text.find("1 of 2 catalogs could not be read"), std::string::npos);

  rec->setCurrentIndex(0);
  const std::string chosen = list.front().Name;
  QTest::mouseClick(dl, Qt::LeftButton);
  ASSERT_TRUE(WaitFor([] { return !GetRunner().AnyRunning(); }));
  EXPECT_TRUE(LogMirrorContains("> DLAndExtractHFSImageFromRecoveryHD: Name$=" + chosen + " URL$="));
  EXPECT_TRUE(main->isEnabled());
}

}  // namespace
}  // namespace fk::gui

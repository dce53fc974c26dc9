// The main window: controls, menu, and the dispatch of their events.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QEnterEvent>
#include <QGroupBox>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPushButton>
#include <QSignalSpy>
#include <QTreeWidget>
#include <atomic>
#include <chrono>
#include <thread>
#include <tuple>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Runner.h"
#include "app/Settings.h"
#include "gui/GuiIcons.h"
#include "gui/GuiUi.h"
#include "gui/MainWindow.h"
#include "gui/ProgressCanvas.h"
#include "gui/WindowUtil.h"

namespace fk::gui {
namespace {

// An operation on the process's runner that runs until released or cancelled.
struct HeldOp {
  std::atomic<bool> release{false};
  bool Start(OpKind kind) {
    release = false;
    return GetRunner().Start(kind, [this](OpContext& op) {
      while (!release.load() && !op.Cancelled()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      return op.Cancelled() ? OpResult::Cancelled() : OpResult::Done();
    }, Settings{}) == Runner::StartStatus::Started;
  }
  // Waits for the end; the outcome.
  OpOutcome End(OpKind kind) {
    release = true;
    GetRunner().JoinAll();
    return GetRunner().LastResult(kind).outcome;
  }
  ~HeldOp() { End(OpKind::Format); }
};

// Actions that record what the window asked for; the start actions run a held
// operation of their kind on the runner.
struct Recorder {
  GuiActions a;
  std::vector<std::string> calls, urls, boxes;
  int formatInstallFull = -1;
  bool startResult = true;
  HeldOp held;

  Recorder() {
    auto note = [this](const char* n) { return [this, n] { calls.push_back(n); }; };
    auto start = [this](const char* n, OpKind kind) {
      return [this, n, kind] {
        calls.push_back(n);
        return startResult && held.Start(kind);
      };
    };
    a.startFormat = [this, f = start("format", OpKind::Format)](int full) {
      formatInstallFull = full;
      return f();
    };
    a.startBackup = start("backup", OpKind::Backup);
    a.startRecover = start("recover", OpKind::Restore);
    a.startExtractHFSFromDMG = start("dmg", OpKind::DmgExtract);
    a.eject = note("eject");
    a.updateAllDrives = note("update");
    a.openDownloadCenter = note("dlcenter");
    a.openConfiguration = note("config");
    a.installHFS = note("installHFS");
    a.uninstallHFS = note("uninstallHFS");
    a.hfsDriversInstalled = [] { return false; };
    a.openUrl = [this](const std::string& u) { return urls.push_back(u), true; };
    a.messageBox = [this](const std::string& t, const std::string& x, MsgButtons, MsgIcon) {
      boxes.push_back(t + "|" + x);
      return MsgAnswer::Ok;
    };
  }
  int Count(const std::string& n) const { return static_cast<int>(std::count(calls.begin(), calls.end(), n)); }
};

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetSharedFlags();
    GetRunner().Reopen();
    SetLogMirror(true);
    TakeLogMirror();
  }
  void TearDown() override {
    SetLogMirror(false);
    ResetSharedFlags();
  }
  template <class T>
  static T* Find(QWidget* w, const char* name) {
    T* t = w->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(t, nullptr) << name;
    return t;
  }
  static QAction* Action(MainWindow& w, const char* name) {
    QAction* a = w.findChild<QAction*>(QString::fromLatin1(name));
    EXPECT_NE(a, nullptr) << name;
    return a;
  }
  static void Click(MainWindow& w, const char* name) { Find<QPushButton>(&w, name)->click(); }
};

TEST_F(MainWindowTest, ControlsHaveTheirGeometryTextsAndTips) {
  Recorder r;
  MainWindow w(r.a);
  EXPECT_EQ(w.windowTitle(), QString::fromStdString("Flashkeel " + AppVersion() + " by Velk 05.07.2020"));
  EXPECT_EQ(w.Client()->size(), QSize(480, 265));
  EXPECT_EQ(w.minimumSize(), w.maximumSize()) << "the window size cannot change";

  auto* box = Find<QGroupBox>(&w, "Box_DestinationDisk");
  EXPECT_EQ(box->geometry(), QRect(5, 2, 470, 149));
  EXPECT_EQ(box->title(), "Destination Disk");
  EXPECT_EQ(Find<QTreeWidget>(&w, "Tree_DestinationDisk")->geometry(), QRect(10, 20, 460, 124));
  EXPECT_EQ(Find<QWidget>(&w, "Canvas_Progress")->geometry(), QRect(5, 154, 470, 21));

  struct B {
    const char* name;
    QRect g;
    const char* text;
    const char* tip;
  } buttons[] = {
      {"Button_Backup", {15, 178, 80, 26}, "Backup", "Backup selected Partition to Image file"},
      {"Button_Restore", {100, 178, 80, 26}, "Restore", "Restore selected Partition from Image file"},
      {"Button_Format",
       {185, 178, 80, 26},
       "Format",
       "Prepare USB flash drive with one of several sets of boot records and Data Set of Bootloaders"},
      {"Button_Eject", {290, 178, 85, 26}, "Eject", "Safely ejecting of USB Flash drive"},
      {"Button_Open_DownloadCenter", {380, 178, 85, 26}, "DL Center", "Open FKL Download Center"},
      {"Button_Exit", {15, 209, 65, 26}, "Exit", ""},
      {"Button_Refresh", {380, 209, 85, 26}, "Refresh", "Force update of the list of connected drives"},
  };
  for (const B& b : buttons) {
    auto* pb = Find<QPushButton>(&w, b.name);
    EXPECT_EQ(pb->geometry(), b.g) << b.name;
    EXPECT_EQ(pb->text(), QString::fromLatin1(b.text)) << b.name;
    EXPECT_EQ(pb->toolTip(), QString::fromLatin1(b.tip)) << b.name;
    EXPECT_TRUE(pb->isEnabled()) << b.name;
  }

  auto* link = Find<LinkLabel>(&w, "HyperLink_Velk");
  EXPECT_EQ(link->geometry(), QRect(130, 216, 120, 15));
  EXPECT_FALSE(link->text().isEmpty());
  EXPECT_TRUE(LabelTextFits(link)) << "the credit fits its label";
  EXPECT_EQ(link->CurrentColor(), QColor(128, 128, 128));
  QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
  QApplication::sendEvent(link, &enter);
  EXPECT_EQ(link->CurrentColor(), QColor(0, 0, 255));
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(link, &leave);
  EXPECT_EQ(link->CurrentColor(), QColor(128, 128, 128));
}

// Busy captions are longer than the buttons' idle ones: they must fit the
// fixed button sizes, and the idle caption gets its normal font back.
TEST_F(MainWindowTest, BusyCaptionsFitTheirButtons) {
  Recorder r;
  MainWindow w(r.a);
  auto* restore = Find<QPushButton>(&w, "Button_Restore");
  const int normal = QFontInfo(restore->font()).pixelSize();
  for (auto [c, name, text] : {std::tuple{Control::Button_Restore, "Button_Restore", "Restore Cancel"},
                               std::tuple{Control::Button_Backup, "Button_Backup", "Backup Cancel"},
                               std::tuple{Control::Button_Format, "Button_Format", "Format Disk"}}) {
    w.SetControlText(c, text);
    EXPECT_TRUE(ButtonTextFits(Find<QPushButton>(&w, name))) << text;
  }
  w.SetControlText(Control::Button_Restore, "Restore");
  EXPECT_EQ(QFontInfo(restore->font()).pixelSize(), normal);
}

TEST_F(MainWindowTest, MenuHasItsItemsIconsAndEnabledStates) {
  Recorder r;
  r.a.cloverLastRev = [] { return std::string("5120"); };
  MainWindow w(r.a);
  QStringList titles;
  for (QAction* a : w.menuBar()->actions()) titles << a->text();
  EXPECT_EQ(titles, QStringList({"Options", "Tools", "&Help", " Latest Clover: r5120"}));

  struct I {
    const char* name;
    const char* text;
    int icon;
  } items[] = {
      {"Menu_Configuration", "&Configuration", 0},
      {"Menu_Quit", "&Quit\tEsc", -1},
      {"Menu_InstallHFSDrivers", "&Install BootCamp HFS+ RO Driver", 1},
      {"Menu_UnInstallHFSDrivers", "&UnInstall BootCamp HFS+ RO Driver", 1},
      {"Menu_ExtractHFSFromDMG", "&Extract HFS(HFS+) partition from DMG-files", 2},
      {"Menu_Help", "&Help", 3},
      {"Menu_CloverWiki", "&Clover WiKi", 3},
      {"Menu_CloudCloverEditor", "Cloud Clover &Editor", 3},
      {"Menu_About", "&About", 4},
  };
  for (const I& i : items) {
    QAction* a = Action(w, i.name);
    EXPECT_EQ(a->text(), QString::fromLatin1(i.text)) << i.name;
    EXPECT_EQ(a->icon().isNull(), i.icon < 0) << i.name;
    if (i.icon >= 0) {
      EXPECT_EQ(a->icon().pixmap(16, 16).toImage(), IconPixmap(i.icon).toImage()) << i.name;
    }
    EXPECT_TRUE(a->shortcut().isEmpty()) << i.name;
  }
  QList<QAction*> options = w.findChild<QMenu*>("Menu_Options")->actions();
  ASSERT_EQ(options.size(), 3);
  EXPECT_TRUE(options[1]->isSeparator());

  // Drivers not installed: install on, uninstall off.
  EXPECT_TRUE(Action(w, "Menu_InstallHFSDrivers")->isEnabled());
  EXPECT_FALSE(Action(w, "Menu_UnInstallHFSDrivers")->isEnabled());
  r.a.hfsDriversInstalled = [] { return true; };
  MainWindow w2(r.a);
  EXPECT_FALSE(Action(w2, "Menu_InstallHFSDrivers")->isEnabled());
  EXPECT_TRUE(Action(w2, "Menu_UnInstallHFSDrivers")->isEnabled());
  // The state check after an install or uninstall turns them around.
  w2.SetControlEnabled(Control::Menu_InstallHFSDrivers, true);
  w2.SetControlEnabled(Control::Menu_UnInstallHFSDrivers, false);
  EXPECT_TRUE(Action(w2, "Menu_InstallHFSDrivers")->isEnabled());
  EXPECT_FALSE(Action(w2, "Menu_UnInstallHFSDrivers")->isEnabled());
}

TEST_F(MainWindowTest, OperationsNotYetThereAreDisabledAndCheckItIsTheDefaultTitle) {
  GuiActions none;
  none.cloverLastRev = [] { return std::string("Check It!"); };
  MainWindow w(none);
  for (const char* b : {"Button_Backup", "Button_Restore", "Button_Format", "Button_Eject",
                        "Button_Open_DownloadCenter", "Button_Refresh"})
    EXPECT_FALSE(Find<QPushButton>(&w, b)->isEnabled()) << b;
  EXPECT_TRUE(Find<QPushButton>(&w, "Button_Exit")->isEnabled());
  for (const char* m : {"Menu_Configuration", "Menu_InstallHFSDrivers", "Menu_UnInstallHFSDrivers",
                        "Menu_ExtractHFSFromDMG"})
    EXPECT_FALSE(Action(w, m)->isEnabled()) << m;
  for (const char* m : {"Menu_Quit", "Menu_Help", "Menu_CloverWiki", "Menu_CloudCloverEditor", "Menu_About"})
    EXPECT_TRUE(Action(w, m)->isEnabled()) << m;
  EXPECT_EQ(w.menuBar()->actions().at(3)->text(), " Latest Clover: Check It!");
}

TEST_F(MainWindowTest, ChooseInstallFullFollowsBootRecordsAndDataSet) {
  EXPECT_EQ(ChooseInstallFull("Clover", "Not_Install"), 0);
  EXPECT_EQ(ChooseInstallFull("Clover", "Install_Local"), 1);
  EXPECT_EQ(ChooseInstallFull("Not_Format", "Not_Install"), 0);
  EXPECT_EQ(ChooseInstallFull("Not_Format", "x"), 1);
  EXPECT_EQ(ChooseInstallFull("FreeDos", "Not_Install"), 1);
  EXPECT_EQ(ChooseInstallFull("Windows", "Install_Local"), 0);
}

TEST_F(MainWindowTest, StartButtonsStartOneOperationAndPressedAgainCancelIt) {
  Recorder r;
  r.a.bootRecords = [] { return std::string("FreeDos"); };
  r.a.installDataSet = [] { return std::string("Not_Install"); };
  MainWindow w(r.a);
  Click(w, "Button_Format");
  EXPECT_EQ(r.formatInstallFull, 1);
  EXPECT_EQ(format_op_in_progress.load(), 1);
  EXPECT_TRUE(LogMirrorContains("> #Button_Format pressed ================================"));

  // A second press now cancels instead of starting a second run.
  Click(w, "Button_Format");
  EXPECT_EQ(r.Count("format"), 1);
  EXPECT_EQ(r.held.End(OpKind::Format), OpOutcome::Cancelled);

  r.startResult = false;
  Click(w, "Button_Backup");
  EXPECT_EQ(r.Count("backup"), 1);
  EXPECT_EQ(format_op_in_progress.load(), 0) << "an operation that did not start leaves the program idle";
  EXPECT_TRUE(LogMirrorContains("> MainWindow: the operation could not be started"));
}

// While a long operation runs, Format, Backup and Restore cancel it, whichever
// it is; Eject, Refresh, Exit and the guarded menu items are ignored.
TEST_F(MainWindowTest, WhileBusyStartButtonsCancelAndOtherActionsAreIgnored) {
  Recorder r;
  MainWindow w(r.a);
  for (const char* button : {"Button_Format", "Button_Backup", "Button_Restore"}) {
    ASSERT_TRUE(r.held.Start(OpKind::Backup));
    Click(w, button);
    EXPECT_EQ(CancelMainThread.load(), 1) << button;
    EXPECT_EQ(r.held.End(OpKind::Backup), OpOutcome::Cancelled) << button;
    EXPECT_EQ(CancelMainThread.load(), 0) << "no cancel outlives its operation";
  }
  EXPECT_TRUE(r.calls.empty()) << r.calls.front();

  ASSERT_TRUE(r.held.Start(OpKind::Restore));
  Click(w, "Button_Eject");
  Click(w, "Button_Refresh");
  Action(w, "Menu_Configuration")->trigger();
  Action(w, "Menu_InstallHFSDrivers")->trigger();
  Action(w, "Menu_ExtractHFSFromDMG")->trigger();
  EXPECT_TRUE(r.calls.empty()) << r.calls.front();

  QSignalSpy ended(&w, &MainWindow::loopEnded);
  Click(w, "Button_Exit");
  Action(w, "Menu_Quit")->trigger();
  EXPECT_EQ(ExitRequested.load(), 0);
  EXPECT_EQ(ended.count(), 0);

  // The close box ends the program even now.
  w.close();
  EXPECT_EQ(ExitRequested.load(), 1);
  EXPECT_EQ(ended.count(), 1);
  EXPECT_EQ(r.held.End(OpKind::Restore), OpOutcome::Done);
}

// Format pressed while a backup runs cancels the backup. The next format must
// not start with that cancel pending (it would stop right after the user
// confirmed it).
TEST_F(MainWindowTest, NextOperationStartsWithoutTheLastOperationsCancel) {
  Recorder r;
  std::atomic<int> formatStatusAtStart{-1};
  r.a.startFormat = [&](int) {
    return GetRunner().Start(OpKind::Format, [&](OpContext&) {
      formatStatusAtStart = FormatStatus.load() + CancelMainThread.load();
      return OpResult::Done();
    }, Settings{}) == Runner::StartStatus::Started;
  };
  MainWindow w(r.a);
  ASSERT_TRUE(r.held.Start(OpKind::Backup));
  Click(w, "Button_Format");
  ASSERT_EQ(r.held.End(OpKind::Backup), OpOutcome::Cancelled);
  Click(w, "Button_Format");
  GetRunner().JoinAll();
  EXPECT_EQ(formatStatusAtStart.load(), 0);
}

// The window follows the runner: the operation's button reads as its cancel
// button, the tree is disabled while it runs, and both come back at its end.
TEST_F(MainWindowTest, ButtonsAndTreeFollowTheRunnerState) {
  Recorder r;
  r.a.updateAllDrives = [&r] { r.calls.push_back("update"); };
  MainWindow w(r.a);
  auto* tree = Find<QTreeWidget>(&w, "Tree_DestinationDisk");
  for (auto [kind, c, busy, idle] :
       {std::tuple{OpKind::Format, Control::Button_Format, "Cancel", "Format Disk"},
        std::tuple{OpKind::Backup, Control::Button_Backup, "Backup Cancel", "Backup"},
        std::tuple{OpKind::Restore, Control::Button_Restore, "Restore Cancel", "Restore"},
        std::tuple{OpKind::RecoveryDownload, Control::Button_Open_DownloadCenter, "Cancel DL", "DL Center"}}) {
    w.OnRunnerState(kind, OpState::Running);
    EXPECT_EQ(w.ControlText(c), QString::fromLatin1(busy));
    EXPECT_FALSE(tree->isEnabled());
    EXPECT_EQ(QApplication::overrideCursor() ? QApplication::overrideCursor()->shape() : Qt::ArrowCursor,
              Qt::BusyCursor);
    w.OnRunnerState(kind, OpState::Ending);
    EXPECT_EQ(w.ControlText(c), QString::fromLatin1(idle));
    EXPECT_TRUE(tree->isEnabled());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  }
  w.OnRunnerState(OpKind::CloverCheck, OpState::Running);
  EXPECT_TRUE(tree->isEnabled()) << "a background check leaves the disks alone";
  EXPECT_EQ(r.Count("update"), 0);
  w.OnRunnerState(OpKind::AdditionalDownload, OpState::Idle);
  EXPECT_EQ(r.Count("update"), 1) << "an additional download ends with a fresh drive list";
}

TEST_F(MainWindowTest, ExitAndQuitEndTheLoopWhenIdle) {
  Recorder r;
  MainWindow w(r.a);
  QSignalSpy ended(&w, &MainWindow::loopEnded);
  Action(w, "Menu_Quit")->trigger();
  EXPECT_EQ(ExitRequested.load(), 1);
  EXPECT_EQ(ended.count(), 1);
  ResetSharedFlags();
  MainWindow w2(r.a);
  QSignalSpy ended2(&w2, &MainWindow::loopEnded);
  Click(w2, "Button_Exit");
  EXPECT_EQ(ended2.count(), 1);
}

TEST_F(MainWindowTest, DownloadCenterCancelsOnlyWhileItReadsCancelDL) {
  Recorder r;
  MainWindow w(r.a);
  Click(w, "Button_Open_DownloadCenter");
  EXPECT_EQ(r.Count("dlcenter"), 1);
  EXPECT_TRUE(LogMirrorContains("> ---> format_op_in_progress=#False;  Open_Window_DownloadCenter()"));

  ASSERT_TRUE(r.held.Start(OpKind::Format));
  Click(w, "Button_Open_DownloadCenter");
  EXPECT_EQ(CancelMainThread.load(), 0) << "a format runs, not a download";
  EXPECT_EQ(r.Count("dlcenter"), 1);
  EXPECT_EQ(r.held.End(OpKind::Format), OpOutcome::Done);

  ASSERT_TRUE(r.held.Start(OpKind::RecoveryDownload));
  w.SetControlText(Control::Button_Open_DownloadCenter, "Cancel DL");
  Click(w, "Button_Open_DownloadCenter");
  // The held operation ends as soon as it sees the cancel, so its outcome, not
  // the flag read afterwards, shows that the click cancelled it.
  EXPECT_TRUE(LogMirrorContains("> ---> format_op_in_progress=$True; CancelMainThread=#True"));
  EXPECT_EQ(r.Count("dlcenter"), 1);
  EXPECT_EQ(r.held.End(OpKind::RecoveryDownload), OpOutcome::Cancelled);
}

TEST_F(MainWindowTest, RefreshReselectsTheSameLineIndexAfterTheRebuild) {
  Recorder r;
  MainWindow w(r.a);
  const std::vector<TreeLine> before = {{0, "USB: A 1.0 GB ()", 5}, {1, "Part1: 1.0 GB FAT32 <A> ", 6},
                                        {0, "USB: B 2.0 GB ()", 5}, {1, "Part1: 2.0 GB FAT32 <B> ", 6}};
  const std::vector<TreeLine> after = {{0, "USB: B 2.0 GB ()", 5}, {1, "Part1: 2.0 GB FAT32 <B> ", 6},
                                       {0, "USB: A 1.0 GB ()", 5}, {1, "Part1: 1.0 GB FAT32 <A> ", 6}};
  r.a.updateAllDrives = [&] {
    r.calls.push_back("update");
    w.SetTreeLines(after);  // the disks came back in another order
    w.SelectTreeLine(0);    // as the rebuild does
  };
  w.SetTreeLines(before);
  auto* tree = Find<QTreeWidget>(&w, "Tree_DestinationDisk");
  ASSERT_EQ(tree->topLevelItemCount(), 2) << "partitions nest under their disk";
  EXPECT_EQ(tree->topLevelItem(1)->child(0)->text(0), "Part1: 2.0 GB FAT32 <B> ");
  w.SelectTreeLine(3);
  Click(w, "Button_Refresh");
  EXPECT_EQ(r.Count("update"), 1);
  EXPECT_EQ(w.SelectedTreeLine(), 3);
  EXPECT_EQ(tree->currentItem()->text(0), "Part1: 1.0 GB FAT32 <A> ");

  // Nothing selected before: the rebuild's own selection stays.
  w.SelectTreeLine(-1);
  EXPECT_EQ(w.SelectedTreeLine(), -1);
  Click(w, "Button_Refresh");
  EXPECT_EQ(w.SelectedTreeLine(), 0);
  w.SelectTreeLine(9);  // out of range: no selection
  EXPECT_EQ(w.SelectedTreeLine(), -1);
}

TEST_F(MainWindowTest, EjectRebuildsAndPostedDeviceEventUpdatesTheTree) {
  Recorder r;
  MainWindow w(r.a);
  Click(w, "Button_Eject");
  EXPECT_EQ(r.calls, (std::vector<std::string>{"eject", "update"}));
  EXPECT_TRUE(LogMirrorContains("> #Button_Eject pressed ================================"));

  GuiUi ui(&w);
  ui.PostEvent(UM_UPDATE_ALL_DRIVES);
  QApplication::sendPostedEvents();
  QApplication::sendPostedEvents(&w, kUpdateAllDrivesEvent);
  EXPECT_EQ(r.Count("update"), 2);
}

TEST_F(MainWindowTest, LinksAndHelpItemsOpenTheirTargets) {
  Recorder r;
  Paths().ProgramDir = "/nonexistent-dir/";
  MainWindow w(r.a);
  Action(w, "Menu_CloverWiki")->trigger();
  Action(w, "Menu_CloudCloverEditor")->trigger();
  ASSERT_EQ(r.urls.size(), 2u);
  EXPECT_EQ(r.urls[0], kCloverWiki);
  EXPECT_TRUE(r.urls[1].ends_with("/cce/index.php"));

  Action(w, "Menu_Help")->trigger();
  ASSERT_EQ(r.boxes.size(), 1u);
  EXPECT_EQ(r.boxes[0], "Error|Not found help file: Flashkeel.chm");

  auto* link = Find<LinkLabel>(&w, "HyperLink_Velk");
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(3, 3), QPointF(3, 3), Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  QApplication::sendEvent(link, &press);
  EXPECT_TRUE(LogMirrorContains("> MouseOver #HyperLink_Velk"));
  EXPECT_EQ(r.urls.back(), kMakerSite);
}

}  // namespace
}  // namespace fk::gui

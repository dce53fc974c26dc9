// The UI interface for workers: calls from other threads reach the GUI thread,
// questions block the worker until answered, pauses stay on the worker.
#include <gtest/gtest.h>

#include <QApplication>
#include <QAbstractItemView>
#include <QComboBox>
#include <QStyle>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <thread>

#include "app/AppState.h"
#include "app/Log.h"
#include "gui/GuiUi.h"
#include "gui/MainWindow.h"
#include "gui/ProgressCanvas.h"
#include "gui/WindowUtil.h"
#include "tests/support/TestUtil.h"

namespace fk::gui {
namespace {

// Runs fn on a worker while the GUI thread keeps processing events.
void OnWorker(const std::function<void()>& fn) {
  std::atomic<bool> done{false};
  std::thread t([&] {
    fn();
    done = true;
  });
  QElapsedTimer timer;
  timer.start();
  while (!done && timer.elapsed() < 20000) QApplication::processEvents(QEventLoop::AllEvents, 10);
  t.join();
  QApplication::processEvents();
}

class GuiUiTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetSharedFlags(); }
  void TearDown() override {
    SetPauseFunction(nullptr);
    SetUi(nullptr);
  }
};

TEST_F(GuiUiTest, WorkerQuestionsAreAnsweredOnTheGuiThreadWhileTheWorkerWaits) {
  GuiActions a;
  std::thread::id boxThread;
  std::atomic<bool> boxShown{false};
  a.messageBox = [&](const std::string& title, const std::string&, MsgButtons b, MsgIcon) {
    boxThread = std::this_thread::get_id();
    boxShown = true;
    EXPECT_EQ(title, "WARNING");
    EXPECT_EQ(b, MsgButtons::OkCancel);
    return MsgAnswer::Cancel;
  };
  MainWindow w(a);
  auto ui = std::make_shared<GuiUi>(&w);
  SetUi(ui);
  MsgAnswer got = MsgAnswer::Ok;
  OnWorker([&] { got = GetUi().MessageBox("WARNING", "text", MsgButtons::OkCancel, MsgIcon::Warning); });
  EXPECT_TRUE(boxShown);
  EXPECT_EQ(boxThread, std::this_thread::get_id());
  EXPECT_EQ(got, MsgAnswer::Cancel);
}

// A termination signal while a worker's question is open ends the main loop:
// the question is closed as Cancel, and later questions are not shown at all.
TEST_F(GuiUiTest, ExitRequestClosesAnOpenWorkerQuestion) {
  GuiActions a;
  MainWindow w(a);
  auto ui = std::make_shared<GuiUi>(&w);
  SetUi(ui);
  QSignalSpy ended(&w, &MainWindow::loopEnded);
  bool shown = false, leftOpen = false;
  QElapsedTimer since;
  QTimer driver;
  QObject::connect(&driver, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    if (!shown) {
      shown = true;
      since.start();
      ExitRequested = 1;  // what the signal handler does
    } else if (since.elapsed() > 3000) {
      leftOpen = true;  // still open: answer it so that the test ends
      box->reject();
    }
  });
  driver.start(20);
  MsgAnswer got = MsgAnswer::Ok;
  OnWorker([&] { got = GetUi().MessageBox("WARNING", "text", MsgButtons::OkCancel, MsgIcon::Warning); });
  EXPECT_TRUE(shown);
  EXPECT_FALSE(leftOpen);
  EXPECT_EQ(got, MsgAnswer::Cancel);
  EXPECT_EQ(ended.count(), 1);

  shown = false;
  MsgAnswer later = MsgAnswer::Yes;
  std::string file = "x";
  OnWorker([&] {
    later = GetUi().MessageBox("Warning", "Overwrite?", MsgButtons::YesNo, MsgIcon::Warning);
    file = GetUi().SaveFileDialog("Save to FKLImage file:", "/tmp/PartSave.bin", "All files (*.*)|*.*", 0);
  });
  driver.stop();
  EXPECT_FALSE(shown);
  EXPECT_EQ(later, MsgAnswer::No);
  EXPECT_EQ(file, "");
}

TEST_F(GuiUiTest, WorkerDrawsAndChangesControlsThroughTheGuiThread) {
  GuiActions a;
  a.startFormat = [](int) { return true; };
  MainWindow w(a);
  auto ui = std::make_shared<GuiUi>(&w);
  SetUi(ui);
  std::string textSeen;
  int selected = -2;
  OnWorker([&] {
    Ui& u = GetUi();
    u.DrawProgress("Formatting 40 %", 40);
    u.SetControlText(Control::Button_Format, "Cancel");
    u.SetControlEnabled(Control::Tree_DestinationDisk, false);
    u.SetTreeLines({{0, "USB: X", 5}, {1, "Part1", 6}});
    u.SelectTreeLine(1);
    textSeen = u.ControlText(Control::Button_Format);  // queued calls before it have run
    selected = u.SelectedTreeLine();
    u.SetControlText(Control::Menu_LatestClover, " Latest Clover: r5151");
  });
  EXPECT_EQ(w.Canvas()->Text(), "Formatting 40 %");
  EXPECT_EQ(w.Canvas()->Percent(), 40);
  EXPECT_EQ(textSeen, "Cancel");
  EXPECT_EQ(selected, 1);
  EXPECT_FALSE(w.findChild<QWidget*>("Tree_DestinationDisk")->isEnabled());
  EXPECT_EQ(w.ControlText(Control::Menu_LatestClover), " Latest Clover: r5151");
}

TEST_F(GuiUiTest, ShowStatusWaitsOnTheCallingWorkerOnly) {
  GuiActions a;
  MainWindow w(a);
  auto ui = std::make_shared<GuiUi>(&w);
  SetUi(ui);
  std::vector<std::thread::id> pauses;
  std::mutex m;
  SetPauseFunction([&](int ms) {
    std::lock_guard l(m);
    pauses.push_back(std::this_thread::get_id());
  });
  std::thread::id worker;
  OnWorker([&] {
    worker = std::this_thread::get_id();
    GetUi().ShowStatus("Backup Cancelled", 5000);
    GetUi().ShowStatus("", 5000);  // neither draws nor waits
  });
  ASSERT_EQ(pauses.size(), 1u);
  EXPECT_EQ(pauses[0], worker);
  EXPECT_EQ(w.Canvas()->Text(), "Backup Cancelled");

  // Without a window there is nothing to show and nothing to wait for.
  pauses.clear();
  ui->SetWindow(nullptr);
  GetUi().ShowStatus("x", 100);
  EXPECT_TRUE(pauses.empty());
}

TEST_F(GuiUiTest, PauseOnTheGuiThreadKeepsDrawing) {
  GuiActions a;
  MainWindow w(a);
  auto ui = std::make_shared<GuiUi>(&w);
  std::thread t([&] { ui->DrawProgress("from worker", 10); });
  t.join();
  QElapsedTimer timer;
  timer.start();
  GuiUi::GuiPause(200);
  EXPECT_GE(timer.elapsed(), 190);
  EXPECT_EQ(w.Canvas()->Text(), "from worker") << "queued drawing ran during the pause";
}

// The backup asks itself before it replaces a file, so its save dialog takes an
// existing name without a question of its own, and a new name as well.
TEST_F(GuiUiTest, SaveDialogTakesExistingAndNewNamesWithoutAskingToOverwrite) {
  test::TempDir dir("fkdlg");
  test::WriteFileBytes(dir / "old.img", "x");
  GuiUi ui;
  for (const std::string name : {"old.img", "new.img"}) {
    const std::string wanted = dir / name;
    bool asked = false;
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, [&] {
      for (QWidget* w : QApplication::topLevelWidgets()) {
        if (!w->isVisible()) continue;
        if (auto* box = qobject_cast<QMessageBox*>(w)) {
          asked = true;
          box->reject();
        } else if (auto* dlg = qobject_cast<QFileDialog*>(w)) {
          if (asked) {  // it asked: give up the dialog so that the worker returns
            dlg->reject();
            continue;
          }
          auto* edit = dlg->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
          ASSERT_NE(edit, nullptr);
          edit->setText(QString::fromStdString(wanted));
          QMetaObject::invokeMethod(dlg, "accept", Qt::QueuedConnection);
        }
      }
    });
    driver.start(30);
    std::string got;
    OnWorker([&] { got = ui.SaveFileDialog("Save to FKLImage file:", dir / "FKLImage.img",
                                           "FKLImage file (*.img)|*.img|All files (*.*)|*.*", 0); });
    driver.stop();
    EXPECT_FALSE(asked) << name;
    EXPECT_EQ(got, wanted);
  }
}

// The preselected filter must not rewrite the default name's suffix.
TEST_F(GuiUiTest, SaveDialogOffersTheDefaultNameUnderAPreselectedFilter) {
  test::TempDir dir("fkdlg");
  GuiUi ui;
  QString offered;
  QTimer driver;
  QObject::connect(&driver, &QTimer::timeout, [&] {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      auto* dlg = qobject_cast<QFileDialog*>(w);
      if (!dlg || !dlg->isVisible()) continue;
      auto* edit = dlg->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
      ASSERT_NE(edit, nullptr);
      offered = edit->text();
      QMetaObject::invokeMethod(dlg, "accept", Qt::QueuedConnection);
    }
  });
  driver.start(30);
  std::string got;
  OnWorker([&] {
    got = ui.SaveFileDialog("Save to FKLImage file:", dir / "PartSave.bin",
                            "Binary (*.bin)|*.bin|HFS/HFS+ (*.hfs)|*.hfs|HFS/HFS+/Binary (*.hfs;*.bin)|*.hfs;*.bin|"
                            "All files (*.*)|*.*",
                            2);
  });
  driver.stop();
  EXPECT_EQ(offered.toStdString(), "PartSave.bin");
  EXPECT_EQ(got, dir / "PartSave.bin");
}

TEST(QtFilterListTest, DialogPatternsBecomeQtFilters) {
  QString sel;
  EXPECT_EQ(QtFilterList("HFS Image (*.hfs)|*.hfs|All files (*.*)|*.*", 1, &sel),
            "HFS Image (*.hfs);;All files (*)");
  EXPECT_EQ(sel, "All files (*)");
  EXPECT_EQ(QtFilterList("Images|*.img;*.bin", 0, &sel), "Images (*.img *.bin)");
  EXPECT_EQ(sel, "Images (*.img *.bin)");
  QtFilterList("A|*.a", 5, &sel);
  EXPECT_TRUE(sel.isEmpty());
}

TEST(WindowUtilTest, KeepWindowOnDesktopCentresOnlyWindowsStickingOutRightOrBottom) {
  SetLogMirror(true);
  TakeLogMirror();
  QWidget win;
  win.resize(480, 300);
  win.move(1700, 100);
  KeepWindowOnDesktop(&win, 0, QSize(1920, 1080));
  EXPECT_EQ(win.pos(), QPoint(960 - 240, 540 - 150));
  EXPECT_TRUE(LogMirrorContains("> WinID = 0 DesktopWidth = 1920 DesktopHeight = 1080"));
  EXPECT_TRUE(LogMirrorContains("> Move Window WinID = 0 to WindowX = 960 WindowY = 540"));

  win.move(100, 900);  // bottom
  KeepWindowOnDesktop(&win, 1, QSize(1920, 1080));
  EXPECT_EQ(win.pos(), QPoint(720, 390));

  TakeLogMirror();
  for (QPoint p : {QPoint(-200, 50), QPoint(10, -40), QPoint(1440, 780)}) {
    win.move(p);
    KeepWindowOnDesktop(&win, 0, QSize(1920, 1080));
    EXPECT_EQ(win.pos(), p) << "left/above or just inside stays";
  }
  EXPECT_FALSE(LogMirrorContains("Move Window"));
  SetLogMirror(false);
}

TEST(WindowUtilTest, ComboDropWidthFitsTheWidestItemAndAScrollBarPast30Items) {
  QComboBox combo;
  for (int i = 0; i < 30; ++i) combo.addItem(QStringLiteral("item %1").arg(i));
  combo.addItem(QStringLiteral("a much longer item than the others"));
  const int with31 = ComboDropWidthFor(&combo);
  combo.removeItem(0);
  const int with30 = ComboDropWidthFor(&combo);
  EXPECT_EQ(with31 - with30, combo.style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, &combo));
  EXPECT_GT(with30, QFontMetrics(combo.font()).horizontalAdvance("a much longer item than the others"));
  SetComboDropWidth(&combo, 0);
  EXPECT_EQ(combo.view()->minimumWidth(), with30);
  SetComboDropWidth(&combo, 333);
  EXPECT_EQ(combo.view()->minimumWidth(), 333);
}

TEST(WindowUtilTest, BackgroundColourAvoidsPureWhiteAndBlack) {
  const QPalette saved = QApplication::palette();
  QPalette p = saved;
  p.setColor(QPalette::Window, Qt::white);
  p.setColor(QPalette::Button, QColor(10, 20, 30));
  QApplication::setPalette(p);
  EXPECT_EQ(GetWindowBackgroundColor(), QColor(10, 20, 30));
  p.setColor(QPalette::Window, QColor(200, 201, 202));
  QApplication::setPalette(p);
  EXPECT_EQ(GetWindowBackgroundColor(), QColor(200, 201, 202));
  QApplication::setPalette(saved);
}

}  // namespace
}  // namespace fk::gui

// The About window, the single-instance rule with two processes, and the
// program-error report viewer.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <chrono>
#include <filesystem>
#include <thread>

#include "app/AppState.h"
#include "app/Log.h"
#include "gui/AboutWindow.h"
#include "gui/MainWindow.h"
#include "gui/WindowUtil.h"
#include "platform/SingleInstance.h"
#include "tests/support/TestUtil.h"

extern char** environ;

namespace fk::gui {
namespace {

using fk::test::ReadFileBytes;
using fk::test::TempDir;
using fk::test::WriteFileBytes;

TEST(AboutWindowTest, LayoutTextsAndLinks) {
  SetLogMirror(true);
  TakeLogMirror();
  QWidget main;
  std::vector<std::string> urls;
  AboutWindow about(&main, [&](const std::string& u) {
    urls.push_back(u);
    return true;
  });
  about.setAttribute(Qt::WA_DeleteOnClose, false);
  EXPECT_EQ(about.windowTitle(), "About");
  EXPECT_EQ(about.size(), QSize(400, 400));
  EXPECT_EQ(about.parentWidget(), nullptr) << "no owner";

  auto* image = about.findChild<QLabel*>("Image_About");
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->geometry(), QRect(60, 25, 96, 96));
  EXPECT_EQ(image->pixmap().size(), QSize(72, 72));

  struct L {
    const char* name;
    QRect g;
    const char* text;
  } links[] = {{"HyperLink_Clover", {30, 110, 80, 15}, "- Clover source -"},
               {"Hyperlink_Quillboard", {30, 130, 140, 15}, "- Russian Clover discussion -"},
               {"HyperLink_CloverWiKi", {30, 150, 80, 15}, "- Clover WiKi -"}};
  for (const L& l : links) {
    auto* label = about.findChild<LinkLabel*>(l.name);
    ASSERT_NE(label, nullptr) << l.name;
    EXPECT_EQ(label->geometry(), l.g) << l.name;
    EXPECT_EQ(label->text(), l.text);
    EXPECT_EQ(label->CurrentColor(), QColor(128, 128, 128));
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(2, 2), QPointF(2, 2), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(label, &press);
    EXPECT_TRUE(LogMirrorContains(std::string("> MouseOver #") + l.name)) << l.name;
  }
  EXPECT_EQ(urls, (std::vector<std::string>{kCloverSource, kCloverForum, kCloverWiki}));
  EXPECT_TRUE(urls[0].ends_with("/CloverHackyColor/CloverBootloader"));
  EXPECT_TRUE(urls[1].ends_with("/threads/clover.42089/"));
  EXPECT_TRUE(urls[2].ends_with("/Home"));

  EXPECT_EQ(about.findChild<QLabel*>("Text_About")->geometry(), QRect(210, 15, 125, 75));
  EXPECT_EQ(about.findChild<QLabel*>("Text_Intro")->geometry(), QRect(190, 115, 175, 70));
  EXPECT_EQ(about.findChild<QGroupBox*>("Frame_HowTo")->geometry(), QRect(5, 185, 390, 180));
  EXPECT_EQ(about.findChild<QLabel*>("Text_HowTo")->geometry(), QRect(30, 200, 360, 180));
  auto* ok = about.findChild<QPushButton*>("Button_About_OK");
  EXPECT_EQ(ok->geometry(), QRect(108, 374, 183, 20));
  EXPECT_EQ(ok->text(), "OK");

  for (QLabel* label : about.findChildren<QLabel*>()) {
    if (label->pixmap().isNull()) {
      EXPECT_TRUE(LabelTextFits(label)) << label->objectName().toStdString();
    }
  }

  const QStringList lines = AboutHowToText().split(QStringLiteral("\r\n"));
  ASSERT_EQ(lines.size(), 12);
  EXPECT_EQ(lines[0], "\tHOW-TO create a Clover Bootable Flash drive");
  EXPECT_EQ(lines[1], "\t\twith MAC OS X Recovery HD:");
  EXPECT_TRUE(lines[2].isEmpty());
  for (int i : {6, 8, 9}) EXPECT_TRUE(lines[i].startsWith("    ") && lines[i][4] != ' ') << i;
  EXPECT_EQ(lines[11], "6. Enjoy :-)");

  main.setEnabled(false);
  about.show();
  ok->click();
  EXPECT_FALSE(about.isVisible());
  EXPECT_TRUE(main.isEnabled()) << "closing the About window enables the main window";
  SetLogMirror(false);
}

TEST(AboutWindowTest, MenuOpensOneAboutWindowWithoutDisablingTheMain) {
  GuiActions a;
  MainWindow w(a);
  w.findChild<QAction*>("Menu_About")->trigger();
  QPointer<AboutWindow> first = w.About();
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->isVisible());
  EXPECT_TRUE(w.isEnabled());
  w.findChild<QAction*>("Menu_About")->trigger();
  EXPECT_EQ(w.About(), first.data());
  first->close();
  QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(first.isNull()) << "the closed About window is gone";
}

// --- separate processes ---

struct Proc {
  pid_t pid = -1;
  ~Proc() {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
};

// Starts the helper in dir with stdout to dir/out.txt.
pid_t StartHelper(const std::string& dir, const std::vector<std::string>& args, const std::string& runtimeDir,
                  const std::string& exitMs, const char* program = FK_GUI_HELPER,
                  const std::vector<std::string>& extraEnv = {}) {
  std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + runtimeDir,
                                  "FK_HELPER_EXIT_MS=" + exitMs, "FLASHKEEL_HOME=" + dir,
                                  "PATH=/usr/bin:/bin", "HOME=" + dir};
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  std::vector<std::string> argv = {program};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> av, ev;
  for (auto& s : argv) av.push_back(s.data());
  av.push_back(nullptr);
  for (auto& s : env) ev.push_back(s.data());
  ev.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  const std::string out = dir + "/out.txt";
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, av[0], &fa, nullptr, av.data(), ev.data());
  posix_spawn_file_actions_destroy(&fa);
  return rc == 0 ? pid : -1;
}

int WaitExit(pid_t pid, int seconds) {
  for (int i = 0; i < seconds * 20; ++i) {
    int st = 0;
    if (::waitpid(pid, &st, WNOHANG) == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return -1;
}

bool WaitForFile(const std::string& path, int seconds) {
  for (int i = 0; i < seconds * 20; ++i) {
    if (std::filesystem::exists(path)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

TEST(ProcessTest, SecondStartShowsTheMessageAndTouchesNothing) {
  TempDir runtime("fkrt"), first("fkfirst"), second("fksecond");
  Proc a;
  a.pid = StartHelper(first.path(), {}, runtime.path(), "60000");
  ASSERT_GT(a.pid, 0);
  ASSERT_TRUE(WaitForFile(first / "FKLDebug.log", 30)) << "the first copy did not start";

  WriteFileBytes(second / "flashkeel.ini", "old settings\r\n");
  WriteFileBytes(second / "FKLDebug.log", "old log\r\n");
  Proc b;
  b.pid = StartHelper(second.path(), {}, runtime.path(), "60000");
  ASSERT_GT(b.pid, 0);
  const int rc = WaitExit(b.pid, 30);
  b.pid = -1;
  EXPECT_EQ(rc, 0);
  const std::string out = ReadFileBytes(second / "out.txt");
  EXPECT_EQ(out, "HANDLER\nBOX|fk_gui_helper|Программа уже запущена.\n");
  EXPECT_EQ(ReadFileBytes(second / "flashkeel.ini"), "old settings\r\n");
  EXPECT_EQ(ReadFileBytes(second / "FKLDebug.log"), "old log\r\n");

  EXPECT_EQ(WaitExit(a.pid, 1), -1) << "the first copy is still running";

  // The error-report viewer is a separate process of the same program: it is
  // not refused while the program runs, and it installs no error handler.
  TempDir third("fkcrash");
  WriteFileBytes(third / "report.txt", "A program error was detected:\r\rError Code:\t-1073741819");
  Proc c;
  c.pid = StartHelper(third.path(), {"--show-crash-report", third / "report.txt"}, runtime.path(), "60000");
  ASSERT_GT(c.pid, 0);
  EXPECT_EQ(WaitExit(c.pid, 30), 0);
  c.pid = -1;
  EXPECT_EQ(ReadFileBytes(third / "out.txt"),
            "BOX|OnError Info <fk_gui_helper>|A program error was detected:\r\rError Code:\t-1073741819\n");
  EXPECT_FALSE(std::filesystem::exists(third / "flashkeel.ini")) << "the viewer does not start the program";
}

// The real program's refusal box: a termination signal (a logout, a kill)
// still ends the second copy while the box waits for an answer.
TEST(ProcessTest, SecondStartEndsOnTerminationSignalWhileItsBoxIsOpen) {
  TempDir runtime("fkrt"), dir("fksig");
  SingleInstance first("flashkeel", runtime.path());
  ASSERT_TRUE(first.IsFirst());
  Proc b;
  b.pid = StartHelper(dir.path(), {}, runtime.path(), "0", FK_GUI_PROGRAM);
  ASSERT_GT(b.pid, 0);
  // Time to reach the box (the handlers are installed before it).
  EXPECT_EQ(WaitExit(b.pid, 3), -1) << "the second copy ended without waiting at its box";
  ::kill(b.pid, SIGTERM);
  const int rc = WaitExit(b.pid, 20);
  if (rc != -1) b.pid = -1;
  EXPECT_EQ(rc, 0) << "the second copy did not end on SIGTERM";
  EXPECT_FALSE(std::filesystem::exists(dir / "flashkeel.ini"));
}

// A termination signal while an operation waits on a program that ignores
// the cancel: the exit waits for it; a second signal ends that program, and
// the exit still saves the settings.
TEST(ProcessTest, SecondTerminationSignalEndsAStuckProgramAndStillSaves) {
  TempDir runtime("fkrt"), dir("fkstuck");
  const std::string pidFile = dir / "child.pid";
  Proc a;
  a.pid = StartHelper(dir.path(), {}, runtime.path(), "600000", FK_GUI_HELPER, {"FK_HELPER_STUCK_CHILD=" + pidFile});
  ASSERT_GT(a.pid, 0);
  ASSERT_TRUE(WaitForFile(pidFile, 30)) << ReadFileBytes(dir / "out.txt");
  std::string child;
  for (int i = 0; i < 100 && child.empty(); ++i) {
    child = ReadFileBytes(pidFile);
    while (!child.empty() && child.back() == '\n') child.pop_back();
    if (child.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_FALSE(child.empty());
  ::kill(a.pid, SIGTERM);
  EXPECT_EQ(WaitExit(a.pid, 2), -1) << "the exit did not wait for the operation";
  ::kill(a.pid, SIGTERM);
  const int rc = WaitExit(a.pid, 15);
  if (rc != -1) a.pid = -1;
  EXPECT_EQ(rc, 0);
  EXPECT_NE(::kill(std::stoi(child), 0), 0) << "the stuck program still runs";
  EXPECT_EQ(ReadFileBytes(dir / "flashkeel.ini"), "loaded\nsaved\n");
}

TEST(ProcessTest, NormalRunLoadsAndSavesSettingsAndLogsDirectories) {
  TempDir runtime("fkrt"), dir("fkrun");
  Proc a;
  a.pid = StartHelper(dir.path(), {}, runtime.path(), "300");
  ASSERT_GT(a.pid, 0);
  EXPECT_EQ(WaitExit(a.pid, 30), 0);
  a.pid = -1;
  EXPECT_EQ(ReadFileBytes(dir / "flashkeel.ini"), "loaded\nsaved\n");
  const std::string log = ReadFileBytes(dir / "FKLDebug.log");
  EXPECT_NE(log.find("> SystemDirectory: /\r\n"), std::string::npos);
  EXPECT_NE(log.find("> SysNativeDirectory: /\r\n"), std::string::npos);
  EXPECT_NE(log.find("> WinID = 0 DesktopWidth = "), std::string::npos);
  EXPECT_NE(log.find("> Warning: Could not set 'Format Disk' prompt auto-close"), std::string::npos);
}

}  // namespace
}  // namespace fk::gui

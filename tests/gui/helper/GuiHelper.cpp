// The GUI program with recording operations, for tests that need separate
// processes: message boxes are printed instead of shown ("BOX|title|text"),
// "settings" are lines appended to ./flashkeel.ini and the log is
// ./FKLDebug.log. FK_HELPER_EXIT_MS ends the program after that time;
// "--screenshot FILE" fills a sample drive tree, saves the window to FILE and
// ends; FK_HELPER_EXIT_ON_PAINT prints "PAINTED" at the first paint of the
// main window and ends. FK_HELPER_STUCK_CHILD=FILE starts an operation whose
// program ignores the cancel (its pid goes to FILE), and the exit waits for
// the operations as the program's does.
#include <QApplication>
#include <QFile>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Runner.h"
#include "app/Settings.h"
#include "app/Ui.h"
#include "gui/GuiApp.h"
#include "platform/Process.h"

namespace {

QWidget* MainWindowWidget() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->objectName() == QLatin1String("Window_Main")) return w;
  return nullptr;
}

// Reports the first paint of the watched widget and ends the program.
class PaintWatch : public QObject {
 public:
  bool eventFilter(QObject* o, QEvent* e) override {
    if (e->type() == QEvent::Paint && !seen_) {
      seen_ = true;
      std::printf("PAINTED\n");
      std::fflush(stdout);
      fk::ExitRequested = 1;
    }
    return QObject::eventFilter(o, e);
  }

 private:
  bool seen_ = false;
};

void Append(const char* file, const std::string& line) {
  std::ofstream(file, std::ios::app) << line << "\n";
}

void SampleTree() {
  fk::GetUi().SetTreeLines({
      {0, "USB: SanDisk Cruzer Blade 14.4 GB (/dev/sdb1 /dev/sdb2)", 5},
      {1, "Part1: 200.0 MB FAT32 Act <CLOVER> /dev/sdb1", 6},
      {1, "Part2: 14.2 GB HFS+ <Recovery HD> /dev/sdb2", 6},
      {0, "File: disk.img 2.0 GB (disk.img@@1048576)", 5},
      {1, "Part1: 2.0 GB exFAT <NONAME> disk.img@@1048576", 6},
  });
  fk::GetUi().SelectTreeLine(0);
  fk::GetUi().DrawProgress("Select the USB Flash Drive, please", 0);
}

}  // namespace

int main(int argc, char** argv) {
  std::string screenshot;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::string(argv[i]) == "--screenshot") screenshot = argv[i + 1];

  fk::gui::GuiActions a;
  a.installErrorHandler = [] { std::printf("HANDLER\n"); };
  a.messageBox = [](const std::string& title, const std::string& text, fk::MsgButtons, fk::MsgIcon) {
    std::printf("BOX|%s|%s\n", title.c_str(), text.c_str());
    std::fflush(stdout);
    return fk::MsgAnswer::Ok;
  };
  a.loadSettings = [] {
    Append("flashkeel.ini", "loaded");
    fk::OpenLog("FKLDebug.log");
  };
  a.saveSettings = [] { Append("flashkeel.ini", "saved"); };
  a.updateAllDrives = [&] {
    if (!screenshot.empty()) SampleTree();
  };
  PaintWatch watch;
  a.startupCloverCheck = [&] {
    if (std::getenv("FK_HELPER_EXIT_ON_PAINT")) {
      if (QWidget* w = MainWindowWidget()) w->findChild<QWidget*>("Canvas_Progress")->installEventFilter(&watch);
    }
    if (const char* ms = std::getenv("FK_HELPER_EXIT_MS"))
      QTimer::singleShot(std::atoi(ms), [] { fk::ExitRequested = 1; });
  };
  if (const char* pidFile = std::getenv("FK_HELPER_STUCK_CHILD")) {
    a.finishWorkers = [](int ms) {
      return fk::GetRunner().CancelAndJoinAll(ms, [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 20); });
    };
    a.afterStart = [file = std::string(pidFile)] {
      fk::GetRunner().Start(
          fk::OpKind::Format,
          [file](fk::OpContext&) {
            fk::ProcessRequest req;
            req.argv = {"/bin/sh", "-c", "echo $$ > '" + file + "'; exec sleep 120"};
            const fk::ProcessResult r = fk::RunProcess(req);
            return r.exitCode == 0 ? fk::OpResult::Done() : fk::OpResult::Failed("stopped");
          },
          fk::Cfg());
    };
  }
  if (!screenshot.empty()) {
    a.startBackup = a.startRecover = [] { return false; };
    a.startFormat = [](int) { return false; };
    a.eject = a.openDownloadCenter = a.openConfiguration = [] {};
    a.startExtractHFSFromDMG = [] { return false; };
    a.hfsDriversInstalled = [] { return false; };
    a.installHFS = a.uninstallHFS = [] {};
    a.findCloverLocalDistr = [&] {
      QTimer::singleShot(400, [&] {
        if (QWidget* w = MainWindowWidget()) w->grab().save(QString::fromStdString(screenshot));
        fk::ExitRequested = 1;
      });
    };
  }
  return fk::gui::GuiMain(argc, argv, a);
}

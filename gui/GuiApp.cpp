#include "gui/GuiApp.h"

#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Runner.h"
#include "app/Settings.h"
#include "gui/GuiIcons.h"
#include "gui/GuiUi.h"
#include "gui/MainWindow.h"
#include "gui/WindowUtil.h"
#include "platform/Process.h"

namespace fk::gui {

GuiApp::GuiApp(GuiActions& actions) : actions_(actions) {}

GuiApp::~GuiApp() {
  GetRunner().SetObserver(nullptr);
  GetRunner().SetSettingsApplier(nullptr);
  if (ui_) ui_->SetWindow(nullptr);
}

// The window follows the runner's state, and a settings change an operation
// hands back is made to the saved settings, both on the GUI thread.
void GuiApp::ObserveRunner() {
  std::weak_ptr<GuiUi> weak = ui_;
  QPointer<MainWindow> window = window_.get();
  GetRunner().SetObserver([weak, window](OpKind kind, OpState state, const OpResult*) {
    if (auto ui = weak.lock())
      ui->Post([window, kind, state] {
        if (window) window->OnRunnerState(kind, state);
      });
  });
  GetRunner().SetSettingsApplier([weak](std::function<void(Settings&)> change) {
    if (auto ui = weak.lock())
      ui->Post([change = std::move(change)] { change(SavedSettings()); });
    else
      Log("> Settings change of an operation not kept (the window is gone)");
  });
}

GuiApp::StartResult GuiApp::Start() {
  const std::string& name = Paths().ProgramName;
  lock_ = std::make_unique<SingleInstance>(name);
  if (!lock_->IsFirst()) {
    const std::string text = "Программа уже запущена.";
    if (actions_.messageBox) {
      actions_.messageBox(name, text, MsgButtons::Ok, MsgIcon::Warning);
    } else {
      // The termination signals only set ExitRequested; while this box waits
      // for an answer, that is looked at every 100 ms so that a signal still
      // ends this copy.
      QTimer watch;
      QObject::connect(&watch, &QTimer::timeout, [] {
        if (ExitRequested.load() != 1) return;
        if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
      });
      watch.start(100);
      QtMessageBox(nullptr, name, text, MsgButtons::Ok, MsgIcon::Warning);
    }
    lock_.reset();
    return StartResult::SecondInstance;
  }

  ui_ = std::make_shared<GuiUi>();
  SetUi(ui_);

  if (actions_.loadSettings) actions_.loadSettings();
  Log("> SystemDirectory: " + Paths().SystemDirectory);
  Log("> SysNativeDirectory: " + Paths().SysNativeDirectory);
  if (actions_.loadAdditionalDLList) actions_.loadAdditionalDLList();
  if (actions_.setAutoRunPolicy) actions_.setAutoRunPolicy();

  (void)IconPixmap(0);  // draws the seven icons
  window_ = std::make_unique<MainWindow>(actions_);
  QApplication::setWindowIcon(ApplicationIcon());
  KeepWindowOnDesktop(window_.get(), 0);
  ui_->SetWindow(window_.get());
  ObserveRunner();
  window_->show();
  if (actions_.startDeviceEvents) {
    std::weak_ptr<GuiUi> ui = ui_;
    actions_.startDeviceEvents([ui](int event) {
      if (auto u = ui.lock()) u->PostEvent(event);
    });
  }

  if (actions_.updateAllDrives) actions_.updateAllDrives();
  if (actions_.findCloverLocalDistr) actions_.findCloverLocalDistr();
  if (actions_.startupCloverCheck) actions_.startupCloverCheck();
  if (!actions_.setFormatPromptHook || !actions_.setFormatPromptHook())
    Log("> Warning: Could not set 'Format Disk' prompt auto-close");
  if (actions_.afterStart) actions_.afterStart();
  return StartResult::Running;
}

void GuiApp::Run() {
  if (window_ && ExitRequested.load() != 1) {
    QEventLoop loop;
    QObject::connect(window_.get(), &MainWindow::loopEnded, &loop, &QEventLoop::quit);
    loop.exec();
  }
  ExitSequence();
}

void GuiApp::ExitSequence() {
  if (actions_.stopDeviceEvents) actions_.stopDeviceEvents();
  // What still runs is cancelled and joined before its temporary files go
  // and the settings are saved.
  if (actions_.finishWorkers && !actions_.finishWorkers(kWorkerExitWaitMs))
    Log("> Exit: an operation did not end in time");
  if (actions_.deleteTempWorkDir) actions_.deleteTempWorkDir();
  if (actions_.clrFormatPromptHook) actions_.clrFormatPromptHook();
  if (window_ && actions_.storeWindowPosition) actions_.storeWindowPosition(window_->x(), window_->y());
  if (actions_.saveSettings) actions_.saveSettings();
  if (actions_.writeExampleUserDL) actions_.writeExampleUserDL();
  if (actions_.restoreAutoRunPolicy) actions_.restoreAutoRunPolicy();
  if (window_) window_->hide();
  CloseLog();
}

int ShowCrashReport(const QString& file, GuiActions& actions) {
  QFile f(file);
  if (!f.open(QIODevice::ReadOnly)) {
    std::fprintf(stderr, "%s: cannot read the error report %s\n", Paths().ProgramName.c_str(),
                 file.toLocal8Bit().constData());
    return 0;
  }
  const std::string text = f.readAll().toStdString();
  const std::string title = "OnError Info <" + Paths().ProgramName + ">";
  if (actions.messageBox) {
    actions.messageBox(title, text, MsgButtons::Ok, MsgIcon::None);
  } else {
    QtMessageBox(nullptr, title, text, MsgButtons::Ok, MsgIcon::None);
  }
  return 0;
}

namespace {
std::atomic<int> g_terminationSignals{0};

extern "C" void OnTerminationSignal(int) {
  ExitRequested.store(1);
  // A second request hurries: the programs a run started are ended, so the
  // exit's cancel and join cannot wait on a hanging one; cleanup still runs.
  if (g_terminationSignals.fetch_add(1) > 0) StopAllChildren();
}

// A termination request from the session or a terminal ends the main loop
// (which wakes every 100 ms), so settings and the AutoRun value are put back.
void HandleTerminationSignals() {
  struct sigaction sa {};
  sa.sa_handler = OnTerminationSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(sig, &sa, nullptr);
}

std::string ExecutablePath(const char* argv0) {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(argv0 ? argv0 : "flashkeel") : p.string();
}
}  // namespace

int GuiMain(int argc, char** argv, GuiActions& actions) {
  // The report viewer runs without the error handler, so that a viewer that
  // fails cannot start another viewer.
  const bool viewer = argc >= 3 && std::string(argv[1]) == kShowCrashReportArg;
  if (!viewer && actions.installErrorHandler) actions.installErrorHandler();
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("flashkeel"));
  QGuiApplication::setDesktopFileName(QStringLiteral("flashkeel"));
  InitProgramPaths(ExecutablePath(argc > 0 ? argv[0] : nullptr));
  ResetSharedFlags();
  if (viewer) return ShowCrashReport(QString::fromLocal8Bit(argv[2]), actions);

  SetPauseFunction(&GuiUi::GuiPause);
  HandleTerminationSignals();
  bool workersMayRun = false;
  {
    GuiApp gui(actions);
    if (gui.Start() == GuiApp::StartResult::SecondInstance) return 0;
    gui.Run();
    workersMayRun = GetRunner().AnyRunning();
    if (workersMayRun) {
      // An operation that did not end when cancelled ends with the process.
      std::fflush(nullptr);
      ::_exit(0);
    }
  }
  SetPauseFunction(nullptr);
  SetUi(nullptr);
  return 0;
}

}  // namespace fk::gui

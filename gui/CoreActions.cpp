#include "gui/CoreActions.h"

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "app/AppState.h"
#include "app/ErrorHandler.h"
#include "app/Log.h"
#include "app/Registry.h"
#include "app/Runner.h"
#include "app/Settings.h"
#include "app/Utilities.h"
#include "gui/ConfigWindow.h"
#include "gui/GuiApp.h"
#include "disk/Backup.h"
#include "disk/DeviceEvents.h"
#include "disk/DiskList.h"
#include "disk/RawDisk.h"
#include "disk/Restore.h"
#include "format/CloverDataSet.h"
#include "format/FormatService.h"
#include "format/FormatThread.h"
#include "app/Runner.h"
#include "net/CloverRelease.h"
#include "net/AdditionalDownloads.h"
#include "net/Http.h"
#include "net/RecoveryHD.h"
#include "net/SuCatalog.h"

namespace fk::gui {

namespace {

constexpr const char* kAutoRunValue = "NoDriveTypeAutoRun";

std::string SelfExecutable() {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : p.string();
}

void SaveScreenshot(const std::string& file) {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w->objectName() != QLatin1String("Window_Main")) continue;
    if (w->grab().save(QString::fromStdString(file)))
      Log("> Screenshot saved to " + file);
    else
      Log("> Screenshot: cannot write " + file);
  }
  ExitRequested = 1;
}

}  // namespace

struct CoreRuntime::Worker {
  std::string name;
  bool usesDriveList = false;
  std::atomic<bool> done{false};
  std::thread thread;
};

CoreRuntime::CoreRuntime(Options options)
    : options_(std::move(options)), timerContext_(std::make_unique<QObject>()) {
  // Settings changes of operations (a checked Clover revision) are applied on
  // the GUI thread to the settings the exit sequence saves.
  QObject* context = timerContext_.get();
  GetRunner().SetSettingsApplier([context](std::function<void(Settings&)> change) {
    QMetaObject::invokeMethod(context, [change = std::move(change)] { change(SavedSettings()); },
                              Qt::QueuedConnection);
  });
}

CoreRuntime::~CoreRuntime() {
  GetRunner().SetSettingsApplier(nullptr);
  timerContext_.reset();
  StopDeviceEvents();
  std::lock_guard lock(mutex_);
  for (auto& w : workers_)
    if (w->thread.joinable()) w->thread.join();
  workers_.clear();
}

bool CoreRuntime::StartWorker(const std::string& name, std::function<void()> fn, bool usesDriveList) {
  std::lock_guard lock(mutex_);
  ReapLocked();
  auto w = std::make_unique<Worker>();
  w->name = name;
  w->usesDriveList = usesDriveList;
  Worker* raw = w.get();
  // A worker that rebuilds the drive list clears format_op_in_progress before
  // its last step (the rebuild), so the next operation can be started while
  // that step still runs. The new worker first waits for the previous one, so
  // the list and the selected disk are never changed by two workers at once.
  std::shared_future<void> previous;
  std::shared_ptr<std::promise<void>> listDone;
  if (usesDriveList) {
    previous = driveListDone_;
    listDone = std::make_shared<std::promise<void>>();
  }
  try {
    w->thread = std::thread([raw, fn = std::move(fn), previous, listDone] {
      ThreadErrorStack stack;
      if (previous.valid()) previous.wait();
      fn();
      if (listDone) listDone->set_value();
      raw->done.store(true);
    });
  } catch (const std::system_error& e) {
    Log("> Error: cannot start the thread " + name + ": " + e.what());
    return false;
  }
  if (listDone) driveListDone_ = listDone->get_future().share();
  workers_.push_back(std::move(w));
  return true;
}

void CoreRuntime::ReapLocked() {
  for (auto it = workers_.begin(); it != workers_.end();) {
    if ((*it)->done.load()) {
      (*it)->thread.join();
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
}

bool CoreRuntime::WorkersRunning() {
  std::lock_guard lock(mutex_);
  ReapLocked();
  return !workers_.empty();
}

bool CoreRuntime::DriveListWorkerAlive() {
  std::lock_guard lock(mutex_);
  ReapLocked();
  for (const auto& w : workers_)
    if (w->usesDriveList) return true;
  return false;
}

void CoreRuntime::UpdateDrives() {
  if (!DriveListWorkerAlive()) {
    updatePending_ = false;
    UpdateAllDrives();
    return;
  }
  if (updatePending_) return;
  updatePending_ = true;
  Log("> UpdateAllDrives waits for the running operation to end");
  QTimer::singleShot(100, timerContext_.get(), [this] { RetryUpdate(); });
}

void CoreRuntime::RetryUpdate() {
  if (DriveListWorkerAlive()) {
    QTimer::singleShot(100, timerContext_.get(), [this] { RetryUpdate(); });
    return;
  }
  updatePending_ = false;
  // The ending worker has rebuilt the list itself and selected its disk's
  // line again (a format keeps the formatted disk selected); the waiting
  // update keeps that line instead of falling back to the first one.
  RefreshDrives();
}

bool CoreRuntime::FinishWorkers(int timeoutMs) {
  QElapsedTimer t;
  t.start();
  for (;;) {
    if (!WorkersRunning()) return true;
    if (t.elapsed() >= timeoutMs) break;
    // A worker may be waiting for the GUI thread (a message box, a control's
    // text), so its calls are answered while it ends.
    if (QCoreApplication::instance())
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::lock_guard lock(mutex_);
  for (auto& w : workers_) Log("> Exit: the thread " + w->name + " is still running");
  return false;
}

void CoreRuntime::SetAutoRunPolicy() {
  if (!Reg_KeyExists(KeyExplorerPolicies)) Reg_CreateKey(KeyExplorerPolicies);
  if (Reg_ValueExists(KeyExplorerPolicies, kAutoRunValue)) {
    origNoDriveTypeAutoRun_ = Reg_GetValue(KeyExplorerPolicies, kAutoRunValue);
    Log("> OrigNoDriveTypeAutoRun$=" + origNoDriveTypeAutoRun_);
    if (!Reg_SetValue(KeyExplorerPolicies, kAutoRunValue, "255", REG_DWORD))
      Log("> Error: cannot set " + std::string(kAutoRunValue));
  } else {
    origNoDriveTypeAutoRun_.clear();
    if (!Reg_CreateValue(KeyExplorerPolicies, kAutoRunValue, "255", REG_DWORD))
      Log("> Error: cannot create " + std::string(kAutoRunValue));
  }
  Log("> Set OrigNoDriveTypeAutoRun$ to " + Reg_GetValue(KeyExplorerPolicies, kAutoRunValue));
}

void CoreRuntime::RestoreAutoRunPolicy() {
  if (Reg_GetValue(KeyExplorerPolicies, kAutoRunValue) != origNoDriveTypeAutoRun_) {
    Log("> Set NoDriveTypeAutoRun$ to OrigNoDriveTypeAutoRun$=" + origNoDriveTypeAutoRun_);
    if (origNoDriveTypeAutoRun_.empty()) {
      // The value did not exist before: removing it brings back the default
      // policy, where writing 0 would switch AutoRun on for every drive type.
      Reg_DeleteValue(KeyExplorerPolicies, kAutoRunValue);
    } else if (!Reg_SetValue(KeyExplorerPolicies, kAutoRunValue, origNoDriveTypeAutoRun_, REG_DWORD)) {
      Log("> Error: cannot restore " + std::string(kAutoRunValue));
    }
  }
  Log("> NoDriveTypeAutoRun$=" + Reg_GetValue(KeyExplorerPolicies, kAutoRunValue));
}

void CoreRuntime::StartDeviceEvents(std::function<void(int event)> post) {
  SetDeviceEventPoster(std::move(post));
  if (!monitor_) monitor_ = StartDeviceEventMonitor();
  if (!monitor_) Log("> Device changes are not watched; use Refresh after plugging a disk in");
}

void CoreRuntime::StopDeviceEvents() {
  monitor_.reset();  // joins the monitor's thread
  SetDeviceEventPoster(nullptr);
}

void CoreRuntime::StartLocalArchiveSearch() {
  auto done = std::make_shared<std::promise<void>>();
  searchDone_ = done->get_future().share();
  if (!StartWorker("FindCloverLocalDistr", [done] {
        FindCloverLocalDistr();
        done->set_value();
      }))
    done->set_value();
}

GuiActions CoreRuntime::Actions() {
  GuiActions a;
  a.installErrorHandler = [] {
    InstallErrorHandler();
    const std::string self = SelfExecutable();
    if (!self.empty()) SetCrashViewer({self, kShowCrashReportArg});
  };
  a.loadSettings = [this] {
    InstallCatalogListHooks();
    LoadSetting();
    SetResumeMaxAttemptsSetting(Cfg().iResumeMaxAttemptsNumber);
    SetEnableFixedDisksSource([] { return Cfg().EnableFixedDisks == 1; });
    for (const std::string& image : options_.imageDisks)
      if (!AddImageDisk(image)) Log("> Cannot list the disk image " + image);
  };
  a.windowPosition = [] { return std::pair<int, int>{Cfg().WinX, Cfg().WinY}; };
  a.storeWindowPosition = [](int x, int y) {
    Cfg().WinX = x;
    Cfg().WinY = y;
  };
  a.saveSettings = [] {
    if (!SaveSetting()) Log("> Error: the settings were not saved");
  };
  a.loadAdditionalDLList = [] { LoadAdditionalDLList(UserDLPath(), 1); };
  a.writeExampleUserDL = [] { CreateUserDLExample(UserDLPath()); };
  a.setAutoRunPolicy = [this] { SetAutoRunPolicy(); };
  a.restoreAutoRunPolicy = [this] { RestoreAutoRunPolicy(); };
  a.findCloverLocalDistr = [this] { StartLocalArchiveSearch(); };
  a.startupCloverCheck = [] {
    if (Cfg().CheckLatestCloverAtStartup != 0) {
      StartThread(1);
    } else if (const int rev = std::atoi(Cfg().CloverLastRev.c_str()); rev > 0) {
      Cfg().CloverRevList.push_back(rev);
    }
  };
  a.setFormatPromptHook = [] { return SetFormatPromptHook() != 0; };
  a.clrFormatPromptHook = [] { ClrFormatPromptHook(); };
  a.deleteTempWorkDir = [] { DeleteTempWorkDir(); };
  a.startDeviceEvents = [this](std::function<void(int)> post) { StartDeviceEvents(std::move(post)); };
  a.stopDeviceEvents = [this] { StopDeviceEvents(); };
  a.finishWorkers = [this](int ms) { return FinishWorkers(ms); };
  if (!options_.screenshot.empty()) {
    a.afterStart = [file = options_.screenshot] {
      QTimer::singleShot(600, [file] { SaveScreenshot(file); });
    };
  }

  a.bootRecords = [] { return Cfg().Boot_records; };
  a.installDataSet = [] { return Cfg().InstallDataSet; };
  a.cloverLastRev = [] { return Cfg().CloverLastRev; };

  a.updateAllDrives = [this] { UpdateDrives(); };
  a.startFormat = [this](int installFull) {
    std::shared_future<void> search = searchDone_;
    return StartWorker("FormatThread", [installFull, search] {
      if (search.valid()) search.wait();
      FormatThread(installFull);
    }, true);
  };
  a.startBackup = [this] { return StartWorker("BackUp", [] { BackUp(1); }, true); };
  a.startRecover = [this] { return StartWorker("Recover", [] { Recover(1); }, true); };
  a.startExtractHFSFromDMG = [] {
    return GetRunner().Start(OpKind::DmgExtract, [](OpContext&) { return ExtractHFSFromDMG(); }, Cfg()) ==
           Runner::StartStatus::Started;
  };
  a.openConfiguration = [this] {
    ConfigHooks hooks = DefaultConfigHooks();
    hooks.updateAllDrives = [this] { UpdateDrives(); };
    OpenConfigWindow(FindMainWindow(), std::move(hooks));
  };
  a.eject = [this] {
    // The ending operation is still rebuilding the drive list that the
    // selected disk is looked up in.
    if (DriveListWorkerAlive()) {
      Log("> Eject: the running operation is still ending; press Eject again");
      return;
    }
    if (!EjectDrive()) Log("> Eject: the drive was not ejected");
  };
  return a;
}

}  // namespace fk::gui

#include "gui/CoreActions.h"

#include <QApplication>
#include <QCoreApplication>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <thread>

#include "app/AppState.h"
#include "app/ErrorHandler.h"
#include "app/Log.h"
#include "app/Registry.h"
#include "app/Runner.h"
#include "app/Settings.h"
#include "app/Utilities.h"
#include "gui/ConfigWindow.h"
#include "gui/DownloadCenterWindow.h"
#include "gui/GuiApp.h"
#include "disk/DeviceEvents.h"
#include "disk/DiskList.h"
#include "disk/DiskOperations.h"
#include "format/CloverDataSet.h"
#include "format/FormatService.h"
#include "format/FormatThread.h"
#include "format/HfsDrivers.h"
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


CoreRuntime::CoreRuntime(Options options)
    : options_(std::move(options)), timerContext_(std::make_unique<QObject>()) {
  GetRunner().Reopen();  // after an earlier front end's exit
}

CoreRuntime::~CoreRuntime() {
  timerContext_.reset();
  StopDeviceEvents();
  GetRunner().JoinAll();
}

bool CoreRuntime::StartOperation(OpKind kind, Runner::Work work) {
  return GetRunner().Start(kind, std::move(work), SavedSettings()) == Runner::StartStatus::Started;
}

bool CoreRuntime::WorkersRunning() { return GetRunner().AnyRunning(); }

void CoreRuntime::UpdateDrives() {
  if (!GetRunner().LongOperationRunning()) {
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
  if (GetRunner().LongOperationRunning()) {
    QTimer::singleShot(100, timerContext_.get(), [this] { RetryUpdate(); });
    return;
  }
  updatePending_ = false;
  // The ending operation has rebuilt the list itself and selected its disk's
  // line again (a format keeps the formatted disk selected); the waiting
  // update keeps that line instead of falling back to the first one.
  RefreshDrives();
}

bool CoreRuntime::FinishWorkers(int timeoutMs) {
  // An operation may be waiting for the GUI thread (a message box, the
  // progress line), so its calls are answered while it ends.
  return GetRunner().CancelAndJoinAll(timeoutMs, [] {
    if (QCoreApplication::instance()) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  });
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
  a.findCloverLocalDistr = [this] { StartOperation(OpKind::LocalArchiveSearch, LocalArchiveSearchOperation); };
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
    return StartOperation(OpKind::Format, [installFull](OpContext& op) {
      // The format reads the list of local archives the search fills.
      while (GetRunner().Running(OpKind::LocalArchiveSearch) && !op.Cancelled())
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      return FormatOperation(op, installFull);
    });
  };
  a.startBackup = [this] { return StartOperation(OpKind::Backup, BackupOperation); };
  a.startRecover = [this] { return StartOperation(OpKind::Restore, RestoreOperation); };
  a.startExtractHFSFromDMG = [this] {
    return StartOperation(OpKind::DmgExtract, [](OpContext&) { return ExtractHFSFromDMG(); });
  };
  a.openConfiguration = [this] {
    ConfigHooks hooks = DefaultConfigHooks();
    hooks.updateAllDrives = [this] { UpdateDrives(); };
    OpenConfigWindow(FindMainWindow(), std::move(hooks));
  };
  a.openDownloadCenter = [] { OpenDownloadCenter(FindMainWindow()); };
  a.eject = [this] { StartOperation(OpKind::Eject, EjectOperation); };
  // The HFS+ read support: quick, but it asks and runs modprobe, so off the GUI thread.
  auto hfs = [this](bool install) {
    StartOperation(OpKind::HfsDriverInstall, [install](OpContext&) {
      const int ok = install ? InstallHFSDrivers() : UnInstallHFSDrivers();
      return ok ? OpResult::Done() : OpResult::Failed("HFS+ drivers");
    });
  };
  a.installHFS = [hfs] { hfs(true); };
  a.uninstallHFS = [hfs] { hfs(false); };
  a.hfsDriversInstalled = [] { return DriverExists() == 1; };
  return a;
}

}  // namespace fk::gui

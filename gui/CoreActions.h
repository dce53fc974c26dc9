// The GUI's operations filled with the core: the start-up and exit steps
// (error handler, settings, AutoRun policy, temporary directory), the drive
// list, device-change monitoring, and the worker threads of the long
// operations (format, backup, restore) and of the local-archive search.
#pragma once

#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gui/Actions.h"

class QObject;

namespace fk {
class DeviceEventMonitor;
}

namespace fk::gui {

class CoreRuntime {
 public:
  struct Options {
    // Disk image files listed as disks (fixed disks, so shown only while the
    // EnableFixedDisks setting is 1).
    std::vector<std::string> imageDisks;
    // Saves a picture of the main window to this file shortly after start-up
    // and ends the program.
    std::string screenshot;
  };

  explicit CoreRuntime(Options options = {});
  // Stops device monitoring and joins every worker thread (waiting for those
  // still running; GuiMain ends the process instead when one may be running).
  ~CoreRuntime();
  CoreRuntime(const CoreRuntime&) = delete;
  CoreRuntime& operator=(const CoreRuntime&) = delete;

  // The table for GuiMain / GuiApp. The functions refer to this object, which
  // must outlive the GUI.
  GuiActions Actions();

  // Starts fn on its own thread (with its own error-report stack). False, with
  // a log line, when the thread cannot be created. usesDriveList: the worker
  // rebuilds the drive list itself (format, backup, restore); it starts its
  // work only once the previous such worker has finished.
  bool StartWorker(const std::string& name, std::function<void()> fn, bool usesDriveList = false);
  // Whether a worker thread has not finished yet.
  bool WorkersRunning();
  // Joins the workers, waiting up to timeoutMs while the calling (GUI)
  // thread's events are processed; false when one is still running.
  bool FinishWorkers(int timeoutMs);

  // UpdateAllDrives on the GUI thread. While a worker that rebuilds the drive
  // list is still alive (it does so as its last step, after it has cleared
  // format_op_in_progress), the update is retried every 100 ms instead, so the
  // list is never rebuilt by two threads at once.
  void UpdateDrives();

  // Remembers the "NoDriveTypeAutoRun" policy value and sets it to 255.
  void SetAutoRunPolicy();
  // Puts the remembered value back; a value that did not exist is removed.
  void RestoreAutoRunPolicy();
  const std::string& OrigNoDriveTypeAutoRun() const { return origNoDriveTypeAutoRun_; }

  void StartDeviceEvents(std::function<void(int event)> post);
  void StopDeviceEvents();

 private:
  struct Worker;
  void ReapLocked();
  bool DriveListWorkerAlive();
  void RetryUpdate();
  void StartLocalArchiveSearch();

  Options options_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Worker>> workers_;
  // Ready once the local-archive search has finished; the format waits for it
  // because it reads the list the search fills.
  std::shared_future<void> searchDone_;
  // Ready once the last started worker that rebuilds the drive list has
  // finished; the next such worker waits for it first.
  std::shared_future<void> driveListDone_;
  std::unique_ptr<DeviceEventMonitor> monitor_;
  std::string origNoDriveTypeAutoRun_;
  bool updatePending_ = false;
  // Owns the retry timers, so none fires after this object is gone.
  std::unique_ptr<QObject> timerContext_;
};

}  // namespace fk::gui

// The GUI's operations filled with the core: the start-up and exit steps
// (error handler, settings, AutoRun policy, temporary directory), the drive
// list, device-change monitoring, and the operations (format, backup,
// restore, eject, the local-archive search) started on the runner.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/Runner.h"
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
  // Stops device monitoring and waits for the operations still running.
  ~CoreRuntime();
  CoreRuntime(const CoreRuntime&) = delete;
  CoreRuntime& operator=(const CoreRuntime&) = delete;

  // The table for GuiMain / GuiApp. The functions refer to this object, which
  // must outlive the GUI.
  GuiActions Actions();

  // Starts work on the process's runner with a copy of the saved settings.
  // False when the runner refused it (it logs why).
  bool StartOperation(OpKind kind, Runner::Work work);
  // Whether an operation has not finished yet.
  bool WorkersRunning();
  // Exit: cancels every operation and joins it, waiting up to timeoutMs
  // while the calling (GUI) thread's events are processed; false when one is
  // still running.
  bool FinishWorkers(int timeoutMs);

  // UpdateAllDrives on the GUI thread. While a long operation runs (it
  // rebuilds the drive list itself as its last step), the update is retried
  // every 100 ms instead, so the list is never rebuilt by two threads at once.
  void UpdateDrives();

  // Remembers the "NoDriveTypeAutoRun" policy value and sets it to 255.
  void SetAutoRunPolicy();
  // Puts the remembered value back; a value that did not exist is removed.
  void RestoreAutoRunPolicy();
  const std::string& OrigNoDriveTypeAutoRun() const { return origNoDriveTypeAutoRun_; }

  void StartDeviceEvents(std::function<void(int event)> post);
  void StopDeviceEvents();

 private:
  void RetryUpdate();

  Options options_;
  std::unique_ptr<DeviceEventMonitor> monitor_;
  std::string origNoDriveTypeAutoRun_;
  bool updatePending_ = false;
  // Owns the retry timers, so none fires after this object is gone.
  std::unique_ptr<QObject> timerContext_;
};

}  // namespace fk::gui

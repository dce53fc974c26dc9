// Start-up, main loop and exit sequence of the GUI program.
#pragma once

#include <QString>
#include <memory>

#include "gui/Actions.h"
#include "platform/SingleInstance.h"

namespace fk::gui {

class GuiUi;
class MainWindow;

class GuiApp {
 public:
  enum class StartResult { Running, SecondInstance };

  // A QApplication must exist; Paths() must be filled.
  explicit GuiApp(GuiActions& actions);
  ~GuiApp();

  // The start-up from the single-instance check to the filled drive tree and
  // the format-prompt hook. SecondInstance: the message was shown and nothing
  // else happened.
  StartResult Start();
  // Runs the main loop until ExitRequested is 1, then the exit sequence,
  // which first cancels and joins the running operations.
  void Run();
  void ExitSequence();

  MainWindow* Window() const { return window_.get(); }
  std::shared_ptr<GuiUi> Ui() const { return ui_; }

 private:
  void ObserveRunner();

  GuiActions& actions_;
  std::unique_ptr<SingleInstance> lock_;
  std::shared_ptr<GuiUi> ui_;
  std::unique_ptr<MainWindow> window_;
};

// Shows a program-error report file in the "OnError Info <name>" box.
int ShowCrashReport(const QString& file, GuiActions& actions);

// The whole program: QApplication, paths, "--show-crash-report FILE", start-up,
// loop and exit. Returns the exit code (always 0); when workers may still run
// it ends the process itself after the exit sequence. SIGTERM, SIGINT and
// SIGHUP end the main loop as the Exit button does, so the exit sequence runs.
int GuiMain(int argc, char** argv, GuiActions& actions);

inline constexpr const char* kShowCrashReportArg = "--show-crash-report";
// How long the exit sequence waits for cancelled operations to end (a
// cancelled backup still pauses 5 s on its last status line).
inline constexpr int kWorkerExitWaitMs = 20000;

}  // namespace fk::gui

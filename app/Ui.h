// The one interface through which core code talks to the user. The GUI and the
// CLI implement it; tests use ScriptedUi. Implementations must accept calls from
// any thread: a GUI posts them to its own thread, and a message box asked for
// by a worker blocks that worker until the user has answered.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace fk {

enum class MsgButtons { Ok, OkCancel, YesNo, YesNoCancel };
enum class MsgIcon { None, Information, Warning, Error, Question };
enum class MsgAnswer { Ok, Cancel, Yes, No };

// Controls of the main window that workers change.
enum class Control {
  Button_Format,
  Button_Backup,
  Button_Restore,
  Button_Eject,
  Button_Refresh,
  Button_Open_DownloadCenter,
  Button_Exit,
  Tree_DestinationDisk,
  Menu_LatestClover,  // the fourth menu title, " Latest Clover: ..."
  Menu_InstallHFSDrivers,
  Menu_UnInstallHFSDrivers,
};

const char* ControlName(Control c);

// One line of the "Destination Disk" tree.
struct TreeLine {
  int level = 0;  // 0 disk, 1 partition
  std::string text;
  int icon = -1;  // icon number, -1 none
  bool operator==(const TreeLine&) const = default;
};

class Ui {
 public:
  virtual ~Ui() = default;

  // Draws the status text and the bar (percent is clamped to 0..100).
  virtual void DrawProgress(const std::string& text, int percent) = 0;
  // Modal message box; returns the button pressed.
  virtual MsgAnswer MessageBox(const std::string& title, const std::string& text, MsgButtons buttons,
                               MsgIcon icon) = 0;
  // File dialogs. pattern uses "Name (*.a)|*.a|All files (*.*)|*.*"; patternIndex
  // is the preselected pair. An empty result means cancelled.
  virtual std::string OpenFileDialog(const std::string& title, const std::string& defaultFile,
                                     const std::string& pattern, int patternIndex) = 0;
  virtual std::string SaveFileDialog(const std::string& title, const std::string& defaultFile,
                                     const std::string& pattern, int patternIndex) = 0;
  virtual std::string PathDialog(const std::string& title, const std::string& initialPath) = 0;

  virtual void SetControlText(Control c, const std::string& text) = 0;
  virtual std::string ControlText(Control c) = 0;
  virtual void SetControlEnabled(Control c, bool enabled) = 0;

  // The drive tree: replaces all lines; selection index -1 is none.
  virtual void SetTreeLines(const std::vector<TreeLine>& lines) = 0;
  virtual int SelectedTreeLine() = 0;
  virtual void SelectTreeLine(int index) = 0;

  // Whether there is a window (or terminal) to show status on.
  virtual bool HasMainWindow() { return true; }

  // Non-virtual helper: when there is a main window and the text is not "",
  // draw it at 0 % and, when this UI pauses for reading, wait the given time
  // on the calling thread.
  void ShowStatus(const std::string& text, int milliseconds);

  // Whether pauses that only let a person read a status are kept. A window
  // needs them (the next text replaces the last); a terminal keeps every
  // line, so the CLI turns them off.
  bool PausesForReading() const { return pausesForReading_.load(); }
  void SetPausesForReading(bool on) { pausesForReading_.store(on); }

 private:
  std::atomic<bool> pausesForReading_{true};
};

// Parses "A (*.a)|*.a|B|*.b" into (name, pattern) pairs.
std::vector<std::pair<std::string, std::string>> SplitDialogPattern(const std::string& pattern);

// The UI the core talks to. Never null: a silent UI that answers Cancel/No is
// installed until a front end sets its own.
Ui& GetUi();
void SetUi(std::shared_ptr<Ui> ui);

// Every designed pause ("wait 2,000 ms") goes through here, so tests can shorten it.
void PauseMs(int milliseconds);
// A pause that only lets a person read the status: skipped when the UI does
// not pause for reading.
void PauseToRead(int milliseconds);
// Replaces the pause; nullptr restores the real sleep.
void SetPauseFunction(std::function<void(int)> fn);

}  // namespace fk

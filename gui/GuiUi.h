// fk::Ui for the GUI. Every call may come from any thread: calls from workers
// are posted to the GUI thread; drawing is queued, while message boxes, dialogs
// and reads block the worker until the GUI thread has the answer. Pauses
// (ShowStatus) run on the calling thread; on the GUI thread they keep painting.
#pragma once

#include <QObject>
#include <QPointer>
#include <atomic>
#include <functional>

#include "app/Ui.h"

class QWidget;

namespace fk::gui {

class MainWindow;

// A modal QMessageBox with the given buttons and icon.
MsgAnswer QtMessageBox(QWidget* parent, const std::string& title, const std::string& text, MsgButtons buttons,
                       MsgIcon icon);

// Converts "Name (*.a)|*.a|All files (*.*)|*.*" into Qt's ";;" filter list and
// the filter at patternIndex.
QString QtFilterList(const std::string& pattern, int patternIndex, QString* selected);

class GuiUi : public QObject, public Ui {
  Q_OBJECT
 public:
  // Must be created on the GUI thread; window may be set later.
  explicit GuiUi(MainWindow* window = nullptr);
  void SetWindow(MainWindow* window) {
    window_ = window;
    hasWindow_ = window != nullptr;
  }

  void DrawProgress(const std::string& text, int percent) override;
  // The full form with height and margins (0 for the defaults).
  void DrawProgressEx(const std::string& text, int percent, int height, int xMargin, int yMargin);
  MsgAnswer MessageBox(const std::string& title, const std::string& text, MsgButtons buttons,
                       MsgIcon icon) override;
  std::string OpenFileDialog(const std::string& title, const std::string& defaultFile, const std::string& pattern,
                             int patternIndex) override;
  std::string SaveFileDialog(const std::string& title, const std::string& defaultFile, const std::string& pattern,
                             int patternIndex) override;
  std::string PathDialog(const std::string& title, const std::string& initialPath) override;
  void SetControlText(Control c, const std::string& text) override;
  std::string ControlText(Control c) override;
  void SetControlEnabled(Control c, bool enabled) override;
  void SetTreeLines(const std::vector<TreeLine>& lines) override;
  int SelectedTreeLine() override;
  void SelectTreeLine(int index) override;
  bool HasMainWindow() override;

  // Posts a custom event (UM_UPDATE_ALL_DRIVES) to the main loop; any thread.
  void PostEvent(int code);
  // Runs fn on the GUI thread: queued from other threads, at once there.
  void Post(std::function<void()> fn) { Run(std::move(fn), false); }

  // The pause used while the GUI runs: a plain sleep on workers, an event loop
  // that paints but takes no input on the GUI thread.
  static void GuiPause(int milliseconds);

 private:
  bool OnGuiThread() const;
  // Runs fn on the GUI thread: directly there, else blocking or queued.
  void Run(std::function<void()> fn, bool wait);

  QPointer<MainWindow> window_;  // used on the GUI thread only
  std::atomic<bool> hasWindow_{false};
};

}  // namespace fk::gui

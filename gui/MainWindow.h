// The main window: the "Destination Disk" tree, the progress bar, the buttons,
// the link label and the menu, and the dispatch of their events.
#pragma once

#include <QEvent>
#include <QMainWindow>
#include <QPointer>
#include <memory>
#include <vector>

#include "app/Runner.h"
#include "app/Ui.h"
#include "gui/AboutWindow.h"
#include "gui/Actions.h"

class QAction;
class QMenu;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class QGroupBox;

namespace fk::gui {

class LinkLabel;
class ProgressCanvas;
class TaskbarProgress;

inline constexpr int kMainWidth = 480;
inline constexpr int kMainHeight = 265;
// The Qt event that carries UM_UPDATE_ALL_DRIVES (Qt event numbers stop at 65535).
inline const QEvent::Type kUpdateAllDrivesEvent = static_cast<QEvent::Type>(QEvent::User + 1);

QString MainWindowTitle();

class MainWindow : public QMainWindow {
  Q_OBJECT
 public:
  explicit MainWindow(GuiActions& actions, QWidget* parent = nullptr);
  ~MainWindow() override;

  // Control access for GuiUi (GUI thread only).
  void SetControlText(Control c, const QString& text);
  QString ControlText(Control c) const;
  void SetControlEnabled(Control c, bool enabled);
  void SetTreeLines(const std::vector<TreeLine>& lines);
  int SelectedTreeLine() const;
  void SelectTreeLine(int index);
  ProgressCanvas* Canvas() const { return canvas_; }
  TaskbarProgress* Taskbar() const { return taskbar_.get(); }
  QWidget* Client() const { return client_; }
  AboutWindow* About() const { return about_; }

  // A long operation's state as the runner reported it (GUI thread): the
  // captions of its button, the tree and the busy cursor follow it.
  void OnRunnerState(OpKind kind, OpState state);

  // Opens (or raises) the About window.
  void OpenAbout();
  // Message box through the actions' override or a QMessageBox.
  MsgAnswer Message(const std::string& title, const std::string& text, MsgButtons b, MsgIcon i);

 signals:
  // ExitRequested became 1: the main loop ends.
  void loopEnded();
  // The runner's notice, passed on to the windows that follow it (the
  // Download Center).
  void runnerStateChanged(fk::OpKind kind, fk::OpState state);

 protected:
  void closeEvent(QCloseEvent* e) override;
  void customEvent(QEvent* e) override;

 private:
  QPushButton* Button(Control c) const;
  void BuildMenu();
  void Dispatched();  // after each event: end the loop when ExitRequested is 1
  bool OpenUrl(const std::string& url);
  bool StartLong(const std::function<bool()>& start);

  void OnFormat();
  void OnBackup();
  void OnRestore();
  void OnEject();
  void OnRefresh();
  void OnDownloadCenter();
  void OnExit();
  void OnHelp();

  GuiActions& actions_;
  QWidget* client_ = nullptr;
  QGroupBox* box_ = nullptr;
  QTreeWidget* tree_ = nullptr;
  std::vector<QTreeWidgetItem*> lineItems_;
  ProgressCanvas* canvas_ = nullptr;
  QPushButton* backup_ = nullptr;
  QPushButton* restore_ = nullptr;
  QPushButton* format_ = nullptr;
  QPushButton* eject_ = nullptr;
  QPushButton* dlCenter_ = nullptr;
  QPushButton* exit_ = nullptr;
  QPushButton* refresh_ = nullptr;
  LinkLabel* velk_ = nullptr;
  QMenu* latestClover_ = nullptr;
  QAction* hfsInstall_ = nullptr;
  QAction* hfsUninstall_ = nullptr;
  std::unique_ptr<TaskbarProgress> taskbar_;
  QPointer<AboutWindow> about_;
  bool ended_ = false;
  bool busyCursor_ = false;
};

}  // namespace fk::gui

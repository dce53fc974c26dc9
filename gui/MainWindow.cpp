#include "gui/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QDesktopServices>
#include <QFileInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Runner.h"
#include "gui/AboutWindow.h"
#include "gui/GuiIcons.h"
#include "gui/GuiUi.h"
#include "gui/ProgressCanvas.h"
#include "gui/TaskbarProgress.h"
#include "gui/WindowUtil.h"

namespace fk::gui {

int ChooseInstallFull(const std::string& bootRecords, const std::string& installDataSet) {
  if (bootRecords == "Clover" || bootRecords == "Not_Format") return installDataSet == "Not_Install" ? 0 : 1;
  if (bootRecords == "FreeDos") return 1;
  return 0;
}

QString MainWindowTitle() {
  return QString::fromStdString(std::string("Flashkeel ") + AppVersion() + " by Velk " + BuildDateText());
}

namespace {
// A long operation runs (up to the end of its end section).
bool Busy() { return GetRunner().LongOperationRunning(); }
}  // namespace

MainWindow::MainWindow(GuiActions& actions, QWidget* parent) : QMainWindow(parent), actions_(actions) {
  setObjectName(QStringLiteral("Window_Main"));
  setWindowTitle(MainWindowTitle());
  setWindowIcon(ApplicationIcon());

  client_ = new QWidget(this);
  client_->setObjectName(QStringLiteral("MainClient"));
  client_->setFixedSize(kMainWidth, kMainHeight);
  setCentralWidget(client_);

  box_ = new QGroupBox(QStringLiteral("Destination Disk"), client_);
  box_->setObjectName(QStringLiteral("Box_DestinationDisk"));
  box_->setGeometry(5, 2, 470, 149);

  tree_ = new QTreeWidget(client_);
  tree_->setObjectName(QStringLiteral("Tree_DestinationDisk"));
  tree_->setGeometry(10, 20, 460, 124);
  tree_->setHeaderHidden(true);
  tree_->setRootIsDecorated(true);
  tree_->setIconSize(QSize(16, 16));
  tree_->setSelectionMode(QAbstractItemView::SingleSelection);
  // Keep the selection as visible without focus as with it.
  QPalette pal = tree_->palette();
  pal.setColor(QPalette::Inactive, QPalette::Highlight, pal.color(QPalette::Active, QPalette::Highlight));
  pal.setColor(QPalette::Inactive, QPalette::HighlightedText,
               pal.color(QPalette::Active, QPalette::HighlightedText));
  tree_->setPalette(pal);

  canvas_ = new ProgressCanvas(client_);
  canvas_->setGeometry(5, 154, 470, 21);

  backup_ = AddPushButton(client_, "Button_Backup", QStringLiteral("Backup"), {15, 178, 80, 26},
                      QStringLiteral("Backup selected Partition to Image file"));
  restore_ = AddPushButton(client_, "Button_Restore", QStringLiteral("Restore"), {100, 178, 80, 26},
                       QStringLiteral("Restore selected Partition from Image file"));
  format_ = AddPushButton(client_, 
      "Button_Format", QStringLiteral("Format"), {185, 178, 80, 26},
      QStringLiteral("Prepare USB flash drive with one of several sets of boot records and Data Set of Bootloaders"));
  eject_ = AddPushButton(client_, "Button_Eject", QStringLiteral("Eject"), {290, 178, 85, 26},
                     QStringLiteral("Safely ejecting of USB Flash drive"));
  dlCenter_ = AddPushButton(client_, "Button_Open_DownloadCenter", QStringLiteral("DL Center"), {380, 178, 85, 26},
                        QStringLiteral("Open FKL Download Center"));
  exit_ = AddPushButton(client_, "Button_Exit", QStringLiteral("Exit"), {15, 209, 65, 26}, QString());
  refresh_ = AddPushButton(client_, "Button_Refresh", QStringLiteral("Refresh"), {380, 209, 85, 26},
                       QStringLiteral("Force update of the list of connected drives"));

  velk_ = new LinkLabel(QString::fromUtf8(kMakerCredit), client_);
  velk_->setObjectName(QStringLiteral("HyperLink_Velk"));
  velk_->setGeometry(130, 216, 120, 15);
  FitLabelFont(velk_);

  // Operations that are not there yet keep their controls disabled.
  backup_->setEnabled(static_cast<bool>(actions_.startBackup));
  restore_->setEnabled(static_cast<bool>(actions_.startRecover));
  format_->setEnabled(static_cast<bool>(actions_.startFormat));
  eject_->setEnabled(static_cast<bool>(actions_.eject));
  dlCenter_->setEnabled(static_cast<bool>(actions_.openDownloadCenter));
  refresh_->setEnabled(static_cast<bool>(actions_.updateAllDrives));

  connect(format_, &QPushButton::clicked, this, [this] { OnFormat(); Dispatched(); });
  connect(backup_, &QPushButton::clicked, this, [this] { OnBackup(); Dispatched(); });
  connect(restore_, &QPushButton::clicked, this, [this] { OnRestore(); Dispatched(); });
  connect(eject_, &QPushButton::clicked, this, [this] { OnEject(); Dispatched(); });
  connect(refresh_, &QPushButton::clicked, this, [this] { OnRefresh(); Dispatched(); });
  connect(dlCenter_, &QPushButton::clicked, this, [this] { OnDownloadCenter(); Dispatched(); });
  connect(exit_, &QPushButton::clicked, this, [this] { OnExit(); Dispatched(); });
  connect(velk_, &LinkLabel::clicked, this, [this] {
    Log("> MouseOver #HyperLink_Velk");
    OpenUrl(kMakerSite);
    Dispatched();
  });

  BuildMenu();

  taskbar_ = TaskbarProgress::New(0, 100);
  canvas_->SetTaskbar(taskbar_.get());
  canvas_->DrawProgress(QString(), 0);

  const auto pos = actions_.windowPosition ? actions_.windowPosition() : std::pair<int, int>{400, 400};
  move(pos.first, pos.second);
  // The frame may not change the inner size.
  setFixedSize(kMainWidth, kMainHeight + menuBar()->sizeHint().height());

  // The loop wakes at least every 100 ms.
  auto* tick = new QTimer(this);
  connect(tick, &QTimer::timeout, this, [this] { Dispatched(); });
  tick->start(100);
}

MainWindow::~MainWindow() {
  if (busyCursor_) QApplication::restoreOverrideCursor();
  canvas_->SetTaskbar(nullptr);
  if (about_) about_->close();
}

void MainWindow::BuildMenu() {
  QMenuBar* bar = menuBar();
  auto add = [this](QMenu* menu, const char* name, const QString& text, int icon, auto handler) {
    QAction* a = menu->addAction(text);
    a->setObjectName(QString::fromLatin1(name));
    if (icon >= 0) a->setIcon(Icon(icon));
    a->setIconVisibleInMenu(true);
    connect(a, &QAction::triggered, this, [this, handler] {
      handler();
      Dispatched();
    });
    return a;
  };

  QMenu* options = bar->addMenu(QStringLiteral("Options"));
  options->setObjectName(QStringLiteral("Menu_Options"));
  QAction* config = add(options, "Menu_Configuration", QStringLiteral("&Configuration"), 0, [this] {
    if (!Busy() && actions_.openConfiguration) actions_.openConfiguration();
  });
  config->setEnabled(static_cast<bool>(actions_.openConfiguration));
  options->addSeparator();
  // The text after the tab is only shown; no key is bound to it.
  add(options, "Menu_Quit", QStringLiteral("&Quit\tEsc"), -1, [] {
    if (!Busy()) ExitRequested = 1;
  });

  QMenu* tools = bar->addMenu(QStringLiteral("Tools"));
  tools->setObjectName(QStringLiteral("Menu_Tools"));
  QAction* inst = add(tools, "Menu_InstallHFSDrivers", QStringLiteral("&Install BootCamp HFS+ RO Driver"), 1, [this] {
    if (!Busy() && actions_.installHFS) actions_.installHFS();
  });
  QAction* uninst =
      add(tools, "Menu_UnInstallHFSDrivers", QStringLiteral("&UnInstall BootCamp HFS+ RO Driver"), 1, [this] {
        if (!Busy() && actions_.uninstallHFS) actions_.uninstallHFS();
      });
  bool installed = false;
  const bool known = static_cast<bool>(actions_.hfsDriversInstalled);
  if (known) installed = actions_.hfsDriversInstalled();
  inst->setEnabled(actions_.installHFS && known && !installed);
  uninst->setEnabled(actions_.uninstallHFS && known && installed);
  hfsInstall_ = inst;
  hfsUninstall_ = uninst;
  QAction* dmg = add(tools, "Menu_ExtractHFSFromDMG", QStringLiteral("&Extract HFS(HFS+) partition from DMG-files"),
                     2, [this] {
                       if (!Busy() && actions_.startExtractHFSFromDMG) StartLong(actions_.startExtractHFSFromDMG);
                     });
  dmg->setEnabled(static_cast<bool>(actions_.startExtractHFSFromDMG));

  QMenu* help = bar->addMenu(QStringLiteral("&Help"));
  help->setObjectName(QStringLiteral("Menu_HelpTitle"));
  add(help, "Menu_Help", QStringLiteral("&Help"), 3, [this] { OnHelp(); });
  add(help, "Menu_CloverWiki", QStringLiteral("&Clover WiKi"), 3, [this] { OpenUrl(kCloverWiki); });
  add(help, "Menu_CloudCloverEditor", QStringLiteral("Cloud Clover &Editor"), 3,
      [this] { OpenUrl(kCloudCloverEditor); });
  add(help, "Menu_About", QStringLiteral("&About"), 4, [this] { OpenAbout(); });

  QString latest = QStringLiteral(" Latest Clover: Check It!");
  if (actions_.cloverLastRev) {
    const std::string rev = actions_.cloverLastRev();
    if (rev != "Check It!") latest = QStringLiteral(" Latest Clover: r") + QString::fromStdString(rev);
  }
  latestClover_ = bar->addMenu(latest);
  latestClover_->setObjectName(QStringLiteral("Menu_LatestClover"));
}

void MainWindow::Dispatched() {
  if (ExitRequested.load() == 1 && !ended_) {
    ended_ = true;
    // A dialog open at this moment (a worker's question, a file dialog) runs
    // an event loop of its own, and the main loop could end only after
    // someone answered it: close it, its asker takes that as Cancel.
    for (int i = 0; i < 16; ++i) {
      QWidget* modal = QApplication::activeModalWidget();
      if (!modal) break;
      Log("> Exit: closing the open dialog " + modal->windowTitle().toStdString());
      if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->reject();
      else modal->close();
    }
    emit loopEnded();
  }
}

bool MainWindow::OpenUrl(const std::string& url) {
  if (actions_.openUrl) return actions_.openUrl(url);
  return QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
}

MsgAnswer MainWindow::Message(const std::string& title, const std::string& text, MsgButtons b, MsgIcon i) {
  if (actions_.messageBox) return actions_.messageBox(title, text, b, i);
  return QtMessageBox(this, title, text, b, i);
}

// The runner marks the program busy as it starts the worker, and each
// operation starts with a cancel token of its own.
bool MainWindow::StartLong(const std::function<bool()>& start) {
  if (start()) return true;
  Log("> MainWindow: the operation could not be started");
  return false;
}

void MainWindow::OnFormat() {
  if (Busy()) {
    GetRunner().CancelLongOperations();
    return;
  }
  if (!actions_.startFormat) return;
  Log("> #Button_Format pressed ================================");
  const int installFull = ChooseInstallFull(actions_.bootRecords ? actions_.bootRecords() : std::string("Clover"),
                                            actions_.installDataSet ? actions_.installDataSet() : std::string());
  StartLong([&] { return actions_.startFormat(installFull); });
}

void MainWindow::OnBackup() {
  if (Busy()) {
    GetRunner().CancelLongOperations();
    return;
  }
  if (actions_.startBackup) StartLong(actions_.startBackup);
}

void MainWindow::OnRestore() {
  if (Busy()) {
    GetRunner().CancelLongOperations();
    return;
  }
  if (actions_.startRecover) StartLong(actions_.startRecover);
}

void MainWindow::OnEject() {
  if (Busy() || !actions_.eject) return;
  Log("> #Button_Eject pressed ================================");
  actions_.eject();
  if (actions_.updateAllDrives) actions_.updateAllDrives();
}

void MainWindow::OnRefresh() {
  if (Busy() || !actions_.updateAllDrives) return;
  const int index = SelectedTreeLine();
  actions_.updateAllDrives();
  if (index != -1) SelectTreeLine(index);
}

void MainWindow::OnDownloadCenter() {
  Log("> ---> Pressed #Button_Open_DownloadCenter");
  if (!Busy()) {
    Log("> ---> format_op_in_progress=#False;  Open_Window_DownloadCenter()");
    if (actions_.openDownloadCenter) actions_.openDownloadCenter();
  } else if (dlCenter_->text() == QStringLiteral("Cancel DL")) {
    GetRunner().CancelLongOperations();
    Log("> ---> format_op_in_progress=$True; CancelMainThread=#True");
  }
}

void MainWindow::OnExit() {
  if (!Busy()) ExitRequested = 1;
}

void MainWindow::OnHelp() {
  const QString file = QString::fromStdString(Paths().ProgramDir + "Flashkeel.chm");
  bool ok = QFileInfo(file).isFile();
  if (ok) ok = actions_.openUrl ? actions_.openUrl(file.toStdString()) : QDesktopServices::openUrl(QUrl::fromLocalFile(file));
  if (!ok) {
    Log("> Not found help file: Flashkeel.chm");
    Message("Error", "Not found help file: Flashkeel.chm", MsgButtons::Ok, MsgIcon::Error);
  }
}

void MainWindow::OpenAbout() {
  if (about_) {
    about_->raise();
    about_->activateWindow();
    return;
  }
  about_ = new AboutWindow(this, [this](const std::string& url) { return OpenUrl(url); });
  about_->show();
}

void MainWindow::closeEvent(QCloseEvent* e) {
  // The close box ends the program even while an operation runs.
  e->ignore();
  ExitRequested = 1;
  Dispatched();
}

void MainWindow::customEvent(QEvent* e) {
  if (e->type() == kUpdateAllDrivesEvent) {
    if (actions_.updateAllDrives) actions_.updateAllDrives();
    Dispatched();
    return;
  }
  QMainWindow::customEvent(e);
}

void MainWindow::OnRunnerState(OpKind kind, OpState state) {
  emit runnerStateChanged(kind, state);
  const bool running = state == OpState::Running;
  switch (kind) {
    case OpKind::Format:
      SetControlText(Control::Button_Format, running ? QStringLiteral("Cancel") : QStringLiteral("Format Disk"));
      break;
    case OpKind::Backup:
      SetControlText(Control::Button_Backup, running ? QStringLiteral("Backup Cancel") : QStringLiteral("Backup"));
      break;
    case OpKind::Restore:
      SetControlText(Control::Button_Restore, running ? QStringLiteral("Restore Cancel") : QStringLiteral("Restore"));
      break;
    case OpKind::RecoveryDownload:
    case OpKind::AdditionalDownload:
      SetControlText(Control::Button_Open_DownloadCenter,
                     running ? QStringLiteral("Cancel DL") : QStringLiteral("DL Center"));
      break;
    default: break;
  }
  // Whatever its end, an additional download is followed by a fresh drive list
  // (the repository may lie on one of the drives).
  if (kind == OpKind::AdditionalDownload && state == OpState::Idle && actions_.updateAllDrives)
    actions_.updateAllDrives();
  if (!IsLongOperation(kind)) return;
  tree_->setEnabled(!running);
  if (running != busyCursor_) {
    busyCursor_ = running;
    if (running) QApplication::setOverrideCursor(Qt::BusyCursor);
    else QApplication::restoreOverrideCursor();
  }
}

// --- control access ---

QPushButton* MainWindow::Button(Control c) const {
  switch (c) {
    case Control::Button_Backup: return backup_;
    case Control::Button_Restore: return restore_;
    case Control::Button_Format: return format_;
    case Control::Button_Eject: return eject_;
    case Control::Button_Open_DownloadCenter: return dlCenter_;
    case Control::Button_Exit: return exit_;
    case Control::Button_Refresh: return refresh_;
    default: return nullptr;
  }
}

void MainWindow::SetControlText(Control c, const QString& text) {
  if (c == Control::Menu_LatestClover) {
    latestClover_->setTitle(text);
  } else if (QPushButton* b = Button(c)) {
    b->setText(text);
    FitButtonFont(b);
  }
}

QString MainWindow::ControlText(Control c) const {
  if (c == Control::Menu_LatestClover) return latestClover_->title();
  if (QPushButton* b = Button(c)) return b->text();
  return {};
}

void MainWindow::SetControlEnabled(Control c, bool enabled) {
  if (c == Control::Tree_DestinationDisk) {
    tree_->setEnabled(enabled);
  } else if (c == Control::Menu_LatestClover) {
    latestClover_->setEnabled(enabled);
  } else if (c == Control::Menu_InstallHFSDrivers) {
    if (hfsInstall_) hfsInstall_->setEnabled(enabled && actions_.installHFS);
  } else if (c == Control::Menu_UnInstallHFSDrivers) {
    if (hfsUninstall_) hfsUninstall_->setEnabled(enabled && actions_.uninstallHFS);
  } else if (QPushButton* b = Button(c)) {
    b->setEnabled(enabled);
  }
}

void MainWindow::SetTreeLines(const std::vector<TreeLine>& lines) {
  tree_->clear();
  lineItems_.clear();
  QTreeWidgetItem* lastTop = nullptr;
  for (const TreeLine& line : lines) {
    QTreeWidgetItem* item = nullptr;
    if (line.level > 0 && lastTop) {
      item = new QTreeWidgetItem(lastTop);
    } else {
      item = new QTreeWidgetItem(tree_);
      lastTop = item;
    }
    item->setText(0, QString::fromStdString(line.text));
    if (line.icon >= 0) item->setIcon(0, Icon(line.icon));
    lineItems_.push_back(item);
  }
  tree_->expandAll();
}

int MainWindow::SelectedTreeLine() const {
  QTreeWidgetItem* cur = tree_->currentItem();
  if (!cur || !cur->isSelected()) return -1;
  for (size_t i = 0; i < lineItems_.size(); ++i)
    if (lineItems_[i] == cur) return static_cast<int>(i);
  return -1;
}

void MainWindow::SelectTreeLine(int index) {
  if (index < 0 || index >= static_cast<int>(lineItems_.size())) {
    tree_->clearSelection();
    tree_->setCurrentItem(nullptr);
    return;
  }
  QTreeWidgetItem* item = lineItems_[static_cast<size_t>(index)];
  tree_->setCurrentItem(item);
  item->setSelected(true);
  tree_->scrollToItem(item);
}

}  // namespace fk::gui

#include "gui/DownloadCenterWindow.h"

#include <QApplication>
#include <algorithm>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QPushButton>
#include <QRadioButton>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Ui.h"
#include "gui/GuiIcons.h"
#include "gui/MainWindow.h"
#include "gui/WindowUtil.h"
#include "net/RecoveryHD.h"
#include "net/RecoveryHDList.h"

namespace fk::gui {

namespace {

// No network transfer may start while one runs, and nothing while a long
// operation runs.
bool NetworkBusy() { return GetRunner().NetworkRunning() || GetRunner().LongOperationRunning(); }

}  // namespace

QString DownloadCenterTitle() {
  return QString::fromStdString("Download Center - Flashkeel " + AppVersion() + " by Velk");
}

DownloadCenterWindow::DownloadCenterWindow(QWidget* mainWindow)
    : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      main_(mainWindow) {
  setObjectName(QStringLiteral("Window_DownloadCenter"));
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(DownloadCenterTitle());
  setWindowIcon(ApplicationIcon());
  setFixedSize(kDownloadCenterWidth, kDownloadCenterHeight);
  if (main_) {
    move(main_->x() + 20, main_->y() - 20);
    main_->setEnabled(false);
  }
  KeepWindowOnDesktop(this, 2);

  auto frame = [this](const char* name, QRect g) {
    auto* b = new QGroupBox(this);
    b->setObjectName(QString::fromLatin1(name));
    b->setGeometry(g);
  };
  frame("Box_DownloadCenter_RecoveryHD", {10, 10, 420, 48});
  recovery_ = AddComboBox(this, "Combobox_DownloadCenter_SelectRecoveryHD", {20, 28, 400, 20},
                      QStringLiteral("Select MAC OS X Recovery HD for Download and Automatically Extract HFS-Image"));
  FillRecoveryHDList();
  recovery_->setEnabled(true);

  frame("Box_DownloadCenter_Additional", {10, 60, 420, 48});
  additional_ = AddComboBox(this, "Combobox_DownloadCenter_SelectAdditionalDL", {20, 78, 400, 20},
                        QStringLiteral("Select Item from User or FKL Download Lists for Download"));
  SortAdditionalDLList();
  additional_->setEnabled(false);

  optRecovery_ = AddOption("Option_DownloadCenter_RecoveryHD", QStringLiteral(" Recovery HD for macOS:"),
                           {15, 10, 160, 13});
  optAdditional_ = AddOption("Option_DownloadCenter_Additional", QStringLiteral(" Additional Packages:"),
                             {15, 60, 120, 13});
  auto* group = new QButtonGroup(this);
  group->addButton(optRecovery_);
  group->addButton(optAdditional_);
  optRecovery_->setChecked(true);
  connect(optRecovery_, &QRadioButton::toggled, this, [this] { OnOption(); });

  const int y = kDownloadCenterHeight - 30;
  exit_ = AddPushButton(this, "Button_DownloadCenterExit", QStringLiteral("Exit"), {20, y, 70, 20}, QString());
  clear_ = AddPushButton(this, "Button_DownloadCenterClear", QStringLiteral("Clear"), {95, y, 70, 20},
                     QStringLiteral("Clear DL list"));
  update_ = AddPushButton(this, "Button_DownloadCenterUpdate", QStringLiteral("Update"), {170, y, 70, 20},
                      QStringLiteral("Update Temporary disabled for Recover HD"));
  dl_ = AddPushButton(this, "Button_DownloadCenterDL", QStringLiteral("DL"), {320, y, 100, 20},
                  QStringLiteral("DL selected Item"));
  // One caption size for the row of buttons: the smallest that fits them all.
  int px = 0;
  for (QPushButton* b : {exit_, clear_, update_, dl_}) {
    const int size = QFontInfo(b->font()).pixelSize();
    px = px == 0 ? size : std::min(px, size);
  }
  for (QPushButton* b : {exit_, clear_, update_, dl_}) {
    QFont f = b->font();
    f.setPixelSize(px);
    b->setFont(f);
  }
  connect(exit_, &QPushButton::clicked, this, [this] { close(); });
  connect(clear_, &QPushButton::clicked, this, [this] { OnClear(); });
  connect(update_, &QPushButton::clicked, this, [this] { OnUpdate(); });
  connect(dl_, &QPushButton::clicked, this, [this] { OnDL(); });

  if (auto* mw = qobject_cast<MainWindow*>(mainWindow))
    connect(mw, &MainWindow::runnerStateChanged, this, &DownloadCenterWindow::OnRunnerState);
  UpdateStates();
}

DownloadCenterWindow::~DownloadCenterWindow() {
  if (!closing_ && main_) main_->setEnabled(true);
}

QRadioButton* DownloadCenterWindow::AddOption(const char* name, const QString& text, QRect g) {
  auto* o = AddRadio(this, name, text, g, {});
  // The option sits on its frame's top edge, as a frame title would.
  o->setAutoFillBackground(true);
  return o;
}

void DownloadCenterWindow::FillRecoveryHDList() {
  recoveryRows_ = SavedSettings().RecoveryHDSourceList;
  recovery_->clear();
  for (const RecoveryHDSource& r : recoveryRows_) {
    recovery_->addItem(QString::fromStdString(r.Name));
    Log("> Open_Window_DownloadCenter: added: " + r.Name);
  }
  recovery_->setCurrentIndex(recovery_->count() - 1);
  SetComboDropWidth(recovery_, 0);
}

void DownloadCenterWindow::SortAdditionalDLList() {
  additionalRows_ = AdditionalDL();
  additional_->clear();
  Log("> SortAdditionalDLList: ClearGadgetItems(#Combobox_DownloadCenter_SelectAdditionalDL)");
  for (const AdditionalDLEntry& e : additionalRows_) {
    const std::string row = AdditionalDLRowText(e);
    additional_->addItem(QString::fromStdString(row));
    Log("> SortAdditionalDLList: added: " + row);
  }
  additional_->setCurrentIndex(additionalRows_.empty() ? -1 : 0);
  SetComboDropWidth(additional_, 0);
}

void DownloadCenterWindow::UpdateStates() {
  const bool busy = NetworkBusy();
  const bool recovery = optRecovery_->isChecked();
  recovery_->setEnabled(recovery);
  additional_->setEnabled(!recovery);
  update_->setEnabled(!busy);
  dl_->setEnabled(!busy);
  // Clear empties the Recovery HD list, which a running catalog update replaces.
  clear_->setEnabled(recovery && !busy);
}

void DownloadCenterWindow::OnOption() { UpdateStates(); }

void DownloadCenterWindow::OnRunnerState(OpKind kind, OpState state) {
  UpdateStates();
  if (state != OpState::Idle) return;
  const OpResult result = GetRunner().LastResult(kind);
  if (kind == OpKind::AdditionalListUpdate) {
    // A failed update leaves the list, and the row chosen in it, as they were.
    if (result.ok()) SortAdditionalDLList();
  } else if (kind == OpKind::CatalogUpdate) {
    // The new list has reached the saved settings before this notice.
    FillRecoveryHDList();
    if (result.outcome != OpOutcome::Cancelled && !result.message.empty())
      GetUi().MessageBox("Warning", result.message, MsgButtons::Ok, MsgIcon::Warning);
  }
}

bool DownloadCenterWindow::Start(OpKind kind, Runner::Work work, const std::string& name) {
  const Runner::StartStatus st = GetRunner().Start(kind, std::move(work), SavedSettings());
  UpdateStates();
  if (st == Runner::StartStatus::Started) return true;
  const std::string why = Runner::RefusalText(st);
  Log("> Download Center: " + std::string(OpKindName(kind)) + " not started: " + why);
  GetUi().MessageBox("Error!", name.empty() ? why : "Can't download " + name + "\r\n" + why, MsgButtons::Ok,
                     MsgIcon::Error);
  return false;
}

void DownloadCenterWindow::OnUpdate() {
  Log("> ---> Pressed #Button_DownloadCenterUpdate");
  if (NetworkBusy()) return;
  if (optRecovery_->isChecked()) {
    Start(OpKind::CatalogUpdate, [](OpContext& ctx) { return UpdateRecoveryHDListThread(ctx); }, {});
  } else {
    Start(OpKind::AdditionalListUpdate, [](OpContext&) { return CheckAdditionalDownloadsThread(); }, {});
  }
}

void DownloadCenterWindow::OnClear() {
  Log("> ---> Pressed #Button_DownloadCenterClear");
  if (!optRecovery_->isChecked() || NetworkBusy()) return;
  SavedSettings().RecoveryHDSourceList.clear();
  recoveryRows_.clear();
  recovery_->clear();
}

void DownloadCenterWindow::OnDL() {
  Log("> ---> Pressed #Button_DownloadCenterDL");
  if (NetworkBusy()) return;
  const bool recovery = optRecovery_->isChecked();
  QComboBox* list = recovery ? recovery_ : additional_;
  const int row = list->currentIndex();
  const size_t rows = recovery ? recoveryRows_.size() : additionalRows_.size();
  if (row < 0 || static_cast<size_t>(row) >= rows) {
    Log("> Download Center: DL with nothing selected");
    GetUi().MessageBox("Information",
                       recovery ? "Select a Recovery HD in the list first." : "Select an item in the list first.",
                       MsgButtons::Ok, MsgIcon::Information);
    return;
  }
  // The operation gets its own copy of what the row shows: a list update that
  // ends meanwhile refills the rows, but not this download.
  Runner::Work work;
  std::string name;
  OpKind kind;
  if (recovery) {
    RecoveryHDSource record = recoveryRows_[static_cast<size_t>(row)];
    name = record.Name;
    kind = OpKind::RecoveryDownload;
    work = [record](OpContext&) mutable { return DLAndExtractHFSImageFromRecoveryHD(record); };
  } else {
    AdditionalDLEntry entry = additionalRows_[static_cast<size_t>(row)];
    name = entry.Name;
    kind = OpKind::AdditionalDownload;
    work = [entry](OpContext&) { return DLAdditionalDownload(entry); };
  }
  QPointer<DownloadCenterWindow> self(this);
  GetUi().ShowStatus("Download started  ... Wait Please", 1000);
  if (!self) return;
  if (Start(kind, std::move(work), name)) close();
}

void DownloadCenterWindow::closeEvent(QCloseEvent* e) {
  // The close box acts as Exit.
  if (!closing_) {
    closing_ = true;
    ReturnToMainWindow(main_);
  }
  QWidget::closeEvent(e);
}

DownloadCenterWindow* OpenDownloadCenter(QWidget* mainWindow) {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (auto* open = qobject_cast<DownloadCenterWindow*>(w); open && open->isVisible()) {
      open->raise();
      open->activateWindow();
      return open;
    }
  }
  auto* w = new DownloadCenterWindow(mainWindow);
  w->show();
  return w;
}

}  // namespace fk::gui

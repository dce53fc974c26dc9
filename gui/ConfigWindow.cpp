#include "gui/ConfigWindow.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QTimer>
#include <QUrl>
#include <filesystem>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Runner.h"
#include "app/Settings.h"
#include "gui/Actions.h"
#include "gui/GuiIcons.h"
#include "gui/WindowUtil.h"
#include "net/CloverRelease.h"
#include "net/RemoteUrls.h"

namespace fk::gui {

namespace {

constexpr int kMinBootSize = 32;
constexpr int kMaxBootSize = 2000000;
constexpr int kFallbackBootSize = 64;
const char* const kFileSystems[] = {"FAT32", "FAT32-LBA", "NTFS", "exFAT", "UDF"};
const char* const kStartLbas[] = {"63", "2048", "4096", "8192"};

// "github.com" of "https://github.com".
QString ReleaseSiteName() {
  QString base = QString::fromStdString(GithubBaseUrl());
  const int scheme = base.indexOf(QStringLiteral("://"));
  if (scheme >= 0) base = base.mid(scheme + 3);
  return base.section(QLatin1Char('/'), 0, 0);
}

bool IsDirectory(const std::string& path) {
  std::error_code ec;
  return !path.empty() && std::filesystem::is_directory(path, ec);
}

std::string WithSlash(std::string path) {
  if (!path.empty() && path.back() != '/') path += '/';
  return path;
}

}  // namespace

ConfigHooks DefaultConfigHooks() {
  ConfigHooks h;
  h.saveSettings = [] {
    if (!SaveSetting()) Log("> Error: the settings were not saved");
  };
  h.startCloverCheck = [] { StartThread(1); };
  h.openUrl = [](const std::string& url) { return QDesktopServices::openUrl(QUrl(QString::fromStdString(url))); };
  h.chooseDirectory = [](const QString& title, const std::string& start) {
    return QFileDialog::getExistingDirectory(nullptr, title, QString::fromStdString(start)).toStdString();
  };
  return h;
}

QString ConfigWindowTitle() { return QStringLiteral("Configuration ") + QString::fromStdString(BuildDateText()); }

ConfigWindow::ConfigWindow(QWidget* mainWindow, ConfigHooks hooks)
    : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      main_(mainWindow), hooks_(std::move(hooks)) {
  setObjectName(QStringLiteral("Window_Config"));
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(ConfigWindowTitle());
  setWindowIcon(ApplicationIcon());
  setFixedSize(kConfigWidth, kConfigHeight);
  if (main_) {
    const QRect m = main_->frameGeometry();
    move(m.x() + (m.width() - kConfigWidth) / 2, m.y() + (m.height() - kConfigHeight) / 2);
    main_->setEnabled(false);
  }

  auto frame = [this](const char* name, const QString& title, QRect g) {
    auto* b = new QGroupBox(title, this);
    b->setObjectName(QString::fromLatin1(name));
    b->setGeometry(g);
    return b;
  };
  frame("Box_CloverSource", QStringLiteral("Clover Bootloader Source"), {5, 5, 265, 170});
  frame("Box_CheckLatest", QString(), {15, 75, 245, 35});
  frame("Box_FormatOptions", QStringLiteral("Format options"), {5, 175, 265, 205});
  frame("Box_BootRecords", QStringLiteral("Boot records"), {15, 190, 110, 135});
  frame("Box_MultiPartitioning", QStringLiteral("Multi Partitioning"), {15, 325, 245, 50});
  frame("Box_Other", QStringLiteral("Other"), {5, 380, 265, 45});

  const QString site = ReleaseSiteName();
  local_ = AddRadio(this, "Option_DataSet_Local", QStringLiteral("Local"), {15, 25, 42, 21},
                     QStringLiteral("Local Repository"));
  localDistr_ = AddComboBox(this, "Combobox_Config_SelectLocalDistr", {60, 25, 140, 20}, QStringLiteral("Select Local Distr"));
  localRev_ = new QLabel(this);
  localRev_->setObjectName(QStringLiteral("Text_CloverFoundLocalDistrRev"));
  localRev_->setGeometry(203, 28, 60, 15);
  dl_ = AddRadio(this, "Option_DataSet_DL", QStringLiteral("DL"), {15, 55, 35, 20}, QStringLiteral("Download from ") + site);
  revision_ = AddComboBox(this, "Combobox_Config_SelectRevision", {60, 55, 55, 20},
                       QStringLiteral("Select Revision for Download"));
  checkDate_ = new QLabel(this);
  checkDate_->setObjectName(QStringLiteral("Text_CloverLastRevCheckDate"));
  checkDate_->setGeometry(120, 57, 80, 15);
  updNews_ = new LinkLabel(QStringLiteral("Upd. News"), this);
  updNews_->setObjectName(QStringLiteral("Hyperlink_Config_CloverLastRevInfo"));
  updNews_->setGeometry(200, 57, 58, 15);
  updNews_->setToolTip(QStringLiteral("Open Clover Update Log link"));
  FitLabelFont(updNews_);
  checkAtStartup_ = AddCheckBox(this, "Checkbox_CheckAtStartup", QStringLiteral("Check at Startup"), {30, 85, 110, 20},
                             QStringLiteral("Check the Latest Rev. at Startup"));
  checkNow_ = AddPushButton(this, "Button_CheckNow", QStringLiteral("Check Now"), {180, 85, 65, 20},
                        QStringLiteral("Check the Latest Rev. on ") + site);
  makeReady_ = AddCheckBox(this, "Checkbox_MakeReadyDistr", QStringLiteral("Make FKL-ready Distr"), {30, 115, 130, 20},
                        QStringLiteral("Prepare and Save FKL-ready Distr to Local Repo after use lzma archive"));
  cloverRepo_ = AddPushButton(this, "Button_CloverLocalRepo", QStringLiteral("Local Repo"), {180, 115, 65, 20},
                          QStringLiteral("Set Clover FKL-ready Archives Local Repository Path"));
  notInstall_ = AddRadio(this, "Option_DataSet_NotInstall", QStringLiteral("Not Install"), {15, 146, 80, 20},
                          QStringLiteral("Format Disk Only"));
  auto* dataSets = new QButtonGroup(this);
  for (QRadioButton* r : {local_, dl_, notInstall_}) dataSets->addButton(r);

  bootClover_ = AddRadio(this, "Option_Boot_Clover", QStringLiteral("Clover"), {30, 210, 60, 20},
                          QStringLiteral("Format drive and Install Clover Boot records"));
  bootWindows_ = AddRadio(this, "Option_Boot_Windows", QStringLiteral("Windows"), {30, 240, 75, 20},
                           QStringLiteral("Format drive and Install Windows Boot records"));
  bootFreeDos_ = AddRadio(this, "Option_Boot_FreeDos", QStringLiteral("FreeDos"), {30, 270, 75, 20},
                           QStringLiteral("Format drive and Install FreeDos Bootloader records"));
  bootNotFormat_ = AddRadio(this, "Option_Boot_NotFormat", QStringLiteral("Not Format"), {30, 300, 80, 20},
                             QStringLiteral("Don't Re-Format Drive"));
  auto* boots = new QButtonGroup(this);
  for (QRadioButton* r : {bootClover_, bootWindows_, bootFreeDos_, bootNotFormat_}) boots->addButton(r);

  auto* labelText = new QLabel(QStringLiteral("Volume label"), this);
  labelText->setObjectName(QStringLiteral("Text_VolumeLabel"));
  labelText->setGeometry(145, 190, 75, 15);
  FitLabelFont(labelText);
  volumeLabel_ = new QLineEdit(this);
  volumeLabel_->setObjectName(QStringLiteral("String_VolumeLabel"));
  volumeLabel_->setGeometry(145, 210, 100, 20);
  volumeLabel_->setMaxLength(11);
  fileSystem_ = AddComboBox(this, "Combobox_FileSystem", {145, 240, 100, 20},
                         QStringLiteral("FAT32 for old BIOS/OS ver. | FAT32-LBA for Modern USB Flash/Hard drives"));
  fileSystem_->addItem(QStringLiteral("File System:"));
  for (const char* fs : kFileSystems) fileSystem_->addItem(QString::fromLatin1(fs));
  clusterSize_ = AddComboBox(this, "Combobox_ClusterSize", {145, 270, 100, 20}, QString());
  clusterSize_->addItems({QStringLiteral("Cluster Size:"), QStringLiteral("Default")});
  startLba_ = AddComboBox(this, "Combobox_StartLBA", {145, 300, 100, 20},
                       QStringLiteral("63 sec old align to cylinder | 2048-8192 sec for Modern USB Flash/Hard drives"));
  startLba_->addItem(QStringLiteral("Align to sectors:"));
  for (const char* s : kStartLbas) startLba_->addItem(QString::fromLatin1(s));
  multi_ = AddCheckBox(this, "Checkbox_MultiPartitions", QStringLiteral("Boot Partition Size (MB)"), {30, 345, 145, 20},
                    QStringLiteral("Create 2 Partitions: 1-st Boot(Clover) and 2-nd for deployment of MACOSX distr"));
  bootSize_ = new QLineEdit(this);
  bootSize_->setObjectName(QStringLiteral("String_BootPartitionSize"));
  bootSize_->setGeometry(180, 345, 65, 20);
  bootSize_->setAlignment(Qt::AlignCenter);
  bootSize_->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,7}")), bootSize_));
  bootSize_->setToolTip(QStringLiteral("32 - 200000 MB"));
  fixedDisks_ = AddCheckBox(this, "Checkbox_EnableFixedDisks", QStringLiteral("Enable Fixed Disks"), {30, 395, 120, 20},
                         QStringLiteral("For advanced users only! Use it with caution!"));
  imageRepo_ = AddPushButton(this, "Button_ImageLocalRepo", QStringLiteral("Local Repo"), {180, 395, 65, 20},
                         QStringLiteral("Set FKLImage Files Local Repository Path"));
  ok_ = AddPushButton(this, "Button_Config_OK", QStringLiteral("OK"), {46, 433, 183, 20}, QString());

  InitStates();

  // The handlers; they are connected after the opening states are set, so
  // setting those states changes no setting.
  connect(local_, &QRadioButton::clicked, this, [this] { OnDataSet("Local"); });
  connect(dl_, &QRadioButton::clicked, this, [this] { OnDataSet("DL"); });
  connect(notInstall_, &QRadioButton::clicked, this, [this] { OnDataSet("Not_Install"); });
  connect(localDistr_, &QComboBox::activated, this, [this] { ShowLocalDistrRev(); });
  connect(revision_, &QComboBox::activated, this, [this] { Cfg().CloverDLRev = revision_->currentText().toStdString(); });
  connect(checkAtStartup_, &QCheckBox::clicked, this, [this](bool on) {
    Cfg().CheckLatestCloverAtStartup = on ? 1 : 0;
    Log("> CheckLatestCloverAtStartup=" + std::to_string(Cfg().CheckLatestCloverAtStartup));
  });
  connect(makeReady_, &QCheckBox::clicked, this, [](bool on) {
    Cfg().SaveLatestCloverAfterDL = on ? 1 : 0;
    Log("> SaveLatestCloverAfterDL=" + std::to_string(Cfg().SaveLatestCloverAfterDL));
  });
  connect(checkNow_, &QPushButton::clicked, this, [this] {
    if (hooks_.startCloverCheck) hooks_.startCloverCheck();
  });
  connect(updNews_, &LinkLabel::clicked, this, [this] {
    Log("> MouseOver #Hyperlink_Config_CloverLastRevInfo");
    if (hooks_.openUrl) hooks_.openUrl(kCloverCommits);
  });
  connect(cloverRepo_, &QPushButton::clicked, this, [this] { OnRepository(); });
  connect(bootClover_, &QRadioButton::clicked, this, [this] { OnBootRecords("Clover"); });
  connect(bootWindows_, &QRadioButton::clicked, this, [this] { OnBootRecords("Windows"); });
  connect(bootFreeDos_, &QRadioButton::clicked, this, [this] { OnBootRecords("FreeDos"); });
  connect(bootNotFormat_, &QRadioButton::clicked, this, [this] { OnBootRecords("Not_Format"); });
  connect(volumeLabel_, &QLineEdit::textEdited, this, [](const QString& text) {
    Cfg().VolumeLabel = text.toStdString();
    Log("> " + Cfg().VolumeLabel);
  });
  connect(fileSystem_, &QComboBox::activated, this, [this] { OnFileSystem(); });
  connect(clusterSize_, &QComboBox::activated, this, [this] {
    if (clusterSize_->currentIndex() == 0) clusterSize_->setCurrentIndex(1);
    Log("> ClusterSize$=" + Cfg().ClusterSize);
  });
  connect(startLba_, &QComboBox::activated, this, [this] { OnStartLBA(); });
  connect(multi_, &QCheckBox::clicked, this, [this](bool on) {
    Cfg().MultiPartitions = on ? 1 : 0;
    bootSize_->setEnabled(on);
    Log("> MultiPartitions=" + std::to_string(Cfg().MultiPartitions));
  });
  connect(bootSize_, &QLineEdit::textEdited, this, [this] { OnBootPartitionSize(); });
  connect(fixedDisks_, &QCheckBox::clicked, this, [this](bool on) {
    Cfg().EnableFixedDisks = on ? 1 : 0;
    Log("> EnableFixedDisks=" + std::to_string(Cfg().EnableFixedDisks));
    if (hooks_.updateAllDrives) hooks_.updateAllDrives();
  });
  connect(imageRepo_, &QPushButton::clicked, this, [this] { OnImageRepository(); });
  connect(ok_, &QPushButton::clicked, this, [this] { close(); });
}

ConfigWindow::~ConfigWindow() {
  if (main_) main_->setEnabled(true);
}

void ConfigWindow::InitStates() {
  const Settings& s = Cfg();
  revision_->setEnabled(false);
  if (s.InstallDataSet == "Local") {
    local_->setChecked(true);
  } else if (s.InstallDataSet == "DL") {
    dl_->setChecked(true);
    localDistr_->setEnabled(false);
    localRev_->setEnabled(false);
  } else {
    notInstall_->setChecked(true);
    localDistr_->setEnabled(false);
    localRev_->setEnabled(false);
  }
  for (int rev : s.CloverRevList) revision_->addItem(QString::number(rev));
  if (!s.CloverRevList.empty()) {
    revision_->setCurrentIndex(0);
    revision_->setEnabled(dl_->isChecked());
  }
  checkDate_->setText(s.CloverLastRev == "Check It!" ? QStringLiteral("Check It!")
                                                       : QString::fromStdString(s.CloverLastRevCheckDate));
  checkAtStartup_->setChecked(s.CheckLatestCloverAtStartup != 0);
  makeReady_->setChecked(s.SaveLatestCloverAfterDL != 0);
  multi_->setChecked(s.MultiPartitions != 0);
  fixedDisks_->setChecked(s.EnableFixedDisks != 0);

  if (s.Boot_records == "Windows") bootWindows_->setChecked(true);
  else if (s.Boot_records == "FreeDos") bootFreeDos_->setChecked(true);
  else if (s.Boot_records == "Not_Format") bootNotFormat_->setChecked(true);
  else bootClover_->setChecked(true);
  volumeLabel_->setText(QString::fromStdString(s.VolumeLabel));

  int fs = 2;
  for (int i = 0; i < 5; ++i)
    if (s.FileSystem == kFileSystems[i]) fs = i + 1;
  fileSystem_->setCurrentIndex(fs);
  clusterSize_->setCurrentIndex(1);
  ShowClusterSize();
  int lba = 1;
  for (int i = 0; i < 4; ++i)
    if (s.StartLBASector == kStartLbas[i]) lba = i + 1;
  startLba_->setCurrentIndex(lba);

  bootSize_->setText(QString::number(s.BootPartitionSize));
  SetFormatControlsEnabled(s.Boot_records != "Not_Format");

  RefreshLocalDistrCombo();
  SetComboDropWidth(localDistr_, 0);
}

// The list shows "Default" whatever the file holds; a size the file sets (and
// the format uses) is pointed out.
void ConfigWindow::ShowClusterSize() {
  const std::string& c = Cfg().ClusterSize;
  const bool other = !c.empty() && c != "0";
  clusterSize_->setStyleSheet(other ? QStringLiteral("QComboBox { color: red; }") : QString());
  clusterSize_->setToolTip(other ? QStringLiteral("The settings file sets a cluster size of %1 bytes, which is used")
                                       .arg(QString::fromStdString(c))
                                 : QString());
}

void ConfigWindow::SetFormatControlsEnabled(bool enabled) {
  for (QWidget* w : std::initializer_list<QWidget*>{volumeLabel_, fileSystem_, clusterSize_, startLba_, multi_})
    w->setEnabled(enabled);
  bootSize_->setEnabled(enabled && multi_->isChecked());
}

void ConfigWindow::OnDataSet(const std::string& value) {
  Cfg().InstallDataSet = value;
  Log("> InstallDataSet$=" + value);
  const bool local = value == "Local";
  if (value == "Local") {
    localDistr_->setEnabled(!distr_.empty());
    localRev_->setEnabled(!distr_.empty());
    revision_->setEnabled(false);
  } else if (value == "DL") {
    revision_->setEnabled(!Cfg().CloverRevList.empty());
  } else {
    revision_->setEnabled(false);
  }
  if (!local) localDistr_->setEnabled(false);
  if (value == "DL") localRev_->setEnabled(false);
}

void ConfigWindow::OnBootRecords(const std::string& value) {
  Cfg().Boot_records = value;
  Log("> Boot_records$=" + value);
  SetFormatControlsEnabled(value != "Not_Format");
}

void ConfigWindow::OnFileSystem() {
  if (fileSystem_->currentIndex() <= 0) fileSystem_->setCurrentIndex(2);
  Cfg().FileSystem = fileSystem_->currentText().toStdString();
  Log("> FileSystem$=" + Cfg().FileSystem);
}

void ConfigWindow::OnStartLBA() {
  if (startLba_->currentIndex() <= 0) startLba_->setCurrentIndex(1);
  Cfg().StartLBASector = startLba_->currentText().toStdString();
  Log("> StartLBA$=" + Cfg().StartLBASector);
}

// A size the field will not use stays in it as typed, shown in red with a tool
// tip naming the size used.
void ConfigWindow::OnBootPartitionSize() {
  bool ok = false;
  const long long n = bootSize_->text().toLongLong(&ok);
  const bool inRange = ok && n >= kMinBootSize && n <= kMaxBootSize;
  Cfg().BootPartitionSize = inRange ? static_cast<int>(n) : kFallbackBootSize;
  bootSize_->setStyleSheet(inRange ? QString() : QStringLiteral("QLineEdit { color: red; }"));
  bootSize_->setToolTip(inRange ? QStringLiteral("32 - 200000 MB")
                                : QStringLiteral("32 - 200000 MB; %1 MB is used").arg(kFallbackBootSize));
  Log("> BootPartitionSize = " + std::to_string(Cfg().BootPartitionSize));
}

void ConfigWindow::RefreshLocalDistrCombo() {
  localRev_->setText(QStringLiteral("Wait ..."));
  localDistr_->clear();
  if (GetRunner().Running(OpKind::LocalArchiveSearch)) {
    // The search started with the program still fills the list on its worker:
    // its result is shown once it has ended, never searched over meanwhile.
    QTimer::singleShot(100, this, [this] {
      if (GetRunner().Running(OpKind::LocalArchiveSearch)) RefreshLocalDistrCombo();
      else ShowLocalDistr(CloverLocalDistr);
    });
    return;
  }
  FindCloverLocalDistr();
  ShowLocalDistr(CloverLocalDistr);
}

void ConfigWindow::RefreshLocalDistrComboOnWorker() {
  localRev_->setText(QStringLiteral("Wait ..."));
  localDistr_->clear();
  QPointer<ConfigWindow> self(this);
  const auto status = GetRunner().Start(
      OpKind::LocalArchiveSearch,
      [self](OpContext&) {
        FindCloverLocalDistr();
        std::vector<CloverLocalDistrEntry> found = CloverLocalDistr;
        QMetaObject::invokeMethod(qApp, [self, found = std::move(found)] {
          if (self) self->ShowLocalDistr(found);
          else Log("> RefreshLocalDistrCombo: the Configuration window is closed");
        }, Qt::QueuedConnection);
        return OpResult::Done();
      },
      Cfg());
  if (status != Runner::StartStatus::Started) {
    Log("> RefreshLocalDistrCombo: " + Runner::RefusalText(status));
    ShowLocalDistr(distr_);
  }
}

void ConfigWindow::ShowLocalDistr(const std::vector<CloverLocalDistrEntry>& found) {
  distr_ = found;
  localDistr_->clear();
  if (!distr_.empty()) {
    for (const CloverLocalDistrEntry& e : distr_) localDistr_->addItem(QString::fromStdString(e.Name));
    localDistr_->setCurrentIndex(0);
    const bool on = local_->isChecked();
    localDistr_->setEnabled(on);
    localRev_->setEnabled(on);
  } else {
    localRev_->setText(QStringLiteral("Not Found"));
    localDistr_->setEnabled(false);
    localRev_->setEnabled(false);
  }
  SetComboDropWidth(localDistr_, 0);
  ShowLocalDistrRev();
}

void ConfigWindow::ShowLocalDistrRev() {
  const std::string name = localDistr_->currentText().toStdString();
  for (const CloverLocalDistrEntry& e : distr_) {
    if (e.Name != name) continue;
    const std::string rev = std::to_string(e.Rev);
    localRev_->setText(QStringLiteral("Rev: ") + QString::fromStdString(rev));
    Log("> SetGadgetText(#Text_CloverFoundLocalDistrRev, Rev: " + rev);
    CloverLocalSelectedName = WithSlash(Cfg().CloverLocalRepository) + e.Name;
    CloverLocalSelectedRev = rev;
    return;
  }
}

void ConfigWindow::OnRepository() {
  if (!hooks_.chooseDirectory) return;
  const std::string dir =
      hooks_.chooseDirectory(QStringLiteral("Select Clover Local Repository Path:"), Cfg().CloverLocalRepository);
  if (!IsDirectory(dir)) return;
  Cfg().CloverLocalRepository = WithSlash(dir);
  Log("> Set Clover Local Repo = " + Cfg().CloverLocalRepository);
  RefreshLocalDistrComboOnWorker();
}

void ConfigWindow::OnImageRepository() {
  if (!hooks_.chooseDirectory) return;
  const std::string dir =
      hooks_.chooseDirectory(QStringLiteral("Select FKLImage files Local Repository Path:"), Cfg().FKLImageLocalRepo);
  if (!IsDirectory(dir)) return;
  Cfg().FKLImageLocalRepo = WithSlash(dir);
  Log("> Set FKLImage Local Repo = " + Cfg().FKLImageLocalRepo);
}

void ConfigWindow::closeEvent(QCloseEvent* e) {
  if (!closing_) {
    closing_ = true;
    ReturnToMainWindow(main_);
    if (hooks_.saveSettings) hooks_.saveSettings();
  }
  QWidget::closeEvent(e);
}

QWidget* FindMainWindow() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->objectName() == QStringLiteral("Window_Main")) return w;
  return nullptr;
}

ConfigWindow* OpenConfigWindow(QWidget* mainWindow, ConfigHooks hooks) {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (auto* open = qobject_cast<ConfigWindow*>(w); open && open->isVisible()) {
      open->raise();
      open->activateWindow();
      return open;
    }
  }
  auto* w = new ConfigWindow(mainWindow, std::move(hooks));
  w->show();
  return w;
}

}  // namespace fk::gui

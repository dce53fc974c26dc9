// The Configuration window: the only place where the user edits the settings.
// Every control writes its setting at once; OK and the close box save the
// settings file. The main window is disabled while it is open.
#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "format/CloverDataSet.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace fk::gui {

class LinkLabel;

inline constexpr int kConfigWidth = 275;
inline constexpr int kConfigHeight = 465;

struct ConfigHooks {
  std::function<void()> updateAllDrives;   // rebuilds the drive tree
  std::function<void()> saveSettings;      // writes the settings file
  std::function<void()> startCloverCheck;  // the release check of "Check Now"
  std::function<bool(const std::string& url)> openUrl;
  // Asks for a directory; "" when cancelled.
  std::function<std::string(const QString& title, const std::string& start)> chooseDirectory;
};

// The hooks of the program: SaveSetting, the release check, the desktop's
// link opener and directory dialog; updateAllDrives is left to the caller.
ConfigHooks DefaultConfigHooks();

QString ConfigWindowTitle();

class ConfigWindow : public QWidget {
  Q_OBJECT
 public:
  ConfigWindow(QWidget* mainWindow, ConfigHooks hooks);
  ~ConfigWindow() override;

  // Refills the local-archive list from a search of the Clover repository
  // made on the calling (GUI) thread.
  void RefreshLocalDistrCombo();
  // Starts the search on a worker; its result is applied on the GUI thread,
  // and only while this window still exists.
  void RefreshLocalDistrComboOnWorker();
  // Shows the list found by a search.
  void ShowLocalDistr(const std::vector<CloverLocalDistrEntry>& found);
  void ShowLocalDistrRev();

 protected:
  void closeEvent(QCloseEvent* e) override;

 private:
  void InitStates();
  void SetFormatControlsEnabled(bool enabled);
  void OnDataSet(const std::string& value);
  void OnBootRecords(const std::string& value);
  void OnFileSystem();
  void OnStartLBA();
  void OnBootPartitionSize();
  void ShowClusterSize();
  void OnRepository();
  void OnImageRepository();

  QPointer<QWidget> main_;
  ConfigHooks hooks_;
  std::vector<CloverLocalDistrEntry> distr_;
  QRadioButton* local_ = nullptr;
  QRadioButton* dl_ = nullptr;
  QRadioButton* notInstall_ = nullptr;
  QComboBox* localDistr_ = nullptr;
  QLabel* localRev_ = nullptr;
  QComboBox* revision_ = nullptr;
  QLabel* checkDate_ = nullptr;
  LinkLabel* updNews_ = nullptr;
  QCheckBox* checkAtStartup_ = nullptr;
  QPushButton* checkNow_ = nullptr;
  QCheckBox* makeReady_ = nullptr;
  QPushButton* cloverRepo_ = nullptr;
  QRadioButton* bootClover_ = nullptr;
  QRadioButton* bootWindows_ = nullptr;
  QRadioButton* bootFreeDos_ = nullptr;
  QRadioButton* bootNotFormat_ = nullptr;
  QLineEdit* volumeLabel_ = nullptr;
  QComboBox* fileSystem_ = nullptr;
  QComboBox* clusterSize_ = nullptr;
  QComboBox* startLba_ = nullptr;
  QCheckBox* multi_ = nullptr;
  QLineEdit* bootSize_ = nullptr;
  QCheckBox* fixedDisks_ = nullptr;
  QPushButton* imageRepo_ = nullptr;
  QPushButton* ok_ = nullptr;
  bool closing_ = false;
};

// Opens the window for the main window (or raises the open one).
ConfigWindow* OpenConfigWindow(QWidget* mainWindow, ConfigHooks hooks);
// The main window among the top-level widgets, or nullptr.
QWidget* FindMainWindow();

}  // namespace fk::gui

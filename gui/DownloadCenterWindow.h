// The Download Center: the user picks a Recovery HD package or an additional
// file, refreshes either list from the network and starts the download. Its
// buttons start operations on the runner and follow the runner's state (the
// main window forwards it); workers never touch its widgets. The main window
// is disabled while it is open.
#pragma once

#include <QPointer>
#include <QWidget>
#include <string>
#include <vector>

#include "app/Runner.h"
#include "app/Settings.h"
#include "net/AdditionalDownloads.h"

class QComboBox;
class QPushButton;
class QRadioButton;

namespace fk::gui {

inline constexpr int kDownloadCenterWidth = 440;
inline constexpr int kDownloadCenterHeight = 145;

QString DownloadCenterTitle();

class DownloadCenterWindow : public QWidget {
  Q_OBJECT
 public:
  explicit DownloadCenterWindow(QWidget* mainWindow);
  ~DownloadCenterWindow() override;

  // An operation changed state (GUI thread): Update, DL and Clear are enabled
  // only while no network operation runs, and a finished list update refills
  // its list.
  void OnRunnerState(OpKind kind, OpState state);

  // Refills the additional-downloads list from the process-wide list (the
  // rows keep copies of the entries they show) and selects row 0.
  void SortAdditionalDLList();
  // Refills the Recovery HD list from the saved settings; the last row is selected.
  void FillRecoveryHDList();

  // The entries the rows show (a DL takes its entry from here).
  const std::vector<AdditionalDLEntry>& AdditionalRows() const { return additionalRows_; }

 protected:
  void closeEvent(QCloseEvent* e) override;

 private:
  QRadioButton* AddOption(const char* name, const QString& text, QRect g);
  void UpdateStates();
  bool Start(OpKind kind, Runner::Work work, const std::string& name);
  void OnOption();
  void OnUpdate();
  void OnClear();
  void OnDL();

  QPointer<QWidget> main_;
  QComboBox* recovery_ = nullptr;
  QComboBox* additional_ = nullptr;
  QRadioButton* optRecovery_ = nullptr;
  QRadioButton* optAdditional_ = nullptr;
  QPushButton* exit_ = nullptr;
  QPushButton* clear_ = nullptr;
  QPushButton* update_ = nullptr;
  QPushButton* dl_ = nullptr;
  std::vector<RecoveryHDSource> recoveryRows_;
  std::vector<AdditionalDLEntry> additionalRows_;
  bool closing_ = false;
};

// Opens the window for the main window (or raises the open one). The main
// window's runnerStateChanged signal, when it has one, drives its states.
DownloadCenterWindow* OpenDownloadCenter(QWidget* mainWindow);

}  // namespace fk::gui

// The operations the GUI calls into. main.cpp fills in those that exist; a
// button or menu item whose operation is empty stays disabled.
#pragma once

#include <functional>
#include <string>
#include <utility>

#include "app/Ui.h"

namespace fk::gui {

struct GuiActions {
  // --- start-up and exit ---
  std::function<void()> installErrorHandler;
  std::function<void()> loadSettings;           // opens the log and writes its header
  std::function<std::pair<int, int>()> windowPosition;  // WinX, WinY
  std::function<void(int, int)> storeWindowPosition;    // before saveSettings
  std::function<void()> saveSettings;
  std::function<void()> loadAdditionalDLList;   // "UserDL.ini", user flag 1
  std::function<void()> writeExampleUserDL;     // when "UserDL.ini" is missing
  std::function<void()> setAutoRunPolicy;       // remember and set NoDriveTypeAutoRun 255
  std::function<void()> restoreAutoRunPolicy;
  std::function<void()> findCloverLocalDistr;   // starts its worker
  std::function<void()> startupCloverCheck;     // StartThread(1) or remember CloverLastRev
  std::function<bool()> setFormatPromptHook;
  std::function<void()> clrFormatPromptHook;
  std::function<void()> deleteTempWorkDir;
  // Device-change notifications: started once the main window is shown with
  // the function that posts UM_UPDATE_ALL_DRIVES to the main loop; stopped
  // first in the exit sequence.
  std::function<void(std::function<void(int event)> post)> startDeviceEvents;
  std::function<void()> stopDeviceEvents;
  // First in the exit sequence after the device events: cancels the running
  // operations and waits up to timeoutMs for them, keeping the GUI thread's
  // events flowing; false when one still runs.
  std::function<bool(int timeoutMs)> finishWorkers;
  // Start-up is complete; the main loop runs next.
  std::function<void()> afterStart;

  // --- settings read by the window ---
  std::function<std::string()> bootRecords;     // Boot_records$
  std::function<std::string()> installDataSet;  // InstallDataSet$
  std::function<std::string()> cloverLastRev;   // CloverLastRev$

  // --- operations of the main window ---
  std::function<void()> updateAllDrives;
  // Long operations start one worker and return whether it was started.
  std::function<bool(int installFull)> startFormat;
  std::function<bool()> startBackup;
  std::function<bool()> startRecover;
  std::function<bool()> startExtractHFSFromDMG;
  std::function<void()> eject;
  std::function<void()> openDownloadCenter;
  std::function<void()> openConfiguration;
  std::function<void()> installHFS;
  std::function<void()> uninstallHFS;
  std::function<bool()> hfsDriversInstalled;

  // Opens a link or a file through the desktop; empty: QDesktopServices.
  std::function<bool(const std::string& url)> openUrl;
  // Replaces the message boxes (tests, helpers); empty: QMessageBox.
  std::function<MsgAnswer(const std::string& title, const std::string& text, MsgButtons, MsgIcon)> messageBox;
};

// InstallFull for a Format press: Clover / Not_Format install unless the data
// set is "Not_Install"; FreeDos always; anything else (Windows) never.
int ChooseInstallFull(const std::string& bootRecords, const std::string& installDataSet);

// Link targets.
inline constexpr const char* kMakerSite = "https://flashkeel.github.io/";
inline constexpr const char* kCloverSource = "https://github.com/CloverHackyColor/CloverBootloader";
inline constexpr const char* kCloverCommits = "https://github.com/CloverHackyColor/CloverBootloader/commits/master";
inline constexpr const char* kCloverWiki = "https://github.com/CloverHackyColor/CloverBootloader/wiki/Home";
inline constexpr const char* kCloverForum = "https://www.applelife.ru/threads/clover.42089/";
inline constexpr const char* kCloudCloverEditor = "https://cloudclovereditor.altervista.org/cce/index.php";
inline constexpr const char* kMakerCredit = "\u00A9 Velk, 2020";

}  // namespace fk::gui

// The settings file: every user choice that survives a restart, read once at
// start-up by LoadSetting and rewritten whole by SaveSetting.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/Log.h"

namespace fk {

// One software-update catalog (lists SUCatalogURLList and UserSUCatalogURLList).
struct SUCatalogURLEntry {
  std::string Name;
  std::string URL;
  int OSNumber = 0;  // macOS minor version, 0 when not known
  bool operator==(const SUCatalogURLEntry&) const = default;
};

// One Recovery HD package (list RecoveryHDSourceList). Entries loaded from the
// settings carry Name and URL only.
struct RecoveryHDSource {
  std::string Name;
  std::string ProductID;
  std::string MetadataURL;
  std::string URL;
  std::string Size;
  std::string Digest;
  std::string Build;
  int64_t PostDate = 0;
  std::string PostDateText;  // "%yyyy-%mm-%dd"
  std::string UnpackScript;
  bool operator==(const RecoveryHDSource&) const = default;
};

struct Settings {
  int WinX = 400;
  int WinY = 400;
  int LogEnable = 0;
  std::string InstallDataSet = "DL";
  std::string CloverLastRev = "0";
  std::string CloverLastRevCheckDate;
  int CheckLatestCloverAtStartup = 0;
  int SaveLatestCloverAfterDL = 0;
  std::string CloverLocalRepository;
  std::string FKLImageLocalRepo;
  std::string VolumeLabel = "FKL";
  std::string Boot_records = "Clover";
  std::string FileSystem = "FAT32-LBA";
  std::string ClusterSize = "0";
  std::string StartLBASector = "63";
  int QuickFormat = 1;
  int MultiPartitions = 1;
  int BootPartitionSize = 200;  // MB
  int EnableFixedDisks = 0;
  int SearchOnlyNewestRevRecoveryHD = 1;
  int UseInternalSucatalogUrlList = 1;
  int ShowSucatalogSummaryURLList = 0;
  int iResumeMaxAttemptsNumber = 9999;
  std::string CloverDLRev = "0";  // revision chosen for download; not stored in the file
  std::vector<int> CloverRevList;  // revisions of the last check, highest first; not stored in the file

  std::vector<SUCatalogURLEntry> SUCatalogURLList;
  std::vector<SUCatalogURLEntry> UserSUCatalogURLList;
  std::vector<RecoveryHDSource> RecoveryHDSourceList;
  bool operator==(const Settings&) const = default;
};

class IniFile;

// The settings in force on the calling thread: an operation's own copy on
// the thread running it (see SettingsScope), else the saved settings.
Settings& Cfg();
// The process-wide settings that SaveSetting writes.
Settings& SavedSettings();

// While alive, Cfg() on the constructing thread returns *settings.
class SettingsScope {
 public:
  explicit SettingsScope(Settings* settings);
  ~SettingsScope();
  SettingsScope(const SettingsScope&) = delete;
  SettingsScope& operator=(const SettingsScope&) = delete;

 private:
  Settings* previous_;
};
// Puts Cfg() back to the values it has before any file is read.
void ResetSettings();

// Catalog-list operations owned by the software-update catalog code, which
// installs them at start-up. While makeSucatalogURL is not installed, the
// built-in catalog addresses are not added (SUCatalogURLList then holds only
// the user's entries). Without add2SUCatalogURLList an entry with a non-empty
// name and URL is appended as it is; without removeDoubles nothing is removed.
struct CatalogListHooks {
  std::function<std::string(int channel, int minor)> makeSucatalogURL;
  std::function<void(std::vector<SUCatalogURLEntry>& list, const std::string& name, const std::string& url)>
      add2SUCatalogURLList;
  std::function<void(std::vector<SUCatalogURLEntry>& list)> removeDoublesSUCatalogURL;
};
void SetCatalogListHooks(CatalogListHooks hooks);

// Address of the 10.16 seed catalog shown as the example of a user entry.
std::string ExampleSeedCatalogURL();

// Paths().ProgramDir + Paths().ProgramBaseName + ".ini"
std::string SettingsFilePath();

// Where LoadSetting() opens the debug log: "FKLDebug.log" in the settings
// directory (Paths().ProgramDir), which is the program's own directory when
// that is writable.
std::string DefaultLogPath();

// Reads the settings file into Cfg(), opening the debug log at logPath when
// LogEnable is 1, and writing the log header.
void LoadSetting();
void LoadSetting(const std::string& file, const std::string& logPath = kLogFileName);
// Why the last LoadSetting ignored the file and used the defaults ("" when the
// file was read or was absent).
std::string LastSettingsLoadError();

// The part of LoadSetting that reads the values: fills s from the file's
// content (missing or refused values take their defaults) and logs them.
void SettingsFromIni(const IniFile& ini, Settings& s);

// Rewrites the settings file from Cfg(). The new content goes to a temporary
// file in the same directory that replaces the old file only once it is
// completely on disk. Returns false when nothing was replaced; a file the
// last LoadSetting could not read is never replaced.
bool SaveSetting();
bool SaveSetting(const std::string& file);

// The text SaveSetting writes (BOM, CR LF lines), without logging.
std::string SettingsFileText();
std::string SettingsFileText(const Settings& s);

// Test aid: called with the temporary file's path just before it is renamed
// over the settings file; returning false abandons the save at that point.
void SetSaveSettingBeforeRenameHook(std::function<bool(const std::string& tempPath)> hook);

}  // namespace fk

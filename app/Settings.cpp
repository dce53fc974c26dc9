#include "app/Settings.h"

#include <cstdio>
#include <filesystem>
#include <mutex>

#include "app/AppState.h"
#include "app/IniFile.h"

namespace fk {

namespace {

constexpr const char* kRule = "------------------------------------------------------------------------------";
constexpr const char* kCheckIt = "Check It!";
constexpr const char* kNoDate = "00.00.00 00:00";

std::mutex g_hookMutex;
CatalogListHooks g_hooks;
std::function<bool(const std::string&)> g_beforeRename;

CatalogListHooks Hooks() {
  std::lock_guard lock(g_hookMutex);
  return g_hooks;
}

std::string Dec(int64_t v) { return std::to_string(v); }

int ZeroOrOne(int v, int fallback) { return (v == 0 || v == 1) ? v : fallback; }

std::string OneOf(const std::string& v, std::initializer_list<const char*> allowed, const char* fallback) {
  for (const char* a : allowed)
    if (v == a) return v;
  return fallback;
}

std::string WithSlash(std::string p) {
  if (!p.empty() && p.back() != '/') p += '/';
  return p;
}

// Parses "dd.mm.yy hh:ii" and writes it again with the same mask; a text that
// is not such a date gives "00.00.00 00:00".
std::string NormalizeCheckDate(const std::string& text) {
  int v[5] = {};
  const char seps[4] = {'.', '.', ' ', ':'};
  size_t i = 0;
  for (int f = 0; f < 5; ++f) {
    int digits = 0, n = 0;
    while (i < text.size() && digits < 2 && text[i] >= '0' && text[i] <= '9') {
      n = n * 10 + (text[i++] - '0');
      ++digits;
    }
    if (digits == 0) return kNoDate;
    v[f] = n;
    if (f < 4) {
      if (i >= text.size() || text[i] != seps[f]) return kNoDate;
      ++i;
    }
  }
  if (i != text.size()) return kNoDate;
  const int day = v[0], month = v[1], year = v[2] < 70 ? 2000 + v[2] : 1900 + v[2], hour = v[3], minute = v[4];
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || hour > 23 || minute > 59 || day < 1) return kNoDate;
  int maxDay = kDays[month - 1];
  if (month == 2 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0)) maxDay = 29;
  if (day > maxDay) return kNoDate;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%02d.%02d.%02d %02d:%02d", day, month, year % 100, hour, minute);
  return buf;
}

std::string LoadRepository(const IniFile& ini, const char* key) {
  const std::string& programDir = Paths().ProgramDir;
  // Installed, the default is a folder in the user's data folder rather than
  // the settings folder.
  const std::string& fallback = Paths().RepositoryDir.empty() ? programDir : Paths().RepositoryDir;
  std::string v = ini.Text("Data Settings", key, fallback);
  if (v == ".\\" || v == "./") return programDir;
  std::error_code ec;
  if (!std::filesystem::is_directory(v, ec)) return fallback;
  return v;
}

std::string SaveRepository(const std::string& path) {
  const std::string& programDir = Paths().ProgramDir;
  if (!programDir.empty() && WithSlash(path) == WithSlash(programDir)) return ".\\";
  return path;
}

void AddCatalogEntry(const CatalogListHooks& h, std::vector<SUCatalogURLEntry>& list, const std::string& name,
                     const std::string& url) {
  if (h.add2SUCatalogURLList) {
    h.add2SUCatalogURLList(list, name, url);
  } else if (!name.empty() && !url.empty()) {
    list.push_back(SUCatalogURLEntry{name, url, 0});
  }
}

class Writer {
 public:
  explicit Writer(bool log) : log_(log) { out_ = "\xEF\xBB\xBF\r\n"; }
  void Group(const std::string& name) { Line("[" + name + "]"); }
  void Comment(const std::string& text) { Line("; " + text); }
  void Rule() { Comment(kRule); }
  void Entry(const std::string& key, const std::string& value) { Line(key + " = " + value); }
  void Entry(const std::string& key, int64_t value) { Entry(key, Dec(value)); }
  void LogLine(const std::string& message) {
    if (log_) Log(message);
  }
  std::string Take() { return std::move(out_); }

 private:
  void Line(const std::string& l) {
    out_ += l;
    out_ += "\r\n";
  }
  std::string out_;
  bool log_;
};

std::string BuildText(const Settings& s, bool log) {
  Writer w(log);
  w.Group("Application Info");
  w.Entry("ApplicationName", "Flashkeel");
  w.Entry("Version", AppVersion());
  w.Rule();
  w.Group("Window Settings");
  w.Entry("WinX", s.WinX);
  w.Entry("WinY", s.WinY);
  w.Rule();
  w.Group("Data Settings");
  w.Comment("Enable Log File: 0 - #False|1 - #True");
  w.Entry("LogEnable", s.LogEnable);
  w.Comment("InstallDataSet: Local|DL|Not_Install");
  w.Entry("InstallDataSet", s.InstallDataSet);
  w.Rule();
  w.Comment("CloverLastRev: Last Clover Revision");
  w.Entry("CloverLastRev", s.CloverLastRev);
  w.Comment("CloverLastRevCheckDate: Last Check Clover Revision Date");
  w.Entry("CloverLastRevCheckDate", s.CloverLastRevCheckDate);
  w.Comment("CheckLatestCloverAtStartup: 0 - #False|1 - #True");
  w.Entry("CheckLatestCloverAtStartup", s.CheckLatestCloverAtStartup);
  w.Comment("SaveLatestCloverAfterDL: 0 - #False|1 - #True");
  w.Entry("SaveLatestCloverAfterDL", s.SaveLatestCloverAfterDL);
  w.Comment("Clover Local Repository Path");
  w.Entry("CloverLocalRepository", SaveRepository(s.CloverLocalRepository));
  w.Comment("Partition Backup FKL-Image Files Local Repository Path");
  w.Entry("FKLImageLocalRepo", SaveRepository(s.FKLImageLocalRepo));
  w.Rule();
  w.Comment("VolumeLabel: 11 letters max");
  w.Entry("VolumeLabel", s.VolumeLabel);
  w.Comment("Boot_records: Windows|Clover|FreeDos|Not_Format");
  w.Entry("Boot_records", s.Boot_records);
  w.Comment("FileSystem: FAT32|FAT32-LBA|NTFS|exFAT|UDF");
  w.Entry("FileSystem", s.FileSystem);
  w.Comment("ClusterSize: 0 - Default");
  w.Entry("ClusterSize", s.ClusterSize);
  w.Comment("StartLBASector: 63|2048|4096| 63 - Default");
  w.Entry("StartLBASector", s.StartLBASector);
  w.Comment("QuickFormat: 0 - #False|1 - #True");
  w.Entry("QuickFormat", s.QuickFormat);
  w.Comment("MultiPartitions: 0 - #False|1 - #True");
  w.Entry("MultiPartitions", s.MultiPartitions);
  w.Comment("BootPartitionSize: 32 - 2000000 MB | 64 - Default");
  w.Entry("BootPartitionSize", s.BootPartitionSize);
  w.Comment("EnableFixedDisks: 0 - #False|1 - #True");
  w.Entry("EnableFixedDisks", s.EnableFixedDisks);
  w.Rule();
  w.Group("Sucatalog Check Setting");
  w.Comment("Search Only for the Newest Revisions of Recovery HD.");
  w.Comment("SearchOnlyNewestRevRecoveryHD: 0 - #False|1 - #True");
  w.Entry("SearchOnlyNewestRevRecoveryHD", s.SearchOnlyNewestRevRecoveryHD);
  w.Comment("Use Internal Sucatalog Url List for search Recovery HD pkg.");
  w.Comment("UseInternalSucatalogUrlList: 0 - #False|1 - #True");
  w.Entry("UseInternalSucatalogUrlList", s.UseInternalSucatalogUrlList);
  w.Comment("Save Summary Internal Sucatalog Url List to the section [Sucatalog Summary URL list].");
  w.Comment("ShowSucatalogSummaryURLList: 0 - #False|1 - #True");
  w.Entry("ShowSucatalogSummaryURLList", s.ShowSucatalogSummaryURLList);
  w.Group("Sucatalog Summary URL List");
  w.Comment("Summary Sucatalog Url List will be saved here if ShowSucatalogSummaryURLList=1.");
  if (s.ShowSucatalogSummaryURLList != 0) {
    for (const auto& e : s.SUCatalogURLList) {
      w.Entry(e.Name, e.URL);
      w.LogLine("> SaveSetting: " + e.Name + ": " + e.URL);
    }
  }
  w.Group("Sucatalog User Defined URL list");
  w.Comment("Additional User Defined Sucatalog Url List.");
  w.Comment("10.16 seed = " + ExampleSeedCatalogURL());
  for (const auto& e : s.UserSUCatalogURLList) {
    w.Entry(e.Name, e.URL);
    w.LogLine("> SaveSetting: " + e.Name + ": " + e.URL);
  }
  w.Rule();
  w.Group("Download Settings");
  w.Comment("The maximum number of attempts to resume downloading files: 9999 - max value");
  w.Entry("ResumeMaxAttemptsNumber", s.iResumeMaxAttemptsNumber);
  w.Rule();
  w.Group("Download Data Settings");
  w.Comment("Name of Recovery HD = URL for Download");
  for (const auto& r : s.RecoveryHDSourceList) {
    w.Entry(r.Name, r.URL);
    w.LogLine("> SaveSetting: " + r.Name + " " + r.URL);
  }
  w.Rule();
  w.Group("Tools Data Settings");
  w.Rule();
  return w.Take();
}

}  // namespace

namespace {
thread_local Settings* tScopedSettings = nullptr;
}

Settings& SavedSettings() {
  static Settings s;
  return s;
}

Settings& Cfg() { return tScopedSettings != nullptr ? *tScopedSettings : SavedSettings(); }

SettingsScope::SettingsScope(Settings* settings) : previous_(tScopedSettings) { tScopedSettings = settings; }
SettingsScope::~SettingsScope() { tScopedSettings = previous_; }

void ResetSettings() { SavedSettings() = Settings{}; }

void SetCatalogListHooks(CatalogListHooks hooks) {
  std::lock_guard lock(g_hookMutex);
  g_hooks = std::move(hooks);
}

std::string ExampleSeedCatalogURL() {
  return "https://swscan.apple.com/content/catalogs/others/"
         "index-10.16seed-10.16-10.15-10.14-10.13-10.12-10.11-10.10-10.9-mountainlion-lion-snowleopard-leopard."
         "merged-1.sucatalog";
}

std::string SettingsFilePath() { return Paths().ProgramDir + Paths().ProgramBaseName + ".ini"; }

void LoadSetting() { LoadSetting(SettingsFilePath(), DefaultLogPath()); }

std::string DefaultLogPath() { return Paths().ProgramDir + kLogFileName; }

namespace {
std::mutex g_loadErrorMutex;
std::string g_loadError;
std::string g_loadErrorFile;  // the file the error is about
}  // namespace

std::string LastSettingsLoadError() {
  std::lock_guard lock(g_loadErrorMutex);
  return g_loadError;
}

void LoadSetting(const std::string& file, const std::string& logPath) {
  std::string loadError;
  const IniFile ini = IniFile::Load(file, &loadError);
  {
    std::lock_guard lock(g_loadErrorMutex);
    g_loadError = loadError;
    g_loadErrorFile = loadError.empty() ? std::string() : file;
  }
  if (ZeroOrOne(ini.Integer("Data Settings", "LogEnable", 0), 0) == 1 && !LogIsOpen()) OpenLog(logPath);
  WriteLogHeader();
  if (!loadError.empty()) Log("> LoadSetting: Error: the defaults are used: " + loadError);
  SettingsFromIni(ini, SavedSettings());
}

void SettingsFromIni(const IniFile& ini, Settings& s) {
  auto logValue = [](const std::string& name, const std::string& value) {
    Log("> LoadSetting: " + name + "=" + value);
  };

  s.WinX = ini.Integer("Window Settings", "WinX", 400);
  s.WinY = ini.Integer("Window Settings", "WinY", 400);

  const char* data = "Data Settings";
  s.LogEnable = ZeroOrOne(ini.Integer(data, "LogEnable", 0), 0);
  logValue("LogEnable", Dec(s.LogEnable));

  s.InstallDataSet = OneOf(ini.Text(data, "InstallDataSet", "DL"), {"Local", "DL", "Not_Install"}, "DL");

  s.CloverLastRev = ini.Text(data, "CloverLastRev", kCheckIt);
  const int64_t rev = ParseLeadingInt(s.CloverLastRev);
  if (rev < 906 || rev > 99999) {
    s.CloverLastRev = kCheckIt;
    s.CloverLastRevCheckDate = kNoDate;
  } else {
    s.CloverLastRevCheckDate = NormalizeCheckDate(ini.Text(data, "CloverLastRevCheckDate", ""));
    if (s.CloverLastRevCheckDate == kNoDate) s.CloverLastRev = kCheckIt;
  }

  s.CheckLatestCloverAtStartup = ZeroOrOne(ini.Integer(data, "CheckLatestCloverAtStartup", 0), 0);
  logValue("CheckLatestCloverAtStartup", Dec(s.CheckLatestCloverAtStartup));
  s.SaveLatestCloverAfterDL = ZeroOrOne(ini.Integer(data, "SaveLatestCloverAfterDL", 0), 0);
  logValue("SaveLatestCloverAfterDL", Dec(s.SaveLatestCloverAfterDL));
  s.CloverLocalRepository = LoadRepository(ini, "CloverLocalRepository");
  logValue("CloverLocalRepository$", s.CloverLocalRepository);
  s.FKLImageLocalRepo = LoadRepository(ini, "FKLImageLocalRepo");
  logValue("FKLImageLocalRepo$", s.FKLImageLocalRepo);

  s.VolumeLabel = ini.Text(data, "VolumeLabel", "FKL");
  s.Boot_records = OneOf(ini.Text(data, "Boot_records", "Clover"), {"Windows", "Clover", "FreeDos", "Not_Format"},
                         "Clover");
  s.FileSystem = OneOf(ini.Text(data, "FileSystem", "FAT32-LBA"), {"FAT32", "FAT32-LBA", "NTFS", "exFAT", "UDF"},
                       "FAT32-LBA");
  s.ClusterSize = OneOf(ini.Text(data, "ClusterSize", "0"), {"0"}, "0");
  s.StartLBASector = OneOf(ini.Text(data, "StartLBASector", "63"), {"63", "2048", "4096", "8192"}, "63");
  s.QuickFormat = ZeroOrOne(ini.Integer(data, "QuickFormat", 1), 1);
  logValue("QuickFormat", Dec(s.QuickFormat));
  s.MultiPartitions = ZeroOrOne(ini.Integer(data, "MultiPartitions", 1), 1);
  logValue("MultiPartitions", Dec(s.MultiPartitions));
  const int bps = ini.Integer(data, "BootPartitionSize", 200);
  s.BootPartitionSize = (bps < 32 || bps > 2000000) ? 200 : bps;
  logValue("BootPartitionSize", Dec(s.BootPartitionSize));
  s.EnableFixedDisks = ZeroOrOne(ini.Integer(data, "EnableFixedDisks", 0), 0);
  logValue("EnableFixedDisks", Dec(s.EnableFixedDisks));

  const char* check = "Sucatalog Check Setting";
  s.SearchOnlyNewestRevRecoveryHD = ZeroOrOne(ini.Integer(check, "SearchOnlyNewestRevRecoveryHD", 1), 1);
  logValue("SearchOnlyNewestRevRecoveryHD", Dec(s.SearchOnlyNewestRevRecoveryHD));
  s.UseInternalSucatalogUrlList = ini.Integer(check, "UseInternalSucatalogUrlList", 1);
  logValue("UseInternalSucatalogUrlList", Dec(s.UseInternalSucatalogUrlList));
  s.ShowSucatalogSummaryURLList = ini.Integer(check, "ShowSucatalogSummaryURLList", 0);
  logValue("ShowSucatalogSummaryURLList", Dec(s.ShowSucatalogSummaryURLList));

  // Both catalog lists are rebuilt from scratch at every load.
  const CatalogListHooks hooks = Hooks();
  s.SUCatalogURLList.clear();
  s.UserSUCatalogURLList.clear();
  if (s.UseInternalSucatalogUrlList != 0 && hooks.makeSucatalogURL) {
    for (int minor = 9; minor <= 15; ++minor) {
      hooks.makeSucatalogURL(0, minor);
      hooks.makeSucatalogURL(2, minor);
    }
  }
  if (const IniGroup* user = ini.Group("Sucatalog User Defined URL list")) {
    for (const auto& e : user->entries) {
      Log("> LoadSetting: " + e.key + ": " + e.value);
      AddCatalogEntry(hooks, s.UserSUCatalogURLList, e.key, e.value);
      AddCatalogEntry(hooks, s.SUCatalogURLList, e.key, e.value);
    }
  }
  if (hooks.removeDoublesSUCatalogURL) {
    hooks.removeDoublesSUCatalogURL(s.UserSUCatalogURLList);
    hooks.removeDoublesSUCatalogURL(s.SUCatalogURLList);
  }

  const int attempts = ini.Integer("Download Settings", "ResumeMaxAttemptsNumber", 9999);
  s.iResumeMaxAttemptsNumber = (attempts < 0 || attempts > 9999) ? 9999 : attempts;
  logValue("iResumeMaxAttemptsNumber", Dec(s.iResumeMaxAttemptsNumber));

  s.RecoveryHDSourceList.clear();
  if (const IniGroup* rec = ini.Group("Download Data Settings")) {
    for (const auto& e : rec->entries) {
      RecoveryHDSource r;
      r.Name = e.key;
      r.URL = e.value;
      s.RecoveryHDSourceList.push_back(std::move(r));
      Log("> LoadSetting: " + e.key + ": " + e.value);
    }
  }
}

std::string SettingsFileText() { return BuildText(SavedSettings(), false); }
std::string SettingsFileText(const Settings& s) { return BuildText(s, false); }

void SetSaveSettingBeforeRenameHook(std::function<bool(const std::string&)> hook) {
  std::lock_guard lock(g_hookMutex);
  g_beforeRename = std::move(hook);
}

bool SaveSetting() { return SaveSetting(SettingsFilePath()); }

bool SaveSetting(const std::string& file) {
  {
    // A file that was there but could not be read holds the user's values:
    // the defaults used instead never replace it.
    std::lock_guard lock(g_loadErrorMutex);
    std::error_code ec;
    if (!g_loadError.empty() && file == g_loadErrorFile && std::filesystem::exists(file, ec)) {
      Log("> SaveSetting: Error: settings not saved to " + file + ": it could not be read (" + g_loadError +
          ") and is kept");
      return false;
    }
  }
  const std::string text = BuildText(SavedSettings(), true);
  std::function<bool(const std::string&)> beforeRename;
  {
    std::lock_guard lock(g_hookMutex);
    beforeRename = g_beforeRename;
  }
  std::string error;
  if (!AtomicWriteFile(file, text, &error, beforeRename)) {
    Log("> SaveSetting: Error: settings not saved to " + file + ": " + error);
    return false;
  }
  return true;
}

}  // namespace fk

// Process-wide application state: version texts, the shared flags, the program's
// directories and the lists other subsystems fill.
#pragma once

#include <atomic>
#include <string>

namespace fk {

inline constexpr const char* kProgramTitle = "Flashkeel";
inline constexpr int kBuildNumber = 28;
inline constexpr int kBuildDay = 5;
inline constexpr int kBuildMonth = 7;
inline constexpr int kBuildYear = 2020;

// "v2.1.028 Beta"
const std::string& AppVersion();
// "Flashkeel by Velk \r\nv2.1.028 Beta \r\n" + credit line
const std::string& AboutText();
// "05.07.2020"
std::string BuildDateText();

// A read-only view of the operation runner's state (app/Runner.h) under a
// name the log lines print. Only the runner changes what it reads.
class RunnerFlag {
 public:
  using Reader = int (*)();
  explicit constexpr RunnerFlag(Reader read) : read_(read) {}
  int load() const { return read_(); }
  operator int() const { return read_(); }

 private:
  Reader read_;
};

// 1 while a long operation runs and has not reached its end section.
extern const RunnerFlag format_op_in_progress;
// 1 once the running operation (on its own thread: this operation) was asked
// to cancel.
extern const RunnerFlag CancelMainThread;
// 1 once the running format (on an operation's thread: this operation) was
// cancelled or marked failed.
extern const RunnerFlag FormatStatus;
// 1 while a network operation runs.
extern const RunnerFlag flgNetThreadRunning;
// Set by the exit paths (Exit, Quit, the close box, termination signals).
extern std::atomic<int> ExitRequested;

// Custom event posted to the main loop after a debounced device change.
inline constexpr int UM_UPDATE_ALL_DRIVES = 0x10001;

struct ProgramPaths {
  std::string ProgramFile;      // full path of the running executable
  std::string ProgramName;      // its file name
  std::string ProgramBaseName;  // the file name without extension: "flashkeel"
  std::string ExecutableDir;    // directory of the executable, ending in '/'
  // Where settings, the registry store, UserDL.ini and the debug log live:
  // $FLASHKEEL_HOME; else the executable's directory when the program runs
  // from its build tree or a portable folder (one that already holds
  // flashkeel.ini); else the config folder of the user who started the
  // program ($XDG_CONFIG_HOME/flashkeel/; under pkexec or sudo, the user who
  // asked). Always ends in '/'.
  std::string ProgramDir;
  // Default folder of the repositories (downloads, partition images): the
  // ProgramDir in the first two cases, else the user's data folder
  // ($XDG_DATA_HOME/flashkeel/). "" means ProgramDir. Ends in '/'.
  std::string RepositoryDir;
  std::string SystemDirectory = "/";
  std::string SysNativeDirectory = "/";
};

ProgramPaths& Paths();

// Whether the executable's directory keeps the settings: a build tree
// (CMakeCache.txt in it or up to three folders above) or a portable folder
// (flashkeel.ini already in it).
bool ProgramDirIsLocal(const std::string& executableDir, const std::string& baseName = "flashkeel");

// Fills Paths() from the executable path. The settings base name is always
// "flashkeel" so that the GUI and the CLI share one settings file. Folders it
// makes in the user's home belong to that user.
void InitProgramPaths(const std::string& executablePath, const std::string& baseName = "flashkeel");

// Text of the registry key that holds the AutoRun policy, and the driver keys.
inline constexpr const char* KeyExplorerPolicies =
    "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";
inline constexpr const char* KeyAppleHFS = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\services\\AppleHFS";
inline constexpr const char* KeyAppleMNT = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\services\\AppleMNT";

// Clears ExitRequested (used at start-up and by tests).
void ResetSharedFlags();

}  // namespace fk

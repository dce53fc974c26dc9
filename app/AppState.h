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
  // Where settings, the default repositories and UserDL.ini live: the
  // executable's directory when writable, else $XDG_CONFIG_HOME/flashkeel/.
  // Always ends in '/'.
  std::string ProgramDir;
  std::string SystemDirectory = "/";
  std::string SysNativeDirectory = "/";
};

ProgramPaths& Paths();

// Fills Paths() from the executable path. The settings base name is always
// "flashkeel" so that the GUI and the CLI share one settings file.
void InitProgramPaths(const std::string& executablePath, const std::string& baseName = "flashkeel");

// Text of the registry key that holds the AutoRun policy, and the driver keys.
inline constexpr const char* KeyExplorerPolicies =
    "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";
inline constexpr const char* KeyAppleHFS = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\services\\AppleHFS";
inline constexpr const char* KeyAppleMNT = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\services\\AppleMNT";

// Clears ExitRequested (used at start-up and by tests).
void ResetSharedFlags();

}  // namespace fk

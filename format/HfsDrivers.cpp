#include "format/HfsDrivers.h"

#include <string>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Registry.h"
#include "app/Ui.h"
#include "platform/KernelModules.h"
#include "platform/Mounts.h"

namespace fk {

namespace {

constexpr const char* kTitle = "Boot Camp HFS+ ReadOnly drivers";
constexpr const char* kInstallFailed = "Failed to install HFS+ drivers.";
constexpr const char* kRemoveFailed = "Failed to remove HFS+ drivers.";

struct ServiceValue {
  const char* key;
  const char* name;
  const char* data;
  int type;
  const char* readBack;  // what Reg_GetValue returns once it is stored
};

constexpr ServiceValue kHfsValues[] = {
    {KeyAppleHFS, "Type", "00000002", REG_DWORD, "2"},
    {KeyAppleHFS, "ErrorControl", "00000001", REG_DWORD, "1"},
    {KeyAppleHFS, "Start", "00000000", REG_DWORD, "0"},
    {KeyAppleHFS, "Group", "File System", REG_SZ, "File System"},
};
constexpr ServiceValue kMntValues[] = {
    {KeyAppleMNT, "Group", "System Bus Extender", REG_SZ, "System Bus Extender"},
    {KeyAppleMNT, "Type", "00000001", REG_DWORD, "1"},
    {KeyAppleMNT, "ErrorControl", "00000001", REG_DWORD, "1"},
    {KeyAppleMNT, "Start", "00000000", REG_DWORD, "0"},
};

// Writes the values and reads each back: the store reports a value as set even
// when its file could not be written, so only the read-back tells.
bool WriteValues(const ServiceValue* values, size_t count) {
  bool ok = true;
  for (size_t i = 0; i < count; ++i) {
    const ServiceValue& v = values[i];
    ok = Reg_CreateValue(v.key, v.name, v.data, v.type) != 0 && ok;
    ok = Reg_GetValue(v.key, v.name) == v.readBack && ok;
  }
  return ok;
}

void ShowFailure(const char* text, const std::string& reason) {
  GetUi().MessageBox("Error", reason.empty() ? std::string(text) : std::string(text) + "\r\n" + reason,
                     MsgButtons::Ok, MsgIcon::Error);
}

}  // namespace

HfsDriverState HfsDriverStatus() {
  HfsDriverState s;
  s.loadFile = platform::ModulesLoadFile(kHfsModule);
  s.loadFilePresent = platform::ModulesLoadFileExists(kHfsModule);
  s.keyHfs = Reg_KeyExists(KeyAppleHFS) != 0;
  s.keyMnt = Reg_KeyExists(KeyAppleMNT) != 0;
  s.moduleLoaded = platform::KernelModuleLoaded(kHfsModule) || platform::KernelHasFileSystem(kHfsModule);
  return s;
}

int DriverExists() {
  const std::string file = platform::ModulesLoadFile(kHfsModule);
  int result = 0;
  if (platform::ModulesLoadFileExists(kHfsModule)) {
    Log("> DriverExists: " + file);
    result = 1;
    for (const char* key : {KeyAppleHFS, KeyAppleMNT}) {
      if (Reg_KeyExists(key)) {
        Log(std::string("> KeyExists: ") + key);
      } else {
        Log(std::string("> KeyNotExists: ") + key);
        result = 0;  // half an install is no install
      }
    }
  } else {
    Log("> DriverNotExists: " + file);
  }
  GetUi().SetControlEnabled(Control::Menu_InstallHFSDrivers, result == 0);
  GetUi().SetControlEnabled(Control::Menu_UnInstallHFSDrivers, result == 1);
  return result;
}

int InstallHFSDrivers() {
  const std::string dir = platform::ModulesLoadDir();
  Log("> InstallHFSDrivers: Drivers_Dir$=" + dir);
  if (GetUi().MessageBox(kTitle,
                         "Do you want to Install the Boot Camp HFS+ ReadOnly drivers?\r\nTo Continue with this "
                         "operation, click OK.\r\nTo Quit click CANCEL.",
                         MsgButtons::OkCancel, MsgIcon::Warning) == MsgAnswer::Cancel) {
    Log("> InstallHFSDrivers: Cancel to Install the Boot Camp HFS+ ReadOnly drivers.");
    DriverExists();
    return 1;
  }

  // The module first: a kernel without it gets nothing written. Then the load
  // file, and the keys last, so that a failure never leaves keys that claim an
  // install.
  const bool wasLoaded = platform::KernelModuleLoaded(kHfsModule);
  std::string reason;
  bool ok = platform::LoadKernelModule(kHfsModule, &reason);
  if (!ok) {
    Log("> InstallHFSDrivers: Error modprobe " + std::string(kHfsModule) + ": " + reason);
    reason = "The kernel module " + std::string(kHfsModule) + " cannot be loaded: " + reason;
  } else if (!platform::WriteModulesLoadFile(kHfsModule, &reason)) {
    ok = false;
    Log("> InstallHFSDrivers: Error " + reason);
  } else {
    Log("> InstallHFSDrivers: Create AppleHFS key and a value in a unique command");
    Log(std::string("> InstallHFSDrivers: AppleHFS$=") + KeyAppleHFS);
    bool keys = WriteValues(kHfsValues, std::size(kHfsValues));
    Log("> InstallHFSDrivers: Create AppleMNT key and a value in a unique command");
    keys = WriteValues(kMntValues, std::size(kMntValues)) && keys;
    if (!keys) {
      ok = false;
      Log("> InstallHFSDrivers: Error RegCreateKey");
      reason = "The service keys cannot be written to " + RegistryFile() + ".";
      Reg_DeleteKeyAll(KeyAppleHFS);
      Reg_DeleteKeyAll(KeyAppleMNT);
      std::string ignored;
      if (!platform::RemoveModulesLoadFile(kHfsModule, &ignored)) Log("> InstallHFSDrivers: Error " + ignored);
    }
  }

  if (ok) {
    Log("> InstallHFSDrivers: Drivers_Dir$=" + dir);
    GetUi().MessageBox("WARNING", "To complete the install HFS+ drivers, you need to restart the computer.",
                       MsgButtons::Ok, MsgIcon::Information);
  } else {
    // A module this run loaded goes again, unless a volume came to use it.
    std::string ignored;
    if (!wasLoaded && platform::KernelModuleLoaded(kHfsModule) && !platform::FileSystemMounted(kHfsModule))
      platform::UnloadKernelModule(kHfsModule, &ignored);
    Log(std::string("> InstallHFSDrivers: ") + kInstallFailed);
    ShowFailure(kInstallFailed, reason);
  }
  DriverExists();
  return ok ? 1 : 0;
}

int UnInstallHFSDrivers() {
  const std::string dir = platform::ModulesLoadDir();
  const std::string file = platform::ModulesLoadFile(kHfsModule);
  Log("> UnInstallHFSDrivers: Drivers_Dir$=" + dir);

  const bool hadFile = platform::ModulesLoadFileExists(kHfsModule);
  std::string reason;
  bool fileGone = platform::RemoveModulesLoadFile(kHfsModule, &reason);
  Log(std::string("> UnInstallHFSDrivers: ") + (fileGone ? "Success Delete " : "Error Delete ") + file);
  if (!fileGone) Log("> UnInstallHFSDrivers: Error " + reason);

  bool keysGone = true;
  bool hadKey = false;
  for (const char* key : {KeyAppleHFS, KeyAppleMNT}) {
    if (!Reg_KeyExists(key)) continue;
    hadKey = true;
    if (Reg_DeleteKeyAll(key) && !Reg_KeyExists(key)) {
      Log(std::string("> UnInstallHFSDrivers: Success UnInstall ") + key);
    } else {
      Log(std::string("> UnInstallHFSDrivers: Error UnInstall ") + key);
      keysGone = false;
      if (reason.empty()) reason = std::string("The service key ") + key + " cannot be deleted.";
    }
  }

  // The running kernel keeps reading HFS+ volumes that are mounted; otherwise
  // the module goes now too.
  if (platform::KernelModuleLoaded(kHfsModule)) {
    if (platform::FileSystemMounted(kHfsModule)) {
      Log("> UnInstallHFSDrivers: an HFS+ volume is mounted; the module " + std::string(kHfsModule) +
          " stays loaded until the restart");
    } else if (std::string error; !platform::UnloadKernelModule(kHfsModule, &error)) {
      Log("> UnInstallHFSDrivers: the module " + std::string(kHfsModule) + " stays loaded: " + error);
    }
  }

  const bool removed = (hadFile || hadKey) && fileGone && keysGone;
  if (removed) {
    GetUi().MessageBox("WARNING", "To complete the remove HFS drivers, you need to restart the computer.",
                       MsgButtons::Ok, MsgIcon::Information);
  } else {
    if (!hadFile && !hadKey && reason.empty()) reason = "The HFS+ drivers are not installed.";
    Log(std::string("> UnInstallHFSDrivers: ") + kRemoveFailed);
    ShowFailure(kRemoveFailed, reason);
  }
  DriverExists();
  return removed ? 1 : 0;
}

}  // namespace fk

// Read support for HFS+ volumes: the kernel's hfsplus module, loaded now and at
// every start (a modules-load.d file), with its service keys in the registry
// store. Installed means both parts are there: the load file and both keys.
#pragma once

#include <string>

namespace fk {

// Name of the kernel module and of its load file.
inline constexpr const char* kHfsModule = "hfsplus";

// Asks, loads the module, writes the load file, then the keys. 1 on success or
// when the user declines, 0 on failure (nothing of the install is left then).
// Shows the designed messages; runs DriverExists at the end.
int InstallHFSDrivers();
// Removes the load file and both keys, and unloads the module when no HFS+
// volume is mounted. 1 when something was installed and nothing of it is left.
int UnInstallHFSDrivers();
// 1 when the load file and both keys are present; sets the two menu entries.
int DriverExists();

struct HfsDriverState {
  std::string loadFile;      // path of the load file
  bool loadFilePresent = false;
  bool keyHfs = false;       // AppleHFS service key
  bool keyMnt = false;       // AppleMNT service key
  bool moduleLoaded = false; // the running kernel reads HFS+ now
  bool Installed() const { return loadFilePresent && keyHfs && keyMnt; }
};
// The state without logging or touching the menu.
HfsDriverState HfsDriverStatus();

}  // namespace fk

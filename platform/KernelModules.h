// Kernel file-system modules: the modules-load.d file that loads one at every
// start, loading and unloading it now, and whether a volume of its type is
// mounted. The locations are settable so that tests work on a scratch tree.
#pragma once

#include <string>

namespace fk::platform {

struct ModuleSetup {
  std::string systemRoot = "/";       // the load file lives in <systemRoot>etc/modules-load.d/
  std::string moduleRoot;             // "" = modprobe's own module tree; else passed as "-d DIR"
  std::string modprobe = "modprobe";  // looked up on PATH when it has no '/'
  std::string mountsFile = "/proc/self/mounts";
  std::string sysModuleDir = "/sys/module/";  // a loaded module has a directory here
};

ModuleSetup GetModuleSetup();
// Replaces the locations (tests); a default ModuleSetup{} restores the system's.
void SetModuleSetup(ModuleSetup setup);

// "<systemRoot>etc/modules-load.d/", ending in '/'.
std::string ModulesLoadDir();
// ModulesLoadDir() + module + ".conf"
std::string ModulesLoadFile(const std::string& module);
// Whether the load file is there (a regular file naming the module).
bool ModulesLoadFileExists(const std::string& module);
// Writes the load file (creating the directory), flushed and renamed into
// place so that no half-written file is ever seen. False with *error.
bool WriteModulesLoadFile(const std::string& module, std::string* error);
// Removes the load file; a file that is not there counts as removed.
// False with *error when it stays.
bool RemoveModulesLoadFile(const std::string& module, std::string* error);

// "modprobe MODULE" / "modprobe -r MODULE"; false with *error (the tool's own
// message) when it fails or cannot be started.
bool LoadKernelModule(const std::string& module, std::string* error);
bool UnloadKernelModule(const std::string& module, std::string* error);

// Whether the module is loaded (not built in).
bool KernelModuleLoaded(const std::string& module);

// Whether the mount table lists a file system of that type.
bool FileSystemMounted(const std::string& fsType);

}  // namespace fk::platform

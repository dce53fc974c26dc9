// flashkeel-cli hfs status|install|uninstall
#include <cstdio>

#include "app/AppState.h"
#include "app/Registry.h"
#include "app/Runner.h"
#include "app/Settings.h"
#include "cli/Commands.h"
#include "format/HfsDrivers.h"

namespace fk::cli {

namespace {

const char* Present(bool b) { return b ? "present" : "missing"; }

void PrintStatus(std::FILE* out) {
  const HfsDriverState s = HfsDriverStatus();
  const bool any = s.loadFilePresent || s.keyHfs || s.keyMnt;
  std::fprintf(out, "HFS+ read support: %s\n",
               s.Installed() ? "installed"
               : any         ? "not installed (partly there: 'flashkeel-cli hfs uninstall' removes it)"
                             : "not installed");
  std::fprintf(out, "  load file %s: %s\n", s.loadFile.c_str(), Present(s.loadFilePresent));
  std::fprintf(out, "  service key AppleHFS: %s\n", Present(s.keyHfs));
  std::fprintf(out, "  service key AppleMNT: %s\n", Present(s.keyMnt));
  std::fprintf(out, "  (service keys kept in %s)\n", RegistryFile().c_str());
  std::fprintf(out, "  the running kernel reads HFS+: %s\n", s.moduleLoaded ? "yes" : "no");
  std::fflush(out);
}

}  // namespace

int RunHfs(const Args& a, CliUi& ui, std::FILE* out) {
  if (a.hfsAction == "status") {
    PrintStatus(out);
    return 0;
  }
  const bool install = a.hfsAction == "install";
  OpResult r = GetRunner().RunHere(
      OpKind::HfsDriverInstall,
      [install](OpContext&) {
        const int ok = install ? InstallHFSDrivers() : UnInstallHFSDrivers();
        return ok ? OpResult::Done() : OpResult::Failed(install ? "HFS+ install failed" : "HFS+ removal failed");
      },
      SavedSettings());
  (void)ui;
  if (!r.ok()) return 1;
  // A declined install leaves things as they were; say so through the exit code.
  return (install && !HfsDriverStatus().Installed()) ? 1 : 0;
}

}  // namespace fk::cli

#include "app/AppState.h"

#include "platform/UserFolders.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace fk {

std::atomic<int> ExitRequested{0};

const std::string& AppVersion() {
  static const std::string v = [] {
    char buf[32];
    std::snprintf(buf, sizeof buf, "v2.1.%03d Beta", kBuildNumber);
    return std::string(buf);
  }();
  return v;
}

const std::string& AboutText() {
  static const std::string t =
      "Flashkeel by Velk \r\n" + AppVersion() + " \r\n" + "Linux edition, built with Qt 6";
  return t;
}

std::string BuildDateText() {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d.%02d.%04d", kBuildDay, kBuildMonth, kBuildYear);
  return buf;
}

ProgramPaths& Paths() {
  static ProgramPaths p;
  return p;
}

static std::string WithSlash(std::string s) {
  if (s.empty() || s.back() != '/') s += '/';
  return s;
}

bool ProgramDirIsLocal(const std::string& executableDir, const std::string& baseName) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path dir(executableDir);
  if (fs::is_regular_file(dir / (baseName + ".ini"), ec)) return true;
  // A program of the build tree sits at most three folders below its top
  // (build/cli/flashkeel-cli, build/tests/gui/...).
  fs::path d = (dir / "").parent_path();
  for (int up = 0; up < 4 && !d.empty(); ++up, d = d.parent_path()) {
    if (fs::is_regular_file(d / "CMakeCache.txt", ec)) return true;
    if (d == d.root_path()) break;
  }
  return false;
}

void InitProgramPaths(const std::string& executablePath, const std::string& baseName) {
  namespace fs = std::filesystem;
  ProgramPaths& p = Paths();
  std::error_code ec;
  fs::path exe = fs::weakly_canonical(fs::path(executablePath), ec);
  if (ec) exe = fs::path(executablePath);
  p.ProgramFile = exe.string();
  p.ProgramName = exe.filename().string();
  p.ProgramBaseName = baseName;
  p.ExecutableDir = WithSlash(exe.parent_path().string());
  p.RepositoryDir.clear();
  if (const char* home = std::getenv("FLASHKEEL_HOME"); home && *home) {
    p.ProgramDir = WithSlash(home);
  } else if (ProgramDirIsLocal(p.ExecutableDir, baseName)) {
    p.ProgramDir = p.ExecutableDir;
  } else {
    // Installed: never the program's folder, which root could write to.
    p.ProgramDir = WithSlash(platform::UserConfigDir() + "/flashkeel");
    p.RepositoryDir = WithSlash(platform::UserDataDir() + "/flashkeel");
    for (const std::string& dir : {p.ProgramDir, p.RepositoryDir}) {
      std::string error;
      // The log is not open yet: the reason goes to stderr.
      if (!platform::MakeUserDirectories(dir, &error)) std::fprintf(stderr, "flashkeel: %s\n", error.c_str());
    }
  }
  p.SystemDirectory = "/";
  p.SysNativeDirectory = "/";
}

void ResetSharedFlags() { ExitRequested = 0; }

}  // namespace fk

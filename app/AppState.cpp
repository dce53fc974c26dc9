#include "app/AppState.h"

#include <unistd.h>

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
  if (const char* home = std::getenv("FLASHKEEL_HOME"); home && *home) {
    p.ProgramDir = WithSlash(home);
  } else if (::access(p.ExecutableDir.c_str(), W_OK) == 0) {
    p.ProgramDir = p.ExecutableDir;
  } else {
    std::string base;
    if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x) {
      base = x;
    } else if (const char* h = std::getenv("HOME"); h && *h) {
      base = std::string(h) + "/.config";
    } else {
      base = "/tmp";
    }
    p.ProgramDir = WithSlash(base + "/flashkeel");
    fs::create_directories(p.ProgramDir, ec);
  }
  p.SystemDirectory = "/";
  p.SysNativeDirectory = "/";
}

void ResetSharedFlags() { ExitRequested = 0; }

}  // namespace fk

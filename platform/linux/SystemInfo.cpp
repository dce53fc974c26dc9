#include "platform/SystemInfo.h"

#include <sys/sysinfo.h>
#include <sys/utsname.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace fk {

int OSVersion() { return 200; }

int IsWow64() { return 0; }

std::string GetCurrentMUI() {
  for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = std::getenv(var);
    if (v && *v) {
      std::string name = LocaleToMuiName(v);
      return name.empty() ? "en-US" : name;
    }
  }
  return "en-US";
}

static std::string PrettyName(const std::string& osRelease) {
  std::ifstream in(osRelease);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
    std::string v = line.substr(12);
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
      v = v.substr(1, v.size() - 2);
    return v;
  }
  return "";
}

std::string SystemDescription() {
  std::string d = std::string("Linux ") + (sizeof(void*) == 8 ? "64" : "32") + "-bit";
  std::string pretty = PrettyName("/etc/os-release");
  if (pretty.empty()) pretty = PrettyName("/usr/lib/os-release");
  std::string release;
  struct utsname u {};
  if (::uname(&u) == 0) release = u.release;
  std::string inner = pretty;
  if (!release.empty()) inner += (inner.empty() ? "" : " ") + release;
  if (!inner.empty()) d += " [" + inner + "]";
  return d;
}

std::string CpuBrandString() {
#if defined(__x86_64__) || defined(__i386__)
  unsigned int a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(0x80000000u, &a, &b, &c, &d) == 0 || a < 0x80000004u) return "Unknown CPU";
  char brand[49] = {};
  for (unsigned int leaf = 0; leaf < 3; ++leaf) {
    unsigned int r[4] = {};
    __get_cpuid(0x80000002u + leaf, &r[0], &r[1], &r[2], &r[3]);
    std::memcpy(brand + leaf * 16, r, 16);
  }
  std::string s(brand);
  size_t first = s.find_first_not_of(' ');
  if (first == std::string::npos) return "Unknown CPU";
  return s.substr(first);
#else
  return "Unknown CPU";
#endif
}

MemoryInfo PhysicalMemory() {
  MemoryInfo m;
  struct sysinfo si {};
  if (::sysinfo(&si) == 0) {
    m.totalBytes = static_cast<int64_t>(si.totalram) * si.mem_unit;
    m.availableBytes = static_cast<int64_t>(si.freeram) * si.mem_unit;
  }
  // MemAvailable counts reclaimable caches as well, which matches "available
  // physical memory" better than the free pages alone.
  std::ifstream in("/proc/meminfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("MemAvailable:", 0) == 0) {
      m.availableBytes = std::atoll(line.c_str() + 13) * 1024;
      break;
    }
  }
  return m;
}

}  // namespace fk

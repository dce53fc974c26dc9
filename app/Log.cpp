#include "app/Log.h"

#include "platform/UserFolders.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "platform/LogSink.h"

namespace fk {

namespace {
std::mutex g_logMutex;
std::atomic<int> g_logFd{-1};
bool g_mirrorOn = false;
std::vector<std::string> g_mirror;

void WriteAll(int fd, const std::string& s) {
  const char* p = s.data();
  size_t left = s.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // a write error on the log is ignored
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

void ToLog(std::string_view message) { Log(message); }
// The platform layer logs through this file from the start.
[[maybe_unused]] const bool g_platformSinkInstalled = (platform::SetLogSink(&ToLog), true);
}  // namespace

std::string LogTimeStamp() {
  using namespace std::chrono;
  auto now = system_clock::now();
  std::time_t t = system_clock::to_time_t(now);
  int ms = static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[24];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
  return buf;
}

void Log(std::string_view message) {
  std::lock_guard lock(g_logMutex);
  if (g_mirrorOn) g_mirror.emplace_back(message);
  if (g_logFd < 0) return;
  std::string line = LogTimeStamp();
  line.append(message);
  line += "\r\n";
  // One write per line, so lines of different threads never interleave; the
  // descriptor is unbuffered, so the line is with the OS when write returns.
  WriteAll(g_logFd, line);
}

namespace {
// Whether an existing log file is one this program wrote before: a plain file
// of our own user with one name only, starting with the log's first line.
bool IsOwnLog(int fd, const struct stat& st) {
  if (!S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != ::geteuid()) return false;
  char head[64] = {};
  const ssize_t n = ::pread(fd, head, sizeof head, 0);
  static constexpr char kBom[] = "\xEF\xBB\xBF";
  static constexpr char kDate[] = "> Log Date: ";
  return n >= 3 + 12 + 12 && std::memcmp(head, kBom, 3) == 0 && std::memcmp(head + 15, kDate, 12) == 0;
}

}  // namespace

// The log is never reached through a symbolic link, never truncated unless it
// is a log this program wrote and no other copy of the program has it open
// (every open log holds a shared flock), and written in whole lines with
// O_APPEND, so that two copies writing the same file keep each other's lines.
bool OpenLog(const std::string& path) {
  std::lock_guard lock(g_logMutex);
  if (g_logFd >= 0) return true;
  const int common = O_RDWR | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  bool created = true;
  int fd = ::open(path.c_str(), common | O_CREAT | O_EXCL, 0644);
  if (fd < 0 && errno == EEXIST) {
    created = false;
    fd = ::open(path.c_str(), common);
  }
  if (fd < 0) return false;  // a symbolic link ends here with ELOOP
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  if (!created && IsOwnLog(fd, st) && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    if (::ftruncate(fd, 0) == 0) created = true;
  }
  ::flock(fd, LOCK_SH | LOCK_NB);  // downgrades ours; marks the log as in use
  if (created) platform::GiveToUser(path);
  g_logFd = fd;
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char date[40];
  std::snprintf(date, sizeof date, "%02d.%02d.%04d", tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900);
  std::string head = (created ? "\xEF\xBB\xBF" : "") + LogTimeStamp() + "> Log Date: " + date + "\r\n";
  WriteAll(g_logFd, head);
  return true;
}

void CloseLog() {
  std::lock_guard lock(g_logMutex);
  const int fd = g_logFd.exchange(-1);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

int LogFileDescriptor() { return g_logFd.load(); }

bool LogIsOpen() {
  std::lock_guard lock(g_logMutex);
  return g_logFd >= 0;
}

void SetLogMirror(bool enabled) {
  std::lock_guard lock(g_logMutex);
  g_mirrorOn = enabled;
  if (!enabled) g_mirror.clear();
}

std::vector<std::string> TakeLogMirror() {
  std::lock_guard lock(g_logMutex);
  std::vector<std::string> out;
  out.swap(g_mirror);
  return out;
}

bool LogMirrorContains(std::string_view part) {
  std::lock_guard lock(g_logMutex);
  for (const auto& l : g_mirror)
    if (l.find(part) != std::string::npos) return true;
  return false;
}

}  // namespace fk

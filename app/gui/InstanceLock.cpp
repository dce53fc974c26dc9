#include "app/gui/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>


namespace fk::gui {

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) ::close(fd_);  // closing releases the lock
}

InstanceLock::Result InstanceLock::Acquire(const std::string& programName) {
  std::string dirs[3];
  int n = 0;
  if (const char* x = std::getenv("XDG_RUNTIME_DIR"); x && *x) dirs[n++] = x;
  dirs[n++] = "/run/lock";
  dirs[n++] = "/tmp";
  for (int i = 0; i < n; ++i) {
    const std::string path = dirs[i] + "/" + programName + ".lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) continue;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      fd_ = fd;
      path_ = path;
      return Result::Acquired;
    }
    const int err = errno;
    ::close(fd);
    if (err == EWOULDBLOCK) {
      path_ = path;
      return Result::AlreadyRunning;
    }
  }
  return Result::Unavailable;
}

}  // namespace fk::gui

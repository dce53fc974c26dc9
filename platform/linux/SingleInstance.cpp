#include "platform/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "app/Log.h"

namespace fk {

static std::string LockDirectory() {
  if (const char* x = std::getenv("XDG_RUNTIME_DIR"); x && *x && ::access(x, W_OK) == 0) return x;
  if (::access("/run/lock", W_OK) == 0) return "/run/lock";
  return "/tmp";
}

SingleInstance::SingleInstance(const std::string& programName, const std::string& dir) {
  path_ = (dir.empty() ? LockDirectory() : dir) + "/" + programName + ".lock";
  // O_NOFOLLOW: in a shared directory a planted link must not redirect the open.
  fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    Log("> SingleInstance: Error: cannot open " + path_ + ": " + std::strerror(errno));
    return;
  }
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) first_ = false;
    else Log("> SingleInstance: Error: cannot lock " + path_ + ": " + std::strerror(errno));
    ::close(fd_);
    fd_ = -1;
  }
}

SingleInstance::~SingleInstance() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace fk

#include "platform/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/LogSink.h"

namespace fk {

static std::string LockDirectory() {
  if (const char* x = std::getenv("XDG_RUNTIME_DIR"); x && *x && ::access(x, W_OK) == 0) return x;
  if (::access("/run/lock", W_OK) == 0) return "/run/lock";
  return "/tmp";
}

SingleInstance::SingleInstance(const std::string& programName, const std::string& dir) {
  path_ = (dir.empty() ? LockDirectory() : dir) + "/" + programName + ".lock";
  // O_NOFOLLOW: in a shared directory a planted link must not redirect the open.
  fd_.reset(::open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd_) {
    platform::LogLine("> SingleInstance: Error: cannot open " + path_ + ": " + std::strerror(errno));
    return;
  }
  if (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) first_ = false;
    else platform::LogLine("> SingleInstance: Error: cannot lock " + path_ + ": " + std::strerror(errno));
    fd_.Close();
  }
}

}  // namespace fk

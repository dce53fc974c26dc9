#include "disk/StorageLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

#include "app/Log.h"
#include "disk/DiskList.h"
#include "platform/Storage.h"

namespace fk {

namespace {
struct Held {
  int fd = -1;
  int count = 0;
};
std::mutex g_mutex;
std::map<std::string, Held> g_held;
}  // namespace

StorageLock StorageLock::Acquire(const std::string& path, std::string* error) {
  const DiskEnvironment env = DiskEnv();
  const auto chain = platform::StorageChainOfPath(env.sysRoot, env.devRoot, path);
  StorageLock lock;
  if (chain.empty()) {
    lock.error_ = ENOENT;
    *error = "cannot reach the storage of " + path;
    return lock;
  }
  const platform::StorageLayer& bottom = chain.back();
  const std::string key = bottom.isFile() ? "file " + std::to_string(bottom.dev) + ":" + std::to_string(bottom.ino)
                                          : "disk " + std::to_string(major(bottom.dev)) + ":" +
                                                std::to_string(minor(bottom.dev)) + " " + bottom.diskName;
  std::lock_guard lk(g_mutex);
  auto it = g_held.find(key);
  if (it == g_held.end()) {
    const int fd = ::open(bottom.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      lock.error_ = errno;
      *error = "cannot open " + bottom.path + ": " + std::strerror(errno);
      return lock;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int e = errno;
      lock.error_ = e;
      ::close(fd);
      *error = bottom.path + (e == EWOULDBLOCK ? std::string(" is in use by another program")
                                               : ": " + std::string(std::strerror(e)));
      return lock;
    }
    it = g_held.emplace(key, Held{fd, 0}).first;
    if (bottom.path != path) Log("> StorageLock: " + path + " stands on " + bottom.path);
  }
  ++it->second.count;
  lock.key_ = key;
  return lock;
}

void StorageLock::Release() {
  if (key_.empty()) return;
  std::lock_guard lk(g_mutex);
  auto it = g_held.find(key_);
  if (it != g_held.end() && --it->second.count <= 0) {
    ::close(it->second.fd);  // drops the flock
    g_held.erase(it);
  }
  key_.clear();
}

}  // namespace fk

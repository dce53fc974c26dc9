// One running copy per program file name: an exclusive flock on
// "<name>.lock" in $XDG_RUNTIME_DIR (else /run/lock, else /tmp). The lock is
// held for the life of the object; a second copy under another file name runs.
#pragma once

#include <string>

namespace fk::gui {

class InstanceLock {
 public:
  enum class Result { Acquired, AlreadyRunning, Unavailable };

  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Unavailable (no directory to lock in) lets the program run, as a failed
  // semaphore creation does.
  Result Acquire(const std::string& programName);
  const std::string& Path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
};

}  // namespace fk::gui

// Refuses a second running copy of the program: the first copy holds an
// exclusive lock on a file named after the program until it ends.
#pragma once

#include <string>

#include "platform/UniqueFd.h"

namespace fk {

class SingleInstance {
 public:
  // Takes the lock "<dir>/<programName>.lock". dir "" picks $XDG_RUNTIME_DIR,
  // else /run/lock, else /tmp (the first that is a writable directory).
  explicit SingleInstance(const std::string& programName, const std::string& dir = "");
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // True when no other copy holds the lock. When the lock file cannot be opened
  // at all, this copy counts as the first (and a log line says why).
  bool IsFirst() const { return first_; }
  const std::string& LockPath() const { return path_; }

 private:
  UniqueFd fd_;
  bool first_ = true;
  std::string path_;
};

}  // namespace fk

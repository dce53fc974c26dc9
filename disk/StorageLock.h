// An exclusive hold on the storage under a disk name: an image file, the file
// (or disk) at the bottom of a loop device, or a whole disk. Two names for one
// storage lead to the same hold, so a second copy of the program cannot write
// it under another name while a job holds it. Holds within this process nest.
#pragma once

#include <string>

namespace fk {

class StorageLock {
 public:
  StorageLock() = default;
  ~StorageLock() { Release(); }
  StorageLock(StorageLock&& o) noexcept : key_(std::move(o.key_)), error_(o.error_) { o.key_.clear(); }
  StorageLock& operator=(StorageLock&& o) noexcept {
    if (this != &o) {
      Release();
      key_ = std::move(o.key_);
      error_ = o.error_;
      o.key_.clear();
    }
    return *this;
  }
  StorageLock(const StorageLock&) = delete;
  StorageLock& operator=(const StorageLock&) = delete;

  // Holds the storage under path (a disk, partition or loop node, or an image
  // file) without waiting. On failure the result is not held and *error says
  // why ("in use by another program" when another copy holds it).
  static StorageLock Acquire(const std::string& path, std::string* error);
  bool held() const { return !key_.empty(); }
  // Why Acquire failed: EWOULDBLOCK when another program holds it, else errno.
  int error() const { return error_; }
  void Release();

 private:
  std::string key_;
  int error_ = 0;
};

}  // namespace fk

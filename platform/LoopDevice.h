// A loop device over a byte range of a file or block device, detached when the
// object goes away (and by the kernel once the last user closes it).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/UniqueFd.h"

namespace fk {

class LoopDevice {
 public:
  struct Options {
    int64_t offset = 0;
    int64_t sizeLimit = 0;  // 0 = to the end of the backing file
    int blockSize = 512;    // logical block size of the loop device
    bool readOnly = false;
    bool partScan = false;  // let the kernel create partition nodes
  };

  // Attaches backingPath; returns nullptr and sets *error on failure
  // (needs root: /dev/loop-control).
  static std::unique_ptr<LoopDevice> Attach(const std::string& backingPath, const Options& opt,
                                            std::string* error);
  ~LoopDevice();
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;

  const std::string& path() const { return path_; }  // "/dev/loopN"
  int fd() const { return fd_.get(); }
  // Detaches now (also done by the destructor).
  void Detach();

 private:
  LoopDevice(std::string path, UniqueFd fd) : path_(std::move(path)), fd_(std::move(fd)) {}
  std::string path_;
  UniqueFd fd_;
};

}  // namespace fk

#include "platform/LoopDevice.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace fk {

std::unique_ptr<LoopDevice> LoopDevice::Attach(const std::string& backingPath, const Options& opt,
                                               std::string* error) {
  auto fail = [&](const std::string& what) -> std::unique_ptr<LoopDevice> {
    if (error) *error = what + ": " + std::strerror(errno);
    return nullptr;
  };
  const int mode = opt.readOnly ? O_RDONLY : O_RDWR;
  int backing = ::open(backingPath.c_str(), mode | O_CLOEXEC);
  if (backing < 0) return fail("open " + backingPath);

  int ctl = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
  if (ctl < 0) {
    int e = errno;
    ::close(backing);
    errno = e;
    return fail("open /dev/loop-control");
  }
  // Another process may take the free device between GET_FREE and CONFIGURE: retry.
  for (int attempt = 0; attempt < 16; ++attempt) {
    int n = ::ioctl(ctl, LOOP_CTL_GET_FREE);
    if (n < 0) break;
    std::string path = "/dev/loop" + std::to_string(n);
    int fd = ::open(path.c_str(), mode | O_CLOEXEC);
    if (fd < 0) continue;
    loop_config cfg;
    std::memset(&cfg, 0, sizeof cfg);
    cfg.fd = static_cast<uint32_t>(backing);
    cfg.block_size = static_cast<uint32_t>(opt.blockSize);
    cfg.info.lo_offset = static_cast<uint64_t>(opt.offset);
    cfg.info.lo_sizelimit = static_cast<uint64_t>(opt.sizeLimit);
    cfg.info.lo_flags = LO_FLAGS_AUTOCLEAR | (opt.readOnly ? LO_FLAGS_READ_ONLY : 0) |
                        (opt.partScan ? LO_FLAGS_PARTSCAN : 0);
    std::strncpy(reinterpret_cast<char*>(cfg.info.lo_file_name), backingPath.c_str(), LO_NAME_SIZE - 1);
    if (::ioctl(fd, LOOP_CONFIGURE, &cfg) == 0) {
      ::close(ctl);
      ::close(backing);
      return std::unique_ptr<LoopDevice>(new LoopDevice(path, fd));
    }
    int e = errno;
    ::close(fd);
    if (e != EBUSY) {
      ::close(ctl);
      ::close(backing);
      errno = e;
      return fail("LOOP_CONFIGURE " + path);
    }
  }
  int e = errno;
  ::close(ctl);
  ::close(backing);
  errno = e ? e : EBUSY;
  return fail("no free loop device");
}

void LoopDevice::Detach() {
  if (fd_ >= 0) {
    ::fsync(fd_);
    // With AUTOCLEAR the kernel detaches once the last user (a mount, a tool)
    // has closed it; clearing explicitly detaches at once when nobody else holds it.
    ::ioctl(fd_, LOOP_CLR_FD, 0);
    ::close(fd_);
    fd_ = -1;
  }
}

LoopDevice::~LoopDevice() { Detach(); }

}  // namespace fk

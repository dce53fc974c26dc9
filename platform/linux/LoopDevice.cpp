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
  UniqueFd backing(::open(backingPath.c_str(), mode | O_CLOEXEC));
  if (!backing) return fail("open " + backingPath);
  UniqueFd ctl(::open("/dev/loop-control", O_RDWR | O_CLOEXEC));
  if (!ctl) return fail("open /dev/loop-control");
  // Another process may take the free device between GET_FREE and CONFIGURE: retry.
  for (int attempt = 0; attempt < 16; ++attempt) {
    int n = ::ioctl(ctl.get(), LOOP_CTL_GET_FREE);
    if (n < 0) break;
    std::string path = "/dev/loop" + std::to_string(n);
    UniqueFd fd(::open(path.c_str(), mode | O_CLOEXEC));
    if (!fd) continue;
    loop_config cfg;
    std::memset(&cfg, 0, sizeof cfg);
    cfg.fd = static_cast<uint32_t>(backing.get());
    cfg.block_size = static_cast<uint32_t>(opt.blockSize);
    cfg.info.lo_offset = static_cast<uint64_t>(opt.offset);
    cfg.info.lo_sizelimit = static_cast<uint64_t>(opt.sizeLimit);
    cfg.info.lo_flags = LO_FLAGS_AUTOCLEAR | (opt.readOnly ? LO_FLAGS_READ_ONLY : 0) |
                        (opt.partScan ? LO_FLAGS_PARTSCAN : 0);
    std::strncpy(reinterpret_cast<char*>(cfg.info.lo_file_name), backingPath.c_str(), LO_NAME_SIZE - 1);
    if (::ioctl(fd.get(), LOOP_CONFIGURE, &cfg) == 0)
      return std::unique_ptr<LoopDevice>(new LoopDevice(path, std::move(fd)));
    if (errno != EBUSY) return fail("LOOP_CONFIGURE " + path);
  }
  if (errno == 0) errno = EBUSY;
  return fail("no free loop device");
}

void LoopDevice::Detach() {
  if (fd_) {
    ::fsync(fd_.get());
    // With AUTOCLEAR the kernel detaches once the last user (a mount, a tool)
    // has closed it; clearing explicitly detaches at once when nobody else holds it.
    ::ioctl(fd_.get(), LOOP_CLR_FD, 0);
    fd_.Close();
  }
}

LoopDevice::~LoopDevice() { Detach(); }

}  // namespace fk

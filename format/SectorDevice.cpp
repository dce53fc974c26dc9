#include "format/SectorDevice.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/Log.h"
#include "platform/Disks.h"

namespace fk {

namespace {

std::string Values(int64_t start, int64_t n, int64_t size) {
  return "StartSector:" + std::to_string(start) + ", nSectors:" + std::to_string(n) +
         ", SectorSize:" + std::to_string(size);
}

}  // namespace

std::unique_ptr<FileSectorDevice> FileSectorDevice::Open(const std::string& path, int64_t byteOffset, bool write,
                                                         std::string* error) {
  int fd = ::open(path.c_str(), (write ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = std::string("Error: ") + std::strerror(errno) + " " + path;
    return nullptr;
  }
  return std::make_unique<FileSectorDevice>(fd, byteOffset, true);
}

FileSectorDevice::FileSectorDevice(int fd, int64_t byteOffset, bool ownsFd)
    : fd_(fd), offset_(byteOffset), owned_(ownsFd ? fd : -1) {}

int64_t FileSectorDevice::ReadSectors(int64_t sectorSize, int64_t startSector, int64_t nSectors, void* buffer) {
  const int64_t want = sectorSize * nSectors;
  int64_t done = 0;
  auto* p = static_cast<char*>(buffer);
  while (done < want) {
    ssize_t r = ::pread(fd_, p + done, static_cast<size_t>(want - done), offset_ + startSector * sectorSize + done);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    done += r;
  }
  if (done < want) {
    Log("> read_sectors: Error " + Values(startSector, nSectors, sectorSize));
    return done;
  }
  return done;
}

int64_t FileSectorDevice::WriteSectors(int64_t sectorSize, int64_t startSector, int64_t nSectors,
                                       const void* buffer) {
  const int64_t want = sectorSize * nSectors;
  int64_t done = 0;
  const auto* p = static_cast<const char*>(buffer);
  int err = 0;
  while (done < want) {
    ssize_t r = ::pwrite(fd_, p + done, static_cast<size_t>(want - done), offset_ + startSector * sectorSize + done);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      err = r < 0 ? errno : ENOSPC;
      break;
    }
    done += r;
  }
  if (done < want) {
    Log(std::string("> write_sectors: Error: ") + std::strerror(err) + " " + Values(startSector, nSectors, sectorSize));
  }
  return done;
}

bool FileSectorDevice::UpdateProperties() {
  unsigned major = 0, minor = 0;
  if (offset_ != 0 || !platform::FdDeviceNumber(fd_, &major, &minor)) return true;
  ::fsync(fd_);
  const int rc = platform::RereadPartitions(fd_);
  if (rc == 0) return true;
  // Loop devices without partition scanning answer EINVAL, a disk with an open
  // partition EBUSY: the kernel re-reads the table once the disk is released.
  if (rc == -EINVAL || rc == -EBUSY) {
    Log(std::string("> BLKRRPART: ") + std::strerror(-rc) + ", the table is read when the disk is released");
    return true;
  }
  Log(std::string("> BLKRRPART: Error: ") + std::strerror(-rc));
  return false;
}

bool FileSectorDevice::Flush() { return ::fsync(fd_) == 0; }

}  // namespace fk

// Sector I/O on a disk or a volume for the partition-table and boot-record
// writers. A volume device addresses its partition: sector 0 is the
// partition's first sector.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/UniqueFd.h"

namespace fk {

class SectorDevice {
 public:
  virtual ~SectorDevice() = default;
  // Both return the number of bytes transferred; 0 on failure. A short or
  // failed transfer leaves a log line.
  virtual int64_t ReadSectors(int64_t sectorSize, int64_t startSector, int64_t nSectors, void* buffer) = 0;
  virtual int64_t WriteSectors(int64_t sectorSize, int64_t startSector, int64_t nSectors, const void* buffer) = 0;
  // Asks the kernel to re-read the partition table; true when done or when it
  // cannot apply (image file, loop device without partition scanning).
  virtual bool UpdateProperties() = 0;
  // Flushes written data to the device.
  virtual bool Flush() = 0;
};

// A device file, image file or byte range of one, through pread/pwrite.
class FileSectorDevice final : public SectorDevice {
 public:
  // Opens path (read-write when write) and addresses it from byteOffset on.
  static std::unique_ptr<FileSectorDevice> Open(const std::string& path, int64_t byteOffset, bool write,
                                                std::string* error);
  // Uses an already open descriptor, which it closes only when it owns it.
  FileSectorDevice(int fd, int64_t byteOffset, bool ownsFd);

  int64_t ReadSectors(int64_t sectorSize, int64_t startSector, int64_t nSectors, void* buffer) override;
  int64_t WriteSectors(int64_t sectorSize, int64_t startSector, int64_t nSectors, const void* buffer) override;
  bool UpdateProperties() override;
  bool Flush() override;
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  int64_t offset_ = 0;
  UniqueFd owned_;  // fd_ when this object owns it
};

}  // namespace fk

// Raw access to a whole disk or one volume: opening with the system-disk guard
// and the exclusive lock, sector reads and writes, unmount, unlock and eject.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <utility>

#include "platform/UniqueFd.h"
#include "disk/StorageLock.h"

namespace fk {

// An open disk or volume. Move-only; closes (and so unlocks) on destruction.
// value() is the descriptor, -1 when nothing is open. A volume handle covers
// the partition's byte range: sector 0 of the handle is the partition's first sector.
class DriveHandle {
 public:
  DriveHandle() = default;
  DriveHandle(int fd, int64_t offset, std::string name, std::string devicePath, bool writable, bool locked,
              bool imageFile);
  ~DriveHandle();
  DriveHandle(DriveHandle&& other) noexcept;
  DriveHandle& operator=(DriveHandle&& other) noexcept;
  DriveHandle(const DriveHandle&) = delete;
  DriveHandle& operator=(const DriveHandle&) = delete;

  int value() const { return fd_.get(); }
  bool valid() const { return fd_.valid(); }
  explicit operator bool() const { return valid(); }
  int64_t offset() const { return offset_; }           // byte offset of the volume on the device
  const std::string& name() const { return name_; }    // the name it was opened by, for log lines
  const std::string& devicePath() const { return devicePath_; }  // the file that is open
  bool writable() const { return writable_; }
  bool locked() const { return locked_; }
  bool imageFile() const { return imageFile_; }
  void Close();

  // Byte length of the volume (0: to the end of the device); transfers past it are refused.
  int64_t length() const { return length_; }
  void setLength(int64_t length) { length_ = length; }
  // Devices (major, minor) whose mounts UnmountDrive removes.
  const std::set<std::pair<unsigned, unsigned>>& mountDevices() const { return mountDevices_; }
  void setMountDevices(std::set<std::pair<unsigned, unsigned>> devs) { mountDevices_ = std::move(devs); }
  // Used by UnlockDrive: the descriptor no longer holds the lock.
  void MarkUnlocked() { locked_ = false; }
  void MarkLocked() { locked_ = true; }
  // Whether this handle holds the process's exclusive claim on a whole disk.
  bool holdsDiskClaim() const { return diskClaim_; }
  void setDiskClaim(bool claim) { diskClaim_ = claim; }
  // The hold on the storage under the handle's name that a lock takes.
  void setStorage(StorageLock lock) { storage_ = std::move(lock); }
  void releaseStorage() { storage_.Release(); }

 private:
  UniqueFd fd_;
  int64_t offset_ = 0;
  std::string name_;
  std::string devicePath_;
  bool writable_ = false;
  bool locked_ = false;
  bool imageFile_ = false;
  int64_t length_ = 0;
  bool diskClaim_ = false;
  std::set<std::pair<unsigned, unsigned>> mountDevices_;
  StorageLock storage_;
};

// DriveLetter empty: the disk with DiskNumber DriveIndex of the last enumeration.
// Otherwise a volume: a partition device node ("/dev/sdb1") or "<disk path>@@<byte
// offset>" of a listed disk. Returns an invalid handle on refusal or failure.
DriveHandle GetDriveHandle(int DriveIndex, const std::string& DriveLetter, bool WriteAccess, bool Lock);

// Byte count = nSectors x SectorSize at byte StartSector x SectorSize of the
// handle's volume; returns the bytes transferred (0 on failure).
int64_t read_sectors(const DriveHandle& handle, int64_t SectorSize, int64_t StartSector, int64_t nSectors,
                     void* Buffer);
int64_t write_sectors(const DriveHandle& handle, int64_t SectorSize, int64_t StartSector, int64_t nSectors,
                      const void* Buffer);

// Flushes the handle's writes to the device (fsync); 1 on success.
int FlushDrive(const DriveHandle& handle);
// Asks the kernel to re-read the partition table of a whole disk (BLKRRPART).
// Where it cannot run (image file, loop without partition scanning, partitions
// still open) it counts as success and is logged: the kernel re-reads the table
// once the job releases the disk. 0 only for other failures.
int UpdateDiskProperties(const DriveHandle& handle);

// 1 when nothing of the handle's device is mounted afterwards.
int UnmountDrive(DriveHandle& handle);
// Releases the exclusive claim and the lock while keeping the handle open; 1 on success.
int UnlockDrive(DriveHandle& handle);
// The end section of every disk job: logs "> <Op>: Finish UnlockClose <name> = <handle>",
// unlocks a locked handle and closes it. Does nothing for an invalid handle.
void FinishUnlockClose(const std::string& op, DriveHandle& handle);
// The same with the name the job gives the handle ("hPhysicalDrive"); op "" logs no prefix.
void FinishUnlockClose(const std::string& op, const std::string& handleName, DriveHandle& handle);

// Whether a handle of this process holds the whole disk at devicePath locked.
// While it does, a volume of that disk counts as locked for this process: the
// kernel refuses a second exclusive open, and nobody else can reach the disk.
bool ProcessHoldsDisk(const std::string& devicePath);

// Ejects the disk of the selected tree line; 1 when the eject was accepted.
int EjectDrive();
// Whether EjectDrive asks udisks2 first (on by default; tests turn it off).
void SetEjectUsesUDisks(bool use);

// Whether `devicePath` (a disk or partition node, or an image file) stands on
// a system disk: followed through loop devices down to their backing storage,
// and an image file counts when a system disk is a loop device over it.
bool IsSystemDiskPath(const std::string& devicePath);

}  // namespace fk

#include "disk/Restore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "app/Log.h"
#include "app/Runner.h"
#include "app/Ui.h"
#include "app/Utilities.h"
#include "disk/DiskList.h"
#include "disk/RawDisk.h"
#include "disk/VolumeRef.h"
#include "platform/Disks.h"

namespace fk {

namespace {

class RestoreJob {
 public:
  int Run();

 private:
  bool Prepare();
  bool SlotIsAsListed(const PartitionRecord& part);
  bool Copy();
  bool CorrectMbr();
  bool Verify();
  void Finish();

  // hDevice: the partition's volume when it has a drive letter, else the disk.
  DriveHandle& Device() { return hasLetter_ ? volume_ : physical_; }

  TransferReport report_;
  TransferOptions options_ = GetTransferOptions();
  DriveHandle physical_;
  DriveHandle volume_;  // open when the partition has a drive letter
  ImageFile file_;
  std::unique_ptr<AlignedBuffer> buffer_;
  std::string fileName_;
  bool hasLetter_ = false;
  bool hfsPlus_ = false;  // the image holds an HFS+ or HFSX volume header
  int selected_ = 0;
  int64_t sectorSize_ = 0;
  int64_t partitionSectors_ = 0;
  int64_t startSector_ = 0;
  int64_t fileSize_ = 0;
  int result_ = 0;
};

int RestoreJob::Run() {
  if (Prepare()) result_ = Copy() ? 1 : 0;
  Finish();
  SetLastTransferReport(report_);
  return result_;
}

// Checks, opening the disk and the partition, the file dialog and the image.
bool RestoreJob::Prepare() {
  Ui& ui = GetUi();
  const PartitionRecord* chosen = PartitionForTransfer("Recover", "For Restore select Partition only", &selected_);
  if (!chosen) return false;
  const PartitionRecord& part = *chosen;
  const std::string disk = std::to_string(CurrentDisk.DiskNumber);
  sectorSize_ = CurrentDisk.Geometry.BytesPerSector;
  if (sectorSize_ <= 0 || part.PartitionLength <= 0) {
    Log("> Recover: Error open Disk" + disk + " (no sector size or empty slot)");
    ui.ShowStatus("Error opening the Disk" + disk, 1000);
    return false;
  }
  partitionSectors_ = part.PartitionLength / sectorSize_;

  auto openFailed = [&] {
    Log("> Recover: Error open Disk" + disk);
    ui.ShowStatus("Error opening the Disk" + disk, 1000);
    return false;
  };
  hasLetter_ = !part.DriveLetter.empty();
  startSector_ = hasLetter_ ? 0 : part.StartingOffset / sectorSize_;
  physical_ = GetDriveHandle(CurrentDisk.DiskNumber, "", true, true);
  if (!physical_) return openFailed();
  Log("> Recover: Success open Disk" + disk);
  if (!SlotIsAsListed(part)) return false;
  if (hasLetter_) {
    volume_ = GetDriveHandle(CurrentDisk.DiskNumber, part.DriveLetter, true, true);
    if (!volume_) return openFailed();
    Log("> Recover: Success open Disk" + disk);
  }
  // Writes beyond the file system's end need no permission on this platform.
  Log("> Recover: #FSCTL_ALLOW_EXTENDED_DASD_IO Success");

  buffer_ = std::make_unique<AlignedBuffer>(kTransferChunkBytes);
  if (!*buffer_) {
    Log("> Recover: Error AllocateMemory for *ReadBuffer");
    return false;
  }

  fileName_ = ui.OpenFileDialog("Select FKLImage file to Restore", DefaultImageDir() + kDefaultImageName,
                                kImageFilePatterns, kImageFilePatternIndex);
  if (fileName_.empty()) return false;
  report_.imagePath = fileName_;
  fileSize_ = ImageFileSize(fileName_);
  if (fileSize_ > partitionSectors_ * sectorSize_) {
    Log("> Recover: File too big: " + fileName_ + " " + std::to_string(fileSize_) + " bytes, partition " +
        std::to_string(partitionSectors_ * sectorSize_) + " bytes");
    ui.MessageBox("Error", "File too big:\n" + fileName_ + "\n" + FormatSize(fileSize_, 1), MsgButtons::Ok,
                  MsgIcon::Error);
    return false;
  }
  if (fileSize_ > 0) {
    if (ui.MessageBox("Information",
                      "You have selected following file:\n" + fileName_ + "\n" + FormatSize(fileSize_, 0),
                      MsgButtons::YesNo, MsgIcon::Information) != MsgAnswer::Yes)
      return false;
  } else if (fileSize_ == -1) {
    Log("> Recover: File not found: " + fileName_);
    ui.MessageBox("Error", "The selected file:\n" + fileName_ + "\nnot found.", MsgButtons::Ok, MsgIcon::Error);
    return false;
  } else {
    Log("> Recover: Nothing to restore in " + fileName_ + " (empty, a directory or not a regular file)");
    return false;
  }

  // A partition image is whole sectors; anything else was cut short or is
  // not an image of a partition, and would leave a torn last sector.
  if (fileSize_ % sectorSize_ != 0) {
    Log("> Recover: " + fileName_ + " is " + std::to_string(fileSize_) + " bytes, not a whole number of " +
        std::to_string(sectorSize_) + "-byte sectors");
    ui.MessageBox("Error",
                  "The selected file:\n" + fileName_ + "\nis not a partition image (not a whole number of sectors).",
                  MsgButtons::Ok, MsgIcon::Error);
    return false;
  }

  int err = 0;
  file_ = ImageFile::OpenRead(fileName_, &err);
  if (!file_.IsOpen()) {
    Log("> Recover: Unable to open file " + fileName_ + " (" + ErrorText(err) + ")");
    ui.ShowStatus("Unable to open file " + fileName_ + " (" + ErrorText(err) + ")", 1000);
    return false;
  }
  // Only an HFS+ or HFSX volume header marks the partition as HFS+.
  char sig[2] = {};
  hfsPlus_ = file_.ReadAt(sig, 2, 1024, &err) == 2 && sig[0] == 'H' && (sig[1] == '+' || sig[1] == 'X');
  return true;
}

// The restore writes at the offset the disk list read: the disk's table must
// still have the selected entry there, with that length.
bool RestoreJob::SlotIsAsListed(const PartitionRecord& part) {
  const auto now = FindMbrPartition(CurrentDisk.DevicePath, part.StartingOffset);
  if (now && now->slot == selected_ - 1 && now->length == part.PartitionLength) return true;
  Log("> Recover: the partition table of Disk" + std::to_string(CurrentDisk.DiskNumber) +
      " no longer has the listed partition " + std::to_string(selected_) + ", refused");
  GetUi().ShowStatus("The partition table has changed: refresh the drive list", 0);
  return false;
}

// The copy loop, the flush, the MBR correction, the read-back and the closing line.
bool RestoreJob::Copy() {
  Ui& ui = GetUi();
  DriveHandle& device = Device();
  int64_t pos = startSector_ * sectorSize_;
  const int64_t end = pos + fileSize_;
  TransferProgress progress(fileSize_);
  progress.Start();
  report_.end = TransferEnd::Completed;
  unsigned char* buffer = buffer_->data();

  while (pos < end) {
    const int64_t chunk = std::min<int64_t>(kTransferChunkBytes, end - pos);
    int err = 0;
    const int64_t got = file_.ReadAt(buffer, chunk, progress.totalRead(), &err);
    progress.Count(got, 0);
    report_.totalRead = progress.totalRead();
    if (got != chunk) {
      Log("> Recover: ReadFile Error=" + std::to_string(err) + " (" + ErrorText(err) + ", " + std::to_string(got) +
          " of " + std::to_string(chunk) + " bytes)");
      ui.ShowStatus(ErrorStatus("ReadFile", err), 0);
      report_.end = TransferEnd::Failed;
      return false;
    }
    // The last transfer of an image that is not whole sectors is padded with
    // zeros to the next sector boundary (the partition holds it: the image is
    // not larger than the partition's whole sectors).
    int64_t count = chunk;
    if (count % sectorSize_ != 0) {
      const int64_t padded = (count / sectorSize_ + 1) * sectorSize_;
      std::memset(buffer + count, 0, static_cast<size_t>(padded - count));
      count = padded;
    }
    const int64_t put = WriteFully(device.value(), buffer, count, device.offset() + pos, &err);
    progress.Count(0, std::min(put, chunk));
    report_.totalWritten = progress.totalWritten();
    if (put != count) {
      Log("> Recover: WriteFile Error=" + std::to_string(err) + " (" + ErrorText(err) + ")");
      ui.ShowStatus(ErrorStatus("WriteFile", err), 0);
      report_.end = TransferEnd::Failed;
      return false;
    }
    pos += chunk;
    progress.Stamp();
    progress.Update(progress.totalWritten());
    if (CancelRequested()) {
      report_.end = TransferEnd::Cancelled;
      break;
    }
  }

  ui.ShowStatus("Write buffered Data to the Disk", 0);
  if (::fsync(device.value()) != 0) {
    // Data the device did not take is a failed write, not a finished restore.
    const int err = errno;
    Log("> Recover: FlushFileBuffers Error=" + std::to_string(err) + " (" + ErrorText(err) + ")");
    ui.ShowStatus(ErrorStatus("WriteFile", err), 0);
    report_.end = TransferEnd::Failed;
    return false;
  }

  if (!CorrectMbr()) {
    // The data is on the partition, but its entry keeps the old length (and
    // type): not a finished restore.
    ui.ShowStatus("Restore Error: the partition's MBR entry could not be updated", 0);
    report_.end = TransferEnd::Failed;
    return false;
  }

  if (options_.verify && report_.end == TransferEnd::Completed && !Verify()) {
    report_.end = TransferEnd::VerifyFailed;
    return false;
  }

  ui.ShowStatus(progress.FinalLine(progress.totalWritten()), 0);
  PauseToRead(2000);
  Log(UpdateDiskProperties(physical_) ? "> Recover: DISK_UPDATE_PROPERTIES - Success"
                                      : "> Recover: DISK_UPDATE_PROPERTIES - Error");
  return true;
}

// Gives the restored partition's MBR entry the image's whole sectors, and type
// 0xAF when the image is an HFS+ volume; any other type stays as it was.
bool RestoreJob::CorrectMbr() {
  AlignedBuffer sector(sectorSize_);
  bool corrected = false;
  if (!sector || read_sectors(physical_, sectorSize_, 0, 1, sector.data()) != sectorSize_) {
    Log("> Recover: read_sectors boot - Error");
  } else {
    Log("> Recover: Correction MBR Partition leight");
    const auto mbr = platform::ParseMbr(sector.data(), static_cast<size_t>(sectorSize_));
    platform::MbrEntry entry = mbr.entries[selected_ - 1];
    Log("> Recover: Old Partition leight = " + std::to_string(static_cast<int64_t>(entry.sectors) * sectorSize_));
    const auto newCount = static_cast<uint32_t>(fileSize_ / sectorSize_);
    entry.sectors = newCount;
    if (hfsPlus_) entry.type = kRestoredPartitionType;
    platform::StoreMbrEntry(sector.data(), selected_ - 1, entry);
    if (write_sectors(physical_, sectorSize_, 0, 1, sector.data()) == sectorSize_) {
      Log("> Recover: New Partition leight = " + std::to_string(static_cast<int64_t>(newCount) * sectorSize_));
      corrected = true;
    } else {
      Log("> Recover: write_sectors boot - Error");
    }
  }
  if (::fsync(physical_.value()) != 0) {
    Log("> Recover: FlushFileBuffers hPhysicalDrive Error=" + ErrorText(errno));
    corrected = false;
  }
  return corrected;
}

// Reads the partition back past the page cache and compares it with the image.
bool RestoreJob::Verify() {
  Ui& ui = GetUi();
  DriveHandle& device = Device();
  const int fd = device.value();
  const int64_t base = device.offset() + startSector_ * sectorSize_;
  // Drop what the cache holds of the written range so that the comparison sees
  // what the device stored.
  if (const int rc = platform::DropDeviceCache(fd); rc != 0) Log("> Recover: Verify: drop cache " + ErrorText(-rc));

  AlignedBuffer imageBuf(kTransferChunkBytes);
  if (!imageBuf) {
    Log("> Recover: Error AllocateMemory for the verification buffer");
    ui.ShowStatus("Verify Error: out of memory", 0);
    return false;
  }
  unsigned char* diskBuf = buffer_->data();
  Log("> Recover: Verify " + std::to_string(fileSize_) + " bytes");
  const int64_t frequency = GetPerfFrequency();
  int64_t lastDraw = 0;
  for (int64_t done = 0; done < fileSize_;) {
    const int64_t chunk = std::min<int64_t>(kTransferChunkBytes, fileSize_ - done);
    int err = 0;
    if (file_.ReadAt(imageBuf.data(), chunk, done, &err) != chunk) {
      Log("> Recover: Verify: ReadFile Error=" + std::to_string(err) + " on the image");
      ui.ShowStatus("Verify Error: " + ErrorStatus("ReadFile", err), 0);
      return false;
    }
    if (ReadFully(fd, diskBuf, chunk, base + done, &err) != chunk) {
      Log("> Recover: Verify: ReadFile Error=" + std::to_string(err) + " on the partition at byte " +
          std::to_string(done));
      ui.ShowStatus("Verify Error: " + ErrorStatus("ReadFile", err), 0);
      return false;
    }
    if (std::memcmp(imageBuf.data(), diskBuf, static_cast<size_t>(chunk)) != 0) {
      int64_t i = 0;
      while (imageBuf.data()[i] == diskBuf[i]) ++i;
      report_.firstDifference = done + i;
      const std::string where = std::to_string(done + i);
      Log("> Recover: Verify Error: first difference at byte " + where);
      ui.ShowStatus("Verify Error: first difference at byte " + where, 0);
      return false;
    }
    done += chunk;
    const int64_t now = GetPerfCounter();
    if (lastDraw == 0 || now - lastDraw >= frequency / 5) {
      const int percent = TransferProgress::Percent(done, fileSize_);
      ui.DrawProgress("Verify " + std::to_string(percent) + "% " + FormatSize(done, 1) + "/" + FormatSize(fileSize_, 1),
                      percent);
      lastDraw = now;
    }
    if (CancelRequested()) {
      Log("> Recover: Verify cancelled at byte " + std::to_string(done));
      report_.end = TransferEnd::Cancelled;
      return true;
    }
  }
  report_.verified = true;
  Log("> Recover: Verify Success");
  ui.ShowStatus("Verify OK: " + FormatSize(fileSize_, 1) + " identical", 0);
  return true;
}

// The end section every path reaches.
void RestoreJob::Finish() {
  Ui& ui = GetUi();
  buffer_.reset();
  if (file_.IsOpen()) {
    Log("> Recover: Finish UnlockClose hFileToRecover = " + std::to_string(file_.fd()));
    file_.Close();
  }
  FinishUnlockClose("Recover", "hDevice", Device());
  FinishUnlockClose("Recover", "hPhysicalDrive", physical_);  // nothing left to do when it was hDevice
  if (CancelRequested()) ui.ShowStatus("Restore Cancelled", 0);
  // The buttons come back now; the list is rebuilt as the program's idle state.
  if (const OpContext* op = CurrentOp()) op->EnterEndSection();
  UpdateAllDrives();
}

}  // namespace

int Recover(int /*arg*/) {
  RestoreJob job;
  return job.Run();
}

}  // namespace fk

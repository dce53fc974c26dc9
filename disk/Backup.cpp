#include "disk/Backup.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>

#include "app/Log.h"
#include "app/Runner.h"
#include "app/Ui.h"
#include "disk/DiskInternal.h"
#include "disk/DiskList.h"
#include "disk/RawDisk.h"

namespace fk {

namespace {

class BackupJob {
 public:
  int Run();

 private:
  bool Prepare();
  bool Copy();
  void Finish();

  TransferReport report_;
  DriveHandle device_;
  ImageFile file_;
  std::unique_ptr<AlignedBuffer> buffer_;
  std::string fileName_;
  std::string tempName_;  // the file while it is written; "" once renamed or removed
  int64_t sectorSize_ = 0;
  int64_t partitionLength_ = 0;
  int64_t startSector_ = 0;
  int64_t partitionSectors_ = 0;
  int result_ = 0;
};

int BackupJob::Run() {
  if (Prepare()) result_ = Copy() ? 1 : 0;
  Finish();
  SetLastTransferReport(report_);
  return result_;
}

// Checks, opening the partition, the file dialog and the target file.
bool BackupJob::Prepare() {
  Ui& ui = GetUi();
  int selected = 0;
  const PartitionRecord* chosen = PartitionForTransfer("BackUp", "For BackUp select Partition only", &selected);
  if (!chosen) return false;
  const PartitionRecord& part = *chosen;
  const std::string diskPart = std::to_string(CurrentDisk.DiskNumber) + "Part" + std::to_string(selected);
  sectorSize_ = CurrentDisk.Geometry.BytesPerSector;
  if (sectorSize_ <= 0 || part.PartitionLength <= 0) {
    Log("> BackUp: Error open Disk" + diskPart + " (no sector size or empty slot)");
    ui.ShowStatus("BackUp: Error open Disk" + diskPart, 1000);
    return false;
  }
  partitionLength_ = part.PartitionLength;
  partitionSectors_ = partitionLength_ / sectorSize_;
  if (part.DriveLetter.empty()) {
    startSector_ = part.StartingOffset / sectorSize_;
    device_ = GetDriveHandle(CurrentDisk.DiskNumber, "", false, false);
  } else {
    startSector_ = 0;
    device_ = GetDriveHandle(CurrentDisk.DiskNumber, part.DriveLetter, false, true);
  }
  if (!device_) {
    Log("> BackUp: Error open Disk" + diskPart);
    ui.ShowStatus("BackUp: Error open Disk" + diskPart, 1000);
    return false;
  }
  Log("> BackUp: Success open Disk" + diskPart);
  // Reads beyond the file system's end need no permission on this platform.
  Log("> BackUp: #FSCTL_ALLOW_EXTENDED_DASD_IO Success");

  buffer_ = std::make_unique<AlignedBuffer>(kTransferChunkBytes);
  if (!*buffer_) {
    Log("> Error AllocateMemory for *ReadBuffer");
    return false;
  }

  fileName_ = ui.SaveFileDialog("Save to FKLImage file:", DefaultImageDir() + kDefaultImageName, kImageFilePatterns,
                                kImageFilePatternIndex);
  if (fileName_.empty()) return false;
  report_.imagePath = fileName_;
  struct stat st {};
  const bool exists = ::stat(fileName_.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) return false;
  if (!exists) {
    if (ui.MessageBox("Information", "You have selected following file:\n" + fileName_, MsgButtons::YesNo,
                      MsgIcon::Information) != MsgAnswer::Yes)
      return false;
  } else if (ui.MessageBox("Warning", "The selected file:\n" + fileName_ + "\nalready exists. Overwrite it?",
                           MsgButtons::YesNo, MsgIcon::Warning) != MsgAnswer::Yes) {
    return false;
  }

  int err = 0;
  std::string why;
  if (exists && S_ISBLK(st.st_mode)) {
    // A block device named in the dialog would be overwritten whole: refused.
    why = "it is a block device, not an image file";
    Log("> BackUp: " + fileName_ + " is a block device, not an image file");
  } else if (detail::PathIsListedDisk(fileName_)) {
    // The file is a disk of the list (an image disk, a loop device's backing
    // file): truncating it would destroy that disk, maybe the one being read.
    why = "it holds a disk of the list, not an image file";
    Log("> BackUp: " + fileName_ + " holds a disk of the list, not an image file");
  } else if (exists && !S_ISREG(st.st_mode)) {
    file_ = ImageFile::Create(fileName_, &err);  // a character device or pipe takes the bytes as they come
    why = err == ENXIO && S_ISFIFO(st.st_mode) ? "no program reads from the pipe" : ErrorText(err);
  } else {
    // Written under a hidden name and renamed when complete: a failed or
    // cancelled backup never leaves a file that looks like an image.
    file_ = ImageFile::CreateBeside(fileName_, &tempName_, &err);
    why = ErrorText(err);
  }
  if (!file_.IsOpen()) {
    Log("> Unable to create file " + fileName_ + " (" + why + ")");
    ui.ShowStatus("Unable to create file " + fileName_ + " (" + why + ")", 1000);
    return false;
  }
  Log("> Success create file " + fileName_);
  return true;
}

// The copy loop, the truncation and flush, and the closing line.
bool BackupJob::Copy() {
  Ui& ui = GetUi();
  int64_t pos = startSector_ * sectorSize_;
  const int64_t end = (startSector_ + partitionSectors_) * sectorSize_;
  TransferProgress progress(partitionLength_);
  progress.Start();
  report_.end = TransferEnd::Completed;
  unsigned char* buffer = buffer_->data();

  while (pos < end) {
    const int64_t chunk = std::min<int64_t>(kTransferChunkBytes, end - pos);
    int err = 0;
    const int64_t got = ReadFully(device_.value(), buffer, chunk, device_.offset() + pos, &err);
    progress.Count(got, 0);
    report_.totalRead = progress.totalRead();
    if (got != chunk) {
      // A short read ends the copy too: the rest of the buffer holds old data.
      Log("> BackUp: ReadFile Error=" + std::to_string(err) + " (" + ErrorText(err) + ", " + std::to_string(got) +
          " of " + std::to_string(chunk) + " bytes at " + std::to_string(pos) + ")");
      ui.ShowStatus(ErrorStatus("ReadFile", err), 0);
      report_.end = TransferEnd::Failed;
      return false;
    }
    const int64_t put = file_.WriteAt(buffer, chunk, progress.totalWritten(), &err);
    progress.Count(0, put);
    report_.totalWritten = progress.totalWritten();
    if (put != chunk) {
      Log("> BackUp: WriteFile Error=" + std::to_string(err) + " (" + ErrorText(err) + ")");
      ui.ShowStatus(ErrorStatus("WriteFile", err), 0);
      report_.end = TransferEnd::Failed;
      return false;
    }
    pos += chunk;
    Log("> TotalRead=" + std::to_string(progress.totalRead()) + ", TotalWrite=" +
        std::to_string(progress.totalWritten()) + ", totalCounter=" + std::to_string(progress.Stamp()));
    progress.Update(progress.totalRead());
    if (CancelRequested()) {
      report_.end = TransferEnd::Cancelled;
      break;
    }
  }

  // A device or pipe named as the target (no hidden name) took the bytes as
  // they came: it has no length to set, no name to give and may not sync.
  const bool direct = tempName_.empty();
  if (!direct) file_.Truncate(progress.totalWritten());
  ui.ShowStatus("Write buffered Data to the Disk", 0);
  if (int err = file_.Flush(); err != 0 && !(direct && err == EINVAL)) {
    // Data the system could not store is not a finished backup.
    Log("> BackUp: FlushFileBuffers Error=" + std::to_string(err) + " (" + ErrorText(err) + ")");
    ui.ShowStatus(ErrorStatus("WriteFile", err), 0);
    report_.end = TransferEnd::Failed;
    return false;
  }
  if (report_.end == TransferEnd::Completed && !direct) {
    if (::rename(tempName_.c_str(), fileName_.c_str()) != 0) {
      const int e = errno;
      Log("> BackUp: Error " + ErrorText(e) + " renaming " + tempName_ + " to " + fileName_);
      ui.ShowStatus("Unable to create file " + fileName_, 1000);
      report_.end = TransferEnd::Failed;
      return false;
    }
    tempName_.clear();
  }
  ui.ShowStatus(progress.FinalLine(progress.totalRead()), 0);
  return true;
}

// The end section every path reaches.
void BackupJob::Finish() {
  Ui& ui = GetUi();
  buffer_.reset();
  if (file_.IsOpen()) {
    Log("> BackUp: Finish UnlockClose hFileToSave = " + std::to_string(file_.fd()));
    file_.Close();
  }
  if (!tempName_.empty()) {
    Log("> BackUp: incomplete backup removed");
    ::unlink(tempName_.c_str());
    tempName_.clear();
  }
  FinishUnlockClose("BackUp", "hDevice", device_);
  if (CancelRequested()) ui.ShowStatus("Backup Cancelled", 0);
  PauseToRead(5000);
  // The buttons come back now; the list is rebuilt as the program's idle state.
  if (const OpContext* op = CurrentOp()) op->EnterEndSection();
  UpdateAllDrives();
}

}  // namespace

int BackUp(int /*arg*/) {
  BackupJob job;
  return job.Run();
}

}  // namespace fk

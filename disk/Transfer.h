// Pieces shared by partition backup and restore: the options a non-GUI caller
// sets before a run, the report of the last run, the image file and the status
// line of a running transfer.
#pragma once

#include <cstdint>
#include <string>

#include "platform/UniqueFd.h"

namespace fk {

// Bytes per transfer of backup and restore.
inline constexpr int64_t kTransferChunkBytes = 16 * 1024 * 1024;
// File dialogs of backup and restore: patterns, the preselected pair
// ("HFS/HFS+/Binary", counted from 0) and the default file name.
inline constexpr const char* kImageFilePatterns =
    "Binary (*.bin)|*.bin|HFS/HFS+ (*.hfs)|*.hfs|HFS/HFS+/Binary (*.hfs;*.bin)|*.hfs;*.bin|All files (*.*)|*.*";
inline constexpr int kImageFilePatternIndex = 2;
inline constexpr const char* kDefaultImageName = "PartSave.bin";

// Set before BackUp/Recover by callers that want more than the defaults.
struct TransferOptions {
  // Restore: after the copy, read the partition back past the page cache and
  // compare it with the image.
  bool verify = false;
  // Folder of the default file in the dialogs; "" = the FKLImageLocalRepo setting.
  std::string imageDir;
};
void SetTransferOptions(const TransferOptions& options);
TransferOptions GetTransferOptions();

struct PartitionRecord;
// The selected partition of the current disk for a backup ("BackUp") or a
// restore ("Recover"); nullptr once the status has said why there is none: no
// drive selected, the whole disk selected (wholeDiskText), an entry no job may
// touch. *selected is the slot number (1..4).
const PartitionRecord* PartitionForTransfer(const std::string& job, const std::string& wholeDiskText, int* selected);

enum class TransferEnd {
  NotStarted,    // stopped before the copy (checks, dialog, open)
  Failed,        // a read or write error in the copy
  Cancelled,     // CancelMainThread seen after a chunk
  Completed,     // copied to the end
  VerifyFailed,  // copied, but the read-back differs or could not be read
};
const char* TransferEndName(TransferEnd end);

// What the last BackUp/Recover of this process did (for the CLI's exit code).
struct TransferReport {
  TransferEnd end = TransferEnd::NotStarted;
  std::string imagePath;
  int64_t totalRead = 0;
  int64_t totalWritten = 0;
  bool verified = false;         // the read-back ran and matched
  int64_t firstDifference = -1;  // byte offset in the image of the first mismatch
};
TransferReport LastTransferReport();
void SetLastTransferReport(const TransferReport& report);

// The folder of the dialogs' default file, ending in '/': the imageDir option,
// else the FKLImageLocalRepo setting, else the program directory.
std::string DefaultImageDir();

// pread/pwrite of count bytes at offset, continuing after partial transfers.
// Returns the bytes moved; on a shortfall *error holds errno (EIO when the file
// or device simply ended), else 0.
int64_t ReadFully(int fd, void* buffer, int64_t count, int64_t offset, int* error);
int64_t WriteFully(int fd, const void* buffer, int64_t count, int64_t offset, int* error);

class DriveHandle;

// The system's text for an errno value.
std::string ErrorText(int error);
// A failed call's status: "WriteFile Error=28 (No space left on device)".
std::string ErrorStatus(const std::string& call, int error);

// The image file: an owned descriptor, closed on destruction.
class ImageFile {
 public:
  ImageFile() = default;

  // Creates or truncates path for writing, sequential access. errno on failure.
  static ImageFile Create(const std::string& path, int* error);
  // Creates a new file with a hidden unique name next to finalPath, for a
  // file that gets its real name (rename) only once it is complete.
  static ImageFile CreateBeside(const std::string& finalPath, std::string* tempPath, int* error);
  // Opens an existing file for reading, sequential access.
  static ImageFile OpenRead(const std::string& path, int* error);

  bool IsOpen() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }
  int64_t ReadAt(void* buffer, int64_t count, int64_t offset, int* error) const {
    return ReadFully(fd_.get(), buffer, count, offset, error);
  }
  // At offset in a file or device; a pipe or socket takes the bytes in the
  // order they are written, whatever the offset.
  int64_t WriteAt(const void* buffer, int64_t count, int64_t offset, int* error) const;
  // Whether positions mean anything: false for a pipe or socket.
  bool Seekable() const { return seekable_; }
  // Ends the file at length bytes / flushes it to the disk. 0 or errno.
  int Truncate(int64_t length) const;
  int Flush() const;
  void Close() { fd_.Close(); }

 private:
  static ImageFile Open(const std::string& path, int flags, int* error);
  UniqueFd fd_;
  bool seekable_ = true;
};

// Size of a path as the restore's file check sees it: the size of a regular
// file, -1 when nothing exists there, -2 for a directory (or anything that is
// not a regular file).
int64_t ImageFileSize(const std::string& path);

// A transfer buffer aligned for direct I/O, freed on destruction.
class AlignedBuffer {
 public:
  explicit AlignedBuffer(int64_t size);
  ~AlignedBuffer();
  AlignedBuffer(const AlignedBuffer&) = delete;
  AlignedBuffer& operator=(const AlignedBuffer&) = delete;
  unsigned char* data() const { return data_; }
  int64_t size() const { return size_; }
  explicit operator bool() const { return data_ != nullptr; }

 private:
  unsigned char* data_ = nullptr;
  int64_t size_ = 0;
};

// The status line of a transfer: percent, sizes, speed and remaining time,
// drawn at most every 200 ms of the performance counter.
class TransferProgress {
 public:
  // total: the byte count the percentage refers to (partition length or file size).
  explicit TransferProgress(int64_t total);

  void Start();  // start time = now
  void Count(int64_t read, int64_t written);
  // After a chunk: elapsed = now - start. Returns elapsed (counter ticks).
  int64_t Stamp();
  // Draws the line when the update interval has passed between the last
  // drawing and the last Stamp(), or there was none yet. done is the counter
  // the percentage follows (read for backup, written for restore). Returns
  // whether it drew.
  bool Update(int64_t done);
  // The closing line: "<done>/<total> <speed>/s  Total: <elapsed> Done".
  std::string FinalLine(int64_t done) const;

  int64_t totalRead() const { return totalRead_; }
  int64_t totalWritten() const { return totalWritten_; }
  int64_t elapsed() const { return elapsed_; }  // counter ticks

  // The pieces, also used by tests: the speed of bytes over elapsed ticks
  // (-1 when nothing elapsed), the remaining-time text for left bytes at the
  // speed of done bytes ("unknown" while that speed is not known yet), the
  // rounded percentage.
  static int64_t Speed(int64_t bytes, int64_t elapsedTicks, int64_t frequency);
  static std::string RemainText(int64_t left, int64_t done, int64_t elapsedTicks, int64_t frequency);
  static int Percent(int64_t done, int64_t total);

 private:
  int64_t total_;
  int64_t frequency_;
  int64_t interval_;
  int64_t start_ = 0;
  int64_t now_ = 0;
  int64_t elapsed_ = 0;
  int64_t lastUpdate_ = 0;
  bool updated_ = false;
  int64_t totalRead_ = 0;
  int64_t totalWritten_ = 0;
};

}  // namespace fk

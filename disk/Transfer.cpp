#include "disk/Transfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <mutex>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Settings.h"
#include "app/Ui.h"
#include "app/Utilities.h"
#include "disk/DiskList.h"
#include "disk/RawDisk.h"
#include "platform/UserFolders.h"

namespace fk {

const PartitionRecord* PartitionForTransfer(const std::string& job, const std::string& wholeDiskText, int* selected) {
  Ui& ui = GetUi();
  if (SetCurrentDisk() == 0) {
    Log("> " + job + ": SetCurrentDisk() Error");
    ui.ShowStatus(kSelectDriveStatus, 0);
    return nullptr;
  }
  *selected = CurrentDisk.SelectedPartition;
  if (*selected == 0) {
    Log("> " + job + ": Don't Select Full Disk!");
    ui.ShowStatus(wholeDiskText, 0);
    return nullptr;
  }
  const PartitionRecord& part = CurrentDisk.Partition[*selected - 1];
  if (part.Unusable()) {
    Log("> " + job + ": " + part.UnusableText() + ", refused");
    ui.ShowStatus(part.UnusableText(), 0);
    return nullptr;
  }
  return &part;
}

namespace {
std::mutex g_mutex;
TransferOptions g_options;
TransferReport g_report;
}  // namespace

void SetTransferOptions(const TransferOptions& options) {
  std::lock_guard l(g_mutex);
  g_options = options;
}

TransferOptions GetTransferOptions() {
  std::lock_guard l(g_mutex);
  return g_options;
}

TransferReport LastTransferReport() {
  std::lock_guard l(g_mutex);
  return g_report;
}

void SetLastTransferReport(const TransferReport& report) {
  std::lock_guard l(g_mutex);
  g_report = report;
}

const char* TransferEndName(TransferEnd end) {
  switch (end) {
    case TransferEnd::NotStarted:
      return "NotStarted";
    case TransferEnd::Failed:
      return "Failed";
    case TransferEnd::Cancelled:
      return "Cancelled";
    case TransferEnd::Completed:
      return "Completed";
    case TransferEnd::VerifyFailed:
      return "VerifyFailed";
  }
  return "?";
}

std::string DefaultImageDir() {
  std::string dir = GetTransferOptions().imageDir;
  if (dir.empty()) dir = Cfg().FKLImageLocalRepo;
  if (dir.empty()) dir = Paths().ProgramDir;
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return dir;
}

std::string ErrorText(int error) {
  char buf[256];
  return ::strerror_r(error, buf, sizeof buf);
}

std::string ErrorStatus(const std::string& call, int error) {
  return call + " Error=" + std::to_string(error) + " (" +
         (error != 0 ? ErrorText(error) : std::string("fewer bytes than asked for")) + ")";
}

// ---------------------------------------------------------------- ImageFile

ImageFile ImageFile::Open(const std::string& path, int flags, int* error) {
  ImageFile f;
  f.fd_.reset(::open(path.c_str(), flags | O_CLOEXEC, 0644));
  if (error) *error = f.fd_ ? 0 : errno;
  if (!f.fd_) return f;
  struct stat st {};
  f.seekable_ = ::fstat(f.fd_.get(), &st) != 0 || !(S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
  if (f.seekable_) ::posix_fadvise(f.fd_.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  return f;
}

ImageFile ImageFile::Create(const std::string& path, int* error) {
  // Without a blocking open, a pipe that nobody reads fails at once (ENXIO)
  // instead of waiting where no cancel reaches.
  ImageFile f = Open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK, error);
  if (!f.fd_) return f;
  const int flags = ::fcntl(f.fd_.get(), F_GETFL);
  if (flags != -1) ::fcntl(f.fd_.get(), F_SETFL, flags & ~O_NONBLOCK);
  platform::GiveToUser(path);
  return f;
}

ImageFile ImageFile::CreateBeside(const std::string& finalPath, std::string* tempPath, int* error) {
  const std::size_t slash = finalPath.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : finalPath.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? finalPath : finalPath.substr(slash + 1);
  std::string templ = dir + "." + base + ".XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  ImageFile f;
  f.fd_.reset(::mkostemp(buf.data(), O_CLOEXEC));
  if (!f.fd_) {
    if (error) *error = errno;
    return f;
  }
  ::fchmod(f.fd_.get(), 0644);
  ::posix_fadvise(f.fd_.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  *tempPath = buf.data();
  platform::GiveToUser(*tempPath);
  if (error) *error = 0;
  return f;
}

ImageFile ImageFile::OpenRead(const std::string& path, int* error) { return Open(path, O_RDONLY, error); }

namespace {

// Repeats one positioned read or write until count bytes are done, an error,
// or no progress (end of file, full device: reported as EIO).
template <typename Buffer, typename Io>
int64_t TransferFully(Io io, int fd, Buffer* p, int64_t count, int64_t offset, int* error) {
  int64_t done = 0;
  if (error) *error = 0;
  while (done < count) {
    ssize_t n = io(fd, p + done, static_cast<size_t>(count - done), offset + done);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (error) *error = errno;
      break;
    }
    if (n == 0) {
      if (error) *error = EIO;
      break;
    }
    done += n;
  }
  return done;
}

}  // namespace

int64_t ReadFully(int fd, void* buffer, int64_t count, int64_t offset, int* error) {
  return TransferFully(::pread, fd, static_cast<unsigned char*>(buffer), count, offset, error);
}

int64_t WriteFully(int fd, const void* buffer, int64_t count, int64_t offset, int* error) {
  return TransferFully(::pwrite, fd, static_cast<const unsigned char*>(buffer), count, offset, error);
}

int64_t ImageFile::WriteAt(const void* buffer, int64_t count, int64_t offset, int* error) const {
  if (seekable_) return WriteFully(fd_.get(), buffer, count, offset, error);
  const auto write = [](int fd, const unsigned char* p, size_t n, off_t) { return ::write(fd, p, n); };
  return TransferFully(write, fd_.get(), static_cast<const unsigned char*>(buffer), count, offset, error);
}

int ImageFile::Truncate(int64_t length) const { return ::ftruncate(fd_.get(), length) == 0 ? 0 : errno; }

int ImageFile::Flush() const { return ::fsync(fd_.get()) == 0 ? 0 : errno; }

int64_t ImageFileSize(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return -1;
  if (!S_ISREG(st.st_mode)) return -2;
  return static_cast<int64_t>(st.st_size);
}

// ------------------------------------------------------------ AlignedBuffer

AlignedBuffer::AlignedBuffer(int64_t size) {
  void* p = nullptr;
  if (size > 0 && ::posix_memalign(&p, 4096, static_cast<size_t>(size)) == 0) {
    data_ = static_cast<unsigned char*>(p);
    size_ = size;
  }
}

AlignedBuffer::~AlignedBuffer() { std::free(data_); }

// --------------------------------------------------------- TransferProgress

TransferProgress::TransferProgress(int64_t total)
    : total_(total), frequency_(GetPerfFrequency()), interval_(GetPerfFrequency() * 200 / 1000) {}

void TransferProgress::Start() {
  start_ = GetPerfCounter();
  elapsed_ = 0;
  updated_ = false;
  totalRead_ = totalWritten_ = 0;
}

void TransferProgress::Count(int64_t read, int64_t written) {
  totalRead_ += read;
  totalWritten_ += written;
}

int64_t TransferProgress::Speed(int64_t bytes, int64_t elapsedTicks, int64_t frequency) {
  return MulDiv64(bytes, frequency, elapsedTicks);
}

std::string TransferProgress::RemainText(int64_t left, int64_t done, int64_t elapsedTicks, int64_t frequency) {
  if (left <= 0) return FormatElapsed(0);
  const int64_t speed = Speed(done, elapsedTicks, frequency);
  // Nothing moved yet (or no time passed): there is no rate to extrapolate from.
  if (speed <= 0) return "unknown";
  return FormatElapsed(left / speed);
}

int TransferProgress::Percent(int64_t done, int64_t total) {
  if (total <= 0) return 0;
  return static_cast<int>(std::lround(static_cast<double>(done) / static_cast<double>(total) * 100.0));
}

int64_t TransferProgress::Stamp() {
  now_ = GetPerfCounter();
  elapsed_ = now_ - start_;
  return elapsed_;
}

bool TransferProgress::Update(int64_t done) {
  const int64_t now = now_;
  if (updated_ && now - lastUpdate_ < interval_) return false;
  const int64_t speed = Speed(totalRead_ + totalWritten_, elapsed_, frequency_);
  const int percent = Percent(done, total_);
  const std::string line = std::to_string(percent) + "% " + FormatSize(done, 1) + "/" + FormatSize(total_, 1) + " " +
                           FormatSize(speed, 1) + "/s " +
                           " Remain: " + RemainText(total_ - done, done, elapsed_, frequency_);
  GetUi().DrawProgress(line, percent);
  lastUpdate_ = now;
  updated_ = true;
  return true;
}

std::string TransferProgress::FinalLine(int64_t done) const {
  const int64_t speed = Speed(totalRead_ + totalWritten_, elapsed_, frequency_);
  return FormatSize(done, 1) + "/" + FormatSize(total_, 1) + " " + FormatSize(speed, 1) + "/s " +
         " Total: " + FormatElapsed(frequency_ > 0 ? elapsed_ / frequency_ : 0) + " Done";
}

}  // namespace fk

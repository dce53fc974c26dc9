// Throughput of partition backup and restore next to `dd bs=16M` on the same
// partition of a disk image file and, as root, of a loop device over it.
// One run each; prints MB/s and the ratio job/dd.
//
//   bench_backup_restore [partition MiB, default 256] [directory, default $TMPDIR or /tmp]
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/AppState.h"
#include "tests/support/ScriptedUi.h"
#include "disk/Backup.h"
#include "disk/DiskList.h"
#include "disk/Restore.h"
#include "platform/LoopDevice.h"
#include "platform/Process.h"

namespace {

constexpr int64_t MiB = 1024 * 1024;
constexpr int64_t kStart = MiB;

// Drops what the page cache holds of path so that every run reads from storage.
void DropCache(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISBLK(st.st_mode)) ::ioctl(fd, BLKFLSBUF, 0);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  ::close(fd);
}

double Seconds(const std::function<bool()>& fn, bool* ok) {
  const auto t0 = std::chrono::steady_clock::now();
  *ok = fn();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

bool Dd(const std::vector<std::string>& args) {
  fk::ProcessRequest req;
  req.argv = {"dd", "bs=16M", "status=none"};
  req.argv.insert(req.argv.end(), args.begin(), args.end());
  fk::ProcessResult r = fk::RunProcess(req);
  if (r.exitCode != 0) std::fprintf(stderr, "dd failed: %s\n", r.output.c_str());
  return r.exitCode == 0;
}

bool MakeDisk(const std::string& path, int64_t partBytes) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const int64_t diskBytes = kStart + partBytes + MiB;
  unsigned char mbr[512] = {};
  const uint32_t lba = kStart / 512, n = static_cast<uint32_t>(partBytes / 512);
  mbr[446 + 4] = 0x0C;
  std::memcpy(mbr + 446 + 8, &lba, 4);
  std::memcpy(mbr + 446 + 12, &n, 4);
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  bool ok = ::ftruncate(fd, diskBytes) == 0 && ::pwrite(fd, mbr, 512, 0) == 512;
  // Real data, so that nothing reads holes.
  std::vector<unsigned char> buf(16 * MiB);
  for (size_t i = 0; i < buf.size(); ++i) buf[i] = static_cast<unsigned char>(i * 2654435761u >> 24);
  for (int64_t off = 0; ok && off < partBytes; off += static_cast<int64_t>(buf.size())) {
    const size_t len = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(buf.size()), partBytes - off));
    ok = ::pwrite(fd, buf.data(), len, kStart + off) == static_cast<ssize_t>(len);
  }
  ok = ok && ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

bool SelectPartition(const std::string& devicePath) {
  fk::UpdateAllDrives();
  for (size_t i = 0; i < fk::AllDrives.size(); ++i)
    if (fk::AllDrives[i].DevicePath == devicePath) return fk::SelectDisk(static_cast<int>(i), 1) != 0;
  std::fprintf(stderr, "%s is not in the disk list\n", devicePath.c_str());
  return false;
}

void Report(const char* what, int64_t bytes, double job, double dd) {
  const double jobRate = static_cast<double>(bytes) / MiB / job, ddRate = static_cast<double>(bytes) / MiB / dd;
  std::printf("%-26s job %8.1f MB/s   dd bs=16M %8.1f MB/s   ratio %.2f\n", what, jobRate, ddRate, jobRate / ddRate);
}

// Backup and restore of partition 1 of devicePath (the image file or its loop
// device), each followed by dd doing the same copy.
bool Measure(const char* label, const std::string& devicePath, const std::string& dir, int64_t partBytes,
             const std::shared_ptr<fk::ScriptedUi>& ui) {
  const std::string image = dir + "/bench-part.bin", ddImage = dir + "/bench-dd.bin";
  const std::string range[] = {"iflag=skip_bytes,count_bytes", "skip=" + std::to_string(kStart),
                               "count=" + std::to_string(partBytes)};
  bool ok = false;

  if (!SelectPartition(devicePath)) return false;
  DropCache(devicePath);
  ui->QueueDialogAnswer(image);
  const double backup = Seconds([] { return fk::BackUp(0) == 1; }, &ok);
  if (!ok) return false;
  DropCache(devicePath);
  const double ddBackup = Seconds(
      [&] {
        return Dd({"if=" + devicePath, "of=" + ddImage, range[0], range[1], range[2], "conv=fsync"});
      },
      &ok);
  if (!ok) return false;
  Report((std::string(label) + " backup").c_str(), partBytes, backup, ddBackup);

  if (!SelectPartition(devicePath)) return false;
  DropCache(image);
  ui->QueueDialogAnswer(image);
  const double restore = Seconds([] { return fk::Recover(0) == 1; }, &ok);
  if (!ok) return false;
  DropCache(ddImage);
  const double ddRestore = Seconds(
      [&] {
        return Dd({"if=" + ddImage, "of=" + devicePath, "oflag=seek_bytes", "seek=" + std::to_string(kStart),
                   "conv=notrunc,fsync"});
      },
      &ok);
  if (!ok) return false;
  Report((std::string(label) + " restore").c_str(), partBytes, restore, ddRestore);
  std::filesystem::remove(image);
  std::filesystem::remove(ddImage);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int64_t partBytes = (argc > 1 ? std::atoll(argv[1]) : 256) * MiB;
  const char* tmp = std::getenv("TMPDIR");
  const std::string base = argc > 2 ? argv[2] : (tmp && *tmp ? tmp : "/tmp");
  std::string templ = base + "/fkbench-XXXXXX";
  if (!::mkdtemp(templ.data())) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string dir = templ, disk = dir + "/disk.img";

  auto ui = std::make_shared<fk::ScriptedUi>();
  fk::SetUi(ui);
  fk::SetPauseFunction([](int) {});
  fk::SetEnableFixedDisksSource([] { return true; });
  int rc = 0;
  std::printf("partition of %lld MiB in %s\n", static_cast<long long>(partBytes / MiB), dir.c_str());
  if (!MakeDisk(disk, partBytes) || !fk::AddImageDisk(disk) || !Measure("image file", disk, dir, partBytes, ui)) {
    rc = 1;
  } else if (::geteuid() == 0) {
    std::string err;
    auto loop = fk::LoopDevice::Attach(disk, {}, &err);
    if (!loop) {
      std::fprintf(stderr, "loop device: %s\n", err.c_str());
      rc = 1;
    } else if (!Measure("loop device", loop->path(), dir, partBytes, ui)) {
      rc = 1;
    }
  } else {
    std::printf("loop device: skipped (needs root)\n");
  }
  if (rc != 0) std::fprintf(stderr, "a run failed\n");
  fk::ClearImageDisks();
  fk::SetUi(nullptr);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return rc;
}

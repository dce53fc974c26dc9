#include "format/VolumeFiles.h"

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "app/Log.h"
#include "format/ZipExtract.h"
#include "platform/LoopDevice.h"
#include "platform/Disks.h"
#include "platform/Mounts.h"
#include "platform/Process.h"

namespace fk {
namespace fs = std::filesystem;
namespace {

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = o.fd_;
      o.fd_ = -1;
    }
    return *this;
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

bool Fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  Log("> VolumeFiles: " + text);
  return false;
}

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

// Length of the MBR partition that starts at byteOffset; 0 when none does.
int64_t MbrPartitionLength(const std::string& path, int64_t byteOffset) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  unsigned char mbr[512];
  if (fd.get() < 0 || ::pread(fd.get(), mbr, sizeof mbr, 0) != 512 || mbr[510] != 0x55 || mbr[511] != 0xAA) return 0;
  const int sector = platform::LogicalSectorSize(fd.get()) > 0 ? platform::LogicalSectorSize(fd.get()) : 512;
  for (int i = 0; i < 4; ++i) {
    const unsigned char* e = mbr + 446 + 16 * i;
    uint32_t start = e[8] | e[9] << 8 | e[10] << 16 | uint32_t(e[11]) << 24;
    uint32_t count = e[12] | e[13] << 8 | e[14] << 16 | uint32_t(e[15]) << 24;
    if (e[4] != 0 && count != 0 && int64_t(start) * sector == byteOffset) return int64_t(count) * sector;
  }
  return 0;
}

ProcessResult RunTool(std::vector<std::string> argv, std::vector<std::pair<std::string, std::string>> env = {}) {
  ProcessRequest rq;
  rq.argv = std::move(argv);
  rq.extraEnv = std::move(env);
  rq.timeoutMs = 10 * 60 * 1000;
  return RunProcess(rq);
}

std::string ToolFailure(const std::string& tool, const ProcessResult& r) {
  if (!r.started) return tool + " not found (install the package that provides it): " + r.errorText;
  std::string out = r.output;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return tool + " failed with exit code " + std::to_string(r.exitCode) + (out.empty() ? "" : ": " + out);
}

// mtools parses its image argument ("<file>@@<offset>", drive letters with
// ':'), so a path of the user's never goes there: the volume is opened here
// and mtools reaches that very file through this process's descriptor, named
// in a configuration file of its own.
class MtoolsDrive {
 public:
  bool Open(const VolumeTarget& v, const std::string& workDir, std::string* error) {
    fd_ = Fd(::open(v.device.c_str(), O_RDWR | O_CLOEXEC));
    if (fd_.get() < 0) return Fail(error, Errno("open " + v.device));
    std::string base = workDir;
    if (base.empty()) {
      const char* t = std::getenv("TMPDIR");
      base = (t && *t) ? t : "/tmp";
    }
    std::string templ = base + (base.back() == '/' ? "" : "/") + "Mtools" + "XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) return Fail(error, Errno("mkdtemp " + templ));
    dir_ = buf.data();
    config_ = dir_ + "/mtools.conf";
    std::ofstream out(config_);
    out << "mtools_skip_check=1\n"
        << "drive z: file=\"/proc/" << ::getpid() << "/fd/" << fd_.get() << "\" offset=" << v.byteOffset << "\n";
    out.close();
    if (!out) return Fail(error, "cannot write " + config_);
    return true;
  }
  ~MtoolsDrive() {
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }
  std::vector<std::pair<std::string, std::string>> Env() const {
    return {{"MTOOLS_SKIP_CHECK", "1"}, {"MTOOLSRC", config_}};
  }
  int fd() const { return fd_.get(); }

 private:
  Fd fd_;
  std::string dir_;
  std::string config_;
};

bool WriteFatVolume(const VolumeTarget& v, const std::string& sourceDir, const VolumeWriteOptions& opts,
                    std::string* error) {
  MtoolsDrive drive;
  if (!drive.Open(v, opts.workDir, error)) return false;
  const auto env = drive.Env();
  std::vector<std::string> argv = {"mcopy", "-s", "-Q", "-o", "-m"};
  std::error_code ec;
  std::vector<std::string> top;
  for (const auto& e : fs::directory_iterator(sourceDir, ec)) top.push_back(e.path().string());
  if (ec) return Fail(error, sourceDir + ": " + ec.message());
  std::sort(top.begin(), top.end());
  if (!top.empty()) {
    argv.insert(argv.end(), top.begin(), top.end());
    argv.push_back("z:/");
    ProcessResult r = RunTool(argv, env);
    if (!r.started || r.exitCode != 0) return Fail(error, ToolFailure("mcopy", r));
  }
  if (!opts.hidden.empty()) {
    std::vector<std::string> attr = {"mattrib", "+h"};
    for (const auto& h : opts.hidden) attr.push_back("z:/" + h);
    ProcessResult r = RunTool(attr, env);
    if (!r.started || r.exitCode != 0) return Fail(error, ToolFailure("mattrib", r));
  }
  // mtools never flushes.
  if (::fsync(drive.fd()) != 0) return Fail(error, Errno("fsync " + v.device));
  return true;
}

bool CopyTreeInto(const fs::path& from, const fs::path& to, std::string* error) {
  std::error_code ec;
  std::vector<char> buf(1 << 20);
  for (fs::recursive_directory_iterator it(from, ec), end; !ec && it != end; it.increment(ec)) {
    fs::path rel = fs::relative(it->path(), from, ec);
    fs::path target = to / rel;
    auto st = it->symlink_status(ec);
    if (fs::is_directory(st)) {
      if (::mkdir(target.c_str(), 0755) != 0 && errno != EEXIST) return Fail(error, Errno("mkdir " + target.string()));
    } else if (fs::is_regular_file(st)) {
      Fd in(::open(it->path().c_str(), O_RDONLY | O_CLOEXEC));
      Fd out(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
      if (in.get() < 0 || out.get() < 0) return Fail(error, Errno("copy " + rel.string()));
      for (;;) {
        ssize_t n = ::read(in.get(), buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Fail(error, Errno("read " + rel.string()));
        if (n == 0) break;
        for (ssize_t off = 0; off < n;) {
          ssize_t w = ::write(out.get(), buf.data() + off, static_cast<std::size_t>(n - off));
          if (w < 0 && errno == EINTR) continue;
          if (w <= 0) return Fail(error, Errno("write " + target.string()));
          off += w;
        }
      }
      if (::fsync(out.get()) != 0) return Fail(error, Errno("fsync " + target.string()));
    }
  }
  if (ec) return Fail(error, from.string() + ": " + ec.message());
  return true;
}

bool WriteMountedVolume(const VolumeTarget& v, const std::string& sourceDir, const VolumeWriteOptions& opts,
                        std::string* error) {
  if (::geteuid() != 0) return Fail(error, "writing " + v.fsType + " volumes needs root (loop device and mount)");
  // Always through a loop device over the byte range: the kernel refuses to
  // mount a partition node while its whole disk is held exclusively by the job.
  std::string err;
  LoopDevice::Options lo;
  lo.offset = v.byteOffset;
  lo.sizeLimit = v.byteLength;
  std::unique_ptr<LoopDevice> loop = LoopDevice::Attach(v.device, lo, &err);
  if (!loop) return Fail(error, "loop device over " + v.device + ": " + err);
  const std::string dev = loop->path();
  {
    platform::PrivateMount mnt;
    if (!mnt.Mount(dev, v.fsType, opts.workDir, error)) return false;
    if (!CopyTreeInto(sourceDir, mnt.dir(), error)) return false;
    if (v.fsType == "NTFS")
      for (const auto& h : opts.hidden)
        if (!platform::SetNtfsHidden(mnt.dir() + "/" + h)) return Fail(error, Errno("set hidden on " + mnt.dir() + "/" + h));
    if (!mnt.Release(error)) return false;
  }
  // A FUSE driver may still be closing the device after the unmount: wait
  // until it can be opened exclusively before editing it directly.
  int raw = -1;
  for (int i = 0; i < 50 && raw < 0; ++i) {
    raw = ::open(dev.c_str(), O_RDWR | O_EXCL | O_CLOEXEC);
    if (raw < 0 && errno == EBUSY) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    else break;
  }
  if (raw < 0) raw = ::open(dev.c_str(), O_RDWR | O_CLOEXEC);
  Fd fd(raw);
  if (fd.get() < 0) return Fail(error, Errno("open " + dev));
  if (v.fsType == "exFAT" && !opts.hidden.empty()) {
    std::string err;
    if (!ExfatSetHidden(fd.get(), 0, opts.hidden, &err))
      return Fail(error, "hidden attribute: " + err);
  }
  if (::fsync(fd.get()) != 0) return Fail(error, Errno("fsync " + dev));
  return true;
}

}  // namespace

bool IsVolumeName(const std::string& name) {
  return name.find("@@") != std::string::npos || platform::IsBlockDevicePath(name);
}

bool ResolveVolume(const std::string& name, VolumeTarget* target, std::string* error) {
  VolumeTarget v;
  auto at = name.rfind("@@");
  if (at != std::string::npos) {
    v.device = name.substr(0, at);
    const std::string off = name.substr(at + 2);
    char* end = nullptr;
    long long o = std::strtoll(off.c_str(), &end, 10);
    if (off.empty() || *end != '\0' || o < 0) return Fail(error, "bad volume offset in " + name);
    v.byteOffset = o;
    v.byteLength = MbrPartitionLength(v.device, v.byteOffset);
  } else {
    v.device = name;
  }
  int64_t size = platform::PathSize(v.device);
  if (size < 0) return Fail(error, Errno("cannot open " + v.device));
  if (v.byteOffset >= size) return Fail(error, name + ": offset beyond the end of " + v.device);
  if (v.byteLength == 0 || v.byteOffset + v.byteLength > size) v.byteLength = size - v.byteOffset;
  v.fsType = platform::ProbeVolume(v.device, v.byteOffset, v.byteLength).fsName;
  if (v.fsType.empty()) return Fail(error, "no known file system on " + name);
  *target = v;
  return true;
}

bool CopyTreeToVolume(const VolumeTarget& volume, const std::string& sourceDir, const VolumeWriteOptions& opts,
                      std::string* error) {
  if (volume.fsType.rfind("FAT", 0) == 0) return WriteFatVolume(volume, sourceDir, opts, error);
  if (volume.fsType == "exFAT" || volume.fsType == "NTFS") return WriteMountedVolume(volume, sourceDir, opts, error);
  return Fail(error, "cannot write files onto a " + (volume.fsType.empty() ? "unknown" : volume.fsType) +
                         " volume");
}

bool WriteFilesToVolume(const VolumeTarget& volume, const std::vector<VolumeFile>& files, const std::string& workDir,
                        std::string* error) {
  std::string base = workDir;
  if (base.empty()) {
    const char* t = std::getenv("TMPDIR");
    base = (t && *t) ? t : "/tmp";
  }
  if (base.back() != '/') base += '/';
  std::string templ = base + "Staging" + "XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (!::mkdtemp(buf.data())) return Fail(error, Errno("mkdtemp " + templ));
  const std::string staging = buf.data();
  struct Cleanup {
    std::string dir;
    ~Cleanup() {
      std::error_code e;
      fs::remove_all(dir, e);
    }
  } cleanup{staging};
  VolumeWriteOptions opts;
  opts.workDir = workDir;
  for (const auto& f : files) {
    std::string cleaned;
    if (!SplitSafeEntryName(f.path, &cleaned)) return Fail(error, "bad file name " + f.path);
    fs::path p = fs::path(staging) / cleaned;
    std::error_code ec;
    fs::create_directories(p.parent_path(), ec);
    std::ofstream out(p, std::ios::binary);
    out.write(f.data.data(), static_cast<std::streamsize>(f.data.size()));
    if (!out) return Fail(error, "cannot stage " + f.path);
    if (f.hidden) opts.hidden.push_back(cleaned);
  }
  return CopyTreeToVolume(volume, staging, opts, error);
}

}  // namespace fk

#include "format/VolumeFiles.h"

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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
#include "platform/UniqueFd.h"

namespace fk {
namespace fs = std::filesystem;
namespace {

bool Fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  Log("> VolumeFiles: " + text);
  return false;
}

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

ProcessResult RunTool(std::vector<std::string> argv, std::vector<std::pair<std::string, std::string>> env = {}) {
  ProcessRequest rq;
  rq.argv = std::move(argv);
  rq.extraEnv = std::move(env);
  rq.timeoutMs = 10 * 60 * 1000;
  return RunProcess(rq);
}

// mtools parses its image argument ("<file>@@<offset>", drive letters with
// ':'), so a path of the user's never goes there: the volume is opened here
// and mtools reaches that very file through this process's descriptor, named
// in a configuration file of its own.
class MtoolsDrive {
 public:
  bool Open(const VolumeTarget& v, const std::string& workDir, std::string* error) {
    fd_.reset(::open(v.disk.c_str(), O_RDWR | O_CLOEXEC));
    if (fd_.get() < 0) return Fail(error, Errno("open " + v.disk));
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
        << "drive z: file=\"/proc/" << ::getpid() << "/fd/" << fd_.get() << "\" offset=" << v.offset << "\n";
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
  UniqueFd fd_;
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
    if (!r.started || r.exitCode != 0) return Fail(error, ProcessFailureText("mcopy", r));
  }
  if (!opts.hidden.empty()) {
    std::vector<std::string> attr = {"mattrib", "+h"};
    for (const auto& h : opts.hidden) attr.push_back("z:/" + h);
    ProcessResult r = RunTool(attr, env);
    if (!r.started || r.exitCode != 0) return Fail(error, ProcessFailureText("mattrib", r));
  }
  // mtools never flushes.
  if (::fsync(drive.fd()) != 0) return Fail(error, Errno("fsync " + v.disk));
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
      UniqueFd in(::open(it->path().c_str(), O_RDONLY | O_CLOEXEC));
      UniqueFd out(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
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
  lo.offset = v.offset;
  lo.sizeLimit = v.length;
  std::unique_ptr<LoopDevice> loop = LoopDevice::Attach(v.disk, lo, &err);
  if (!loop) return Fail(error, "loop device over " + v.disk + ": " + err);
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
  UniqueFd fd(raw);
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
  std::error_code ec;
  if (fs::is_directory(name, ec)) return false;  // a directory whose name merely looks like a range
  return VolumeRef::Parse(name).has_value() || platform::IsBlockDevicePath(name);
}

bool ResolveVolume(const std::string& name, VolumeTarget* target, std::string* error) {
  VolumeTarget v;
  if (auto range = VolumeRef::Parse(name)) {
    static_cast<VolumeRef&>(v) = *range;
    if (auto part = FindMbrPartition(v.disk, v.offset)) v.length = part->length;
  } else {
    v.disk = name;
  }
  int64_t size = platform::PathSize(v.disk);
  if (size < 0) return Fail(error, Errno("cannot open " + v.disk));
  if (v.offset >= size) return Fail(error, name + ": offset beyond the end of " + v.disk);
  if (v.length == 0 || v.offset + v.length > size) v.length = size - v.offset;
  v.fsType = platform::ProbeVolume(v.disk, v.offset, v.length).fsName;
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
  std::string why;
  const std::string staging = platform::MakeUniqueDir(workDir, "Staging", &why);
  if (staging.empty()) return Fail(error, why);
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

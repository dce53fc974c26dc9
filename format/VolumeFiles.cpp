#include "format/VolumeFiles.h"

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
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
    if (!FitsThePartition(v, error)) return false;
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
  // mtools writes wherever the boot sector's sector count reaches: a volume
  // that claims more than its partition could have clusters in the next one.
  bool FitsThePartition(const VolumeTarget& v, std::string* error) const {
    if (v.length <= 0) return true;
    unsigned char bs[512];
    if (::pread(fd_.get(), bs, sizeof bs, v.offset) != static_cast<ssize_t>(sizeof bs))
      return Fail(error, Errno("read the boot sector of " + v.ToText()));
    const int64_t bytesPerSector = bs[11] | bs[12] << 8;
    const int64_t sectors16 = bs[19] | bs[20] << 8;
    const int64_t sectors32 = int64_t{bs[32]} | int64_t{bs[33]} << 8 | int64_t{bs[34]} << 16 | int64_t{bs[35]} << 24;
    const int64_t claimed = bytesPerSector * (sectors16 != 0 ? sectors16 : sectors32);
    if (claimed <= v.length) return true;
    return Fail(error, "the file system of " + v.ToText() + " claims " + std::to_string(claimed) +
                           " bytes, more than the partition's " + std::to_string(v.length));
  }

  UniqueFd fd_;
  std::string dir_;
  std::string config_;
};

// What a copy moves, for its progress: bytes and files below a path.
struct TreeSize {
  int64_t bytes = 0;
  int files = 0;
};

TreeSize MeasureTree(const fs::path& path) {
  TreeSize t;
  std::error_code ec;
  auto st = fs::symlink_status(path, ec);
  if (fs::is_regular_file(st)) return {static_cast<int64_t>(fs::file_size(path, ec)), 1};
  if (!fs::is_directory(st)) return t;
  for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
    t.bytes += static_cast<int64_t>(it->file_size(ec));
    ++t.files;
  }
  return t;
}

// One source path (a file, or a directory copied whole) and the volume
// directory it goes into.
struct CopyUnit {
  std::string source;
  std::string target;  // "z:/" or "z:/EFI/CLOVER/"
  TreeSize size;
};

// mtools reads wildcards and drive letters in its volume paths: a directory
// whose name has any of them is copied whole under its parent rather than
// named as a target.
bool PlainName(const std::string& name) {
  for (unsigned char c : name)
    if (c < 0x20 || std::strchr("*?[]\\:\"", c)) return false;
  return true;
}

// Splits the tree below dir into units no larger than one batch: a directory
// that is larger is made on the volume (mkdirs, parents first) and its
// entries become units of their own.
void PlanUnits(const fs::path& dir, const std::string& target, const TreeSize& limit, std::vector<CopyUnit>* units,
               std::vector<std::string>* mkdirs) {
  std::error_code ec;
  std::vector<fs::path> entries;
  for (const auto& e : fs::directory_iterator(dir, ec)) entries.push_back(e.path());
  std::sort(entries.begin(), entries.end());
  for (const fs::path& p : entries) {
    const TreeSize size = MeasureTree(p);
    const std::string name = p.filename().string();
    if (fs::is_directory(fs::symlink_status(p, ec)) && (size.bytes > limit.bytes || size.files > limit.files) &&
        PlainName(name)) {
      mkdirs->push_back(target + name);
      PlanUnits(p, target + name + "/", limit, units, mkdirs);
    } else {
      units->push_back({p.string(), target, size});
    }
  }
}

// Batches of units that share their target, each within the limit (a unit
// larger than the limit is a batch of its own).
std::vector<std::vector<CopyUnit>> MakeBatches(std::vector<CopyUnit> units, const TreeSize& limit) {
  std::vector<std::vector<CopyUnit>> batches;
  std::vector<std::string> order;
  for (const CopyUnit& u : units)
    if (std::find(order.begin(), order.end(), u.target) == order.end()) order.push_back(u.target);
  for (const std::string& target : order) {
    TreeSize sum;
    bool open = false;
    for (const CopyUnit& u : units) {
      if (u.target != target) continue;
      if (!open || sum.bytes + u.size.bytes > limit.bytes || sum.files + u.size.files > limit.files) {
        batches.emplace_back();
        sum = {};
        open = true;
      }
      batches.back().push_back(u);
      sum.bytes += u.size.bytes;
      sum.files += u.size.files;
    }
  }
  return batches;
}

// File sizes by name for one batch: mcopy -v names each file ("Copying x")
// as it takes it on.
std::multimap<std::string, int64_t> FileSizesByName(const std::vector<CopyUnit>& batch) {
  std::multimap<std::string, int64_t> sizes;
  std::error_code ec;
  for (const CopyUnit& u : batch) {
    if (fs::is_regular_file(fs::symlink_status(u.source, ec))) {
      sizes.emplace(fs::path(u.source).filename().string(), u.size.bytes);
      continue;
    }
    for (fs::recursive_directory_iterator it(u.source, ec), end; !ec && it != end; it.increment(ec))
      if (it->is_regular_file(ec) && !it->is_symlink(ec))
        sizes.emplace(it->path().filename().string(), static_cast<int64_t>(it->file_size(ec)));
  }
  return sizes;
}

bool WriteFatVolume(const VolumeTarget& v, const std::string& sourceDir, const VolumeWriteOptions& opts,
                    std::string* error) {
  MtoolsDrive drive;
  if (!drive.Open(v, opts.workDir, error)) return false;
  const auto env = drive.Env();
  std::error_code ec;
  if (!fs::is_directory(sourceDir, ec)) return Fail(error, sourceDir + ": not a directory");
  const TreeSize limit{opts.batchBytes > 0 ? opts.batchBytes : kDefaultBatchBytes,
                       opts.batchFiles > 0 ? opts.batchFiles : kDefaultBatchFiles};
  std::vector<CopyUnit> units;
  std::vector<std::string> mkdirs;
  PlanUnits(sourceDir, "z:/", limit, &units, &mkdirs);
  int64_t total = 0;
  for (const CopyUnit& u : units) total += u.size.bytes;
  int64_t done = 0;
  auto report = [&](int64_t bytes) {
    if (opts.progress) opts.progress(bytes, total);
  };
  report(0);

  if (!mkdirs.empty()) {
    // -D s: a directory that is there already (a copy over an older data set) is kept.
    std::vector<std::string> argv = {"mmd", "-D", "s"};
    argv.insert(argv.end(), mkdirs.begin(), mkdirs.end());
    ProcessResult r = RunTool(argv, env);
    if (!r.started) return Fail(error, ProcessFailureText("mmd", r));
    if (r.exitCode != 0) Log("> VolumeFiles: " + ProcessFailureText("mmd", r) + " (directories kept)");
  }
  for (const auto& batch : MakeBatches(std::move(units), limit)) {
    if (opts.cancel && opts.cancel()) return Fail(error, "cancelled");
    std::multimap<std::string, int64_t> sizes = FileSizesByName(batch);
    int64_t batchBytes = 0;
    for (const CopyUnit& u : batch) batchBytes += u.size.bytes;
    int64_t seen = 0;
    std::vector<std::string> argv = {"mcopy", "-s", "-Q", "-o", "-m", "-v"};
    for (const CopyUnit& u : batch) argv.push_back(u.source);
    argv.push_back(batch.front().target);
    ProcessRequest rq;
    rq.argv = std::move(argv);
    rq.extraEnv = env;
    rq.timeoutMs = 10 * 60 * 1000;
    rq.onLine = [&](std::string_view line) {
      constexpr std::string_view kCopying = "Copying ";
      if (line.substr(0, kCopying.size()) != kCopying) return;
      auto it = sizes.find(std::string(line.substr(kCopying.size())));
      if (it == sizes.end()) return;
      seen = std::min(batchBytes, seen + it->second);
      sizes.erase(it);
    };
    // Never stops the tool in the middle of a file: only a tick for the progress.
    rq.cancel = [&] {
      report(done + seen);
      return false;
    };
    ProcessResult r = RunProcess(rq);
    if (!r.started || r.exitCode != 0) return Fail(error, ProcessFailureText("mcopy", r));
    // The batch is on the volume before it counts as copied.
    if (::fdatasync(drive.fd()) != 0) return Fail(error, Errno("fdatasync " + v.disk));
    done += batchBytes;
    report(done);
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

bool CopyTreeInto(const fs::path& from, const fs::path& to, const VolumeWriteOptions& opts, std::string* error) {
  std::error_code ec;
  std::vector<char> buf(1 << 20);
  const int64_t total = opts.progress ? MeasureTree(from).bytes : 0;
  int64_t done = 0;
  if (opts.progress) opts.progress(0, total);
  for (fs::recursive_directory_iterator it(from, ec), end; !ec && it != end; it.increment(ec)) {
    if (opts.cancel && opts.cancel()) return Fail(error, "cancelled");
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
        done += n;
        if (opts.progress) opts.progress(done, total);
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
    if (!CopyTreeInto(sourceDir, mnt.dir(), opts, error)) return false;
    if (v.fsType == "NTFS")
      for (const auto& h : opts.hidden)
        if (!platform::SetNtfsHidden(mnt.dir() + "/" + h)) return Fail(error, Errno("set hidden on " + mnt.dir() + "/" + h));
    if (!mnt.Release(error)) return false;
  }
  // A FUSE driver may still be closing the device after the unmount: wait
  // until it can be opened exclusively before editing it directly.
  int raw = -1;
  for (int i = 0; i < 500 && raw < 0; ++i) {
    raw = ::open(dev.c_str(), O_RDWR | O_EXCL | O_CLOEXEC);
    if (raw < 0 && errno == EBUSY) std::this_thread::sleep_for(std::chrono::milliseconds(10));
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

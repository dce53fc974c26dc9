#include "tests/boot/BootHarness.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/Process.h"
#include "tests/support/TestUtil.h"

namespace fk::boottest {

namespace {

struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Get32(const uint8_t* p) { return Get16(p) | static_cast<uint32_t>(Get16(p + 2)) << 16; }
void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  Put16(p, static_cast<uint16_t>(v));
  Put16(p + 2, static_cast<uint16_t>(v >> 16));
}
void Put64(uint8_t* p, uint64_t v) {
  Put32(p, static_cast<uint32_t>(v));
  Put32(p + 4, static_cast<uint32_t>(v >> 32));
}

bool Run(std::vector<std::string> argv, std::vector<std::pair<std::string, std::string>> env = {}) {
  ProcessRequest req;
  req.argv = std::move(argv);
  req.extraEnv = std::move(env);
  req.timeoutMs = 60000;
  ProcessResult r = RunProcess(req);
  if (!r.started || r.exitCode != 0) {
    std::fprintf(stderr, "%s failed (%d): %s%s\n", req.argv[0].c_str(), r.exitCode, r.output.c_str(),
                 r.errorText.c_str());
    return false;
  }
  return true;
}

// FAT32 layout of the volume at startLba, as byte offsets into the image.
struct Fat32Layout {
  uint64_t base = 0, fat = 0, data = 0;
  uint32_t clusterBytes = 0, root = 0;
  uint64_t ClusterOffset(uint32_t c) const { return data + uint64_t(c - 2) * clusterBytes; }
};

bool ReadFat32Layout(const std::string& image, uint32_t startLba, Fat32Layout* l) {
  uint8_t bs[512];
  l->base = uint64_t(startLba) * 512;
  if (!ReadAt(image, l->base, bs, sizeof bs)) return false;
  l->clusterBytes = bs[13] * 512u;
  l->fat = l->base + Get16(bs + 14) * 512ull;
  l->data = l->fat + uint64_t(bs[16]) * Get32(bs + 36) * 512;
  l->root = Get32(bs + 44);
  return l->clusterBytes != 0;
}

// Offset of the root directory entry named name83 (first root cluster only).
uint64_t FindFat32RootEntry(const std::string& image, const Fat32Layout& l, const std::string& name83) {
  std::vector<uint8_t> dir(l.clusterBytes);
  if (!ReadAt(image, l.ClusterOffset(l.root), dir.data(), dir.size())) return 0;
  for (std::size_t i = 0; i + 32 <= dir.size() && dir[i] != 0; i += 32) {
    if (std::memcmp(&dir[i], name83.data(), 11) == 0) return l.ClusterOffset(l.root) + i;
  }
  return 0;
}

std::string StripAnsi(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\x1b') {
      out += s[i];
      continue;
    }
    if (i + 1 < s.size() && s[i + 1] == '[') {
      i += 2;
      while (i < s.size() && !(s[i] >= 0x40 && s[i] <= 0x7E)) ++i;
    } else {
      ++i;  // two-byte sequence such as ESC c
    }
  }
  return out;
}

}  // namespace

bool ReadAt(const std::string& path, uint64_t offset, void* buf, std::size_t size) {
  Fd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  return f.fd >= 0 && ::pread(f.fd, buf, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
}

bool WriteAt(const std::string& path, uint64_t offset, const void* buf, std::size_t size) {
  Fd f(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
  return f.fd >= 0 && ::pwrite(f.fd, buf, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
}

std::string MakePayload(const std::string& workDir, const PayloadSpec& spec) {
  const std::string head = workDir + "/payload-" + spec.tag + ".bin";
  if (!Run({"nasm", "-f", "bin", "-DORG=" + std::to_string(spec.org), "-DENTRY_CS=" + std::to_string(spec.entryCs),
            std::string("-DFREEDOS=") + (spec.freedos ? "1" : "0"), "-DSIZE=" + std::to_string(spec.size),
            "-DTAG=\"" + spec.tag + "\"", "-o", head, FK_BOOT_TEST_DIR "/payload.asm"}))
    return "";
  std::string data = test::ReadFileBytes(head);
  if (data.size() != 512 || spec.size < 512 || spec.size % 4) return "";
  data.resize(spec.size);
  for (std::size_t o = 512; o < spec.size; o += 4) Put32(reinterpret_cast<uint8_t*>(&data[o]), uint32_t(o) ^ 0x5AC3E1F0);
  return data;
}

bool WriteMbr(const std::string& image, const BootTemplate& code, const std::vector<PartEntry>& entries) {
  uint8_t mbr[512] = {};
  std::memcpy(mbr, code.data, 440);
  for (std::size_t i = 0; i < entries.size() && i < 4; ++i) {
    uint8_t* e = mbr + 446 + 16 * i;
    e[0] = entries[i].flag;
    e[4] = entries[i].type;
    Put32(e + 8, entries[i].start);
    Put32(e + 12, entries[i].sectors);
  }
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  return WriteAt(image, 0, mbr, sizeof mbr);
}

bool MakeFat32(const std::string& image, uint32_t startLba, uint32_t sectors, int sectorsPerCluster,
               const std::string& label) {
  std::vector<std::string> argv = {"mkfs.fat", "-F", "32", "-s", std::to_string(sectorsPerCluster), "-h",
                                   std::to_string(startLba), "--offset", std::to_string(startLba)};
  if (!label.empty()) argv.insert(argv.end(), {"-n", label});
  argv.insert(argv.end(), {image, std::to_string(sectors / 2)});
  return Run(argv);
}

bool Mtools(const std::string& image, uint32_t startLba, const std::string& tool, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {tool, "-i", image + "@@" + std::to_string(uint64_t(startLba) * 512)};
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(argv, {{"MTOOLS_SKIP_CHECK", "1"}});
}

bool ResetFat32AllocationHint(const std::string& image, uint32_t startLba) {
  uint8_t bs[512];
  if (!ReadAt(image, uint64_t(startLba) * 512, bs, sizeof bs)) return false;
  uint8_t hint[4];
  Put32(hint, 2);
  return WriteAt(image, (uint64_t(startLba) + Get16(bs + 48)) * 512 + 492, hint, 4);
}

bool RenameFat32RootEntry(const std::string& image, uint32_t startLba, const std::string& from, const std::string& to) {
  Fat32Layout l;
  if (!ReadFat32Layout(image, startLba, &l) || to.size() != 11) return false;
  const uint64_t at = FindFat32RootEntry(image, l, from);
  return at != 0 && WriteAt(image, at, to.data(), 11);
}

std::vector<uint32_t> Fat32Chain(const std::string& image, uint32_t startLba, const std::string& name83) {
  Fat32Layout l;
  std::vector<uint32_t> chain;
  uint8_t e[32];
  if (!ReadFat32Layout(image, startLba, &l)) return chain;
  const uint64_t at = FindFat32RootEntry(image, l, name83);
  if (at == 0 || !ReadAt(image, at, e, sizeof e)) return chain;
  uint32_t c = uint32_t(Get16(e + 20)) << 16 | Get16(e + 26);
  while (c >= 2 && c < 0x0FFFFFF8 && chain.size() < 1000000) {
    chain.push_back(c);
    uint8_t next[4];
    if (!ReadAt(image, l.fat + uint64_t(c) * 4, next, 4)) break;
    c = Get32(next) & 0x0FFFFFFF;
  }
  return chain;
}

bool InstallFat32Pbr(const std::string& image, uint32_t startLba, const BootTemplate& pbr) {
  uint8_t volume[512], sector[512];
  if (!ReadAt(image, uint64_t(startLba) * 512, volume, sizeof volume)) return false;
  std::memcpy(sector, pbr.data, 512);
  std::memcpy(sector + 3, volume + 3, 87);
  return WriteAt(image, uint64_t(startLba) * 512, sector, sizeof sector);
}

bool CopyInto(const std::string& image, uint64_t offset, const std::string& source) {
  Fd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.fd < 0) return false;
  std::vector<char> block(65536);
  for (uint64_t pos = 0;; pos += block.size()) {
    ssize_t n = ::pread(in.fd, block.data(), block.size(), static_cast<off_t>(pos));
    if (n < 0) return false;
    if (n == 0) return true;
    if (std::any_of(block.begin(), block.begin() + n, [](char ch) { return ch != 0; }) &&
        !WriteAt(image, offset + pos, block.data(), static_cast<std::size_t>(n)))
      return false;
  }
}

// ---------------------------------------------------------------- exFAT

bool ExfatVolume::Format(const std::string& path, uint64_t bytes, const std::string& clusterSize) {
  path_ = path;
  test::MakeSparseFile(path, static_cast<int64_t>(bytes));
  return Run({"mkfs.exfat", "-c", clusterSize, path}) && Load();
}

bool ExfatVolume::Load() {
  uint8_t bs[512];
  if (!ReadAt(path_, 0, bs, sizeof bs) || bs[108] != 9) return false;
  fatOffset_ = Get32(bs + 80);
  heapOffset_ = Get32(bs + 88);
  clusterCount_ = Get32(bs + 92);
  rootCluster_ = Get32(bs + 96);
  clusterBytes_ = 512u << bs[109];
  std::vector<uint8_t> root(clusterBytes_);
  if (!ReadAt(path_, ClusterOffset(rootCluster_), root.data(), root.size())) return false;
  for (std::size_t i = 0; i < root.size(); i += 32) {
    if (root[i] == 0x81) {
      bitmapCluster_ = Get32(&root[i + 20]);
      bitmap_.resize((clusterCount_ + 7) / 8);
      return ReadAt(path_, ClusterOffset(bitmapCluster_), bitmap_.data(), bitmap_.size());
    }
  }
  return false;
}

uint64_t ExfatVolume::ClusterOffset(uint32_t c) const {
  return (uint64_t(heapOffset_) + uint64_t(c - 2) * (clusterBytes_ / 512)) * 512;
}

// Takes free clusters from the start of the heap; with gaps, every second
// pair of clusters is followed by a free one left unused, so the file lies in
// runs that are not in one piece.
std::vector<uint32_t> ExfatVolume::Allocate(uint32_t count, bool gaps) {
  std::vector<uint32_t> out;
  bool skipNext = false;
  for (uint32_t i = 0; i < clusterCount_ && out.size() < count; ++i) {
    if (bitmap_[i / 8] & (1u << (i % 8))) continue;
    if (skipNext) {
      skipNext = false;
      continue;
    }
    bitmap_[i / 8] |= uint8_t(1u << (i % 8));
    out.push_back(i + 2);
    if (gaps && out.size() % 2 == 0) skipNext = true;
  }
  if (out.size() != count) out.clear();
  return out;
}

bool ExfatVolume::AddEntrySet(const std::string& name, uint8_t attributes, uint8_t streamFlags,
                              uint32_t firstCluster, uint64_t length) {
  const std::size_t nameEntries = (name.size() + 14) / 15;
  std::vector<uint8_t> set((2 + nameEntries) * 32, 0);
  set[0] = 0x85;
  set[1] = static_cast<uint8_t>(1 + nameEntries);
  Put16(&set[4], attributes);
  uint8_t* stream = &set[32];
  stream[0] = 0xC0;
  stream[1] = streamFlags;
  stream[3] = static_cast<uint8_t>(name.size());
  uint16_t hash = 0;
  for (char ch : name) {
    const uint8_t up = static_cast<uint8_t>((ch >= 'a' && ch <= 'z') ? ch - 0x20 : ch);
    for (uint8_t b : {up, uint8_t(0)}) hash = static_cast<uint16_t>(((hash & 1) ? 0x8000 : 0) + (hash >> 1) + b);
  }
  Put16(stream + 4, hash);
  Put64(stream + 8, length);
  Put32(stream + 20, firstCluster);
  Put64(stream + 24, length);
  for (std::size_t i = 0; i < name.size(); ++i) {
    uint8_t* e = &set[64 + 32 * (i / 15)];
    e[0] = 0xC1;
    Put16(e + 2 + 2 * (i % 15), static_cast<uint8_t>(name[i]));
  }
  uint16_t sum = 0;
  for (std::size_t i = 0; i < set.size(); ++i)
    if (i != 2 && i != 3) sum = static_cast<uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + set[i]);
  Put16(&set[2], sum);

  std::vector<uint8_t> root(clusterBytes_);
  if (!ReadAt(path_, ClusterOffset(rootCluster_), root.data(), root.size())) return false;
  std::size_t slot = 0;
  while (slot < root.size() && root[slot] != 0) slot += 32;
  if (slot + set.size() > root.size()) return false;
  return WriteAt(path_, ClusterOffset(rootCluster_) + slot, set.data(), set.size()) &&
         WriteAt(path_, ClusterOffset(bitmapCluster_), bitmap_.data(), bitmap_.size());
}

bool ExfatVolume::AddDirectory(const std::string& name) {
  std::vector<uint32_t> c = Allocate(1, false);
  std::vector<uint8_t> zero(clusterBytes_, 0);
  return !c.empty() && WriteAt(path_, ClusterOffset(c[0]), zero.data(), zero.size()) &&
         AddEntrySet(name, 0x10, 0x03, c[0], clusterBytes_);
}

bool ExfatVolume::AddFile(const std::string& name, const std::string& data, Layout layout) {
  const uint32_t count = static_cast<uint32_t>((data.size() + clusterBytes_ - 1) / clusterBytes_);
  last_ = Allocate(count, layout == Layout::Fragmented);
  if (last_.empty()) return false;
  for (uint32_t i = 0; i < count; ++i) {
    const std::size_t from = std::size_t(i) * clusterBytes_;
    const std::size_t n = std::min<std::size_t>(clusterBytes_, data.size() - from);
    if (!WriteAt(path_, ClusterOffset(last_[i]), data.data() + from, n)) return false;
    if (layout != Layout::NoFatChain) {
      uint8_t next[4];
      Put32(next, i + 1 < count ? last_[i + 1] : 0xFFFFFFFF);
      if (!WriteAt(path_, uint64_t(fatOffset_) * 512 + uint64_t(last_[i]) * 4, next, 4)) return false;
    }
  }
  return AddEntrySet(name, 0x20, layout == Layout::NoFatChain ? 0x03 : 0x01, last_[0], data.size());
}

bool ExfatVolume::InstallBootRecord(const BootTemplate& pbr, uint64_t partitionStart) {
  std::vector<uint8_t> region(12 * 512);
  if (pbr.size != 1024 || !ReadAt(path_, 0, region.data(), region.size())) return false;
  std::vector<uint8_t> code(pbr.data, pbr.data + 1024);
  std::memcpy(code.data(), region.data(), 120);
  Put64(code.data() + 64, partitionStart);
  std::memcpy(region.data(), code.data(), code.size());
  uint32_t sum = 0;
  for (std::size_t i = 0; i < 11 * 512; ++i)
    if (i != 106 && i != 107 && i != 112) sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + region[i];
  for (std::size_t i = 11 * 512; i < 12 * 512; i += 4) Put32(&region[i], sum);
  return WriteAt(path_, 0, region.data(), region.size()) &&
         WriteAt(path_, 12 * 512, region.data(), region.size());
}

// ---------------------------------------------------------------- QEMU

QemuResult RunQemu(const std::string& workDir, const std::string& image, const QemuRun& run) {
  static int counter = 0;
  const std::string n = std::to_string(++counter);
  const std::string log = workDir + "/serial" + n + ".log";
  const std::string monitor = workDir + "/mon" + n + ".sock";
  ::unlink(log.c_str());
  QemuResult result;
  auto keyFd = std::make_shared<std::unique_ptr<Fd>>();

  ProcessRequest req;
  req.argv = {"qemu-system-x86_64", "-display", "none", "-machine", "pc,graphics=off,accel=tcg", "-m", "64",
              "-nic", "none", "-no-reboot", "-boot", "reboot-timeout=0",
              "-drive", "file=" + image + ",format=raw,if=ide", "-serial", "file:" + log,
              "-monitor", "unix:" + monitor + ",server=on,wait=off",
              "-device", "isa-debug-exit,iobase=0xf4,iosize=0x04"};
  req.timeoutMs = run.timeoutMs;
  req.cancel = [&]() {
    const std::string text = StripAnsi(test::ReadFileBytes(log));
    if (run.key && !*keyFd && text.find(run.keyAfter) != std::string::npos) {
      // Type the key on the emulated keyboard through the monitor.
      auto fd = std::make_unique<Fd>(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
      sockaddr_un addr{};
      addr.sun_family = AF_UNIX;
      std::strncpy(addr.sun_path, monitor.c_str(), sizeof addr.sun_path - 1);
      if (::connect(fd->fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        const std::string cmd = std::string("sendkey ") + run.key + "\n";
        if (::write(fd->fd, cmd.data(), cmd.size()) == static_cast<ssize_t>(cmd.size())) *keyFd = std::move(fd);
      }
    }
    if (!run.stopWhen.empty() && text.find(run.stopWhen) != std::string::npos) {
      result.stopped = true;
      return true;
    }
    return false;
  };
  ProcessResult r = RunProcess(req);
  result.exitCode = r.exitCode;
  result.serial = StripAnsi(test::ReadFileBytes(log));
  if (!r.started) result.serial = "qemu did not start: " + r.errorText;
  return result;
}

}  // namespace fk::boottest

// Reading the block-device tree of sysfs, MBR sectors, mountinfo and swaps, and
// working out the set of system disks. Nothing here opens a device.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "platform/Disks.h"
#include "platform/Storage.h"

namespace fs = std::filesystem;

namespace fk::platform {

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\n' || s[b] == '\r' || s[b] == '\0')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\n' || s[e - 1] == '\r' || s[e - 1] == '\0'))
    --e;
  return std::string(s.substr(b, e - b));
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::optional<std::string> ReadAttr(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string line;
  std::getline(in, line);
  return Trim(line);
}

static int64_t AttrInt(const std::string& path, int64_t fallback) {
  auto v = ReadAttr(path);
  if (!v || v->empty()) return fallback;
  try {
    return std::stoll(*v);
  } catch (...) {
    return fallback;
  }
}

static bool StartsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

bool IsListedDiskName(std::string_view n) {
  auto allDigitsFrom = [&](size_t i) {
    if (i >= n.size()) return false;
    return std::all_of(n.begin() + i, n.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (StartsWith(n, "ram") || StartsWith(n, "zram") || StartsWith(n, "dm-") || StartsWith(n, "md") ||
      StartsWith(n, "sr") || StartsWith(n, "fd"))
    return false;
  if (StartsWith(n, "sd") || StartsWith(n, "vd") || StartsWith(n, "xvd"))
    return n.size() > 2 && n.find_first_of("0123456789") == std::string_view::npos;
  if (StartsWith(n, "nvme")) return n.find('n', 4) != std::string_view::npos && n.find('p') == std::string_view::npos;
  if (StartsWith(n, "mmcblk"))
    return allDigitsFrom(6);
  if (StartsWith(n, "loop")) return allDigitsFrom(4);
  return false;
}

static std::string LinkTargetName(const fs::path& link) {
  std::error_code ec;
  fs::path t = fs::read_symlink(link, ec);
  if (ec) return {};
  return t.filename().string();
}

int ResolveBusType(const std::string& resolvedSysPath, const std::string& name) {
  if (StartsWith(name, "loop")) return 15;
  bool usb = false, nvme = false, mmc = false, virtio = false, ata = false, scsi = false, ahci = false;
  fs::path p(resolvedSysPath);
  while (p.has_relative_path() && p.filename() != "devices") {
    std::string sub = LinkTargetName(p / "subsystem");
    if (sub == "usb") usb = true;
    else if (sub == "nvme") nvme = true;
    else if (sub == "mmc" || sub == "mmc_host") mmc = true;
    else if (sub == "virtio") virtio = true;
    else if (sub == "scsi") scsi = true;
    std::string leaf = p.filename().string();
    if (StartsWith(leaf, "ata") && leaf.size() > 3 && std::isdigit(static_cast<unsigned char>(leaf[3]))) ata = true;
    std::string drv = LinkTargetName(p / "driver");
    if (drv.find("ahci") != std::string::npos || drv.find("sata") != std::string::npos) ahci = true;
    p = p.parent_path();
  }
  if (usb) return 7;
  if (nvme) return 17;
  if (mmc) return 12;
  if (virtio) return 14;
  if (ata) return ahci ? 11 : 3;
  if (scsi) return 1;
  return 0;
}

static fs::path DeviceDir(const std::string& sysRoot, const std::string& name) {
  std::error_code ec;
  for (const char* sub : {"/class/block/", "/block/"}) {
    fs::path link = sysRoot + sub + name;
    if (fs::exists(link, ec)) {
      fs::path c = fs::canonical(link, ec);
      if (!ec) return c;
    }
  }
  return {};
}

std::optional<BlockDevice> ReadBlockDevice(const std::string& sysRoot, const std::string& name) {
  fs::path dir = DeviceDir(sysRoot, name);
  if (dir.empty()) return std::nullopt;
  BlockDevice d;
  d.name = name;
  d.sysPath = dir.string();
  std::string ds = d.sysPath;
  d.removable = AttrInt(ds + "/removable", 0) == 1;
  d.sizeBytes = AttrInt(ds + "/size", 0) * 512;
  d.logicalBlockSize = static_cast<int>(AttrInt(ds + "/queue/logical_block_size", 512));
  if (auto dev = ReadAttr(ds + "/dev")) std::sscanf(dev->c_str(), "%u:%u", &d.major, &d.minor);
  d.vendor = Trim(ReadAttr(ds + "/device/vendor").value_or(""));
  d.model = Trim(ReadAttr(ds + "/device/model").value_or(""));
  if (d.model.empty()) d.model = Trim(ReadAttr(ds + "/device/name").value_or(""));
  d.isLoop = StartsWith(name, "loop");
  if (d.isLoop) d.backingFile = ReadAttr(ds + "/loop/backing_file").value_or("");
  d.busType = ResolveBusType(d.sysPath, name);
  d.hotplug = d.busType == 7 || d.busType == 12;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    if (!e.is_directory(ec) || e.is_symlink(ec)) continue;
    std::string pdir = e.path().string();
    if (!fs::exists(pdir + "/partition", ec)) continue;
    PartitionNode pn;
    pn.name = e.path().filename().string();
    pn.number = static_cast<int>(AttrInt(pdir + "/partition", 0));
    pn.startBytes = AttrInt(pdir + "/start", 0) * 512;
    pn.sizeBytes = AttrInt(pdir + "/size", 0) * 512;
    if (auto dev = ReadAttr(pdir + "/dev")) std::sscanf(dev->c_str(), "%u:%u", &pn.major, &pn.minor);
    d.partitions.push_back(pn);
  }
  std::sort(d.partitions.begin(), d.partitions.end(),
            [](const PartitionNode& a, const PartitionNode& b) { return a.number < b.number; });
  return d;
}

std::vector<BlockDevice> EnumerateBlockDevices(const std::string& sysRoot) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(sysRoot + "/block", ec)) {
    std::string n = e.path().filename().string();
    if (IsListedDiskName(n)) names.push_back(n);
  }
  std::sort(names.begin(), names.end());
  std::vector<BlockDevice> out;
  for (const auto& n : names) {
    auto d = ReadBlockDevice(sysRoot, n);
    if (!d) continue;
    if (d->isLoop && d->backingFile.empty()) continue;
    out.push_back(std::move(*d));
  }
  return out;
}

std::string BlockNameOfDev(const std::string& sysRoot, unsigned major, unsigned minor) {
  std::error_code ec;
  fs::path link = sysRoot + "/dev/block/" + std::to_string(major) + ":" + std::to_string(minor);
  if (!fs::exists(link, ec)) return {};
  fs::path c = fs::canonical(link, ec);
  if (ec) return {};
  return c.filename().string();
}

std::string WholeDiskOf(const std::string& sysRoot, const std::string& name) {
  fs::path dir = DeviceDir(sysRoot, name);
  if (dir.empty()) return name;
  std::error_code ec;
  if (fs::exists(dir / "partition", ec)) return dir.parent_path().filename().string();
  return name;
}

// ---- MBR ----------------------------------------------------------------------

static uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

MbrLayout ParseMbr(const uint8_t* sector, size_t length) {
  MbrLayout m;
  if (!sector || length < 512) return m;
  if (sector[510] != 0x55 || sector[511] != 0xAA) return m;
  m.signature = Le32(sector + 440);
  for (int i = 0; i < 4; ++i) {
    const uint8_t* e = sector + 446 + 16 * i;
    m.entries[i].bootIndicator = e[0];
    m.entries[i].type = e[4];
    m.entries[i].startLba = Le32(e + 8);
    m.entries[i].sectors = Le32(e + 12);
    if (e[4] == 0xEE) m.gpt = true;
  }
  m.valid = !m.gpt;
  return m;
}

void StoreMbrEntry(uint8_t* sector, int slot, const MbrEntry& entry) {
  uint8_t* e = sector + 446 + 16 * slot;
  auto put32 = [](uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
  };
  e[0] = entry.bootIndicator;
  e[4] = entry.type;
  put32(e + 8, entry.startLba);
  put32(e + 12, entry.sectors);
}

// ---- mountinfo and swaps --------------------------------------------------------

// Octal escapes (\040 and friends) as the kernel writes them.
static std::string Unescape(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && std::isdigit(static_cast<unsigned char>(s[i + 1])) &&
        std::isdigit(static_cast<unsigned char>(s[i + 2])) && std::isdigit(static_cast<unsigned char>(s[i + 3]))) {
      out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

static std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> f;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    size_t b = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > b) f.push_back(line.substr(b, i - b));
  }
  return f;
}

std::vector<MountEntry> ParseMountInfo(std::string_view text) {
  std::vector<MountEntry> out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    std::string_view line = text.substr(pos, nl == std::string_view::npos ? text.size() - pos : nl - pos);
    pos = nl == std::string_view::npos ? text.size() : nl + 1;
    auto f = Fields(line);
    if (f.size() < 7) continue;
    size_t sep = 6;
    while (sep < f.size() && f[sep] != "-") ++sep;
    if (sep + 2 >= f.size()) continue;
    MountEntry m;
    std::string dev(f[2]);
    if (std::sscanf(dev.c_str(), "%u:%u", &m.major, &m.minor) != 2) continue;
    m.root = Unescape(f[3]);
    m.mountPoint = Unescape(f[4]);
    m.mountOptions = std::string(f[5]);
    m.fsType = std::string(f[sep + 1]);
    m.source = Unescape(f[sep + 2]);
    if (sep + 3 < f.size()) m.superOptions = std::string(f[sep + 3]);
    out.push_back(std::move(m));
  }
  return out;
}

std::vector<SwapEntry> ParseSwaps(std::string_view text) {
  std::vector<SwapEntry> out;
  size_t pos = 0;
  bool first = true;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    std::string_view line = text.substr(pos, nl == std::string_view::npos ? text.size() - pos : nl - pos);
    pos = nl == std::string_view::npos ? text.size() : nl + 1;
    if (first) {  // header line
      first = false;
      continue;
    }
    auto f = Fields(line);
    if (f.size() < 2) continue;
    out.push_back({Unescape(f[0]), std::string(f[1])});
  }
  return out;
}

bool IsSystemMountPoint(std::string_view mp) {
  for (const char* s : {"/", "/boot", "/boot/efi", "/efi", "/usr", "/var", "/home"})
    if (mp == s) return true;
  return false;
}

// The mount whose mount point is the longest prefix of path.
static const MountEntry* MountHolding(const std::vector<MountEntry>& mounts, const std::string& path) {
  const MountEntry* best = nullptr;
  size_t bestLen = 0;
  for (const auto& m : mounts) {
    const std::string& mp = m.mountPoint;
    bool under = path == mp || mp == "/" ||
                 (path.size() > mp.size() && path.compare(0, mp.size(), mp) == 0 && path[mp.size()] == '/');
    if (under && (best == nullptr || mp.size() >= bestLen)) {
      best = &m;
      bestLen = mp.size();
    }
  }
  return best;
}

// Block device name behind a mount: its major:minor, or for 0:N mounts (btrfs and
// the like) the device node of its source.
static std::string MountDeviceName(const std::string& sysRoot, const MountEntry& m) {
  if (m.major != 0) return BlockNameOfDev(sysRoot, m.major, m.minor);
  if (!StartsWith(m.source, "/")) return {};
  struct stat st {};
  if (::stat(m.source.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
    std::string n = BlockNameOfDev(sysRoot, major(st.st_rdev), minor(st.st_rdev));
    if (!n.empty()) return n;
  }
  std::string base = fs::path(m.source).filename().string();
  return DeviceDir(sysRoot, base).empty() ? std::string() : base;
}

// The lowerdir (colon-separated) and upperdir directories of overlay options.
static std::vector<std::string> OverlayLayerDirs(const std::string& options) {
  std::vector<std::string> dirs;
  std::size_t start = 0;
  while (start < options.size()) {
    std::size_t comma = options.find(',', start);
    if (comma == std::string::npos) comma = options.size();
    const std::string opt = options.substr(start, comma - start);
    start = comma + 1;
    std::string value;
    if (StartsWith(opt, "lowerdir=")) value = opt.substr(9);
    else if (StartsWith(opt, "upperdir=")) value = opt.substr(9);
    else continue;
    std::size_t from = 0;
    while (from <= value.size()) {
      std::size_t colon = value.find(':', from);
      if (colon == std::string::npos) colon = value.size();
      if (colon > from) dirs.push_back(value.substr(from, colon - from));
      from = colon + 1;
    }
  }
  return dirs;
}

std::set<std::string> FindSystemDisks(const std::string& procRoot, const std::string& sysRoot) {
  std::set<std::string> disks;
  std::set<std::string> visited;
  auto mounts = ParseMountInfo(ReadWholeFile(procRoot + "/self/mountinfo"));

  std::function<void(const std::string&)> addDevice = [&](const std::string& name) {
    if (name.empty() || !visited.insert(name).second) return;
    std::string disk = WholeDiskOf(sysRoot, name);
    disks.insert(disk);
    visited.insert(disk);
    for (const std::string& n : {name, disk}) {
      fs::path dir = DeviceDir(sysRoot, n);
      if (dir.empty()) continue;
      std::error_code ec;
      for (const auto& s : fs::directory_iterator(dir / "slaves", ec)) addDevice(s.path().filename().string());
      // A loop device that is a system device pins the disk of its backing file.
      auto backing = ReadAttr((dir / "loop" / "backing_file").string());
      if (backing && !backing->empty()) {
        if (const MountEntry* m = MountHolding(mounts, *backing)) addDevice(MountDeviceName(sysRoot, *m));
      }
    }
  };

  for (const auto& m : mounts) {
    if (!IsSystemMountPoint(m.mountPoint)) continue;
    addDevice(MountDeviceName(sysRoot, m));
    // An overlay (a live system's root, say) has no device of its own: its
    // layers are directories of other mounts, such as a squashfs on a loop
    // device whose image lies on the boot stick.
    if (m.fsType == "overlay") {
      for (const std::string& dir : OverlayLayerDirs(m.superOptions))
        if (const MountEntry* h = MountHolding(mounts, dir); h != nullptr && h != &m)
          addDevice(MountDeviceName(sysRoot, *h));
    }
  }

  for (const auto& s : ParseSwaps(ReadWholeFile(procRoot + "/swaps"))) {
    if (s.type == "partition") {
      struct stat st {};
      std::string name;
      if (::stat(s.fileName.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
        name = BlockNameOfDev(sysRoot, major(st.st_rdev), minor(st.st_rdev));
      if (name.empty()) {
        std::string base = fs::path(s.fileName).filename().string();
        if (!DeviceDir(sysRoot, base).empty()) name = base;
      }
      addDevice(name);
    } else if (const MountEntry* m = MountHolding(mounts, s.fileName)) {
      addDevice(MountDeviceName(sysRoot, *m));
    }
  }
  AddLoopsOverDisks(sysRoot, "/dev", &disks);
  return disks;
}

}  // namespace fk::platform

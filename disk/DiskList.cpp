#include "disk/DiskList.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Utilities.h"
#include "disk/DiskInternal.h"
#include "disk/RawDisk.h"
#include "disk/VolumeRef.h"

namespace fk {

std::vector<DiskRecord> AllDrives;
DiskRecord CurrentDisk;
int64_t LastDeviceEventTime = 0;

namespace {
std::mutex g_mutex;  // guards the tables below
std::vector<std::string> g_images;
std::vector<detail::DiskSource> g_sources;
std::vector<TreeLine> g_tree;
int g_selected = -1;
std::function<bool()> g_fixedSource;
}  // namespace

DiskEnvironment& DiskEnv() {
  static DiskEnvironment env;
  return env;
}

void SetEnableFixedDisksSource(std::function<bool()> source) {
  std::lock_guard lk(g_mutex);
  g_fixedSource = std::move(source);
}

bool EnableFixedDisksOn() {
  std::function<bool()> f;
  {
    std::lock_guard lk(g_mutex);
    f = g_fixedSource;
  }
  return f ? f() : false;
}

bool AddImageDisk(const std::string& path) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(path.c_str(), R_OK) != 0) {
    Log("> AddImageDisk: not a readable image file: " + path);
    return false;
  }
  std::lock_guard lk(g_mutex);
  if (std::find(g_images.begin(), g_images.end(), path) == g_images.end()) g_images.push_back(path);
  return true;
}

void ClearImageDisks() {
  std::lock_guard lk(g_mutex);
  g_images.clear();
}

std::vector<std::string> ImageDisks() {
  std::lock_guard lk(g_mutex);
  return g_images;
}

std::vector<TreeLine> DriveTreeLines() {
  std::lock_guard lk(g_mutex);
  return g_tree;
}

namespace detail {

std::optional<DiskSource> DiskSourceAt(int n) {
  std::lock_guard lk(g_mutex);
  if (n < 0 || n >= static_cast<int>(g_sources.size())) return std::nullopt;
  return g_sources[n];
}

std::optional<DiskSource> DiskSourceByPath(const std::string& path) {
  std::lock_guard lk(g_mutex);
  for (const auto& s : g_sources)
    if (s.path == path) return s;
  return std::nullopt;
}

bool PathIsListedDisk(const std::string& path) {
  struct stat target {};
  if (::stat(path.c_str(), &target) != 0 || !S_ISREG(target.st_mode)) return false;
  auto same = [&](const std::string& other) {
    struct stat st {};
    return !other.empty() && ::stat(other.c_str(), &st) == 0 && st.st_dev == target.st_dev &&
           st.st_ino == target.st_ino;
  };
  std::lock_guard lk(g_mutex);
  for (const auto& s : g_sources)
    if (same(s.image ? s.path : s.block.backingFile)) return true;
  return false;
}

std::set<std::string> SystemDisks() { return platform::FindSystemDisks(DiskEnv().procRoot, DiskEnv().sysRoot); }

int SelectedLine() {
  // A front end with a tree answers for itself, "nothing selected" (-1)
  // included; the line last selected through the disk layer counts only
  // where there is no tree at all.
  if (GetUi().HasMainWindow()) return GetUi().SelectedTreeLine();
  std::lock_guard lk(g_mutex);
  return g_selected;
}

}  // namespace detail

std::string DriveTypeToText(int t) {
  switch (t) {
    case 1: return "Root directory does not exist";
    case 2: return "Removable";
    case 3: return "Fixed";
    case 4: return "Network";
    case 5: return "CDROM";
    case 6: return "RAMdisk";
    default: return "Indetermined";
  }
}

std::string BusTypeToText(int busType) {
  static const char* names[] = {"Unknown", "SCSI",  "ATAPI", "ATA",  "1394", "SSA", "Fibre", "USB",
                                "RAID",    "iSCSI", "SAS",   "SATA", "SD",   "MMC", "Virtual", "FileBackedVirtual"};
  int16_t v = static_cast<int16_t>(busType);
  if (v >= 0 && v <= 15) return names[v];
  if (v == 16 || v == 127) return "";
  if (v == 17) return "NVMe";  // NVMe disks get their name rather than an empty text
  return "Unknown";
}

int PhysicalDriveType(int DiskNumber) {
  auto src = detail::DiskSourceAt(DiskNumber);
  if (!src) return DRIVE_UNKNOWN;
  if (src->image) return DRIVE_FIXED;
  return (src->block.removable || src->block.hotplug) ? DRIVE_REMOVABLE : DRIVE_FIXED;
}

int64_t DriveSize(const DriveHandle& handle) {
  if (!handle.valid()) {
    Log("> DriveSize: invalid handle");
    return 0;
  }
  int64_t size = platform::DeviceSize(handle.value());
  if (size < 0) {
    Log("> DriveSize: " + std::string(std::strerror(static_cast<int>(-size))));
    return 0;
  }
  return size;
}

std::string VolumeAccessName(const DiskRecord& disk, int slot) {
  if (slot < 0 || slot > 3 || disk.Partition[slot].PartitionLength == 0) return {};
  if (!disk.Partition[slot].DriveLetter.empty()) return disk.Partition[slot].DriveLetter;
  return VolumeRef{disk.DevicePath, disk.Partition[slot].StartingOffset}.ToText();
}

// Probes the volume at [offset, offset+size) of path and logs as root.
static std::string VolumeInfoAt(const std::string& root, const std::string& path, int64_t offset, int64_t size,
                                bool fileSystem) {
  const char* fn = fileSystem ? " DriveNameOfFS() For volume " : " DriveNameOfVol() For volume ";
  platform::ProbeResult r = platform::ProbeVolume(path, offset, size);
  if (!r.ok) {
    Log("> Error " + std::to_string(r.error) + fn + root);
    return {};
  }
  if (fileSystem) {
    Log("> FileSystem of " + root + " " + r.fsName);
    return r.fsName;
  }
  Log("> VolName of " + root + " " + r.label);
  return r.label;
}

// A volume name is probed through its disk at the partition's offset: a range
// name says where; a partition node is looked up in sysfs.
static std::string VolumeInfo(const std::string& root, bool fileSystem) {
  if (root.empty()) return {};
  std::string path = root;
  int64_t offset = 0, size = 0;
  if (auto range = VolumeRef::Parse(root)) {
    path = range->disk;
    offset = range->offset;
  } else if (auto located = LocatePartitionNode(root)) {
    path = DiskEnv().devRoot + "/" + located->wholeDisk;
    offset = located->partition.startBytes;
    size = located->partition.sizeBytes;
  }
  return VolumeInfoAt(root, path, offset, size, fileSystem);
}

std::string DriveNameOfFS(const std::string& root) { return VolumeInfo(root, true); }
std::string DriveNameOfVol(const std::string& root) { return VolumeInfo(root, false); }

bool detail::LayoutFromSector(const uint8_t* sector, size_t length, int64_t bytesPerSector, DiskRecord& d,
                              std::string* why) {
  const int64_t bps = bytesPerSector > 0 ? bytesPerSector : 512;
  platform::MbrLayout m = platform::ParseMbr(sector, length);
  if (!m.valid) {
    *why = m.gpt ? "GPT disk (protective MBR)" : "no MBR signature";
    return false;
  }
  d.PartitionCount = 4;
  d.DiskSignature = m.signature;
  for (int i = 0; i < 4; ++i) {
    const auto& e = m.entries[i];
    PartitionRecord& p = d.Partition[i];
    p = PartitionRecord{};
    if (e.sectors == 0 || e.type == 0) continue;
    p.StartingOffset = int64_t(e.startLba) * bps;
    p.PartitionLength = int64_t(e.sectors) * bps;
    p.HiddenSectors = e.startLba;
    p.PartitionNumber = static_cast<uint32_t>(i + 1);
    p.PartitionType = e.type;
    p.BootIndicator = e.bootIndicator;
    p.RecognizedPartition = 1;
    p.BeyondDiskEnd = p.StartingOffset + p.PartitionLength > d.Size;
  }
  // Two entries sharing sectors: a job on either would write into the other.
  for (int i = 0; i < 4; ++i)
    for (int j = i + 1; j < 4; ++j) {
      PartitionRecord& a = d.Partition[i];
      PartitionRecord& b = d.Partition[j];
      if (a.PartitionLength == 0 || b.PartitionLength == 0) continue;
      if (a.StartingOffset < b.StartingOffset + b.PartitionLength &&
          b.StartingOffset < a.StartingOffset + a.PartitionLength)
        a.OverlapsAnother = b.OverlapsAnother = true;
    }
  return true;
}

// Reads the MBR through the handle and fills the four slots; false when the disk
// is not MBR-partitioned.
static bool ReadLayout(const DriveHandle& h, DiskRecord& d, std::string* why) {
  const int64_t bps = d.Geometry.BytesPerSector ? d.Geometry.BytesPerSector : 512;
  std::vector<uint8_t> sector(static_cast<size_t>(std::max<int64_t>(bps, 512)));
  if (read_sectors(h, bps, 0, 1, sector.data()) != bps) {
    *why = "could not read sector 0";
    return false;
  }
  return detail::LayoutFromSector(sector.data(), sector.size(), bps, d, why);
}

static void FillDisk(const detail::DiskSource& src, int n, const DriveHandle& h, DiskRecord& d) {
  d.DevicePath = src.path;
  d.IsImageFile = src.image;
  if (src.image) {
    d.BusType = BusTypeToText(BusTypeFileBackedVirtual);
    std::string base = src.path.substr(src.path.find_last_of('/') + 1);
    d.ProductId = base;
  } else {
    d.KernelName = src.block.name;
    d.IsLoop = src.block.isLoop;
    d.BusType = BusTypeToText(src.block.busType);
    d.ProductId = src.block.model;
    d.VendorId = src.block.vendor;
  }
  int ss = platform::LogicalSectorSize(h.value());
  if (ss <= 0) {
    Log("> GetAllDrives: DiskGeometryEx " + std::string(std::strerror(-ss)));
  } else {
    DiskGeometry& g = d.Geometry;
    g.BytesPerSector = static_cast<uint32_t>(ss);
    g.TracksPerCylinder = 255;
    g.SectorsPerTrack = 63;
    g.Cylinders = d.Size / (255 * 63 * int64_t(ss));
    g.MediaType = d.DriveType == DRIVE_REMOVABLE ? 11 : 12;
    g.DiskSize = d.Size;
    d.ChsSectors = g.Cylinders * 255 * 63;
  }
  std::string why;
  if (ReadLayout(h, d, &why)) {
    const DiskGeometry& g = d.Geometry;
    Log(">  Disk" + std::to_string(n) + " " + d.ProductId + " " + d.VendorId + " Size: " + FormatSize(g.DiskSize, 0) +
        " (" + std::to_string(g.DiskSize) + " bytes)");
    Log(">  Disk type: " + d.DriveTypeName + ", Sector Size: " + std::to_string(g.BytesPerSector) +
        " bytes, Cylinders: " + std::to_string(g.Cylinders) + ", TracksPerCylinder: " +
        std::to_string(g.TracksPerCylinder) + ", SectorsPerTrack: " + std::to_string(g.SectorsPerTrack));
    Log(">  Partition type: 0 Partition Count: " + std::to_string(d.PartitionCount) + " " + d.ProductId + " " +
        d.VendorId);
    for (int i = 0; i < 4; ++i) {
      const PartitionRecord& p = d.Partition[i];
      if (p.PartitionLength == 0) continue;
      Log(">  Partition " + std::to_string(p.PartitionNumber) + ": Type: " + std::to_string(p.PartitionType) +
          " Size: " + FormatSize(p.PartitionLength, 0) + " (" + std::to_string(p.PartitionLength) +
          " bytes) Start Sector: " + std::to_string(p.StartingOffset / std::max<uint32_t>(g.BytesPerSector, 1)) +
          " Boot: " + std::to_string(p.BootIndicator));
    }
  } else {
    Log(">  GetAllDrives: DriveLayoutInformation " + why);
    Log(">  Disk" + std::to_string(n) + " (Not MBR disk) " + d.ProductId + " " + d.VendorId);
  }
}

int GetAllDrives() {
  AllDrives.clear();
  const DiskEnvironment env = DiskEnv();
  std::vector<detail::DiskSource> sources;
  for (auto& b : platform::EnumerateBlockDevices(env.sysRoot)) {
    detail::DiskSource s;
    s.path = env.devRoot + "/" + b.name;
    s.block = std::move(b);
    sources.push_back(std::move(s));
  }
  for (const auto& img : ImageDisks()) sources.push_back({img, true, {}});
  if (sources.size() > kMaxDiskNumber + 1) sources.resize(kMaxDiskNumber + 1);
  {
    std::lock_guard lk(g_mutex);
    g_sources = sources;
  }
  const std::set<std::string> system = detail::SystemDisks();

  for (int n = 0; n < static_cast<int>(sources.size()); ++n) {
    const detail::DiskSource& src = sources[n];
    DriveHandle h = GetDriveHandle(n, "", false, false);
    if (!h) continue;
    Log("> *GetAllDrives:");
    int64_t size = DriveSize(h);
    if (size == 0) continue;
    int type = PhysicalDriveType(n);
    if (type == DRIVE_UNKNOWN) continue;
    DiskRecord& d = AllDrives.emplace_back();
    d.ListIndex = -1;
    d.DiskNumber = n;
    d.Size = size;
    d.DriveType = type;
    d.DriveTypeName = DriveTypeToText(type);
    d.SystemDisk = src.image ? IsSystemDiskPath(src.path) : system.count(src.block.name) > 0;
    FillDisk(src, n, h, d);
  }
  Log("> GetAllDrives: Found " + std::to_string(AllDrives.size()) + " PhysicalDrives");

  // Volumes: a used slot gets the kernel's partition node when one lies at its
  // offset; label and file system are probed at the slot's offset either way.
  int volumes = 0;
  for (DiskRecord& d : AllDrives) {
    const detail::DiskSource& src = sources[d.DiskNumber];
    for (int i = 0; i < 4; ++i) {
      PartitionRecord& p = d.Partition[i];
      if (p.PartitionLength == 0) continue;
      if (p.OverlapsAnother)
        Log("> GetAllDrives: " + d.DevicePath + " partition " + std::to_string(i + 1) + " overlaps another partition");
      if (p.BeyondDiskEnd) {
        Log("> GetAllDrives: " + d.DevicePath + " partition " + std::to_string(i + 1) +
            " reaches past the end of the disk");
        continue;
      }
      if (!src.image) {
        for (const auto& node : src.block.partitions)
          if (node.number == static_cast<int>(p.PartitionNumber) && node.startBytes == p.StartingOffset)
            p.DriveLetter = env.devRoot + "/" + node.name;
      }
      ++volumes;
      const std::string root = VolumeAccessName(d, i);
      p.VolumeName = VolumeInfoAt(root, d.DevicePath, p.StartingOffset, p.PartitionLength, false);
      p.FileSystemName = VolumeInfoAt(root, d.DevicePath, p.StartingOffset, p.PartitionLength, true);
      if (!p.DriveLetter.empty()) {
        if (!d.DriveLetters.empty()) d.DriveLetters += " ";
        d.DriveLetters += p.DriveLetter;
      }
    }
  }
  Log("> GetAllDrives: Found " + std::to_string(volumes) + " LogicalDrives");
  return static_cast<int>(AllDrives.size());
}

static std::string DiskLineText(const DiskRecord& d) {
  std::string t = d.BusType + ": ";
  if (!d.VendorId.empty()) t += d.VendorId + " ";
  if (!d.ProductId.empty()) t += d.ProductId + " ";
  if (d.Size != 0) t += FormatSize(d.Size, 0) + " (";
  t += d.DriveLetters + ")";
  return t;
}

static std::string PartitionLineText(int slot, const PartitionRecord& p) {
  std::string t = "Part" + std::to_string(slot + 1) + ": " + FormatSize(p.PartitionLength, 0) + " ";
  if (!p.FileSystemName.empty()) t += p.FileSystemName + " ";
  if (p.BootIndicator != 0) t += "Act ";
  if (p.BeyondDiskEnd) return t + "<past the disk's end: not usable>";
  if (p.OverlapsAnother) return t + "<overlaps another partition: not usable>";
  t += p.VolumeName.empty() ? std::string("<NONAME> ") : "<" + p.VolumeName + "> ";
  t += p.DriveLetter;
  return t;
}

int UpdateAllDrives() {
  int count = GetAllDrives();
  const bool fixed = EnableFixedDisksOn();
  std::vector<TreeLine> lines;
  for (DiskRecord& d : AllDrives) {
    bool shown = d.BusType == "USB" || (fixed && d.DriveType == DRIVE_FIXED);
    if (!shown) continue;
    d.ListIndex = static_cast<int>(lines.size());
    lines.push_back({0, DiskLineText(d), kDiskIcon});
    for (int i = 0; i < 4; ++i) {
      PartitionRecord& p = d.Partition[i];
      if (p.PartitionLength == 0) continue;
      p.ListIndex = static_cast<int>(lines.size());
      lines.push_back({1, PartitionLineText(i, p), kPartitionIcon});
    }
  }
  {
    std::lock_guard lk(g_mutex);
    g_tree = lines;
    g_selected = lines.empty() ? -1 : 0;
  }
  GetUi().SetTreeLines(lines);
  Log("> format_op_in_progress = " + std::to_string(format_op_in_progress.load()));
  if (format_op_in_progress.load() == 0)
    GetUi().ShowStatus(lines.empty() ? "Insert a USB Flash Drive ..." : kSelectDriveStatus, 0);
  Log("> UpdateAllDrives found " + std::to_string(count) + " drives");
  GetUi().SelectTreeLine(lines.empty() ? -1 : 0);
  return count;
}

static int SetCurrentDiskFromLine(int selected) {
  CurrentDisk = DiskRecord{};
  CurrentDisk.ListIndex = -1;
  int result = 0;
  std::vector<TreeLine> tree = DriveTreeLines();
  if (selected >= 0 && selected < static_cast<int>(tree.size())) {
    const int level = tree[selected].level;
    for (const DiskRecord& d : AllDrives) {
      if (level == 1) {
        for (int i = 0; i < 4; ++i) {
          if (d.Partition[i].ListIndex == selected && d.Partition[i].PartitionLength != 0 && d.ListIndex != -1) {
            CurrentDisk = d;
            CurrentDisk.SelectedPartition = static_cast<uint8_t>(i + 1);
            result = 1;
          }
        }
      } else if (d.ListIndex == selected) {
        CurrentDisk = d;
        CurrentDisk.SelectedPartition = 0;
        result = 1;
        break;
      }
    }
  }
  if (result == 0) CurrentDisk.ListIndex = -1;
  Log("> CurrentDisk: DiskNumber = " + std::to_string(CurrentDisk.DiskNumber) +
      " SelectedPartition = " + std::to_string(CurrentDisk.SelectedPartition) +
      " DriveLetters = " + CurrentDisk.DriveLetters + " BusType = " + CurrentDisk.BusType);
  return result;
}

int SetCurrentDisk() { return SetCurrentDiskFromLine(detail::SelectedLine()); }

int SelectDisk(int diskIndex, int partitionSlot) {
  int line = -1;
  if (diskIndex >= 0 && diskIndex < static_cast<int>(AllDrives.size()) && partitionSlot >= 0 && partitionSlot <= 4) {
    const DiskRecord& d = AllDrives[diskIndex];
    if (d.ListIndex != -1) {
      if (partitionSlot == 0) line = d.ListIndex;
      else if (d.Partition[partitionSlot - 1].PartitionLength != 0) line = d.Partition[partitionSlot - 1].ListIndex;
    }
  }
  {
    std::lock_guard lk(g_mutex);
    g_selected = line;
  }
  GetUi().SelectTreeLine(line);
  return SetCurrentDiskFromLine(line);
}

int RefreshDrives() {
  int selected = GetUi().SelectedTreeLine();
  int count = UpdateAllDrives();
  if (selected != -1) {
    GetUi().SelectTreeLine(selected);
    std::lock_guard lk(g_mutex);
    g_selected = selected;
  }
  return count;
}

}  // namespace fk

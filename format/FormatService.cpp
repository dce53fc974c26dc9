#include "format/FormatService.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <vector>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Runner.h"
#include "app/Ui.h"
#include "format/BootRecords.h"
#include "format/PartitionTable.h"
#include "format/SectorDevice.h"
#include "disk/DiskList.h"
#include "disk/VolumeRef.h"
#include "platform/LoopDevice.h"
#include "platform/Process.h"
#include "platform/Disks.h"
#include "platform/UniqueFd.h"

namespace fk {

namespace {

constexpr int64_t kSector = 512;

struct FormatTool {
  const char* fileSystem;
  const char* program;
  const char* package;
};
constexpr std::array<FormatTool, 4> kTools{{
    {"FAT32", "mkfs.fat", "dosfstools"},
    {"exFAT", "mkfs.exfat", "exfatprogs"},
    {"NTFS", "mkfs.ntfs", "ntfs-3g"},
    {"UDF", "mkudffs", "udftools"},
}};

std::mutex g_programMutex;
std::map<std::string, std::string>& ProgramOverrides() {
  static std::map<std::string, std::string> m;
  return m;
}

const FormatTool* FindTool(const std::string& fs) {
  for (const FormatTool& t : kTools)
    if (fs == t.fileSystem) return &t;
  return nullptr;
}

std::string ProgramFor(const FormatTool& tool) {
  std::lock_guard lock(g_programMutex);
  auto it = ProgramOverrides().find(tool.fileSystem);
  return it != ProgramOverrides().end() ? it->second : tool.program;
}

bool Contains(const std::string& text, const char* part) {
  auto it = std::search(text.begin(), text.end(), part, part + std::strlen(part),
                        [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) ==
                                                    std::tolower(static_cast<unsigned char>(b)); });
  return it != text.end();
}


void ShowAndLog(const std::string& text) {
  Log("> " + text + ".");
  GetUi().ShowStatus(text, 0);
}

int CallbackDone(bool success) {
  const uint8_t flag = success ? 1 : 0;
  return FormatExCallback(FCC_DONE, 0, &flag);
}

// Writes zeros over the target range, reporting progress through the callback.
// Returns false when the run was cancelled or a write failed.
bool ZeroRange(const std::string& path, int64_t offset, int64_t length) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
  if (!fd) {
    Log("> FormatDriveEx: Error open " + path + " for zeroing: " + std::strerror(errno));
    FormatExCallback(FCC_ACCESS_DENIED, 0, nullptr);
    return false;
  }
  constexpr int64_t kChunk = 1 << 20;
  std::vector<char> zeros(static_cast<std::size_t>(kChunk), 0);
  int64_t done = 0;
  uint32_t lastPercent = 101;
  bool ok = true;
  while (done < length) {
    if (CurrentOpStopped()) {
      ok = false;
      break;
    }
    const int64_t n = std::min(kChunk, length - done);
    ssize_t w = ::pwrite(fd.get(), zeros.data(), static_cast<std::size_t>(n), offset + done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      Log("> FormatDriveEx: Error zeroing at byte " + std::to_string(offset + done) + ": " + std::strerror(errno));
      CallbackDone(false);
      ok = false;
      break;
    }
    done += w;
    const uint32_t percent = static_cast<uint32_t>(done * 100 / length);
    if (percent != lastPercent && percent < 100) {
      lastPercent = percent;
      if (FormatExCallback(FCC_PROGRESS, 0, &percent) == 0) {
        ok = false;
        break;
      }
    }
  }
  if (ok && ::fsync(fd.get()) != 0) {
    Log(std::string("> FormatDriveEx: Error flushing the zeroed volume: ") + std::strerror(errno));
    CallbackDone(false);
    ok = false;
  }
  return ok;
}

// mkfs.exfat takes PartitionOffset from sysfs, which a loop device does not
// have: write the partition's start into both boot regions and re-checksum.
bool PatchExfatPartitionOffset(SectorDevice& volume, uint64_t startSector) {
  for (int64_t region : {int64_t{0}, int64_t{12}}) {
    std::array<uint8_t, 512> boot{};
    if (volume.ReadSectors(kSector, region, 1, boot.data()) != kSector) return false;
    std::memcpy(boot.data() + 64, &startSector, sizeof startSector);
    boot[111] = 0x80;  // drive select
    if (volume.WriteSectors(kSector, region, 1, boot.data()) != kSector) return false;
    if (!RewriteExfatChecksum(volume, region, kSector)) return false;
  }
  return volume.Flush();
}

// The partition type the system's formatter leaves behind.
bool SetMbrType(const VolumeLocation& loc, uint8_t type) {
  if (loc.mbrSlot < 0 || loc.mbrSlot > 3) return true;
  std::string err;
  auto disk = FileSectorDevice::Open(loc.disk, 0, true, &err);
  if (!disk) {
    Log("> FormatDriveEx: " + err);
    return false;
  }
  std::array<uint8_t, 512> mbr{};
  if (disk->ReadSectors(kSector, 0, 1, mbr.data()) != kSector) return false;
  platform::MbrEntry e = platform::ParseMbr(mbr.data(), mbr.size()).entries[loc.mbrSlot];
  if (e.startLba != loc.startSector()) return true;  // not the table this volume came from
  if (e.type == type) return true;
  e.type = type;
  platform::StoreMbrEntry(mbr.data(), loc.mbrSlot, e);
  if (disk->WriteSectors(kSector, 0, 1, mbr.data()) != kSector) return false;
  disk->Flush();
  Log("> FormatDriveEx: partition type set to $" + HexBytes(&type, 1));
  return true;
}

// The tool wrote through a loop over the disk; a partition node has a page
// cache of its own that may still hold what was there before.
void DropCachedPartition(const std::string& root) {
  if (!platform::IsBlockDevicePath(root)) return;
  UniqueFd fd(::open(root.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return;
  if (const int rc = platform::DropDeviceCache(fd.get()); rc != 0)
    Log(std::string("> FormatDriveEx: drop cache ") + std::strerror(-rc));
}

std::string UpperAscii(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

bool IsPowerOfTwo(int64_t v) { return v > 0 && (v & (v - 1)) == 0; }

int64_t MaxClusterSize(const std::string& fs) {
  if (fs == "FAT32") return 64 * 1024;
  if (fs == "exFAT") return 32 * 1024 * 1024;
  if (fs == "NTFS") return 2 * 1024 * 1024;
  return 0;  // UDF: fixed by the block size
}

std::vector<std::string> ToolArguments(const std::string& fs, const std::string& program, const std::string& label,
                                       int clusterSize, const VolumeLocation& loc, const std::string& target,
                                       bool onImage) {
  std::vector<std::string> a{program};
  const std::string start = std::to_string(loc.startSector());
  if (fs == "FAT32") {
    a.insert(a.end(), {"-F", "32"});
    if (!label.empty()) a.insert(a.end(), {"-n", label});
    const int spc = clusterSize > 0 ? static_cast<int>(clusterSize / kSector)
                                    : DefaultFat32SectorsPerCluster(loc.length);
    a.insert(a.end(), {"-s", std::to_string(spc), "-h", start, "-g", "255/63", "-D", "0x80", "--mbr=n"});
    if (onImage) a.push_back("--offset=" + start);
    a.push_back(target);
    if (onImage) a.push_back(std::to_string(loc.length / 1024));
  } else if (fs == "exFAT") {
    if (!label.empty()) a.insert(a.end(), {"-L", label});
    if (clusterSize > 0) a.insert(a.end(), {"-c", std::to_string(clusterSize)});
    a.push_back(target);
  } else if (fs == "NTFS") {
    a.push_back("-Q");
    if (!label.empty()) a.insert(a.end(), {"-L", label});
    if (clusterSize > 0) a.insert(a.end(), {"-c", std::to_string(clusterSize)});
    a.insert(a.end(), {"-p", start, "-H", "255", "-S", "63", target});
  } else {
    a.insert(a.end(), {"--media-type=hd", "--blocksize=512", "--bootarea=erase"});
    if (!label.empty()) a.push_back("--label=" + label);
    a.push_back(target);
  }
  return a;
}

// Whether a tool that exited 0 still reported a failure (mkfs.exfat does).
bool OutputShowsFailure(const std::string& output) {
  return Contains(output, "format fail") || Contains(output, "less then suggested minimum") ||
         Contains(output, "less than suggested minimum");
}

int RunFormat(const std::string& root, const FormatTool& tool, const std::string& fs, const std::string& label,
              int quick, int clusterSize) {
  const std::string program = ProgramFor(tool);
  const std::string programPath = program.find('/') != std::string::npos ? program : FindProgram(program);
  if (programPath.empty() || ::access(programPath.c_str(), X_OK) != 0) {
    Log("> FormatDriveEx: Error program " + program + " not found (Debian package " + tool.package + ")");
    FormatExCallback(FCC_INCOMPATIBLE_FILE_SYSTEM, 0, nullptr);
    GetUi().ShowStatus("Error: " + program + " not found, please install the package " + tool.package, 2000);
    return 0;
  }
  Log("> OpenLibrary " + programPath);
  struct CloseLog {
    const std::string& path;
    ~CloseLog() { Log("> CloseLibrary " + path); }
  } closeLog{programPath};

  VolumeLocation loc;
  std::string err;
  if (!ResolveVolume(root, &loc, &err)) {
    Log("> FormatDriveEx: Error " + err);
    CallbackDone(false);
    return 0;
  }
  if (clusterSize != 0 &&
      (clusterSize < kSector || !IsPowerOfTwo(clusterSize) || clusterSize > MaxClusterSize(fs))) {
    FormatExCallback(FCC_UNSUPPORTED_CLUSTER_SIZE, 0, nullptr);
    return 0;
  }

  // FAT on an image file needs no loop device; everything else runs on a loop
  // over the partition's byte range, which also works while the disk is held
  // exclusively.
  const bool onImage = loc.diskIsFile && fs == "FAT32";
  std::unique_ptr<LoopDevice> loop;
  std::string target = loc.disk;
  int64_t targetOffset = loc.offset;
  if (!onImage) {
    LoopDevice::Options o;
    o.offset = loc.offset;
    o.sizeLimit = loc.length;
    o.blockSize = static_cast<int>(kSector);
    loop = LoopDevice::Attach(loc.disk, o, &err);
    if (!loop) {
      Log("> FormatDriveEx: Error loop device over " + root + ": " + err);
      FormatExCallback(FCC_ACCESS_DENIED, 0, nullptr);
      return 0;
    }
    target = loop->path();
    targetOffset = 0;
  }

  if (quick == 0 && !ZeroRange(target, targetOffset, loc.length)) return 0;
  if (FormatExCallback(FCC_STRUCTURE_PROGRESS, 0, nullptr) == 0) return 0;

  ProcessRequest req;
  req.argv = ToolArguments(fs, programPath, fs == "FAT32" ? UpperAscii(label) : label, clusterSize, loc, target,
                           onImage);
  req.cancel = [] { return CurrentOpStopped(); };
  req.onLine = [](std::string_view line) { Log("> " + std::string(line)); };
  std::string cmd;
  for (const auto& s : req.argv) cmd += (cmd.empty() ? "" : " ") + s;
  Log("> FormatDriveEx: " + cmd);
  ProcessResult pr = RunProcess(req);
  if (pr.cancelled || CurrentOpStopped()) return 0;
  if (!pr.started) {
    Log("> FormatDriveEx: Error " + pr.errorText);
    FormatExCallback(FCC_INCOMPATIBLE_FILE_SYSTEM, 0, nullptr);
    return 0;
  }
  if (pr.exitCode != 0 || OutputShowsFailure(pr.output)) {
    Log("> FormatDriveEx: " + program + " exit code " + std::to_string(pr.exitCode));
    const int code = FormatErrorFromToolOutput(pr.output);
    if (code != 0)
      FormatExCallback(code, 0, nullptr);
    else
      CallbackDone(false);
    return 0;
  }

  if (fs == "exFAT") {
    FileSectorDevice dev(loop->fd(), 0, false);
    if (!PatchExfatPartitionOffset(dev, static_cast<uint64_t>(loc.startSector()))) {
      Log("> FormatDriveEx: Error writing PartitionOffset");
      CallbackDone(false);
      return 0;
    }
  }
  loop.reset();
  if (fs != "UDF" && !SetMbrType(loc, fs == "FAT32" ? kTypeFat32Chs : kTypeNtfsExfat)) {
    Log("> FormatDriveEx: Error setting the partition type");
    CallbackDone(false);
    return 0;
  }
  DropCachedPartition(root);
  const uint32_t hundred = 100;
  FormatExCallback(FCC_PROGRESS, 0, &hundred);
  CallbackDone(true);
  return !CurrentOpStopped() ? 1 : 0;
}

}  // namespace

int FormatExCallback(int Command, int SubAction, const void* ActionInfo) {
  if (CurrentOpStopped()) return 0;
  auto fail = [](const char* text) {
    ShowAndLog(text);
    MarkCurrentOpFailed();
  };
  switch (Command) {
    case FCC_PROGRESS: {
      const uint32_t percent = ActionInfo ? *static_cast<const uint32_t*>(ActionInfo) : 0;
      ShowAndLog("Formatting: " + std::to_string(percent) + " %");
      break;
    }
    case FCC_DONE_WITH_STRUCTURE: Log("> FCC_DONE_WITH_STRUCTURE."); break;
    case FCC_INCOMPATIBLE_FILE_SYSTEM: fail("Incompatible File System"); break;
    case FCC_ACCESS_DENIED: fail("Access denied"); break;
    case FCC_MEDIA_WRITE_PROTECTED: fail("Media is write protected"); break;
    case FCC_VOLUME_IN_USE: fail("Volume is in use"); break;
    case FCC_CANT_QUICK_FORMAT: fail("Cannot quick format this volume"); break;
    case FCC_DONE:
      if (ActionInfo && *static_cast<const uint8_t*>(ActionInfo) != 0)
        ShowAndLog("Creating file system completed");
      else
        fail("Error while formatting");
      break;
    case FCC_BAD_LABEL: fail("Bad label"); break;
    case FCC_OUTPUT: Log("> FMIFS_OutPut"); break;
    case FCC_STRUCTURE_PROGRESS: ShowAndLog("Creating file system"); break;
    case FCC_UNSUPPORTED_CLUSTER_SIZE: fail("Unsupported cluster size"); break;
    case FCC_IGNORED_17: break;
    case FCC_VOLUME_TOO_SMALL: fail("Volume is too small"); break;
    case FCC_VOLUME_TOO_BIG: fail("Volume is too big"); break;
    case FCC_NO_MEDIA_IN_DRIVE: fail("No media in drive"); break;
    default:
      Log("> FormatExCallback: received unhandled command = " + std::to_string(Command));
      MarkCurrentOpFailed();
      break;
  }
  return !CurrentOpStopped() ? 1 : 0;
}

int FormatDriveEx(const std::string& DriveRoot, const std::string& FileSystemName, const std::string& VolumeLabel,
                  int QuickFormat, int ClusterSize) {
  Log("> FormatDriveEx(" + DriveRoot + ",0," + FileSystemName + "," + VolumeLabel + "," +
      std::to_string(QuickFormat) + "," + std::to_string(ClusterSize) + "," +
      std::to_string(reinterpret_cast<uintptr_t>(&FormatExCallback)) + ")");
  const FormatTool* tool = FindTool(FileSystemName);
  int result = 0;
  if (!tool) {
    Log("> FormatDriveEx: Error no formatter for the file system " + FileSystemName);
    FormatExCallback(FCC_INCOMPATIBLE_FILE_SYSTEM, 0, nullptr);
  } else {
    result = RunFormat(DriveRoot, *tool, FileSystemName, VolumeLabel, QuickFormat, ClusterSize);
  }
  if (result == 1 && !CurrentOpStopped()) {
    Log("> Format completed");
    return 1;
  }
  MarkCurrentOpFailed();
  Log("> Format error drive " + DriveRoot);
  return 0;
}

int SetFormatPromptHook() {
  Log("> SetFormatPromptHook: no system format prompt on this platform, nothing to hook");
  return 1;
}

void ClrFormatPromptHook() {}

bool ResolveVolume(const std::string& root, VolumeLocation* out, std::string* error) {
  VolumeLocation loc;
  if (auto range = VolumeRef::Parse(root)) {
    static_cast<VolumeRef&>(loc) = *range;
    if (loc.offset <= 0 || loc.offset % kSector != 0) {
      *error = "bad byte offset in " + root;
      return false;
    }
    auto part = FindMbrPartition(loc.disk, loc.offset);
    if (!part) {
      *error = "no partition at byte offset " + std::to_string(loc.offset) + " of " + loc.disk;
      return false;
    }
    loc.length = part->length;
    loc.mbrSlot = part->slot;
    struct stat st {};
    loc.diskIsFile = ::stat(loc.disk.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    *out = loc;
    return true;
  }

  auto located = LocatePartitionNode(root);
  if (!located) {
    *error = root + " is not a partition";
    return false;
  }
  loc.disk = DiskEnv().devRoot + "/" + located->wholeDisk;
  loc.offset = located->partition.startBytes;
  loc.length = located->partition.sizeBytes;
  const int number = located->partition.number;
  loc.mbrSlot = number >= 1 && number <= 4 ? number - 1 : -1;
  *out = loc;
  return true;
}

int FormatErrorFromToolOutput(const std::string& output) {
  // Informational lines ("Cluster size has been automatically set to 4096
  // bytes.") name things that are not the failure.
  std::string o;
  for (size_t pos = 0; pos < output.size();) {
    size_t end = output.find('\n', pos);
    if (end == std::string::npos) end = output.size();
    const std::string line = output.substr(pos, end - pos);
    if (!Contains(line, "automatically set") && !Contains(line, "has been set")) o += line + "\n";
    pos = end + 1;
  }
  // mkntfs stores the label as the name of $Volume: a label it refuses fails that file.
  if (Contains(o, "label") || Contains(o, "input string is too long") || Contains(o, "create $Volume"))
    return FCC_BAD_LABEL;
  if (Contains(o, "sectors per cluster") || Contains(o, "cluster size")) return FCC_UNSUPPORTED_CLUSTER_SIZE;
  if (Contains(o, "less then suggested minimum") || Contains(o, "less than suggested minimum") ||
      Contains(o, "too small") || Contains(o, "too few") || Contains(o, "not enough") ||
      Contains(o, "boundary alignment is too big"))
    return FCC_VOLUME_TOO_SMALL;
  if (Contains(o, "too many clusters") || Contains(o, "too big") || Contains(o, "too large")) return FCC_VOLUME_TOO_BIG;
  if (Contains(o, "read-only file system") || Contains(o, "write-protected") || Contains(o, "write protected"))
    return FCC_MEDIA_WRITE_PROTECTED;
  if (Contains(o, "permission denied") || Contains(o, "operation not permitted")) return FCC_ACCESS_DENIED;
  if (Contains(o, "busy") || Contains(o, "mounted")) return FCC_VOLUME_IN_USE;
  if (Contains(o, "no medium") || Contains(o, "no such device or address")) return FCC_NO_MEDIA_IN_DRIVE;
  return 0;
}

int DefaultFat32SectorsPerCluster(int64_t volumeBytes) {
  constexpr int64_t MB = 1024 * 1024;
  int spc;
  if (volumeBytes < 64 * MB) spc = 1;
  else if (volumeBytes < 128 * MB) spc = 2;
  else if (volumeBytes < 256 * MB) spc = 4;
  else if (volumeBytes < 8192 * MB) spc = 8;
  else if (volumeBytes < 16384 * MB) spc = 16;
  else if (volumeBytes < 32768 * MB) spc = 32;
  else spc = 64;
  // At the lower edge of a size class the table's cluster size leaves fewer
  // clusters than FAT32 allows (65525): use smaller clusters there. Each
  // cluster costs its sectors plus 4 bytes in each of the two FATs.
  const int64_t sectors = volumeBytes / 512 - 32;
  auto clusters = [&](int s) { return sectors * 64 / (int64_t{s} * 64 + 1); };
  while (spc > 1 && clusters(spc) < 65525 + 16) spc /= 2;
  return spc;
}

void SetFormatProgram(const std::string& fileSystem, const std::string& program) {
  std::lock_guard lock(g_programMutex);
  if (program.empty())
    ProgramOverrides().erase(fileSystem);
  else
    ProgramOverrides()[fileSystem] = program;
}

}  // namespace fk

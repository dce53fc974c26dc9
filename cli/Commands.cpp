#include "cli/Commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Runner.h"
#include "app/Settings.h"
#include "disk/DiskList.h"
#include "disk/DiskOperations.h"
#include "disk/RawDisk.h"
#include "format/CloverDataSet.h"
#include "format/FormatThread.h"
#include "format/Packs.h"

namespace fk::cli {

namespace fs = std::filesystem;

namespace {

std::string AbsolutePath(const std::string& p) {
  std::error_code ec;
  fs::path a = fs::absolute(p, ec);
  return ec ? p : a.lexically_normal().string();
}

// Creates a sparse image file of the given size; false with a message on failure.
bool CreateSparseImage(const std::string& path, int64_t size, std::FILE* err) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::fprintf(err, "flashkeel-cli: cannot create %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  bool ok = ::ftruncate(fd, size) == 0;
  int e = errno;
  ::close(fd);
  if (!ok) {
    ::unlink(path.c_str());
    std::fprintf(err, "flashkeel-cli: cannot size %s: %s\n", path.c_str(), std::strerror(e));
  }
  return ok;
}

int DiskIndexOfLine(int line) {
  for (size_t i = 0; i < AllDrives.size(); ++i)
    if (AllDrives[i].ListIndex == line) return static_cast<int>(i);
  return -1;
}

}  // namespace

void PrintDiskList(CliUi& ui, std::FILE* out, bool all) {
  std::vector<TreeLine> lines = DriveTreeLines();
  std::fprintf(out, "Destination Disk\n");
  if (lines.empty())
    std::fprintf(out, all ? "  (no disks to show)\n" : "  (no disks to show; --all lists fixed disks too)\n");
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].level == 0) {
      int disk = DiskIndexOfLine(static_cast<int>(i));
      int number = disk >= 0 ? AllDrives[disk].DiskNumber : -1;
      // The device node too, for --disk /dev/X: a loop device's line names no vendor or product.
      std::string node = disk >= 0 ? AllDrives[disk].DevicePath : std::string();
      node = node.rfind("/dev/", 0) == 0 ? "  " + node : std::string();
      std::fprintf(out, "[%d] %s%s\n", number, lines[i].text.c_str(), node.c_str());
    } else {
      std::fprintf(out, "      %s\n", lines[i].text.c_str());
    }
  }
  std::fflush(out);
  (void)ui;
}

int PrepareTarget(const Args& a, CliUi& ui, std::FILE* err) {
  std::string image;
  if (!a.image.empty()) {
    image = AbsolutePath(a.image);
    struct stat st {};
    if (::stat(image.c_str(), &st) != 0) {
      if (a.command != Command::Format) {
        std::fprintf(err, "flashkeel-cli: no such image file: %s\n", image.c_str());
        return -1;
      }
      if (a.imageSize <= 0) {
        std::fprintf(err, "flashkeel-cli: %s does not exist; give --size to create it\n", image.c_str());
        return -1;
      }
      if (!CreateSparseImage(image, a.imageSize, err)) return -1;
      Log("> flashkeel-cli: created image " + image + " of " + std::to_string(a.imageSize) + " bytes");
    } else if (!S_ISREG(st.st_mode)) {
      std::fprintf(err, "flashkeel-cli: not a regular file: %s\n", image.c_str());
      return -1;
    } else if (a.imageSize > 0 && st.st_size != a.imageSize) {
      std::fprintf(err, "flashkeel-cli: %s exists with another size; --size only creates new images\n",
                   image.c_str());
      return -1;
    }
    if (!AddImageDisk(image)) {
      std::fprintf(err, "flashkeel-cli: cannot use %s as a disk image\n", image.c_str());
      return -1;
    }
  }
  UpdateAllDrives();
  if (a.disk.empty() && image.empty()) return -1;

  int found = -1;
  for (size_t i = 0; i < AllDrives.size(); ++i) {
    const DiskRecord& d = AllDrives[i];
    if (!image.empty() ? d.DevicePath == image
                       : (d.DevicePath == a.disk || std::to_string(d.DiskNumber) == a.disk)) {
      found = static_cast<int>(i);
      break;
    }
  }
  if (found < 0 && image.empty() && IsSystemDiskPath(a.disk)) {
    std::fprintf(err, "flashkeel-cli: %s holds the running system; Flashkeel never works on it\n", a.disk.c_str());
    return -1;
  }
  if (found < 0) {
    std::fprintf(err, "flashkeel-cli: no disk %s in the list\n", (image.empty() ? a.disk : image).c_str());
    return -1;
  }
  if (AllDrives[found].ListIndex == -1) {
    std::fprintf(err,
                 "flashkeel-cli: disk %s is not shown in the Destination Disk list (a fixed disk needs the "
                 "EnableFixedDisks setting)\n",
                 AllDrives[found].DevicePath.c_str());
    return -1;
  }
  (void)ui;
  return found;
}

int RunList(const Args& a, CliUi& ui) {
  // An image that cannot be listed is an error, not an empty list.
  if (!a.image.empty() && PrepareTarget(a, ui, stderr) < 0) return 1;
  if (a.image.empty()) UpdateAllDrives();
  PrintDiskList(ui, stdout, a.all || !a.image.empty() || SavedSettings().EnableFixedDisks == 1);
  return 0;
}

int RunFormat(const Args& a, CliUi& ui) {
  // The options go into this run's copy of the settings, never into the
  // saved settings.
  Settings c = SavedSettings();
  if (a.bootRecords) c.Boot_records = *a.bootRecords;
  if (a.fileSystem) c.FileSystem = *a.fileSystem;
  if (a.align) c.StartLBASector = *a.align;
  if (a.bootSizeMb) {
    c.MultiPartitions = 1;
    c.BootPartitionSize = *a.bootSizeMb;
  }
  if (a.onePartition) c.MultiPartitions = 0;
  if (a.label) c.VolumeLabel = *a.label;
  if (a.full) c.QuickFormat = 0;
  if (a.dataSet) {
    if (*a.dataSet == "none") {
      c.InstallDataSet = "Not_Install";
    } else if (a.dataSet->rfind("dl", 0) == 0) {
      // The release archive, downloaded and converted before the disk is touched.
      c.InstallDataSet = "DL";
      c.CloverDLRev = a.dataSet->size() > 3 ? a.dataSet->substr(3) : "0";
    } else {
      const std::string path = AbsolutePath(a.dataSet->substr(6));
      std::error_code ec;
      const fs::file_status st = fs::status(path, ec);
      if (!fs::exists(st)) {
        std::fprintf(stderr, "flashkeel-cli: data set not found: %s (%s)\n", path.c_str(),
                     (ec ? ec : std::make_error_code(std::errc::no_such_file_or_directory)).message().c_str());
        return 1;
      }
      if (!fs::is_regular_file(st)) {
        std::fprintf(stderr, "flashkeel-cli: the data set is not a regular file: %s\n", path.c_str());
        return 1;
      }
      // The run takes the archive by its extension (".zip" or ".7z", in lower
      // case) and checks its signature only after the disk has been cleared.
      const std::string ext = fs::path(path).extension().string();
      if (ext != ".zip" && ext != ".7z") {
        std::fprintf(stderr, "flashkeel-cli: the data set must be a .zip or .7z archive: %s\n", path.c_str());
        return 1;
      }
      if (!Validate7zZIPFile(path)) {
        std::fprintf(stderr, "flashkeel-cli: not a %s archive: %s\n", ext.c_str() + 1, path.c_str());
        return 1;
      }
      c.InstallDataSet = "Local";
      CloverLocalSelectedName = path;
      const std::string name = fs::path(path).filename().string();
      if (name.size() > 3 && name.compare(name.size() - 3, 3, ".7z") == 0) {
        auto dash = name.find('-');
        CloverLocalSelectedRev = dash == std::string::npos ? "0" : std::to_string(std::atoi(name.c_str() + dash + 1));
      } else {
        CloverLocalSelectedRev = std::to_string(TestDataZip(path));
      }
    }
  } else if (c.InstallDataSet == "Local") {
    GetRunner().RunHere(OpKind::LocalArchiveSearch, LocalArchiveSearchOperation, c);
  }

  // FAT labels are plain ASCII without these; mkfs.fat would refuse one only
  // after the disk has been cleared.
  if (a.label && c.FileSystem.rfind("FAT32", 0) == 0) {
    for (unsigned char ch : *a.label) {
      if (ch >= 0x80 || std::strchr("+,.;=[]", ch)) {
        std::fprintf(stderr, "flashkeel-cli: a FAT32 --label takes ASCII characters other than + , . ; = [ ]: %s\n",
                     a.label->c_str());
        return 2;
      }
    }
  }

  // exFAT, NTFS and UDF reach a partition of an image file through a loop
  // device; without the right to make one the run would fail after clearing the disk.
  const std::string& fsName = c.FileSystem;
  const bool viaLoop = fsName == "exFAT" || ((fsName == "NTFS" || fsName == "UDF") && c.Boot_records != "Clover");
  if (!a.image.empty() && viaLoop && (c.Boot_records == "Clover" || c.Boot_records == "Windows") &&
      ::access("/dev/loop-control", R_OK | W_OK) != 0) {
    std::fprintf(stderr,
                 "flashkeel-cli: formatting a disk image as %s needs a loop device, which needs root: "
                 "run it with sudo, or choose --fs FAT32-LBA\n",
                 fsName.c_str());
    return 1;
  }

  // A FreeDOS run without its data set would wipe the disk and leave it unbootable.
  if (c.Boot_records == "FreeDos" && !FindPack(kPackFreeDosDataSet)) {
    std::fprintf(stderr,
                 "flashkeel-cli: %s: FreeDos needs a build configured with -DFLASHKEEL_FREEDOS_DIR=DIR "
                 "(a folder of FreeDOS boot files)\n",
                 kNoFreeDosDataSetText);
    return 1;
  }

  // Windows boot records take no data set: say so rather than drop it silently.
  if (a.dataSet && *a.dataSet != "none" && c.Boot_records == "Windows")
    std::fprintf(stderr, "flashkeel-cli: Windows boot records take no data set; --data-set is ignored\n");

  // An image file this run creates is removed again unless the run completes:
  // a refused or failed run leaves nothing behind.
  struct CreatedImage {
    std::string path;
    bool keep = false;
    ~CreatedImage() {
      if (path.empty() || keep) return;
      std::error_code ec;
      if (fs::remove(path, ec)) Log("> flashkeel-cli: removed the image " + path + " made for a run that did not complete");
    }
  } created;
  if (!a.image.empty()) {
    std::error_code ec;
    const std::string image = AbsolutePath(a.image);
    if (!fs::exists(fs::symlink_status(image, ec))) created.path = image;
  }

  if (!a.recoveryHd.empty()) {
    if (c.MultiPartitions != 1) {
      std::fprintf(stderr, "flashkeel-cli: --recovery-hd needs two partitions: give --boot-size MB\n");
      return 1;
    }
    if (!CheckRecoveryHdImage(a, -1, stderr)) return 1;
  }
  int disk = PrepareTarget(a, ui, stderr);
  if (disk < 0) return 1;
  if (!a.recoveryHd.empty() && !CheckRecoveryHdImage(a, disk, stderr)) return 1;
  const std::string diskPath = AllDrives[disk].DevicePath;
  if (!SelectDisk(disk, 0)) {
    std::fprintf(stderr, "flashkeel-cli: cannot select disk %s\n", AllDrives[disk].DevicePath.c_str());
    return 1;
  }
  Log("> #Button_Format pressed ================================");
  const OpResult r = GetRunner().RunHere(
      OpKind::Format, [](OpContext& op) { return FormatOperation(op, InstallFullForSettings()); }, c);
  ui.FinishLine();
  created.keep = r.ok();
  if (r.ok() && !a.recoveryHd.empty()) return WriteRecoveryHd(a, ui, diskPath);
  if (r.ok()) return 0;
  if (r.outcome == OpOutcome::Cancelled)
    std::printf("Format cancelled\n");
  else
    std::printf("Format did not complete (see the messages above)\n");
  return 1;
}

int RunEject(const Args& a, CliUi& ui) {
  int disk = PrepareTarget(a, ui, stderr);
  if (disk < 0) return 1;
  SelectDisk(disk, 0);
  // The list is rebuilt below: an ejected disk leaves it.
  const std::string path = AllDrives[disk].DevicePath;
  Log("> #Button_Eject pressed ================================");
  const OpResult r = GetRunner().RunHere(OpKind::Eject, EjectOperation, SavedSettings());
  UpdateAllDrives();
  ui.FinishLine();
  if (r.ok()) {
    std::printf("Ejected %s\n", path.c_str());
    return 0;
  }
  std::printf("The disk could not be ejected (only USB disks can be powered off; see the log)\n");
  return 1;
}

}  // namespace fk::cli

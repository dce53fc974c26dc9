#include "disk/Volume.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "app/Log.h"
#include "app/Ui.h"
#include "disk/DiskInternal.h"
#include "disk/DiskList.h"
#include "platform/Disks.h"

namespace fk {

std::string AssignDriveLetter(const std::string& deviceName) {
  std::string path;
  int64_t offset = 0;
  std::string root;
  if (detail::SplitRangeName(deviceName, &path, &offset)) {
    root = deviceName;
    // The kernel's node for that range, when it has scanned the new table.
    auto src = detail::DiskSourceByPath(path);
    if (src && !src->image) {
      if (auto fresh = platform::ReadBlockDevice(DiskEnv().sysRoot, src->block.name)) {
        for (const auto& pn : fresh->partitions)
          if (pn.startBytes == offset) root = DiskEnv().devRoot + "/" + pn.name;
      }
    }
  }
  Log("> AssignDriveLetter: FirstFreeRootName = " + root);
  if (root.empty()) {
    Log("> AssignDriveLetter: 1-st DefineDosDevice Error for " + deviceName);
    return {};
  }
  Log("> AssignDriveLetter: Success mount " + deviceName + " on " + root);
  return root;
}

static unsigned long MountFlags(const std::string& options) {
  unsigned long flags = 0;
  std::stringstream ss(options);
  std::string o;
  while (std::getline(ss, o, ',')) {
    if (o == "ro") flags |= MS_RDONLY;
    else if (o == "nosuid") flags |= MS_NOSUID;
    else if (o == "nodev") flags |= MS_NODEV;
    else if (o == "noexec") flags |= MS_NOEXEC;
    else if (o == "noatime") flags |= MS_NOATIME;
    else if (o == "nodiratime") flags |= MS_NODIRATIME;
    else if (o == "relatime") flags |= MS_RELATIME;
    else if (o == "sync") flags |= MS_SYNCHRONOUS;
    else if (o == "dirsync") flags |= MS_DIRSYNC;
  }
  return flags;
}

static std::string FsData(const std::string& superOptions) {
  std::string out;
  std::stringstream ss(superOptions);
  std::string o;
  while (std::getline(ss, o, ',')) {
    if (o == "rw" || o == "ro" || o.empty()) continue;
    if (!out.empty()) out += ",";
    out += o;
  }
  return out;
}

void RemountVolume(const std::string& root) {
  struct stat st {};
  if (root.empty() || ::stat(root.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) {
    Log("> RemountVolume: " + root + " is not mounted, nothing to do");
    return;
  }
  const unsigned maj = major(st.st_rdev), min = minor(st.st_rdev);
  std::vector<platform::MountEntry> mounts;
  for (auto& m : platform::ParseMountInfo(platform::ReadWholeFile(DiskEnv().procRoot + "/self/mountinfo")))
    if (m.major == maj && m.minor == min && m.root == "/") mounts.push_back(std::move(m));
  if (mounts.empty()) {
    Log("> RemountVolume: " + root + " is not mounted, nothing to do");
    return;
  }
  for (const auto& m : mounts) {
    if (::umount2(m.mountPoint.c_str(), 0) != 0) {
      Log("> Error remount " + root + " (" + std::strerror(errno) + ")");
      return;
    }
  }
  PauseMs(200);
  for (const auto& m : mounts) {
    std::string data = FsData(m.superOptions);
    if (::mount(root.c_str(), m.mountPoint.c_str(), m.fsType.c_str(), MountFlags(m.mountOptions),
                data.empty() ? nullptr : data.c_str()) == 0)
      Log("> Success remount " + root + " on " + m.mountPoint);
    else
      Log("> Error remount " + root + " (" + std::strerror(errno) + ")");
  }
}

}  // namespace fk

#include "disk/Volume.h"

#include <cerrno>
#include <cstring>

#include "app/Log.h"
#include "disk/DiskInternal.h"
#include "disk/DiskList.h"
#include "platform/DeviceWait.h"
#include "platform/Disks.h"

namespace fk {

namespace {
// How long a mount or unmount may take to show in the mount table.
constexpr int kMountWaitMs = 2000;
}  // namespace

std::string AssignDriveLetter(const VolumeRef& volume) {
  const std::string name = volume.ToText();
  std::string root;
  if (auto src = detail::DiskSourceByPath(volume.disk)) {
    root = name;
    // The kernel's node for that range, when it has scanned the new table.
    if (!src->image) {
      if (auto fresh = platform::ReadBlockDevice(DiskEnv().sysRoot, src->block.name)) {
        for (const auto& pn : fresh->partitions)
          if (pn.startBytes == volume.offset) root = DiskEnv().devRoot + "/" + pn.name;
      }
    }
  }
  Log("> AssignDriveLetter: FirstFreeRootName = " + root);
  if (root.empty()) {
    Log("> AssignDriveLetter: 1-st DefineDosDevice Error for " + name);
    return {};
  }
  Log("> AssignDriveLetter: Success mount " + name + " on " + root);
  return root;
}

void RemountVolume(const std::string& root) {
  unsigned maj = 0, min = 0;
  if (root.empty() || !platform::BlockDeviceNumber(root, &maj, &min)) {
    Log("> RemountVolume: " + root + " is not mounted, nothing to do");
    return;
  }
  std::vector<platform::MountEntry> mounts;
  const std::string procRoot = DiskEnv().procRoot;
  for (auto& m : platform::ParseMountInfo(platform::ReadWholeFile(procRoot + "/self/mountinfo")))
    if (m.major == maj && m.minor == min && m.root == "/") mounts.push_back(std::move(m));
  if (mounts.empty()) {
    Log("> RemountVolume: " + root + " is not mounted, nothing to do");
    return;
  }
  for (const auto& m : mounts) {
    if (const int rc = platform::UnmountPoint(m.mountPoint); rc != 0) {
      Log("> Error remount " + root + " (" + std::strerror(-rc) + ")");
      return;
    }
  }
  // Mounted again once the table no longer shows the old mounts, and done
  // once it shows the new ones.
  for (const auto& m : mounts)
    if (!platform::WaitForMountState(procRoot, maj, min, m.mountPoint, false, kMountWaitMs))
      Log("> RemountVolume: " + m.mountPoint + " still listed after the unmount");
  for (const auto& m : mounts) {
    if (const int rc = platform::MountAgain(root, m); rc != 0) {
      Log("> Error remount " + root + " (" + std::strerror(-rc) + ")");
    } else if (!platform::WaitForMountState(procRoot, maj, min, m.mountPoint, true, kMountWaitMs)) {
      Log("> Error remount " + root + " (the mount does not show on " + m.mountPoint + ")");
    } else {
      Log("> Success remount " + root + " on " + m.mountPoint);
    }
  }
}

}  // namespace fk

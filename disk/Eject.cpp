// Safe removal of the selected disk: unmount, flush, then power off through
// udisks2 or, without it, by hand through sysfs. Loop disks are detached.
#include <unistd.h>

#include <atomic>

#include "app/Log.h"
#include "app/Ui.h"
#include "disk/DiskInternal.h"
#include "disk/DiskList.h"
#include "disk/RawDisk.h"
#include "platform/Disks.h"

namespace fk {

namespace {
std::atomic<bool> g_useUDisks{true};
}

void SetEjectUsesUDisks(bool use) { g_useUDisks = use; }

// The disk of the selected tree line: a partition line gives its disk.
static const DiskRecord* SelectedDisk() {
  const int sel = detail::SelectedLine();
  if (sel < 0) return nullptr;
  for (const DiskRecord& d : AllDrives) {
    if (d.ListIndex == sel) return &d;
    for (int i = 0; i < 4; ++i)
      if (d.ListIndex != -1 && d.Partition[i].ListIndex == sel && d.Partition[i].PartitionLength != 0) return &d;
  }
  return nullptr;
}

int EjectDrive() {
  const DiskRecord* d = SelectedDisk();
  if (d == nullptr) {
    Log("> EjectDrive: no disk selected");
    GetUi().ShowStatus(kSelectDriveStatus, 0);
    return 0;
  }
  const DiskRecord disk = *d;
  if (disk.IsImageFile) {
    Log("> EjectDrive: image file " + disk.DevicePath + " closed");
    return 1;
  }
  auto src = detail::DiskSourceByPath(disk.DevicePath);
  if (!src) {
    Log("> EjectDrive: " + disk.DevicePath + " is no longer listed");
    return 0;
  }
  if (detail::SystemDisks().count(src->block.name)) {
    Log("> EjectDrive: " + disk.DevicePath + " is a system disk");
    return 0;
  }
  if (!disk.IsLoop && disk.BusType != "USB") {
    Log("> EjectDrive: " + disk.DevicePath + " is not a USB disk");
    return 0;
  }
  // Unmount every partition (a mounted drive cannot be powered off) and flush.
  std::set<std::pair<unsigned, unsigned>> devs;
  if (src->block.major != 0) devs.insert({src->block.major, src->block.minor});
  for (const auto& pn : src->block.partitions) devs.insert({pn.major, pn.minor});
  std::vector<std::string> steps;
  const int left = platform::UnmountDevices(DiskEnv().procRoot, devs, &steps);
  for (const auto& s : steps) Log("> EjectDrive: " + s);
  if (left != 0) {
    Log("> EjectDrive: " + std::to_string(left) + " mounts of " + disk.DevicePath + " remain");
    return 0;
  }
  for (const auto& pn : src->block.partitions) {
    if (UniqueFd fd(platform::OpenDevice(DiskEnv().devRoot + "/" + pn.name, false, false)); fd) ::fsync(fd.get());
  }
  if (disk.IsLoop) {
    int rc = platform::DetachLoop(disk.DevicePath);
    Log(rc == 0 ? "> Success" : "> Failed");
    if (rc != 0) Log("> " + std::to_string(-rc));
    return rc == 0 ? 1 : 0;
  }

  int last = 0;
  bool ok = false;
  bool udisks = g_useUDisks.load();
  for (int attempt = 1; attempt <= 5 && !ok; ++attempt) {
    Log("> Tries #" + std::to_string(attempt));
    if (udisks) {
      std::string err;
      int rc = platform::UDisksPowerOff(disk.DevicePath, &err);
      if (rc == 1) {
        ok = true;
        break;
      }
      if (rc < 0) {
        Log("> EjectDrive: udisks2 not available (" + err + "), ejecting by hand");
        udisks = false;
      } else {
        Log("> EjectDrive: udisks2: " + err);
        last = 1;
      }
    }
    if (!udisks) {
      UniqueFd fd(platform::OpenDevice(disk.DevicePath, false, true));
      if (!fd) {
        last = -fd.get();
      } else {
        std::vector<platform::SysfsWrite> writes;
        ok = platform::ManualPowerOff(DiskEnv().sysRoot, src->block.name, fd.get(), &writes);
        fd.Close();
        for (const auto& w : writes) Log("> EjectDrive: " + w.path + " <- " + w.value + (w.ok ? "" : " failed"));
        if (ok) break;
        last = writes.empty() ? 2 : 5;
      }
    }
    if (!ok) PauseMs(500);
  }
  if (ok) {
    Log("> Success");
    return 1;
  }
  Log("> Failed");
  Log("> " + std::to_string(last));
  return 0;
}

}  // namespace fk

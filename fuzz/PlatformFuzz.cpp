// What the kernel tells about disks and mounts: mountinfo and swaps lines
// (a path the kernel escapes reads back as it was), and the sysfs attributes
// of a disk and its partition (sizes and offsets never negative, partitions in
// order). The sysfs tree is built once; every input rewrites its attributes.
#include <algorithm>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "platform/Disks.h"
#include "tests/support/FakeSysfs.h"

using namespace fk;

namespace {

// How the kernel writes a path into mountinfo and swaps.
std::string KernelEscape(std::string_view s) {
  std::string out;
  for (const char c : s) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
      const unsigned u = static_cast<unsigned char>(c);
      out += '\\';
      out += static_cast<char>('0' + ((u >> 6) & 7));
      out += static_cast<char>('0' + ((u >> 3) & 7));
      out += static_cast<char>('0' + (u & 7));
    } else {
      out += c;
    }
  }
  return out;
}

std::vector<std::string> SplitAt(std::string_view in, char sep, size_t count) {
  std::vector<std::string> parts;
  while (parts.size() + 1 < count) {
    const size_t at = in.find(sep);
    if (at == std::string_view::npos) break;
    parts.emplace_back(in.substr(0, at));
    in.remove_prefix(at + 1);
  }
  parts.emplace_back(in);
  parts.resize(count);
  return parts;
}

struct Tree {
  std::string root = fuzz::ScratchDir() + "/sysfs";
  test::FakeSystem sys{root};
  std::string disk, part;
  Tree() {
    test::FakeDisk d;
    d.name = "sdb";
    d.major = 8;
    d.minor = 16;
    d.parentPath = "pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0";
    d.subsystems = {{"pci0000:00/0000:00:14.0/usb2/2-1", "usb"}};
    d.vendor = "Vendor";
    d.model = "Model";
    d.sizeBytes = 1 << 20;
    d.makeDevFile = false;
    d.partitions.push_back({"sdb1", 1, 2048, 100, 8, 17});
    sys.AddDisk(d);
    disk = sys.DeviceDir("sdb");
    part = disk + "/sdb1";
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view in = fuzz::AsText(data, size);

  for (const platform::MountEntry& m : platform::ParseMountInfo(in))
    FK_FUZZ_CHECK(m.fsType.find_first_of(" \n") == std::string::npos, m.fsType);
  (void)platform::ParseSwaps(in);

  const std::vector<std::string> f = SplitAt(in, '\0', 10);
  const std::string mountPoint = "/" + f[0], source = f[1].empty() ? "/dev/sdb1" : f[1];
  const std::string line = "36 35 8:17 / " + KernelEscape(mountPoint) + " rw,relatime shared:1 - vfat " +
                           KernelEscape(source) + " rw\n";
  const auto mounts = platform::ParseMountInfo(line);
  FK_FUZZ_CHECK(mounts.size() == 1, line);
  FK_FUZZ_CHECK(mounts[0].mountPoint == mountPoint && mounts[0].source == source, line);
  FK_FUZZ_CHECK(mounts[0].major == 8 && mounts[0].minor == 17, line);
  const auto swaps = platform::ParseSwaps("Filename Type Size Used Priority\n" + KernelEscape(mountPoint) +
                                          " file 1024 0 -2\n");
  FK_FUZZ_CHECK(swaps.size() == 1 && swaps[0].fileName == mountPoint, mountPoint);

  static Tree tree;
  fuzz::WriteFile(tree.disk + "/size", f[2]);
  fuzz::WriteFile(tree.disk + "/removable", f[3]);
  fuzz::WriteFile(tree.disk + "/queue/logical_block_size", f[4]);
  fuzz::WriteFile(tree.disk + "/dev", f[5]);
  fuzz::WriteFile(tree.disk + "/device/model", f[6]);
  fuzz::WriteFile(tree.part + "/partition", f[7]);
  fuzz::WriteFile(tree.part + "/start", f[8]);
  fuzz::WriteFile(tree.part + "/size", f[9]);
  const auto dev = platform::ReadBlockDevice(tree.sys.sys, "sdb");
  FK_FUZZ_CHECK(dev.has_value(), "the disk vanished");
  FK_FUZZ_CHECK(dev->sizeBytes >= 0, std::to_string(dev->sizeBytes));
  FK_FUZZ_CHECK(dev->model == platform::Trim(dev->model), dev->model);
  FK_FUZZ_CHECK(dev->busType == 7 && dev->hotplug, "bus type");
  for (const auto& p : dev->partitions)
    FK_FUZZ_CHECK(p.startBytes >= 0 && p.sizeBytes >= 0, std::to_string(p.startBytes) + " " + std::to_string(p.sizeBytes));
  return 0;
}

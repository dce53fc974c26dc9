#include "tests/support/FakeSysfs.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <tuple>

#include "tests/support/TestUtil.h"

namespace fsys = std::filesystem;

namespace fk::test {

static void Put(const std::string& path, const std::string& text) {
  fsys::create_directories(fsys::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

static void Link(const std::string& target, const std::string& link) {
  fsys::create_directories(fsys::path(link).parent_path());
  std::error_code ec;
  fsys::remove(link, ec);
  fsys::create_symlink(target, link);
}

static void Le32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::string MakeMbr(const std::vector<MbrPart>& parts, uint32_t signature) {
  std::string s(512, '\0');
  Le32(s, 440, signature);
  for (size_t i = 0; i < parts.size() && i < 4; ++i) {
    size_t e = 446 + 16 * i;
    s[e] = parts[i].active ? static_cast<char>(0x80) : 0;
    s[e + 4] = static_cast<char>(parts[i].type);
    Le32(s, e + 8, parts[i].startLba);
    Le32(s, e + 12, parts[i].sectors);
  }
  s[510] = static_cast<char>(0x55);
  s[511] = static_cast<char>(0xAA);
  return s;
}

FakeSystem::FakeSystem(const std::string& root) : sys(root + "/sys"), proc(root + "/proc"), dev(root + "/dev") {
  fsys::create_directories(sys + "/block");
  fsys::create_directories(sys + "/class/block");
  fsys::create_directories(sys + "/dev/block");
  fsys::create_directories(proc + "/self");
  fsys::create_directories(dev);
  Put(proc + "/self/mountinfo", "");
  Put(proc + "/swaps", "Filename\t\t\t\tType\t\tSize\t\tUsed\t\tPriority\n");
}

std::string FakeSystem::DeviceDir(const std::string& name) const {
  auto it = dirs_.find(name);
  if (it == dirs_.end()) throw std::runtime_error("no fake device " + name);
  return it->second;
}

void FakeSystem::AddDisk(const FakeDisk& d) {
  const std::string devices = sys + "/devices/";
  const std::string rel = d.parentPath + "/block/" + d.name;
  const std::string dir = devices + rel;
  fsys::create_directories(dir);
  dirs_[d.name] = dir;
  for (const auto& [path, sub] : d.subsystems) {
    fsys::create_directories(devices + path);
    Link("../../../bus/" + sub, devices + path + "/subsystem");
  }
  for (const auto& [path, drv] : d.drivers) Link("../../../bus/pci/drivers/" + drv, devices + path + "/driver");
  for (const auto& [path, text] : d.uevents) Put(devices + path + "/uevent", text);
  for (const auto& [path, text] : d.files) Put(devices + path, text);
  if (!d.vendor.empty()) Put(devices + d.parentPath + "/vendor", d.vendor + "  \n");
  if (!d.model.empty()) Put(devices + d.parentPath + "/model", d.model + "        \n");
  if (!d.mmcName.empty()) Put(devices + d.parentPath + "/name", d.mmcName + "\n");
  // "device" points at the parent device directory, two levels up from block/<name>.
  Link("../..", dir + "/device");
  Put(dir + "/removable", std::to_string(d.removable) + "\n");
  Put(dir + "/size", std::to_string(d.sizeBytes / 512) + "\n");
  Put(dir + "/queue/logical_block_size", std::to_string(d.logicalBlockSize) + "\n");
  Put(dir + "/dev", std::to_string(d.major) + ":" + std::to_string(d.minor) + "\n");
  Put(dir + "/uevent", "DEVTYPE=disk\nDEVNAME=" + d.name + "\n");
  if (!d.backingFile.empty()) Put(dir + "/loop/backing_file", d.backingFile + "\n");
  fsys::create_directories(dir + "/slaves");
  fsys::create_directories(dir + "/holders");
  for (const auto& s : d.slaves) Link("../../../../../class/block/" + s, dir + "/slaves/" + s);
  const std::string back = "../devices/" + rel;
  Link(back, sys + "/block/" + d.name);
  Link("../" + back, sys + "/class/block/" + d.name);
  Link("../" + back, sys + "/dev/block/" + std::to_string(d.major) + ":" + std::to_string(d.minor));
  for (const auto& p : d.partitions) {
    const std::string pdir = dir + "/" + p.name;
    dirs_[p.name] = pdir;
    Put(pdir + "/partition", std::to_string(p.number) + "\n");
    Put(pdir + "/start", std::to_string(p.startSector) + "\n");
    Put(pdir + "/size", std::to_string(p.sectors) + "\n");
    Put(pdir + "/dev", std::to_string(p.major) + ":" + std::to_string(p.minor) + "\n");
    Link("../" + back + "/" + p.name, sys + "/class/block/" + p.name);
    Link("../" + back + "/" + p.name,
         sys + "/dev/block/" + std::to_string(p.major) + ":" + std::to_string(p.minor));
    Put(dev + "/" + p.name, "");
  }
  if (d.makeDevFile) MakeSparseFile(dev + "/" + d.name, d.sizeBytes);
}

void FakeSystem::SetMountInfo(const std::string& text) { Put(proc + "/self/mountinfo", text); }
void FakeSystem::SetSwaps(const std::string& text) {
  Put(proc + "/swaps", "Filename\t\t\t\tType\t\tSize\t\tUsed\t\tPriority\n" + text);
}

static void WriteAt(const std::string& path, int64_t offset, const std::string& data) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  f.seekp(offset);
  f.write(data.data(), static_cast<std::streamsize>(data.size()));
}

static FakeDisk UsbDisk(const std::string& name, unsigned minor, int host, const std::string& port) {
  FakeDisk d;
  d.name = name;
  d.major = 8;
  d.minor = minor;
  const std::string pci = "pci0000:00/0000:00:14.0";
  const std::string usbdev = pci + "/usb2/" + port;
  const std::string iface = usbdev + "/" + port + ":1.0";
  const std::string h = iface + "/host" + std::to_string(host);
  const std::string scsi = h + "/target" + std::to_string(host) + ":0:0/" + std::to_string(host) + ":0:0:0";
  d.parentPath = scsi;
  d.subsystems = {{pci, "pci"}, {pci + "/usb2", "usb"}, {usbdev, "usb"}, {iface, "usb"}, {h, "scsi"}, {scsi, "scsi"}};
  d.drivers = {{pci, "xhci_hcd"}};
  d.uevents = {{usbdev, "DEVTYPE=usb_device\nDRIVER=usb\n"}, {iface, "DEVTYPE=usb_interface\n"}};
  d.files = {{usbdev + "/remove", ""}, {scsi + "/delete", ""}};
  return d;
}

void BuildStandardFakeMachine(FakeSystem& fs) {
  // USB stick, two FAT32 partitions labelled CLOVER and DATA.
  {
    FakeDisk d = UsbDisk("sdb", 16, 6, "2-1");
    d.vendor = "Vendor";
    d.model = "Product";
    d.removable = 1;
    d.sizeBytes = 30198989LL * 512;  // 14.40 GB
    d.partitions = {{"sdb1", 1, 2048, 409600, 8, 17}, {"sdb2", 2, 411648, 409600, 8, 18}};
    fs.AddDisk(d);
    const std::string f = fs.DevFile("sdb");
    WriteAt(f, 0, MakeMbr({{0x0B, true, 2048, 409600}, {0x0B, false, 411648, 409600}}));
    std::string out;
    if (Sh("mkfs.fat -F 32 -n CLOVER --offset=2048 '" + f + "' 204800", &out) != 0 ||
        Sh("mkfs.fat -F 32 -n DATA --offset=411648 '" + f + "' 204800", &out) != 0)
      throw std::runtime_error("mkfs.fat failed: " + out);
  }
  // USB hard disk in an enclosure: removable 0, one partition without a file system.
  {
    FakeDisk d = UsbDisk("sdc", 32, 7, "2-2");
    d.vendor = "WD";
    d.model = "Elements 2621";
    d.removable = 0;
    d.sizeBytes = 1000204886016LL;
    d.partitions = {{"sdc1", 1, 2048, 1953519616, 8, 33}};
    fs.AddDisk(d);
    WriteAt(fs.DevFile("sdc"), 0, MakeMbr({{0x07, false, 2048, 1953519616}}));
  }
  // SD card in a PCI reader.
  {
    FakeDisk d;
    d.name = "mmcblk0";
    d.major = 179;
    d.minor = 0;
    const std::string host = "pci0000:00/0000:00:1c.0/0000:02:00.0/mmc_host/mmc0";
    d.parentPath = host + "/mmc0:aaaa";
    d.subsystems = {{"pci0000:00/0000:00:1c.0/0000:02:00.0", "pci"}, {host, "mmc_host"}, {d.parentPath, "mmc"}};
    d.mmcName = "SD16G";
    d.sizeBytes = 31116288LL * 512;
    d.partitions = {{"mmcblk0p1", 1, 8192, 31108096, 179, 1}};
    fs.AddDisk(d);
    WriteAt(fs.DevFile("mmcblk0"), 0, MakeMbr({{0x0C, false, 8192, 31108096}}));
  }
  // NVMe disk: EFI partition and a LUKS container holding an LVM volume with /.
  {
    FakeDisk d;
    d.name = "nvme0n1";
    d.major = 259;
    d.minor = 0;
    d.parentPath = "pci0000:00/0000:00:1d.0/0000:03:00.0/nvme/nvme0";
    d.subsystems = {{"pci0000:00/0000:00:1d.0/0000:03:00.0", "pci"}, {d.parentPath, "nvme"}};
    d.model = "Samsung SSD 970 EVO Plus 500GB";
    d.sizeBytes = 500107862016LL;
    d.partitions = {{"nvme0n1p1", 1, 2048, 1048576, 259, 1}, {"nvme0n1p2", 2, 1050624, 975720448, 259, 2}};
    fs.AddDisk(d);
    WriteAt(fs.DevFile("nvme0n1"), 0, MakeMbr({{0xEF, true, 2048, 1048576}, {0x83, false, 1050624, 975720448}}));
    FakeDisk crypt;
    crypt.name = "dm-0";
    crypt.major = 253;
    crypt.minor = 0;
    crypt.parentPath = "virtual";
    crypt.sizeBytes = d.sizeBytes / 2;
    crypt.slaves = {"nvme0n1p2"};
    crypt.makeDevFile = false;
    fs.AddDisk(crypt);
    FakeDisk lv = crypt;
    lv.name = "dm-1";
    lv.minor = 1;
    lv.slaves = {"dm-0"};
    fs.AddDisk(lv);
  }
  // Two SATA disks whose partitions are the members of md0 (mounted at /home).
  for (auto [name, minor, port] : {std::tuple{"sda", 0u, 1}, std::tuple{"sdd", 48u, 2}}) {
    FakeDisk d;
    d.name = name;
    d.major = 8;
    d.minor = minor;
    const std::string pci = "pci0000:00/0000:00:17.0";
    const std::string ata = pci + "/ata" + std::to_string(port);
    d.parentPath = ata + "/host" + std::to_string(port) + "/target" + std::to_string(port) + ":0:0/" +
                   std::to_string(port) + ":0:0:0";
    d.subsystems = {{pci, "pci"}, {d.parentPath, "scsi"}};
    d.drivers = {{pci, "ahci"}};
    d.vendor = "ATA";
    d.model = "ST2000DM008";
    d.sizeBytes = 2000398934016LL;
    d.partitions = {{std::string(name) + "1", 1, 2048, 3907026944, 8, minor + 1}};
    fs.AddDisk(d);
    WriteAt(fs.DevFile(name), 0, MakeMbr({{0xFD, false, 2048, 3907026944}}));
  }
  {
    FakeDisk md;
    md.name = "md0";
    md.major = 9;
    md.minor = 0;
    md.parentPath = "virtual";
    md.sizeBytes = 2000263643136LL;
    md.slaves = {"sda1", "sdd1"};
    md.makeDevFile = false;
    fs.AddDisk(md);
  }
  // USB disk that holds the image behind loop0, which is mounted at /var.
  {
    FakeDisk d = UsbDisk("sdf", 80, 8, "2-3");
    d.vendor = "SanDisk";
    d.model = "Extreme";
    d.removable = 1;
    d.sizeBytes = 62537072640LL;
    d.partitions = {{"sdf1", 1, 2048, 122138624, 8, 81}};
    fs.AddDisk(d);
    WriteAt(fs.DevFile("sdf"), 0, MakeMbr({{0x07, false, 2048, 122138624}}));
  }
  for (auto [name, minor, backing] :
       {std::tuple{"loop0", 0u, "/mnt/store/var.img"}, std::tuple{"loop1", 1u, "/home/user/test.img"}}) {
    FakeDisk d;
    d.name = name;
    d.major = 7;
    d.minor = minor;
    d.parentPath = "virtual";
    d.backingFile = backing;
    d.sizeBytes = 64LL << 20;
    fs.AddDisk(d);
  }
  // A loop device without a backing file is not listed.
  {
    FakeDisk d;
    d.name = "loop2";
    d.major = 7;
    d.minor = 2;
    d.parentPath = "virtual";
    d.makeDevFile = false;
    fs.AddDisk(d);
  }
  // GPT disk on SATA: protective MBR only.
  {
    FakeDisk d;
    d.name = "sdg";
    d.major = 8;
    d.minor = 96;
    const std::string pci = "pci0000:00/0000:00:17.0";
    d.parentPath = pci + "/ata3/host3/target3:0:0/3:0:0:0";
    d.subsystems = {{pci, "pci"}, {d.parentPath, "scsi"}};
    d.drivers = {{pci, "ahci"}};
    d.vendor = "ATA";
    d.model = "Samsung SSD 860";
    d.sizeBytes = 250059350016LL;
    d.partitions = {{"sdg1", 1, 2048, 488394752, 8, 97}};
    fs.AddDisk(d);
    WriteAt(fs.DevFile("sdg"), 0, MakeMbr({{0xEE, false, 1, 488397167}}));
  }
  fs.SetMountInfo(
      "21 1 253:1 / / rw,relatime shared:1 - ext4 /dev/mapper/vg-root rw\n"
      "22 21 259:1 / /boot/efi rw,relatime shared:2 - vfat /dev/nvme0n1p1 rw,fmask=0077\n"
      "23 21 9:0 / /home rw,relatime shared:3 - ext4 /dev/md0 rw\n"
      "24 21 8:81 / /mnt/store rw,relatime shared:4 - ntfs3 /dev/sdf1 rw\n"
      "25 21 7:0 / /var rw,relatime shared:5 - ext4 /dev/loop0 rw\n"
      "26 21 0:22 / /sys rw,nosuid - sysfs sysfs rw\n"
      "27 21 8:17 / /media/user/CLOVER\\040STICK rw,nosuid,nodev - vfat /dev/sdb1 rw\n");
}

}  // namespace fk::test

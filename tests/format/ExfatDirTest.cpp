// The exFAT directory walk on damaged volumes: lengths and chains that
// would cost gigabytes are refused as damage.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "format/VolumeFiles.h"
#include "platform/UniqueFd.h"

namespace fk {
namespace {

// A small exFAT volume: 512-byte sectors, 4 KiB clusters, FAT at sector 24,
// cluster heap at sector 32, root in cluster 2 holding directory "EFI"
// (cluster 3, contiguous) which holds directory "BOOT" (cluster 4).
class TinyExfat {
 public:
  TinyExfat() : bytes_(32 * 512 + 3 * 4096) {
    std::memcpy(&bytes_[3], "EXFAT   ", 8);
    Put32(80, 24);
    Put32(88, 32);
    Put32(92, 8);
    Put32(96, 2);
    bytes_[108] = 9;
    bytes_[109] = 3;
    bytes_[510] = 0x55;
    bytes_[511] = 0xAA;
    for (uint32_t c : {2u, 3u, 4u}) Put32(24 * 512 + 4 * c, 0xFFFFFFFF);
    EntrySet(HeapOffset(2), u"EFI", 3, 4096);
    EntrySet(HeapOffset(3), u"BOOT", 4, 4096);
  }
  void Put32(size_t at, uint32_t v) { std::memcpy(&bytes_[at], &v, 4); }
  void Put64(size_t at, uint64_t v) { std::memcpy(&bytes_[at], &v, 8); }
  static size_t HeapOffset(uint32_t cluster) { return 32 * 512 + (cluster - 2) * 4096; }
  // Offset of the DataLength field of the entry set at the start of a cluster.
  static size_t DataLengthAt(uint32_t cluster) { return HeapOffset(cluster) + 32 + 24; }

  UniqueFd File() const {
    UniqueFd fd(::memfd_create("fk-exfat-test", MFD_CLOEXEC));
    EXPECT_EQ(::write(fd.get(), bytes_.data(), bytes_.size()), static_cast<ssize_t>(bytes_.size()));
    return fd;
  }

 private:
  void EntrySet(size_t at, const std::u16string& name, uint32_t first, uint64_t length) {
    bytes_[at] = 0x85;
    bytes_[at + 1] = 2;
    bytes_[at + 4] = 0x10;  // directory
    bytes_[at + 32] = 0xC0;
    bytes_[at + 33] = 0x03;  // allocation possible, no FAT chain
    bytes_[at + 35] = static_cast<uint8_t>(name.size());
    Put64(at + 32 + 8, length);
    Put32(at + 32 + 20, first);
    Put64(at + 32 + 24, length);
    bytes_[at + 64] = 0xC1;
    for (size_t i = 0; i < name.size(); ++i) {
      bytes_[at + 66 + 2 * i] = static_cast<uint8_t>(name[i] & 0xFF);
      bytes_[at + 67 + 2 * i] = static_cast<uint8_t>(name[i] >> 8);
    }
  }
  std::vector<uint8_t> bytes_;
};

TEST(ExfatDir, HiddenAttributeOnAWellFormedVolume) {
  TinyExfat v;
  UniqueFd fd = v.File();
  std::string error;
  EXPECT_EQ(ExfatAttributes(fd.get(), 0, "efi/boot", &error), 0x10) << error;
  ASSERT_TRUE(ExfatSetHidden(fd.get(), 0, {"EFI/BOOT"}, &error)) << error;
  EXPECT_EQ(ExfatAttributes(fd.get(), 0, "EFI/BOOT", &error), 0x12) << error;
}

TEST(ExfatDir, DirectoryLengthsAndChainsBeyond256MiBAreDamage) {
  {
    TinyExfat v;
    v.Put64(TinyExfat::DataLengthAt(2), uint64_t{1} << 40);  // EFI claims 1 TiB
    UniqueFd fd = v.File();
    std::string error;
    EXPECT_EQ(ExfatAttributes(fd.get(), 0, "EFI/BOOT", &error), -1);
    EXPECT_EQ(error, "directory larger than 256 MiB");
  }
  {
    // The root's FAT entry points at itself on a volume claiming 4 billion clusters.
    TinyExfat v;
    v.Put32(92, 0xFFFFFFF0);
    v.Put32(24 * 512 + 4 * 2, 2);
    UniqueFd fd = v.File();
    std::string error;
    EXPECT_EQ(ExfatAttributes(fd.get(), 0, "EFI", &error), -1);
    EXPECT_EQ(error, "cluster chain loops");
  }
}

}  // namespace
}  // namespace fk

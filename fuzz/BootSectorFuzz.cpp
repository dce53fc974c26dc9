// Boot sectors of a volume a user plugs in: the FAT32/exFAT checks before the
// boot code is installed (the installed sector keeps the volume's parameter
// block and the template's code), and the exFAT directory walk that sets the
// hidden attribute (a file it hides reads back hidden).
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "format/BootRecords.h"
#include "format/SectorDevice.h"
#include "format/VolumeFiles.h"
#include "fuzz/FuzzSupport.h"
#include "platform/UniqueFd.h"

using namespace fk;

namespace {

constexpr int64_t kSector = 512;
constexpr int64_t kSectors = 24;

class MemoryDevice final : public SectorDevice {
 public:
  explicit MemoryDevice(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  int64_t ReadSectors(int64_t ss, int64_t start, int64_t n, void* buffer) override {
    if (!Fits(ss, start, n)) return 0;
    std::memcpy(buffer, bytes_.data() + start * ss, static_cast<size_t>(n * ss));
    return n * ss;
  }
  int64_t WriteSectors(int64_t ss, int64_t start, int64_t n, const void* buffer) override {
    if (!Fits(ss, start, n)) return 0;
    std::memcpy(bytes_.data() + start * ss, buffer, static_cast<size_t>(n * ss));
    return n * ss;
  }
  bool UpdateProperties() override { return true; }
  bool Flush() override { return true; }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  bool Fits(int64_t ss, int64_t start, int64_t n) const {
    return ss > 0 && start >= 0 && n >= 0 && (start + n) * ss <= static_cast<int64_t>(bytes_.size());
  }
  std::vector<uint8_t> bytes_;
};

void CheckInstall(const std::vector<uint8_t>& volume, const std::string& fileSystem) {
  const int sectors = fileSystem == "exFAT" ? 12 : 3;
  std::vector<uint8_t> pbr(static_cast<size_t>(sectors * kSector));
  for (size_t i = 0; i < pbr.size(); ++i) pbr[i] = static_cast<uint8_t>(i * 7 + 1);
  pbr[510] = 0x55;
  pbr[511] = 0xAA;
  MemoryDevice dev(volume);
  BootRecordRequest req;
  req.FileSystem = fileSystem;
  req.PbrTemplate = pbr;
  req.PBRSectors = sectors;
  if (!InstallBootRecords(dev, req)) return;
  const std::vector<uint8_t>& out = dev.bytes();
  const size_t from = fileSystem == "exFAT" ? 0 : 3, to = fileSystem == "exFAT" ? 120 : 90;
  FK_FUZZ_CHECK(std::memcmp(out.data() + from, volume.data() + from, to - from) == 0, "parameter block lost");
  FK_FUZZ_CHECK(std::memcmp(out.data() + to, pbr.data() + to, 510 - to) == 0, "boot code not installed");
  FK_FUZZ_CHECK(out[510] == 0x55 && out[511] == 0xAA, "signature lost");
  if (fileSystem == "exFAT") {
    FK_FUZZ_CHECK(std::memcmp(out.data(), out.data() + 12 * kSector, 11 * kSector) == 0, "backup region differs");
    const uint32_t sum = __builtin_bswap32(exFATBootChecksum(out.data(), 11 * kSector));
    uint32_t stored = 0;
    std::memcpy(&stored, out.data() + 11 * kSector, 4);
    FK_FUZZ_CHECK(sum == 0 || stored == sum, "checksum sector");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 20) return 0;
  std::vector<uint8_t> volume(data, data + size);
  if (volume.size() < kSectors * kSector) volume.resize(kSectors * kSector);
  CheckInstall(volume, "FAT32");
  CheckInstall(volume, "exFAT");

  UniqueFd fd(::memfd_create("fk-fuzz-exfat", MFD_CLOEXEC));
  FK_FUZZ_CHECK(fd.get() >= 0, "memfd");
  FK_FUZZ_CHECK(::write(fd.get(), data, size) == static_cast<ssize_t>(size), "memfd write");
  std::string error;
  const char* path = "EFI/BOOT";
  if (ExfatSetHidden(fd.get(), 0, {path}, &error)) {
    const int attrs = ExfatAttributes(fd.get(), 0, path, &error);
    FK_FUZZ_CHECK(attrs >= 0 && (attrs & 0x02), "not hidden after ExfatSetHidden: " + error);
  }
  return 0;
}

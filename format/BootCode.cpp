#include "format/BootCode.h"

#include <array>

// Assembled from resources/bootcode/*.asm and embedded at build time.
extern const unsigned char fk_bootcode_boot0[];
extern const std::size_t fk_bootcode_boot0_size;
extern const unsigned char fk_bootcode_boot1f32alt[];
extern const std::size_t fk_bootcode_boot1f32alt_size;
extern const unsigned char fk_bootcode_boot1xalt[];
extern const std::size_t fk_bootcode_boot1xalt_size;
extern const unsigned char fk_bootcode_usb_hdd_plus[];
extern const std::size_t fk_bootcode_usb_hdd_plus_size;
extern const unsigned char fk_bootcode_fat32lba[];
extern const std::size_t fk_bootcode_fat32lba_size;

namespace fk {

namespace {

BootTemplate Make(const char* name, const unsigned char* data, std::size_t size) {
  return BootTemplate{name, data, size, static_cast<int>(size / 512)};
}

const std::array<BootTemplate, 5>& Templates() {
  static const std::array<BootTemplate, 5> templates = {
      Make("boot0", fk_bootcode_boot0, fk_bootcode_boot0_size),
      Make("boot1f32alt", fk_bootcode_boot1f32alt, fk_bootcode_boot1f32alt_size),
      Make("boot1xalt", fk_bootcode_boot1xalt, fk_bootcode_boot1xalt_size),
      Make("USB-HDD+", fk_bootcode_usb_hdd_plus, fk_bootcode_usb_hdd_plus_size),
      Make("Fat32LBA", fk_bootcode_fat32lba, fk_bootcode_fat32lba_size),
  };
  return templates;
}

}  // namespace

const BootTemplate* FindBootTemplate(std::string_view name) {
  for (const BootTemplate& t : Templates()) {
    if (name == t.name) return &t;
  }
  return nullptr;
}

}  // namespace fk

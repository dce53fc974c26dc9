// The boot-sector templates written to the MBR and the partition boot record.
#pragma once

#include <cstddef>
#include <string_view>

namespace fk {

struct BootTemplate {
  const char* name;           // "boot0", "boot1f32alt", "boot1xalt", "USB-HDD+", "Fat32LBA"
  const unsigned char* data;  // sectors * 512 bytes
  std::size_t size;           // bytes
  int sectors;                // 512-byte sectors
};

// The template with this exact name, nullptr for any other name.
const BootTemplate* FindBootTemplate(std::string_view name);

}  // namespace fk

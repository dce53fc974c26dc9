// Making packs: a ZIP of stored entries, compressed as raw LZMA1 behind the
// 12-byte pack header. Used by the build-time pack tool and by tests that need
// a pack made from files at run time. Depends only on libarchive, liblzma and zlib.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fk {

// Layout of the 12 bytes in front of the LZMA data (little-endian).
struct PackFileHeader {
  uint32_t UnPackedSize = 0;  // size of the ZIP after decompression
  uint32_t PackedSize = 0;    // size of the compressed data that follows
  uint32_t CRC32 = 0;         // zlib CRC-32 of the decompressed ZIP
};
inline constexpr std::size_t kPackHeaderSize = 12;
inline constexpr uint8_t kPackLzmaProps = 0x5D;       // lc 3, lp 0, pb 2
inline constexpr uint32_t kPackLzmaDictSize = 65536;

struct ZipInput {
  std::string name;  // "/"-separated relative name; directories end without '/'
  std::string data;  // file content (ignored for directories)
  bool isDirectory = false;
};

// Builds a ZIP whose entries are all stored (no compression), in the given order.
bool BuildStoredZip(const std::vector<ZipInput>& entries, std::string* zip, std::string* error);

// Compresses zip into a pack: header + 5 property bytes + raw LZMA1 stream.
bool CompressToPack(const std::string& zip, std::string* pack, std::string* error);

// Collects every file and directory under dir (sorted by name, directories
// before their contents) as ZIP inputs. Symbolic links and special files are refused.
bool CollectDirectory(const std::string& dir, std::vector<ZipInput>* entries, std::string* error);

// dir -> stored ZIP -> pack.
bool MakePack(const std::string& dir, std::string* pack, std::string* error);

// Reads the header of a pack; false when the buffer is shorter than a header.
bool ReadPackHeader(const void* buffer, std::size_t size, PackFileHeader* header);

}  // namespace fk

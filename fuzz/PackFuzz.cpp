// Pack header + LZMA: any buffer unpacks only to data of exactly the
// announced size and CRC, and a pack made from data unpacks to that data.
#include <zlib.h>

#include <string>
#include <vector>

#include "format/PackWriter.h"
#include "format/Packs.h"
#include "fuzz/FuzzSupport.h"

using namespace fk;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<unsigned char> zip;
  const PackUnpack r = UnpackPackData(data, size, &zip);
  PackFileHeader header;
  if (r == PackUnpack::Ok) {
    FK_FUZZ_CHECK(ReadPackHeader(data, size, &header), "header");
    FK_FUZZ_CHECK(zip.size() == header.UnPackedSize, std::to_string(zip.size()));
    FK_FUZZ_CHECK(static_cast<uint32_t>(crc32(0L, zip.data(), static_cast<uInt>(zip.size()))) == header.CRC32,
                  "CRC");
  } else {
    FK_FUZZ_CHECK(zip.empty(), "data kept after a failed unpack");
  }

  if (size > 0 && size <= 4096) {
    const std::string original(reinterpret_cast<const char*>(data), size);
    std::string pack, error;
    FK_FUZZ_CHECK(CompressToPack(original, &pack, &error), error);
    FK_FUZZ_CHECK(UnpackPackData(pack.data(), pack.size(), &zip) == PackUnpack::Ok, "own pack refused");
    FK_FUZZ_CHECK(std::string(zip.begin(), zip.end()) == original, "own pack changed its data");
  }
  return 0;
}

#include "tests/support/AppleImages.h"

#include <archive.h>
#include <archive_entry.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <sstream>

#include "tests/support/HttpTestServer.h"
#include "tests/support/TestUtil.h"

namespace fk::test {

namespace {

namespace fs = std::filesystem;

void Be32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (24 - 8 * i));
}
void Be64(std::string& s, size_t at, uint64_t v) {
  Be32(s, at, static_cast<uint32_t>(v >> 32));
  Be32(s, at + 4, static_cast<uint32_t>(v));
}
uint32_t Crc(const std::string& s, uint32_t crc = 0) {
  return static_cast<uint32_t>(
      crc32(crc, reinterpret_cast<const Bytef*>(s.data()), static_cast<uInt>(s.size())));
}
// A UDIF checksum record: type 2 (CRC-32), 32 bits, the value first.
void Checksum(std::string& s, size_t at, uint32_t value) {
  Be32(s, at, 2);
  Be32(s, at + 4, 32);
  Be32(s, at + 8, value);
}

std::string Quote(const std::string& p) { return "'" + p + "'"; }

}  // namespace

std::string MakeUdif(const std::string& data, bool compress, const std::string& name) {
  constexpr uint64_t kChunkSectors = 2048;
  const uint64_t sectors = data.size() / 512;
  std::string fork;  // the data fork: the chunks' stored bytes
  struct Chunk {
    uint32_t type;
    uint64_t sector, count, offset, length;
  };
  std::vector<Chunk> chunks;
  for (uint64_t s = 0; s < sectors; s += kChunkSectors) {
    const uint64_t n = std::min(kChunkSectors, sectors - s);
    const std::string part = data.substr(s * 512, n * 512);
    std::string stored = part;
    uint32_t type = 1;
    if (compress) {
      uLongf len = compressBound(static_cast<uLong>(part.size()));
      stored.resize(len);
      compress2(reinterpret_cast<Bytef*>(stored.data()), &len, reinterpret_cast<const Bytef*>(part.data()),
                static_cast<uLong>(part.size()), 6);
      stored.resize(len);
      type = 0x80000005;
    }
    chunks.push_back({type, s, n, fork.size(), stored.size()});
    fork += stored;
  }
  chunks.push_back({0xFFFFFFFF, sectors, 0, fork.size(), 0});

  const uint32_t partCrc = Crc(data.substr(0, sectors * 512));
  std::string mish(204 + 40 * chunks.size(), '\0');
  Be32(mish, 0, 0x6D697368);  // "mish"
  Be32(mish, 4, 1);
  Be64(mish, 8, 0);
  Be64(mish, 16, sectors);
  Be64(mish, 24, 0);
  Be32(mish, 32, 2048);  // buffers needed
  Be32(mish, 36, 0);
  Checksum(mish, 64, partCrc);
  Be32(mish, 200, static_cast<uint32_t>(chunks.size()));
  for (size_t i = 0; i < chunks.size(); ++i) {
    const size_t at = 204 + 40 * i;
    Be32(mish, at, chunks[i].type);
    Be64(mish, at + 8, chunks[i].sector);
    Be64(mish, at + 16, chunks[i].count);
    Be64(mish, at + 24, chunks[i].offset);
    Be64(mish, at + 32, chunks[i].length);
  }

  std::ostringstream plist;
  plist << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n<dict>\n\t<key>resource-fork</key>\n\t<dict>\n\t\t<key>blkx</key>\n"
           "\t\t<array>\n\t\t\t<dict>\n\t\t\t\t<key>Attributes</key>\n\t\t\t\t<string>0x0050</string>\n"
           "\t\t\t\t<key>CFName</key>\n\t\t\t\t<string>"
        << name << " (Apple_HFS : 0)</string>\n\t\t\t\t<key>Data</key>\n\t\t\t\t<data>\n\t\t\t\t"
        << Base64(mish) << "\n\t\t\t\t</data>\n\t\t\t\t<key>ID</key>\n\t\t\t\t<string>0</string>\n"
        << "\t\t\t\t<key>Name</key>\n\t\t\t\t<string>" << name
        << " (Apple_HFS : 0)</string>\n\t\t\t</dict>\n\t\t</array>\n\t</dict>\n</dict>\n</plist>\n";
  const std::string xml = plist.str();

  std::string koly(512, '\0');
  koly.replace(0, 4, "koly");
  Be32(koly, 4, 4);
  Be32(koly, 8, 512);
  Be32(koly, 12, 1);
  Be64(koly, 24, 0);
  Be64(koly, 32, fork.size());
  Be32(koly, 56, 1);
  Be32(koly, 60, 1);
  for (int i = 0; i < 16; ++i) koly[64 + i] = static_cast<char>(0x11 * (i + 1));
  Checksum(koly, 80, Crc(fork));
  Be64(koly, 216, fork.size());
  Be64(koly, 224, xml.size());
  std::string partCrcBytes(4, '\0');
  Be32(partCrcBytes, 0, partCrc);
  Checksum(koly, 352, Crc(partCrcBytes));
  Be32(koly, 488, 1);
  Be64(koly, 492, sectors);
  return fork + xml + koly;
}

std::string MakeHfsVolume(const std::string& dir, const std::string& volumeName, std::string* error) {
  TempDir work("fkhfs");
  const std::string iso = work / "h.iso";
  std::string out;
  if (Sh("xorriso -as mkisofs -quiet -hfsplus -hfsplus-block-size 2048 -V " + Quote(volumeName) + " -o " +
             Quote(iso) + " " + Quote(dir),
         &out) != 0) {
    *error = out;
    return {};
  }
  // 7-Zip reports the hybrid image's ISO part as a truncated map (exit code
  // 2) but extracts the HFS+ partition whole.
  Sh("7zz e -tapm -y -bd -o" + Quote(work / "p") + " " + Quote(iso) + " '*.hfs'", &out);
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(work / "p", ec))
    if (e.path().extension() == ".hfs") return ReadFileBytes(e.path().string());
  *error = "no HFS+ partition in the hybrid image: " + out;
  return {};
}

std::string MakeXar(const std::vector<std::pair<std::string, std::string>>& members, std::string* error) {
  std::unique_ptr<archive, decltype(&archive_write_free)> a(archive_write_new(), archive_write_free);
  std::string result;
  auto fail = [&] {
    *error = archive_error_string(a.get()) ? archive_error_string(a.get()) : "libarchive error";
    return std::string();
  };
  if (archive_write_set_format_xar(a.get()) != ARCHIVE_OK ||
      archive_write_set_options(a.get(), "xar:compression=none") != ARCHIVE_OK)
    return fail();
  TempDir work("fkxar");
  const std::string file = work / "x.pkg";
  if (archive_write_open_filename(a.get(), file.c_str()) != ARCHIVE_OK) return fail();
  for (const auto& [path, data] : members) {
    std::unique_ptr<archive_entry, decltype(&archive_entry_free)> e(archive_entry_new(), archive_entry_free);
    archive_entry_set_pathname(e.get(), path.c_str());
    archive_entry_set_filetype(e.get(), AE_IFREG);
    archive_entry_set_perm(e.get(), 0644);
    archive_entry_set_size(e.get(), static_cast<la_int64_t>(data.size()));
    if (archive_write_header(a.get(), e.get()) != ARCHIVE_OK) return fail();
    if (archive_write_data(a.get(), data.data(), data.size()) != static_cast<la_ssize_t>(data.size())) return fail();
  }
  if (archive_write_close(a.get()) != ARCHIVE_OK) return fail();
  return ReadFileBytes(file);
}

std::string MakeRecoveryPackage(const std::string& baseSystemDmg, std::string* error) {
  TempDir dir("fkrecpkg");
  WriteFileBytes(dir / "BaseSystem.dmg", baseSystemDmg);
  WriteFileBytes(dir / "BaseSystem.chunklist", "chunk list");
  const std::string metaVolume = MakeHfsVolume(dir.path(), "Recovery HD Update", error);
  if (metaVolume.empty()) return {};
  return MakeXar({{"RecoveryHDUpdate.pkg/RecoveryHDMeta.dmg", MakeUdif(metaVolume, false)},
                  {"Distribution", "<installer-gui-script/>"}},
                 error);
}

std::vector<std::string> ListHfs(const std::string& volumeFile) {
  std::string out;
  Sh("7zz l -thfs -ba -slt " + Quote(volumeFile), &out);
  std::vector<std::string> paths;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);)
    if (line.rfind("Path = ", 0) == 0) paths.push_back(line.substr(7));
  return paths;
}

std::string ReadHfsFile(const std::string& volumeFile, const std::string& path) {
  TempDir work("fkhfsread");
  std::string out;
  Sh("7zz e -thfs -y -bd -o" + Quote(work.path()) + " " + Quote(volumeFile) + " " + Quote(path), &out);
  const std::string name = fs::path(path).filename().string();
  std::error_code ec;
  return fs::exists(work / name, ec) ? ReadFileBytes(work / name) : std::string();
}

}  // namespace fk::test

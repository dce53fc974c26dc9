#include "tests/support/ImageCheck.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "format/PackWriter.h"
#include "tests/support/TestUtil.h"

namespace fk::test {

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::vector<MbrEntry> ReadMbrEntries(const std::string& s) {
  std::vector<MbrEntry> v;
  for (int i = 0; i < 4 && s.size() >= 512; ++i) {
    const char* e = s.data() + 446 + 16 * i;
    MbrEntry m;
    m.flag = static_cast<uint8_t>(e[0]);
    m.type = static_cast<uint8_t>(e[4]);
    std::memcpy(&m.start, e + 8, 4);
    std::memcpy(&m.sectors, e + 12, 4);
    v.push_back(m);
  }
  return v;
}

std::string MissingInOrder(const std::string& log, const std::vector<std::string>& lines) {
  size_t pos = 0;
  for (const auto& l : lines) {
    size_t at = log.find(l, pos);
    if (at == std::string::npos) return l;
    pos = at + l.size();
  }
  return {};
}

std::string MtoolsVolume(const std::string& image, uint32_t startLba) {
  return image + "@@" + std::to_string(uint64_t{startLba} * 512);
}

namespace {
const char* kMtoolsEnv = "MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null ";
}

std::string FatAttributes(const std::string& image, uint32_t startLba, const std::string& path) {
  std::string out;
  if (Sh(std::string(kMtoolsEnv) + "mattrib -i " + Quote(MtoolsVolume(image, startLba)) + " " + Quote("::/" + path),
         &out) != 0)
    return "";
  // "  H      ::/.metadata_never_index": the letters before the name.
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    size_t at = line.find("::/");
    if (at != std::string::npos && line.compare(at + 3, std::string::npos, path) == 0) {
      std::string flags;
      for (size_t i = 0; i < at; ++i)
        if (line[i] != ' ') flags += line[i];
      return flags.empty() ? "-" : flags;
    }
  }
  return "";
}

bool FatReadFile(const std::string& image, uint32_t startLba, const std::string& path, std::string* data) {
  const std::string tmp = image + ".read";
  int rc = Sh(std::string(kMtoolsEnv) + "mcopy -n -o -i " + Quote(MtoolsVolume(image, startLba)) + " " +
              Quote("::/" + path) + " " + Quote(tmp));
  if (rc != 0) return false;
  *data = ReadFileBytes(tmp);
  std::filesystem::remove(tmp);
  return true;
}

int FsckPartition(const std::string& image, const MbrEntry& e, bool exfat, const std::string& scratch,
                  std::string* out) {
  const std::string part = scratch + "/fsck-part.img";
  // Only the written parts of the partition are copied (sparse).
  int rc = Sh("dd if=" + Quote(image) + " of=" + Quote(part) + " bs=1M iflag=skip_bytes,count_bytes skip=" +
          std::to_string(uint64_t{e.start} * 512) + " count=" + std::to_string(uint64_t{e.sectors} * 512) +
          " conv=sparse status=none");
  if (rc != 0) return -1;
  rc = Sh(std::string(exfat ? "fsck.exfat -n " : "fsck.fat -n ") + Quote(part) + " 2>&1", out);
  std::filesystem::remove(part);
  return rc;
}

std::string MakeZip(const std::string& path, const std::vector<std::pair<std::string, std::string>>& files) {
  std::vector<ZipInput> in;
  std::vector<std::string> dirs;
  for (const auto& [name, data] : files) {
    for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1)) {
      std::string d = name.substr(0, slash);
      if (std::find(dirs.begin(), dirs.end(), d) == dirs.end()) {
        dirs.push_back(d);
        in.push_back({d, "", true});
      }
    }
    in.push_back({name, data, false});
  }
  std::string zip, err;
  EXPECT_TRUE(BuildStoredZip(in, &zip, &err)) << err;
  WriteFileBytes(path, zip);
  return path;
}

int OpenDescriptorsOn(const std::string& path) {
  std::error_code ec;
  const auto target = std::filesystem::weakly_canonical(path, ec);
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    std::error_code le;
    auto link = std::filesystem::read_symlink(e.path(), le);
    if (!le && link == target) ++n;
  }
  return n;
}

}  // namespace fk::test

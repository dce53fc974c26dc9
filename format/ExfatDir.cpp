// Direct edits of exFAT directory entries: the exFAT drivers of the system
// cannot set the hidden attribute, so it is set in the File entry (0x85) of an
// unmounted volume and the entry set's checksum is recomputed.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "format/VolumeFiles.h"

namespace fk {
namespace {

constexpr uint8_t kFileEntry = 0x85;
constexpr uint8_t kStreamEntry = 0xC0;
constexpr uint8_t kNameEntry = 0xC1;
constexpr uint16_t kAttrHidden = 0x02;
constexpr uint16_t kAttrDirectory = 0x10;
constexpr uint64_t kMaxDirectoryBytes = uint64_t{256} << 20;

uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint64_t Le64(const uint8_t* p) { return uint64_t(Le32(p)) | uint64_t(Le32(p + 4)) << 32; }

bool ReadAt(int fd, int64_t off, void* buf, std::size_t n) {
  auto* b = static_cast<uint8_t*>(buf);
  while (n > 0) {
    ssize_t r = ::pread(fd, b, n, off);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    b += r;
    off += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

bool WriteAt(int fd, int64_t off, const void* buf, std::size_t n) {
  const auto* b = static_cast<const uint8_t*>(buf);
  while (n > 0) {
    ssize_t w = ::pwrite(fd, b, n, off);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    b += w;
    off += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

// UTF-8 -> UTF-16 code units (no validation beyond what names need).
std::u16string ToUtf16(const std::string& s) {
  std::u16string out;
  for (std::size_t i = 0; i < s.size();) {
    uint32_t c = static_cast<uint8_t>(s[i]);
    int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    if (extra) c &= (0x3F >> extra);
    ++i;
    for (int k = 0; k < extra && i < s.size(); ++k, ++i) c = (c << 6) | (static_cast<uint8_t>(s[i]) & 0x3F);
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

char16_t Fold(char16_t c) { return (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c; }

uint16_t EntrySetChecksum(const uint8_t* set, std::size_t entries) {
  uint16_t sum = 0;
  for (std::size_t i = 0; i < entries * 32; ++i) {
    if (i == 2 || i == 3) continue;
    sum = static_cast<uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + set[i]);
  }
  return sum;
}

class ExfatVolume {
 public:
  ExfatVolume(int fd, int64_t base) : fd_(fd), base_(base) {}

  bool Open(std::string* error) {
    uint8_t bs[512];
    if (!ReadAt(fd_, base_, bs, sizeof bs)) return Fail(error, "cannot read the boot sector");
    if (std::memcmp(bs + 3, "EXFAT   ", 8) != 0) return Fail(error, "not an exFAT file system");
    sectorShift_ = bs[108];
    clusterShift_ = bs[108] + bs[109];
    if (sectorShift_ < 9 || sectorShift_ > 12 || clusterShift_ > 25) return Fail(error, "bad exFAT geometry");
    fatOffset_ = int64_t(Le32(bs + 80)) << sectorShift_;
    heapOffset_ = int64_t(Le32(bs + 88)) << sectorShift_;
    clusterCount_ = Le32(bs + 92);
    rootCluster_ = Le32(bs + 96);
    return true;
  }

  // Finds path; with setHidden, marks it hidden. Returns its attributes or -1.
  int Walk(const std::string& path, bool setHidden, std::string* error) {
    std::vector<std::u16string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
      std::size_t slash = path.find('/', start);
      if (slash == std::string::npos) slash = path.size();
      if (slash > start) parts.push_back(ToUtf16(path.substr(start, slash - start)));
      start = slash + 1;
    }
    if (parts.empty()) return Fail(error, "empty path"), -1;
    uint32_t first = rootCluster_;
    uint64_t length = 0;  // unknown: follow the FAT
    bool contiguous = false;
    for (std::size_t level = 0; level < parts.size(); ++level) {
      std::vector<uint32_t> clusters;
      std::vector<uint8_t> dir;
      if (!ReadDirectory(first, length, contiguous, &clusters, &dir, error)) return -1;
      bool found = false;
      for (std::size_t i = 0; i + 32 <= dir.size(); i += 32) {
        uint8_t type = dir[i];
        if (type == 0x00) break;
        if (type != kFileEntry) continue;
        std::size_t secondaries = dir[i + 1];
        if (secondaries < 2 || i + (secondaries + 1) * 32 > dir.size() || dir[i + 32] != kStreamEntry) continue;
        const uint8_t* stream = &dir[i + 32];
        std::size_t nameLength = stream[3];
        std::u16string name;
        for (std::size_t k = 2; k <= secondaries && name.size() < nameLength; ++k) {
          const uint8_t* e = &dir[i + k * 32];
          if (e[0] != kNameEntry) break;
          for (int c = 0; c < 15 && name.size() < nameLength; ++c)
            name.push_back(static_cast<char16_t>(e[2 + 2 * c] | e[3 + 2 * c] << 8));
        }
        const std::u16string& want = parts[level];
        if (name.size() != want.size()) continue;
        bool same = true;
        for (std::size_t k = 0; k < name.size() && same; ++k) same = Fold(name[k]) == Fold(want[k]);
        if (!same) continue;
        uint16_t attrs = static_cast<uint16_t>(dir[i + 4] | dir[i + 5] << 8);
        if (level + 1 == parts.size()) {
          if (setHidden && !(attrs & kAttrHidden)) {
            attrs |= kAttrHidden;
            dir[i + 4] = static_cast<uint8_t>(attrs & 0xFF);
            dir[i + 5] = static_cast<uint8_t>(attrs >> 8);
            uint16_t sum = EntrySetChecksum(&dir[i], secondaries + 1);
            dir[i + 2] = static_cast<uint8_t>(sum & 0xFF);
            dir[i + 3] = static_cast<uint8_t>(sum >> 8);
            if (!WriteBack(clusters, dir, i, (secondaries + 1) * 32, error)) return -1;
          }
          return attrs;
        }
        if (!(attrs & kAttrDirectory)) return Fail(error, path + ": not a directory on the way"), -1;
        first = Le32(stream + 20);
        length = Le64(stream + 24);
        contiguous = (stream[1] & 0x02) != 0;
        found = true;
        break;
      }
      if (!found) return Fail(error, path + " not found"), -1;
    }
    return -1;
  }

 private:
  static bool Fail(std::string* error, const std::string& what) {
    if (error) *error = what;
    return false;
  }
  int64_t ClusterSize() const { return int64_t(1) << clusterShift_; }
  int64_t ClusterOffset(uint32_t c) const { return base_ + heapOffset_ + (int64_t(c - 2) << clusterShift_); }
  bool ValidCluster(uint32_t c) const { return c >= 2 && c - 2 < clusterCount_; }

  bool ReadDirectory(uint32_t first, uint64_t length, bool contiguous, std::vector<uint32_t>* clusters,
                     std::vector<uint8_t>* data, std::string* error) {
    // A directory holds at most 256 MiB; a larger length or a longer chain
    // (a loop) is damage, and must not cost that much memory.
    const uint64_t maxClusters = kMaxDirectoryBytes / static_cast<uint64_t>(ClusterSize());
    if (contiguous) {
      if (length > kMaxDirectoryBytes) return Fail(error, "directory larger than 256 MiB");
      uint64_t n = (length + ClusterSize() - 1) / ClusterSize();
      for (uint64_t k = 0; k < n; ++k) clusters->push_back(first + static_cast<uint32_t>(k));
    } else {
      for (uint32_t c = first; ValidCluster(c); ) {
        if (clusters->size() > clusterCount_ || clusters->size() >= maxClusters)
          return Fail(error, "cluster chain loops");
        clusters->push_back(c);
        uint8_t next[4];
        if (!ReadAt(fd_, base_ + fatOffset_ + int64_t(c) * 4, next, 4)) return Fail(error, "cannot read the FAT");
        c = Le32(next);
      }
    }
    if (clusters->empty()) return Fail(error, "empty directory chain");
    data->resize(clusters->size() * ClusterSize());
    for (std::size_t k = 0; k < clusters->size(); ++k) {
      if (!ValidCluster((*clusters)[k])) return Fail(error, "bad cluster number");
      if (!ReadAt(fd_, ClusterOffset((*clusters)[k]), data->data() + k * ClusterSize(), ClusterSize()))
        return Fail(error, "cannot read a directory cluster");
    }
    return true;
  }

  bool WriteBack(const std::vector<uint32_t>& clusters, const std::vector<uint8_t>& dir, std::size_t from,
                 std::size_t bytes, std::string* error) {
    std::size_t firstIdx = from / ClusterSize();
    std::size_t lastIdx = (from + bytes - 1) / ClusterSize();
    for (std::size_t k = firstIdx; k <= lastIdx; ++k) {
      if (!WriteAt(fd_, ClusterOffset(clusters[k]), dir.data() + k * ClusterSize(), ClusterSize()))
        return Fail(error, std::string("cannot write a directory cluster: ") + std::strerror(errno));
    }
    return true;
  }

  int fd_;
  int64_t base_;
  int sectorShift_ = 9, clusterShift_ = 12;
  int64_t fatOffset_ = 0, heapOffset_ = 0;
  uint32_t clusterCount_ = 0, rootCluster_ = 0;
};

}  // namespace

bool ExfatSetHidden(int fd, int64_t byteOffset, const std::vector<std::string>& paths, std::string* error) {
  ExfatVolume vol(fd, byteOffset);
  if (!vol.Open(error)) return false;
  for (const auto& p : paths)
    if (vol.Walk(p, true, error) < 0) return false;
  return ::fsync(fd) == 0 || errno == EINVAL;
}

int ExfatAttributes(int fd, int64_t byteOffset, const std::string& path, std::string* error) {
  ExfatVolume vol(fd, byteOffset);
  if (!vol.Open(error)) return -1;
  return vol.Walk(path, false, error);
}

}  // namespace fk

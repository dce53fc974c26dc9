#include "platform/Storage.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <filesystem>

#include "platform/Disks.h"

namespace fk::platform {

namespace fs = std::filesystem;

namespace {

constexpr int kMaxDepth = 16;  // stacked loops deeper than this are not followed

// The kernel marks the backing file of a loop whose file was unlinked.
std::string BackingPath(const std::string& sysRoot, const std::string& disk) {
  std::string b = ReadAttr(sysRoot + "/block/" + disk + "/loop/backing_file").value_or("");
  const std::string deleted = " (deleted)";
  if (b.size() > deleted.size() && b.compare(b.size() - deleted.size(), deleted.size(), deleted) == 0)
    b.resize(b.size() - deleted.size());
  return b;
}

void ChainFromStat(const std::string& sysRoot, const std::string& devRoot, const std::string& path,
                   const struct stat& st, int depth, std::vector<StorageLayer>* out);

void ChainFromDisk(const std::string& sysRoot, const std::string& devRoot, const std::string& disk, int depth,
                   std::vector<StorageLayer>* out) {
  if (disk.empty() || depth > kMaxDepth) return;
  StorageLayer layer;
  layer.path = devRoot + "/" + disk;
  layer.diskName = disk;
  if (auto devText = ReadAttr(sysRoot + "/block/" + disk + "/dev")) {
    unsigned ma = 0, mi = 0;
    if (std::sscanf(devText->c_str(), "%u:%u", &ma, &mi) == 2) layer.dev = makedev(ma, mi);
  }
  for (const auto& l : *out)
    if (l.sameStorage(layer)) return;  // a cycle
  out->push_back(layer);
  const std::string backing = BackingPath(sysRoot, disk);
  if (backing.empty()) return;
  struct stat st {};
  if (::stat(backing.c_str(), &st) != 0) return;
  ChainFromStat(sysRoot, devRoot, backing, st, depth + 1, out);
}

void ChainFromStat(const std::string& sysRoot, const std::string& devRoot, const std::string& path,
                   const struct stat& st, int depth, std::vector<StorageLayer>* out) {
  if (S_ISBLK(st.st_mode)) {
    const std::string name = BlockNameOfDev(sysRoot, major(st.st_rdev), minor(st.st_rdev));
    ChainFromDisk(sysRoot, devRoot, WholeDiskOf(sysRoot, name), depth, out);
  } else if (S_ISREG(st.st_mode)) {
    StorageLayer layer;
    layer.path = path;
    layer.dev = st.st_dev;
    layer.ino = st.st_ino;
    out->push_back(layer);
  }
}

}  // namespace

std::vector<StorageLayer> StorageChainOfDisk(const std::string& sysRoot, const std::string& devRoot,
                                             const std::string& diskName) {
  std::vector<StorageLayer> out;
  ChainFromDisk(sysRoot, devRoot, diskName, 0, &out);
  return out;
}

std::vector<StorageLayer> StorageChainOfPath(const std::string& sysRoot, const std::string& devRoot,
                                             const std::string& path) {
  std::vector<StorageLayer> out;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) ChainFromStat(sysRoot, devRoot, path, st, 0, &out);
  return out;
}

std::vector<StorageLayer> StorageChainOfFd(const std::string& sysRoot, const std::string& devRoot, int fd) {
  std::vector<StorageLayer> out;
  struct stat st {};
  if (::fstat(fd, &st) == 0) ChainFromStat(sysRoot, devRoot, "/proc/self/fd/" + std::to_string(fd), st, 0, &out);
  return out;
}

bool ChainTouchesSystem(const std::string& sysRoot, const std::string& devRoot,
                        const std::vector<StorageLayer>& chain, const std::set<std::string>& systemDisks) {
  for (const auto& l : chain)
    if (!l.isFile() && systemDisks.count(l.diskName)) return true;
  if (chain.empty() || !chain.back().isFile()) return false;
  for (const std::string& d : systemDisks) {
    const auto sys = StorageChainOfDisk(sysRoot, devRoot, d);
    if (!sys.empty() && sys.back().sameStorage(chain.back())) return true;
  }
  return false;
}

void AddLoopsOverDisks(const std::string& sysRoot, const std::string& devRoot, std::set<std::string>* disks) {
  std::vector<std::string> loops;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(sysRoot + "/block", ec)) {
    const std::string n = e.path().filename().string();
    if (n.rfind("loop", 0) == 0) loops.push_back(n);
  }
  // Until nothing changes: a loop over a loop over a system disk is found
  // in the second round whatever the order.
  for (bool grew = true; grew;) {
    grew = false;
    for (const std::string& l : loops) {
      if (disks->count(l)) continue;
      const auto chain = StorageChainOfDisk(sysRoot, devRoot, l);
      for (size_t i = 1; i < chain.size(); ++i) {
        if (!chain[i].isFile() && disks->count(chain[i].diskName)) {
          disks->insert(l);
          grew = true;
          break;
        }
      }
    }
  }
}

}  // namespace fk::platform

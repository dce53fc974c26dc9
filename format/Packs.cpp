#include "format/Packs.h"

#include <fcntl.h>
#include <lzma.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <vector>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Runner.h"
#include "app/Utilities.h"
#include "app/Ui.h"
#include "disk/Transfer.h"
#include "format/VolumeFiles.h"
#include "format/ZipExtract.h"
#include "platform/Mounts.h"
#include "platform/UniqueFd.h"
#include "resources/packs/PackIndex.h"

namespace fk {
namespace {

std::mutex g_workMutex;
std::string g_workDir;

std::string WithSlash(std::string p) {
  if (!p.empty() && p.back() != '/') p += '/';
  return p;
}

std::string Addr(const void* p) { return std::to_string(reinterpret_cast<std::uintptr_t>(p)); }

// Creates a new empty "TEMP####" file in dir; returns its path and open fd.
std::string CreateTempFileIn(const std::string& dir, int* fdOut) {
  std::random_device rd;
  std::mt19937 gen(rd());
  std::uniform_int_distribution<int> dist(0, 9999);
  for (int attempt = 0; attempt < 200; ++attempt) {
    char name[16];
    std::snprintf(name, sizeof name, "TEMP%04d", dist(gen));
    std::string path = dir + name;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      *fdOut = fd;
      return path;
    }
    if (errno != EEXIST) break;
  }
  *fdOut = -1;
  return {};
}

bool WriteAll(int fd, const unsigned char* data, std::size_t size) {
  while (size > 0) {
    ssize_t w = ::write(fd, data, size);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    data += w;
    size -= static_cast<std::size_t>(w);
  }
  return true;
}

// Largest LZMA dictionary a pack may ask for; packs are made with 64 KiB.
constexpr uint32_t kMaxLzmaDictionary = 64u << 20;

// Decodes raw LZMA1 (5 property bytes + stream) into out, at most limit
// bytes; stops at the end marker or at the end of the input. out grows with
// the data actually decoded, so a header announcing gigabytes costs nothing
// until the stream delivers them.
void DecodeLzma(const unsigned char* in, std::size_t inSize, std::size_t limit, std::vector<unsigned char>& out,
                std::string* problem) {
  out.clear();
  if (inSize < 5) {
    *problem = "no LZMA properties";
    return;
  }
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
  if (lzma_properties_decode(&filters[0], nullptr, in, 5) != LZMA_OK) {
    *problem = "bad LZMA properties";
    return;
  }
  // The dictionary is allocated whole before the first byte is decoded: a
  // damaged header must not make it gigabytes. No match reaches further back
  // than the data itself, so the output limit bounds it too.
  auto* lzma = static_cast<lzma_options_lzma*>(filters[0].options);
  if (const uint32_t dict = lzma->dict_size; dict > kMaxLzmaDictionary) {
    std::free(filters[0].options);
    *problem = "LZMA dictionary too large (" + std::to_string(dict) + " bytes)";
    return;
  }
  if (limit < lzma->dict_size) lzma->dict_size = std::max<uint32_t>(static_cast<uint32_t>(limit), LZMA_DICT_SIZE_MIN);
  lzma_stream strm = LZMA_STREAM_INIT;
  lzma_ret r = lzma_raw_decoder(&strm, filters);
  std::free(filters[0].options);
  if (r != LZMA_OK) {
    *problem = "lzma_raw_decoder failed";
    return;
  }
  strm.next_in = in + 5;
  strm.avail_in = inSize - 5;
  constexpr std::size_t kStep = std::size_t{1} << 20;
  // A stream without end marker simply ends with the input: liblzma then
  // reports LZMA_BUF_ERROR once no more progress is possible.
  do {
    if (strm.avail_out == 0) {
      const std::size_t have = static_cast<std::size_t>(strm.total_out);
      if (have >= limit) break;
      const std::size_t grow = std::min(limit - have, std::max(kStep, have));
      try {
        out.resize(have + grow);
      } catch (const std::bad_alloc&) {
        *problem = "out of memory";
        break;
      }
      strm.next_out = out.data() + have;
      strm.avail_out = grow;
    }
    r = lzma_code(&strm, LZMA_RUN);
  } while (r == LZMA_OK);
  if (problem->empty() && r != LZMA_OK && r != LZMA_STREAM_END && r != LZMA_BUF_ERROR) *problem = "LZMA data error";
  out.resize(static_cast<std::size_t>(strm.total_out));
  lzma_end(&strm);
}

}  // namespace

namespace {
// Packs registered at run time. Kept in node-based storage so that a PackRef
// handed out stays valid until its pack is replaced or removed.
std::mutex g_registeredMutex;
std::map<std::string, std::unique_ptr<const std::string>> g_registered;
}  // namespace

void RegisterPack(const std::string& name, std::string data) {
  std::lock_guard lock(g_registeredMutex);
  if (data.empty()) {
    g_registered.erase(name);
    return;
  }
  g_registered[name] = std::make_unique<const std::string>(std::move(data));
}

PackRef FindPack(const std::string& name) {
  {
    std::lock_guard lock(g_registeredMutex);
    if (auto it = g_registered.find(name); it != g_registered.end())
      return PackRef{reinterpret_cast<const unsigned char*>(it->second->data()), it->second->size()};
  }
  for (const auto& p : resources::EmbeddedPacks())
    if (name == p.name) return PackRef{p.data, *p.size};
  return {};
}

std::string PackWorkDir() {
  std::lock_guard lock(g_workMutex);
  if (!g_workDir.empty()) return g_workDir;
  // The run's own work directory, created on first use.
  if (FklTempWorkDir().empty() && !CreateTempWorkDir()) return {};
  return WithSlash(FklTempWorkDir());
}

void SetPackWorkDir(const std::string& dir) {
  std::lock_guard lock(g_workMutex);
  g_workDir.clear();
  if (dir.empty()) return;
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (std::filesystem::is_directory(dir, ec)) g_workDir = WithSlash(dir);
}

PackUnpack UnpackPackData(const void* Buffer, std::size_t BufferSize, std::vector<unsigned char>* zip,
                          const std::string& logPrefix) {
  zip->clear();
  PackFileHeader header;
  if (!Buffer || !ReadPackHeader(Buffer, BufferSize, &header) || BufferSize < kPackHeaderSize + 5) {
    Log(logPrefix + "Input args: *Buffer Or BufferSize Error");
    return PackUnpack::BadHeader;
  }
  Log(logPrefix + "*PackFileHeader\\UnPackedSize=" + std::to_string(header.UnPackedSize) + " B");
  if (header.UnPackedSize == 0) {
    Log(logPrefix + "UnPackedSize=0");
    return PackUnpack::BadHeader;
  }
  const auto* packed = static_cast<const unsigned char*>(Buffer) + kPackHeaderSize;
  const std::size_t packedSize = BufferSize - kPackHeaderSize;
  Log("> UncompressMemory(" + Addr(packed) + ", " + std::to_string(packedSize) + ", " +
      std::to_string(header.UnPackedSize) + ", #PB_PackerPlugin_LZMA)");
  // One byte more than announced, so that a stream longer than UnPackedSize
  // shows as a size mismatch instead of being cut off unnoticed.
  std::string problem;
  DecodeLzma(packed, packedSize, std::size_t(header.UnPackedSize) + 1, *zip, &problem);
  if (!problem.empty()) Log(logPrefix + problem);
  Log(logPrefix + "UnPackedSize=" + std::to_string(zip->size()) + " B");
  if (zip->size() != header.UnPackedSize) {
    Log(logPrefix + "UnPackedSize Dismatch");
    zip->clear();
    return PackUnpack::SizeMismatch;
  }
  const uLong crc = crc32(0L, zip->data(), static_cast<uInt>(zip->size()));
  if (static_cast<uint32_t>(crc) != header.CRC32) {
    zip->clear();
    return PackUnpack::CrcMismatch;
  }
  return PackUnpack::Ok;
}

std::string UnpackInternalMemoryToTempFile(const void* Buffer, std::size_t BufferSize) {
  const std::string me = "> UnpackInternalMemoryToTempFile: ";
  if (!Buffer || BufferSize == 0) {
    Log(me + "Input args: *Buffer Or BufferSize Error");
    return {};
  }
  Log(me + "*Buffer=" + Addr(Buffer) + " BufferSize=" + std::to_string(BufferSize) + " B");
  std::string workDir = PackWorkDir();
  if (workDir.empty()) {
    Log(me + "Can't create TempWorkDir");
    return {};
  }
  std::vector<unsigned char> output;
  switch (UnpackPackData(Buffer, BufferSize, &output, me)) {
    case PackUnpack::Ok:
      break;
    case PackUnpack::CrcMismatch:
      Log("> Error UnpackInternalMemoryToTempFile: CRC32 Error");
      GetUi().MessageBox("Error", "Error UnpackInternalMemoryToTempFile: CRC32 Error", MsgButtons::Ok,
                         MsgIcon::Error);
      return {};
    default:
      return {};
  }
  const std::size_t decoded = output.size();
  Log(me + "CRC32 OK");
  int fd = -1;
  std::string tempFile = CreateTempFileIn(workDir, &fd);
  if (tempFile.empty()) {
    Log(me + "TempFile$=#NULL$");
    return {};
  }
  UniqueFd file(fd);
  bool ok = WriteAll(file.get(), output.data(), decoded);
  if (file.Close() != 0) ok = false;
  if (!ok) {
    ::unlink(tempFile.c_str());
    Log("> Error UnpackInternalMemoryToTempFile: WriteData Error");
    GetUi().MessageBox("Error", "Error UnpackInternalMemoryToTempFile: WriteData Error", MsgButtons::Ok,
                       MsgIcon::Error);
    return {};
  }
  Log(me + "create nTempFile success");
  return tempFile;
}

namespace {

// Where the files for a volume are gathered: in memory when they fit there
// with room to spare (a tmpfs takes hundreds of small files many times faster
// than a disk file system, and they are gone a moment later), else the work
// directory. In memory, *maxBytes becomes the archive's recorded size: an
// archive whose members hold more than they say stops there. *ram holds the
// memory's work directory while it is used.
std::string StagingParent(const std::string& zipFile, int64_t* maxBytes, std::unique_ptr<WorkDir>* ram) {
  constexpr int64_t kMostInMemory = 512ll << 20;
  int64_t bytes = 0;
  const platform::RamFolder folder = platform::FindRamFolder();
  if (folder.freeBytes > 0 && CountZipEntries(zipFile, nullptr, &bytes) >= 0 && bytes > 0 && bytes <= kMostInMemory &&
      bytes * 4 + (64ll << 20) <= folder.freeBytes) {
    *ram = std::make_unique<WorkDir>(WorkDir::In{folder.path, true});
    if ((*ram)->ok()) {
      *maxBytes = std::min(*maxBytes, bytes);
      return (*ram)->path();
    }
  }
  return PackWorkDir();
}

}  // namespace

int ExtractDataZip(const void* Buffer, std::size_t BufferLength, const std::string& PathToExtract, int FromMemory,
                   const std::string& sZipFileForUnpack, int ShowProgress, int DeleteZipAfter) {
  const std::string me = "> ExtractDataZip: ";
  Log(me + "PathToExtract$=" + PathToExtract + " sZipFileForUnpack=" + sZipFileForUnpack);
  if (CurrentOpStopped()) {
    Log(me + "Cancel(FormatStatus=#True)");
    return 0;
  }
  if (PathToExtract.empty()) {
    Log(me + "PathToExtract$ is absent");
    return 0;
  }
  VolumeTarget volume;
  const bool toVolume = IsVolumeName(PathToExtract);
  std::string dest = PathToExtract;
  if (toVolume) {
    std::string error;
    if (!ResolveVolume(PathToExtract, &volume, &error)) {
      Log(me + "Can't use volume " + PathToExtract + ": " + error);
      GetUi().ShowStatus("Error: " + error, 3000);
      NoteFailureReason(error);
      return 0;
    }
  } else {
    dest = WithSlash(dest);
  }

  std::string zipFile = sZipFileForUnpack;
  if (FromMemory) {
    if (!Buffer || BufferLength == 0) {
      Log(me + "Input args: *Buffer Or BufferLength Error");
      return 0;
    }
    zipFile = UnpackInternalMemoryToTempFile(Buffer, BufferLength);
  }
  if (zipFile.empty()) {
    Log(me + "sZipFileForUnpack absent");
    NoteFailureReason("the archive could not be unpacked to a temporary file");
    return 0;
  }

  // Files for a volume are gathered in a staging folder and written in one go.
  std::string target = dest;
  std::string staging;
  int64_t stagingLimit = 0;
  std::unique_ptr<WorkDir> ramWork;
  std::error_code ec;
  if (toVolume) {
    stagingLimit = volume.length;
    const std::string workDir = StagingParent(zipFile, &stagingLimit, &ramWork);
    std::string why;
    if (!workDir.empty()) staging = platform::MakeUniqueDir(workDir, "Staging", &why);
    if (staging.empty()) {
      Log(me + "Can't create a staging folder in " + workDir);
      NoteFailureReason("cannot create a folder in " + (workDir.empty() ? GetTemporaryDirectory() : workDir) + " (" +
                        ErrnoText(errno) + ")");
      return 0;
    }
    target = staging;
  } else if (!std::filesystem::is_directory(target, ec)) {
    std::filesystem::create_directories(target, ec);
    if (!std::filesystem::is_directory(target, ec)) {
      Log(me + "Can't create " + target);
      NoteFailureReason("cannot create " + target + " (" + ec.message() + ")");
      return 0;
    }
  }
  struct StagingGuard {
    std::string path;
    ~StagingGuard() {
      std::error_code e;
      if (!path.empty()) std::filesystem::remove_all(path, e);
    }
  } stagingGuard{staging};

  if (ShowProgress) GetUi().DrawProgress("", 0);
  ZipExtractOptions opt;
  opt.cancel = [] { return CurrentOpStopped(); };
  // Files for a volume are staged first: never more than the volume holds (in
  // memory, never more than the archive says it holds).
  if (toVolume) opt.maxBytes = stagingLimit;
  if (ShowProgress) {
    opt.progress = [&dest](const ZipProgress& p) {
      int percent = static_cast<int>(std::lround(p.index * 1.0 / p.total * 100.0));
      GetUi().DrawProgress("Extracted (" + std::to_string(p.index) + "/" + std::to_string(p.total) + ") files to " +
                               dest,
                           percent);
    };
  }
  ZipOutcome outcome = ExtractZipSafely(zipFile, target, opt);
  switch (outcome.result) {
    case ZipResult::Ok:
      break;
    case ZipResult::CannotOpen:
      Log(me + "Can't OpenPack zip");
      NoteFailureReason("cannot open the archive " + zipFile +
                        (outcome.detail.empty() ? "" : " (" + outcome.detail + ")"));
      return 0;
    case ZipResult::CannotList:
      Log(me + "Can't examine the zip pack content");
      NoteFailureReason("cannot read the list of files of the archive " + zipFile +
                        (outcome.detail.empty() ? "" : " (" + outcome.detail + ")"));
      return 0;
    case ZipResult::Cancelled:
      Log(me + "Cancel(FormatStatus=#True)");
      return 0;
    case ZipResult::CorruptMember:
      Log("> Proceed file: " + outcome.entry + ", Size: " + std::to_string(outcome.recordedSize) + " ERROR SIZE");
      Log(me + "Error: " + ZipResultText(outcome.result) + ": " + outcome.entry + " (" + outcome.detail + ")");
      NoteFailureReason(std::string(ZipResultText(outcome.result)) + ": " + outcome.entry + " (" + outcome.detail +
                        ")");
      return 0;
    default:
      Log(me + "Error: " + ZipResultText(outcome.result) + ": " + outcome.entry +
          (outcome.detail.empty() ? "" : " (" + outcome.detail + ")"));
      NoteFailureReason(std::string(ZipResultText(outcome.result)) + (outcome.entry.empty() ? "" : ": " + outcome.entry) +
                        (outcome.detail.empty() ? "" : " (" + outcome.detail + ")"));
      return 0;
  }

  if (toVolume) {
    VolumeWriteOptions vopt;
    vopt.workDir = PackWorkDir();
    vopt.cancel = [] { return CurrentOpStopped(); };
    // The copy onto the volume is the slow part on a stick: its progress is
    // the transfer line (percent, bytes, speed, time left).
    std::optional<TransferProgress> copyProgress;
    if (ShowProgress) {
      vopt.progress = [&copyProgress](int64_t done, int64_t total) {
        if (!copyProgress) {
          copyProgress.emplace(total);
          copyProgress->Start();
        }
        copyProgress->Count(0, done - copyProgress->totalWritten());
        copyProgress->Stamp();
        copyProgress->Update(done);
      };
    }
    std::string error;
    const bool copied = CopyTreeToVolume(volume, staging, vopt, &error);
    if (copyProgress && copied) GetUi().DrawProgress(copyProgress->FinalLine(copyProgress->totalWritten()), 100);
    if (!copied && CurrentOpStopped()) {
      Log(me + "Cancel(FormatStatus=#True)");
      return 0;
    }
    if (!copied) {
      Log(me + "Can't write the files to " + PathToExtract + ": " + error);
      GetUi().ShowStatus("Error: " + error, 3000);
      NoteFailureReason(error);
      return 0;
    }
  }

  int result = 1;
  PauseToRead(1000);
  Log(me + "ExtractDataZipSuccess=" + std::to_string(result));
  if (DeleteZipAfter && std::filesystem::exists(zipFile, ec)) {
    std::filesystem::remove(zipFile, ec);
    Log(me + "Deleted " + zipFile);
  }
  if (ShowProgress && GetUi().HasMainWindow()) GetUi().DrawProgress("", 0);
  return result;
}

int ExtractPack(const std::string& packName, const std::string& PathToExtract, int ShowProgress, int DeleteZipAfter) {
  PackRef pack = FindPack(packName);
  if (!pack) {
    if (packName == kPackFreeDosDataSet) {
      Log(std::string("> ExtractDataZip: ") + kNoFreeDosDataSetText);
      GetUi().ShowStatus(kNoFreeDosDataSetText, 3000);
      NoteFailureReason(kNoFreeDosDataSetText);
    } else {
      Log("> ExtractDataZip: This build carries no " + packName);
      GetUi().ShowStatus("This build carries no " + packName, 3000);
    }
    return 0;
  }
  return ExtractDataZip(pack.data, pack.size, PathToExtract, 1, "", ShowProgress, DeleteZipAfter);
}

}  // namespace fk

#include "format/PreChecks.h"

#include <archive.h>
#include <archive_entry.h>
#include <sys/statvfs.h>

#include <climits>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "app/Log.h"
#include "format/ZipExtract.h"

namespace fk {

namespace {

RunCheck Refuse(RunRefusal r, const std::string& text) {
  Log("> FormatThread: refused before any write: " + text);
  return RunCheck{r, text};
}

bool IsFat(const std::string& fs) { return fs.rfind("FAT", 0) == 0; }

// UTF-16 units of valid UTF-8 text; -1 when it is not valid UTF-8.
int Utf16Units(const std::string& s) {
  int units = 0;
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    int len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (len == 0 || i + len > s.size()) return -1;
    uint32_t cp = len == 1 ? c : c & (0x7F >> len);
    for (int k = 1; k < len; ++k) {
      const auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return -1;
      cp = (cp << 6) | (cc & 0x3F);
    }
    static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;  // overlong, surrogate
    units += cp >= 0x10000 ? 2 : 1;
    i += len;
  }
  return units;
}

struct ArchiveFree {
  void operator()(archive* a) const { archive_read_free(a); }
};

}  // namespace

RunCheck CheckLabel(const std::string& fileSystem, const std::string& label) {
  if (IsFat(fileSystem)) {
    if (label.size() > 11)
      return Refuse(RunRefusal::LabelInvalid, "The volume label is too long for FAT32 (at most 11 characters)");
    for (unsigned char ch : label)
      if (ch < 0x20 || ch >= 0x7F || std::string_view("\"*/:<>?\\|+,.;=[]").find(ch) != std::string_view::npos)
        return Refuse(RunRefusal::LabelInvalid, "The volume label holds a character FAT32 labels cannot have");
    return {};
  }
  const int units = Utf16Units(label);
  if (units < 0) return Refuse(RunRefusal::LabelInvalid, "The volume label is not valid UTF-8 text");
  const int most = fileSystem == "exFAT" ? 11 : 32;
  if (units > most)
    return Refuse(RunRefusal::LabelInvalid, "The volume label is too long for " + fileSystem + " (at most " +
                                                std::to_string(most) + " UTF-16 units)");
  return {};
}

RunCheck CheckVolumeSize(const std::string& fileSystem, int64_t volumeBytes) {
  const int64_t least = IsFat(fileSystem) ? kMinFat32VolumeBytes : int64_t{1} << 20;
  if (volumeBytes < least)
    return Refuse(RunRefusal::VolumeTooSmall, "The partition is too small for " +
                                                  (IsFat(fileSystem) ? std::string("FAT32") : fileSystem) +
                                                  " (at least " + std::to_string((least + 1023) / 1024) + " KB)");
  return {};
}

RunCheck CheckBootRecordsAndDataSet(const std::string& bootRecords, bool hasDataSet) {
  if (hasDataSet && bootRecords == "Windows")
    return Refuse(RunRefusal::BootRecordsDataSet, "Windows boot records take no Clover data set");
  return {};
}

RunCheck CheckDataSet(const std::string& zipPath, const std::string& fileSystem, int64_t volumeBytes,
                      const std::string& stagingDir) {
  std::unique_ptr<archive, ArchiveFree> a(archive_read_new());
  // The central-directory reader: a truncated archive, or anything that is
  // not a ZIP, fails here.
  archive_read_support_format_zip_seekable(a.get());
  if (archive_read_open_filename(a.get(), zipPath.c_str(), 64 * 1024) != ARCHIVE_OK) {
    const char* e = archive_error_string(a.get());
    Log("> CheckDataSet: " + zipPath + ": " + (e ? e : "cannot open"));
    return Refuse(RunRefusal::DataSetUnreadable, "The data set is not a readable ZIP archive");
  }
  const int64_t fileLimit = IsFat(fileSystem) ? int64_t{0xFFFFFFFF} : INT64_MAX;
  int64_t total = 0;
  std::vector<char> buf(1 << 16);
  archive_entry* e = nullptr;
  int r;
  while ((r = archive_read_next_header(a.get(), &e)) == ARCHIVE_OK) {
    const char* raw = archive_entry_pathname(e);
    const std::string name = raw ? raw : "";
    std::string cleaned;
    if (!SplitSafeEntryName(name, &cleaned))
      return Refuse(RunRefusal::DataSetBadEntry, "The data set holds an unsafe file name: " + name);
    const auto type = archive_entry_filetype(e);
    if (type != AE_IFREG && type != AE_IFDIR)
      return Refuse(RunRefusal::DataSetBadEntry, "The data set holds an entry that is not a file: " + name);
    if (archive_entry_size_is_set(e) && archive_entry_size(e) > fileLimit)
      return Refuse(RunRefusal::DataSetFileTooLarge, "The data set holds a file of 4 GB or more, which FAT32 "
                                                     "cannot store: " + name);
    int64_t size = 0;
    for (;;) {
      const la_ssize_t n = archive_read_data(a.get(), buf.data(), buf.size());
      if (n == 0) break;
      if (n < 0) {
        const char* m = archive_error_string(a.get());
        Log("> CheckDataSet: " + name + ": " + (m ? m : "read error"));
        return Refuse(RunRefusal::DataSetBadEntry, "The data set is damaged: " + name);
      }
      size += n;
      if (size > fileLimit)
        return Refuse(RunRefusal::DataSetFileTooLarge, "The data set holds a file of 4 GB or more, which FAT32 "
                                                       "cannot store: " + name);
    }
    total += size;
  }
  if (r != ARCHIVE_EOF) {
    const char* m = archive_error_string(a.get());
    Log("> CheckDataSet: " + zipPath + ": " + (m ? m : "list error"));
    return Refuse(RunRefusal::DataSetUnreadable, "The data set is not a readable ZIP archive");
  }
  if (volumeBytes > 0 && total > volumeBytes)
    return Refuse(RunRefusal::DataSetTooLarge, "The data set does not fit the partition");
  struct statvfs sv {};
  if (!stagingDir.empty() && ::statvfs(stagingDir.c_str(), &sv) == 0 &&
      static_cast<int64_t>(sv.f_bavail) * static_cast<int64_t>(sv.f_frsize) < total)
    return Refuse(RunRefusal::DataSetTooLarge, "Not enough space in " + stagingDir + " to unpack the data set");
  Log("> CheckDataSet: " + zipPath + " holds " + std::to_string(total) + " bytes, all readable");
  return {};
}

RunCheck CheckRun(const RunPlan& plan) {
  const bool formats = plan.bootRecords != "Not_Format";
  if (formats) {
    if (RunCheck c = CheckLabel(plan.fileSystem, plan.label); !c) return c;
    if (RunCheck c = CheckVolumeSize(plan.fileSystem, plan.volumeBytes); !c) return c;
  }
  if (RunCheck c = CheckBootRecordsAndDataSet(plan.bootRecords, !plan.dataSetZip.empty()); !c) return c;
  if (!plan.dataSetZip.empty())
    return CheckDataSet(plan.dataSetZip, plan.fileSystem, plan.volumeBytes, plan.stagingDir);
  return {};
}

}  // namespace fk

#include "format/ZipExtract.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "platform/UniqueFd.h"

namespace fk {
namespace {

struct ArchiveReadDeleter {
  void operator()(archive* a) const { archive_read_free(a); }
};
using ArchivePtr = std::unique_ptr<archive, ArchiveReadDeleter>;

ArchivePtr OpenZip(const std::string& path, std::string* detail) {
  ArchivePtr a(archive_read_new());
  if (!a) return nullptr;
  // The central-directory reader; it checks each member's CRC as it is read.
  archive_read_support_format_zip_seekable(a.get());
  if (archive_read_open_filename(a.get(), path.c_str(), 64 * 1024) != ARCHIVE_OK) {
    if (detail) *detail = archive_error_string(a.get()) ? archive_error_string(a.get()) : "open failed";
    return nullptr;
  }
  return a;
}

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

// Opens (creating when missing) each directory of parts[0..count) below dirfd,
// never following a symbolic link. Returns the fd of the last one.
UniqueFd OpenDirChain(int rootFd, const std::vector<std::string>& parts, std::size_t count, std::string* detail) {
  UniqueFd cur(::dup(rootFd));
  for (std::size_t i = 0; i < count && cur.get() >= 0; ++i) {
    if (::mkdirat(cur.get(), parts[i].c_str(), 0755) != 0 && errno != EEXIST) {
      if (detail) *detail = Errno("mkdir " + parts[i]);
      return UniqueFd();
    }
    UniqueFd next(::openat(cur.get(), parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (next.get() < 0) {
      if (detail) *detail = Errno("open directory " + parts[i]);
      return UniqueFd();
    }
    cur = std::move(next);
  }
  return cur;
}

// The directories made so far, by their "/"-joined path below the root, so
// that each entry opens only what is new on its path.
class DirCache {
 public:
  explicit DirCache(int rootFd) : rootFd_(rootFd) {}
  // The fd of parts[0..count), made when missing; -1 with *detail on failure.
  int Open(const std::vector<std::string>& parts, std::size_t count, std::string* detail) {
    // An archive of very many directories must not use up the descriptors.
    if (dirs_.size() >= 256) dirs_.clear();
    return OpenPath(parts, count, detail);
  }

 private:
  int OpenPath(const std::vector<std::string>& parts, std::size_t count, std::string* detail) {
    if (count == 0) return rootFd_;
    std::string key;
    for (std::size_t i = 0; i < count; ++i) key += (i ? "/" : "") + parts[i];
    if (auto it = dirs_.find(key); it != dirs_.end()) return it->second.get();
    const int parent = OpenPath(parts, count - 1, detail);
    if (parent < 0) return -1;
    UniqueFd d = OpenDirChain(parent, {parts[count - 1]}, 1, detail);
    if (d.get() < 0) return -1;
    return dirs_.emplace(key, std::move(d)).first->second.get();
  }

  int rootFd_;
  std::map<std::string, UniqueFd> dirs_;
};

std::vector<std::string> SplitParts(const std::string& cleaned) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= cleaned.size()) {
    std::size_t slash = cleaned.find('/', start);
    if (slash == std::string::npos) slash = cleaned.size();
    if (slash > start) parts.push_back(cleaned.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

}  // namespace

const char* ZipResultText(ZipResult r) {
  switch (r) {
    case ZipResult::Ok: return "OK";
    case ZipResult::CannotOpen: return "cannot open the ZIP";
    case ZipResult::CannotList: return "cannot read the ZIP's entry list";
    case ZipResult::Cancelled: return "cancelled";
    case ZipResult::HostileName: return "entry name leaves the destination";
    case ZipResult::UnsupportedType: return "entry is neither a file nor a directory";
    case ZipResult::CorruptMember: return "entry data does not match its size or CRC";
    case ZipResult::WriteFailed: return "cannot write the entry";
    case ZipResult::TooLarge: return "the archive unpacks to more than the destination holds";
  }
  return "?";
}

bool SplitSafeEntryName(const std::string& name, std::string* cleaned) {
  if (name.empty() || name.find('\0') != std::string::npos) return false;
  std::string n = name;
  for (char& c : n)
    if (c == '\\') c = '/';
  if (n[0] == '/') return false;
  if (n.size() >= 2 && n[1] == ':') return false;  // "C:..." drive prefix
  std::string out;
  for (const std::string& part : SplitParts(n)) {
    if (part == "..") return false;
    if (part == ".") continue;
    if (!out.empty()) out += '/';
    out += part;
  }
  if (out.empty()) return false;
  *cleaned = out;
  return true;
}

int CountZipEntries(const std::string& zipPath, std::string* detail, int64_t* dataBytes) {
  ArchivePtr a = OpenZip(zipPath, detail);
  if (!a) return -1;
  int count = 0;
  int64_t bytes = 0;
  archive_entry* e = nullptr;
  int r;
  while ((r = archive_read_next_header(a.get(), &e)) == ARCHIVE_OK || r == ARCHIVE_WARN) {
    ++count;
    if (archive_entry_size_is_set(e) && archive_entry_size(e) > 0) bytes += archive_entry_size(e);
  }
  if (dataBytes) *dataBytes = bytes;
  if (r != ARCHIVE_EOF) {
    if (detail) *detail = archive_error_string(a.get()) ? archive_error_string(a.get()) : "list failed";
    return -1;
  }
  return count;
}

ZipOutcome ExtractZipSafely(const std::string& zipPath, const std::string& destDir, const ZipExtractOptions& opt) {
  ZipOutcome out;
  ArchivePtr a = OpenZip(zipPath, &out.detail);
  if (!a) {
    out.result = ZipResult::CannotOpen;
    return out;
  }
  int total = CountZipEntries(zipPath, &out.detail);
  if (total < 0) {
    out.result = ZipResult::CannotList;
    return out;
  }
  out.entries = total;
  UniqueFd root(::open(destDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (root.get() < 0) {
    out.result = ZipResult::WriteFailed;
    out.detail = Errno("open " + destDir);
    return out;
  }
  std::vector<char> buf(256 * 1024);
  int64_t totalWritten = 0;
  DirCache dirs(root.get());
  for (int index = 1;; ++index) {
    if (opt.cancel && opt.cancel()) {
      out.result = ZipResult::Cancelled;
      return out;
    }
    archive_entry* e = nullptr;
    int r = archive_read_next_header(a.get(), &e);
    if (r == ARCHIVE_EOF) break;
    if (r != ARCHIVE_OK && r != ARCHIVE_WARN) {
      out.result = ZipResult::CannotList;
      out.detail = archive_error_string(a.get()) ? archive_error_string(a.get()) : "";
      return out;
    }
    const char* rawName = archive_entry_pathname(e);
    out.entry = rawName ? rawName : "";
    out.recordedSize = archive_entry_size_is_set(e) ? archive_entry_size(e) : -1;
    std::string cleaned;
    if (!SplitSafeEntryName(out.entry, &cleaned)) {
      out.result = ZipResult::HostileName;
      return out;
    }
    std::vector<std::string> parts = SplitParts(cleaned);
    const mode_t type = archive_entry_filetype(e);
    if (type == AE_IFDIR) {
      if (dirs.Open(parts, parts.size(), &out.detail) < 0) {
        out.result = ZipResult::WriteFailed;
        return out;
      }
    } else if (type == AE_IFREG || type == 0) {
      const int dir = dirs.Open(parts, parts.size() - 1, &out.detail);
      if (dir < 0) {
        out.result = ZipResult::WriteFailed;
        return out;
      }
      UniqueFd file(::openat(dir, parts.back().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                       0644));
      if (file.get() < 0) {
        out.result = ZipResult::WriteFailed;
        out.detail = Errno("create " + cleaned);
        return out;
      }
      int64_t written = 0;
      for (;;) {
        la_ssize_t n = archive_read_data(a.get(), buf.data(), buf.size());
        if (n == 0) break;
        if (n < 0) {
          out.result = ZipResult::CorruptMember;
          out.detail = archive_error_string(a.get()) ? archive_error_string(a.get()) : "read failed";
          return out;
        }
        if (opt.maxBytes > 0 && totalWritten + n > opt.maxBytes) {
          out.result = ZipResult::TooLarge;
          out.detail = "more than " + std::to_string(opt.maxBytes) + " bytes";
          return out;
        }
        totalWritten += n;
        for (la_ssize_t off = 0; off < n;) {
          ssize_t w = ::write(file.get(), buf.data() + off, static_cast<std::size_t>(n - off));
          if (w < 0 && errno == EINTR) continue;
          if (w <= 0) {
            out.result = ZipResult::WriteFailed;
            out.detail = Errno("write " + cleaned);
            return out;
          }
          off += w;
        }
        written += n;
      }
      if (archive_entry_size_is_set(e) && archive_entry_size(e) != written) {
        out.result = ZipResult::CorruptMember;
        out.detail = "size " + std::to_string(written) + " instead of " + std::to_string(archive_entry_size(e));
        return out;
      }
      if (file.Close() != 0) {
        out.result = ZipResult::WriteFailed;
        out.detail = Errno("close " + cleaned);
        return out;
      }
    } else {
      out.result = ZipResult::UnsupportedType;
      return out;
    }
    out.extracted = index;
    if (opt.progress) opt.progress(ZipProgress{index, total, out.entry});
  }
  out.entry.clear();
  return out;
}

}  // namespace fk

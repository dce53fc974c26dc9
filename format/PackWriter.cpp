#include "format/PackWriter.h"

#include <archive.h>
#include <archive_entry.h>
#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

namespace fk {
namespace {

struct ArchiveWriteDeleter {
  void operator()(archive* a) const { archive_write_free(a); }
};
struct EntryDeleter {
  void operator()(archive_entry* e) const { archive_entry_free(e); }
};

void PutLe32(std::string& out, std::size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

uint32_t GetLe32(const unsigned char* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

bool BuildStoredZip(const std::vector<ZipInput>& entries, std::string* zip, std::string* error) {
  std::unique_ptr<archive, ArchiveWriteDeleter> a(archive_write_new());
  if (!a || archive_write_set_format_zip(a.get()) != ARCHIVE_OK ||
      archive_write_zip_set_compression_store(a.get()) != ARCHIVE_OK) {
    if (error) *error = a ? archive_error_string(a.get()) ? archive_error_string(a.get()) : "zip setup" : "no memory";
    return false;
  }
  // Room for the data plus generous per-entry header, descriptor and directory space.
  std::size_t capacity = 4096;
  for (const auto& e : entries) capacity += e.data.size() + e.name.size() * 3 + 256;
  std::vector<char> buf(capacity);
  std::size_t used = 0;
  archive_write_set_bytes_in_last_block(a.get(), 1);
  if (archive_write_open_memory(a.get(), buf.data(), buf.size(), &used) != ARCHIVE_OK) {
    if (error) *error = archive_error_string(a.get());
    return false;
  }
  for (const auto& in : entries) {
    std::unique_ptr<archive_entry, EntryDeleter> e(archive_entry_new());
    archive_entry_set_pathname(e.get(), in.name.c_str());
    archive_entry_set_mtime(e.get(), 1593907200, 0);  // fixed time: reproducible packs
    if (in.isDirectory) {
      archive_entry_set_filetype(e.get(), AE_IFDIR);
      archive_entry_set_perm(e.get(), 0755);
      archive_entry_set_size(e.get(), 0);
    } else {
      archive_entry_set_filetype(e.get(), AE_IFREG);
      archive_entry_set_perm(e.get(), 0644);
      archive_entry_set_size(e.get(), static_cast<la_int64_t>(in.data.size()));
    }
    if (archive_write_header(a.get(), e.get()) != ARCHIVE_OK) {
      if (error) *error = std::string("zip header of ") + in.name + ": " + archive_error_string(a.get());
      return false;
    }
    if (!in.isDirectory && !in.data.empty() &&
        archive_write_data(a.get(), in.data.data(), in.data.size()) != static_cast<la_ssize_t>(in.data.size())) {
      if (error) *error = std::string("zip data of ") + in.name + ": " + archive_error_string(a.get());
      return false;
    }
  }
  if (archive_write_close(a.get()) != ARCHIVE_OK) {
    if (error) *error = std::string("zip close: ") + archive_error_string(a.get());
    return false;
  }
  zip->assign(buf.data(), used);
  return true;
}

bool CompressToPack(const std::string& zip, std::string* pack, std::string* error) {
  if (zip.size() > UINT32_MAX) {
    if (error) *error = "ZIP larger than 4 GiB";
    return false;
  }
  lzma_options_lzma opt;
  if (lzma_lzma_preset(&opt, 9 | LZMA_PRESET_EXTREME)) {
    if (error) *error = "lzma preset";
    return false;
  }
  opt.dict_size = kPackLzmaDictSize;
  opt.lc = 3;
  opt.lp = 0;
  opt.pb = 2;
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream strm = LZMA_STREAM_INIT;
  if (lzma_raw_encoder(&strm, filters) != LZMA_OK) {
    if (error) *error = "lzma_raw_encoder";
    return false;
  }
  std::string out(kPackHeaderSize + 5 + zip.size() + zip.size() / 2 + 4096, '\0');
  out[12] = static_cast<char>(kPackLzmaProps);
  PutLe32(out, 13, kPackLzmaDictSize);
  strm.next_in = reinterpret_cast<const uint8_t*>(zip.data());
  strm.avail_in = zip.size();
  strm.next_out = reinterpret_cast<uint8_t*>(out.data()) + 17;
  strm.avail_out = out.size() - 17;
  lzma_ret r;
  do {
    r = lzma_code(&strm, LZMA_FINISH);
    if (r == LZMA_OK && strm.avail_out == 0) {
      std::size_t done = out.size() - strm.avail_out;
      out.resize(out.size() * 2);
      strm.next_out = reinterpret_cast<uint8_t*>(out.data()) + done;
      strm.avail_out = out.size() - done;
    }
  } while (r == LZMA_OK);
  std::size_t total = strm.total_out + 17;
  lzma_end(&strm);
  if (r != LZMA_STREAM_END) {
    if (error) *error = "lzma_code failed (" + std::to_string(static_cast<int>(r)) + ")";
    return false;
  }
  out.resize(total);
  uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(zip.data()), static_cast<uInt>(zip.size()));
  PutLe32(out, 0, static_cast<uint32_t>(zip.size()));
  PutLe32(out, 4, static_cast<uint32_t>(total - kPackHeaderSize));
  PutLe32(out, 8, static_cast<uint32_t>(crc));
  *pack = std::move(out);
  return true;
}

bool CollectDirectory(const std::string& dir, std::vector<ZipInput>* entries, std::string* error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path root(dir);
  if (!fs::is_directory(root, ec)) {
    if (error) *error = dir + " is not a directory";
    return false;
  }
  std::vector<ZipInput> found;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path& p = it->path();
    std::string rel = fs::relative(p, root, ec).generic_string();
    auto st = it->symlink_status(ec);
    if (ec) break;
    if (fs::is_directory(st)) {
      found.push_back({rel, {}, true});
    } else if (fs::is_regular_file(st)) {
      std::ifstream in(p, std::ios::binary);
      std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (!in && !in.eof()) {
        if (error) *error = "cannot read " + p.string();
        return false;
      }
      found.push_back({rel, std::move(data), false});
    } else {
      if (error) *error = p.string() + " is neither a file nor a directory";
      return false;
    }
  }
  if (ec) {
    if (error) *error = dir + ": " + ec.message();
    return false;
  }
  // Sorting by name puts every directory before its contents.
  std::sort(found.begin(), found.end(), [](const ZipInput& x, const ZipInput& y) { return x.name < y.name; });
  *entries = std::move(found);
  return true;
}

bool MakePack(const std::string& dir, std::string* pack, std::string* error) {
  std::vector<ZipInput> entries;
  std::string zip;
  return CollectDirectory(dir, &entries, error) && BuildStoredZip(entries, &zip, error) &&
         CompressToPack(zip, pack, error);
}

bool ReadPackHeader(const void* buffer, std::size_t size, PackFileHeader* header) {
  if (!buffer || size < kPackHeaderSize) return false;
  const auto* p = static_cast<const unsigned char*>(buffer);
  header->UnPackedSize = GetLe32(p);
  header->PackedSize = GetLe32(p + 4);
  header->CRC32 = GetLe32(p + 8);
  return true;
}

}  // namespace fk

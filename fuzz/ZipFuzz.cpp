// ZIP entry names and the safe extraction: a name the rules accept names a
// place inside the destination, and whatever an archive holds, extraction
// creates only plain files and directories inside the destination and never
// more file data than its byte limit.
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "format/ZipExtract.h"
#include "fuzz/FuzzSupport.h"

using namespace fk;
namespace fs = std::filesystem;

namespace {

constexpr int64_t kMaxBytes = 1 << 20;

void CheckName(const std::string& name) {
  std::string cleaned;
  if (!SplitSafeEntryName(name, &cleaned)) return;
  FK_FUZZ_CHECK(!cleaned.empty() && cleaned.front() != '/', cleaned);
  size_t start = 0;
  for (;;) {
    const size_t slash = cleaned.find('/', start);
    const std::string part = cleaned.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    FK_FUZZ_CHECK(!part.empty() && part != "." && part != "..", "part [" + part + "] of " + cleaned);
    FK_FUZZ_CHECK(part.find('\0') == std::string::npos, cleaned);
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  FK_FUZZ_CHECK(fuzz::IsInside("/dest/" + cleaned, "/dest"), cleaned);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view in = fuzz::AsText(data, size);
  CheckName(std::string(in.substr(0, 256)));

  const fs::path root = fuzz::ScratchDir();
  const fs::path zip = root / "in.zip", dest = root / "dest", outside = root / "outside";
  std::error_code ec;
  fs::remove_all(dest, ec);
  fs::remove_all(outside, ec);
  fs::create_directories(dest);
  fs::create_directories(outside);
  fuzz::WriteFile(zip, in);

  ZipExtractOptions opt;
  opt.maxBytes = kMaxBytes;
  const ZipOutcome out = ExtractZipSafely(zip, dest, opt);

  int64_t bytes = 0;
  for (auto it = fs::recursive_directory_iterator(dest, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const fs::file_status st = it->symlink_status();
    FK_FUZZ_CHECK(fs::is_regular_file(st) || fs::is_directory(st), it->path().string());
    FK_FUZZ_CHECK(fuzz::IsInside(fs::canonical(it->path()), fs::canonical(dest)), it->path().string());
    if (fs::is_regular_file(st)) bytes += static_cast<int64_t>(fs::file_size(it->path()));
  }
  FK_FUZZ_CHECK(!ec, ec.message());
  FK_FUZZ_CHECK(bytes <= kMaxBytes, std::to_string(bytes) + " bytes written");
  FK_FUZZ_CHECK(fs::is_empty(outside), "a file appeared beside the destination");
  int inRoot = 0;
  for (const auto& e : fs::directory_iterator(root)) {
    (void)e;
    ++inRoot;
  }
  FK_FUZZ_CHECK(inRoot == 3, "a file appeared beside the destination");
  FK_FUZZ_CHECK(out.result != ZipResult::Ok || out.extracted == out.entries, ZipResultText(out.result));
  return 0;
}

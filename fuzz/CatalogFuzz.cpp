// Apple's catalogs and the ".dist"/".pkm" files of a package: any text is
// walked without harm, a package the walk selects has a plain http(s)
// address holding the search word and a size that is a number or empty
// (unknown), and a build found is a build number.
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "net/CatalogWalk.h"

using namespace fk;

namespace {

bool ContainsNoCase(const std::string& text, const std::string& word) {
  auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  return lower(text).find(lower(word)) != std::string::npos;
}

bool PlainHttp(const std::string& url) {
  return (url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0) &&
         url.find_first_of(" \t\r\n") == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view xml = fuzz::AsText(data, size);
  std::vector<CatalogPackage> found;
  const CatalogWalkResult r = ExtractXMLProductInfo(xml, "RecoveryHD", found);
  if (r.status != CatalogStatus::Ok) {
    FK_FUZZ_CHECK(found.empty(), "packages kept from a refused catalog");
    FK_FUZZ_CHECK(!r.message.empty(), "refused without reason");
  }
  for (const CatalogPackage& p : found) {
    FK_FUZZ_CHECK(ContainsNoCase(p.rec.URL, "RecoveryHD"), p.rec.URL);
    FK_FUZZ_CHECK(PlainHttp(p.rec.URL), p.rec.URL);
    FK_FUZZ_CHECK(p.rec.MetadataURL.empty() || PlainHttp(p.rec.MetadataURL), p.rec.MetadataURL);
    FK_FUZZ_CHECK(p.rec.Size.find_first_not_of("0123456789") == std::string::npos, p.rec.Size);
  }
  std::string error;
  const std::string pkm = ExtractPkmBuild(xml, &error);
  FK_FUZZ_CHECK(pkm.empty() || IsBuildNumber(pkm), pkm);
  const std::string dist = ExtractXMLBuild(xml, &error);
  FK_FUZZ_CHECK(dist.empty() || IsBuildNumber(dist), dist);
  const int64_t date = ParseCatalogDate(std::string(xml.substr(0, 32)));
  FK_FUZZ_CHECK(date >= -1, std::to_string(date));
  return 0;
}

// The additional-download lists (the program's DLList.ini and the user's
// UserDL.ini): any text gives entries, and a file name and folder the safety
// rules accept always name a place inside the repository.
#include <filesystem>
#include <string>
#include <vector>

#include "app/IniFile.h"
#include "fuzz/FuzzSupport.h"
#include "net/AdditionalDownloads.h"

using namespace fk;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const IniFile ini = IniFile::Parse(fuzz::AsText(data, size));
  for (int user = 0; user <= 1; ++user) {
    std::vector<AdditionalDLEntry> list;
    const int sections = AdditionalDLListFromIni(ini, user, list);
    FK_FUZZ_CHECK(list.size() == static_cast<size_t>(sections) + 1, "one header and one entry per section");
    FK_FUZZ_CHECK(list[0].URL.empty(), "the header has no address");
    for (size_t i = 1; i < list.size(); ++i) {
      const AdditionalDLEntry& e = list[i];
      FK_FUZZ_CHECK(e.flgUser == user, e.Name);
      (void)AdditionalDLRowText(e);
      const std::string name = UrlFileName(e.URL);
      if (!UnsafeFileNameReason(name).empty()) continue;
      std::filesystem::path target = "/repo";
      if (!e.Catalog.empty()) {
        if (!UnsafeCatalogReason(e.Catalog).empty()) continue;
        target /= e.Catalog;
      }
      target /= name;
      FK_FUZZ_CHECK(fuzz::IsInside(target, "/repo"), "catalog [" + e.Catalog + "] name [" + name + "]");
      FK_FUZZ_CHECK(target.lexically_normal().filename() == name, "catalog [" + e.Catalog + "] name [" + name + "]");
    }
  }
  return 0;
}

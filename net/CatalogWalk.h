// Reading Apple's catalog data without a network: the walk over a catalog
// (a property list of products and their packages), the build number in a
// package's metadata (".pkm") and in a product's distribution file (".dist").
// All three stream the text through expat; no tree of it is ever built.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/Settings.h"

namespace fk {

// One package a catalog walk selected, with what the list update needs
// beyond the settings record.
struct CatalogPackage {
  RecoveryHDSource rec;         // ProductID, MetadataURL, URL, Size, Digest, PostDate, PostDateText
  std::string CatalogProductID;  // the product's key in the catalog
  std::string DistributionURL;   // the product's English ("English", else "en") distribution file
};

enum class CatalogStatus {
  Ok,
  XmlError,      // not well-formed (message, line, column say where)
  NotACatalog,   // well-formed, but not a catalog property list
  Outdated,      // a catalog, but an ancient one (what the server sends for an unknown name)
  Cancelled,
};

struct CatalogWalkResult {
  CatalogStatus status = CatalogStatus::Ok;
  std::string message;  // the reason, for the user, when status is not Ok
  int line = 0;
  int column = 0;
  int catalogVersion = 0;
  std::string indexDate;  // as written, e.g. "2023-11-09T23:16:51Z"
  int products = 0;       // products seen
  int packages = 0;       // packages seen
};

// Catalogs indexed before this date (OS X 10.9's release, the oldest system
// the built-in list serves) are refused as outdated.
inline constexpr const char* kOldestCatalogIndexDate = "2013-10-22";

// Walks a catalog and appends every package whose URL contains search
// (ignoring case) to found, in catalog order. The per-package values are
// those of the package's own dict; the product's PostDate and distribution
// apply to all its packages whatever the key order. A package whose URL is
// not a plain http(s) address is skipped; a MetadataURL that is not one, a
// Size that is not a number or a Digest that is not a digest is left empty.
// found is left untouched unless the status is Ok.
// keepGoing, when given, is asked between blocks of text; false cancels.
CatalogWalkResult ExtractXMLProductInfo(std::string_view xml, const std::string& search,
                                        std::vector<CatalogPackage>& found,
                                        const std::function<bool()>& keepGoing = {});

// The build number in a ".pkm" text: the extension part (after the last ".")
// of the root element's "identifier" attribute; "" when its leading number is
// below 9, when it is not a build (letters and digits), or on a parse error
// (error then holds the parser's message).
std::string ExtractPkmBuild(std::string_view xml, std::string* error = nullptr);

// The build number in a ".dist" text: the string after the key "BUILD" inside
// "auxinfo"; "" when there is none or it is not a build.
std::string ExtractXMLBuild(std::string_view xml, std::string* error = nullptr);

// True for a plausible build number: 3 to 16 letters and digits, starting with a digit.
bool IsBuildNumber(const std::string& build);

// "2019-10-22T17:12:52Z" as seconds since 1970 (UTC); -1 when not such a date.
int64_t ParseCatalogDate(const std::string& text);

}  // namespace fk

// Apple's software-update catalogs: the list of catalog addresses (built-in
// rules plus the user's own entries) and the small text operations on
// builds and package addresses that the Recovery HD list needs.
#pragma once

#include <string>
#include <vector>

#include "app/Settings.h"

namespace fk {

// Channel words: 0 "regular", 1 "customerseed", 2 "seed", 3 "beta".
const char* CatalogChannelWord(int channel);

// The catalog address for a channel (0..3) and a macOS 10.x minor version
// (9 or above), on the catalog host of AppleCatalogBaseUrl(). The entry "10.<minor> <channel word>" is added to list through
// Add2SUCatalogURLList. A minor below 9 or an unknown channel gives "" and adds
// nothing. The list-less form adds to SavedSettings().SUCatalogURLList.
std::string MakeSucatalogURL(std::vector<SUCatalogURLEntry>& list, int channel, int minor);
std::string MakeSucatalogURL(int channel, int minor);

// Appends (name, url) when both are given and url begins with "http" and
// holds "index-" (ignoring case); sets OSNumber from the name ("10.15 seed"
// gives 15) or, failing that, from the URL's second "-" field
// ("mountainlion" 8, "lion" 7).
void Add2SUCatalogURLList(std::vector<SUCatalogURLEntry>& list, const std::string& name, const std::string& url);

// Keeps the first entry of each URL and sorts by OSNumber (stable).
void RemoveDoublesSUCatalogURL(std::vector<SUCatalogURLEntry>& list);

// Installs the three operations above as the settings loader's catalog hooks.
void InstallCatalogListHooks();

// "Catalina" for 19F101, "macOS" for keys without a name (9L30 too).
std::string GetOSNameFromBuild(const std::string& build);

// The product identifier in a package URL: the first path field holding "-",
// cut to its first two "-" fields ("041-91758-A_XYZ" gives "041-91758").
std::string GetProductID(const std::string& url);

}  // namespace fk

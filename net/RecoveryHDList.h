// The Recovery HD list: every RecoveryHD package that the catalogs offer,
// with its macOS build, as the Download Center shows it and the settings file
// keeps it ("Download Data Settings").
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/Runner.h"
#include "app/Settings.h"
#include "net/CatalogWalk.h"

namespace fk {

// Downloads url into body (memory mode, 1 MiB reads, 10 resume attempts, the
// standard progress callbacks; a runner cancel stops it). Returns the
// engine's result code (WEB_OK on success); error gets the failure's text.
int FetchToMemory(const std::string& url, const std::string& itemName, std::string& body,
                  std::string* error = nullptr);

// Appends the packages of found that list does not hold yet: the same Digest
// is the same package; packages without a digest compare by URL.
void MergeCatalogPackages(std::vector<CatalogPackage>& list, std::vector<CatalogPackage>& found);

// One catalog: download it and walk it for "RecoveryHD" packages, merging
// them into list. Returns "" on success, else the reason for the summary.
std::string CheckRecoveryHDThread(const SUCatalogURLEntry& entry, std::vector<CatalogPackage>& list);

// Fills p.rec.Build from the package's metadata (its MetadataURL, else the
// ".pkm" beside the package) and, when that names no build, from the
// product's distribution file (its catalog address, else the ".English.dist"
// beside the package); then composes p.rec.Name. Returns false when a
// download failed (the name is composed from what is known all the same).
bool LookUpRecoveryHDBuild(CatalogPackage& p);

// "(" Build ") " OS name, then " " PostDateText, then " " size text; the parts
// that are unknown are left out.
std::string ComposeRecoveryHDName(const RecoveryHDSource& r);

// The parts of a composed name (a saved list keeps only names and URLs).
struct RecoveryHDNameParts {
  std::string build, osName, date, size;
};
RecoveryHDNameParts ParseRecoveryHDName(const std::string& name);

// A name that is safe as a key of the settings file: "=", "[", "]", ";" and
// control characters become "_", blanks at either end go.
std::string SanitizeSettingsKey(const std::string& name);

// Finishes the list: one record per build (the newest PostDate), with
// searchOnlyNewest one per macOS major release, sorted by Name. Records
// without a build are all kept. Names are made safe for the settings file;
// records that end without a name are dropped.
void Add2HDRecSourceList(std::vector<RecoveryHDSource>& list, int searchOnlyNewest);

struct CatalogReport {
  int index = 0;  // 1-based
  int total = 0;
  SUCatalogURLEntry entry;
  int found = 0;       // packages new to the list from this catalog
  std::string error;   // "" when the catalog was read
};

// The update: reads every catalog of the settings' SUCatalogURLList, looks up
// each package's build once, finishes the list and hands it to the front end
// (ApplySettings), which keeps it and saves the settings file. Failed
// catalogs are summed up in the result's message. onCatalog, when given, is
// told about each catalog as it is done.
OpResult UpdateRecoveryHDListThread(OpContext& ctx, const std::function<void(const CatalogReport&)>& onCatalog = {});

// The change UpdateRecoveryHDListThread hands back: stores the list and, when
// applied to the saved settings, writes the settings file.
std::function<void(Settings&)> StoreRecoveryHDList(std::vector<RecoveryHDSource> list);

}  // namespace fk

// The Clover release check and the download of one release archive
// ("Clover-" + revision + "-X64.iso.7z").
//
// The check reads the release list from the release site's REST API (the
// listing page no longer carries the archive names), applies the archive-name
// expression to every asset name, and keeps the highest revision as
// CloverLastRev, the list of revisions (highest first, no duplicates) as
// CloverRevList, and sets CloverDLRev to the newest. A failed check keeps the
// revision known before it.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace fk {

struct HTTPTransfer;

// The outcome of a check: code 1 when a revision was found, 6 when the list
// held no archive, else the download engine's code.
struct CloverCheckOutcome {
  int code = 0;
  std::string message;  // the text shown in the progress bar ("Found Latest Clover r5120", ...)
};

// Code of a list without any Clover archive.
inline constexpr int kCloverNoArchive = 6;
// Most pages of 100 releases read by one check.
inline constexpr int kCloverMaxReleasePages = 10;

// The REST API address of the release list (first page).
std::string CloverReleasesApiUrl();
// The archive of a revision on the release site.
std::string CloverArchiveUrl(const std::string& revision);
// "Clover-" + revision + "-X64.iso.7z"
std::string CloverArchiveName(const std::string& revision);

// Revisions named by a list of asset names, through the archive-name
// expression, highest first and without duplicates.
std::vector<int> CloverRevisionsOf(const std::vector<std::string>& assetNames);

// Asset names of one page of the REST API's release list (a JSON array of
// releases with "assets": [{"name": ...}]). False when the text is not such a list.
bool CloverAssetNamesOfReleases(const std::string& json, std::vector<std::string>* names, std::string* error);

// The address of the next page of the release list, from the Link header of a
// page's response ('<url>; rel="next"'); empty when there is none.
std::string NextPageUrl(const std::vector<std::string>& responseHeaderLines);
// The text for a request the release site refused for its request limit
// (403/429 with X-RateLimit-Remaining: 0), nullopt for any other answer.
std::optional<std::string> RateLimitMessage(const HTTPTransfer& t);

// Starts the check on its own worker (OpKind::CloverCheck). Does nothing when a
// check or download already runs. Returns 1 when it was started.
int StartThread(int param);

// The check, on the calling thread. Updates the settings in force (Cfg()) and,
// inside an operation, hands the new revision data back to the front end
// (OpContext::ApplySettings). param is the designed thread argument: the
// format run passes 0 and its check leaves flgNetThreadRunning alone.
CloverCheckOutcome CheckCloverLastRevThread(int param);

// Digests the result of the transfers: code is the engine's result; assetNames
// the names found on the pages. Shows the message and updates the menu title.
CloverCheckOutcome ParseCloverLastRev(int code, const std::vector<std::string>& assetNames,
                                      const std::string& failureMessage);

struct CloverDownloadOutcome {
  int code = 0;          // the engine's result code (1 = the archive is there)
  std::string fileName;  // path of the archive in the work directory
};

// Downloads the archive of revision rev into workDir (ending in '/'), with the
// standard progress callbacks; a cancel of the running operation (or of the
// main thread) aborts it and removes the partial file.
CloverDownloadOutcome DownloadCloverRevision(const std::string& rev, const std::string& workDir);
// The same for Cfg().CloverDLRev into the temporary work directory.
CloverDownloadOutcome GetCloverRevThread(int param);

}  // namespace fk

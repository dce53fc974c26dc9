// Additional downloads: files offered by the program's own list (DLList.ini on
// its site) and the user's list (UserDL.ini next to the settings), downloaded
// into the Clover local repository, optionally into a sub-directory the entry
// names.
#pragma once

#include <string>
#include <vector>

#include "app/Runner.h"

namespace fk {

struct AdditionalDLEntry {
  int flgUser = 0;  // 1 for entries of the user's list
  std::string Name;
  std::string Catalog;
  std::string Description;
  std::string MD5Digest;
  std::string URL;
  std::string Size;
  std::string PostDate;
  bool operator==(const AdditionalDLEntry&) const = default;
};

inline constexpr const char* kUserDLHeader = " -- User Downloads";
inline constexpr const char* kFklDLHeader = " -- FKL Additional Downloads";

// The program's list on its site (FLASHKEEL_SITE).
std::string AdditionalDLListUrl();
// "UserDL.ini" in the settings directory.
std::string UserDLPath();

// Appends the file's entries to list: a header entry, then one entry per
// section. A file that cannot be read adds nothing. Returns the sections read.
int LoadAdditionalDLList(const std::string& path, int user, std::vector<AdditionalDLEntry>& list);
// The same into the process-wide list.
int LoadAdditionalDLList(const std::string& path, int user);

// The process-wide list (copies; it is replaced whole by an update).
std::vector<AdditionalDLEntry> AdditionalDL();
void SetAdditionalDL(std::vector<AdditionalDLEntry> list);

// The row a list shows for an entry: name, size with one decimal when known,
// ": " and the description.
std::string AdditionalDLRowText(const AdditionalDLEntry& e);

// The update: downloads the program's list into a work directory of its own
// and replaces the process-wide list with the user's entries followed by the
// program's. A failure leaves the list as it was. keepListAs, when set,
// receives a copy of the program's list (the command line keeps it between runs).
OpResult CheckAdditionalDownloadsThread(const std::string& keepListAs = {});

// Why a file name taken from a list cannot be used ("" when it can): empty,
// "." or "..", separators, control characters.
std::string UnsafeFileNameReason(const std::string& name);
// The same for a Catalog value: relative, its parts safe names.
std::string UnsafeCatalogReason(const std::string& catalog);
// The file name part of a URL (no query or fragment).
std::string UrlFileName(const std::string& url);

// Downloads the entry into the Clover local repository (its Catalog
// sub-directory when set) under a temporary name, checks the digest when the
// entry has one, and gives it its name only when no file of that name exists.
// Shows the progress texts and the summary box.
OpResult DLAdditionalDownload(const AdditionalDLEntry& entry);

// The download itself, on the calling thread, into fullFileName.
int GetAdditionalDLThread(const AdditionalDLEntry& entry, const std::string& fullFileName);

// Writes the example user list when path does not exist; never replaces a file.
bool CreateUserDLExample(const std::string& path);

}  // namespace fk

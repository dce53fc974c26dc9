#include "net/RecoveryHDList.h"

#include <algorithm>
#include <set>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Ui.h"
#include "app/Utilities.h"
#include "net/Http.h"
#include "net/SuCatalog.h"

namespace fk {

namespace {

constexpr const char* kStatusGetCatalog = "Update RecoveryHD List ... Error: Get SUCatalog";
constexpr const char* kStatusCatchXml = "Update RecoveryHD List ... Error:  Catch XML SUCatalog";
constexpr const char* kStatusGetInfo = "Update RecoveryHD List ... Error: CheckRecoveryHDThread";
constexpr const char* kStatusParseInfo = "Update RecoveryHD List ... Error: Get RecoveryHD Info";
constexpr const char* kStatusEmpty = "Update RecoveryHD List ... Error:  RecoveryHD Source List is Empty";

// The runner's cancel, or the designed cancel flag (the CLI's Ctrl-C).
bool Stopping() { return CancelRequested() || CancelMainThread.load() != 0; }

// The directory of a URL, ending in "/".
std::string UrlDirectory(const std::string& url) {
  const size_t slash = url.find_last_of('/');
  return slash == std::string::npos ? std::string() : url.substr(0, slash + 1);
}

std::string UrlStem(const std::string& url) {
  const size_t slash = url.find_last_of('/');
  std::string name = slash == std::string::npos ? url : url.substr(slash + 1);
  const size_t dot = name.find_last_of('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

int64_t SizeNumber(const std::string& text) {
  int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9' || v > (INT64_MAX - 9) / 10) break;
    v = v * 10 + (c - '0');
  }
  return v;
}

// Keeps, from the top of a list sorted newest first, the first record of each
// key; records without a key are all kept.
void KeepFirstPerKey(std::vector<RecoveryHDSource>& list, size_t keyLength) {
  std::stable_sort(list.begin(), list.end(),
                   [](const RecoveryHDSource& a, const RecoveryHDSource& b) { return a.PostDate > b.PostDate; });
  std::set<std::string> seen;
  std::vector<RecoveryHDSource> kept;
  for (auto& r : list) {
    if (!r.Build.empty() && !seen.insert(r.Build.substr(0, keyLength)).second) {
      Log("> Add2HDRecSourceList: older revision dropped: " + r.Name);
      continue;
    }
    kept.push_back(std::move(r));
  }
  std::stable_sort(kept.begin(), kept.end(),
                   [](const RecoveryHDSource& a, const RecoveryHDSource& b) { return a.Build < b.Build; });
  list = std::move(kept);
}

}  // namespace

int FetchToMemory(const std::string& url, const std::string& itemName, std::string& body, std::string* error) {
  body.clear();
  if (error) error->clear();
  HTTPTransfer t{};
  t.URL = url;
  t.iDestination = DEST_MEMORY;
  t.iBufferSize = 1048576;
  t.iResumeMaxAttemptsNumber = 10;
  t.FullFileName = itemName;
  t.CallbackStart = MyCallStart;
  t.CallbackWorking = [](HTTPTransfer& rec, int64_t got, int64_t size, int64_t elapsed) {
    if (Stopping()) return 0;
    return MyCallWorking(rec, got, size, elapsed);
  };
  const int rc = HTTPGetFromWeb(t);
  if (rc == WEB_OK) body.assign(t.Buffer.begin(), t.Buffer.end());
  else {
    Log("> FetchToMemory: " + url + ": " + HttpResultMessage(rc, t));
    if (error) *error = HttpResultMessage(rc, t);
  }
  return rc;
}

void MergeCatalogPackages(std::vector<CatalogPackage>& list, std::vector<CatalogPackage>& found) {
  std::set<std::string> digests, urls;
  for (const auto& p : list) {
    if (!p.rec.Digest.empty()) digests.insert(p.rec.Digest);
    urls.insert(p.rec.URL);
  }
  for (auto& p : found) {
    const bool known = p.rec.Digest.empty() ? urls.count(p.rec.URL) > 0 : digests.count(p.rec.Digest) > 0;
    if (known) continue;
    if (!p.rec.Digest.empty()) digests.insert(p.rec.Digest);
    urls.insert(p.rec.URL);
    list.push_back(std::move(p));
  }
  found.clear();
}

std::string CheckRecoveryHDThread(const SUCatalogURLEntry& entry, std::vector<CatalogPackage>& list) {
  Log("> CheckRecoveryHDThread: " + entry.Name + ": " + entry.URL);
  if (entry.URL.empty()) return "no URL";
  std::string body, error;
  const int rc = FetchToMemory(entry.URL, "Download " + entry.Name, body, &error);
  Log("> CheckRecoveryHDThread: tHTTP\\iHTTPRetVal=" + std::to_string(rc));
  if (rc != WEB_OK) {
    Log("> CheckRecoveryHDThread: Error");
    if (rc == WEB_ABORTED || Stopping()) return "Cancelled";
    GetUi().ShowStatus(kStatusGetCatalog, 2000);
    return "Get SUCatalog (" + error + ")";
  }

  std::vector<CatalogPackage> found;
  Log("> CheckRecoveryHDThread: Start >>> ExtractXMLProductInfo: Search RecoveryHD in " + entry.Name);
  const CatalogWalkResult r = ExtractXMLProductInfo(body, "RecoveryHD", found, [] { return !Stopping(); });
  Log("> CheckRecoveryHDThread: Stop <<< ExtractXMLProductInfo: in " + entry.Name);
  switch (r.status) {
    case CatalogStatus::Ok: break;
    case CatalogStatus::Cancelled: return "Cancelled";
    case CatalogStatus::XmlError:
      Log("> CheckRecoveryHDThread: XMLStatus XML_ID_MAIN Error: " + r.message + " Line: " + std::to_string(r.line) +
          " Character: " + std::to_string(r.column));
      GetUi().ShowStatus(kStatusCatchXml, 2000);
      return "Error in the XML file: " + r.message + ", Line: " + std::to_string(r.line) +
             "   Character: " + std::to_string(r.column);
    case CatalogStatus::NotACatalog:
    case CatalogStatus::Outdated:
      Log("> CheckRecoveryHDThread: Error: " + r.message);
      GetUi().ShowStatus("Update RecoveryHD List ... Error: " + r.message, 2000);
      return r.message;
  }
  Log("> CheckRecoveryHDThread: " + entry.Name + ": " + std::to_string(r.products) + " products, " +
      std::to_string(found.size()) + " RecoveryHD packages");
  MergeCatalogPackages(list, found);
  if (list.empty()) {
    Log("> CheckRecoveryHDThread: Error: RecoveryHDSourceList() is Empty");
    GetUi().ShowStatus(kStatusEmpty, 2000);
  }
  return {};
}

bool LookUpRecoveryHDBuild(CatalogPackage& p) {
  RecoveryHDSource& r = p.rec;
  bool ok = true;
  const std::string dir = UrlDirectory(r.URL);
  const std::string pkm = !r.MetadataURL.empty() ? r.MetadataURL : dir + UrlStem(r.URL) + ".pkm";
  std::string body, error;
  if (FetchToMemory(pkm, "Get RecoveryHD Revision", body) != WEB_OK) {
    GetUi().ShowStatus(kStatusGetInfo, 2000);
    ok = false;
  } else {
    r.Build = ExtractPkmBuild(body, &error);
    if (!error.empty()) {
      Log("> CheckRecoveryHDThread: Error CatchXML XML_INFO_ID: " + pkm + ": " + error);
      GetUi().ShowStatus(kStatusParseInfo, 2000);
    }
  }
  if (r.Build.empty() && !Stopping()) {
    const std::string dist = !p.DistributionURL.empty() ? p.DistributionURL : dir + r.ProductID + ".English.dist";
    Log("> tHTTP\\URL$: " + dist);
    error.clear();
    if (FetchToMemory(dist, "Get RecoveryHD Revision", body) != WEB_OK) {
      GetUi().ShowStatus(kStatusGetInfo, 2000);
      ok = false;
    } else {
      r.Build = ExtractXMLBuild(body, &error);
      if (!error.empty()) {
        Log("> CheckRecoveryHDThread: Error CatchXML XML_INFO_ID: " + dist + ": " + error);
        GetUi().ShowStatus(kStatusParseInfo, 2000);
      }
    }
  }
  r.Name = ComposeRecoveryHDName(r);
  Log("> PackageName: " + r.Name);
  return ok;
}

std::string ComposeRecoveryHDName(const RecoveryHDSource& r) {
  std::string name;
  if (!r.Build.empty()) name = "(" + r.Build + ") " + GetOSNameFromBuild(r.Build);
  if (!r.PostDateText.empty()) name += (name.empty() ? "" : " ") + r.PostDateText;
  if (const int64_t size = SizeNumber(r.Size); size > 0) name += (name.empty() ? "" : " ") + FormatSize(size, 0);
  return name;
}

RecoveryHDNameParts ParseRecoveryHDName(const std::string& name) {
  RecoveryHDNameParts parts;
  std::string rest = name;
  if (!rest.empty() && rest[0] == '(') {
    const size_t close = rest.find(')');
    if (close != std::string::npos) {
      parts.build = rest.substr(1, close - 1);
      rest = rest.substr(close + 1);
    }
  }
  // The date: the first "dddd-dd-dd" word.
  size_t at = std::string::npos;
  for (size_t i = 0; i + 10 <= rest.size(); ++i) {
    const std::string w = rest.substr(i, 10);
    bool date = (i == 0 || rest[i - 1] == ' ') && (i + 10 == rest.size() || rest[i + 10] == ' ');
    for (size_t k = 0; date && k < 10; ++k) date = (k == 4 || k == 7) ? w[k] == '-' : (w[k] >= '0' && w[k] <= '9');
    if (date) {
      at = i;
      break;
    }
  }
  auto trim = [](std::string t) {
    const size_t b = t.find_first_not_of(' ');
    if (b == std::string::npos) return std::string();
    return t.substr(b, t.find_last_not_of(' ') - b + 1);
  };
  if (at == std::string::npos) {
    parts.osName = trim(rest);
    return parts;
  }
  parts.osName = trim(rest.substr(0, at));
  parts.date = rest.substr(at, 10);
  parts.size = trim(rest.substr(at + 10));
  return parts;
}

std::string SanitizeSettingsKey(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  for (unsigned char c : name) {
    const bool bad = c < 0x20 || c == 0x7F || c == '=' || c == '[' || c == ']' || c == ';';
    out += bad ? '_' : static_cast<char>(c);
  }
  const size_t b = out.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  const size_t e = out.find_last_not_of(" \t");
  return out.substr(b, e - b + 1);
}

void Add2HDRecSourceList(std::vector<RecoveryHDSource>& list, int searchOnlyNewest) {
  std::vector<RecoveryHDSource> named;
  for (auto& r : list) {
    r.Name = SanitizeSettingsKey(r.Name);
    if (r.Name.empty()) {
      Log("> Add2HDRecSourceList: dropped a record without a name: " + r.URL);
      continue;
    }
    named.push_back(std::move(r));
  }
  list = std::move(named);
  KeepFirstPerKey(list, std::string::npos);
  if (searchOnlyNewest != 0) KeepFirstPerKey(list, 2);
  std::stable_sort(list.begin(), list.end(),
                   [](const RecoveryHDSource& a, const RecoveryHDSource& b) { return a.Name < b.Name; });
  for (const auto& r : list) Log("> Add2HDRecSourceList: added: " + r.Name);
}

std::function<void(Settings&)> StoreRecoveryHDList(std::vector<RecoveryHDSource> list) {
  return [list = std::move(list)](Settings& s) {
    s.RecoveryHDSourceList = list;
    if (&s == &SavedSettings() && !SaveSetting()) Log("> Add2HDRecSourceList: Error: the settings were not saved");
  };
}

OpResult UpdateRecoveryHDListThread(OpContext& ctx, const std::function<void(const CatalogReport&)>& onCatalog) {
  GetUi().ShowStatus("Checking for Updates ... Wait Please", 2000);
  const std::vector<SUCatalogURLEntry> catalogs = ctx.settings().SUCatalogURLList;
  std::vector<CatalogPackage> packages;
  std::vector<std::string> failures;
  int read = 0;
  for (size_t i = 0; i < catalogs.size(); ++i) {
    if (Stopping()) break;
    const size_t before = packages.size();
    CatalogReport report;
    report.index = static_cast<int>(i) + 1;
    report.total = static_cast<int>(catalogs.size());
    report.entry = catalogs[i];
    report.error = CheckRecoveryHDThread(catalogs[i], packages);
    report.found = static_cast<int>(packages.size() - before);
    if (Stopping()) break;
    if (report.error.empty()) ++read;
    else failures.push_back(catalogs[i].Name + ": " + report.error);
    if (onCatalog) onCatalog(report);
  }
  // Each package's build is looked up once, however many catalogs list it.
  for (auto& p : packages) {
    if (Stopping()) break;
    LookUpRecoveryHDBuild(p);
  }
  if (Stopping()) {
    GetUi().ShowStatus("Update RecoveryHD List ... Cancelled", 2000);
    return OpResult::Cancelled("The Recovery HD list update was cancelled; the saved list is unchanged.");
  }

  std::string summary;
  if (!failures.empty()) {
    summary = "Update RecoveryHD List: " + std::to_string(failures.size()) + " of " +
              std::to_string(catalogs.size()) + " catalogs could not be read:";
    for (const auto& f : failures) summary += "\n" + f;
    Log("> UpdateRecoveryHDListThread: " + summary);
  }
  if (read == 0) {
    // Nothing was read: the saved list stays as it is.
    GetUi().ShowStatus("Update RecoveryHD List ... Ended", 2000);
    if (catalogs.empty()) return OpResult::Failed("There is no software update catalog to read.");
    return OpResult::Failed(summary + "\nThe saved Recovery HD list is unchanged.");
  }

  std::vector<RecoveryHDSource> list;
  list.reserve(packages.size());
  for (auto& p : packages) list.push_back(std::move(p.rec));
  Add2HDRecSourceList(list, ctx.settings().SearchOnlyNewestRevRecoveryHD);
  ctx.settings().RecoveryHDSourceList = list;
  ctx.ApplySettings(StoreRecoveryHDList(std::move(list)));
  GetUi().ShowStatus("Update RecoveryHD List ... Ended", 2000);
  return OpResult::Done(summary);
}

}  // namespace fk

#include "net/CloverRelease.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Runner.h"
#include "app/Settings.h"
#include "app/Ui.h"
#include "app/Utilities.h"
#include "net/Http.h"
#include "net/RemoteUrls.h"

namespace fk {

namespace {

constexpr const char* kRepoPath = "/CloverHackyColor/CloverBootloader";
constexpr const char* kArchiveExpression = R"(Clover-([0-9]+)-(.+)\.iso\.7z)";
constexpr int kCheckBufferSize = 1048576;

std::string UserAgent() {
  const std::string& v = AppVersion();  // "v2.1.028 Beta"
  return std::string(kProgramTitle) + "/" + v.substr(0, v.find(' '));
}

struct CodeDeleter {
  void operator()(pcre2_code* c) const { pcre2_code_free(c); }
};
struct MatchDataDeleter {
  void operator()(pcre2_match_data* m) const { pcre2_match_data_free(m); }
};

// The compiled archive-name expression, shared by all threads (matching only reads it).
const pcre2_code* ArchiveExpression() {
  static const std::unique_ptr<pcre2_code, CodeDeleter> code = [] {
    int error = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code* c = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(kArchiveExpression), PCRE2_ZERO_TERMINATED, 0,
                                  &error, &offset, nullptr);
    if (!c) Log("> ParseCloverLastRev: Error: the archive-name expression does not compile");
    return std::unique_ptr<pcre2_code, CodeDeleter>(c);
  }();
  return code.get();
}

// The first match of the expression in text, nullopt when none.
std::optional<std::string> FirstArchiveMatch(const std::string& text) {
  const pcre2_code* re = ArchiveExpression();
  if (!re) return std::nullopt;
  std::unique_ptr<pcre2_match_data, MatchDataDeleter> md(pcre2_match_data_create_from_pattern(re, nullptr));
  if (!md) return std::nullopt;
  const int rc = pcre2_match(re, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), 0, 0, md.get(), nullptr);
  if (rc < 1) return std::nullopt;
  const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md.get());
  return text.substr(ov[0], ov[1] - ov[0]);
}

// Decimal value of the digits after "Clover-" (up to the first non-digit).
int RevisionOfMatch(const std::string& match) {
  long long v = 0;
  for (size_t i = 7; i < match.size() && std::isdigit(static_cast<unsigned char>(match[i])); ++i) {
    v = v * 10 + (match[i] - '0');
    if (v > 99999999) break;
  }
  return static_cast<int>(v);
}

// Value of a response header (name compared without case), nullopt when absent.
std::optional<std::string> HeaderValue(const std::vector<std::string>& lines, const std::string& lowerName) {
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string& l = lines[i];
    const size_t colon = l.find(':');
    if (colon == std::string::npos || colon != lowerName.size()) continue;
    bool same = true;
    for (size_t k = 0; k < colon && same; ++k)
      same = std::tolower(static_cast<unsigned char>(l[k])) == lowerName[k];
    if (!same) continue;
    size_t v = colon + 1;
    while (v < l.size() && (l[v] == ' ' || l[v] == '\t')) ++v;
    return l.substr(v);
  }
  return std::nullopt;
}

std::string NowCheckDate() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  char buf[32] = "";
  localtime_r(&now, &tm);
  std::strftime(buf, sizeof buf, "%d.%m.%y %H:%M", &tm);
  return buf;
}

bool ValidRevision(const std::string& rev) {
  return !rev.empty() && rev.size() <= 8 && std::all_of(rev.begin(), rev.end(), [](unsigned char c) {
    return std::isdigit(c);
  });
}

}  // namespace

// The "next" address of a Link header: <url>; rel="next", <url>; rel="last"
std::string NextPageUrl(const std::vector<std::string>& lines) {
  auto link = HeaderValue(lines, "link");
  if (!link) return {};
  size_t pos = 0;
  while (pos < link->size()) {
    size_t end = link->find(',', pos);
    if (end == std::string::npos) end = link->size();
    const std::string part = link->substr(pos, end - pos);
    const size_t lt = part.find('<'), gt = part.find('>');
    if (lt != std::string::npos && gt != std::string::npos && gt > lt &&
        part.find("rel=\"next\"", gt) != std::string::npos)
      return part.substr(lt + 1, gt - lt - 1);
    pos = end + 1;
  }
  return {};
}

// The text for a refused API request: unauthenticated clients get a limited
// number of requests an hour.
std::optional<std::string> RateLimitMessage(const HTTPTransfer& t) {
  if (t.iStatusCode != 403 && t.iStatusCode != 429) return std::nullopt;
  auto remaining = HeaderValue(t.ResponseHeaders, "x-ratelimit-remaining");
  if (!remaining || *remaining != "0") return std::nullopt;
  std::string when = "later";
  if (auto reset = HeaderValue(t.ResponseHeaders, "x-ratelimit-reset")) {
    const std::time_t at = static_cast<std::time_t>(std::strtoll(reset->c_str(), nullptr, 10));
    std::tm tm{};
    char buf[16];
    if (at > 0 && localtime_r(&at, &tm) && std::strftime(buf, sizeof buf, "%H:%M", &tm)) when = "after " + std::string(buf);
  }
  return "The release site's request limit is reached: check again " + when + ".";
}

std::string CloverReleasesApiUrl() {
  return GithubApiBaseUrl() + "/repos" + kRepoPath + "/releases?per_page=100";
}

std::string CloverArchiveName(const std::string& revision) { return "Clover-" + revision + "-X64.iso.7z"; }

std::string CloverArchiveUrl(const std::string& revision) {
  return GithubBaseUrl() + kRepoPath + "/releases/download/" + revision + "/" + CloverArchiveName(revision);
}

std::vector<int> CloverRevisionsOf(const std::vector<std::string>& assetNames) {
  std::vector<int> revs;
  bool first = true;
  for (const std::string& name : assetNames) {
    auto m = FirstArchiveMatch(name);
    if (!m) continue;
    if (first) Log("> ParseCloverLastRev: ExtractRegularExpression = " + *m);
    first = false;
    const int rev = RevisionOfMatch(*m);
    if (rev > 0) revs.push_back(rev);
  }
  std::sort(revs.begin(), revs.end(), std::greater<int>());
  revs.erase(std::unique(revs.begin(), revs.end()), revs.end());
  return revs;
}

bool CloverAssetNamesOfReleases(const std::string& json, std::vector<std::string>* names, std::string* error) {
  const nlohmann::json doc = nlohmann::json::parse(json, nullptr, false);
  if (doc.is_discarded() || !doc.is_array()) {
    if (error) *error = doc.is_discarded() ? "not JSON" : "not a list of releases";
    return false;
  }
  for (const auto& release : doc) {
    if (!release.is_object()) continue;
    auto assets = release.find("assets");
    if (assets == release.end() || !assets->is_array()) continue;
    for (const auto& asset : *assets) {
      if (!asset.is_object()) continue;
      auto name = asset.find("name");
      if (name != asset.end() && name->is_string()) names->push_back(name->get<std::string>());
    }
  }
  return true;
}

int StartThread(int param) {
  Runner& runner = GetRunner();
  const Runner::StartStatus st = runner.Start(
      OpKind::CloverCheck,
      [param](OpContext&) {
        CloverCheckOutcome o = CheckCloverLastRevThread(param);
        return o.code == WEB_OK ? OpResult::Done(o.message) : OpResult::Failed(o.message);
      },
      Cfg());
  if (st != Runner::StartStatus::Started) return 0;
  Log("> StartThread flgNetThreadRunning=" + std::to_string(flgNetThreadRunning.load()) +
      "  CheckCloverLastRevThread(" + std::to_string(param) + ")");
  return 1;
}

CloverCheckOutcome CheckCloverLastRevThread(int param) {
  std::vector<std::string> names;
  std::string url = CloverReleasesApiUrl();
  int code = WEB_OK;
  std::string failure;
  for (int page = 0; page < kCloverMaxReleasePages && !url.empty(); ++page) {
    HTTPTransfer t;
    t.URL = url;
    t.iDestination = DEST_MEMORY;
    t.iBufferSize = kCheckBufferSize;
    t.iResumeMaxAttemptsNumber = 10;
    t.Agent = UserAgent();
    code = HTTPGetFromWeb(t);
    Log("> CheckCloverLastRevThread: tHTTP\\iHTTPRetVal=" + std::to_string(code) + " (" + url + ")");
    if (code != WEB_OK) {
      if (auto limit = RateLimitMessage(t)) failure = *limit;
      else failure = code == WEB_PARAMETERS ? "Check procedure parameters" : HttpResultMessage(code, t);
      break;
    }
    std::string error;
    if (!CloverAssetNamesOfReleases(std::string(t.Buffer.begin(), t.Buffer.end()), &names, &error)) {
      Log("> ParseCloverLastRev: Error: the release list from " + url + " is " + error);
      break;  // what earlier pages gave still counts
    }
    url = NextPageUrl(t.ResponseHeaders);
  }
  (void)param;  // the runner clears flgNetThreadRunning when a started check ends
  return ParseCloverLastRev(code, names, failure);
}

CloverCheckOutcome ParseCloverLastRev(int code, const std::vector<std::string>& assetNames,
                                      const std::string& failureMessage) {
  Settings& cfg = Cfg();
  Log("> -> ParseCloverLastRev: iRetVal = " + std::to_string(code) + ", assets = " +
      std::to_string(assetNames.size()));
  CloverCheckOutcome out;
  out.code = code;
  if (code != WEB_OK) {
    // The revision known before stays: a failed check tells nothing new.
    out.message = failureMessage;
    Log("> ParseCloverLastRev: Error: " + out.message + " (CloverLastRev$ stays " + cfg.CloverLastRev + ")");
  } else {
    Log("> ---------------> Parse CloverLastRev");
    std::vector<int> revs = CloverRevisionsOf(assetNames);
    if (revs.empty()) {
      out.code = kCloverNoArchive;
      const std::string text = "Not Found standart Clover archive distribution file:\r\nClover-NNNN-X64.iso.7z";
      GetUi().MessageBox("Error", text, MsgButtons::Ok, MsgIcon::Warning);
      Log("> ParseCloverLastRev: Error: " + text);
    } else {
      const std::string last = std::to_string(revs.front());
      const std::string date = NowCheckDate();
      cfg.CloverLastRev = last;
      cfg.CloverLastRevCheckDate = date;
      cfg.CloverRevList = revs;
      cfg.CloverDLRev = last;
      Log("> ParseCloverLastRev: CloverLastRev = " + last);
      Log("> ParseCloverLastRev: CloverDLRev$ = " + last);
      if (OpContext* op = CurrentOp()) {
        op->ApplySettings([last, date, revs](Settings& s) {
          s.CloverLastRev = last;
          s.CloverLastRevCheckDate = date;
          s.CloverRevList = revs;
          s.CloverDLRev = last;
        });
      }
      out.message = "Found Latest Clover r" + last;
      GetUi().SetControlText(Control::Menu_LatestClover, " Latest Clover: r" + last);
    }
    Log("> ---------------> Parse CloverLastRev End");
  }
  Log("> ParseCloverLastRev: " + out.message);
  GetUi().ShowStatus(out.message, 2000);
  return out;
}

CloverDownloadOutcome DownloadCloverRevision(const std::string& rev, const std::string& workDir) {
  CloverDownloadOutcome out;
  if (!ValidRevision(rev)) {
    Log("> GetCloverRevThread: Error: not a revision number: '" + rev + "'");
    out.code = WEB_PARAMETERS;
    return out;
  }
  HTTPTransfer t;
  SetUpFileDownload(t, CloverArchiveUrl(rev), workDir + CloverArchiveName(rev), 524288);
  t.Agent = UserAgent();
  Log("> tHTTP\\FullFileName$=" + t.FullFileName);
  out.code = HTTPGetFromWeb(t);
  out.fileName = t.FullFileName;
  Log("> iRetVal=" + std::to_string(out.code));
  Log("> EndThread  flgNetThreadRunning=" + std::to_string(flgNetThreadRunning.load()));
  return out;
}

CloverDownloadOutcome GetCloverRevThread(int) {
  std::string work = FklTempWorkDir();
  if (work.empty() || !std::filesystem::is_directory(work)) {
    if (!CreateTempWorkDir()) {
      Log("> GetCloverRevThread: Error: no work directory");
      return CloverDownloadOutcome{WEB_CREATE_FILE, {}};
    }
    work = FklTempWorkDir();
  }
  return DownloadCloverRevision(Cfg().CloverDLRev, work);
}

}  // namespace fk

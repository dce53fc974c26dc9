// URL splitting, error texts, result messages and the standard progress callbacks
// of the HTTP engine.
#include <curl/curl.h>

#include <cctype>
#include <cmath>
#include <cstring>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Runner.h"
#include "app/Ui.h"
#include "app/Utilities.h"
#include "net/Http.h"

namespace fk {

namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// Bounds of the authority ("user:pass@host:port") after "//", or npos when the
// URL has no "//" right after its first ":".
bool Authority(const std::string& url, size_t& begin, size_t& end) {
  const size_t colon = url.find(':');
  if (colon == std::string::npos || url.compare(colon + 1, 2, "//") != 0) return false;
  begin = colon + 3;
  end = url.find('/', begin);
  if (end == std::string::npos) end = url.size();
  return true;
}

std::string FileNamePart(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

int Percent(int64_t part, int64_t whole) {
  if (whole <= 0) return 0;
  return static_cast<int>(std::lround(static_cast<double>(part) * 1.0 / static_cast<double>(whole) * 100.0));
}

}  // namespace

int GetURLProtocol(const std::string& url, std::string& protocol) {
  protocol.clear();
  const size_t pos = url.find("://");
  if (pos == std::string::npos) return 6;
  std::string p = url.substr(0, pos + 3);
  const std::string up = Upper(p);
  if (up != "FTP://" && up != "HTTP://" && up != "HTTPS://") return 6;
  protocol = std::move(p);
  return 1;
}

int GetURLDomain(const std::string& url, std::string& domain) {
  domain.clear();
  size_t begin = 0, end = 0;
  if (!Authority(url, begin, end)) return 6;
  // Credentials before an "@" inside the authority are not part of the host.
  const size_t at = url.rfind('@', end == 0 ? 0 : end - 1);
  if (at != std::string::npos && at >= begin && at < end) begin = at + 1;
  if (end <= begin) return 6;
  domain = url.substr(begin, end - begin);
  return 1;
}

int GetURLPath(const std::string& url, std::string& path) {
  path.clear();
  size_t begin = 0, end = 0;
  if (!Authority(url, begin, end) || end >= url.size()) return 6;
  path = url.substr(end);
  return 1;
}

int GetURLUserPassword(const std::string& url, std::string& user, std::string& password) {
  user.clear();
  password.clear();
  size_t begin = 0, end = 0;
  if (!Authority(url, begin, end)) return 6;
  const size_t at = url.rfind('@', end == 0 ? 0 : end - 1);
  if (at == std::string::npos || at < begin || at >= end) return 6;
  const size_t colon = url.find(':', begin);
  if (colon == std::string::npos || colon > at) return 6;
  std::string u = url.substr(begin, colon - begin);
  std::string p = url.substr(colon + 1, at - colon - 1);
  if (u.empty() || p.empty()) return 6;
  user = std::move(u);
  password = std::move(p);
  return 1;
}

std::string GetInternetErrorText(int errorNumber, int show) {
  std::string text;
  if (errorNumber >= kInternetErrorBase) {
    text = curl_easy_strerror(static_cast<CURLcode>(errorNumber - kInternetErrorBase));
  } else {
    char buf[512];
    text = strerror_r(errorNumber, buf, sizeof buf);
  }
  text = "Error: " + text;
  if (show) GetUi().MessageBox("Error", text, MsgButtons::Ok, MsgIcon::Error);
  return text;
}

std::optional<std::string> HttpRequestHandle::QueryInfo(HttpQuery what) const {
  if (lines_.empty()) return std::nullopt;
  const std::string& status = lines_.front();
  if (what == HttpQuery::StatusCode || what == HttpQuery::StatusText) {
    // "HTTP/1.1 200 OK"
    const size_t sp1 = status.find(' ');
    if (sp1 == std::string::npos) return std::nullopt;
    const size_t sp2 = status.find(' ', sp1 + 1);
    if (what == HttpQuery::StatusCode) return status.substr(sp1 + 1, sp2 == std::string::npos ? sp2 : sp2 - sp1 - 1);
    if (sp2 == std::string::npos || sp2 + 1 >= status.size()) return std::nullopt;
    return status.substr(sp2 + 1);
  }
  const char* name = what == HttpQuery::ContentType     ? "CONTENT-TYPE"
                     : what == HttpQuery::ContentLength ? "CONTENT-LENGTH"
                     : what == HttpQuery::ContentRange  ? "CONTENT-RANGE"
                                                        : "LOCATION";
  for (size_t i = 1; i < lines_.size(); ++i) {
    const std::string& l = lines_[i];
    const size_t colon = l.find(':');
    if (colon == std::string::npos || Upper(l.substr(0, colon)) != name) continue;
    size_t v = colon + 1;
    while (v < l.size() && (l[v] == ' ' || l[v] == '\t')) ++v;
    size_t e = l.size();
    while (e > v && (l[e - 1] == ' ' || l[e - 1] == '\t')) --e;
    return l.substr(v, e - v);
  }
  return std::nullopt;
}

std::string HttpResultMessage(int code, const HTTPTransfer& t) {
  switch (code) {
    case 1: return "#WEB_OK";
    case 2: return "Check download procedure parameters";
    case 4: return "Out of memory";
    case 7: return "Download aborted";
    case 8: return "Error writing to the file " + t.FullFileName;
    case 9: return "Cannot create the file " + t.FullFileName;
    case 10: return "HTTP status code = " + std::to_string(t.iStatusCode);
    case 11: return "Error initializing Internet API";
    case 12: return "Error opening the session to the given site";
    case 13: return "Error setting the options for the proxy server";
    case 14: return "Error setting the options for basic authentication";
    case 15: return "Error creating the HTTP request handle";
    case 16: return "Error sending the HTTP request to the server";
    case 17: return "Error retrieving the HTTP status code";
    case 18: return "Error add the HTTP Request Hedears";
    case 19: return "Error reading data from the opened session";
    case 21: return "Error HTTP Resume Request";
    case 22: return "The maximum number of attempts to resume download reached";
    default: return "Unexpected error = " + std::to_string(code);
  }
}

void SetUpFileDownload(HTTPTransfer& t, const std::string& url, const std::string& fullFileName, int blockSize) {
  t = HTTPTransfer{};
  t.URL = url;
  t.iDestination = DEST_FILE;
  t.iBufferSize = blockSize;
  t.iResumeAttemptsNumber = 0;
  t.iResumeMaxAttemptsNumber = ResumeMaxAttemptsSetting();
  t.CallbackStart = MyCallStart;
  t.CallbackWorking = MyCallWorking;
  t.CallbackEnd = MyCallEnd;
  t.FullFileName = fullFileName;
}

int MyCallStart(HTTPTransfer& t, const HttpRequestHandle& request) {
  Log("> ");
  Log("> -> MyCallStart() start here");
  GetUi().DrawProgress("Connecting ... Wait Please", 0);
  if (auto v = request.QueryInfo(HttpQuery::ContentType)) Log("> HTTP_QUERY_CONTENT_TYPE = " + *v);
  if (auto v = request.QueryInfo(HttpQuery::ContentLength)) Log("> HTTP_QUERY_CONTENT_LENGTH = " + *v);
  if (auto v = request.QueryInfo(HttpQuery::ContentRange)) Log("> #HTTP_QUERY_CONTENT_RANGE = " + *v);
  if (auto v = request.QueryInfo(HttpQuery::StatusCode)) Log("> HTTP_QUERY_STATUS_CODE = " + *v);
  Log("> -> MyCallStart() ends here");
  Log("> ");
  return 1;
}

int MyCallWorking(HTTPTransfer& t, int64_t iBytesReceived, int64_t iSize, int64_t iElapsedTime) {
  const int p = Percent(iBytesReceived, iSize);
  const std::string name = FileNamePart(t.FullFileName);
  std::string detail = name + " (" + FormatSize(iBytesReceived, 1) + "/" +
                       (iSize == 0 ? std::string("Unknown") : FormatSize(iSize, 1)) + ")";
  if (iElapsedTime > 0) {
    const int64_t rate = iBytesReceived / iElapsedTime;
    detail += " " + FormatSize(rate, 1) + "/s Remain: ";
    // Without a rate or a known size there is no remaining time to show.
    if (rate > 0 && iSize > 0 && iSize >= iBytesReceived)
      detail += FormatElapsed((iSize - iBytesReceived) / rate);
    else
      detail += "Unknown";
  }
  Log("> " + detail);
  GetUi().DrawProgress(std::to_string(p) + "% " + detail, p);
  if (CancelRequested()) {
    Log("> MyCallWorking: CancelMainThread=#True");
    GetUi().DrawProgress("File " + name + " Download aborted", 0);
    return 0;
  }
  return 1;
}

int MyCallEnd(HTTPTransfer& t, int iRetVal, int64_t iBytesReceived, int64_t iSize, int64_t iElapsedTime) {
  PauseToRead(3000);  // the last progress line stays readable
  GetUi().DrawProgress("", 0);
  Log("> -> MyCallEnd: iRetVal = " + std::to_string(iRetVal) + ", iHTTPRetVal=" + std::to_string(t.iHTTPRetVal) +
      ", iBytesReceived = " + std::to_string(iBytesReceived) + ", iSize = " + std::to_string(iSize) +
      ", iElapsedTime = " + std::to_string(iElapsedTime) + " sec");
  if (iRetVal != 1) GetUi().ShowStatus(HttpResultMessage(iRetVal, t), 2000);
  return 1;
}

// Used by the engine for its resume texts.
int HttpPercent(int64_t part, int64_t whole) { return Percent(part, whole); }
std::string HttpFileNamePart(const std::string& path) { return FileNamePart(path); }

}  // namespace fk

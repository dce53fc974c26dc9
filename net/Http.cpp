// The HTTP download engine on libcurl's easy interface.
//
// One request is one curl_easy_perform. The header callback decides on the
// final response (status, resume check, content length, creating the file)
// before any body byte is taken; the write callback hands the body on as it
// arrives and reports it in reads of the read size, each checked and reported
// like one network read. A failed read in file mode closes everything, waits
// and asks again with a Range request from the first byte not yet received.
//
// A file download writes to a fresh hidden file next to the target and renames
// it to the target's name only when the body is complete, so a failed or
// cancelled transfer never leaves a partial file under the final name and never
// touches a file that already has that name.
#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Runner.h"
#include "app/Ui.h"
#include "app/Utilities.h"
#include "net/Http.h"
#include "net/HttpEngine.h"
#include <mutex>
#include <stdexcept>
#include "net/RemoteUrls.h"
#include "platform/UniqueFd.h"
#include "platform/UserFolders.h"

namespace fk {

int HttpPercent(int64_t part, int64_t whole);
std::string HttpFileNamePart(const std::string& path);

namespace {

std::mutex g_optionsMutex;
HttpEngineOptions g_options;
std::atomic<int> g_resumeMaxSetting{kHttpMaxResumeAttempts};
std::mutex g_recordMutex;
HTTPTransfer g_record;

}  // namespace

namespace httpengine {

namespace {

void EnsureCurlInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string EscapeSpaces(const std::string& s) {
  std::string out;
  for (char c : s) out += c == ' ' ? std::string("%20") : std::string(1, c);
  return out;
}

}  // namespace

bool CancelSeen() { return CancelRequested(); }

int Engine::Run() {
  if (t_.busy.v.exchange(true)) {
    Log(std::string(kP) + "the transfer record is in use by another transfer");
    return WEB_PARAMETERS;
  }
  ownsRecord_ = true;
  opt_ = GetHttpEngineOptions();
  if (opt_.caFile.empty()) opt_.caFile = ExtraCAFile();
  startMs_ = TickCountMs();
  t_.iTotBytesRead = 0;
  t_.iStatusCode = 0;
  t_.iResumeAttemptsNumber = 0;
  t_.ResponseHeaders.clear();
  if (int code = Validate()) return End(code);
  ApplyDefaults();
  return End(Attempts());
}

int Engine::Validate() {
  if (GetURLDomain(t_.URL, domain_) != 1) {
    Log(std::string(kP) + "Domain Malformed: " + t_.URL);
    return WEB_PARAMETERS;
  }
  if (GetURLProtocol(t_.URL, protocol_) != 1) {
    Log(std::string(kP) + "Protocol Malformed");
    return WEB_PARAMETERS;
  }
  if (GetURLPath(t_.URL, path_) != 1) {
    Log(std::string(kP) + "URL Path Malformed");
    return WEB_PARAMETERS;
  }
  GetURLUserPassword(t_.URL, user_, password_);
  if (t_.iDestination == DEST_FILE) {
    if (t_.FullFileName.empty()) {
      Log(std::string(kP) + "No Filename Specified");
      return WEB_PARAMETERS;
    }
  } else if (t_.iDestination == DEST_MEMORY) {
    std::vector<unsigned char>().swap(t_.Buffer);
  } else {
    Log(std::string(kP) + "iDestination Malformed");
    return WEB_PARAMETERS;
  }
  if (t_.iAccessType == 3 && t_.ProxyAndPort.empty()) {
    Log(std::string(kP) + "ProxyAndPort Malformed");
    return WEB_PARAMETERS;
  }
  return 0;
}

void Engine::ApplyDefaults() {
  if (t_.iBufferSize < 0) t_.iBufferSize = 0;
  if (t_.Agent.empty()) t_.Agent = kHttpDefaultAgent;
  if (t_.iFlags == 0) t_.iFlags = kHttpDefaultFlags;
  if (t_.iResumeMaxAttemptsNumber < 0 || t_.iResumeMaxAttemptsNumber > kHttpMaxResumeAttempts)
    t_.iResumeMaxAttemptsNumber = kHttpMaxResumeAttempts;
  Log(std::string(kP) + "iResumeMaxAttemptsNumber = " + std::to_string(t_.iResumeMaxAttemptsNumber));
  // libcurl speaks the scheme of the URL; an ftp:// URL is asked for over HTTP,
  // as the request always goes to an HTTP service.
  const std::string scheme = protocol_.size() == 8 ? "https://" : "http://";
  curlUrl_ = scheme + domain_ + EscapeSpaces(path_);
  if (!t_.CAFile.empty()) opt_.caFile = t_.CAFile;
}

int Engine::Attempts() {
  for (;;) {
    int code = Connect();
    if (code == 0) code = SendAndRead();
    if (code == WEB_OK) return code;
    // A server that refuses the range is not asked again: the answer would be the same.
    const bool resume = (code == WEB_READ && FileMode()) || (code == WEB_SEND && t_.iResumeAttemptsNumber >= 1);
    if (!resume) return code;
    ++t_.iResumeAttemptsNumber;
    if (t_.iResumeAttemptsNumber > t_.iResumeMaxAttemptsNumber) {
      Log(std::string(kP) + "iResumeMaxAttemptsNumber=" + std::to_string(t_.iResumeMaxAttemptsNumber) + " reached");
      return WEB_RESUME_LIMIT;
    }
    if (CancelSeen()) {
      Log(std::string(kP) + "CancelMainThread=#True");
      GetUi().DrawProgress("File " + HttpFileNamePart(t_.FullFileName) + " Download aborted", 0);
      return code;
    }
    CloseHandles();
    const int p = HttpPercent(received_, t_.iSize);
    GetUi().DrawProgress(std::to_string(p) + "% ERROR, Attempt to resume downloading, #" +
                             std::to_string(t_.iResumeAttemptsNumber) + " ...",
                         p);
    PauseMs(kHttpResumePauseMs);
  }
}

int Engine::Connect() {
  EnsureCurlInit();
  curl_.reset(curl_easy_init());
  if (!curl_) {
    Log(std::string(kP) + "Init Inet Functions failed");
    return WEB_INIT;
  }
  CURL* c = curl_.get();
  bool ok = true;
  auto set = [&ok](CURLcode rc) { ok = ok && rc == CURLE_OK; };
  set(curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L));
  set(curl_easy_setopt(c, CURLOPT_USERAGENT, t_.Agent.c_str()));
  if (t_.iAccessType == 3) {
    set(curl_easy_setopt(c, CURLOPT_PROXY, t_.ProxyAndPort.c_str()));
    set(curl_easy_setopt(c, CURLOPT_NOPROXY, ""));
  } else if (t_.iAccessType == 1) {
    set(curl_easy_setopt(c, CURLOPT_PROXY, ""));  // direct: ignore the proxy environment
  }
  if (!ok) {
    Log(std::string(kP) + "Init Inet Functions failed");
    return WEB_INIT;
  }
  Log(std::string(kP) + "Init Inet Functions .............. OK");

  set(curl_easy_setopt(c, CURLOPT_URL, curlUrl_.c_str()));
  if (t_.iPort > 0) set(curl_easy_setopt(c, CURLOPT_PORT, static_cast<long>(t_.iPort)));
  set(curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https"));
  set(curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"));
  set(curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(opt_.connectTimeoutMs)));
  set(curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L));
  set(curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L));
  if (!opt_.caFile.empty()) set(curl_easy_setopt(c, CURLOPT_CAINFO, opt_.caFile.c_str()));
  if (!ok) {
    Log(std::string(kP) + "Open HTTP Session failed: " + t_.URL);
    return WEB_SESSION;
  }
  Log(std::string(kP) + "Open HTTP Session .............. OK");

  if (t_.iAccessType == 3) {
    if (!t_.ProxyUser.empty()) set(curl_easy_setopt(c, CURLOPT_PROXYUSERNAME, t_.ProxyUser.c_str()));
    if (!t_.ProxyPassword.empty()) set(curl_easy_setopt(c, CURLOPT_PROXYPASSWORD, t_.ProxyPassword.c_str()));
    if (!ok) {
      Log(std::string(kP) + "Error setting the proxy user name or password");
      return WEB_PROXY_OPTIONS;
    }
  }

  Log(std::string(kP) + "Open HTTP Request Server Referer: " + t_.Referer);
  if (!t_.Referer.empty()) set(curl_easy_setopt(c, CURLOPT_REFERER, t_.Referer.c_str()));
  set(curl_easy_setopt(c, CURLOPT_HTTPGET, 1L));
  set(curl_easy_setopt(c, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)));
  set(curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L));
  set(curl_easy_setopt(c, CURLOPT_MAXREDIRS, static_cast<long>(opt_.maxRedirects)));
  set(curl_easy_setopt(c, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L));
  set(curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, static_cast<long>(opt_.lowSpeedLimit)));
  set(curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, static_cast<long>(opt_.lowSpeedTimeS)));
  set(curl_easy_setopt(c, CURLOPT_BUFFERSIZE, 1024L * 1024));
  set(curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errbuf_));
  set(curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &Engine::HeaderThunk));
  set(curl_easy_setopt(c, CURLOPT_HEADERDATA, this));
  set(curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Engine::WriteThunk));
  set(curl_easy_setopt(c, CURLOPT_WRITEDATA, this));
  set(curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L));
  set(curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &Engine::ProgressThunk));
  set(curl_easy_setopt(c, CURLOPT_XFERINFODATA, this));
  headers_.reset();
  if (t_.iFlags & kHttpFlagPragmaNoCache) {
    curl_slist* h = curl_slist_append(nullptr, "Pragma: no-cache");
    if (!h) ok = false;
    headers_.reset(h);
  }
  if (!ok) {
    Log(std::string(kP) + "Open HTTP Request Server Path failed: " + path_);
    return WEB_REQUEST_HANDLE;
  }
  Log(std::string(kP) + "Open HTTP Request Server Path: " + path_);
  Log(std::string(kP) + "Open HTTP Request Server Path .............. OK");

  // Credentials the server asked for once stay in use on the reconnections.
  if (credentialsTried_) {
    if (!user_.empty()) set(curl_easy_setopt(c, CURLOPT_USERNAME, user_.c_str()));
    if (!password_.empty()) set(curl_easy_setopt(c, CURLOPT_PASSWORD, password_.c_str()));
    if (!ok) {
      Log(std::string(kP) + "Error setting the user name or password");
      return WEB_AUTH_OPTIONS;
    }
  }

  if (t_.iResumeAttemptsNumber >= 1) {
    Log(std::string(kP) + "iResumeAttemptsNumber = " + std::to_string(t_.iResumeAttemptsNumber));
    // With an unknown length the range is open-ended.
    const std::string range = "Range: bytes=" + std::to_string(received_) + "-" +
                              (t_.iSize > 0 ? std::to_string(t_.iSize - 1) : std::string());
    curl_slist* h = curl_slist_append(headers_.get(), range.c_str());
    if (!h) {
      Log(std::string(kP) + "Error add HttpAddRequestHeaders = " + range);
      return WEB_ADD_HEADERS;
    }
    headers_.release();
    headers_.reset(h);
    if (!validator_.empty()) {
      h = curl_slist_append(headers_.get(), ("If-Range: " + validator_).c_str());
      if (!h) {
        Log(std::string(kP) + "Error add HttpAddRequestHeaders = If-Range: " + validator_);
        return WEB_ADD_HEADERS;
      }
      headers_.release();
      headers_.reset(h);
    }
    Log(std::string(kP) + "Success add HttpAddRequestHeaders = " + range);
  }
  if (headers_ && curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers_.get()) != CURLE_OK) {
    Log(std::string(kP) + "Error add HttpAddRequestHeaders");
    return WEB_ADD_HEADERS;
  }
  return 0;
}

int Engine::SendAndRead() {
  CURLcode rc;
  for (;;) {
    response_.Clear();
    accepted_ = false;
    needCredentials_ = false;
    abortCode_ = 0;
    errbuf_[0] = '\0';
    rc = curl_easy_perform(curl_.get());
    if (!needCredentials_) break;
    credentialsTried_ = true;
    bool ok = true;
    if (!user_.empty()) ok = curl_easy_setopt(curl_.get(), CURLOPT_USERNAME, user_.c_str()) == CURLE_OK;
    if (ok && !password_.empty()) ok = curl_easy_setopt(curl_.get(), CURLOPT_PASSWORD, password_.c_str()) == CURLE_OK;
    if (!ok) {
      Log(std::string(kP) + "Error setting the user name or password");
      return WEB_AUTH_OPTIONS;
    }
  }
  if (abortCode_) return abortCode_;
  const bool cancelled = rc == CURLE_ABORTED_BY_CALLBACK && CancelSeen();
  if (!accepted_) {
    if (cancelled) {
      Log(std::string(kP) + "CancelMainThread=#True");
      return WEB_ABORTED;
    }
    Log(std::string(kP) + "Send HTTP Request " + GetInternetErrorText(kInternetErrorBase + rc, 0) +
        (errbuf_[0] ? std::string(" (") + errbuf_ + ")" : std::string()));
    Log("> ---->> HTTPGetFromWeb: Check Internet Connection ! <<----");
    return WEB_SEND;
  }
  if (rc == CURLE_OK) return FinishBody();
  if (cancelled) {
    Log(std::string(kP) + "CancelMainThread=#True");
    return WEB_ABORTED;
  }
  const std::string why = GetInternetErrorText(kInternetErrorBase + rc, 0) +
                          (errbuf_[0] ? std::string(" (") + errbuf_ + ")" : std::string());
  // Every announced byte is here: a failure after the last one loses nothing.
  if (t_.iSize > 0 && received_ + static_cast<int64_t>(pending_) == t_.iSize) {
    Log(std::string(kP) + "the whole body arrived before the connection failed: " + why);
    return FinishBody();
  }
  // In memory mode a connection closed cleanly before the announced length is
  // the end of the body, and the length check reports it. In file mode it is a
  // failed read that resumes, like a reset connection.
  if (rc == CURLE_PARTIAL_FILE && t_.iSize > 0 && !FileMode()) return FinishBody();
  // What arrived before the failure is kept, so the resume asks from the first missing byte.
  if (int code = DeliverRead()) return code;
  Log(std::string(kP) + "Read " + why + " after " + std::to_string(received_) + " bytes");
  return WEB_READ;
}

size_t Engine::OnHeader(const char* data, size_t n) {
  // Trailer lines after a chunked body belong to the accepted answer.
  if (accepted_) return n;
  std::string line(data, n);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (line.rfind("HTTP/", 0) == 0) {
    response_.Clear();
    response_.AddLine(std::move(line));
    return n;
  }
  if (!line.empty()) {
    response_.AddLine(std::move(line));
    return n;
  }
  // End of a header block: interim and followed redirect answers are skipped.
  long status = 0;
  if (curl_easy_getinfo(curl_.get(), CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) {
    Log(std::string(kP) + "Error retrieving the HTTP status code");
    abortCode_ = WEB_STATUS_QUERY;
    return 0;
  }
  if (status / 100 == 1) return n;
  // libcurl follows these itself (and fails the transfer past the redirect limit).
  if ((status == 301 || status == 302 || status == 303 || status == 307 || status == 308) &&
      response_.QueryInfo(HttpQuery::Location))
    return n;
  return OnFinalHeaders(status) ? n : 0;
}

}  // namespace httpengine

using httpengine::Engine;
using httpengine::kP;

int HTTPGetFromWeb(HTTPTransfer& t) {
  Engine e(t);
  try {
    return e.Run();
  } catch (const std::bad_alloc&) {
    Log(std::string(kP) + "out of memory");
    return e.Abandon(WEB_OUT_OF_MEMORY);
  } catch (const std::exception& ex) {
    Log(std::string(kP) + "unexpected failure: " + ex.what());
  } catch (...) {
    Log(std::string(kP) + "unexpected failure");
  }
  return e.Abandon(WEB_ABORTED);
}

HttpEngineOptions GetHttpEngineOptions() {
  std::lock_guard lock(g_optionsMutex);
  return g_options;
}

void SetHttpEngineOptions(const HttpEngineOptions& o) {
  std::lock_guard lock(g_optionsMutex);
  g_options = o;
}

int ResumeMaxAttemptsSetting() { return g_resumeMaxSetting.load(); }
void SetResumeMaxAttemptsSetting(int value) { g_resumeMaxSetting.store(value); }

HTTPRecordGuard LockHTTPRecord() { return HTTPRecordGuard(std::unique_lock(g_recordMutex), &g_record); }

std::optional<HTTPRecordGuard> TryLockHTTPRecord() {
  std::unique_lock lock(g_recordMutex, std::try_to_lock);
  if (!lock.owns_lock()) return std::nullopt;
  return HTTPRecordGuard(std::move(lock), &g_record);
}

}  // namespace fk

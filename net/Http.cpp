// The HTTP download engine on libcurl's easy interface.
//
// One request is one curl_easy_perform. The header callback decides on the
// final response (status, resume check, content length, creating the file)
// before any body byte is taken; the write callback collects the body into
// reads of the read size, each of which is written out and reported like one
// network read. A failed read in file mode closes everything, waits and asks
// again with a Range request from the first byte not yet received.
#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <cerrno>
#include <memory>
#include <new>
#include <stdexcept>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Runner.h"
#include "app/Ui.h"
#include "app/Utilities.h"
#include "net/Http.h"
#include "net/RemoteUrls.h"

namespace fk {

int HttpPercent(int64_t part, int64_t whole);
std::string HttpFileNamePart(const std::string& path);

namespace {

constexpr const char* kP = "> -> HTTPGetFromWeb: ";

// The user pressed Cancel, or the operation this transfer runs in was cancelled
// (a download the waiting format run gave up on).
bool CancelWanted() { return CancelMainThread.load() != 0 || CancelRequested(); }

std::mutex g_optionsMutex;
HttpEngineOptions g_options;
std::atomic<int> g_resumeMaxSetting{kHttpMaxResumeAttempts};
std::mutex g_recordMutex;
HTTPTransfer g_record;

void EnsureCurlInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct CurlDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistDeleter {
  void operator()(curl_slist* s) const { curl_slist_free_all(s); }
};

class UniqueFd {
 public:
  UniqueFd() = default;
  ~UniqueFd() { Close(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  void Reset(int fd) {
    Close();
    fd_ = fd;
  }
  int Get() const { return fd_; }
  bool Open() const { return fd_ >= 0; }
  int Close() {
    int rc = 0;
    if (fd_ >= 0) rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_ = -1;
};

// Parses "bytes 3145728-67108863/67108864"; total is -1 for "/*".
bool ParseContentRange(const std::string& value, int64_t& start, int64_t& last, int64_t& total) {
  size_t i = 0;
  auto number = [&](int64_t& out) {
    if (i >= value.size() || !std::isdigit(static_cast<unsigned char>(value[i]))) return false;
    int64_t v = 0;
    for (; i < value.size() && std::isdigit(static_cast<unsigned char>(value[i])); ++i) {
      if (v > (INT64_MAX - 9) / 10) return false;
      v = v * 10 + (value[i] - '0');
    }
    out = v;
    return true;
  };
  while (i < value.size() && !std::isdigit(static_cast<unsigned char>(value[i]))) {
    if (value[i] == '*') return false;
    ++i;
  }
  if (!number(start) || i >= value.size() || value[i] != '-') return false;
  ++i;
  if (!number(last) || last < start) return false;
  while (i < value.size() && value[i] == ' ') ++i;
  if (i >= value.size() || value[i] != '/') return false;
  ++i;
  if (i < value.size() && value[i] == '*') {
    total = -1;
    return true;
  }
  return number(total) && last < total;
}

std::string EscapeSpaces(const std::string& s) {
  std::string out;
  for (char c : s) out += c == ' ' ? std::string("%20") : std::string(1, c);
  return out;
}

class Engine {
 public:
  explicit Engine(HTTPTransfer& t) : t_(t) {}
  int Run();
  // After an exception: ends the transfer as out of memory, without callbacks.
  int Abandon();

 private:
  HTTPTransfer& t_;
  HttpEngineOptions opt_;
  std::string protocol_, domain_, path_, user_, password_, curlUrl_;
  int64_t startMs_ = 0;
  std::unique_ptr<CURL, CurlDeleter> curl_;
  std::unique_ptr<curl_slist, SlistDeleter> headers_;
  UniqueFd file_;
  std::vector<unsigned char> block_;  // file mode: the read block
  size_t pending_ = 0;                // bytes of the current read not yet handed on
  int64_t received_ = 0;
  size_t readSize_ = 0;
  bool credentialsTried_ = false;
  bool abandoning_ = false;
  bool ownsRecord_ = false;   // this call holds the record's busy flag
  bool createdFile_ = false;  // FullFileName was created (truncated) by this transfer
  // Strong entity tag or Last-Modified of the first answer; a resume asks for
  // the range only while the body is still that one (If-Range).
  std::string validator_;
  // State of one perform.
  HttpRequestHandle response_;
  bool accepted_ = false;
  bool needCredentials_ = false;
  int abortCode_ = 0;
  char errbuf_[CURL_ERROR_SIZE] = {};

  int Validate();
  void ApplyDefaults();
  int Attempts();
  int Connect();
  int SendAndRead();
  int FinishBody();
  int DeliverRead();
  void CloseHandles();
  int End(int code);
  int64_t ElapsedS() const { return (TickCountMs() - startMs_) / 1000; }
  bool FileMode() const { return t_.iDestination == DEST_FILE; }

  bool OnFinalHeaders(long status);
  size_t OnHeader(const char* data, size_t n);
  size_t OnBody(const char* data, size_t n);
  // No exception may unwind through libcurl: one thrown by a callback ends the transfer.
  size_t Guarded(size_t (Engine::*fn)(const char*, size_t), const char* d, size_t n) {
    try {
      return (this->*fn)(d, n);
    } catch (const std::bad_alloc&) {
      Log(std::string(kP) + "out of memory");
      abortCode_ = WEB_OUT_OF_MEMORY;
    } catch (...) {
      Log(std::string(kP) + "a callback failed; the transfer is aborted");
      abortCode_ = WEB_ABORTED;
    }
    return 0;
  }
  static size_t HeaderThunk(char* d, size_t sz, size_t n, void* self) {
    return static_cast<Engine*>(self)->Guarded(&Engine::OnHeader, d, sz * n);
  }
  static size_t WriteThunk(char* d, size_t sz, size_t n, void* self) {
    return static_cast<Engine*>(self)->Guarded(&Engine::OnBody, d, sz * n);
  }
  static int ProgressThunk(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* e = static_cast<Engine*>(self);
    // Only callers that can be cancelled (they watch progress) are stopped
    // here, so a stalled server does not delay the cancel until the next read.
    return (e->t_.CallbackWorking && CancelWanted()) ? 1 : 0;
  }
};

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
    const bool resume = code == WEB_RESUME_REFUSED || (code == WEB_READ && FileMode()) ||
                        (code == WEB_SEND && t_.iResumeAttemptsNumber >= 1);
    if (!resume) return code;
    ++t_.iResumeAttemptsNumber;
    if (t_.iResumeAttemptsNumber > t_.iResumeMaxAttemptsNumber) {
      Log(std::string(kP) + "iResumeMaxAttemptsNumber=" + std::to_string(t_.iResumeMaxAttemptsNumber) + " reached");
      return WEB_RESUME_LIMIT;
    }
    if (CancelWanted()) {
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
  set(curl_easy_setopt(c, CURLOPT_BUFFERSIZE, 256L * 1024));
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
  const bool cancelled = rc == CURLE_ABORTED_BY_CALLBACK && CancelWanted();
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
  // A connection closed cleanly before the announced length is the end of the
  // body; the length checks below report it. Without a known length such a
  // body (a chunked one cut short) cannot be checked, so it is a failed read.
  if (rc == CURLE_OK || (rc == CURLE_PARTIAL_FILE && t_.iSize > 0)) return FinishBody();
  if (cancelled) {
    Log(std::string(kP) + "CancelMainThread=#True");
    return WEB_ABORTED;
  }
  // What arrived before the failure is kept, so the resume asks from the first missing byte.
  if (int code = DeliverRead()) return code;
  Log(std::string(kP) + "Read " + GetInternetErrorText(kInternetErrorBase + rc, 0) +
      (errbuf_[0] ? std::string(" (") + errbuf_ + ")" : std::string()) + " after " + std::to_string(received_) +
      " bytes");
  return WEB_READ;
}

size_t Engine::OnHeader(const char* data, size_t n) {
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

bool Engine::OnFinalHeaders(long status) {
  t_.ResponseHeaders = response_.HeaderLines();
  Log(std::string(kP) + "Send HTTP Request .............. OK");
  Log(std::string(kP) + "iStatusCode=" + std::to_string(status));
  if (auto text = response_.QueryInfo(HttpQuery::StatusText))
    Log(std::string(kP) + "#HTTP_QUERY_STATUS_TEXT=" + *text);
  if (status == 401 && !credentialsTried_) {
    needCredentials_ = true;
    return false;
  }
  if (status != 200 && status != 206) {
    t_.iStatusCode = static_cast<int>(status);
    abortCode_ = WEB_HTTP_STATUS;
    return false;
  }
  if (t_.iResumeAttemptsNumber >= 1) {
    // The continuation must start exactly at the first byte not yet received.
    // When the length is known, the part must run to its end and belong to a
    // body of that length: a different total means the file on the server
    // changed, and its tail appended to what is here would be a corrupt file.
    int64_t start = -1, last = -1, total = -1;
    auto range = response_.QueryInfo(HttpQuery::ContentRange);
    const bool parsed = range && ParseContentRange(*range, start, last, total);
    const bool sameBody = t_.iSize <= 0 || ((total < 0 || total == t_.iSize) && last == t_.iSize - 1);
    if (status != 206 || !parsed || start != received_ || !sameBody) {
      Log(std::string(kP) + "the server did not resume at byte " + std::to_string(received_) +
          " (status " + std::to_string(status) + ", Content-Range: " + range.value_or("none") + ")");
      t_.iStatusCode = static_cast<int>(status);
      abortCode_ = WEB_RESUME_REFUSED;
      return false;
    }
  } else {
    int64_t length = 0;
    if (auto cl = response_.QueryInfo(HttpQuery::ContentLength)) {
      char* end = nullptr;
      const long long v = std::strtoll(cl->c_str(), &end, 10);
      if (end != cl->c_str() && v > 0) length = v;
    }
    t_.iSize = length;
    validator_.clear();
    std::string lastModified;
    for (size_t i = 1; i < response_.HeaderLines().size(); ++i) {
      const std::string& l = response_.HeaderLines()[i];
      const size_t colon = l.find(':');
      if (colon == std::string::npos) continue;
      std::string name = l.substr(0, colon);
      for (char& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      size_t v = colon + 1;
      while (v < l.size() && (l[v] == ' ' || l[v] == '\t')) ++v;
      std::string value = l.substr(v);
      while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
      // Weak tags ("W/...") cannot guard a range.
      if (name == "etag" && value.size() >= 2 && value.front() == '"') validator_ = value;
      if (name == "last-modified") lastModified = value;
    }
    if (validator_.empty()) validator_ = lastModified;
    if (t_.iBufferSize > 0)
      readSize_ = static_cast<size_t>(t_.iBufferSize);
    else if (length >= 1 && length <= kHttpWholeBodyMax)
      readSize_ = static_cast<size_t>(length);
    else
      readSize_ = kHttpAutoReadSize;
    try {
      if (FileMode())
        block_.assign(readSize_, 0);
      else
        t_.Buffer.reserve(readSize_);
    } catch (const std::bad_alloc&) {
      Log(std::string(kP) + "Out of memory for a read block of " + std::to_string(readSize_) + " bytes");
      abortCode_ = WEB_OUT_OF_MEMORY;
      return false;
    }
    if (FileMode() && !file_.Open()) {
      file_.Reset(::open(t_.FullFileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
      if (!file_.Open()) {
        Log(std::string(kP) + "Cannot create the file " + t_.FullFileName + " " + GetInternetErrorText(errno, 0));
        abortCode_ = WEB_CREATE_FILE;
        return false;
      }
      createdFile_ = true;
    }
  }
  accepted_ = true;
  if (t_.CallbackStart) t_.CallbackStart(t_, response_);
  return true;
}

size_t Engine::OnBody(const char* data, size_t n) {
  if (!accepted_) return n;
  size_t done = 0;
  while (done < n) {
    const size_t take = std::min(n - done, readSize_ - pending_);
    if (FileMode()) {
      std::memcpy(block_.data() + pending_, data + done, take);
    } else {
      try {
        const auto* bytes = reinterpret_cast<const unsigned char*>(data) + done;
        t_.Buffer.insert(t_.Buffer.end(), bytes, bytes + take);
      } catch (const std::bad_alloc&) {
        Log(std::string(kP) + "Out of memory after " + std::to_string(received_) + " bytes");
        abortCode_ = WEB_OUT_OF_MEMORY;
        return 0;
      }
    }
    pending_ += take;
    done += take;
    if (pending_ == readSize_) {
      if (int code = DeliverRead()) {
        abortCode_ = code;
        return 0;
      }
    }
  }
  return n;
}

// Hands one read on: into the file (checking its length) and to the progress callback.
int Engine::DeliverRead() {
  if (pending_ == 0) return 0;
  if (FileMode()) {
    size_t off = 0;
    while (off < pending_) {
      const ssize_t w = ::write(file_.Get(), block_.data() + off, pending_ - off);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        Log(std::string(kP) + "Error writing to the file " + t_.FullFileName + " " +
            GetInternetErrorText(w < 0 ? errno : EIO, 0));
        return WEB_WRITE_FILE;
      }
      off += static_cast<size_t>(w);
    }
    struct stat st {};
    if (::fstat(file_.Get(), &st) != 0 || st.st_size != received_ + static_cast<int64_t>(pending_)) {
      Log(std::string(kP) + "the file " + t_.FullFileName + " does not have the length received");
      return WEB_WRITE_FILE;
    }
  }
  received_ += static_cast<int64_t>(pending_);
  pending_ = 0;
  if (t_.CallbackWorking && t_.CallbackWorking(t_, received_, t_.iSize, ElapsedS()) == 0) return WEB_ABORTED;
  return 0;
}

int Engine::FinishBody() {
  if (int code = DeliverRead()) return code;
  if (FileMode()) {
    struct stat st {};
    const bool synced = ::fdatasync(file_.Get()) == 0;
    if (!synced || ::fstat(file_.Get(), &st) != 0 || st.st_size != received_) {
      Log(std::string(kP) + "Error writing to the file " + t_.FullFileName);
      return WEB_WRITE_FILE;
    }
    if (file_.Close() != 0) {
      Log(std::string(kP) + "Error closing the file " + t_.FullFileName);
      return WEB_WRITE_FILE;
    }
  } else {
    t_.Buffer.shrink_to_fit();
  }
  t_.iTotBytesRead = received_;
  if (t_.iSize > 0 && t_.iSize != t_.iTotBytesRead) {
    Log("> HTTPGetFromWeb: Original FileSize = " + std::to_string(t_.iSize) +
        " <> tHTTP\\iTotBytesRead = " + std::to_string(t_.iTotBytesRead));
    return WEB_WRITE_FILE;
  }
  Log("> HTTPGetFromWeb: tHTTP\\iTotBytesRead = " + std::to_string(t_.iTotBytesRead));
  Log("> HTTPGetFromWeb: Original FileSize = " + std::to_string(t_.iSize));
  return WEB_OK;
}

void Engine::CloseHandles() {
  curl_.reset();
  headers_.reset();
}

int Engine::End(int code) {
  CloseHandles();
  t_.iHTTPRetVal = code;
  if (t_.CallbackEnd && !abandoning_) t_.CallbackEnd(t_, code, received_, t_.iSize, ElapsedS());
  if (FileMode()) {
    std::vector<unsigned char>().swap(block_);
    std::vector<unsigned char>().swap(t_.Buffer);
    // A failed transfer leaves no file behind, also when the file was already
    // closed (a body shorter than its announced length is found only then).
    if (code != WEB_OK && (file_.Open() || createdFile_)) {
      file_.Close();
      if (::unlink(t_.FullFileName.c_str()) == 0)
        Log(std::string(kP) + "partial file deleted: " + t_.FullFileName);
      else
        Log(std::string(kP) + "cannot delete the partial file " + t_.FullFileName);
    }
  }
  Log(std::string(kP) + "iHTTPRetVal=" + std::to_string(code));
  t_.busy.v.store(false);
  return code;
}

int Engine::Abandon() {
  // Failed before the record was taken: it belongs to another transfer.
  if (!ownsRecord_) return WEB_PARAMETERS;
  abandoning_ = true;
  try {
    return End(WEB_OUT_OF_MEMORY);
  } catch (...) {
    t_.iHTTPRetVal = WEB_OUT_OF_MEMORY;
    t_.busy.v.store(false);
    return WEB_OUT_OF_MEMORY;
  }
}

}  // namespace

int HTTPGetFromWeb(HTTPTransfer& t) {
  Engine e(t);
  try {
    return e.Run();
  } catch (const std::exception& ex) {
    Log(std::string(kP) + "unexpected failure: " + ex.what());
  } catch (...) {
    Log(std::string(kP) + "unexpected failure");
  }
  return e.Abandon();
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

// The HTTP download engine: one GET into a file or a memory block, with
// progress callbacks, a credentials retry after 401 and resumption of an
// interrupted file download through a Range request. libcurl does the wire work.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace fk {

inline constexpr int DEST_FILE = 23;
inline constexpr int DEST_MEMORY = 24;

// Result codes of HTTPGetFromWeb (stored in iHTTPRetVal).
inline constexpr int WEB_OK = 1;
inline constexpr int WEB_PARAMETERS = 2;
inline constexpr int WEB_OUT_OF_MEMORY = 4;
inline constexpr int WEB_ABORTED = 7;
inline constexpr int WEB_WRITE_FILE = 8;
inline constexpr int WEB_CREATE_FILE = 9;
inline constexpr int WEB_HTTP_STATUS = 10;
inline constexpr int WEB_INIT = 11;
inline constexpr int WEB_SESSION = 12;
inline constexpr int WEB_PROXY_OPTIONS = 13;
inline constexpr int WEB_AUTH_OPTIONS = 14;
inline constexpr int WEB_REQUEST_HANDLE = 15;
inline constexpr int WEB_SEND = 16;
inline constexpr int WEB_STATUS_QUERY = 17;
inline constexpr int WEB_ADD_HEADERS = 18;
inline constexpr int WEB_READ = 19;
inline constexpr int WEB_RESUME_REFUSED = 21;
inline constexpr int WEB_RESUME_LIMIT = 22;

// Engine constants.
inline constexpr int kHttpAutoReadSize = 65536;
inline constexpr int64_t kHttpWholeBodyMax = 8388608;
inline constexpr int kHttpResumePauseMs = 1000;
inline constexpr int kHttpMaxResumeAttempts = 9999;
inline constexpr int kHttpDefaultFlags = static_cast<int>(0x84000300u);
inline constexpr int kHttpFlagPragmaNoCache = 0x00000100;
inline constexpr const char* kHttpDefaultAgent = "InternetRecovery/1.0";

// Error numbers handed to GetInternetErrorText: below kInternetErrorBase an
// errno value, from it on kInternetErrorBase + a libcurl result code.
inline constexpr int kInternetErrorBase = 12000;

// Items of a response that the start callback can ask for.
enum class HttpQuery { StatusCode, StatusText, ContentType, ContentLength, ContentRange, Location };

// The answer of one request, as the start callback sees it.
class HttpRequestHandle {
 public:
  // Text of the item; nullopt when the response does not carry it.
  std::optional<std::string> QueryInfo(HttpQuery what) const;
  // Raw header lines of the final response, status line first, without line ends.
  const std::vector<std::string>& HeaderLines() const { return lines_; }

  void Clear() { lines_.clear(); }
  void AddLine(std::string line) { lines_.push_back(std::move(line)); }

 private:
  std::vector<std::string> lines_;
};

struct HTTPTransfer;
using HttpCallbackStart = std::function<int(HTTPTransfer&, const HttpRequestHandle&)>;
using HttpCallbackWorking =
    std::function<int(HTTPTransfer&, int64_t iBytesReceived, int64_t iSize, int64_t iElapsedTime)>;
using HttpCallbackEnd = std::function<int(HTTPTransfer&, int iRetVal, int64_t iBytesReceived, int64_t iSize,
                                          int64_t iElapsedTime)>;

// The transfer record. A value-initialised record ({}) is the cleared record;
// the engine applies the defaults of zero fields itself.
struct HTTPTransfer {
  std::string URL;
  std::string Referer;
  int iDestination = 0;
  int iBufferSize = 0;  // bytes per read; 0 (or negative) = automatic
  std::string Agent;
  int iPort = 0;        // 0 = the port written in the URL, else the scheme's default
  int iAccessType = 0;  // 0 system proxy configuration, 1 direct, 3 ProxyAndPort
  int iFlags = 0;
  std::string FullFileName;
  int64_t iSize = 0;
  std::string ProxyAndPort;
  std::string ProxyUser;
  std::string ProxyPassword;
  int64_t iTotBytesRead = 0;
  int iResumeAttemptsNumber = 0;
  int iResumeMaxAttemptsNumber = 0;
  int iStatusCode = 0;
  std::vector<unsigned char> Buffer;  // memory mode: the body; owned by the caller
  HttpCallbackStart CallbackStart;
  HttpCallbackWorking CallbackWorking;
  HttpCallbackEnd CallbackEnd;
  int iHTTPRetVal = 0;
  // Extra certificate-authority file trusted for https (besides the system's); "" = none.
  std::string CAFile;
  // Header lines of the last final response (status line first), also of one
  // whose status was refused (a 403 tells its reason in headers).
  std::vector<std::string> ResponseHeaders;

  // Set while a transfer runs on this record; a second transfer on it is refused.
  struct BusyFlag {
    std::atomic<bool> v{false};
    BusyFlag() = default;
    BusyFlag(const BusyFlag&) {}
    BusyFlag& operator=(const BusyFlag&) { return *this; }
  } busy;
};

// Performs the transfer the record describes; returns the result code, which
// is also stored in iHTTPRetVal. Blocks the calling thread.
int HTTPGetFromWeb(HTTPTransfer& t);

// Tunables of the engine (process-wide; tests shorten the timeouts).
struct HttpEngineOptions {
  int connectTimeoutMs = 30000;
  // A transfer whose rate stays below lowSpeedLimit bytes/s for lowSpeedTimeS
  // seconds counts as a failed read (and is resumed in file mode).
  int lowSpeedLimit = 1;
  int lowSpeedTimeS = 120;
  int maxRedirects = 10;
  // Most bytes a body kept in memory (lists, catalogs, release pages) may
  // have: a larger or endless one ends the transfer with WEB_OUT_OF_MEMORY.
  int64_t memoryBodyMax = 256ll << 20;
  // Certificate-authority file trusted besides the system's, for every transfer
  // (empty: the one FLASHKEEL_CA_FILE names, if any).
  std::string caFile;
};
HttpEngineOptions GetHttpEngineOptions();
void SetHttpEngineOptions(const HttpEngineOptions& o);

// Most resume attempts the download callers put into iResumeMaxAttemptsNumber
// (the settings value; 9999 until the settings set it).
int ResumeMaxAttemptsSetting();
void SetResumeMaxAttemptsSetting(int value);

// The one process-wide transfer record. Holding the guard gives exclusive use:
// a second thread waits in LockHTTPRecord (or gets nullopt from the try form)
// until the first has read its results and dropped the guard.
class HTTPRecordGuard {
 public:
  HTTPTransfer& operator*() const { return *rec_; }
  HTTPTransfer* operator->() const { return rec_; }

 private:
  friend HTTPRecordGuard LockHTTPRecord();
  friend std::optional<HTTPRecordGuard> TryLockHTTPRecord();
  HTTPRecordGuard(std::unique_lock<std::mutex> l, HTTPTransfer* r) : lock_(std::move(l)), rec_(r) {}
  std::unique_lock<std::mutex> lock_;
  HTTPTransfer* rec_;
};
HTTPRecordGuard LockHTTPRecord();
std::optional<HTTPRecordGuard> TryLockHTTPRecord();

// URL splitting; each returns 1, or 6 with its out-strings set to "".
int GetURLProtocol(const std::string& url, std::string& protocol);
int GetURLDomain(const std::string& url, std::string& domain);
int GetURLPath(const std::string& url, std::string& path);
int GetURLUserPassword(const std::string& url, std::string& user, std::string& password);

// The standard callbacks: progress-bar texts and log lines.
int MyCallStart(HTTPTransfer& t, const HttpRequestHandle& request);
int MyCallWorking(HTTPTransfer& t, int64_t iBytesReceived, int64_t iSize, int64_t iElapsedTime);
int MyCallEnd(HTTPTransfer& t, int iRetVal, int64_t iBytesReceived, int64_t iSize, int64_t iElapsedTime);

// Sets t up as the download workers fetch a file: cleared, destination file
// fullFileName, read blocks of blockSize, resumes up to the settings' count, the
// standard callbacks.
void SetUpFileDownload(HTTPTransfer& t, const std::string& url, const std::string& fullFileName, int blockSize);

// The message MyCallEnd shows for a result code.
std::string HttpResultMessage(int code, const HTTPTransfer& t);

// "Error: " + the message text of the error number; shown in an "Error" box when show != 0.
std::string GetInternetErrorText(int errorNumber, int show);

}  // namespace fk

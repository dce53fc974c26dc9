// Inside the HTTP download engine: the engine object shared by its source
// files (the request side in Http.cpp, the body side in HttpBody.cpp).
#pragma once

#include <curl/curl.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <new>
#include <string>

#include "app/Log.h"
#include "net/Http.h"
#include "platform/UniqueFd.h"

namespace fk::httpengine {

inline constexpr const char* kP = "> -> HTTPGetFromWeb: ";

struct CurlDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistDeleter {
  void operator()(curl_slist* s) const { curl_slist_free_all(s); }
};


// Parses "bytes 3145728-67108863/67108864"; total is -1 for "/*".
bool ParseContentRange(const std::string& value, int64_t& start, int64_t& last, int64_t& total);
// The user or exit asked to stop the operation this transfer runs in.
bool CancelSeen();

class Engine {
 public:
  explicit Engine(HTTPTransfer& t) : t_(t) {}
  int Run();
  // After an exception: ends the transfer with code (out of memory, or aborted).
  int Abandon(int code);

 private:
  HTTPTransfer& t_;
  HttpEngineOptions opt_;
  std::string protocol_, domain_, path_, user_, password_, curlUrl_;
  int64_t startMs_ = 0;
  std::unique_ptr<CURL, CurlDeleter> curl_;
  std::unique_ptr<curl_slist, SlistDeleter> headers_;
  UniqueFd file_;
  std::string tempName_;  // file mode: the file being written, until it is renamed
  size_t pending_ = 0;    // bytes of the current read not yet reported
  int64_t received_ = 0;
  size_t readSize_ = 0;
  bool credentialsTried_ = false;
  bool ended_ = false;
  bool ownsRecord_ = false;  // this call holds the record's busy flag
  bool restarted_ = false;   // the body was already restarted from byte 0 once
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
  bool CreateTempFile();
  bool WriteOut(const char* data, size_t n);
  bool FirstAnswer();
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
  static int ProgressThunk(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    // A stalled server does not delay a cancel until the next read; the
    // operation's cancel (also exit's) stops every transfer it runs.
    return CancelSeen() ? 1 : 0;
  }
};

}  // namespace fk::httpengine

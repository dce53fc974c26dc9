// A small HTTP/1.1 server on 127.0.0.1 for the tests: serves generated bodies,
// honours Range, and misbehaves on request (drops, short bodies, trickling,
// 404, basic authentication). The same class runs as a plain forward proxy,
// and either mode can speak TLS with a certificate the test made.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fk::test {

struct HttpResource {
  int64_t size = 0;
  // Writes body bytes [offset, offset + n) to dst.
  std::function<void(int64_t offset, char* dst, size_t n)> fill;
  int status = 200;                 // anything but 200 is answered with a short text body
  bool ignoreRange = false;         // answer 200 with the whole body even to a Range request
  int64_t dropAfter = 0;            // reset the connection after this many body bytes of one answer
  int dropTimes = -1;               // how many answers drop (-1 = all)
  bool dropClean = false;           // a drop closes the connection cleanly instead of resetting it
  bool noContentLength = false;     // no Content-Length; the body ends when the connection closes
  bool chunked = false;             // chunked transfer coding (shortBy: the last chunks are missing)
  std::string trailer;              // chunked: header lines ("Name: value\r\n") after the last chunk
  // The whole body arrives, then the connection fails before the answer's end
  // (chunked coding that also announces Content-Length, no last chunk, reset).
  bool lateError = false;
  int64_t shortBy = 0;              // announce the full length, send this many bytes less, close cleanly
  size_t trickleChunk = 0;          // with trickleDelayMs: send this many bytes ...
  int trickleDelayMs = 0;           // ... then wait this long
  std::string basicAuth;            // "user:password" required, else 401
  std::string contentType = "application/octet-stream";
  std::string badContentRange;      // answer Range requests with 206 and this Content-Range instead
  std::string redirectTo;           // answer 302 with this Location
  std::string etag;                 // sent as ETag; a Range with a different If-Range gets the whole body
  std::string extraHeaders;         // further header lines of every answer, each ending in "\r\n"
};

struct HttpRequestRecord {
  std::string method, target;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string Header(const std::string& lowerName) const {
    auto it = headers.find(lowerName);
    return it == headers.end() ? std::string() : it->second;
  }
};

class HttpTestServer {
 public:
  enum class Mode { Origin, Proxy };
  // Starts listening on 127.0.0.1 at an ephemeral port. With certFile and
  // keyFile given, every connection is TLS.
  explicit HttpTestServer(Mode mode = Mode::Origin, const std::string& certFile = "",
                          const std::string& keyFile = "");
  ~HttpTestServer();
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>" + path (https with TLS).
  std::string Url(const std::string& path) const;
  void Add(const std::string& path, HttpResource r);
  // Proxy mode: demand "user:password" in Proxy-Authorization.
  void SetProxyAuth(const std::string& userPassword);
  std::vector<HttpRequestRecord> Requests() const;

  // Bodies: the given bytes, or a deterministic pattern of any size.
  static HttpResource Bytes(const std::string& data);
  static HttpResource Pattern(int64_t size);
  static void PatternFill(int64_t offset, char* dst, size_t n);
  static std::string PatternBytes(int64_t offset, size_t n);

 private:
  struct Conn;
  void AcceptLoop();
  void Serve(int fd);
  void ServeOrigin(Conn& c, const HttpRequestRecord& req);
  void ServeProxy(Conn& c, const HttpRequestRecord& req);

  Mode mode_;
  int listenFd_ = -1;
  int port_ = 0;
  void* sslCtx_ = nullptr;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::map<std::string, HttpResource> resources_;
  std::map<std::string, int> drops_;
  std::vector<HttpRequestRecord> requests_;
  std::vector<int> openFds_;
  std::string proxyAuth_;
  std::vector<std::thread> workers_;
  std::thread acceptThread_;
};

std::string Base64(const std::string& in);

}  // namespace fk::test

#include "tests/support/HttpTestServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <linux/sockios.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace fk::test {

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

void SetTimeouts(int fd, int seconds) {
  timeval tv{seconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

uint64_t Mix(uint64_t w) {
  uint64_t x = (w + 1) * 0x9E3779B97F4A7C15ull;
  x ^= x >> 29;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 32;
  return x;
}

}  // namespace

std::string Base64(const std::string& in) {
  static const char* tbl = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    const unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
    out += {tbl[v >> 18], tbl[(v >> 12) & 63], tbl[(v >> 6) & 63], tbl[v & 63]};
  }
  if (i + 1 == in.size()) {
    const unsigned v = (unsigned char)in[i] << 16;
    out += {tbl[v >> 18], tbl[(v >> 12) & 63], '=', '='};
  } else if (i + 2 == in.size()) {
    const unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8;
    out += {tbl[v >> 18], tbl[(v >> 12) & 63], tbl[(v >> 6) & 63], '='};
  }
  return out;
}

// One accepted connection, plain or TLS.
struct HttpTestServer::Conn {
  int fd = -1;
  SSL* ssl = nullptr;
  ~Conn() {
    if (ssl) SSL_free(ssl);
  }
  ssize_t Read(char* buf, size_t n) {
    if (ssl) {
      const int r = SSL_read(ssl, buf, static_cast<int>(n));
      return r > 0 ? r : -1;
    }
    for (;;) {
      const ssize_t r = ::recv(fd, buf, n, 0);
      if (r < 0 && errno == EINTR) continue;
      return r;
    }
  }
  bool Write(const char* buf, size_t n) {
    while (n > 0) {
      ssize_t w;
      if (ssl) {
        const int r = SSL_write(ssl, buf, static_cast<int>(std::min<size_t>(n, 1 << 20)));
        w = r > 0 ? r : -1;
      } else {
        w = ::send(fd, buf, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
      }
      if (w <= 0) return false;
      buf += w;
      n -= static_cast<size_t>(w);
    }
    return true;
  }
  bool Write(const std::string& s) { return Write(s.data(), s.size()); }
  // Waits (bounded) until the peer has acknowledged everything sent, then
  // resets the connection, so the peer holds exactly what was sent.
  void Reset() {
    for (int i = 0; i < 5000; ++i) {
      int queued = 0;
      if (::ioctl(fd, SIOCOUTQ, &queued) != 0 || queued == 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }
  void CloseClean() {
    if (ssl) SSL_shutdown(ssl);
    ::shutdown(fd, SHUT_WR);
  }
};

HttpTestServer::HttpTestServer(Mode mode, const std::string& certFile, const std::string& keyFile) : mode_(mode) {
  if (!certFile.empty()) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx || SSL_CTX_use_certificate_chain_file(ctx, certFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
      if (ctx) SSL_CTX_free(ctx);
      throw std::runtime_error("test server: cannot load the TLS certificate");
    }
    sslCtx_ = ctx;
    // SSL_write to a client that has dropped the connection (a cancelled
    // download) would raise SIGPIPE; plain writes use MSG_NOSIGNAL instead.
    ::signal(SIGPIPE, SIG_IGN);
  }
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listenFd_, 16) != 0)
    throw std::runtime_error("test server: cannot listen");
  socklen_t len = sizeof a;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  acceptThread_ = std::thread([this] { AcceptLoop(); });
}

HttpTestServer::~HttpTestServer() {
  stop_ = true;
  if (acceptThread_.joinable()) acceptThread_.join();
  {
    std::lock_guard lock(mutex_);
    for (int fd : openFds_) ::shutdown(fd, SHUT_RDWR);
  }
  for (auto& t : workers_)
    if (t.joinable()) t.join();
  ::close(listenFd_);
  if (sslCtx_) SSL_CTX_free(static_cast<SSL_CTX*>(sslCtx_));
}

std::string HttpTestServer::Url(const std::string& path) const {
  return std::string(sslCtx_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
}

void HttpTestServer::Add(const std::string& path, HttpResource r) {
  std::lock_guard lock(mutex_);
  resources_[path] = std::move(r);
}

void HttpTestServer::SetProxyAuth(const std::string& userPassword) {
  std::lock_guard lock(mutex_);
  proxyAuth_ = userPassword;
}

std::vector<HttpRequestRecord> HttpTestServer::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void HttpTestServer::PatternFill(int64_t offset, char* dst, size_t n) {
  for (size_t i = 0; i < n;) {
    const uint64_t pos = static_cast<uint64_t>(offset) + i;
    const uint64_t x = Mix(pos / 8);
    for (uint64_t b = pos % 8; b < 8 && i < n; ++b, ++i) dst[i] = static_cast<char>(x >> (8 * b));
  }
}

std::string HttpTestServer::PatternBytes(int64_t offset, size_t n) {
  std::string s(n, '\0');
  PatternFill(offset, s.data(), n);
  return s;
}

HttpResource HttpTestServer::Pattern(int64_t size) {
  HttpResource r;
  r.size = size;
  r.fill = &HttpTestServer::PatternFill;
  return r;
}

HttpResource HttpTestServer::Bytes(const std::string& data) {
  HttpResource r;
  r.size = static_cast<int64_t>(data.size());
  auto shared = std::make_shared<std::string>(data);
  r.fill = [shared](int64_t off, char* dst, size_t n) { std::memcpy(dst, shared->data() + off, n); };
  return r;
}

void HttpTestServer::AcceptLoop() {
  while (!stop_) {
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    SetTimeouts(fd, 20);
    std::lock_guard lock(mutex_);
    openFds_.push_back(fd);
    workers_.emplace_back([this, fd] { Serve(fd); });
  }
}

void HttpTestServer::Serve(int fd) {
  {
    Conn c;
    c.fd = fd;
    bool ok = true;
    if (sslCtx_) {
      c.ssl = SSL_new(static_cast<SSL_CTX*>(sslCtx_));
      SSL_set_fd(c.ssl, fd);
      ok = SSL_accept(c.ssl) == 1;
    }
    std::string head;
    char buf[4096];
    while (ok && head.find("\r\n\r\n") == std::string::npos && head.size() < 65536 && !stop_) {
      const ssize_t r = c.Read(buf, sizeof buf);
      if (r <= 0) {
        ok = false;
        break;
      }
      head.append(buf, static_cast<size_t>(r));
    }
    if (ok && head.find("\r\n\r\n") != std::string::npos) {
      HttpRequestRecord req;
      size_t pos = head.find("\r\n");
      const std::string first = head.substr(0, pos);
      const size_t sp1 = first.find(' '), sp2 = first.rfind(' ');
      req.method = first.substr(0, sp1);
      req.target = first.substr(sp1 + 1, sp2 - sp1 - 1);
      for (;;) {
        const size_t next = head.find("\r\n", pos + 2);
        if (next == std::string::npos || next == pos + 2) break;
        const std::string line = head.substr(pos + 2, next - pos - 2);
        const size_t colon = line.find(':');
        if (colon != std::string::npos) {
          size_t v = colon + 1;
          while (v < line.size() && line[v] == ' ') ++v;
          req.headers[Lower(line.substr(0, colon))] = line.substr(v);
        }
        pos = next;
      }
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(req);
      }
      if (mode_ == Mode::Proxy)
        ServeProxy(c, req);
      else
        ServeOrigin(c, req);
    }
  }
  std::lock_guard lock(mutex_);
  openFds_.erase(std::remove(openFds_.begin(), openFds_.end(), fd), openFds_.end());
  ::close(fd);
}

void HttpTestServer::ServeOrigin(Conn& c, const HttpRequestRecord& req) {
  std::string path = req.target;
  if (const size_t q = path.find('?'); q != std::string::npos) path.resize(q);
  HttpResource r;
  bool drop = false;
  {
    std::lock_guard lock(mutex_);
    auto it = resources_.find(path);
    if (it == resources_.end()) {
      r.status = 404;
    } else {
      r = it->second;
    }
  }
  auto simple = [&](int status, const std::string& reason, const std::string& extra) {
    const std::string body = reason + "\n";
    c.Write("HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n" + extra + r.extraHeaders +
            "Content-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\nConnection: close\r\n\r\n" + body);
    c.CloseClean();
  };
  if (!r.basicAuth.empty() && req.Header("authorization") != "Basic " + Base64(r.basicAuth))
    return simple(401, "Unauthorized", "WWW-Authenticate: Basic realm=\"test\"\r\n");
  if (!r.redirectTo.empty()) return simple(302, "Found", "Location: " + r.redirectTo + "\r\n");
  if (r.status != 200) return simple(r.status, r.status == 404 ? "Not Found" : "Error", "");

  if (r.dropAfter > 0) {  // only answers that carry the body count as drops
    std::lock_guard lock(mutex_);
    int& done = drops_[path];
    drop = r.dropTimes < 0 || done < r.dropTimes;
    if (drop) ++done;
  }
  int64_t start = 0, end = r.size - 1;
  std::string status = "200 OK", extra;
  const std::string range = req.Header("range");
  const std::string ifRange = req.Header("if-range");
  const bool rangeValid = ifRange.empty() || ifRange == r.etag;
  if (!range.empty() && !r.ignoreRange && rangeValid && range.rfind("bytes=", 0) == 0) {
    const size_t dash = range.find('-');
    start = std::stoll(range.substr(6, dash - 6));
    if (dash + 1 < range.size()) end = std::min<int64_t>(end, std::stoll(range.substr(dash + 1)));
    if (start > end) return simple(416, "Range Not Satisfiable", "");
    status = "206 Partial Content";
    extra = "Content-Range: " + (r.badContentRange.empty() ? "bytes " + std::to_string(start) + "-" +
                                                                  std::to_string(end) + "/" + std::to_string(r.size)
                                                            : r.badContentRange) +
            "\r\n";
  }
  const int64_t length = end - start + 1;
  std::string headers = "HTTP/1.1 " + status + "\r\nContent-Type: " + r.contentType + "\r\n" + extra;
  if (!r.etag.empty()) headers += "ETag: " + r.etag + "\r\n";
  headers += r.extraHeaders;
  if (r.lateError) r.chunked = true;
  if (r.lateError)
    headers += "Transfer-Encoding: chunked\r\nContent-Length: " + std::to_string(length) + "\r\n";
  else if (r.chunked)
    headers += "Transfer-Encoding: chunked\r\n";
  else if (!r.noContentLength)
    headers += "Content-Length: " + std::to_string(length) + "\r\n";
  headers += "Connection: close\r\n\r\n";
  if (!c.Write(headers)) return;

  int64_t toSend = length - std::min(r.shortBy, length);
  if (drop) toSend = std::min(toSend, r.dropAfter);
  std::vector<char> buf(256 * 1024);
  const size_t chunk = r.trickleChunk ? std::min(r.trickleChunk, buf.size()) : buf.size();
  for (int64_t sent = 0; sent < toSend && !stop_;) {
    const size_t n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(chunk), toSend - sent));
    r.fill(start + sent, buf.data(), n);
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", n);
    if (r.chunked && !c.Write(size)) return;
    if (!c.Write(buf.data(), n) || (r.chunked && !c.Write("\r\n"))) return;
    sent += static_cast<int64_t>(n);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(r.trickleDelayMs);
    while (!stop_ && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if ((drop && toSend < length && !r.dropClean) || r.lateError) {
    c.Reset();
    return;
  }
  if (r.chunked && toSend == length) c.Write("0\r\n" + r.trailer + "\r\n");
  c.CloseClean();
}

void HttpTestServer::ServeProxy(Conn& c, const HttpRequestRecord& req) {
  std::string auth;
  {
    std::lock_guard lock(mutex_);
    auth = proxyAuth_;
  }
  auto refuse = [&](const std::string& status, const std::string& extra) {
    c.Write("HTTP/1.1 " + status + "\r\n" + extra + "Content-Length: 0\r\nConnection: close\r\n\r\n");
    c.CloseClean();
  };
  if (!auth.empty() && req.Header("proxy-authorization") != "Basic " + Base64(auth))
    return refuse("407 Proxy Authentication Required", "Proxy-Authenticate: Basic realm=\"proxy\"\r\n");
  // Only absolute http URLs to the loopback interface are forwarded.
  const std::string prefix = "http://127.0.0.1:";
  if (req.target.rfind(prefix, 0) != 0) return refuse("403 Forbidden", "");
  const size_t slash = req.target.find('/', prefix.size());
  const int port = std::stoi(req.target.substr(prefix.size(), slash - prefix.size()));
  const std::string path = slash == std::string::npos ? "/" : req.target.substr(slash);

  const int up = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  SetTimeouts(up, 20);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(up, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(up);
    return refuse("502 Bad Gateway", "");
  }
  std::string out = req.method + " " + path + " HTTP/1.1\r\n";
  for (const auto& [k, v] : req.headers)
    if (k.rfind("proxy-", 0) != 0 && k != "connection") out += k + ": " + v + "\r\n";
  out += "Connection: close\r\n\r\n";
  Conn upc;
  upc.fd = up;
  if (upc.Write(out)) {
    char buf[65536];
    for (ssize_t n; !stop_ && (n = upc.Read(buf, sizeof buf)) > 0;)
      if (!c.Write(buf, static_cast<size_t>(n))) break;
  }
  ::close(up);
  c.CloseClean();
}

}  // namespace fk::test

// Downloads 1 GiB from a loopback server once with the engine and once with the
// curl command, and prints both rates and their ratio.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "net/Http.h"
#include "platform/Process.h"

namespace {

constexpr int64_t kSize = 1LL << 30;

// Answers every request with kSize bytes and closes the connection.
class LoopbackServer {
 public:
  LoopbackServer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 4);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Loop(); });
  }
  ~LoopbackServer() {
    stop_ = true;
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
  }
  int port() const { return port_; }

 private:
  void Loop() {
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 131 + (i >> 12));
    while (!stop_) {
      const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      char buf[8192];
      std::string head;
      while (head.find("\r\n\r\n") == std::string::npos) {
        const ssize_t r = ::recv(c, buf, sizeof buf, 0);
        if (r <= 0) break;
        head.append(buf, static_cast<size_t>(r));
      }
      const std::string h = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kSize) +
                            "\r\nContent-Type: application/octet-stream\r\nConnection: close\r\n\r\n";
      bool ok = ::send(c, h.data(), h.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(h.size());
      for (int64_t sent = 0; ok && sent < kSize;) {
        const ssize_t w = ::send(c, block.data(), block.size(), MSG_NOSIGNAL);
        ok = w > 0;
        if (ok) sent += w;
      }
      ::close(c);
    }
  }
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

double Seconds(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main() {
  // tmpfs keeps the disk out of the comparison when it is there.
  const char* tmp = std::getenv("TMPDIR");
  const std::string dir = std::filesystem::exists("/dev/shm") ? "/dev/shm/" : std::string(tmp && *tmp ? tmp : "/tmp") + "/";
  const std::string target = dir + "fk_bench_http.bin";
  LoopbackServer server;
  const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/1GiB.bin";

  fk::HTTPTransfer t;
  t.URL = url;
  t.iDestination = fk::DEST_FILE;
  t.FullFileName = target;
  t.iBufferSize = 1 << 20;
  t.iAccessType = 1;
  auto t0 = std::chrono::steady_clock::now();
  const int rc = fk::HTTPGetFromWeb(t);
  const double engineS = Seconds(t0);
  std::filesystem::remove(target);
  if (rc != fk::WEB_OK || t.iTotBytesRead != kSize) {
    std::fprintf(stderr, "engine download failed: code %d, %lld bytes\n", rc, static_cast<long long>(t.iTotBytesRead));
    return 1;
  }

  fk::ProcessRequest req;
  req.argv = {"curl", "-s", "-S", "--noproxy", "*", "-o", target, url};
  req.timeoutMs = 600000;
  t0 = std::chrono::steady_clock::now();
  const fk::ProcessResult pr = fk::RunProcess(req);
  const double curlS = Seconds(t0);
  const bool curlOk = pr.started && pr.exitCode == 0 && std::filesystem::file_size(target) == kSize;
  std::filesystem::remove(target);
  if (!curlOk) {
    std::fprintf(stderr, "curl command failed: %s\n", pr.output.c_str());
    return 1;
  }

  const double mib = static_cast<double>(kSize) / (1 << 20);
  std::printf("engine: %.2f s, %.1f MiB/s\n", engineS, mib / engineS);
  std::printf("curl:   %.2f s, %.1f MiB/s\n", curlS, mib / curlS);
  std::printf("throughput ratio engine/curl: %.2f\n", curlS / engineS);
  return 0;
}

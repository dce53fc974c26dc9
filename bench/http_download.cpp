// Downloads 1 GiB from a loopback server with the engine and with the curl
// command, three times each taking turns, and prints the best rates, their
// ratio, the processor time of each and the peak memory while the engine runs.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <algorithm>
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

double CpuSeconds(int who) {
  rusage ru{};
  ::getrusage(who, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// The process's peak resident memory in KiB (VmHWM), and its reset.
long PeakKiB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}
void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

struct Result {
  double seconds = 0, cpu = 0;
};

bool Engine(const std::string& url, const std::string& target, Result* r, long* peakKiB) {
  fk::HTTPTransfer t;
  t.URL = url;
  t.iDestination = fk::DEST_FILE;
  t.FullFileName = target;
  t.iBufferSize = 1 << 20;
  t.iAccessType = 1;
  ResetPeak();
  const double cpu0 = CpuSeconds(RUSAGE_THREAD);
  const auto t0 = std::chrono::steady_clock::now();
  const int rc = fk::HTTPGetFromWeb(t);
  r->seconds = Seconds(t0);
  r->cpu = CpuSeconds(RUSAGE_THREAD) - cpu0;
  *peakKiB = std::max(*peakKiB, PeakKiB());
  std::filesystem::remove(target);
  if (rc == fk::WEB_OK && t.iTotBytesRead == kSize) return true;
  std::fprintf(stderr, "engine download failed: code %d, %lld bytes\n", rc, static_cast<long long>(t.iTotBytesRead));
  return false;
}

bool Curl(const std::string& url, const std::string& target, Result* r) {
  fk::ProcessRequest req;
  req.argv = {"curl", "-s", "-S", "--noproxy", "*", "-o", target, url};
  req.timeoutMs = 600000;
  const double cpu0 = CpuSeconds(RUSAGE_CHILDREN);
  const auto t0 = std::chrono::steady_clock::now();
  const fk::ProcessResult pr = fk::RunProcess(req);
  r->seconds = Seconds(t0);
  r->cpu = CpuSeconds(RUSAGE_CHILDREN) - cpu0;
  std::error_code ec;
  const bool ok = pr.started && pr.exitCode == 0 && std::filesystem::file_size(target, ec) == kSize;
  std::filesystem::remove(target, ec);
  if (!ok) std::fprintf(stderr, "curl command failed: %s\n", pr.output.c_str());
  return ok;
}

}  // namespace

int main() {
  // tmpfs keeps the disk out of the comparison when it is there.
  const char* tmp = std::getenv("TMPDIR");
  const std::string dir = std::filesystem::exists("/dev/shm") ? "/dev/shm/" : std::string(tmp && *tmp ? tmp : "/tmp") + "/";
  const std::string target = dir + "fk_bench_http.bin";
  LoopbackServer server;
  const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/1GiB.bin";

  // Three rounds taking turns; the best time of each side counts (the machine
  // is shared), and the processor time shows the work each side does.
  Result bestEngine{1e9, 1e9}, bestCurl{1e9, 1e9};
  long peakKiB = 0;
  for (int round = 1; round <= 3; ++round) {
    Result e, c;
    if (!Engine(url, target, &e, &peakKiB) || !Curl(url, target, &c)) return 1;
    std::printf("round %d: engine %.2f s (cpu %.2f s), curl %.2f s (cpu %.2f s)\n", round, e.seconds, e.cpu, c.seconds,
                c.cpu);
    bestEngine = {std::min(bestEngine.seconds, e.seconds), std::min(bestEngine.cpu, e.cpu)};
    bestCurl = {std::min(bestCurl.seconds, c.seconds), std::min(bestCurl.cpu, c.cpu)};
  }
  const double mib = static_cast<double>(kSize) / (1 << 20);
  std::printf("engine: %.2f s, %.1f MiB/s\n", bestEngine.seconds, mib / bestEngine.seconds);
  std::printf("curl:   %.2f s, %.1f MiB/s\n", bestCurl.seconds, mib / bestCurl.seconds);
  std::printf("throughput ratio engine/curl: %.2f (best of 3 each; processor time engine/curl %.2f)\n",
              bestCurl.seconds / bestEngine.seconds, bestEngine.cpu / bestCurl.cpu);
  std::printf("peak memory of the process during the engine's downloads: %.1f MiB (server block included)\n",
              static_cast<double>(peakKiB) / 1024);
  return 0;
}

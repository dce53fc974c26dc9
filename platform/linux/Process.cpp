#include "platform/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>

extern char** environ;

namespace fk {

namespace {

struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  void reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

bool IsExecutable(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string FindProgram(const std::string& name) {
  if (name.empty()) return {};
  if (name.find('/') != std::string::npos) return IsExecutable(name) ? name : std::string();
  const char* path = std::getenv("PATH");
  std::string p = path ? path : "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
  // Tools such as mkfs.* live in sbin, which a plain user's PATH may lack.
  p += ":/usr/sbin:/sbin";
  size_t start = 0;
  while (start <= p.size()) {
    size_t end = p.find(':', start);
    if (end == std::string::npos) end = p.size();
    std::string dir = p.substr(start, end - start);
    if (dir.empty()) dir = ".";
    std::string full = dir + "/" + name;
    if (IsExecutable(full)) return full;
    start = end + 1;
  }
  return {};
}

ProcessResult RunProcess(const ProcessRequest& req) {
  ProcessResult res;
  if (req.argv.empty()) {
    res.errorText = "no program given";
    return res;
  }
  std::string exe = FindProgram(req.argv[0]);
  if (exe.empty()) {
    res.errorText = "program not found: " + req.argv[0];
    return res;
  }

  int outPipe[2], inPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0) {
    res.errorText = std::strerror(errno);
    return res;
  }
  Fd outR(outPipe[0]), outW(outPipe[1]);
  if (::pipe2(inPipe, O_CLOEXEC) != 0) {
    res.errorText = std::strerror(errno);
    return res;
  }
  Fd inR(inPipe[0]), inW(inPipe[1]);

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, inR.fd, 0);
  posix_spawn_file_actions_adddup2(&fa, outW.fd, 1);
  if (req.mergeStderr) {
    posix_spawn_file_actions_adddup2(&fa, outW.fd, 2);
  }
  if (!req.workDir.empty()) posix_spawn_file_actions_addchdir_np(&fa, req.workDir.c_str());

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // Own process group, so that a cancel also reaches the program's children.
  posix_spawnattr_setpgroup(&attr, 0);
  sigset_t def;
  sigemptyset(&def);
  sigaddset(&def, SIGPIPE);
  sigaddset(&def, SIGINT);
  sigaddset(&def, SIGTERM);
  posix_spawnattr_setsigdefault(&attr, &def);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  // Environment: ours plus the extras (extras win).
  std::map<std::string, std::string> env;
  for (char** e = environ; e && *e; ++e) {
    std::string kv = *e;
    auto eq = kv.find('=');
    if (eq != std::string::npos) env[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  for (auto& [k, v] : req.extraEnv) env[k] = v;
  std::vector<std::string> envStore;
  envStore.reserve(env.size());
  for (auto& [k, v] : env) envStore.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& s : envStore) envp.push_back(s.data());
  envp.push_back(nullptr);

  std::vector<std::string> argStore = req.argv;
  std::vector<char*> argv;
  for (auto& s : argStore) argv.push_back(s.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, exe.c_str(), &fa, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    res.errorText = std::strerror(rc);
    return res;
  }
  res.started = true;
  outW.reset();
  inR.reset();

  // Feed stdin (small inputs only; larger ones would need polling for POLLOUT).
  if (!req.stdinData.empty()) {
    const char* p = req.stdinData.data();
    size_t left = req.stdinData.size();
    struct sigaction ign {}, old {};
    ign.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ign, &old);
    while (left > 0) {
      ssize_t n = ::write(inW.fd, p, left);
      if (n < 0) {
        if (errno == EINTR) continue;
        break;
      }
      p += n;
      left -= static_cast<size_t>(n);
    }
    ::sigaction(SIGPIPE, &old, nullptr);
  }
  inW.reset();

  auto start = std::chrono::steady_clock::now();
  std::string pending;
  bool killed = false;
  auto killGroup = [&](int sig) { ::kill(-pid, sig); };
  char buf[4096];
  for (;;) {
    pollfd pfd{outR.fd, POLLIN, 0};
    int pr = ::poll(&pfd, 1, 50);
    if (pr > 0) {
      ssize_t n = ::read(outR.fd, buf, sizeof buf);
      if (n > 0) {
        res.output.append(buf, static_cast<size_t>(n));
        if (req.onLine) {
          pending.append(buf, static_cast<size_t>(n));
          size_t nl;
          while ((nl = pending.find_first_of("\r\n")) != std::string::npos) {
            std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            if (!line.empty()) req.onLine(line);
          }
        }
        continue;
      }
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) break;  // EOF
    } else if (pr == 0 && pid > 0) {
      // A daemon started by the program (a FUSE mount, say) may keep the pipe
      // open after the program itself has ended: stop once it has exited and
      // the pipe is quiet.
      int st;
      if (::waitpid(pid, &st, WNOHANG) == pid) {
        res.exitCode = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        pid = -pid;
        int fl = ::fcntl(outR.fd, F_GETFL);
        ::fcntl(outR.fd, F_SETFL, fl | O_NONBLOCK);
        ssize_t n;
        while ((n = ::read(outR.fd, buf, sizeof buf)) > 0) {
          res.output.append(buf, static_cast<size_t>(n));
          if (req.onLine) pending.append(buf, static_cast<size_t>(n));
        }
        if (req.onLine) {
          size_t nl;
          while ((nl = pending.find_first_of("\r\n")) != std::string::npos) {
            std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            if (!line.empty()) req.onLine(line);
          }
        }
        break;
      }
    }
    if (!killed) {
      if (req.cancel && req.cancel()) {
        res.cancelled = true;
        killed = true;
      } else if (req.timeoutMs > 0 &&
                 std::chrono::steady_clock::now() - start > std::chrono::milliseconds(req.timeoutMs)) {
        res.timedOut = true;
        killed = true;
      }
      if (killed) {
        killGroup(SIGTERM);
        // Give it a moment, then make sure.
        for (int i = 0; i < 20; ++i) {
          int st;
          if (::waitpid(pid, &st, WNOHANG) == pid) {
            res.exitCode = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            pid = -pid;  // reaped
            break;
          }
          ::usleep(25000);
        }
        if (pid > 0) killGroup(SIGKILL);
        else break;
      }
    }
  }
  if (req.onLine && !pending.empty()) req.onLine(pending);
  if (pid > 0) {
    int st = 0;
    while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    res.exitCode = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  }
  return res;
}

}  // namespace fk

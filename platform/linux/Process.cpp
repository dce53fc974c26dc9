#include "platform/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
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
  // SIGPIPE is blocked for this thread only while writing (a program that
  // exits without reading gives EPIPE); changing the process-wide disposition
  // would race with other threads doing the same.
  if (!req.stdinData.empty()) {
    const char* p = req.stdinData.data();
    size_t left = req.stdinData.size();
    sigset_t pipeSet, oldMask;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    sigset_t pendingBefore;
    sigemptyset(&pendingBefore);
    ::sigpending(&pendingBefore);
    const bool hadPending = sigismember(&pendingBefore, SIGPIPE) == 1;
    ::pthread_sigmask(SIG_BLOCK, &pipeSet, &oldMask);
    bool broken = false;
    while (left > 0) {
      ssize_t n = ::write(inW.fd, p, left);
      if (n < 0) {
        if (errno == EINTR) continue;
        broken = errno == EPIPE;
        break;
      }
      p += n;
      left -= static_cast<size_t>(n);
    }
    if (broken && !hadPending) {
      // Take the SIGPIPE this write raised before unblocking it.
      const timespec zero{0, 0};
      while (::sigtimedwait(&pipeSet, nullptr, &zero) < 0 && errno == EINTR) {
      }
    }
    ::pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
  }
  inW.reset();

  auto start = std::chrono::steady_clock::now();
  std::string pending;
  bool killed = false;
  bool outputOpen = true;
  auto killGroup = [&](int sig) { ::kill(-pid, sig); };
  auto setExit = [&](int st) { res.exitCode = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st); };
  // Reaps the program without blocking; true once it has ended. A failed
  // wait (the child was reaped elsewhere) leaves exitCode at -1.
  auto reaped = [&]() {
    int st = 0;
    const pid_t w = ::waitpid(pid, &st, WNOHANG);
    if (w == pid) {
      setExit(st);
      return true;
    }
    return w < 0 && errno != EINTR;
  };
  auto flushLines = [&]() {
    size_t nl;
    while ((nl = pending.find_first_of("\r\n")) != std::string::npos) {
      std::string line = pending.substr(0, nl);
      pending.erase(0, nl + 1);
      if (!line.empty()) req.onLine(line);
    }
  };
  auto take = [&](const char* data, size_t n) {
    res.output.append(data, n);
    if (req.onLine) {
      pending.append(data, n);
      flushLines();
    }
  };
  char buf[4096];
  for (;;) {
    if (outputOpen) {
      pollfd pfd{outR.fd, POLLIN, 0};
      int pr = ::poll(&pfd, 1, 50);
      if (pr > 0) {
        ssize_t n = ::read(outR.fd, buf, sizeof buf);
        if (n > 0) {
          // Falls through to the cancel check: a program that writes
          // without pause must still be stoppable.
          take(buf, static_cast<size_t>(n));
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
          // End of output; the program may still be running.
          outR.reset();
          outputOpen = false;
        }
      } else if (pr == 0) {
        // A daemon started by the program (a FUSE mount, say) may keep the pipe
        // open after the program itself has ended: stop once it has exited and
        // the pipe is quiet.
        if (reaped()) {
          int fl = ::fcntl(outR.fd, F_GETFL);
          ::fcntl(outR.fd, F_SETFL, fl | O_NONBLOCK);
          ssize_t n;
          while ((n = ::read(outR.fd, buf, sizeof buf)) > 0) take(buf, static_cast<size_t>(n));
          break;
        }
      }
    } else {
      if (reaped()) break;
      ::usleep(20000);
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
        // Give it a moment, then make sure: children left in the group, or a
        // program that ignores SIGTERM, are killed outright.
        bool gone = false;
        for (int i = 0; i < 20 && !gone; ++i) {
          gone = reaped();
          if (!gone) ::usleep(25000);
        }
        killGroup(SIGKILL);
        if (gone) break;
      }
    }
  }
  if (req.onLine && !pending.empty()) req.onLine(pending);
  return res;
}

}  // namespace fk

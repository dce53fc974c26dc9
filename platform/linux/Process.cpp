#include "platform/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>

#include "platform/UniqueFd.h"

extern char** environ;

namespace fk {

namespace {

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

namespace {
std::atomic<bool> g_stopChildren{false};
static_assert(std::atomic<bool>::is_always_lock_free);
}  // namespace

void StopAllChildren() { g_stopChildren.store(true); }
bool ChildrenStopped() { return g_stopChildren.load(); }

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
  UniqueFd outR(outPipe[0]), outW(outPipe[1]);
  if (::pipe2(inPipe, O_CLOEXEC) != 0) {
    res.errorText = std::strerror(errno);
    return res;
  }
  UniqueFd inR(inPipe[0]), inW(inPipe[1]);

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, inR.get(), 0);
  posix_spawn_file_actions_adddup2(&fa, outW.get(), 1);
  if (req.mergeStderr) {
    posix_spawn_file_actions_adddup2(&fa, outW.get(), 2);
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
  // Readable once the program has ended: its end is seen at once, not at the
  // next poll timeout. Kernels without pidfd fall back to the timeouts.
  const UniqueFd pidFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));

  // Stdin is fed from the same loop that reads the output, so a program that
  // writes much before it reads cannot block both sides. SIGPIPE is blocked
  // for this thread only (a program that exits without reading gives EPIPE);
  // changing the process-wide disposition would race with other threads.
  const char* inData = req.stdinData.data();
  size_t inLeft = req.stdinData.size();
  sigset_t pipeSet, oldMask;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  bool hadPipePending = false;
  bool pipeBroken = false;
  if (inLeft == 0) {
    inW.reset();
  } else {
    ::fcntl(inW.get(), F_SETFL, ::fcntl(inW.get(), F_GETFL) | O_NONBLOCK);
    sigset_t pendingBefore;
    sigemptyset(&pendingBefore);
    ::sigpending(&pendingBefore);
    hadPipePending = sigismember(&pendingBefore, SIGPIPE) == 1;
    ::pthread_sigmask(SIG_BLOCK, &pipeSet, &oldMask);
  }
  auto feed = [&]() {
    while (inLeft > 0) {
      const ssize_t n = ::write(inW.get(), inData, inLeft);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return;
        pipeBroken = errno == EPIPE;
        break;
      }
      inData += n;
      inLeft -= static_cast<size_t>(n);
    }
    inW.reset();  // all written, or the program stopped reading
  };

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
    pollfd pfd[3];
    nfds_t nfds = 0;
    int outIndex = -1, inIndex = -1, pidIndex = -1;
    if (outputOpen) {
      outIndex = static_cast<int>(nfds);
      pfd[nfds++] = pollfd{outR.get(), POLLIN, 0};
    }
    if (inW.get() >= 0) {
      inIndex = static_cast<int>(nfds);
      pfd[nfds++] = pollfd{inW.get(), POLLOUT, 0};
    }
    if (pidFd) {
      pidIndex = static_cast<int>(nfds);
      pfd[nfds++] = pollfd{pidFd.get(), POLLIN, 0};
    }
    const int pr = ::poll(pfd, nfds, outputOpen ? 50 : 20);
    const bool ended = pr > 0 && pidIndex >= 0 && pfd[pidIndex].revents != 0;
    if (pr > 0 && inIndex >= 0 && pfd[inIndex].revents != 0) feed();
    if (pr > 0 && outIndex >= 0 && pfd[outIndex].revents != 0) {
      ssize_t n = ::read(outR.get(), buf, sizeof buf);
      if (n > 0) {
        // Falls through to the cancel check: a program that writes
        // without pause must still be stoppable.
        take(buf, static_cast<size_t>(n));
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        // End of output; the program may still be running.
        outR.reset();
        outputOpen = false;
      }
    } else if (pr == 0 || !outputOpen || ended) {
      // A daemon started by the program (a FUSE mount, say) may keep the pipe
      // open after the program itself has ended: stop once it has exited and
      // the pipe is quiet.
      if (reaped()) {
        if (outputOpen) {
          ::fcntl(outR.get(), F_SETFL, ::fcntl(outR.get(), F_GETFL) | O_NONBLOCK);
          ssize_t n;
          while ((n = ::read(outR.get(), buf, sizeof buf)) > 0) take(buf, static_cast<size_t>(n));
        }
        break;
      }
    }
    if (!killed) {
      if ((req.cancel && req.cancel()) || g_stopChildren.load()) {
        res.cancelled = true;
        killed = true;
      } else if (req.timeoutMs > 0 &&
                 std::chrono::steady_clock::now() - start > std::chrono::milliseconds(req.timeoutMs)) {
        res.timedOut = true;
        killed = true;
      }
      if (killed) {
        inW.reset();
        killGroup(SIGTERM);
        // Give it a moment, then make sure: children left in the group, or a
        // program that ignores SIGTERM, are killed outright.
        bool gone = false;
        for (int i = 0; i < 20 && !gone; ++i) {
          gone = reaped();
          if (gone) break;
          if (pidFd) {
            pollfd p{pidFd.get(), POLLIN, 0};
            ::poll(&p, 1, 25);
          } else {
            ::usleep(25000);
          }
        }
        killGroup(SIGKILL);
        if (gone) break;
      }
    }
  }
  if (!req.stdinData.empty()) {
    inW.reset();
    if (pipeBroken && !hadPipePending) {
      // Take the SIGPIPE the write raised before unblocking it.
      const timespec zero{0, 0};
      while (::sigtimedwait(&pipeSet, nullptr, &zero) < 0 && errno == EINTR) {
      }
    }
    ::pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
  }
  if (req.onLine && !pending.empty()) req.onLine(pending);
  return res;
}

std::string ProcessFailureText(const std::string& tool, const ProcessResult& r) {
  if (!r.started) return tool + " not found (install the package that provides it): " + r.errorText;
  std::string out = r.output;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return tool + " failed with exit code " + std::to_string(r.exitCode) + (out.empty() ? "" : ": " + out);
}

}  // namespace fk

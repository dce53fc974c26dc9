#include "app/ErrorHandler.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>
#include <fcntl.h>

#include <cxxabi.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <string>

#include "app/Log.h"
#include "app/Utilities.h"
#include "platform/Process.h"

extern char** environ;

namespace fk {

namespace {

// Everything the handler touches is prepared in static storage beforehand:
// inside the handler only async-signal-safe calls are made.
constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT};
constexpr size_t kAltStackSize = 128 * 1024;
constexpr int kMaxViewerArgs = 30;

char g_reportDir[1024] = "/tmp/";
char g_reportPath[1200];
long g_utcOffsetSeconds = 0;

char g_viewerStrings[8192];
char* g_viewerArgv[kMaxViewerArgs + 2];
std::atomic<bool> g_viewerSet{false};

std::atomic<long> g_handlingThread{0};

void* g_mainAltStack = nullptr;

// The uncaught exception ("type: text") that the terminate handler found; the
// abort that follows reports it.
char g_exceptionText[1024];
std::atomic<bool> g_exceptionSet{false};

// --- async-signal-safe text building ---------------------------------------

struct Text {
  char buf[8192];
  size_t len = 0;
  void Add(const char* s) {
    while (*s && len + 1 < sizeof buf) buf[len++] = *s++;
    buf[len] = '\0';
  }
  void AddDec(int64_t v) {
    char tmp[24];
    int n = 0;
    uint64_t u = v < 0 ? static_cast<uint64_t>(0) - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    do {
      tmp[n++] = static_cast<char>('0' + u % 10);
      u /= 10;
    } while (u != 0);
    if (v < 0) tmp[n++] = '-';
    char out[24];
    for (int i = 0; i < n; ++i) out[i] = tmp[n - 1 - i];
    out[n] = '\0';
    Add(out);
  }
  void AddTwo(int v, int digits) {
    char out[4];
    for (int i = digits - 1; i >= 0; --i) {
      out[i] = static_cast<char>('0' + v % 10);
      v /= 10;
    }
    out[digits] = '\0';
    Add(out);
  }
};

void WriteAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
}

void AddTimeStamp(Text& t) {
  struct timespec ts {};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  long secOfDay = static_cast<long>((ts.tv_sec + g_utcOffsetSeconds) % 86400);
  if (secOfDay < 0) secOfDay += 86400;
  t.AddTwo(static_cast<int>(secOfDay / 3600), 2);
  t.Add(":");
  t.AddTwo(static_cast<int>(secOfDay / 60 % 60), 2);
  t.Add(":");
  t.AddTwo(static_cast<int>(secOfDay % 60), 2);
  t.Add(".");
  t.AddTwo(static_cast<int>(ts.tv_nsec / 1000000), 3);
}

struct Registers {
  int64_t ax = 0, bx = 0, cx = 0, dx = 0, bp = 0, si = 0, di = 0, sp = 0, ip = 0;
};

Registers ReadRegisters(void* context) {
  Registers r;
  auto* uc = static_cast<ucontext_t*>(context);
  if (!uc) return r;
#if defined(__x86_64__)
  const greg_t* g = uc->uc_mcontext.gregs;
  r = {g[REG_RAX], g[REG_RBX], g[REG_RCX], g[REG_RDX], g[REG_RBP],
       g[REG_RSI], g[REG_RDI], g[REG_RSP], g[REG_RIP]};
#elif defined(__i386__)
  const greg_t* g = uc->uc_mcontext.gregs;
  r = {g[REG_EAX], g[REG_EBX], g[REG_ECX], g[REG_EDX], g[REG_EBP],
       g[REG_ESI], g[REG_EDI], g[REG_ESP], g[REG_EIP]};
#elif defined(__aarch64__)
  const auto& m = uc->uc_mcontext;
  r = {static_cast<int64_t>(m.regs[0]), static_cast<int64_t>(m.regs[1]), static_cast<int64_t>(m.regs[2]),
       static_cast<int64_t>(m.regs[3]), static_cast<int64_t>(m.regs[29]), static_cast<int64_t>(m.regs[4]),
       static_cast<int64_t>(m.regs[5]), static_cast<int64_t>(m.sp), static_cast<int64_t>(m.pc)};
#endif
  return r;
}

void BuildReport(Text& t, uint32_t code, const Registers& r, int64_t target) {
  t.Add("A program error was detected:\r\r");
  t.Add("Error Message:\t");
  t.Add(ErrorCodeMessage(code));
  if (code == kErrorCodeCppException && g_exceptionText[0]) {
    t.Add("\rException:\t");
    t.Add(g_exceptionText);
  }
  t.Add("\rError Code:\t");
  t.AddDec(static_cast<int32_t>(code));
  t.Add("\rCode Address:\t");
  t.AddDec(r.ip);
  if (code == 0xC0000005u) {
    t.Add("\rTarget Address:\t");
    t.AddDec(target);
  }
  t.Add("\rSourcecode line: Enable OnError lines support to get code line information.\r\r");
  t.Add("Register content:");
  const char* names[] = {"EAX", "EBX", "ECX", "EDX", "EBP", "ESI", "EDI", "ESP"};
  const int64_t values[] = {r.ax, r.bx, r.cx, r.dx, r.bp, r.si, r.di, r.sp};
  for (int i = 0; i < 8; ++i) {
    t.Add("\r");
    t.Add(names[i]);
    t.Add(" = \t");
    t.AddDec(values[i]);
  }
}

// One log line per non-empty report line, and the report with LF line ends on
// stderr.
void WriteLogAndStderr(const Text& report) {
  const int logFd = LogFileDescriptor();
  size_t start = 0;
  while (start <= report.len) {
    size_t end = start;
    while (end < report.len && report.buf[end] != '\r') ++end;
    if (end > start) {
      if (logFd >= 0) {
        Text line;
        AddTimeStamp(line);
        line.Add("> OnError: ");
        size_t room = sizeof line.buf - line.len - 3;
        size_t n = end - start < room ? end - start : room;
        std::memcpy(line.buf + line.len, report.buf + start, n);
        line.len += n;
        line.buf[line.len] = '\0';
        line.Add("\r\n");
        WriteAll(logFd, line.buf, line.len);
      }
      WriteAll(STDERR_FILENO, report.buf + start, end - start);
    }
    WriteAll(STDERR_FILENO, "\n", 1);
    start = end + 1;
  }
  if (logFd >= 0) ::fsync(logFd);
}

void FillReportPath() {
  Text t;
  t.Add(g_reportDir);
  t.Add("flashkeel-crash-");
  t.AddDec(::getpid());
  t.Add(".txt");
  std::memcpy(g_reportPath, t.buf, t.len + 1);
}

bool WriteReportFile(const Text& report) {
  FillReportPath();
  ::unlink(g_reportPath);
  int fd = ::open(g_reportPath, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  WriteAll(fd, report.buf, report.len);
  ::close(fd);
  return true;
}

void RunViewer() {
  if (!g_viewerSet.load()) return;
  int argc = 0;
  while (g_viewerArgv[argc]) ++argc;
  g_viewerArgv[argc] = g_reportPath;
  g_viewerArgv[argc + 1] = nullptr;
  // A plain fork without the library's fork handlers, which may take locks the
  // failed thread holds.
  long pid = ::syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0);
  if (pid == 0) {
    // The handler blocks the fatal signals; the viewer must not inherit that.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(g_viewerArgv[0], g_viewerArgv, environ);
    ::_exit(127);
  }
  g_viewerArgv[argc] = nullptr;
  if (pid > 0) {
    int status = 0;
    while (::waitpid(static_cast<pid_t>(pid), &status, 0) < 0 && errno == EINTR) {
    }
  }
}

void OnFatalSignal(int signo, siginfo_t* info, void* context) {
  const long tid = ::syscall(SYS_gettid);
  long expected = 0;
  if (!g_handlingThread.compare_exchange_strong(expected, tid)) {
    if (expected == tid) ::_exit(kCrashExitCode);  // failed inside the handler itself
    for (;;) ::pause();               // another thread is reporting; the process ends soon
  }
  const Registers regs = ReadRegisters(context);
  const auto target = reinterpret_cast<int64_t>(info ? info->si_addr : nullptr);
  bool stackFault = false;
  if (signo == SIGSEGV && regs.sp != 0) {
    // A fault just below the stack pointer, or within the frame being set up
    // above it, is the guard area of an exhausted stack.
    stackFault = target >= regs.sp - 64 * 1024 && target <= regs.sp + 1024 * 1024;
  }
  uint32_t code = ErrorCodeForSignal(signo, info ? info->si_code : 0, stackFault);
  if (signo == SIGABRT && g_exceptionSet.load()) code = kErrorCodeCppException;
  static Text report;
  report.len = 0;
  BuildReport(report, code, regs, target);
  WriteLogAndStderr(report);
  if (WriteReportFile(report)) RunViewer();
  ::_exit(kCrashExitCode);
}

// std::terminate: notes the exception that was not caught, then aborts, and
// the abort writes the report.
[[noreturn]] void OnTerminate() {
  if (std::exception_ptr e = std::current_exception()) {
    std::string text;
    if (const std::type_info* type = abi::__cxa_current_exception_type()) {
      int status = 0;
      std::unique_ptr<char, decltype(&std::free)> name(abi::__cxa_demangle(type->name(), nullptr, nullptr, &status),
                                                       &std::free);
      text = status == 0 && name ? name.get() : type->name();
    }
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& ex) {
      text += std::string(": ") + ex.what();
    } catch (...) {
    }
    for (char& c : text)
      if (c == '\r' || c == '\n') c = ' ';
    const size_t n = std::min(text.size(), sizeof g_exceptionText - 1);
    std::memcpy(g_exceptionText, text.data(), n);
    g_exceptionText[n] = '\0';
    g_exceptionSet = true;
  }
  std::abort();
}

}  // namespace

const char* ErrorCodeMessage(uint32_t code) {
  switch (code) {
    case 0xC0000005u: return "Invalid memory access";
    case 0xC000008Cu: return "Array bounds exceeded";
    case 0x80000003u: return "Debugger breakpoint reached";
    case 0x80000002u: return "Misaligned data access";
    case 0xC000008Du: return "Denormal floating-point operand";
    case 0xC000008Eu: return "Division by zero (floating-point)";
    case 0xC000008Fu: return "Inexact floating-point result";
    case 0xC0000090u: return "Invalid floating-point operation";
    case 0xC0000091u: return "Floating-point overflow (exponent to great)";
    case 0xC0000092u: return "Floating-point stack overflow or underflow";
    case 0xC0000093u: return "Floating-point underflow (exponent too small)";
    case 0xC000001Du: return "Illegal instruction";
    case 0xC0000006u: return "Memory page error";
    case 0xC0000094u: return "Division by zero ";
    case 0xC0000095u: return "Integer overflow";
    case 0xC0000026u: return "Exception handler returned unknown value";
    case 0xC0000025u: return "Exception handler tried to continue after non-continuable exception";
    case 0xC0000096u: return "Privileged instruction";
    case 0x80000004u: return "Single step trap";
    case 0xC00000FDu: return "Stack overflow";
    case kErrorCodeCppException: return "Unhandled C++ exception";
    case kErrorCodeAbort: return "Program aborted";
    default: return "Unknown error code";
  }
}

uint32_t ErrorCodeForSignal(int signo, int siCode, bool stackFault) {
  switch (signo) {
    case SIGSEGV:
      return stackFault ? 0xC00000FDu : 0xC0000005u;
    case SIGBUS:
      // A page that cannot be brought in (a mapped file that shrank, an I/O
      // error) is a page error; everything else an alignment fault.
      return (siCode == BUS_ADRERR || siCode == BUS_OBJERR) ? 0xC0000006u : 0x80000002u;
    case SIGFPE:
      switch (siCode) {
        case FPE_INTDIV: return 0xC0000094u;
        case FPE_INTOVF: return 0xC0000095u;
        case FPE_FLTDIV: return 0xC000008Eu;
        case FPE_FLTOVF: return 0xC0000091u;
        case FPE_FLTUND: return 0xC0000093u;
        case FPE_FLTRES: return 0xC000008Fu;
        case FPE_FLTSUB: return 0xC000008Cu;
        default: return 0xC0000090u;
      }
    case SIGILL:
      return (siCode == ILL_PRVOPC || siCode == ILL_PRVREG) ? 0xC0000096u : 0xC000001Du;
    case SIGTRAP:
      return siCode == TRAP_TRACE ? 0x80000004u : 0x80000003u;
    case SIGABRT:
      return kErrorCodeAbort;
    default:
      return 0;
  }
}

ThreadErrorStack::ThreadErrorStack() {
  void* p = ::mmap(nullptr, kAltStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return;
  stack_t ss{};
  ss.ss_sp = p;
  ss.ss_size = kAltStackSize;
  if (::sigaltstack(&ss, nullptr) != 0) {
    ::munmap(p, kAltStackSize);
    return;
  }
  stack_ = p;
  size_ = kAltStackSize;
}

ThreadErrorStack::~ThreadErrorStack() {
  if (!stack_) return;
  stack_t ss{};
  ss.ss_flags = SS_DISABLE;
  ::sigaltstack(&ss, nullptr);
  ::munmap(stack_, size_);
}

void InstallErrorHandler(const std::string& reportDirIn) {
  std::string dir = reportDirIn.empty() ? GetTemporaryDirectory() : reportDirIn;
  if (dir.empty()) dir = "/tmp/";
  if (dir.back() != '/') dir += '/';
  if (dir.size() < sizeof g_reportDir) std::memcpy(g_reportDir, dir.c_str(), dir.size() + 1);
  FillReportPath();

  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  g_utcOffsetSeconds = tm.tm_gmtoff;

  if (!g_mainAltStack) {
    void* p = ::mmap(nullptr, kAltStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p != MAP_FAILED) {
      stack_t ss{};
      ss.ss_sp = p;
      ss.ss_size = kAltStackSize;
      if (::sigaltstack(&ss, nullptr) == 0) g_mainAltStack = p;
      else ::munmap(p, kAltStackSize);
    }
  }
  if (!g_mainAltStack) Log("> InstallErrorHandler: Error: no alternate signal stack; stack overflows go unreported");

  struct sigaction sa {};
  sa.sa_sigaction = OnFatalSignal;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&sa.sa_mask);
  for (int s : kSignals) sigaddset(&sa.sa_mask, s);
  for (int s : kSignals) {
    if (::sigaction(s, &sa, nullptr) != 0)
      Log(std::string("> InstallErrorHandler: Error: cannot handle signal ") + std::to_string(s) + ": " +
          std::strerror(errno));
  }
  std::set_terminate(OnTerminate);
}

void SetCrashViewer(const std::vector<std::string>& argv) {
  g_viewerSet = false;
  if (argv.empty()) return;
  if (argv.size() > kMaxViewerArgs) {
    Log("> SetCrashViewer: Error: too many arguments");
    return;
  }
  std::string program = argv[0];
  if (program.find('/') == std::string::npos) program = FindProgram(program);
  if (program.empty()) {
    Log("> SetCrashViewer: Error: program not found: " + argv[0]);
    return;
  }
  size_t used = 0;
  for (size_t i = 0; i < argv.size(); ++i) {
    const std::string& s = i == 0 ? program : argv[i];
    if (used + s.size() + 1 > sizeof g_viewerStrings) {
      Log("> SetCrashViewer: Error: arguments too long");
      return;
    }
    std::memcpy(g_viewerStrings + used, s.c_str(), s.size() + 1);
    g_viewerArgv[i] = g_viewerStrings + used;
    used += s.size() + 1;
  }
  g_viewerArgv[argv.size()] = nullptr;
  g_viewerSet = true;
}

std::string CrashReportPath() {
  FillReportPath();
  return g_reportPath;
}

}  // namespace fk

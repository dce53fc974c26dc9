// The program-error handler: on a fatal signal (bad memory access, division by
// zero, illegal instruction, bus error, trap, abort) and on a C++ exception
// that nothing caught, it writes a report with the error code, its message
// (and the exception's type and text), the addresses and the registers to the
// debug log, to stderr and to a report file, lets a viewer program show that
// file when one is registered, and ends the process with kCrashExitCode.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fk {

// Exit code of a process that ended through the error handler.
inline constexpr int kCrashExitCode = 70;

// Error codes of the failures that are not hardware faults.
inline constexpr uint32_t kErrorCodeCppException = 0xE06D7363u;
inline constexpr uint32_t kErrorCodeAbort = 0x40000015u;

// Installs the handlers (signals and std::terminate) and an alternate signal
// stack for the calling thread.
// reportDir: directory of the report file ("" = GetTemporaryDirectory()).
void InstallErrorHandler(const std::string& reportDir = "");

// Gives the calling thread its own alternate signal stack, so that a stack
// overflow in that thread is reported too. Threads without one still get the
// report for every other error. Released when the object goes away.
class ThreadErrorStack {
 public:
  ThreadErrorStack();
  ~ThreadErrorStack();
  ThreadErrorStack(const ThreadErrorStack&) = delete;
  ThreadErrorStack& operator=(const ThreadErrorStack&) = delete;

 private:
  void* stack_ = nullptr;
  size_t size_ = 0;
};

// Registers the program that shows a report: it is started with these
// arguments followed by the report file's path, and the failed process waits
// for it before ending. An empty list removes the viewer.
void SetCrashViewer(const std::vector<std::string>& argv);

// Path of the report file this process would write:
// <reportDir>/flashkeel-crash-<pid>.txt
std::string CrashReportPath();

// The message of an exception code ("Invalid memory access" for 0xC0000005,
// "Unknown error code" for codes without one).
const char* ErrorCodeMessage(uint32_t code);

// Maps a signal and its si_code to the exception code. stackFault: the fault
// address lies at the stack pointer's edge (a stack overflow).
uint32_t ErrorCodeForSignal(int signo, int siCode, bool stackFault);

}  // namespace fk

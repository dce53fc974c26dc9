// Running an external program with its output captured, for the tools the
// program drives (mkfs.*, mtools, 7-Zip, the data-set scripts).
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fk {

struct ProcessRequest {
  std::vector<std::string> argv;  // argv[0] is looked up on PATH when it has no '/'
  std::vector<std::pair<std::string, std::string>> extraEnv;  // added to the environment
  std::string workDir;                                          // "" = current directory
  bool mergeStderr = true;   // stderr goes into the same output as stdout
  std::string stdinData;     // written to the program's stdin, then closed
  // Polled about every 50 ms while the program runs; true kills it.
  std::function<bool()> cancel;
  // Called for every complete output line (without the line end).
  std::function<void(std::string_view)> onLine;
  int timeoutMs = 0;  // 0 = none; on expiry the program is killed
};

struct ProcessResult {
  bool started = false;    // false: program not found or could not be started
  bool cancelled = false;  // killed through cancel
  bool timedOut = false;
  int exitCode = -1;       // exit status; 128 + signal when killed by a signal
  std::string output;      // everything the program wrote (stdout, and stderr when merged)
  std::string errorText;   // why it could not be started
};

ProcessResult RunProcess(const ProcessRequest& request);

// Why a run of tool failed, for error texts: not found (with the reason), or
// its exit code and output.
std::string ProcessFailureText(const std::string& tool, const ProcessResult& result);
// From now on every program that RunProcess runs (or is asked to run) is
// killed with its process group and reaped, as if its cancel had answered
// true. Safe to call from a signal handler.
void StopAllChildren();
bool ChildrenStopped();

// Full path of a program on PATH, "" when there is none.
std::string FindProgram(const std::string& name);

}  // namespace fk

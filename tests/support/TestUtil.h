// Helpers shared by the test programs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/Runner.h"

namespace fk::test {

// A scratch directory under $TMPDIR (or /tmp), removed with its contents on destruction.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "fktest");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& data);
// Creates (or resizes) a sparse file.
void MakeSparseFile(const std::string& path, int64_t size);
bool IsRoot();
// Runs a shell command; returns its exit status and puts stdout+stderr in output.
int Sh(const std::string& command, std::string* output = nullptr);
bool HaveProgram(const std::string& name);

// Runs fn on the calling thread as an operation of the process's runner
// (Cancelled when it was cancelled, Failed when a helper marked it failed).
OpResult RunAsOperation(const std::function<void()>& fn, OpKind kind = OpKind::Format);
// Cancels the operation running on the calling thread, as its Cancel button would.
void CancelThisOperation();

}  // namespace fk::test

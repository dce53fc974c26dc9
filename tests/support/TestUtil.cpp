#include "tests/support/TestUtil.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "app/Settings.h"
#include "platform/Process.h"

namespace fk::test {

TempDir::TempDir(const std::string& prefix) {
  const char* t = std::getenv("TMPDIR");
  std::string base = (t && *t) ? t : "/tmp";
  std::string templ = base + "/" + prefix + "-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (!::mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

void MakeSparseFile(const std::string& path, int64_t size) {
  { std::ofstream touch(path, std::ios::binary | std::ios::app); }
  std::filesystem::resize_file(path, static_cast<uintmax_t>(size));
}

bool IsRoot() { return ::geteuid() == 0; }

int Sh(const std::string& command, std::string* output) {
  ProcessRequest req;
  req.argv = {"/bin/sh", "-c", command};
  ProcessResult r = RunProcess(req);
  if (output) *output = r.output;
  return r.started ? r.exitCode : 127;
}

bool HaveProgram(const std::string& name) { return !FindProgram(name).empty(); }

OpResult RunAsOperation(const std::function<void()>& fn, OpKind kind) {
  return GetRunner().RunHere(kind, [&](OpContext& op) {
    fn();
    return op.Cancelled() ? OpResult::Cancelled() : OpResult::Done();
  }, Cfg());
}

void CancelThisOperation() {
  if (const OpContext* op = CurrentOp()) GetRunner().Cancel(op->kind());
}

}  // namespace fk::test

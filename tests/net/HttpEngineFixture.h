// The download engine's test fixture: a record that counts its callbacks,
// the pauses taken, and digests of served patterns.
#pragma once

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <thread>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Runner.h"
#include "tests/support/ScriptedUi.h"
#include "net/Http.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/TestUtil.h"

namespace fk::httptest {

using test::HttpResource;
using test::HttpTestServer;

inline constexpr int64_t MiB = 1024 * 1024;

inline std::string Sha256OfFile(const std::string& path) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr);
  std::ifstream in(path, std::ios::binary);
  std::vector<char> buf(1 << 20);
  while (in) {
    in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
    EVP_DigestUpdate(ctx.get(), buf.data(), static_cast<size_t>(in.gcount()));
  }
  unsigned char md[32];
  unsigned len = 0;
  EVP_DigestFinal_ex(ctx.get(), md, &len);
  return std::string(reinterpret_cast<char*>(md), len);
}

inline std::string Sha256OfPattern(int64_t size) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr);
  std::vector<char> buf(1 << 20);
  for (int64_t off = 0; off < size;) {
    const size_t n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(buf.size()), size - off));
    HttpTestServer::PatternFill(off, buf.data(), n);
    EVP_DigestUpdate(ctx.get(), buf.data(), n);
    off += static_cast<int64_t>(n);
  }
  unsigned char md[32];
  unsigned len = 0;
  EVP_DigestFinal_ex(ctx.get(), md, &len);
  return std::string(reinterpret_cast<char*>(md), len);
}

class HttpEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* v : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
      ::unsetenv(v);
    ResetSharedFlags();
    ui_ = std::make_shared<ScriptedUi>();
    SetUi(ui_);
    SetPauseFunction([this](int ms) { pauses_.push_back(ms); });
    SetLogMirror(true);
    TakeLogMirror();
    HttpEngineOptions o;
    o.connectTimeoutMs = 5000;
    o.lowSpeedTimeS = 20;
    SetHttpEngineOptions(o);
  }
  void TearDown() override {
    SetLogMirror(false);
    SetPauseFunction(nullptr);
    SetUi(nullptr);
    SetHttpEngineOptions(HttpEngineOptions{});
    ResetSharedFlags();
  }
  // A record that counts its callbacks.
  HTTPTransfer Record(const std::string& url, int dest) {
    HTTPTransfer t;
    t.URL = url;
    t.iDestination = dest;
    if (dest == DEST_FILE) t.FullFileName = dir_ / "dl.bin";
    t.iResumeMaxAttemptsNumber = ResumeMaxAttemptsSetting();
    t.CallbackStart = [this](HTTPTransfer&, const HttpRequestHandle&) { return ++starts_, 1; };
    t.CallbackWorking = [this](HTTPTransfer&, int64_t got, int64_t, int64_t) {
      progress_.push_back(got);
      return 1;
    };
    t.CallbackEnd = [this](HTTPTransfer&, int code, int64_t, int64_t, int64_t) { return ends_.push_back(code), 1; };
    return t;
  }
  std::vector<std::string> RangesSeen(const HttpTestServer& s) {
    std::vector<std::string> out;
    for (const auto& r : s.Requests()) out.push_back(r.Header("range"));
    return out;
  }

  std::shared_ptr<ScriptedUi> ui_;
  std::vector<int> pauses_;
  test::TempDir dir_{"fkhttp"};
  int starts_ = 0;
  std::vector<int64_t> progress_;
  std::vector<int> ends_;
};


}  // namespace fk::httptest

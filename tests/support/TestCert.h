// A certificate authority and a server certificate for 127.0.0.1, made with
// openssl for TLS test servers.
#pragma once

#include <string>

namespace fk::test {

struct TestCert {
  std::string caFile;    // PEM of the authority (what clients trust)
  std::string certFile;  // the server's certificate
  std::string keyFile;   // the server's key
};

// Writes the files into dir; false (with openssl's output in *error) on failure.
bool MakeTestCert(const std::string& dir, TestCert* out, std::string* error = nullptr);

}  // namespace fk::test

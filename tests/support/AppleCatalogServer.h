// A local HTTPS stand-in for Apple's catalog and package hosts: serves the
// real catalog fixtures with their package hosts pointed at itself, and
// metadata (".pkm") and distribution (".dist") files made up for their
// RecoveryHD packages.
#pragma once

#include <memory>
#include <string>

#include "tests/support/HttpTestServer.h"

namespace fk::test {

class AppleCatalogServer {
 public:
  // Makes a test certificate authority and server certificate in dir.
  explicit AppleCatalogServer(const std::string& dir);
  // False when the certificates could not be made (no openssl).
  bool ok() const { return server_ != nullptr; }
  const std::string& caFile() const { return caFile_; }
  // "https://127.0.0.1:<port>"
  std::string Base() const;
  HttpTestServer& server() { return *server_; }

  // The fixture tests/fixtures/apple/<name> with Apple's hosts replaced by Base().
  std::string Fixture(const std::string& name) const;
  void AddText(const std::string& path, const std::string& text);
  void AddFixture(const std::string& path, const std::string& name) { AddText(path, Fixture(name)); }
  // Metadata for the fixtures' RecoveryHD packages: 061-78585 names build
  // 19F101 in its ".pkm"; 071-29320 (19H1030) and 041-85207 (11G63) only in
  // their distribution files; 001-51042 (19H2) has no ".pkm" at all.
  void AddRecoveryMetadata();
  // How often path was asked for.
  int Requests(const std::string& path) const;

  static std::string Pkm(const std::string& identifier);
  static std::string Dist(const std::string& build);

 private:
  std::string dir_;
  std::string caFile_;
  std::unique_ptr<HttpTestServer> server_;
};

}  // namespace fk::test

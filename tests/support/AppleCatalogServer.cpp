#include "tests/support/AppleCatalogServer.h"

#include "tests/support/TestCert.h"
#include "tests/support/TestUtil.h"

namespace fk::test {

namespace {

void ReplaceAll(std::string& s, const std::string& from, const std::string& to) {
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
    s.replace(at, from.size(), to);
}

}  // namespace

AppleCatalogServer::AppleCatalogServer(const std::string& dir) : dir_(dir) {
  if (!HaveProgram("openssl")) return;
  TestCert cert;
  if (!MakeTestCert(dir, &cert)) return;
  caFile_ = cert.caFile;
  server_ = std::make_unique<HttpTestServer>(HttpTestServer::Mode::Origin, cert.certFile, cert.keyFile);
}

std::string AppleCatalogServer::Base() const { return "https://127.0.0.1:" + std::to_string(server_->port()); }

std::string AppleCatalogServer::Fixture(const std::string& name) const {
  std::string text = ReadFileBytes(std::string(FK_FIXTURES_DIR) + "/apple/" + name);
  ReplaceAll(text, "http://swcdn.apple.com", Base());
  ReplaceAll(text, "https://swdist.apple.com", Base());
  return text;
}

void AppleCatalogServer::AddText(const std::string& path, const std::string& text) {
  server_->Add(path, HttpTestServer::Bytes(text));
}

std::string AppleCatalogServer::Pkm(const std::string& identifier) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<pkg-info format-version=\"2\" identifier=\"" + identifier +
         "\" version=\"1.0\" auth=\"root\">\n  <payload numberOfFiles=\"2\" installKBytes=\"1\"/>\n</pkg-info>\n";
}

std::string AppleCatalogServer::Dist(const std::string& build) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<installer-gui-script minSpecVersion=\"1\">\n"
         "  <title>SU_TITLE</title>\n  <options customize=\"never\"/>\n  <auxinfo>\n    <dict>\n"
         "      <key>VERSION</key>\n      <string>10.x</string>\n      <key>BUILD</key>\n      <string>" +
         build + "</string>\n    </dict>\n  </auxinfo>\n</installer-gui-script>\n";
}

void AppleCatalogServer::AddRecoveryMetadata() {
  const std::string d1 = "/content/downloads/06/08/061-78585-A_BTB8W2XF1Z/dsc7r5xy3jbsh761q6tzia5lrnahjw6w14/";
  AddText(d1 + "macOSUpd10.15.5.RecoveryHDUpdate.pkm", Pkm("com.apple.pkg.macOSUpd10.15.5.RecoveryHDUpdate.19F101"));
  const std::string d2 = "/content/downloads/57/39/071-29320-A_WLVHX77G0K/mtke06kbkrgjbtf2c08iibylohkdf79520/";
  AddText(d2 + "SecUpd2021-002Catalina.RecoveryHDUpdate.pkm", Pkm("com.apple.pkg.RecoveryHDUpdate"));
  AddText(d2 + "071-29320.English.dist", Dist("19H1030"));
  const std::string d3 = "/content/downloads/20/55/001-51042-A_2EJTJOSUC2/rsvf13iphg5lvcqcysqcarv8cvddq8igek/";
  AddText(d3 + "001-51042.English.dist", Dist("19H2"));
  const std::string d4 = "/content/downloads/61/44/041-85207-A_OU0FWMNPJ2/5aa0pcncejxp2tgi6dntl2fsmtv39fpnj6/";
  AddText(d4 + "RecoveryHDUpdate.pkm", Pkm("com.apple.pkg.RecoveryHDUpdate"));
  AddText(d4 + "RecoveryHDUpdate.dst/041-85207.English.dist", Dist("11G63"));
}

int AppleCatalogServer::Requests(const std::string& path) const {
  int n = 0;
  for (const auto& r : server_->Requests()) n += r.target == path;
  return n;
}

}  // namespace fk::test

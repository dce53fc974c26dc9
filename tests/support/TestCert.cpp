#include "tests/support/TestCert.h"

#include "tests/support/TestUtil.h"

namespace fk::test {

bool MakeTestCert(const std::string& dir, TestCert* out, std::string* error) {
  const std::string cmd =
      "cd '" + dir + "' && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2"
      " -subj '/CN=Flashkeel Test CA' && "
      "openssl req -newkey rsa:2048 -nodes -keyout srv.key -out srv.csr -subj '/CN=127.0.0.1' && "
      "printf 'subjectAltName=IP:127.0.0.1\\n' > ext.cnf && "
      "openssl x509 -req -in srv.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out srv.pem -days 2 "
      "-extfile ext.cnf";
  std::string output;
  if (Sh(cmd, &output) != 0) {
    if (error) *error = output;
    return false;
  }
  out->caFile = dir + "/ca.pem";
  out->certFile = dir + "/srv.pem";
  out->keyFile = dir + "/srv.key";
  return true;
}

}  // namespace fk::test

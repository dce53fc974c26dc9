// Running flashkeel-cli as a subprocess against image files and loop devices,
// and reading back what it wrote.
#pragma once

#include <string>

#include "tests/support/ImageCheck.h"
#include "tests/support/TestUtil.h"

namespace fk::test {

struct CliResult {
  int rc = -1;
  std::string out;  // stdout and stderr
};

// A settings directory with logging on, and the CLI run with it.
class CliHome {
 public:
  explicit CliHome(const std::string& dir);
  // Runs flashkeel-cli with args (already quoted for the shell), stdin from
  // /dev/null so that no terminal is there to ask on. The log is emptied first.
  CliResult Run(const std::string& args) const;
  std::string LogText() const;
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
};

}  // namespace fk::test

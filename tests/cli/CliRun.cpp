#include "tests/cli/CliRun.h"

#include <filesystem>

namespace fk::test {

CliHome::CliHome(const std::string& dir) : dir_(dir) {
  std::filesystem::create_directories(dir_);
  WriteFileBytes(dir_ + "/flashkeel.ini", "[Data Settings]\r\nLogEnable = 1\r\n");
}

CliResult CliHome::Run(const std::string& args) const {
  std::error_code ec;
  std::filesystem::remove(dir_ + "/FKLDebug.log", ec);
  CliResult r;
  r.rc = Sh("FLASHKEEL_HOME=" + Quote(dir_) + " " + Quote(FK_CLI_PATH) + " " + args + " </dev/null 2>&1", &r.out);
  return r;
}

std::string CliHome::LogText() const { return ReadFileBytes(dir_ + "/FKLDebug.log"); }

}  // namespace fk::test

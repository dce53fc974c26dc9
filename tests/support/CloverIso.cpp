#include "tests/support/CloverIso.h"

#include <filesystem>

#include "tests/support/TestUtil.h"

namespace fk::test {

namespace fs = std::filesystem;

bool CanMakeCloverIso7z() { return HaveProgram("xorriso") && HaveProgram("7zz"); }

std::string MakeCloverIso7z(const std::string& dir, const std::string& rev, const std::string& boot,
                            const std::vector<std::pair<std::string, std::string>>& files, std::string* error) {
  const std::string base = "Clover-" + rev + "-X64";
  const std::string tree = dir + "/" + base + ".tree";
  fs::remove_all(tree);
  fs::create_directories(tree + "/usr/standalone/i386/x64");
  WriteFileBytes(tree + "/usr/standalone/i386/x64/boot6", boot);
  for (const auto& [name, data] : files) {
    fs::create_directories(fs::path(tree + "/" + name).parent_path());
    WriteFileBytes(tree + "/" + name, data);
  }
  std::string out;
  const std::string iso = dir + "/" + base + ".iso";
  const std::string archive = iso + ".7z";
  fs::remove(archive);
  if (Sh("xorriso -as mkisofs -quiet -R -J -o '" + iso + "' '" + tree + "'", &out) != 0 ||
      Sh("cd '" + dir + "' && 7zz a -bd '" + base + ".iso.7z' '" + base + ".iso'", &out) != 0) {
    if (error) *error = out;
    return {};
  }
  fs::remove_all(tree);
  fs::remove(iso);
  return archive;
}

}  // namespace fk::test

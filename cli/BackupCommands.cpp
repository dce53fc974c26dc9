#include "cli/Commands.h"

namespace fk::cli {

// Backup and restore arrive with the disk jobs that do them.
int RunBackup(const Args&, CliUi&) {
  std::fprintf(stderr, "flashkeel-cli: backup is not available in this build\n");
  return 1;
}

int RunRestore(const Args&, CliUi&) {
  std::fprintf(stderr, "flashkeel-cli: restore is not available in this build\n");
  return 1;
}

}  // namespace fk::cli

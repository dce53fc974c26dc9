// Build-time tool: packs every file under a directory into a program pack.
// Usage: fk_pack_tool OUTPUT.pack DIRECTORY
#include <cstdio>
#include <string>

#include "format/PackWriter.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s OUTPUT DIRECTORY\n", argv[0]);
    return 2;
  }
  std::string pack, error;
  if (!fk::MakePack(argv[2], &pack, &error)) {
    std::fprintf(stderr, "%s: %s\n", argv[0], error.c_str());
    return 1;
  }
  std::FILE* out = std::fopen(argv[1], "wb");
  if (!out || std::fwrite(pack.data(), 1, pack.size(), out) != pack.size()) {
    std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
    if (out) std::fclose(out);
    return 1;
  }
  return std::fclose(out) == 0 ? 0 : 1;
}

// Build-time tool: writes a binary file as a C++ byte array.
// Usage: fk_embed_tool SYMBOL INPUT OUTPUT.cpp
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s SYMBOL INPUT OUTPUT\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[2], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", argv[2]);
    return 1;
  }
  std::vector<unsigned char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::FILE* out = std::fopen(argv[3], "w");
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", argv[3]);
    return 1;
  }
  std::fprintf(out, "#include <cstddef>\n");
  std::fprintf(out, "extern const unsigned char %s[];\nextern const std::size_t %s_size;\n", argv[1], argv[1]);
  std::fprintf(out, "alignas(16) const unsigned char %s[] = {", argv[1]);
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (i % 16 == 0) std::fprintf(out, "\n  ");
    std::fprintf(out, "0x%02x,", data[i]);
  }
  if (data.empty()) std::fprintf(out, "0");
  std::fprintf(out, "\n};\nconst std::size_t %s_size = %zu;\n", argv[1], data.size());
  return std::fclose(out) == 0 ? 0 : 1;
}

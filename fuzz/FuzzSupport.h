// Shared by the fuzz targets: property checks that stop the run (libFuzzer
// then keeps the input as a crash file) and a scratch directory per process.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace fk::fuzz {

[[noreturn]] inline void Fail(const char* property, const std::string& detail) {
  std::fprintf(stderr, "property failed: %s\n  %s\n", property, detail.c_str());
  std::fflush(stderr);
  std::abort();
}

#define FK_FUZZ_CHECK(cond, detail)                  \
  do {                                               \
    if (!(cond)) ::fk::fuzz::Fail(#cond, (detail));  \
  } while (0)

inline std::string_view AsText(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// A directory of this process (in /dev/shm when there is one, so file-based
// parsers cost no disk writes), removed when the process ends normally.
inline const std::string& ScratchDir() {
  struct Dir {
    std::string path;
    Dir() {
      std::error_code ec;
      const std::string base = std::filesystem::is_directory("/dev/shm", ec) ? "/dev/shm" : "/tmp";
      path = base + "/fk-fuzz-" + std::to_string(::getpid());
      std::filesystem::remove_all(path, ec);
      std::filesystem::create_directories(path, ec);
    }
    ~Dir() {
      std::error_code ec;
      std::filesystem::remove_all(path, ec);
    }
  };
  static Dir dir;
  return dir.path;
}

inline void WriteFile(const std::string& path, std::string_view data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  if (!out) Fail("scratch file written", path);
}

// The property "path lies inside dir", on lexically normal absolute paths.
inline bool IsInside(const std::filesystem::path& path, const std::filesystem::path& dir) {
  const std::string p = path.lexically_normal().string();
  std::string d = dir.lexically_normal().string();
  if (!d.empty() && d.back() != '/') d += '/';
  return p.compare(0, d.size(), d) == 0 && p.size() > d.size();
}

}  // namespace fk::fuzz

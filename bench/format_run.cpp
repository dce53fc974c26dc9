// The whole CLI format run of an 8 GiB image (a sparse file) with a Clover-like
// data set of 695 files, next to a hand-written pipeline doing the same work:
// sfdisk, mkfs.fat, bsdtar into a staging folder, mcopy, the hidden marker
// files, the staging folder removed and the image flushed. The pipeline runs
// with its staging folder on the disk and, as the run stages a small data
// set, in memory (/dev/shm). Three rounds, taking turns; prints the times and
// the ratios of the best of each.
//
//   bench_format_run [directory, default $TMPDIR or /tmp]
#include <archive.h>
#include <archive_entry.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "platform/Process.h"

namespace {

namespace fs = std::filesystem;

constexpr int kFiles = 695;
constexpr const char* kImageSize = "8G";
constexpr int64_t kImageBytes = 8LL << 30;
constexpr int kAlign = 2048;

struct Member {
  std::string name;
  std::string data;
};

// A tree shaped like a Clover data set: the "boot" file with its revision
// line, the EFI loaders, drivers, kexts, themes and tools in nested folders;
// about 10 MB, half of each file random (binaries compress about that well).
std::vector<Member> DataSet() {
  std::mt19937 gen(20261208);
  std::vector<Member> m;
  auto blob = [&](size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size / 2; ++i) s[i] = static_cast<char>(gen());
    return s;
  };
  m.push_back({"boot", blob(480000) + "\nClover revision: 5151\n"});
  m.push_back({"EFI/BOOT/BOOTX64.efi", blob(1100000)});
  m.push_back({"EFI/CLOVER/CLOVERX64.efi", blob(1100000)});
  const char* areas[] = {"ACPI/origin", "ACPI/patched", "drivers/UEFI", "drivers/BIOS", "drivers/off/UEFI/FileSystem",
                         "kexts/10.14", "kexts/10.15", "kexts/Other", "themes/embedded", "themes/Clovy/icons",
                         "themes/BGM/icons", "tools", "misc", "doc", "usr/standalone/i386"};
  const size_t sizes[] = {300, 1800, 4200, 9000, 14000, 26000};
  for (int i = static_cast<int>(m.size()); i < kFiles; ++i) {
    const std::string area = areas[i % std::size(areas)];
    const std::string dir = (area.rfind("usr/", 0) == 0 ? area : "EFI/CLOVER/" + area) + "/set" + std::to_string(i % 7);
    m.push_back({dir + "/file" + std::to_string(i) + ".bin", blob(sizes[gen() % std::size(sizes)])});
  }
  return m;
}

bool WriteZip(const std::string& path, const std::vector<Member>& members) {
  archive* a = archive_write_new();
  archive_write_set_format_zip(a);
  bool ok = archive_write_open_filename(a, path.c_str()) == ARCHIVE_OK;
  for (const Member& mem : members) {
    if (!ok) break;
    archive_entry* e = archive_entry_new();
    archive_entry_set_pathname(e, mem.name.c_str());
    archive_entry_set_filetype(e, AE_IFREG);
    archive_entry_set_perm(e, 0644);
    archive_entry_set_size(e, static_cast<la_int64_t>(mem.data.size()));
    ok = archive_write_header(a, e) == ARCHIVE_OK &&
         archive_write_data(a, mem.data.data(), mem.data.size()) == static_cast<la_ssize_t>(mem.data.size());
    archive_entry_free(e);
  }
  ok = archive_write_close(a) == ARCHIVE_OK && ok;
  archive_write_free(a);
  return ok;
}

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs argv; its time in seconds, or -1 after printing its output on failure.
double Timed(const std::vector<std::string>& argv, const std::vector<std::pair<std::string, std::string>>& env = {}) {
  fk::ProcessRequest rq;
  rq.argv = argv;
  rq.extraEnv = env;
  const auto t0 = std::chrono::steady_clock::now();
  fk::ProcessResult r = fk::RunProcess(rq);
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (r.started && r.exitCode == 0) return s;
  std::fprintf(stderr, "%s failed (%d): %s\n%s\n", argv[0].c_str(), r.exitCode, r.errorText.c_str(),
               r.output.c_str());
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  const fs::path base = argc > 1 ? fs::path(argv[1]) : fs::path(tmp && *tmp ? tmp : "/tmp");
  for (const char* tool : {"sfdisk", "mkfs.fat", "bsdtar", "mcopy", "mattrib", "mmd"}) {
    if (fk::FindProgram(tool).empty()) {
      std::fprintf(stderr, "bench_format_run: %s missing (scripts/setup installs it)\n", tool);
      return 1;
    }
  }
  const fs::path dir = base / ("fk-bench-format-" + std::to_string(::getpid()));
  std::error_code ec;
  fs::create_directories(dir / "home", ec);
  struct Cleanup {
    fs::path dir;
    ~Cleanup() {
      std::error_code e;
      fs::remove_all(dir, e);
    }
  } cleanup{dir};

  const std::vector<Member> members = DataSet();
  int64_t bytes = 0;
  for (const Member& m : members) bytes += static_cast<int64_t>(m.data.size());
  const std::string zip = (dir / "Clover-5151-X64.zip").string();
  if (!WriteZip(zip, members)) {
    std::fprintf(stderr, "bench_format_run: cannot write %s\n", zip.c_str());
    return 1;
  }
  std::printf("data set: %d files, %.1f MB (ZIP %.1f MB); image %s, partition at sector %d\n", kFiles,
              static_cast<double>(bytes) / 1e6, static_cast<double>(fs::file_size(zip, ec)) / 1e6, kImageSize, kAlign);

  const std::string cliImage = (dir / "cli.img").string(), handImage = (dir / "hand.img").string();
  const std::string align = std::to_string(kAlign);
  const std::string partKiB = std::to_string((kImageBytes - int64_t{kAlign} * 512) / 1024);
  const std::string volume = handImage + "@@" + std::to_string(int64_t{kAlign} * 512);
  // The same layout, file system, data set and marker files as the run makes;
  // the staging folder on the disk as a script would have it, or in memory.
  auto pipeline = [&](const std::string& stageDir) -> std::string {
    return
      "set -e\n"
      "truncate -s " + std::string(kImageSize) + " " + Quote(handImage) + "\n"
      "echo 'start=" + align + ", type=c, bootable' | sfdisk -q " + Quote(handImage) + " >/dev/null\n"
      "mkfs.fat -F 32 -n FKL --offset=" + align + " " + Quote(handImage) + " " + partKiB + " >/dev/null\n"
      "stage=" + Quote(stageDir) + "\n"
      "mkdir -p \"$stage/marks/.fseventsd\"\n"
      "bsdtar -xf " + Quote(zip) + " -C \"$stage\"\n"
      "touch \"$stage/marks/.metadata_never_index\" \"$stage/marks/.fseventsd/no_log\"\n"
      "export MTOOLS_SKIP_CHECK=1\n"
      "cd \"$stage\" && mcopy -s -Q -o -m -i " + Quote(volume) + " boot EFI usr ::/\n"
      "mcopy -s -Q -o -m -i " + Quote(volume) + " marks/.metadata_never_index marks/.fseventsd ::/\n"
      "mattrib -i " + Quote(volume) + " +h ::/.metadata_never_index ::/.fseventsd ::/.fseventsd/no_log\n"
      "cd / && rm -rf \"$stage\"\n"
      "sync " + Quote(handImage) + "\n";
  };
  const fs::path ramStage = fs::path("/dev/shm") / ("fk-bench-stage-" + std::to_string(::getpid()));
  const bool haveRam = fs::is_directory("/dev/shm", ec);
  struct RamCleanup {
    fs::path dir;
    ~RamCleanup() {
      std::error_code e;
      fs::remove_all(dir, e);
    }
  } ramCleanup{ramStage};
  const std::vector<std::string> cli = {FK_CLI, "format", "--image", cliImage, "--size", kImageSize,
                                        "--boot-records", "Clover", "--fs", "FAT32-LBA", "--align", align,
                                        "--one-partition", "--label", "FKL", "--data-set", "local:" + zip, "--yes"};
  const std::vector<std::pair<std::string, std::string>> cliEnv = {{"FLASHKEEL_HOME", (dir / "home").string()}};

  double bestHand = 1e9, bestRam = 1e9, bestCli = 1e9;
  for (int round = 1; round <= 3; ++round) {
    fs::remove(handImage, ec);
    const double hand = Timed({"sh", "-c", pipeline((dir / "stage").string())});
    double ram = -1;
    if (haveRam) {
      fs::remove(handImage, ec);
      ram = Timed({"sh", "-c", pipeline(ramStage.string())});
    }
    fs::remove(cliImage, ec);
    const double run = Timed(cli, cliEnv);
    if (hand < 0 || run < 0 || (haveRam && ram < 0)) return 1;
    std::printf("round %d: pipeline %.3f s, pipeline staging in /dev/shm %.3f s, flashkeel-cli format %.3f s\n", round,
                hand, ram, run);
    bestHand = std::min(bestHand, hand);
    if (haveRam) bestRam = std::min(bestRam, ram);
    bestCli = std::min(bestCli, run);
  }
  std::printf("format run: flashkeel-cli %.3f s, pipeline %.3f s, ratio %.2f (best of 3 each)\n", bestCli, bestHand,
              bestCli / bestHand);
  if (haveRam)
    std::printf("            against the pipeline staging in /dev/shm %.3f s: ratio %.2f\n", bestRam, bestCli / bestRam);
  return 0;
}

// flashkeel-cli backup and restore, run as the user runs them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "platform/Process.h"
#include "tests/support/TestUtil.h"

namespace fk {
namespace {

#ifdef FK_CLI_PATH

struct CliRun {
  int code = -1;
  std::string output;
};

CliRun RunCli(const std::string& home, std::vector<std::string> args) {
  ProcessRequest req;
  req.argv = {FK_CLI_PATH};
  req.argv.insert(req.argv.end(), args.begin(), args.end());
  req.extraEnv = {{"FLASHKEEL_HOME", home}};
  req.timeoutMs = 120000;
  ProcessResult r = RunProcess(req);
  return {r.exitCode, r.output};
}

void Put32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// An image with two MBR partitions filled with distinct byte patterns.
class BackupCli : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = dir_ / "disk.img";
    std::string data(kSize, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 7 + i / 4096) & 0xFF);
    const size_t entry = 0x1BE;
    std::fill(data.begin() + entry, data.begin() + 512, '\0');
    data[entry] = static_cast<char>(0x80);
    data[entry + 4] = 0x0C;
    Put32(data, entry + 8, kStart1);
    Put32(data, entry + 12, kSectors1);
    data[entry + 16 + 4] = 0x06;
    Put32(data, entry + 16 + 8, kStart1 + kSectors1);
    Put32(data, entry + 16 + 12, kSectors2);
    data[510] = 0x55;
    data[511] = static_cast<char>(0xAA);
    test::WriteFileBytes(image_, data);
  }
  std::string Partition(const std::string& disk, uint32_t start, uint32_t sectors) {
    return disk.substr(size_t{start} * 512, size_t{sectors} * 512);
  }

  static constexpr size_t kSize = 24u << 20;
  static constexpr uint32_t kStart1 = 2048;
  static constexpr uint32_t kSectors1 = 20000;  // not a multiple of 16 MiB
  static constexpr uint32_t kSectors2 = 8192;
  test::TempDir dir_;
  std::string image_;
};

TEST_F(BackupCli, BackupThenRestoreOntoTheOtherPartitionWithVerify) {
  const std::string saved = dir_ / "p1.bin";
  // The backup confirms the chosen file: --yes answers it.
  CliRun b = RunCli(dir_.path(), {"backup", "--image", image_, "--partition", "1", "--to", saved, "--yes"});
  ASSERT_EQ(b.code, 0) << b.output;
  const std::string before = test::ReadFileBytes(image_);
  EXPECT_EQ(test::ReadFileBytes(saved), Partition(before, kStart1, kSectors1));

  // Partition 2 is smaller: the image is refused whole.
  CliRun big = RunCli(dir_.path(), {"restore", "--image", image_, "--partition", "2", "--from", saved, "--yes"});
  EXPECT_EQ(big.code, 1);
  EXPECT_NE(big.output.find("File too big:"), std::string::npos) << big.output;
  EXPECT_EQ(test::ReadFileBytes(image_), before);

  // A smaller image goes onto partition 1 and shrinks its entry; --verify reads it back.
  const std::string small = test::ReadFileBytes(saved).substr(0, 4096 * 512);
  test::WriteFileBytes(dir_ / "small.bin", small);
  CliRun r = RunCli(dir_.path(),
                    {"restore", "--image", image_, "--partition", "1", "--from", dir_ / "small.bin", "--yes", "--verify"});
  ASSERT_EQ(r.code, 0) << r.output;
  EXPECT_NE(r.output.find("verified"), std::string::npos) << r.output;
  const std::string after = test::ReadFileBytes(image_);
  EXPECT_EQ(after.substr(size_t{kStart1} * 512, small.size()), small);
  EXPECT_EQ(after[0x1BE + 4], before[0x1BE + 4]);  // not an HFS+ image: the type stays
  uint32_t count = 0;
  for (int i = 3; i >= 0; --i) count = (count << 8) | static_cast<uint8_t>(after[0x1BE + 12 + i]);
  EXPECT_EQ(count, 4096u) << r.output;
}

TEST_F(BackupCli, ExistingFileIsKeptWithoutYesAndBadTargetsAreRefused) {
  const std::string saved = dir_ / "keep.bin";
  test::WriteFileBytes(saved, "precious");
  CliRun no = RunCli(dir_.path(), {"backup", "--image", image_, "--partition", "1", "--to", saved});
  EXPECT_EQ(no.code, 1) << no.output;
  EXPECT_EQ(test::ReadFileBytes(saved), "precious");

  CliRun missing = RunCli(dir_.path(), {"backup", "--image", image_, "--partition", "3", "--to", saved});
  EXPECT_EQ(missing.code, 1);
  EXPECT_NE(missing.output.find("has no partition 3"), std::string::npos) << missing.output;

  CliRun usage = RunCli(dir_.path(), {"restore", "--image", image_, "--partition", "1"});
  EXPECT_EQ(usage.code, 2);
}

#endif

}  // namespace
}  // namespace fk

// The fixture of the partition backup and restore tests: a disk image with
// two patterned partitions, helpers to read and change it, and a UI that acts
// when a given text appears.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>

#include "app/AppState.h"
#include "app/Log.h"
#include "tests/support/ScriptedUi.h"
#include "app/Settings.h"
#include "disk/Backup.h"
#include "disk/DiskList.h"
#include "disk/DiskOperations.h"
#include "disk/RawDisk.h"
#include "disk/Restore.h"
#include "disk/Transfer.h"
#include "platform/LoopDevice.h"
#include "tests/support/TestUtil.h"

namespace fk {

inline constexpr int64_t MiB = 1024 * 1024;
inline constexpr int64_t kDiskSize = 64 * MiB;
// Partition 1: 40 MiB + 3 sectors (three transfers, the last one shorter).
inline constexpr int64_t kP1Start = 1 * MiB;
inline constexpr int64_t kP1Length = 40 * MiB + 3 * 512;
// Partition 2 right behind it, to see that nothing outside partition 1 changes.
inline constexpr int64_t kP2Start = 44 * MiB;
inline constexpr int64_t kP2Length = 16 * MiB;

inline std::string Pattern(int64_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(static_cast<size_t>(size), '\0');
  for (size_t i = 0; i + 4 <= s.size(); i += 4) {
    const uint32_t v = gen();
    std::memcpy(&s[i], &v, 4);
  }
  return s;
}

inline std::string ReadRange(const std::string& path, int64_t offset, int64_t size) {
  std::ifstream in(path, std::ios::binary);
  std::string s(static_cast<size_t>(size), '\0');
  in.seekg(offset);
  in.read(s.data(), size);
  s.resize(static_cast<size_t>(in.gcount()));
  return s;
}

inline void WriteRange(const std::string& path, int64_t offset, const std::string& data) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(::pwrite(fd, data.data(), data.size(), offset), static_cast<ssize_t>(data.size()));
  ::fsync(fd);
  ::close(fd);
}

// Type byte and sector count of an MBR slot.
inline std::pair<int, uint32_t> Slot(const std::string& path, int slot) {
  const std::string e = ReadRange(path, 446 + 16 * slot, 16);
  uint32_t sectors = 0;
  std::memcpy(&sectors, &e[12], 4);
  return {static_cast<uint8_t>(e[4]), sectors};
}
using SlotValue = std::pair<int, uint32_t>;

// A 64 MiB sparse disk image with an MBR holding the two partitions above,
// filled with two different patterns.
inline void MakeDiskImage(const std::string& path) {
  test::MakeSparseFile(path, kDiskSize);
  std::string mbr(512, '\0');
  auto entry = [&](int slot, uint8_t type, int64_t start, int64_t length) {
    char* e = &mbr[446 + 16 * slot];
    e[4] = static_cast<char>(type);
    const uint32_t lba = static_cast<uint32_t>(start / 512), n = static_cast<uint32_t>(length / 512);
    std::memcpy(e + 8, &lba, 4);
    std::memcpy(e + 12, &n, 4);
  };
  entry(0, 0x0C, kP1Start, kP1Length);
  entry(1, 0x07, kP2Start, kP2Length);
  mbr[510] = 0x55;
  mbr[511] = static_cast<char>(0xAA);
  WriteRange(path, 0, mbr);
  WriteRange(path, kP1Start, Pattern(kP1Length, 1));
  WriteRange(path, kP2Start, Pattern(kP2Length, 2));
}

inline void EnableVerify() {
  TransferOptions o;
  o.verify = true;
  SetTransferOptions(o);
}

// Runs an action once when a status text or question containing trigger
// appears: a press of the cancel button, or a fault injected at that moment.
class HookUi : public ScriptedUi {
 public:
  std::string trigger;
  std::function<void()> action;
  void DrawProgress(const std::string& text, int percent) override {
    ScriptedUi::DrawProgress(text, percent);
    Fire(text);
  }
  MsgAnswer MessageBox(const std::string& title, const std::string& text, MsgButtons buttons, MsgIcon icon) override {
    Fire(text);
    return ScriptedUi::MessageBox(title, text, buttons, icon);
  }

 private:
  void Fire(const std::string& text) {
    if (action && text.find(trigger) != std::string::npos) std::exchange(action, nullptr)();
  }
};

class BackupRestoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ui_ = std::make_shared<HookUi>();
    SetUi(ui_);
    SetPauseFunction([](int) {});
    ResetSharedFlags();
    SetLogMirror(true);
    TakeLogMirror();
    SetTransferOptions({});
    // Image files and loop devices are fixed disks, listed only with this on.
    SetEnableFixedDisksSource([] { return true; });
  }

  void TearDown() override {
    ResetSettings();
    ClearImageDisks();
    SetEnableFixedDisksSource(nullptr);
    SetTransferOptions({});
    SetLogMirror(false);
    SetPauseFunction(nullptr);
    SetUi(nullptr);
  }

  // Lists the disks and selects slot (0 = the disk line) of the disk at devicePath.
  // With byName the partition is named by its byte-range volume name, as a
  // partition with a device node is named by that node: the jobs then go
  // through a locked volume handle instead of the disk at the offset.
  void Select(const std::string& devicePath, int slot, bool byName = false) {
    if (std::filesystem::is_regular_file(devicePath) && ImageDisks().empty()) AddImageDisk(devicePath);
    UpdateAllDrives();
    for (size_t i = 0; i < AllDrives.size(); ++i) {
      if (AllDrives[i].DevicePath == devicePath) {
        if (byName) AllDrives[i].Partition[slot - 1].DriveLetter = VolumeAccessName(AllDrives[i], slot - 1);
        ASSERT_NE(SelectDisk(static_cast<int>(i), slot), 0) << devicePath;
        return;
      }
    }
    FAIL() << devicePath << " is not in the disk list";
  }

  // Through the runner, as the front ends run them; outcome_ is the result.
  int Backup(const std::string& target) {
    ui_->QueueDialogAnswer(target);
    int rc = 0;
    outcome_ = test::RunAsOperation([&] { rc = BackUp(0); }, OpKind::Backup).outcome;
    return rc;
  }
  int Restore(const std::string& source) {
    ui_->QueueDialogAnswer(source);
    int rc = 0;
    outcome_ = test::RunAsOperation([&] { rc = Recover(0); }, OpKind::Restore).outcome;
    return rc;
  }
  OpOutcome outcome_ = OpOutcome::Done;

  bool Logged(const std::string& part) { return LogMirrorContains(part); }

  void OnText(const std::string& trigger, std::function<void()> action) {
    ui_->trigger = trigger;
    ui_->action = std::move(action);
  }

  std::shared_ptr<HookUi> ui_;
  test::TempDir dir_{"fkbackup"};
};

}  // namespace fk

// Debounce of device-change notifications with a controllable clock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Utilities.h"
#include "disk/DeviceEvents.h"
#include "disk/DiskList.h"
#include "tests/support/TestUtil.h"

using namespace fk;

namespace {

struct Clocked : ::testing::Test {
  void SetUp() override {
    ResetSharedFlags();
    LastDeviceEventTime = 0;
    SetLogMirror(true);
    TakeLogMirror();
  }
  void TearDown() override { SetLogMirror(false); }
  // Advances the clock in 10 ms steps, polling like the monitor does.
  void RunUntil(int64_t t) {
    while (now < t) {
      now += 10;
      deb.Poll();
    }
  }
  void Change() { deb.GetDeviceEvent(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0); }

  int64_t now = 50000;
  std::vector<int64_t> posts;
  DeviceEventDebouncer deb{[this] { return now; }, [this](int ev) {
                             EXPECT_EQ(ev, UM_UPDATE_ALL_DRIVES);
                             posts.push_back(now);
                           }};
};

TEST_F(Clocked, BurstGivesOneRebuildASecondAfterItsStart) {
  Change();
  RunUntil(50300);
  Change();
  RunUntil(50600);
  Change();
  RunUntil(53000);
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0], 51000);
  EXPECT_TRUE(LogMirrorContains("> ==>> GetDeviceEvent: #DBT_DEVNODES_CHANGED: SetTimer_ 1000"));
  EXPECT_TRUE(LogMirrorContains("> ==>> GetDeviceEvent: PostEvent(#UM_UPDATE_ALL_DRIVES)"));
  EXPECT_EQ(LastDeviceEventTime, 51000);

  // Other messages and codes do nothing.
  deb.GetDeviceEvent(WM_DEVICECHANGE, 0x8000, 0);
  deb.GetDeviceEvent(1234, DBT_DEVNODES_CHANGED, 0);
  RunUntil(56000);
  EXPECT_EQ(posts.size(), 1u);
}

TEST_F(Clocked, ChangeRightAfterARebuildIsNotLost) {
  Change();
  RunUntil(51000);
  RunUntil(51300);
  Change();  // within a second of the rebuild, but no timer covers it
  RunUntil(54000);
  ASSERT_EQ(posts.size(), 2u);
  EXPECT_EQ(posts[1], 52300);
}

TEST_F(Clocked, NothingWhileALongOperationRuns) {
  test::RunAsOperation([&] {
    Change();
    RunUntil(55000);
  }, OpKind::Backup);
  EXPECT_TRUE(posts.empty());
  EXPECT_FALSE(deb.TimerRunning());
  Change();
  RunUntil(57000);
  EXPECT_EQ(posts.size(), 1u);
}

TEST(Uevent, BlockAddRemoveChangeOnly) {
  using namespace std::string_literals;
  EXPECT_TRUE(IsBlockDeviceChange("add@/devices/virtual/block/loop3\0ACTION=add\0DEVPATH=/devices/virtual/block/loop3\0"
                                  "SUBSYSTEM=block\0DEVNAME=loop3\0DEVTYPE=disk\0SEQNUM=4711\0"s));
  EXPECT_TRUE(IsBlockDeviceChange("change@/x\0ACTION=change\0SUBSYSTEM=block\0"s));
  EXPECT_TRUE(IsBlockDeviceChange("remove@/x\0ACTION=remove\0SUBSYSTEM=block\0"s));
  EXPECT_FALSE(IsBlockDeviceChange("bind@/x\0ACTION=bind\0SUBSYSTEM=block\0"s));
  EXPECT_FALSE(IsBlockDeviceChange("add@/x\0ACTION=add\0SUBSYSTEM=usb\0"s));
  EXPECT_FALSE(IsBlockDeviceChange("libudev\0\xfe\xed\xca\xfe"s));
}

// A scripted source: one change on the first wait, then quiet.
class OneShotSource : public DeviceEventSource {
 public:
  int Wait(int timeoutMs) override {
    if (!fired_.exchange(true)) return 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
    return 0;
  }

 private:
  std::atomic<bool> fired_{false};
};

TEST(DeviceMonitor, FeedsTheDebouncerFromItsThread) {
  ResetSharedFlags();
  LastDeviceEventTime = 0;
  std::atomic<int> posts{0};
  DeviceEventDebouncer deb(TickCountMs, [&](int) { ++posts; });
  {
    DeviceEventMonitor mon(std::make_unique<OneShotSource>(), deb);
    for (int i = 0; i < 100 && posts.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(posts.load(), 1);
}

}  // namespace

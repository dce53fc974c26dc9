// Waiting for the system to catch up with a change the program made: the
// kernel's partition nodes after a new partition table, udev's handling of the
// events that came with them, a mount appearing in (or leaving) the mount table.
// Each waits for the thing itself, polling briefly, and gives up after a limit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fk::platform {

struct ExpectedPartition {
  int number = 0;  // 1..4 for MBR slots
  int64_t startBytes = 0;
  int64_t sizeBytes = 0;
};

enum class PartitionWait {
  Seen,        // the kernel shows exactly the expected partitions, with their nodes
  NotScanned,  // the disk does not scan partitions (a loop device without partscan)
  TimedOut,
};

// Whether udev runs on this system (its control socket exists under runRoot).
bool UdevRuns(const std::string& runRoot = "/run");
// Waits until udev has handled every queued event (udevadm settle). True at
// once when udev does not run; false with *detail when it did not settle.
bool SettleUdev(int timeoutMs, std::string* detail);

// Waits until <sysRoot> lists for the whole disk `name` exactly the expected
// partitions (numbers, starts and sizes) and each has its node under devRoot,
// then until udev has settled when it runs. *detail tells what was missing at
// the end of a timed-out wait.
PartitionWait WaitForPartitions(const std::string& sysRoot, const std::string& devRoot, const std::string& name,
                                const std::vector<ExpectedPartition>& expected, int timeoutMs, std::string* detail);

// Waits until <procRoot>/self/mountinfo shows (present) or no longer shows a
// mount of device major:minor at mountPoint. True when it did within timeoutMs.
bool WaitForMountState(const std::string& procRoot, unsigned major, unsigned minor, const std::string& mountPoint,
                       bool present, int timeoutMs);

}  // namespace fk::platform

#include "platform/DeviceWait.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/Disks.h"
#include "platform/Process.h"

namespace fk::platform {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPollInterval = std::chrono::milliseconds(5);

// Calls seen() until it answers true or the time is up; true when it did.
template <typename Fn>
bool PollUntil(int timeoutMs, Fn seen) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
  for (;;) {
    if (seen()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollInterval);
  }
}

bool ScansPartitions(const std::string& sysRoot, const std::string& name) {
  for (const std::string& dir : {sysRoot + "/class/block/" + name, sysRoot + "/block/" + name}) {
    // Newer kernels say it for every disk, older ones for loop devices only.
    for (const std::string& attr : {dir + "/partscan", dir + "/loop/partscan"})
      if (auto v = ReadAttr(attr)) return *v != "0";
  }
  return true;
}

// What differs between the kernel's view and the expectation; "" when nothing.
std::string Difference(const std::string& sysRoot, const std::string& devRoot, const std::string& name,
                       const std::vector<ExpectedPartition>& expected) {
  auto dev = ReadBlockDevice(sysRoot, name);
  if (!dev) return name + " is not in " + sysRoot;
  for (const ExpectedPartition& e : expected) {
    auto it = std::find_if(dev->partitions.begin(), dev->partitions.end(),
                           [&](const PartitionNode& p) { return p.number == e.number; });
    if (it == dev->partitions.end()) return "partition " + std::to_string(e.number) + " not listed";
    if (it->startBytes != e.startBytes || it->sizeBytes != e.sizeBytes)
      return "partition " + std::to_string(e.number) + " still has its old start or size";
    struct stat st {};
    if (::stat((devRoot + "/" + it->name).c_str(), &st) != 0) return devRoot + "/" + it->name + " missing";
  }
  for (const PartitionNode& p : dev->partitions) {
    const bool wanted = std::any_of(expected.begin(), expected.end(),
                                    [&](const ExpectedPartition& e) { return e.number == p.number; });
    if (!wanted) return "old partition " + p.name + " still listed";
  }
  return {};
}

}  // namespace

bool UdevRuns(const std::string& runRoot) {
  struct stat st {};
  return ::stat((runRoot + "/udev/control").c_str(), &st) == 0;
}

bool SettleUdev(int timeoutMs, std::string* detail) {
  if (!UdevRuns()) return true;
  ProcessRequest rq;
  const int seconds = std::max(1, (timeoutMs + 999) / 1000);
  rq.argv = {"udevadm", "settle", "--timeout=" + std::to_string(seconds)};
  rq.timeoutMs = timeoutMs + 1000;
  ProcessResult r = RunProcess(rq);
  // Without udevadm there is no way to ask; the nodes were seen already.
  if (!r.started || r.exitCode == 0) return true;
  if (detail) *detail = ProcessFailureText("udevadm settle", r);
  return false;
}

PartitionWait WaitForPartitions(const std::string& sysRoot, const std::string& devRoot, const std::string& name,
                                const std::vector<ExpectedPartition>& expected, int timeoutMs, std::string* detail) {
  if (!ScansPartitions(sysRoot, name)) return PartitionWait::NotScanned;
  const auto start = Clock::now();
  std::string missing;
  const bool seen = PollUntil(timeoutMs, [&] {
    missing = Difference(sysRoot, devRoot, name, expected);
    return missing.empty();
  });
  if (!seen) {
    if (detail) *detail = missing;
    return PartitionWait::TimedOut;
  }
  const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  if (!SettleUdev(std::max<int>(1000, timeoutMs - static_cast<int>(spent)), detail)) return PartitionWait::TimedOut;
  return PartitionWait::Seen;
}

bool WaitForMountState(const std::string& procRoot, unsigned major, unsigned minor, const std::string& mountPoint,
                       bool present, int timeoutMs) {
  return PollUntil(timeoutMs, [&] {
    bool found = false;
    for (const MountEntry& m : ParseMountInfo(ReadWholeFile(procRoot + "/self/mountinfo")))
      if (m.major == major && m.minor == minor && m.mountPoint == mountPoint) found = true;
    return found == present;
  });
}

}  // namespace fk::platform

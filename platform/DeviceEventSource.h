// Where device-change notifications come from, behind one narrow interface.
#pragma once

#include <memory>
#include <string>

namespace fk {

// Whether a raw kernel uevent (NUL-separated "action@devpath" then KEY=VALUE
// fields) is an add, remove or change of a block device.
bool IsBlockDeviceChange(const std::string& rawMessage);

// Where notifications come from: Wait blocks up to timeoutMs and returns the
// number of block-device changes seen (0 on timeout), or -1 when the source failed.
class DeviceEventSource {
 public:
  virtual ~DeviceEventSource() = default;
  virtual int Wait(int timeoutMs) = 0;
};
// Kernel uevents: NETLINK_KOBJECT_UEVENT, group 1, messages from pid 0 only.
// nullptr (and a log line) when the socket cannot be opened.
std::unique_ptr<DeviceEventSource> OpenKernelUeventSource();

}  // namespace fk

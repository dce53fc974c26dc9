#include "platform/DeviceEventSource.h"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/LogSink.h"
#include "platform/UniqueFd.h"

namespace fk {

bool IsBlockDeviceChange(const std::string& raw) {
  std::string action, subsystem;
  size_t pos = 0;
  bool first = true;
  while (pos < raw.size()) {
    size_t end = raw.find('\0', pos);
    if (end == std::string::npos) end = raw.size();
    std::string field = raw.substr(pos, end - pos);
    pos = end + 1;
    if (first) {  // "action@devpath" header
      first = false;
      if (field.find('@') != std::string::npos) continue;
    }
    if (field.rfind("ACTION=", 0) == 0) action = field.substr(7);
    else if (field.rfind("SUBSYSTEM=", 0) == 0) subsystem = field.substr(10);
  }
  return subsystem == "block" && (action == "add" || action == "remove" || action == "change");
}

namespace {

class KernelUeventSource : public DeviceEventSource {
 public:
  explicit KernelUeventSource(UniqueFd fd) : fd_(std::move(fd)) {}

  int Wait(int timeoutMs) override {
    pollfd p{fd_.get(), POLLIN, 0};
    int rc = ::poll(&p, 1, timeoutMs);
    if (rc < 0) return errno == EINTR ? 0 : -1;
    if (rc == 0) return 0;
    int changes = 0;
    for (;;) {
      char buf[8192];
      sockaddr_nl sender{};
      iovec iov{buf, sizeof(buf)};
      msghdr msg{};
      msg.msg_name = &sender;
      msg.msg_namelen = sizeof(sender);
      msg.msg_iov = &iov;
      msg.msg_iovlen = 1;
      ssize_t n = ::recvmsg(fd_.get(), &msg, MSG_DONTWAIT);
      if (n < 0) {
        if (errno == ENOBUFS) {  // messages were lost: rescan to be safe
          ++changes;
          continue;
        }
        break;
      }
      if (sender.nl_pid != 0 || (msg.msg_flags & MSG_TRUNC)) continue;  // kernel messages only
      if (IsBlockDeviceChange(std::string(buf, static_cast<size_t>(n)))) ++changes;
    }
    return changes;
  }

 private:
  UniqueFd fd_;
};

}  // namespace

std::unique_ptr<DeviceEventSource> OpenKernelUeventSource() {
  UniqueFd fd(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT));
  if (!fd) {
    platform::LogLine("> GetDeviceEvent: no uevent socket: " + std::string(std::strerror(errno)));
    return nullptr;
  }
  sockaddr_nl addr{};
  addr.nl_family = AF_NETLINK;
  addr.nl_groups = 1;  // kernel events
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    platform::LogLine("> GetDeviceEvent: cannot bind uevent socket: " + std::string(std::strerror(errno)));
    return nullptr;
  }
  return std::make_unique<KernelUeventSource>(std::move(fd));
}

}  // namespace fk

#include "platform/FileMove.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace fk {

namespace {

struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

// Copies from into a new file to (O_EXCL), removing the partial copy on failure.
int CopyExclusive(const std::string& from, const std::string& to) {
  Fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.fd < 0) return errno;
  struct stat st {};
  if (::fstat(in.fd, &st) != 0) return errno;
  Fd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 0777));
  if (out.fd < 0) return errno;
  std::vector<char> buf(1 << 20);
  int err = 0;
  for (;;) {
    ssize_t n = ::read(in.fd, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) err = errno;
    if (n <= 0) break;
    for (ssize_t done = 0; done < n && err == 0;) {
      ssize_t w = ::write(out.fd, buf.data() + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) err = errno;
      else done += w;
    }
    if (err) break;
  }
  if (err == 0 && ::fsync(out.fd) != 0) err = errno;
  if (err != 0) ::unlink(to.c_str());
  return err;
}

}  // namespace

int MoveFileNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  int err = errno;
  if (err == EINVAL || err == ENOSYS) {
    // File systems without RENAME_NOREPLACE: a hard link fails on an existing name too.
    if (::link(from.c_str(), to.c_str()) == 0) {
      ::unlink(from.c_str());
      return 0;
    }
    err = errno;
  }
  if (err != EXDEV) return err;
  err = CopyExclusive(from, to);
  if (err == 0) ::unlink(from.c_str());
  return err;
}

}  // namespace fk

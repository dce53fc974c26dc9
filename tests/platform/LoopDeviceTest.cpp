#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/LoopDevice.h"
#include "tests/support/TestUtil.h"

namespace fk {
namespace {

TEST(LoopDevice, CoversExactlyTheByteRangeAndDetaches) {
  if (!test::IsRoot()) GTEST_SKIP() << "needs root for loop devices";
  test::TempDir dir;
  const std::string img = dir / "disk.img";
  std::string data(4 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i / 512);
  test::WriteFileBytes(img, data);

  std::string path;
  {
    std::string err;
    LoopDevice::Options opt;
    opt.offset = 1 << 20;
    opt.sizeLimit = 1 << 20;
    auto loop = LoopDevice::Attach(img, opt, &err);
    ASSERT_TRUE(loop) << err;
    path = loop->path();
    int fd = ::open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::lseek(fd, 0, SEEK_END), 1 << 20);
    char b = 0;
    ASSERT_EQ(::pread(fd, &b, 1, 0), 1);
    EXPECT_EQ(b, static_cast<char>((1 << 20) / 512));
    char w = 'X';
    ASSERT_EQ(::pwrite(fd, &w, 1, 5), 1);
    ::fsync(fd);
    ::close(fd);
  }
  EXPECT_EQ(test::ReadFileBytes(img)[(1 << 20) + 5], 'X');
  // Detached: the device no longer has a backing file.
  std::string backing = test::ReadFileBytes("/sys/block/" + path.substr(5) + "/loop/backing_file");
  EXPECT_EQ(backing, "");
}

TEST(LoopDevice, MissingBackingFileIsAnError) {
  std::string err;
  auto loop = LoopDevice::Attach("/nonexistent/fk.img", {}, &err);
  EXPECT_FALSE(loop);
  EXPECT_NE(err.find("/nonexistent/fk.img"), std::string::npos);
}

}  // namespace
}  // namespace fk

// Shared set-up of the format tests: a recording UI, no pauses, the log mirror,
// and disk images with a fresh MBR.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <string>

#include "app/AppState.h"
#include "app/Log.h"
#include "tests/support/ScriptedUi.h"
#include "format/BootCode.h"
#include "format/BootRecords.h"
#include "format/PartitionTable.h"
#include "format/SectorDevice.h"
#include "tests/support/TestUtil.h"

namespace fk::test {

class FormatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetSharedFlags();
    SetUi(ui_);
    SetPauseFunction([](int) {});
    SetLogMirror(true);
    TakeLogMirror();
  }
  void TearDown() override {
    SetLogMirror(false);
    SetPauseFunction(nullptr);
    SetUi(nullptr);
    ResetSharedFlags();
  }
  std::shared_ptr<ScriptedUi> ui_ = std::make_shared<ScriptedUi>();
};

// length bytes at offset (to the end when length < 0), read in one go.
inline std::string ReadImage(const std::string& path, int64_t offset = 0, int64_t length = -1) {
  std::string data;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    std::fseek(f, 0, SEEK_END);
    const int64_t size = std::ftell(f);
    if (length < 0 || offset + length > size) length = std::max<int64_t>(0, size - offset);
    data.resize(static_cast<std::size_t>(length));
    std::fseek(f, offset, SEEK_SET);
    data.resize(std::fread(data.data(), 1, data.size(), f));
    std::fclose(f);
  }
  return data;
}

template <typename T>
T At(const std::string& b, std::size_t off) {
  T v;
  std::memcpy(&v, b.data() + off, sizeof v);
  return v;
}

inline std::span<const uint8_t> Template(const char* name) {
  const BootTemplate* t = FindBootTemplate(name);
  return t ? std::span<const uint8_t>(t->data, t->size) : std::span<const uint8_t>();
}

inline DiskGeometryInput GeometryOf(int64_t diskSize) {
  return {diskSize, 512, 63, diskSize / (255 * 63 * 512) * 255 * 63};
}

// A sparse image with a fresh boot0 MBR: one partition, or two when bootMb > 0.
inline PT MakeImageWithMbr(const std::string& img, int64_t diskSize, const std::string& start = "2048",
                           int64_t bootMb = 0) {
  MakeSparseFile(img, diskSize);
  PT pt;
  EXPECT_TRUE(ComputePartitionTable(GeometryOf(diskSize), {start, bootMb > 0 ? 1 : 0, bootMb}, pt));
  auto dev = FileSectorDevice::Open(img, 0, true, nullptr);
  EXPECT_EQ(WriteNewMBR(*dev, pt, Template("boot0"), 512), 1);
  return pt;
}

inline std::string RangeName(const std::string& img, const PT& pt, int slot = 0) {
  return img + "@@" + std::to_string(int64_t{pt.PartitionTable[slot].StartingSector} * 512);
}

// Copies partition slot out of the image, for checkers that take a whole file.
inline std::string ExtractPartition(const std::string& img, const PT& pt, const std::string& out, int slot = 0) {
  const auto& e = pt.PartitionTable[slot];
  WriteFileBytes(out, ReadImage(img, int64_t{e.StartingSector} * 512, int64_t{e.NumberOfSects} * 512));
  return out;
}

}  // namespace fk::test

// Shared set-up of the format tests: a recording UI, no pauses, the log mirror,
// and builders for disk images with a fresh MBR and synthetic boot templates.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/ScriptedUi.h"
#include "app/Ui.h"
#include "format/BootRecords.h"
#include "format/PartitionTable.h"
#include "format/SectorDevice.h"
#include "tests/support/TestUtil.h"

namespace fk::test {

class FormatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetSharedFlags();
    ui_ = std::make_shared<ScriptedUi>();
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
  std::shared_ptr<ScriptedUi> ui_;
};

// Reads length bytes at offset (to the end when length < 0) in one go.
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

inline uint32_t U32At(const std::string& b, std::size_t off) {
  uint32_t v;
  std::memcpy(&v, b.data() + off, 4);
  return v;
}
inline uint16_t U16At(const std::string& b, std::size_t off) {
  uint16_t v;
  std::memcpy(&v, b.data() + off, 2);
  return v;
}
inline uint64_t U64At(const std::string& b, std::size_t off) {
  uint64_t v;
  std::memcpy(&v, b.data() + off, 8);
  return v;
}

// Boot code stand-ins with the fixed points of the real templates and
// recognisable filler where the code goes.
inline std::vector<uint8_t> SyntheticMbrTemplate() {
  std::vector<uint8_t> t(512, 0);
  for (int i = 0; i < 0x1B8; ++i) t[i] = static_cast<uint8_t>(0x90 ^ i);
  t[510] = 0x55;
  t[511] = 0xAA;
  return t;
}
inline std::vector<uint8_t> SyntheticFat32Pbr() {
  std::vector<uint8_t> t(512, 0);
  t[0] = 0xE9, t[1] = 0x62, t[2] = 0x00;
  std::memcpy(t.data() + 90, "BOOT       ", 11);
  for (int i = 101; i < 510; ++i) t[i] = static_cast<uint8_t>(i * 7 + 1);
  t[510] = 0x55;
  t[511] = 0xAA;
  return t;
}
inline std::vector<uint8_t> SyntheticExfatPbr() {
  std::vector<uint8_t> t(1024, 0);
  t[0] = 0xEB, t[1] = 0x76, t[2] = 0x90;
  for (int i = 120; i < 510; ++i) t[i] = static_cast<uint8_t>(i * 3 + 5);
  for (int i = 512; i < 1022; ++i) t[i] = static_cast<uint8_t>(i * 5 + 11);
  t[510] = t[1022] = 0x55;
  t[511] = t[1023] = 0xAA;
  return t;
}

inline DiskGeometryInput GeometryOf(int64_t diskSize) {
  DiskGeometryInput g;
  g.DiskSize = diskSize;
  g.BytesPerSector = 512;
  g.SectorsPerTrack = 63;
  g.ChsSectors = diskSize / (255 * 63 * 512) * 255 * 63;
  return g;
}

// Creates a sparse image of diskSize bytes with a fresh MBR (one partition, or
// two when bootMb > 0) and returns its table.
inline PT MakeImageWithMbr(const std::string& img, int64_t diskSize, const std::string& start = "2048",
                           int64_t bootMb = 0) {
  MakeSparseFile(img, diskSize);
  PartitionOptions o;
  o.StartLBASector = start;
  o.MultiPartitions = bootMb > 0 ? 1 : 0;
  o.BootPartitionSize = bootMb;
  PT pt;
  EXPECT_TRUE(ComputePartitionTable(GeometryOf(diskSize), o, pt));
  std::string err;
  auto dev = FileSectorDevice::Open(img, 0, true, &err);
  EXPECT_TRUE(dev) << err;
  auto tmpl = SyntheticMbrTemplate();
  EXPECT_EQ(WriteNewMBR(*dev, pt, tmpl, 512), 1);
  return pt;
}

inline std::string RangeName(const std::string& img, const PT& pt, int slot = 0) {
  return img + "@@" + std::to_string(int64_t{pt.PartitionTable[slot].StartingSector} * 512);
}

// Copies the partition out of the image, for checkers that take a whole file.
inline std::string ExtractPartition(const std::string& img, const PT& pt, const std::string& out, int slot = 0) {
  const auto& e = pt.PartitionTable[slot];
  WriteFileBytes(out, ReadImage(img, int64_t{e.StartingSector} * 512, int64_t{e.NumberOfSects} * 512));
  return out;
}

}  // namespace fk::test

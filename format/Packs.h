// The program's internal packs (PackFileHeader + LZMA + ZIP) and the ZIP
// extraction every other part uses to put files into a directory or onto a volume.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "format/PackWriter.h"

namespace fk {

inline constexpr const char* kPackUnpackCloverISO = "Pack_UnpackCloverISO";
inline constexpr const char* kPackUnpackRecHD = "Pack_UnpackRecHD";
inline constexpr const char* kPackFreeDosDataSet = "Pack_FreeDosDataSet";
inline constexpr const char* kNoFreeDosDataSetText = "This build carries no FreeDOS data set";

// An embedded pack by name; data is null when this build does not carry it.
struct PackRef {
  const unsigned char* data = nullptr;
  std::size_t size = 0;
  explicit operator bool() const { return data != nullptr && size != 0; }
};
// Registered packs come first, then the embedded ones.
PackRef FindPack(const std::string& name);
// Makes data (a pack as MakePack builds it) available under name from now on,
// ahead of an embedded pack of that name; empty data removes it again. Lets a
// build that carries no FreeDOS data set be given one at run time.
void RegisterPack(const std::string& name, std::string data);

// The directory that receives temporary ZIPs and staging folders. Created on
// first use ("FKLTemp" + random suffix under $TMPDIR, else /tmp) unless a work
// directory was set; always ends in '/'. "" when it cannot be created.
std::string PackWorkDir();
// Uses dir (created when missing) as the work directory from now on; "" forgets it.
void SetPackWorkDir(const std::string& dir);

enum class PackUnpack { Ok, BadHeader, SizeMismatch, CrcMismatch };
// Decompresses and verifies a pack (header + raw LZMA1) into *zip: Ok only
// when the data has exactly the announced size and CRC; *zip is empty
// otherwise. Memory grows with the data decoded, never with what the header
// claims. Log lines begin with logPrefix.
PackUnpack UnpackPackData(const void* Buffer, std::size_t BufferSize, std::vector<unsigned char>* zip,
                          const std::string& logPrefix = "> UnpackPackData: ");

// Decompresses and verifies a pack into a new "TEMP####" ZIP file in the work
// directory; returns its path, or "" on any failure (see the log).
std::string UnpackInternalMemoryToTempFile(const void* Buffer, std::size_t BufferSize);

// Extracts every entry of a ZIP into PathToExtract: a directory (created when
// missing), or a volume named by its device node or "<disk or image>@@<byte offset>"
// (see format/VolumeFiles.h). With FromMemory = 1 the ZIP is the pack at
// Buffer/BufferLength, otherwise the file sZipFileForUnpack. Returns 1 on
// success, 0 on failure or cancel (FormatStatus = 1, checked before each entry).
int ExtractDataZip(const void* Buffer, std::size_t BufferLength, const std::string& PathToExtract, int FromMemory,
                   const std::string& sZipFileForUnpack, int ShowProgress, int DeleteZipAfter);

// ExtractDataZip of the embedded pack packName. When this build does not carry
// it, says so in the log and the status text and returns 0.
int ExtractPack(const std::string& packName, const std::string& PathToExtract, int ShowProgress, int DeleteZipAfter);

}  // namespace fk

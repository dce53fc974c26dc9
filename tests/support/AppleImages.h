// Builders for Apple's container formats as the tests need them: a UDIF disk
// image (".dmg") around a partition, an HFS+ volume of a folder, a xar
// package (".pkg"), and readers that check an HFS+ volume through 7-Zip.
#pragma once

#include <string>
#include <vector>

namespace fk::test {

// A UDIF image holding one partition (whole disk) named "<name> (Apple_HFS : 0)"
// whose sectors are data (a multiple of 512 bytes). Chunks of up to 2048
// sectors, zlib-compressed when compress is true, else stored raw. Checksums
// as Apple writes them (CRC-32 per partition and of the data fork).
std::string MakeUdif(const std::string& data, bool compress, const std::string& name = "disk image");

// An HFS+ volume (signature "H+" at byte 1024) holding the folder dir, made
// with xorriso and cut out of its hybrid image with 7-Zip. "" with *error set
// when the tools fail.
std::string MakeHfsVolume(const std::string& dir, const std::string& volumeName, std::string* error);

// A xar archive (as Apple's flat packages are) of the given members, stored
// uncompressed. "" with *error set on failure.
std::string MakeXar(const std::vector<std::pair<std::string, std::string>>& members, std::string* error);

// A Recovery HD update package as Apple ships it: a xar holding
// "RecoveryHDUpdate.pkg/RecoveryHDMeta.dmg", a UDIF image of an HFS+ volume that
// holds baseSystemDmg as "BaseSystem.dmg". "" with *error set on failure.
std::string MakeRecoveryPackage(const std::string& baseSystemDmg, std::string* error);

// The paths 7-Zip lists inside an HFS+ volume file ("VOL/dir/file").
std::vector<std::string> ListHfs(const std::string& volumeFile);
// One file of an HFS+ volume read back through 7-Zip.
std::string ReadHfsFile(const std::string& volumeFile, const std::string& path);

}  // namespace fk::test
